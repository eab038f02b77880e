#pragma once

#include <QString>
#include <QStringList>

// Cuts what the control link delivers into messages. The link has no
// framing, and a busy relay joins station reports into one arrival or splits
// one across two. Station reports have a fixed form (five identity
// characters, an optional kind character, a channel token; or the alarm
// identity + "A" + channel + "A"), so they are cut apart wherever they stand;
// what is not a report runs up to the reports that follow it. A report cut
// off at the end of an arrival waits for its rest, so no message ever starts
// in the middle of another.
class ControlStream {
public:
    // A message longer than this is cut at its end; its start, where the
    // command words stand, is kept.
    static constexpr int longestMessage = 4096;

    QStringList take(const QString &arrival);
    // A new connection starts a new stream.
    void clear() { m_pending.clear(); }
    QString pending() const { return m_pending; }

    // Length of the complete station report at `at`; 0 when none starts
    // there, -1 when the text ends inside what could still become one.
    static int reportAt(const QString &text, qsizetype at);

private:
    QString m_pending;
};
