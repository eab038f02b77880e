#include "placement.h"

#include <algorithm>

namespace vb {

QPoint visiblePosition(const QRect &window, const QList<QRect> &screens) {
    if (screens.isEmpty())
        return window.topLeft();
    // Enough to grab the window by and pull it further in.
    const int needWidth = std::min(64, window.width());
    const int needHeight = std::min(32, window.height());
    for (const QRect &screen : screens) {
        const QRect shown = screen.intersected(window);
        if (shown.width() >= needWidth && shown.height() >= needHeight)
            return window.topLeft();
    }
    const QRect &first = screens.front();
    const auto inside = [](int at, int size, int start, int length) {
        return std::max(start, std::min(at, start + length - size));
    };
    return {inside(window.x(), window.width(), first.x(), first.width()),
            inside(window.y(), window.height(), first.y(), first.height())};
}

} // namespace vb
