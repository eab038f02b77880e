#include "mscomm.h"

#include <QSerialPort>

namespace vb {

namespace {

class SerialPortLines : public SerialLineSource {
public:
    bool open(const QString &device) override {
        m_port.setPortName(device);
        return m_port.open(QIODevice::ReadWrite);
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

private:
    QSerialPort m_port;
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

MSComm::~MSComm() = default;

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
        m_poll.stop();
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
    m_inputs = m_source->inputs();
    m_poll.start();
    return true;
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
