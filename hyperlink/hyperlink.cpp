#include "hyperlink.h"

#include <QDesktopServices>
#include <QFontDatabase>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace {

const QStringList formattingOrder = {
    QStringLiteral("about:"),  QStringLiteral("file:"), QStringLiteral("ftp:"),
    QStringLiteral("gopher:"), QStringLiteral("http:"), QStringLiteral("https:"),
    QStringLiteral("mailto:"), QStringLiteral("news:"), QStringLiteral("telnet:"),
    QStringLiteral("www."),
};

const QStringList pointerOrder = {
    QStringLiteral("http:"),   QStringLiteral("https:"), QStringLiteral("mailto:"),
    QStringLiteral("ftp:"),    QStringLiteral("file:"),  QStringLiteral("news:"),
    QStringLiteral("gopher:"), QStringLiteral("about:"), QStringLiteral("telnet:"),
    QStringLiteral("www."),
};

// A whole text under the pointer with one of these in it is prose, not a link.
const QStringList proseMarks = {
    QStringLiteral(">"), QStringLiteral("<"),    QStringLiteral(")"), QStringLiteral("("),
    QStringLiteral(" "), QStringLiteral("\""),   QStringLiteral("["), QStringLiteral("]"),
    QStringLiteral("'"), QStringLiteral("\r\n"),
};

// Shell result codes: above 32 is success.
constexpr qint32 launchOpened = 42;
constexpr qint32 launchNoHandler = 31;

constexpr bool defaultBold = false;
constexpr bool defaultItalic = false;
constexpr qint16 defaultUnderline = -1;
constexpr quint32 defaultColour = 0xFF0000;

bool isLinkCharacter(QChar c) {
    switch (c.unicode()) {
    case ' ':
    case '(':
    case ')':
    case '<':
    case '>':
    case '[':
    case ']':
    case '\'':
    case '"':
    case '\n':
    case '\r':
        return false;
    default:
        return true;
    }
}

// Lower case one UTF-16 unit at a time: QString::toLower may change the length
// ("İ" becomes two units), and positions found in the lowered word must fit the
// original.
QString lowered(const QString &text) {
    QString result = text;
    for (QChar &c : result)
        c = c.toLower();
    return result;
}

QFont faceFont() {
    if (QFontDatabase::hasFamily(QStringLiteral("Courier New")))
        return QFont(QStringLiteral("Courier New"));
    return QFontDatabase::systemFont(QFontDatabase::FixedFont);
}

} // namespace

Hyperlink::Hyperlink()
    : m_face(std::make_unique<QLabel>(QStringLiteral("Hyperlink"))), m_hand(pointingHandCursor()) {
    hyperlinkModule::objectCreated();
    m_face->setObjectName(QStringLiteral("Hyperlink"));
    m_face->setFont(faceFont());
    m_face->setAccessibleName(QStringLiteral("Hyperlink"));
    // The face is as large as its label, whatever size the host gives it.
    m_face->setFixedSize(m_face->sizeHint());
    // The host's form deletes the face with its other children when it goes first.
    QObject::connect(m_face.get(), &QObject::destroyed, [this] { (void)m_face.release(); });
}

Hyperlink::~Hyperlink() {
    m_face.reset();
    hyperlinkModule::objectDestroyed();
}

com::HResult Hyperlink::QueryInterface(const QUuid &iid, void **object) {
    if (!object)
        return com::errorPointer;
    if (iid != com::iidUnknown && iid != hyperlink::interfaceId) {
        *object = nullptr;
        return com::errorNoInterface;
    }
    *object = static_cast<IHyperlink *>(this);
    AddRef();
    return com::resultOk;
}

quint32 Hyperlink::AddRef() {
    return ++m_references;
}

quint32 Hyperlink::Release() {
    const quint32 left = --m_references;
    if (left == 0)
        delete this;
    return left;
}

void Hyperlink::URLFormat(IRichTextBox &rtb) {
    if (rtb.Text().isEmpty())
        return;
    // Keeps the many selection changes from showing.
    rtb.setVisible(false);
    for (const QString &prefix : formattingOrder)
        FormatPrefix(rtb, prefix);
    rtb.setSelStart(0);
    rtb.setVisible(true);
}

void Hyperlink::FormatPrefix(IRichTextBox &rtb, const QString &prefix) {
    const QString text = rtb.Text();
    for (int pos = rtb.Find(prefix, 0, -1, IRichTextBox::FindNoHighlight); pos != -1;
         pos = rtb.Find(prefix, pos + 1, -1, IRichTextBox::FindNoHighlight)) {
        // One range up to the first character that ends the link styles exactly
        // what growing the range a character at a time would.
        int end = pos;
        while (end < text.size() && isLinkCharacter(text.at(end)))
            ++end;
        FormatRange(rtb, pos, end - pos);
    }
}

void Hyperlink::FormatRange(IRichTextBox &rtb, int start, int length) {
    rtb.setSelStart(start);
    rtb.setSelLength(length);
    rtb.setSelbold(m_bold);
    rtb.setSelitalic(m_italic);
    rtb.setSelunderline(m_underline != 0);
    rtb.setSelColor(m_colour);
}

