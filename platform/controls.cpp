#include "controls.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QSvgRenderer>
#include <QTextEdit>
#include <algorithm>
#include <cmath>

namespace vb {

int pixelsFromTwips(int twips) {
    return int(std::lround(twips / double(twipsPerPixel)));
}
int twipsFromPixels(int pixels) {
    return pixels * twipsPerPixel;
}

QColor colourFromValue(quint32 value) {
    if (value & 0x80000000u) {
        const QPalette palette = QApplication::palette();
        switch (value & 0xFF) {
        case 0x05: // window background
            return palette.color(QPalette::Base);
        case 0x08: // window text
        case 0x12: // button text
            return palette.color(QPalette::Text);
        case 0x0D: // highlight
            return palette.color(QPalette::Highlight);
        case 0x0E: // highlighted text
            return palette.color(QPalette::HighlightedText);
        case 0x11: // grey text
            return QColor(0x6d, 0x6d, 0x6d);
        case 0x0F: // button face
        default:
            return palette.color(QPalette::Button);
        }
    }
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

bool colourFromText(const QString &text, quint32 *value) {
    QString t = text.trimmed();
    bool ok = false;
    qlonglong v = 0;
    if (t.startsWith(QLatin1String("&H"), Qt::CaseInsensitive)) {
        t = t.mid(2);
        if (t.endsWith(QLatin1Char('&')))
            t.chop(1);
        v = t.toLongLong(&ok, 16);
    } else {
        v = t.toLongLong(&ok, 10);
    }
    if (!ok || v < 0 || v > 0xFFFFFFFFLL)
        return false;
    *value = quint32(v);
    return true;
}

void TwipsGeometry::setLeftTwips(int twips) {
    m_left = twips;
    apply();
}
void TwipsGeometry::setWidthTwips(int twips) {
    m_width = twips;
    apply();
}
void TwipsGeometry::setHeightTwips(int twips) {
    m_height = twips;
    apply();
}
void TwipsGeometry::setTwipsGeometry(int left, int top, int width, int height) {
    m_left = left;
    m_top = top;
    m_width = width;
    m_height = height;
    apply();
}
void TwipsGeometry::apply() {
    m_widget->setGeometry(pixelsFromTwips(m_left), pixelsFromTwips(m_top),
                          std::max(0, pixelsFromTwips(m_width)),
                          std::max(0, pixelsFromTwips(m_height)));
}

int buttonValue(Qt::MouseButton button) {
    switch (button) {
    case Qt::LeftButton:
        return 1;
    case Qt::RightButton:
        return 2;
    case Qt::MiddleButton:
        return 4;
    default:
        return 0;
    }
}

int shiftValue(Qt::KeyboardModifiers modifiers) {
    int shift = 0;
    if (modifiers & Qt::ShiftModifier)
        shift |= 1;
    if (modifiers & Qt::ControlModifier)
        shift |= 2;
    if (modifiers & Qt::AltModifier)
        shift |= 4;
    return shift;
}

int keyCodeFromQt(int qtKey) {
    switch (qtKey) {
    case Qt::Key_Space:
        return vbKeySpace;
    case Qt::Key_Left:
        return vbKeyLeft;
    case Qt::Key_Up:
        return vbKeyUp;
    case Qt::Key_Right:
        return vbKeyRight;
    case Qt::Key_Down:
        return vbKeyDown;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return vbKeyReturn;
    case Qt::Key_Escape:
        return vbKeyEscape;
    case Qt::Key_Backspace:
        return vbKeyBack;
    case Qt::Key_Tab:
        return vbKeyTab;
    default:
        if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)
            return vbKeyA + (qtKey - Qt::Key_A);
        if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9)
            return vbKey0 + (qtKey - Qt::Key_0);
        return 0;
    }
}

static float twipsX(const QMouseEvent *event) {
    return float(event->position().x() * twipsPerPixel);
}
static float twipsY(const QMouseEvent *event) {
    return float(event->position().y() * twipsPerPixel);
}

namespace {

// The panel's labels and pictures as a screen reader sees them.
class ControlAccessible : public QAccessibleWidget {
public:
    explicit ControlAccessible(ClickableControl *control)
        : QAccessibleWidget(control, control->accessibleRole()) {}

