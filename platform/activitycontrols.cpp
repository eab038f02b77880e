#include "activitycontrols.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHelpEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QToolTip>

namespace vb {

ActivityBar::ActivityBar(QWidget *parent, const QString &name, const QString &accessibleName)
    : ProgressBar(parent, name, true) {
    setAccessibleName(accessibleName);
    setCursor(Qt::PointingHandCursor);
}

void ActivityBar::setValue(float value) {
    const float before = this->value();
    ProgressBar::setValue(value);
    if (this->value() != before && QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, double(this->value()));
        QAccessible::updateAccessibility(&event);
    }
}

bool ActivityBar::event(QEvent *event) {
    if (event->type() != QEvent::ToolTip)
        return ProgressBar::event(event);
    // How long ago the channel was heard: a report fills the bar, and each
    // 0.3 s of the decay takes one off.
    const auto *help = static_cast<QHelpEvent *>(event);
    const int agoSeconds = int((max() - value()) * 0.3f + 0.5f);
    const QString text =
        value() <= min() ? accessibleName() + QStringLiteral(": keine Aktivität")
                         : accessibleName() + QStringLiteral(": aktiv vor %1 s").arg(agoSeconds);
    QToolTip::showText(help->globalPos(), text, this);
    return true;
}

void ActivityBar::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    const QRectF area = rect();
    // The fill's colour belongs to its height, as on a level meter: green
    // near the bottom, amber above, red at the top for a report just in.
    QLinearGradient lit(area.bottomLeft(), area.topLeft());
    lit.setColorAt(0.0, QColor(0x2a, 0xb8, 0x3c));
    lit.setColorAt(0.55, QColor(0xff, 0xb0, 0x40));
    lit.setColorAt(1.0, QColor(0xff, 0x4a, 0x3a));
    QLinearGradient dark(area.bottomLeft(), area.topLeft());
    dark.setColorAt(0.0, QColor(0x0e, 0x26, 0x12));
    dark.setColorAt(0.55, QColor(0x2e, 0x22, 0x0c));
    dark.setColorAt(1.0, QColor(0x30, 0x10, 0x0c));
    painter.fillRect(area, dark);

    const double span = max() > min() ? double(max() - min()) : 1.0;
    const double share = (double(value()) - double(min())) / span;
    QRectF filled = area;
    filled.setTop(area.bottom() - area.height() * share);
    painter.fillRect(filled, lit);

    // Segment gaps, so the bar reads as a column of lamps.
    painter.setPen(QPen(QColor(0, 0, 0, 150), 1));
    for (double y = area.bottom() - 3.5; y > area.top(); y -= 3.5)
        painter.drawLine(QPointF(area.left(), y), QPointF(area.right() + 1, y));
    painter.setPen(QPen(QColor(0, 0, 0, 200), 1));
    painter.drawRect(area.adjusted(0, 0, -1, -1));
}

ChannelNumber::ChannelNumber(QWidget *parent, const QString &name, const QString &caption)
    : Label(parent, name, caption) {
    setCursor(Qt::PointingHandCursor);
    setAccessibleDescription(QStringLiteral("Auf Kanal %1 wechseln").arg(caption));
}

namespace {

// Both controls take a click as their only action; a screen reader's press
// gives the same click as the mouse.
class ClickableAccessible : public QAccessibleWidget {
public:
    ClickableAccessible(QWidget *widget, QAccessible::Role role)
        : QAccessibleWidget(widget, role) {}

    QStringList actionNames() const override {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString &actionName) override {
        if (actionName == pressAction()) {
            if (auto *control = qobject_cast<ClickableControl *>(widget()))
                emit control->Click();
            return;
        }
        QAccessibleWidget::doAction(actionName);
    }
};

class ActivityBarAccessible : public ClickableAccessible, public QAccessibleValueInterface {
public:
    explicit ActivityBarAccessible(ActivityBar *bar)
        : ClickableAccessible(bar, QAccessible::ProgressBar), m_bar(bar) {}

    void *interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return ClickableAccessible::interface_cast(type);
    }
    QAccessible::State state() const override {
        QAccessible::State s = ClickableAccessible::state();
        s.readOnly = true;
        return s;
    }
    QVariant currentValue() const override { return double(m_bar->value()); }
    // The fill follows the channel's reports, not the user.
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return double(m_bar->max()); }
    QVariant minimumValue() const override { return double(m_bar->min()); }
    QVariant minimumStepSize() const override { return 1.0; }

private:
    ActivityBar *m_bar;
};

QAccessibleInterface *activityAccessible(const QString &className, QObject *object) {
    if (className == QLatin1String("vb::ActivityBar"))
        return new ActivityBarAccessible(static_cast<ActivityBar *>(object));
    if (className == QLatin1String("vb::ChannelNumber"))
        return new ClickableAccessible(static_cast<QWidget *>(object), QAccessible::Button);
    return nullptr;
}

} // namespace

void installActivityAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(activityAccessible);
        return true;
    }();
    (void)installed;
}

} // namespace vb
