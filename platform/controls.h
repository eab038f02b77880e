#pragma once

// The window controls the radio's windows are made of. They keep the
// semantics the windows were designed around: colours as 0x00BBGGRR values
// (system colours 0x800000nn included), geometry in twips, and properties
// that read back exactly what was set.

#include <QAccessible>
#include <QCheckBox>
#include <QColor>
#include <QLineEdit>
#include <QObject>
#include <QPushButton>
#include <QSlider>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class QMenu;
class QSvgRenderer;
class QTextEdit;

namespace vb {

constexpr int twipsPerPixel = 15; // 1440 twips an inch at 96 dpi

int pixelsFromTwips(int twips);
int twipsFromPixels(int pixels);

// A 0x00BBGGRR colour, or a system colour (0x800000nn), as the window system sees it.
QColor colourFromValue(quint32 value);
// The colour value a colour text stands for: "&H80C0FF", "&HFF&", "8454016".
// Returns false when the text is not a colour.
bool colourFromText(const QString &text, quint32 *value);

constexpr quint32 systemGrayText = 0x80000011;
constexpr quint32 systemButtonFace = 0x8000000F;
constexpr quint32 systemWindow = 0x80000005;
constexpr quint32 systemWindowText = 0x80000008;
// The panel's lamp colours.
constexpr quint32 vbBlack = 0x000000;
constexpr quint32 vbRed = 0x0000FF;
constexpr quint32 vbGreen = 0x00FF00;
constexpr quint32 vbWhite = 0xFFFFFF;

// Geometry in twips, kept exactly as set so that reading back gives the value
// written even where pixels round.
class TwipsGeometry {
public:
    explicit TwipsGeometry(QWidget *widget) : m_widget(widget) {}
    virtual ~TwipsGeometry() = default;
    int leftTwips() const { return m_left; }
    int topTwips() const { return m_top; }
    int widthTwips() const { return m_width; }
    int heightTwips() const { return m_height; }
    void setLeftTwips(int twips);
    void setWidthTwips(int twips);
    void setHeightTwips(int twips);
    void setTwipsGeometry(int left, int top, int width, int height);

private:
    void apply();
    QWidget *m_widget;
    int m_left = 0;
    int m_top = 0;
    int m_width = 0;
    int m_height = 0;
};

// Mouse arguments as the handlers take them: button 1 left, 2 right, 4 middle.
int buttonValue(Qt::MouseButton button);
int shiftValue(Qt::KeyboardModifiers modifiers);
// Key codes as the handlers take them; letters and digits are their capitals' codes.
enum KeyCode {
    vbKeyBack = 8,
    vbKeyTab = 9,
    vbKeyReturn = 13,
    vbKeyEscape = 27,
    vbKeySpace = 32,
    vbKeyLeft = 37,
    vbKeyUp = 38,
    vbKeyRight = 39,
    vbKeyDown = 40,
    vbKey0 = 48,
    vbKeyA = 65,
    vbKeyL = 76,
    vbKeyR = 82,
};
int keyCodeFromQt(int qtKey);

// Shared by every clickable control: the events the handlers connect to.
class ClickableControl : public QWidget, public TwipsGeometry {
    Q_OBJECT
public:
    explicit ClickableControl(QWidget *parent, const QString &name);
    // Whether the control is shown when its window is; reads back what was set.
    bool visible() const { return !isHidden(); }
    void setToolTipText(const QString &text);

    // What a screen reader is told the control is. Keys are push buttons, or
    // check boxes where they switch something on and off, and offer a press
    // action; lamps, displays and pictures only show.
    QAccessible::Role accessibleRole() const { return m_role; }
    void setAccessibleRole(QAccessible::Role role);
    // Whether a check box key is on, asked when a screen reader looks.
    void setAccessibleChecked(std::function<bool()> checked);
    bool accessibleChecked() const { return m_checked && m_checked(); }
    // The press action: a left-button press and release on the control.
    void press();
    // An entry of the menu that a right click on the control opens.
    void addPopupMenuItem(const QString &caption, std::function<void()> onClick);

signals:
    void Click();
    void DblClick();
    void MouseDown(int button, int shift, float x, float y);
    void MouseUp(int button, int shift, float x, float y);
    void MouseMove(int button, int shift, float x, float y);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    // A key reached with Tab is pressed with the space bar or Enter.
    void keyPressEvent(QKeyEvent *event) override;
    void paintFocus(QPainter &painter);
    virtual void updateAccessibleName();

private:
    bool m_pressedInside = false;
    QMenu *m_popupMenu = nullptr;
    QAccessible::Role m_role = QAccessible::StaticText;
    std::function<bool()> m_checked;
};

class Label : public ClickableControl {
    Q_OBJECT
public:
    enum Alignment { LeftJustify = 0, RightJustify = 1, Center = 2 };
    explicit Label(QWidget *parent, const QString &name, const QString &caption = {});