    QAccessible::Role role() const override { return control()->accessibleRole(); }

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        if (control()->accessibleRole() == QAccessible::CheckBox) {
            state.checkable = true;
            state.checked = control()->accessibleChecked();
        }
        return state;
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) {
            if (auto *bar = qobject_cast<ProgressBar *>(control()))
                return QString::number(double(bar->value()));
        }
        return QAccessibleWidget::text(t);
    }

    QStringList actionNames() const override {
        QStringList names = QAccessibleWidget::actionNames();
        if (pressable())
            names.prepend(pressAction());
        return names;
    }

    void doAction(const QString &name) override {
        if (name == pressAction() && pressable()) {
            control()->press();
            return;
        }
        QAccessibleWidget::doAction(name);
    }

private:
    ClickableControl *control() const { return static_cast<ClickableControl *>(widget()); }
    bool pressable() const {
        const QAccessible::Role role = control()->accessibleRole();
        return control()->isEnabled() &&
               (role == QAccessible::Button || role == QAccessible::CheckBox);
    }
};

QAccessibleInterface *controlAccessible(const QString &, QObject *object) {
    if (auto *control = qobject_cast<ClickableControl *>(object))
        return new ControlAccessible(control);
    return nullptr;
}

} // namespace

ClickableControl::ClickableControl(QWidget *parent, const QString &name)
    : QWidget(parent), TwipsGeometry(this) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(controlAccessible);
        return true;
    }();
    (void)factoryInstalled;
    setObjectName(name);
}

void ClickableControl::addPopupMenuItem(const QString &caption, std::function<void()> onClick) {
    if (!m_popupMenu) {
        m_popupMenu = new QMenu(this);
        setContextMenuPolicy(Qt::CustomContextMenu);
        connect(this, &QWidget::customContextMenuRequested, this,
                [this](const QPoint &at) { m_popupMenu->popup(mapToGlobal(at)); });
    }
    m_popupMenu->addAction(caption, this, std::move(onClick));
}

void ClickableControl::setAccessibleRole(QAccessible::Role role) {
    m_role = role;
}

void ClickableControl::setAccessibleChecked(std::function<bool()> checked) {
    m_checked = std::move(checked);
}

void ClickableControl::press() {
    emit MouseDown(1, 0, 0, 0);
    emit MouseUp(1, 0, 0, 0);
    emit Click();
}

void ClickableControl::setToolTipText(const QString &text) {
    setToolTip(text);
    updateAccessibleName();
}

void ClickableControl::updateAccessibleName() {
    if (!toolTip().isEmpty())
        setAccessibleName(toolTip());
}

void ClickableControl::mousePressEvent(QMouseEvent *event) {
    m_pressedInside = true;
    emit MouseDown(buttonValue(event->button()), shiftValue(event->modifiers()), twipsX(event),
                   twipsY(event));
}

void ClickableControl::mouseReleaseEvent(QMouseEvent *event) {
    const bool click = m_pressedInside && rect().contains(event->position().toPoint()) &&
                       event->button() == Qt::LeftButton;
    m_pressedInside = false;
    emit MouseUp(buttonValue(event->button()), shiftValue(event->modifiers()), twipsX(event),
                 twipsY(event));
    if (click)
        emit Click();
}

void ClickableControl::mouseDoubleClickEvent(QMouseEvent *event) {
    m_pressedInside = true;
    emit DblClick();
    emit MouseDown(buttonValue(event->button()), shiftValue(event->modifiers()), twipsX(event),
                   twipsY(event));
}

void ClickableControl::keyPressEvent(QKeyEvent *event) {
    const int key = event->key();
    if (!event->isAutoRepeat() &&
        (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter)) {
        press();
        return;
    }
    QWidget::keyPressEvent(event);
}

void ClickableControl::paintFocus(QPainter &painter) {
    if (!hasFocus())
        return;
    painter.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DashLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(1, 1, -2, -2));
}

