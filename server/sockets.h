#pragma once

#include <QHostAddress>
#include <QString>

// The relay's own handling of its sockets, below what Qt offers: listening with
// or without IPv6, accepting under descriptor pressure, keep-alive.

// The system's words for an errno value.
QString errorText(int error);

// A non-blocking socket listening on the address and port, or -1 with the reason.
int openListeningSocket(const QHostAddress &address, quint16 port, QString *reason);

// An accept failed for want of descriptors or memory: it fails again at once
// while the connection waits in the backlog, so the port must rest a moment.
bool isOutOfDescriptors(int error);

// Raises the soft limit of open descriptors to the hard one; returns the limit
// in force afterwards.
long raiseDescriptorLimit();

// Keep-alive probes after 60 s of silence, so that stations that vanished
// without a word (power cut, lost line) do not hold their places for hours.
void setShortKeepAlive(int socketDescriptor);
