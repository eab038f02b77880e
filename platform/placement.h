#pragma once

#include <QList>
#include <QPoint>
#include <QRect>

namespace vb {

// The window's top left as it is when enough of it shows on one of the
// screens' available areas; otherwise a position that puts it on the first
// screen, as far inside as it fits. Unchanged when there are no screens.
QPoint visiblePosition(const QRect &window, const QList<QRect> &screens);

} // namespace vb
