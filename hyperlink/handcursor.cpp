#include "hyperlink.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

// A 32 x 32 pointing hand: the index finger up, the other fingers folded over
// the palm, the thumb to the left; the hot spot is the fingertip.
QCursor pointingHandCursor() {
    QPainterPath hand;
    hand.addRoundedRect(QRectF(10, 1, 5, 18), 2.5, 2.5);
    hand.addRoundedRect(QRectF(14.5, 10, 4.5, 9), 2.2, 2.2);
    hand.addRoundedRect(QRectF(18.5, 11, 4.5, 9), 2.2, 2.2);
    hand.addRoundedRect(QRectF(22.5, 12.5, 4.5, 8), 2.2, 2.2);
    hand.addRoundedRect(QRectF(10, 15, 17, 14), 4, 4);
    QPainterPath thumb;
    thumb.moveTo(10.5, 25);
    thumb.lineTo(4.5, 19.5);
    thumb.cubicTo(3, 18, 4.5, 15.5, 6.5, 16.5);
    thumb.lineTo(11, 20);
    thumb.closeSubpath();
    hand = hand.united(thumb).simplified();

    QPixmap image(32, 32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1.2));
    painter.setBrush(Qt::white);
    painter.drawPath(hand);
    painter.end();
    return QCursor(image, 12, 1);
}
