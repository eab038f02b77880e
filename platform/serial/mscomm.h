#pragma once

// The serial-port control the radio is keyed through: a switch or foot pedal
// connects the raised outputs (DTR, RTS) to the status inputs (DSR, CTS, CD).
// OnComm is raised on the event loop whenever one of the three inputs changes.
//
// Port names: "1" is the platform's first serial port, "2" the second and so
// on (/dev/ttyS0, /dev/ttyS1... on Linux, COM1, COM2... on Windows); a device
// path such as "/dev/ttyUSB0" is taken as it is. A port that does not exist
// or cannot be opened leaves the control closed, and it raises nothing.
//
// Where the driver can wait for a line change (TIOCMIWAIT on Linux), a thread
// waits for it and nothing runs between changes; where it cannot, the lines
// are sampled every pollIntervalMs.

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

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
    enum class Wait {
        Changed,     // an input may have changed
        Interrupted, // a signal ended the wait; look whether to stop, then wait again
        Unsupported, // the driver cannot wait: sample instead
        Failed,      // the device is gone
    };

    virtual ~SerialLineSource() = default;
    virtual bool open(const QString &device) = 0;
    virtual void setOutputs(bool dtr, bool rts) = 0;
    virtual SerialInputs inputs() = 0;
    // Called on the watching thread: blocks until an input changes. A source
    // that cannot wait answers Unsupported at once.
    virtual Wait waitForChange() { return Wait::Unsupported; }
};

class MSComm : public QObject {
    Q_OBJECT
public:
    // How often the inputs are sampled where the driver cannot wait for a
    // change. A pedal is held far longer; a shorter period only costs wake-ups.
    static constexpr int pollIntervalMs = 20;

    enum class Watch { None, Waiting, Polling };

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
    // How the open port is watched.
    Watch watch() const { return m_watch; }

    bool DSRHolding() const { return m_inputs.dsr; }
    bool CTSHolding() const { return m_inputs.cts; }
    bool CDHolding() const { return m_inputs.cd; }

signals:
    void OnComm();

private:
    void sample();
    void startPolling();
    void stopWatching();
    void watchLoop();

    QString m_port;
    bool m_dtr = false;
    bool m_rts = false;
    std::unique_ptr<SerialLineSource> m_source;
    SerialInputs m_inputs;
    QTimer m_poll;
    Watch m_watch = Watch::None;
    // Counts the openings, so that news from an earlier one is recognised.
    quint64 m_openings = 0;
    std::thread m_watcher;
    std::atomic<bool> m_stopWatching{false};
    std::atomic<bool> m_watcherDone{true};
};

} // namespace vb
