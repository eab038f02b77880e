#include "chat/chatarrival.h"

ChatArrival readChatArrival(QString data) {
    constexpr qsizetype joinLength = 1 + chatNickWidth;
    ChatArrival arrival;
    while (data.startsWith(u'1')) {
        arrival.joins.append(trimBlanks(data.mid(1, chatNickWidth)));
        data = data.size() > joinLength ? data.mid(joinLength) : QString();
    }
    if (data.startsWith(u'0'))
        arrival.line =
            ChatArrival::Line{trimBlanks(data.mid(1, chatNickWidth)), data.mid(1 + chatNickWidth)};
    return arrival;
}

QString trimBlanks(const QString &text) {
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && text.at(start) == u' ')
        ++start;
    while (end > start && text.at(end - 1) == u' ')
        --end;
    return text.mid(start, end - start);
}
