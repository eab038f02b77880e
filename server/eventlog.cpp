#include "eventlog.h"

#include <QStringList>

#include <chrono>
#include <cstdio>

namespace {

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

EventLog::EventLog(bool quiet, int linesPerSecond)
    : m_quiet(quiet), m_linesPerSecond(linesPerSecond) {
    if (!m_quiet)
        m_thread = std::thread([this] { run(); });
}

EventLog::~EventLog() {
    if (!m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void EventLog::write(const QString &line, int port, const QString &state) {
    if (m_quiet)
        return;
    {
        const std::lock_guard lock(m_mutex);
        const std::int64_t now = nowMs();
        if (tellsStateChange(line)) {
            m_pending.push_back(line);
            m_wake.notify_one();
            return;
        }
        if (now - m_windowStartMs >= 1000 && m_folded == 0) {
            m_windowStartMs = now;
            m_linesInWindow = 0;
        }
        if (m_linesInWindow < m_linesPerSecond && m_folded == 0) {
            ++m_linesInWindow;
            m_pending.push_back(line);
        } else {
            ++m_folded;
            if (port >= 0 && !state.isEmpty())
                m_foldedStates[port] = state;
            return;
        }
    }
    m_wake.notify_one();
}

bool EventLog::tellsStateChange(const QString &line) {
    return line.startsWith(QLatin1String("accepting ")) ||
           line.startsWith(QLatin1String("banned ")) || line.contains(QLatin1String("too slow"));
}

void EventLog::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait_for(lock, std::chrono::milliseconds(100));
        std::vector<QString> lines;
        lines.swap(m_pending);
        if (m_folded > 0 && nowMs() - m_windowStartMs >= 1000) {
            QStringList states;
            for (const auto &[port, state] : m_foldedStates)
                states.append(state);
            QString summary =
                QStringLiteral("%1 more lines in the last second not shown").arg(m_folded);
            if (!states.isEmpty())
                summary += QStringLiteral("; now ") + states.join(QStringLiteral("; "));
            lines.push_back(summary);
            m_folded = 0;
            m_foldedStates.clear();
            m_windowStartMs = nowMs();
            m_linesInWindow = 0;
        }
        const bool stopping = m_stopping;
        lock.unlock();
        for (const QString &line : lines)
            writeLine(line);
        lock.lock();
        if (stopping && m_pending.empty()) {
            if (m_folded > 0)
                writeLine(QStringLiteral("%1 more lines not shown").arg(m_folded));
            return;
        }
    }
}

void EventLog::writeLine(const QString &line) const {
    std::fprintf(stderr, "marlox-relay: %s\n", qPrintable(line));
    std::fflush(stderr);
}
