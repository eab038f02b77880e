#!/usr/bin/env python3
"""Attacks on the relay's control and chat ports, with a well-behaved pair on
channel 5 throughout: for each attack the pair's blocks lost and worst latency,
and the relay's memory and processor (the whole process and its main thread).

    attacks.py RELAY OPERATOR [--seconds N] [--only NAME,...]

RELAY and OPERATOR are the marlox-relay and marlox-operator programs to try
(a release build). Attacks: chat (an ordinary station sends 50 chat lines a
second), reports (one station sends valid reports as fast as it can), takeover
(a second connection from the same address claims a live identity, then the
operator kicks it), identities (25 000 control connections with made-up
identities, one after the other, from --addresses addresses in turn,
1000 unless told), descriptors (600 connections against a
limit of 256 descriptors: is the pause in the log?).
"""

import argparse
import multiprocessing
import os
import random
import resource
import socket
import struct
import subprocess
import sys
import tempfile
import time

CONTROL, CHAT, BLOCK = 324, 10040, 65


def ticks(pid, tid=None):
    path = f"/proc/{pid}/task/{tid}/stat" if tid else f"/proc/{pid}/stat"
    with open(path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def waiting(s):
    """What has arrived on a non-blocking socket so far, up to its end."""
    data = b""
    try:
        while chunk := s.recv(65536):
            data += chunk
    except BlockingIOError:
        pass
    return data


def pair(port, seconds, result):
    """A talker sends a block every 40 ms, a listener times each block."""
    listener = socket.create_connection(("127.0.0.1", port))
    talker = socket.create_connection(("127.0.0.1", port))
    for s in (listener, talker):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    time.sleep(0.3)
    listener.settimeout(0.05)
    sent, worst, got, buffer = 0, 0.0, 0, b""
    start = time.monotonic()
    next_send = start
    while time.monotonic() - start < seconds:
        now = time.monotonic()
        if now >= next_send:
            block = struct.pack("<dI", time.monotonic(), sent).ljust(BLOCK, b"\x55")
            talker.sendall(block)
            sent += 1
            next_send += 0.04
        try:
            buffer += listener.recv(65536)
        except socket.timeout:
            pass
        while len(buffer) >= BLOCK:
            stamp, _ = struct.unpack("<dI", buffer[:12])
            worst = max(worst, time.monotonic() - stamp)
            got += 1
            buffer = buffer[BLOCK:]
    listener.settimeout(1.0)
    try:
        while got < sent:
            buffer += listener.recv(65536)
            while len(buffer) >= BLOCK:
                got += 1
                buffer = buffer[BLOCK:]
    except (socket.timeout, OSError):
        pass
    result.put((sent, sent - got, worst * 1000))


def chat_flood(offset, seconds):
    receiver = socket.create_connection(("127.0.0.1", CHAT + offset))
    receiver.setblocking(False)
    sender = socket.create_connection(("127.0.0.1", CHAT + offset))
    line = b"0" + b"Flood".ljust(50) + b"x" * 200 + b"05"
    start, sent, heard = time.monotonic(), 0, 0
    while time.monotonic() - start < seconds:
        sender.sendall(line)
        sent += 1
        heard += len(waiting(receiver))
        time.sleep(0.02)
    time.sleep(0.5)
    heard += len(waiting(receiver))
    return f"{sent} lines sent, {heard // len(line)} reached another station"


def report_flood(offset, seconds):
    listener = socket.create_connection(("127.0.0.1", CONTROL + offset))
    listener.setblocking(False)
    sender = socket.create_connection(("127.0.0.1", CONTROL + offset))
    sender.setblocking(False)
    reports = b"".join(b"FLOD1(%02d)" % (n % 40 + 1) for n in range(400))
    start, sent, heard = time.monotonic(), 0, 0
    while time.monotonic() - start < seconds:
        try:
            sent += sender.send(reports)
        except BlockingIOError:
            time.sleep(0.001)
        heard += len(waiting(listener))
    return f"{sent} bytes of reports sent, {heard} bytes reached a listener"


def run_operator(operator, console, *words):
    done = subprocess.run([operator, "--console", console, *words], capture_output=True,
                          timeout=30)
    return done.returncode, done.stdout, done.stderr


def takeover(offset, operator, console):
    witness = socket.create_connection(("127.0.0.1", CONTROL + offset))
    victim = socket.create_connection(("127.0.0.1", CONTROL + offset))
    victim.sendall(b"VICT1(05)")
    time.sleep(0.3)
    thief = socket.create_connection(("127.0.0.1", CONTROL + offset))
    thief.sendall(b"VICT1(05)")
    time.sleep(0.3)
    run_operator(operator, console, "kick", "VICT1")
    time.sleep(0.5)
    got = {}
    for name, s in (("victim", victim), ("thief", thief)):
        s.setblocking(False)
        got[name] = b"VICT1aozl" in waiting(s)
    return f"kick reached the victim: {got['victim']}, the thief: {got['thief']}"


def identities(offset, operator, console, addresses, count=25000):
    start = time.monotonic()
    # Each connection stays open while the next 500 are made, so that the relay
    # reads it before it goes.
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
    window = []
    for n in range(count):
        s = socket.socket()
        s.bind((f"127.1.{n % addresses // 250}.{1 + n % addresses % 250}", 0))
        s.connect(("127.0.0.1", CONTROL + offset))
        s.sendall(b"%04X7(05)" % (n % 65536))
        window.append(s)
        time.sleep(0.0005)
        if len(window) > 500:
            window.pop(0).close()
    for s in window:
        s.close()
    took = time.monotonic() - start
    time.sleep(1)
    t = time.monotonic()
    status, out, _ = run_operator(operator, console, "stations")
    listing_ms = (time.monotonic() - t) * 1000
    listed = out.count(b"\n") - 1
    return (f"{count} connections in {took:.0f} s; listing {listed} stations, "
            f"answered in {listing_ms:.0f} ms")


def descriptors(offset, log_path, count=600):
    held = []
    for n in range(count):
        try:
            s = socket.socket()
            s.bind((f"127.0.{1 + n // 250}.{1 + n % 250}", 0))
            s.connect(("127.0.0.1", CONTROL + 1 + n % 40 + offset))
            held.append(s)
        except OSError:
            s.close()
    time.sleep(2)
    for s in held:
        s.close()
    time.sleep(2.5)
    with open(log_path) as f:
        text = f.read()
    return (f"{len(held)} connections under a limit of 256 descriptors; log says paused: "
            f"{'accepting paused' in text}, again: {'accepting again' in text}, "
            f"{text.count('not shown')} folded summaries")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("relay")
    parser.add_argument("operator")
    parser.add_argument("--seconds", type=float, default=15)
    parser.add_argument("--addresses", type=int, default=1000)
    parser.add_argument("--only", default="chat,reports,takeover,identities,descriptors")
    args = parser.parse_args()
    folder = tempfile.mkdtemp()
    for attack in args.only.split(","):
        offset = random.randrange(20000, 50000)
        console = os.path.join(folder, f"console-{offset}")
        log = open(os.path.join(folder, f"{attack}.log"), "w")
        limit = ["prlimit", "--nofile=256:256"] if attack == "descriptors" else []
        relay = subprocess.Popen(limit + [args.relay, "--port-offset", str(offset), "--console", console,
                                  "--threads", "1"], stderr=log)
        time.sleep(1)
        result = multiprocessing.Queue()
        pair_seconds = args.seconds + (40 if attack == "identities" else 2)
        talker = multiprocessing.Process(target=pair,
                                         args=(CONTROL + 5 + offset, pair_seconds, result))
        talker.start()
        time.sleep(1)
        t0, main0, wall0 = ticks(relay.pid), ticks(relay.pid, relay.pid), time.monotonic()
        if attack == "chat":
            what = chat_flood(offset, args.seconds)
        elif attack == "reports":
            what = report_flood(offset, args.seconds)
        elif attack == "takeover":
            what = takeover(offset, args.operator, console)
        elif attack == "descriptors":
            log.flush()
            what = descriptors(offset, log.name)
        else:
            what = identities(offset, args.operator, console, args.addresses)
        wall = time.monotonic() - wall0
        hz = os.sysconf("SC_CLK_TCK")
        cpu = (ticks(relay.pid) - t0) / hz / wall * 100
        main_cpu = (ticks(relay.pid, relay.pid) - main0) / hz / wall * 100
        memory = rss_kb(relay.pid)
        talker.join()
        sent, lost, worst = result.get()
        relay.terminate()
        relay.wait()
        print(f"{attack}: {what}; pair lost {lost} of {sent} blocks, worst {worst:.1f} ms; "
              f"relay {cpu:.0f} % cpu (main thread {main_cpu:.0f} %), {memory / 1024:.1f} MB")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
