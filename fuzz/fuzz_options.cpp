// optionen.txt as the options reader takes it apart: any bytes must give seven
// lines, numbers or none, and a window position on the screen.

#include "placement.h"
#include "radio/optionsfile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto lines = optionsfile::lines(content);
    qint16 numbers[optionsfile::lineCount] = {};
    for (int index = 0; index < optionsfile::lineCount; ++index) {
        if (lines[index].size() > optionsfile::longestLine)
            std::abort();
        double value = 0;
        optionsfile::numberFromText(lines[index], &value);
        optionsfile::wholeNumber(lines[index], &numbers[index]);
        optionsfile::isDevicePath(lines[index]);
    }
    // Lines 4 and 5 as pixels (15 twips each) against two screens.
    const QRect window(numbers[4] / 15, numbers[3] / 15, 640, 300);
    const QList<QRect> screens = {QRect(0, 0, 1920, 1080), QRect(1920, -200, 1280, 1024)};
    const QPoint placed = vb::visiblePosition(window, screens);
    bool shown = false;
    for (const QRect &screen : screens)
        shown = shown || screen.intersected(QRect(placed, window.size())).width() >= 64;
    if (!shown)
        std::abort();
    return 0;
}