void Hyperlink::RichWordOver(IHostForm &frm, IRichTextBox &rch, float x, float y) {
    if (!std::isfinite(x) || !std::isfinite(y))
        return;
    // Whole pixels as the screen counts them; the clamp keeps the rounding defined.
    const int px = qRound(std::clamp(x, -1e9f, 1e9f)) / com::twipsPerPixelX();
    const int py = qRound(std::clamp(y, -1e9f, 1e9f)) / com::twipsPerPixelY();
    const int n = rch.charFromPos(QPoint(px, py));
    const QString text = rch.Text();
    if (n <= 0 || n > text.size())
        return;

    // The anchor is the character just before the one under the pointer.
    const int anchor = n - 1;
    int wordStart = anchor;
    while (wordStart >= 0 && isLinkCharacter(text.at(wordStart)))
        --wordStart;
    ++wordStart;
    int wordEnd = anchor;
    while (wordEnd < text.size() && isLinkCharacter(text.at(wordEnd)))
        ++wordEnd;
    const QString word = wordEnd > wordStart ? text.mid(wordStart, wordEnd - wordStart) : text;

    if (word == m_url) {
        setPointingHand(frm);
        raiseURLChanged();
        return;
    }

    m_url.clear();
    raiseURLChanged();
    const QString lower = lowered(word);
    qsizetype prefixAt = -1;
    for (const QString &prefix : pointerOrder) {
        prefixAt = lower.indexOf(prefix);
        if (prefixAt != -1)
            break;
    }
    if (prefixAt == -1) {
        frm.setMousePointer(IHostForm::PointerDefault);
        return;
    }
    if (lower == lowered(text) &&
        std::any_of(proseMarks.begin(), proseMarks.end(),
                    [&lower](const QString &mark) { return lower.contains(mark); })) {
        frm.setMousePointer(IHostForm::PointerDefault);
        return;
    }
    setPointingHand(frm);
    m_url = word.mid(prefixAt);
    if (lowered(m_url.left(4)) == QLatin1String("www."))
        m_url.prepend(QLatin1String("http://"));
    raiseURLChanged();
}

void Hyperlink::setPointingHand(IHostForm &frm) {
    frm.setMouseIcon(m_hand);
    frm.setMousePointer(IHostForm::PointerCustom);
}

std::optional<qint32> Hyperlink::URLLaunch() {
    if (m_url.isEmpty())
        return std::nullopt;
    // The desktop's handler for the link's scheme; never a command line.
    return QDesktopServices::openUrl(QUrl(m_url)) ? launchOpened : launchNoHandler;
}

void Hyperlink::raiseURLChanged() {
    // A sink may unadvise itself while it handles the event.
    const std::vector<IHyperlinkEvents *> sinks = m_sinks;
    for (IHyperlinkEvents *sink : sinks)
        sink->URLChanged();
}

com::HResult Hyperlink::Advise(IHyperlinkEvents *sink) {
    if (!sink)
        return com::errorPointer;
    m_sinks.push_back(sink);
    return com::resultOk;
}

com::HResult Hyperlink::Unadvise(IHyperlinkEvents *sink) {
    const auto found = std::find(m_sinks.begin(), m_sinks.end(), sink);
    if (found == m_sinks.end())
        return com::resultFalse;
    m_sinks.erase(found);
    return com::resultOk;
}

void Hyperlink::propertyChanged(qint32 dispId) {
    if (m_site)
        m_site->OnPropertyChanged(dispId);
}

void Hyperlink::setURLBold(bool bold) {
    m_bold = bold;
    propertyChanged(hyperlink::dispid::URLBold);
}

void Hyperlink::setURLItalic(bool italic) {
    m_italic = italic;
    propertyChanged(hyperlink::dispid::URLItalic);
}

void Hyperlink::setURLUnderline(bool underline) {
    m_underline = underline ? -1 : 0;
    propertyChanged(hyperlink::dispid::URLUnderline);
}

void Hyperlink::setURLColour(quint32 colour) {
    m_colour = colour;
    propertyChanged(hyperlink::dispid::URLColour);
}

void Hyperlink::InitProperties() {
    m_bold = defaultBold;
    m_italic = defaultItalic;
    m_underline = defaultUnderline;
    m_colour = defaultColour;
}

void Hyperlink::ReadProperties(const IPropertyBag &bag) {
    m_bold = bag.ReadProperty(QStringLiteral("URLBold"), defaultBold).toBool();
    m_italic = bag.ReadProperty(QStringLiteral("URLItalic"), defaultItalic).toBool();
    // Any non-zero number counts as set.
    const QVariant underline = bag.ReadProperty(QStringLiteral("URLUnderline"), defaultUnderline);
    bool isNumber = false;
    const int underlineNumber = underline.toInt(&isNumber);
    m_underline = (isNumber ? underlineNumber != 0 : underline.toBool()) ? -1 : 0;
    const QVariant colour = bag.ReadProperty(QStringLiteral("URLColour"), defaultColour);
    const qlonglong colourNumber = colour.toLongLong(&isNumber);
    m_colour = isNumber ? quint32(colourNumber) : defaultColour;
}

void Hyperlink::WriteProperties(IPropertyBag &bag) const {
    bag.WriteProperty(QStringLiteral("URLBold"), m_bold, defaultBold);
    bag.WriteProperty(QStringLiteral("URLItalic"), m_italic, defaultItalic);
    bag.WriteProperty(QStringLiteral("URLUnderline"), int(m_underline), int(defaultUnderline));
    bag.WriteProperty(QStringLiteral("URLColour"), qlonglong(m_colour), qlonglong(defaultColour));
}
