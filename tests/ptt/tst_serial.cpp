// The serial-port control: port names, absent ports, and OnComm on changes
// of the status inputs only.

#include "mscomm.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

struct Lines {
    vb::SerialInputs inputs;
    bool dtr = false;
    bool rts = false;
    QString openedDevice;
    bool canOpen = true;
};
Lines lines;

class TestLines : public vb::SerialLineSource {
public:
    bool open(const QString &device) override {
        lines.openedDevice = device;
        return lines.canOpen;
    }
    void setOutputs(bool dtr, bool rts) override {
        lines.dtr = dtr;
        lines.rts = rts;
    }
    vb::SerialInputs inputs() override { return lines.inputs; }
};

// Lines whose driver can wait for a change: the wait is a blocking read of a
// pipe, which the test writes to after it has changed the lines. The read is a
// real system call, so closing the port must really interrupt it.
struct Pipe {
    int ends[2] = {-1, -1};
    Pipe() { QVERIFY(::pipe(ends) == 0); }
    ~Pipe() {
        ::close(ends[0]);
        ::close(ends[1]);
    }
    void signalChange() const { QCOMPARE(::write(ends[1], "x", 1), ssize_t(1)); }
};
Pipe *changes = nullptr;
std::atomic<int> samples{0};

class WaitingLines : public TestLines {
public:
    vb::SerialInputs inputs() override {
        ++samples;
        return TestLines::inputs();
    }
    Wait waitForChange() override {
        char byte = 0;
        const ssize_t got = ::read(changes->ends[0], &byte, 1);
        if (got == 1)
            return Wait::Changed;
        return got < 0 && errno == EINTR ? Wait::Interrupted : Wait::Failed;
    }
};

} // namespace

class SerialTest : public QObject {
    Q_OBJECT
private slots:
    void init() { lines = {}; }
    void cleanup() { vb::MSComm::setLineSourceFactory({}); }

    void portNames_data();
    void portNames();
    void absentPortStaysClosed();
    void changesRaiseOnComm();
    void unopenablePortIsAbsent();
    void waitsForChangesWithoutPolling();
    void closingEndsTheWait();
    void pseudoTerminalByPath();
};

void SerialTest::portNames_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("device");
    QTest::newRow("first") << "1"
                           << "/dev/ttyS0";
    QTest::newRow("fourth, with blanks") << " 4 "
                                         << "/dev/ttyS3";
    QTest::newRow("device path") << "/dev/ttyUSB0"
                                 << "/dev/ttyUSB0";
    QTest::newRow("zero") << "0"
                          << "";
    QTest::newRow("negative") << "-1"
                              << "";
    QTest::newRow("empty") << ""
                           << "";
}

void SerialTest::portNames() {
    QFETCH(QString, port);
    QFETCH(QString, device);
    QCOMPARE(vb::MSComm::deviceForPort(port), device);
}

void SerialTest::absentPortStaysClosed() {
    vb::MSComm comm;
    QSignalSpy events(&comm, &vb::MSComm::OnComm);
    comm.setCommPort(QStringLiteral("/dev/marlox-no-such-port"));
    comm.setDTREnable(true);
    QVERIFY(!comm.setPortOpen(true));
    QVERIFY(!comm.portOpen());
    QVERIFY(!comm.DSRHolding());
    comm.setCommPort(QStringLiteral("0"));
    QVERIFY(!comm.setPortOpen(true));
    QTest::qWait(3 * vb::MSComm::pollIntervalMs);
    QCOMPARE(events.count(), 0);
}

void SerialTest::changesRaiseOnComm() {
    vb::MSComm::setLineSourceFactory([] { return std::make_unique<TestLines>(); });
    vb::MSComm comm;
    QSignalSpy events(&comm, &vb::MSComm::OnComm);
    comm.setCommPort(QStringLiteral("1"));
    comm.setDTREnable(true);
    comm.setRTSEnable(true);
    QVERIFY(comm.setPortOpen(true));
    QCOMPARE(lines.openedDevice, QString("/dev/ttyS0"));
    QVERIFY(lines.dtr && lines.rts);

    QTest::qWait(5 * vb::MSComm::pollIntervalMs);
    QCOMPARE(events.count(), 0);
    lines.inputs.dsr = true;
    QTRY_COMPARE(events.count(), 1);
    QVERIFY(comm.DSRHolding());
    QTest::qWait(5 * vb::MSComm::pollIntervalMs);
    QCOMPARE(events.count(), 1);
    lines.inputs.cts = true;
    QTRY_COMPARE(events.count(), 2);
    QVERIFY(comm.CTSHolding() && comm.DSRHolding() && !comm.CDHolding());
    lines.inputs.cd = true;
    QTRY_COMPARE(events.count(), 3);
    QVERIFY(comm.CDHolding());
    lines.inputs = {};
    QTRY_COMPARE(events.count(), 4);
    QVERIFY(!comm.DSRHolding());

    QVERIFY(comm.setPortOpen(false));
    lines.inputs.dsr = true;
    QTest::qWait(5 * vb::MSComm::pollIntervalMs);
    QCOMPARE(events.count(), 4);
}

