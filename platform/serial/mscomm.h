#pragma once

// The serial-port control the radio is keyed through: a switch or foot pedal
// connects the raised outputs (DTR, RTS) to the status inputs (DSR, CTS, CD).
// OnComm is raised on the event loop whenever one of the three inputs changes.
//
// Port names: "1" is the platform's first serial port, "2" the second and so
// on (/dev/ttyS0, /dev/ttyS1... on Linux, COM1, COM2... on Windows); a device
// path such as "/dev/ttyUSB0" is taken as it is. A port that does not exist
// or cannot be opened leaves the control closed, and it raises nothing.

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

namespace vb {

// The status inputs of a port, as a line source reports them.
struct SerialInputs {
    bool dsr = false;
    bool cts = false;
    bool cd = false;
    bool operator==(const SerialInputs &) const = default;
};

// Where the control gets its lines from: a real port, or what a test puts there.
class SerialLineSource {
public:
    virtual ~SerialLineSource() = default;
    virtual bool open(const QString &device) = 0;
    virtual void setOutputs(bool dtr, bool rts) = 0;
    virtual SerialInputs inputs() = 0;
};

class MSComm : public QObject {
    Q_OBJECT
public:
    // How often the inputs are sampled while the port is open. A pedal is
    // held far longer; a shorter period only costs wake-ups.
    static constexpr int pollIntervalMs = 20;

    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    // The device a port name stands for; empty for a name that names none.
    static QString deviceForPort(const QString &port);
    // Tests supply their own lines; an empty function restores real ports.
    static void setLineSourceFactory(std::function<std::unique_ptr<SerialLineSource>()> factory);

    void setCommPort(const QString &port) { m_port = port; }
    QString commPort() const { return m_port; }
    void setDTREnable(bool on);
    void setRTSEnable(bool on);
    // Opening returns false, and leaves the control closed, when the port is absent.
    bool setPortOpen(bool open);
    bool portOpen() const { return m_source != nullptr; }

    bool DSRHolding() const { return m_inputs.dsr; }
    bool CTSHolding() const { return m_inputs.cts; }
    bool CDHolding() const { return m_inputs.cd; }

signals:
    void OnComm();

private:
    void sample();

    QString m_port;
    bool m_dtr = false;
    bool m_rts = false;
    std::unique_ptr<SerialLineSource> m_source;
    SerialInputs m_inputs;
    QTimer m_poll;
};

} // namespace vb