    QString caption() const { return m_caption; }
    void setCaption(const QString &caption);
    quint32 backColor() const { return m_backColor; }
    void setBackColor(quint32 value);
    quint32 foreColor() const { return m_foreColor; }
    void setForeColor(quint32 value);
    int backStyle() const { return m_backStyle; }
    void setBackStyle(int style);
    int borderStyle() const { return m_borderStyle; }
    void setBorderStyle(int style);
    int alignment() const { return m_alignment; }
    void setAlignment(int alignment);

protected:
    void paintEvent(QPaintEvent *event) override;
    void updateAccessibleName() override;

private:
    QString m_caption;
    quint32 m_backColor = systemButtonFace;
    quint32 m_foreColor = systemWindowText;
    int m_backStyle = 1;
    int m_borderStyle = 0;
    int m_alignment = LeftJustify;
};

// A picture: an SVG or bitmap resource stretched over the control.
class Image : public ClickableControl {
    Q_OBJECT
public:
    explicit Image(QWidget *parent, const QString &name);
    ~Image() override;
    // Loads the picture; a missing resource leaves the control empty.
    bool setPicture(const QString &resourcePath);
    bool hasPicture() const;
    int borderStyle() const { return m_borderStyle; }
    void setBorderStyle(int style);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::unique_ptr<QSvgRenderer> m_svg;
    QPixmap m_pixmap;
    // The SVG drawn at the control's size: the needle and the lamps repaint
    // the panel behind them many times a second.
    QPixmap m_rendered;
    int m_borderStyle = 0;
};

// A timer that runs while its interval is above 0; setting the interval
// restarts the count, 0 stops it. The tick handler is an ordinary member
// function of the window, so tests call it directly.
//
// Intervals below shortestIntervalMs tick every shortestIntervalMs: the
// window system the panel was designed on delivered timer ticks on its clock,
// 64 times a second, and the 1 ms and 2 ms timers of the panel (needle
// sweep, hold counter) count on that pace; faster, they would wake the radio
// up to a thousand times a second. interval() still reads back what was set.
// Ticks may drift by up to 5 % so that the system can bundle wake-ups; below
// 20 ms Qt keeps them precise.
class Timer : public QObject {
    Q_OBJECT
public:
    static constexpr int shortestIntervalMs = 16;

    Timer(QObject *parent, const QString &name, std::function<void()> onTick);
    int interval() const { return m_intervalMs; }
    void setInterval(int intervalMs);
    bool running() const { return m_timer.isActive(); }

private:
    QTimer m_timer;
    int m_intervalMs = 0;
};

class ProgressBar : public ClickableControl {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget *parent, const QString &name, bool vertical = false);
    float value() const { return m_value; }
    void setValue(float value);
    float min() const { return m_min; }
    float max() const { return m_max; }
    void setRange(float min, float max);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    float m_value = 0;
    float m_min = 0;
    float m_max = 100;
    bool m_vertical;
    QColor m_bar{0x20, 0xd0, 0x40};
    QColor m_trough{0x10, 0x10, 0x10};
};

class Slider : public QSlider, public TwipsGeometry {
    Q_OBJECT
public:
    Slider(QWidget *parent, const QString &name, const QString &accessibleName);
    bool visible() const { return !isHidden(); }
signals:
    // The user moved the slider (not raised when code sets the value).
    void Scroll();
};

class TextBox : public QLineEdit, public TwipsGeometry {
    Q_OBJECT
public:
    TextBox(QWidget *parent, const QString &name, const QString &accessibleName);
    bool visible() const { return !isHidden(); }
signals:
    void KeyDown(int keyCode, int shift);

protected:
    void keyPressEvent(QKeyEvent *event) override;
};

class CheckBox : public QCheckBox, public TwipsGeometry {
    Q_OBJECT
public:
    CheckBox(QWidget *parent, const QString &name, const QString &caption);
    int value() const { return isChecked() ? 1 : 0; }
    void setValue(int value) { setChecked(value != 0); }
    bool visible() const { return !isHidden(); }
signals:
    void Click();
};

class CommandButton : public QPushButton, public TwipsGeometry {
    Q_OBJECT
public:
    CommandButton(QWidget *parent, const QString &name, const QString &caption);
    QString caption() const { return text(); }
    void setCaption(const QString &caption);
    bool visible() const { return !isHidden(); }
signals:
    void Click();
    void KeyDown(int keyCode, int shift);
    void KeyUp(int keyCode, int shift);
    void MouseDown(int button, int shift, float x, float y);
    void MouseUp(int button, int shift, float x, float y);
    void LostFocus();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
};

// A container with a caption; on the panel it draws nothing of its own
// unless it has a caption.
class Frame : public ClickableControl {
    Q_OBJECT
public:
    Frame(QWidget *parent, const QString &name, const QString &caption = {});
    QString caption() const { return m_caption; }
    void setCaption(const QString &caption);
    void setBackColor(quint32 value);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_caption;
    std::optional<quint32> m_backColor;
};

// A straight line between two points given in twips of its window, drawn
// over the window's other controls without catching the mouse.
class Line : public QWidget {
    Q_OBJECT
public:
    Line(QWidget *parent, const QString &name);
    float x1() const { return m_x1; }
    float y1() const { return m_y1; }
    float x2() const { return m_x2; }
    float y2() const { return m_y2; }
    void setPoints(float x1, float y1, float x2, float y2);
    void setX2(float twips);
    void setY2(float twips);
    void setPen(const QColor &colour, int widthPx);

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    float m_x1 = 0, m_y1 = 0, m_x2 = 0, m_y2 = 0;
    QColor m_colour{Qt::black};
    int m_widthPx = 2;
};

// The colours of a faceplate of the radio: light, middle and the ink of its legends.
struct Faceplate {
    QColor light;
    QColor mid;
    QColor ink;
};
// Paints a window as a brushed faceplate with rounded corners.
void paintFaceplate(QWidget &window, const Faceplate &plate);
// Text on paper in a dark frame, as the radio's display windows show it.
void setPaperLook(QTextEdit &history, const QColor &paper);
void setPaperLook(QLineEdit &field, const QColor &paper);
// A dark key with a light caption that turns red while pressed.
void setDarkKeyLook(QPushButton &key);

} // namespace vb
