#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// What one arrival from the chat server holds. A join line has a fixed
// length, so a line that came right behind it in the same arrival is cut off
// and read on its own instead of being lost; everything after the join lines
// is one chat line.
struct ChatArrival {
    struct Line {
        QString nick;
        QString text;
    };
    // The call signs of the join lines at the front, in order.
    QStringList joins;
    std::optional<Line> line;
};

constexpr qsizetype chatNickWidth = 50;

ChatArrival readChatArrival(QString data);

// Removes blanks (U+0020) at both ends and nothing else: the no-break space
// of the idle line must survive.
QString trimBlanks(const QString &text);