void ClickableControl::mouseMoveEvent(QMouseEvent *event) {
    emit MouseMove(buttonValue(Qt::MouseButton(int(event->buttons() & Qt::LeftButton))),
                   shiftValue(event->modifiers()), twipsX(event), twipsY(event));
}

Label::Label(QWidget *parent, const QString &name, const QString &caption)
    : ClickableControl(parent, name) {
    setCaption(caption);
}

void Label::setCaption(const QString &caption) {
    if (caption == m_caption)
        return;
    m_caption = caption;
    updateAccessibleName();
    update();
    if (isVisible()) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

void Label::updateAccessibleName() {
    setAccessibleName(m_caption.isEmpty() ? toolTip() : m_caption);
}

// Setting what is already shown draws nothing: the panel's timers set the
// same values over and over while the radio is idle.
void Label::setBackColor(quint32 value) {
    if (value == m_backColor)
        return;
    m_backColor = value;
    update();
}
void Label::setForeColor(quint32 value) {
    if (value == m_foreColor)
        return;
    m_foreColor = value;
    update();
}
void Label::setBackStyle(int style) {
    m_backStyle = style;
    update();
}
void Label::setBorderStyle(int style) {
    m_borderStyle = style;
    update();
}
void Label::setAlignment(int alignment) {
    m_alignment = alignment;
    update();
}

void Label::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    if (m_backStyle != 0)
        painter.fillRect(rect(), colourFromValue(m_backColor));
    if (m_borderStyle != 0) {
        painter.setPen(QPen(Qt::black, 1));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
    QColor text = colourFromValue(m_foreColor);
    if (!isEnabled())
        text = colourFromValue(systemGrayText);
    painter.setPen(text);
    int flags = Qt::TextWordWrap | Qt::AlignTop;
    if (m_alignment == RightJustify)
        flags |= Qt::AlignRight;
    else if (m_alignment == Center)
        flags |= Qt::AlignHCenter;
    else
        flags |= Qt::AlignLeft;
    QString shown = m_caption;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    painter.drawText(rect().adjusted(1, 0, -1, 0), flags, shown);
    paintFocus(painter);
}

Image::Image(QWidget *parent, const QString &name) : ClickableControl(parent, name) {
    setAccessibleRole(QAccessible::Graphic);
}
Image::~Image() = default;

bool Image::setPicture(const QString &resourcePath) {
    m_svg.reset();
    m_pixmap = QPixmap();
    m_rendered = QPixmap();
    if (!QFile::exists(resourcePath)) {
        update();
        return false;
    }
    if (resourcePath.endsWith(QLatin1String(".svg"))) {
        auto svg = std::make_unique<QSvgRenderer>(resourcePath);
        if (svg->isValid())
            m_svg = std::move(svg);
    } else {
        m_pixmap.load(resourcePath);
    }
    update();
    return hasPicture();
}

bool Image::hasPicture() const {
    return m_svg || !m_pixmap.isNull();
}

void Image::setBorderStyle(int style) {
    m_borderStyle = style;
    update();
}

void Image::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_svg) {
        const qreal ratio = devicePixelRatioF();
        if (m_rendered.size() != size() * ratio || m_rendered.devicePixelRatio() != ratio) {
            m_rendered = QPixmap(size() * ratio);
            m_rendered.setDevicePixelRatio(ratio);
            m_rendered.fill(Qt::transparent);
            QPainter svgPainter(&m_rendered);
            svgPainter.setRenderHint(QPainter::Antialiasing);
            m_svg->render(&svgPainter, QRectF(rect()));
        }
        painter.drawPixmap(0, 0, m_rendered);
    } else if (!m_pixmap.isNull())
        painter.drawPixmap(rect(), m_pixmap);
    if (m_borderStyle != 0) {
        // The pressed look of a panel key.
        painter.setPen(QPen(QColor(0, 0, 0, 200), 2));
        painter.drawRect(rect().adjusted(1, 1, -1, -1));
    }
}

Timer::Timer(QObject *parent, const QString &name, std::function<void()> onTick) : QObject(parent) {
    setObjectName(name);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, std::move(onTick));
}

void Timer::setInterval(int intervalMs) {
    m_intervalMs = intervalMs;
    if (intervalMs > 0)
        m_timer.start(std::max(intervalMs, shortestIntervalMs));
    else
        m_timer.stop();
}

