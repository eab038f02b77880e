#include "mscomm.h"

#include <QSerialPort>

#include <chrono>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/ioctl.h>
#endif

namespace vb {

namespace {

#ifdef Q_OS_UNIX
// Sent to the watching thread to end its wait when the port closes; the
// handler does nothing, the interrupted wait is the point.
constexpr int wakeSignal = SIGUSR2;

void ignoreWake(int) {}

// True once our handler is in place. A signal somebody else handles is left
// to them, and the lines are then polled.
bool wakeSignalReady() {
    static const bool ready = [] {
        struct sigaction current = {};
        if (::sigaction(wakeSignal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
            return false;
        struct sigaction action = {};
        action.sa_handler = ignoreWake;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: the wait must end
        return ::sigaction(wakeSignal, &action, nullptr) == 0;
    }();
    return ready;
}
#endif

class SerialPortLines : public SerialLineSource {
public:
    bool open(const QString &device) override {
        m_port.setPortName(device);
        if (!m_port.open(QIODevice::ReadWrite))
            return false;
        m_handle = int(m_port.handle());
        return true;
    }
    void setOutputs(bool dtr, bool rts) override {
        m_port.setDataTerminalReady(dtr);
        m_port.setRequestToSend(rts);
    }
    SerialInputs inputs() override {
        const QSerialPort::PinoutSignals pins = m_port.pinoutSignals();
        return {pins.testFlag(QSerialPort::DataSetReadySignal),
                pins.testFlag(QSerialPort::ClearToSendSignal),
                pins.testFlag(QSerialPort::DataCarrierDetectSignal)};
    }
    Wait waitForChange() override {
#ifdef Q_OS_LINUX
        if (::ioctl(m_handle, TIOCMIWAIT, TIOCM_DSR | TIOCM_CTS | TIOCM_CD) == 0)
            return Wait::Changed;
        switch (errno) {
        case EINTR:
            return Wait::Interrupted;
        case EINVAL:
        case ENOTTY:
            return Wait::Unsupported;
        default:
            return Wait::Failed;
        }
#else
        return Wait::Unsupported;
#endif
    }

private:
    QSerialPort m_port;
    int m_handle = -1;
};

std::function<std::unique_ptr<SerialLineSource>()> &lineSourceFactory() {
    static std::function<std::unique_ptr<SerialLineSource>()> factory;
    return factory;
}

} // namespace

MSComm::MSComm(QObject *parent) : QObject(parent) {
    m_poll.setInterval(pollIntervalMs);
    connect(&m_poll, &QTimer::timeout, this, &MSComm::sample);
}

MSComm::~MSComm() {
    stopWatching();
}

QString MSComm::deviceForPort(const QString &port) {
    const QString name = port.trimmed();
    if (name.isEmpty())
        return {};
    bool isNumber = false;
    const int number = name.toInt(&isNumber);
    if (!isNumber)
        return name;
    if (number < 1 || number > 256)
        return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

void MSComm::setLineSourceFactory(std::function<std::unique_ptr<SerialLineSource>()> factory) {
    lineSourceFactory() = std::move(factory);
}

void MSComm::setDTREnable(bool on) {
    m_dtr = on;
    if (m_source)
        m_source->setOutputs(m_dtr, m_rts);
}

void MSComm::setRTSEnable(bool on) {
    m_rts = on;
    if (m_source)
        m_source->setOutputs(m_dtr, m_rts);
}

bool MSComm::setPortOpen(bool open) {
    if (!open) {
        stopWatching();
        m_source.reset();
        m_inputs = {};
        return true;
    }
    if (m_source)
        return true;
    const QString device = deviceForPort(m_port);
    if (device.isEmpty())
        return false;
    std::unique_ptr<SerialLineSource> source =
        lineSourceFactory() ? lineSourceFactory()() : std::make_unique<SerialPortLines>();
    if (!source || !source->open(device))
        return false;
    source->setOutputs(m_dtr, m_rts);
    m_source = std::move(source);
    ++m_openings;
    m_inputs = m_source->inputs();
#ifdef Q_OS_UNIX
    if (wakeSignalReady()) {
        m_watch = Watch::Waiting;
        m_stopWatching = false;
        m_watcherDone = false;
        m_watcher = std::thread(&MSComm::watchLoop, this);
        return true;
    }
#endif
    startPolling();
    return true;
}

void MSComm::startPolling() {
    m_watch = Watch::Polling;
    m_poll.start();
}

// Runs on the watching thread; it touches nothing but the source's wait and
// posts everything else to the control's thread.
void MSComm::watchLoop() {
    SerialLineSource *source = m_source.get();
    const quint64 opening = m_openings;
    bool watching = true;
    while (watching && !m_stopWatching) {
        switch (source->waitForChange()) {
        case SerialLineSource::Wait::Changed:
            QMetaObject::invokeMethod(this, &MSComm::sample, Qt::QueuedConnection);
            break;
        case SerialLineSource::Wait::Interrupted:
            break;
        case SerialLineSource::Wait::Unsupported:
            QMetaObject::invokeMethod(
                this,
                [this, opening] {
                    if (m_openings == opening && m_watch == Watch::Waiting)
                        startPolling();
                },
                Qt::QueuedConnection);
            watching = false;
            break;
        case SerialLineSource::Wait::Failed:
            // The device went away: one last look releases whatever it held.
            QMetaObject::invokeMethod(this, &MSComm::sample, Qt::QueuedConnection);
            watching = false;
            break;
        }
    }
    m_watcherDone = true;
}

void MSComm::stopWatching() {
    m_poll.stop();
    if (m_watcher.joinable()) {
        m_stopWatching = true;
#ifdef Q_OS_UNIX
        // The signal may land just before the thread enters its wait; repeat
        // it until the thread has seen the stop.
        while (!m_watcherDone) {
            ::pthread_kill(m_watcher.native_handle(), wakeSignal);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
#endif
        m_watcher.join();
    }
    m_watch = Watch::None;
}

void MSComm::sample() {
    if (!m_source)
        return;
    const SerialInputs now = m_source->inputs();
    if (now == m_inputs)
        return;
    m_inputs = now;
    emit OnComm();
}

} // namespace vb