void SerialTest::unopenablePortIsAbsent() {
    vb::MSComm::setLineSourceFactory([] { return std::make_unique<TestLines>(); });
    lines.canOpen = false;
    vb::MSComm comm;
    comm.setCommPort(QStringLiteral("2"));
    QVERIFY(!comm.setPortOpen(true));
    QVERIFY(!comm.portOpen());
    QCOMPARE(lines.openedDevice, QString("/dev/ttyS1"));
}

void SerialTest::waitsForChangesWithoutPolling() {
    Pipe pipe;
    changes = &pipe;
    samples = 0;
    vb::MSComm::setLineSourceFactory([] { return std::make_unique<WaitingLines>(); });
    vb::MSComm comm;
    QSignalSpy events(&comm, &vb::MSComm::OnComm);
    comm.setCommPort(QStringLiteral("/dev/ttyUSB3"));
    QVERIFY(comm.setPortOpen(true));
    QCOMPARE(lines.openedDevice, QString("/dev/ttyUSB3"));
    QCOMPARE(comm.watch(), vb::MSComm::Watch::Waiting);

    // Between changes nothing looks at the lines.
    const int before = samples;
    QTest::qWait(10 * vb::MSComm::pollIntervalMs);
    QCOMPARE(samples.load(), before);
    QCOMPARE(events.count(), 0);

    lines.inputs.dsr = true;
    pipe.signalChange();
    QTRY_COMPARE(events.count(), 1);
    QVERIFY(comm.DSRHolding());
    lines.inputs.dsr = false;
    lines.inputs.cd = true;
    pipe.signalChange();
    QTRY_COMPARE(events.count(), 2);
    QVERIFY(!comm.DSRHolding() && comm.CDHolding());
    // A wake-up without a change raises nothing.
    pipe.signalChange();
    QTRY_COMPARE(samples.load(), before + 3);
    QCOMPARE(events.count(), 2);
    QCOMPARE(comm.watch(), vb::MSComm::Watch::Waiting);
    changes = nullptr;
}

// Closing, reopening and destroying the control while its thread is blocked
// in the wait must each return at once.
void SerialTest::closingEndsTheWait() {
    Pipe pipe;
    changes = &pipe;
    vb::MSComm::setLineSourceFactory([] { return std::make_unique<WaitingLines>(); });
    QElapsedTimer clock;
    clock.start();
    {
        vb::MSComm comm;
        comm.setCommPort(QStringLiteral("1"));
        for (int round = 0; round < 20; ++round) {
            QVERIFY(comm.setPortOpen(true));
            QCOMPARE(comm.watch(), vb::MSComm::Watch::Waiting);
            QVERIFY(comm.setPortOpen(false));
            QCOMPARE(comm.watch(), vb::MSComm::Watch::None);
            QVERIFY(!comm.portOpen());
        }
        QVERIFY(comm.setPortOpen(true));
        QTest::qWait(20);
    }
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    changes = nullptr;
}

// A pseudo-terminal is a real terminal device whose driver has no modem lines
// to wait for: the control opens it by its path, finds that it cannot wait
// and samples instead.
void SerialTest::pseudoTerminalByPath() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString path = QString::fromLocal8Bit(::ptsname(master));
    vb::MSComm comm;
    comm.setCommPort(path);
    comm.setDTREnable(true);
    comm.setRTSEnable(true);
    QVERIFY(comm.setPortOpen(true));
    QTRY_COMPARE(comm.watch(), vb::MSComm::Watch::Polling);
    QVERIFY(!comm.DSRHolding() && !comm.CTSHolding() && !comm.CDHolding());
    QVERIFY(comm.setPortOpen(false));
    QCOMPARE(comm.watch(), vb::MSComm::Watch::None);
    ::close(master);
}

QTEST_GUILESS_MAIN(SerialTest)
#include "tst_serial.moc"
