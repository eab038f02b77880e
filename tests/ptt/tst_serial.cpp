// The serial-port control: port names, absent ports, and OnComm on changes
// of the status inputs only.

#include "mscomm.h"

#include <QSignalSpy>
#include <QTest>

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

QTEST_GUILESS_MAIN(SerialTest)
#include "tst_serial.moc"
