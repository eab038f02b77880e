#include "radio/optionsfile.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace optionsfile {

std::array<QString, lineCount> lines(const QByteArray &content) {
    std::array<QString, lineCount> result;
    qsizetype at = 0;
    for (QString &text : result) {
        if (at >= content.size())
            break;
        qsizetype end = content.indexOf('\n', at);
        if (end < 0)
            end = content.size();
        QByteArrayView line = QByteArrayView(content).sliced(at, end - at);
        while (line.endsWith('\r'))
            line.chop(1);
        text = QString::fromLatin1(line.first(std::min<qsizetype>(line.size(), longestLine)))
                   .trimmed();
        at = end + 1;
    }
    return result;
}

bool numberFromText(const QString &text, double *value) {
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

bool wholeNumber(const QString &text, qint16 *value) {
    double v = 0;
    if (!numberFromText(text, &v))
        return false;
    v = std::nearbyint(v);
    if (v < -32768 || v > 32767)
        return false;
    *value = qint16(v);
    return true;
}

bool coordinateTwips(const QString &text, int *value) {
    double v = 0;
    if (!numberFromText(text, &v))
        return false;
    v = std::nearbyint(v);
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    *value = int(v);
    return true;
}

bool isDevicePath(const QString &text) {
    return text.startsWith(QLatin1Char('/')) && text.size() > 1;
}

} // namespace optionsfile