ProgressBar::ProgressBar(QWidget *parent, const QString &name, bool vertical)
    : ClickableControl(parent, name), m_vertical(vertical) {
    setAccessibleRole(QAccessible::ProgressBar);
}

void ProgressBar::setValue(float value) {
    value = std::clamp(value, m_min, m_max);
    if (value == m_value)
        return;
    m_value = value;
    update();
}

void ProgressBar::setRange(float min, float max) {
    m_min = min;
    m_max = max;
    m_value = std::clamp(m_value, m_min, m_max);
    update();
}

void ProgressBar::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), m_trough);
    const double span = m_max > m_min ? double(m_max - m_min) : 1.0;
    const double share = (m_value - m_min) / span;
    QRectF filled = rect();
    if (m_vertical) {
        const double h = filled.height() * share;
        filled.setTop(filled.bottom() - h);
    } else {
        filled.setWidth(filled.width() * share);
    }
    painter.fillRect(filled, m_bar);
}

Slider::Slider(QWidget *parent, const QString &name, const QString &accessibleName)
    : QSlider(Qt::Horizontal, parent), TwipsGeometry(this) {
    setObjectName(name);
    setAccessibleName(accessibleName);
    connect(this, &QSlider::actionTriggered, this, [this](int) {
        // actionTriggered comes before the value changes; report after it has.
        QMetaObject::invokeMethod(this, &Slider::Scroll, Qt::QueuedConnection);
    });
    connect(this, &QSlider::sliderReleased, this, &Slider::Scroll);
}

TextBox::TextBox(QWidget *parent, const QString &name, const QString &accessibleName)
    : QLineEdit(parent), TwipsGeometry(this) {
    setObjectName(name);
    setAccessibleName(accessibleName);
}

void TextBox::keyPressEvent(QKeyEvent *event) {
    emit KeyDown(keyCodeFromQt(event->key()), shiftValue(event->modifiers()));
    QLineEdit::keyPressEvent(event);
}

CheckBox::CheckBox(QWidget *parent, const QString &name, const QString &caption)
    : QCheckBox(caption, parent), TwipsGeometry(this) {
    setObjectName(name);
    setAccessibleName(caption);
    connect(this, &QCheckBox::clicked, this, &CheckBox::Click);
}

CommandButton::CommandButton(QWidget *parent, const QString &name, const QString &caption)
    : QPushButton(caption, parent), TwipsGeometry(this) {
    setObjectName(name);
    setAccessibleName(caption);
    connect(this, &QPushButton::clicked, this, &CommandButton::Click);
}

void CommandButton::setCaption(const QString &caption) {
    setText(caption);
    setAccessibleName(caption);
}

void CommandButton::keyPressEvent(QKeyEvent *event) {
    emit KeyDown(keyCodeFromQt(event->key()), shiftValue(event->modifiers()));
    // The space bar is the push-to-talk key, not a click.
    if (event->key() != Qt::Key_Space)
        QPushButton::keyPressEvent(event);
}

void CommandButton::keyReleaseEvent(QKeyEvent *event) {
    // A held key repeats as release/press pairs on some window systems; only
    // the real release lets go, the repeated presses arrive as key downs.
    if (!event->isAutoRepeat())
        emit KeyUp(keyCodeFromQt(event->key()), shiftValue(event->modifiers()));
    if (event->key() != Qt::Key_Space)
        QPushButton::keyReleaseEvent(event);
}

void CommandButton::mousePressEvent(QMouseEvent *event) {
    emit MouseDown(buttonValue(event->button()), shiftValue(event->modifiers()), twipsX(event),
                   twipsY(event));
    QPushButton::mousePressEvent(event);
}

void CommandButton::mouseReleaseEvent(QMouseEvent *event) {
    emit MouseUp(buttonValue(event->button()), shiftValue(event->modifiers()), twipsX(event),
                 twipsY(event));
    QPushButton::mouseReleaseEvent(event);
}

void CommandButton::focusOutEvent(QFocusEvent *event) {
    QPushButton::focusOutEvent(event);
    emit LostFocus();
}

