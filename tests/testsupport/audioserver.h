#pragma once

// The test audio server, steered through pactl.

#include <QByteArray>
#include <QProcess>
#include <QStringList>

namespace testsupport {

// Runs pactl against the test audio server; its output, trimmed.
inline QByteArray pactl(const QStringList &arguments) {
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    process.waitForFinished(10000);
    return process.readAllStandardOutput().trimmed();
}

// A second source with the loudspeaker's sound under another name, the
// server's default input while it lives; then the test server's own source
// is the default again.
class DefaultSource {
public:
    explicit DefaultSource(const QString &name, const QStringList &options = {}) {
        m_module = pactl(QStringList{"load-module", "module-remap-source",
                                     "master=marlox_sink.monitor", "source_name=" + name} +
                         options);
        pactl({"set-default-source", name});
    }
    ~DefaultSource() {
        pactl({"set-default-source", "marlox_source"});
        pactl({"unload-module", QString::fromLatin1(m_module)});
    }
    DefaultSource(const DefaultSource &) = delete;
    DefaultSource &operator=(const DefaultSource &) = delete;

    bool loaded() const { return !m_module.isEmpty(); }

private:
    QByteArray m_module;
};

} // namespace testsupport