Frame::Frame(QWidget *parent, const QString &name, const QString &caption)
    : ClickableControl(parent, name) {
    setAccessibleRole(QAccessible::Grouping);
    setCaption(caption);
}

void Frame::setCaption(const QString &caption) {
    m_caption = caption;
    setAccessibleName(caption);
    update();
}

void Frame::setBackColor(quint32 value) {
    m_backColor = value;
    update();
}

void Frame::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    if (m_backColor)
        painter.fillRect(rect(), colourFromValue(*m_backColor));
    if (m_caption.isEmpty())
        return;
    painter.setRenderHint(QPainter::Antialiasing);
    const int textHeight = fontMetrics().height();
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, textHeight / 2.0, -0.5, -0.5), 3, 3);
    const QRect textRect(8, 0, fontMetrics().horizontalAdvance(m_caption) + 6, textHeight);
    if (m_backColor)
        painter.fillRect(textRect, colourFromValue(*m_backColor));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(textRect, Qt::AlignCenter, m_caption);
}

Line::Line(QWidget *parent, const QString &name) : QWidget(parent) {
    setObjectName(name);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    if (parent) {
        setGeometry(parent->rect());
        parent->installEventFilter(this);
    }
}

void Line::setPoints(float x1, float y1, float x2, float y2) {
    m_x1 = x1;
    m_y1 = y1;
    m_x2 = x2;
    m_y2 = y2;
    update();
}

void Line::setX2(float twips) {
    if (twips == m_x2)
        return;
    m_x2 = twips;
    update();
}

void Line::setY2(float twips) {
    if (twips == m_y2)
        return;
    m_y2 = twips;
    update();
}

void Line::setPen(const QColor &colour, int widthPx) {
    m_colour = colour;
    m_widthPx = widthPx;
    update();
}

bool Line::eventFilter(QObject *watched, QEvent *event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return false;
}

void Line::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(m_colour, m_widthPx, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(m_x1 / twipsPerPixel, m_y1 / twipsPerPixel),
                     QPointF(m_x2 / twipsPerPixel, m_y2 / twipsPerPixel));
}

void paintFaceplate(QWidget &window, const Faceplate &plate) {
    QPainter painter(&window);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(window.rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient faceplate(0, 0, 0, window.height());
    faceplate.setColorAt(0, plate.light);
    faceplate.setColorAt(0.55, plate.mid);
    faceplate.setColorAt(1, plate.light);
    QPainterPath outline;
    outline.addRoundedRect(area, 10, 10);
    painter.fillPath(outline, faceplate);
    // Brushed like the radio's faceplate.
    painter.setPen(QColor(255, 255, 255, 18));
    for (int x = 8; x < window.width() - 8; x += 4)
        painter.drawLine(x, 3, x, window.height() - 3);
    painter.setPen(QPen(Qt::black, 1.5));
    painter.drawPath(outline);
    painter.setPen(QColor(255, 255, 255, 96));
    painter.drawRoundedRect(area.adjusted(3, 3, -3, -3), 8, 8);
}

void setPaperLook(QTextEdit &history, const QColor &paper) {
    history.setStyleSheet(QStringLiteral("QTextEdit { background: %1; color: #101010; border: 2px "
                                         "solid #1a1a1a; border-radius: 3px; }")
                              .arg(paper.name()));
}

void setPaperLook(QLineEdit &field, const QColor &paper) {
    field.setStyleSheet(
        QStringLiteral("QLineEdit { background: %1; color: #101010; border: 2px solid #1a1a1a; "
                       "border-radius: 3px; padding: 0 3px; } QLineEdit:disabled { background: "
                       "#9a9a9a; }")
            .arg(paper.name()));
}

void setDarkKeyLook(QPushButton &key) {
    key.setStyleSheet(QStringLiteral(
        "QPushButton { color: #e8e8e8; font-weight: bold; border: 1px solid #000; border-radius: "
        "3px; background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #5a5a5a, stop:1 "
        "#262626); } QPushButton:pressed { color: #ff4040; } QPushButton:disabled { color: "
        "#808080; }"));
}

} // namespace vb
