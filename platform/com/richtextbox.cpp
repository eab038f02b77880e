#include "richtextbox.h"

#include "com.h"

#include <QAbstractTextDocumentLayout>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocumentFragment>
#include <QTextLayout>

#include <algorithm>

namespace {

int buttonCode(Qt::MouseButtons buttons) {
    return (buttons & Qt::LeftButton ? 1 : 0) | (buttons & Qt::RightButton ? 2 : 0) |
           (buttons & Qt::MiddleButton ? 4 : 0);
}

int shiftCode(Qt::KeyboardModifiers modifiers) {
    return (modifiers & Qt::ShiftModifier ? 1 : 0) | (modifiers & Qt::ControlModifier ? 2 : 0) |
           (modifiers & Qt::AltModifier ? 4 : 0);
}

bool isWordCharacter(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

bool isWholeWord(const QString &text, int position, int length) {
    const int after = position + length;
    return (position == 0 || !isWordCharacter(text.at(position - 1))) &&
           (after >= text.size() || !isWordCharacter(text.at(after)));
}

QColor colourFromValue(quint32 colour) {
    return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

quint32 valueFromColour(const QColor &colour) {
    return quint32(colour.red()) | quint32(colour.green()) << 8 | quint32(colour.blue()) << 16;
}

} // namespace

RichTextBox::RichTextBox(QWidget *parent) : QTextEdit(parent) {
    setAcceptRichText(false);
    // Link formatting runs over the whole text after every line; undo steps for
    // it would pile up without end.
    setUndoRedoEnabled(false);
    viewport()->setMouseTracking(true);
}

QString RichTextBox::Text() const {
    QString text;
    text.reserve(textLength());
    const QTextBlock first = document()->begin();
    for (QTextBlock block = first; block.isValid(); block = block.next()) {
        if (block != first)
            text += QLatin1String("\r\n");
        text += block.text();
    }
    return text;
}

void RichTextBox::setText(const QString &text) {
    QString plain = text;
    plain.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    plain.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    plain.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    // Through the document: QTextEdit::setPlainText would give the whole new text
    // the character format found at the old caret.
    document()->setPlainText(plain);
    setSelectionCursor(QTextCursor(document()));
}

QTextCursor RichTextBox::selectionCursor() const {
    return m_hiddenChanges.isNull() ? textCursor() : m_hiddenCursor;
}

// While hidden for a pass of changes the selection moves on a cursor of its
// own: moving the box's cursor would lay out the text again on every move.
void RichTextBox::setSelectionCursor(const QTextCursor &cursor) {
    if (m_hiddenChanges.isNull())
        setTextCursor(cursor);
    else
        m_hiddenCursor = cursor;
}

void RichTextBox::mergeFormat(const QTextCharFormat &format) {
    if (m_hiddenChanges.isNull()) {
        mergeCurrentCharFormat(format);
        return;
    }
    if (m_hiddenCursor.hasSelection())
        m_hiddenCursor.mergeCharFormat(format);
}

void RichTextBox::setVisible(bool visible) {
    if (visible && !m_hiddenChanges.isNull()) {
        const QTextCursor kept = m_hiddenCursor;
        m_hiddenChanges.endEditBlock();
        m_hiddenChanges = QTextCursor();
        m_hiddenCursor = QTextCursor();
        setTextCursor(kept);
    }
    m_visible = visible;
    // While hidden, changes gather in one edit block: the layout is then redone
    // once when the box shows again instead of after every change of a pass
    // that hides the box to format it.
    if (!visible && m_hiddenChanges.isNull()) {
        m_hiddenCursor = textCursor();
        m_hiddenChanges = QTextCursor(document());
        m_hiddenChanges.beginEditBlock();
    }
    QTextEdit::setVisible(visible);
}

int RichTextBox::SelStart() const {
    return textIndex(selectionCursor().selectionStart());
}

void RichTextBox::setSelStart(int start) {
    QTextCursor moved = selectionCursor();
    moved.setPosition(documentPosition(start));
    setSelectionCursor(moved);
}

int RichTextBox::SelLength() const {
    const QTextCursor now = selectionCursor();
    return textIndex(now.selectionEnd()) - textIndex(now.selectionStart());
}

void RichTextBox::setSelLength(int length) {
    const int start = SelStart();
    const int end = int(std::clamp<qint64>(qint64(start) + length, start, textLength()));
    QTextCursor selection = selectionCursor();
    selection.setPosition(documentPosition(start));
    selection.setPosition(documentPosition(end), QTextCursor::KeepAnchor);
    setSelectionCursor(selection);
}

int RichTextBox::Find(const QString &text, int start, int end, int options) {
    if (text.isEmpty())
        return -1;
    start = std::max(start, 0);
    if (end < 0 || end > textLength())
        end = textLength();
    const Qt::CaseSensitivity sensitivity =
        options & FindMatchCase ? Qt::CaseSensitive : Qt::CaseInsensitive;
    const auto accept = [&](const QString &within, qsizetype at, int found) {
        if (found + text.size() > end)
            return false;
        if (options & FindWholeWord && !isWholeWord(within, int(at), int(text.size())))
            return false;
        if (!(options & FindNoHighlight)) {
            setSelStart(found);
            setSelLength(int(text.size()));
        }
        return true;
    };
    if (text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n'))) {
        const QString all = Text();
        for (qsizetype at = all.indexOf(text, start, sensitivity); at >= 0 && at < end;
             at = all.indexOf(text, at + 1, sensitivity)) {
            if (accept(all, at, int(at)))
                return int(at);
        }
        return -1;
    }
    // Without a line break the text lies within one line; searching line by line
    // spares building the whole text for every search of a formatting pass.
    for (QTextBlock block = document()->findBlock(documentPosition(start)); block.isValid();
         block = block.next()) {
        const int lineStart = textIndex(block.position());
        if (lineStart >= end)
            break;
        const QString line = block.text();
        for (qsizetype at = line.indexOf(text, std::max(0, start - lineStart), sensitivity);
             at >= 0; at = line.indexOf(text, at + 1, sensitivity)) {
            if (accept(line, at, lineStart + int(at)))
                return lineStart + int(at);
        }
    }
    return -1;
}

template <class Value, class Read>
std::optional<Value> RichTextBox::selectionFormat(Read read) const {
    const QTextCursor cursor = selectionCursor();
    if (!cursor.hasSelection())
        return read(cursor.charFormat());
    const int from = cursor.selectionStart();
    const int to = cursor.selectionEnd();
    std::optional<Value> common;
    for (QTextBlock block = document()->findBlock(from); block.isValid() && block.position() < to;
         block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.position() + fragment.length() <= from || fragment.position() >= to)
                continue;
            const Value value = read(fragment.charFormat());
            if (common && *common != value)
                return std::nullopt;
            common = value;
        }
    }
    // A selection of line breaks only carries no character of its own.
    return common ? common : read(cursor.charFormat());
}

std::optional<bool> RichTextBox::selbold() const {
    return selectionFormat<bool>(
        [](const QTextCharFormat &format) { return format.fontWeight() >= QFont::Bold; });
}

void RichTextBox::setSelbold(bool bold) {
    QTextCharFormat format;
    format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
    mergeFormat(format);
}

std::optional<bool> RichTextBox::selitalic() const {
    return selectionFormat<bool>([](const QTextCharFormat &format) { return format.fontItalic(); });
}

void RichTextBox::setSelitalic(bool italic) {
    QTextCharFormat format;
    format.setFontItalic(italic);
    mergeFormat(format);
}

std::optional<bool> RichTextBox::selunderline() const {
    return selectionFormat<bool>(
        [](const QTextCharFormat &format) { return format.fontUnderline(); });
}

void RichTextBox::setSelunderline(bool underline) {
    QTextCharFormat format;
    format.setFontUnderline(underline);
    mergeFormat(format);
}

std::optional<quint32> RichTextBox::SelColor() const {
    const QColor text = palette().color(QPalette::Text);
    return selectionFormat<quint32>([&text](const QTextCharFormat &format) {
        return valueFromColour(
            format.foreground().style() == Qt::NoBrush ? text : format.foreground().color());
    });
}

void RichTextBox::setSelColor(quint32 colour) {
    QTextCharFormat format;
    format.setForeground(colourFromValue(colour));
    mergeFormat(format);
}

int RichTextBox::charFromPos(QPoint pixels) const {
    QAbstractTextDocumentLayout *layout = document()->documentLayout();
    // Far-away points are held to the document: the layout's fixed-point
    // arithmetic overflows on them.
    const QSizeF size = layout->documentSize();
    const QPointF point(
        std::clamp(qreal(pixels.x() + horizontalScrollBar()->value()), 0.0, size.width()),
        std::clamp(qreal(pixels.y() + verticalScrollBar()->value()), 0.0, size.height()));
    const QTextBlock block =
        document()->findBlock(std::max(0, layout->hitTest(point, Qt::FuzzyHit)));
    const QTextLayout *lines = block.layout();
    if (!lines || lines->lineCount() == 0)
        return textIndex(block.position());
    const QPointF inBlock = point - layout->blockBoundingRect(block).topLeft();
    QTextLine line = lines->lineAt(0);
    for (int i = 1; i < lines->lineCount() && inBlock.y() >= line.y() + line.height(); ++i)
        line = lines->lineAt(i);
    return textIndex(block.position() + line.xToCursor(inBlock.x(), QTextLine::CursorOnCharacter));
}

QPoint RichTextBox::posFromChar(int index) const {
    QTextCursor cursor(document());
    cursor.setPosition(documentPosition(index));
    return cursorRect(cursor).topLeft();
}

int RichTextBox::textLength() const {
    // Every separator but the document's last one is a CR LF of two characters.
    return document()->characterCount() - 1 + document()->blockCount() - 1;
}

void RichTextBox::appendText(const RichTextBox &from) {
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertFragment(QTextDocumentFragment(from.document()));
}

int RichTextBox::lineCount() const {
    const int blocks = document()->blockCount();
    return document()->lastBlock().length() <= 1 ? blocks - 1 : blocks;
}

void RichTextBox::keepLastLines(int count, int characters) {
    const int lines = lineCount();
    int dropped = std::max(lines - std::max(count, 0), 0);
    // Then by length, but the newest line stays whatever its length.
    int left = textLength();
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        if (block.blockNumber() < dropped) {
            left -= block.length() + 1;
            continue;
        }
        if (left <= characters || dropped >= lines - 1)
            break;
        left -= block.length() + 1;
        ++dropped;
    }
    if (dropped <= 0)
        return;
    QTextCursor oldest(document());
    oldest.setPosition(document()->findBlockByNumber(dropped).position(), QTextCursor::KeepAnchor);
    oldest.removeSelectedText();
}

int RichTextBox::documentPosition(int index) const {
    index = std::clamp(index, 0, textLength());
    const QTextDocument *doc = document();
    // Block n starts at text index position + n: each earlier break adds its LF.
    int low = 0;
    int high = doc->blockCount() - 1;
    while (low < high) {
        const int middle = (low + high + 1) / 2;
        if (doc->findBlockByNumber(middle).position() + middle <= index)
            low = middle;
        else
            high = middle - 1;
    }
    const QTextBlock block = doc->findBlockByNumber(low);
    return block.position() + std::min(index - (block.position() + low), block.length());
}

int RichTextBox::textIndex(int documentPosition) const {
    documentPosition = std::clamp(documentPosition, 0, document()->characterCount() - 1);
    return documentPosition + document()->findBlock(documentPosition).blockNumber();
}

void RichTextBox::mouseMoveEvent(QMouseEvent *event) {
    QTextEdit::mouseMoveEvent(event);
    emit MouseMove(buttonCode(event->buttons()), shiftCode(event->modifiers()),
                   float(event->position().x() * com::twipsPerPixelX()),
                   float(event->position().y() * com::twipsPerPixelY()));
}

void RichTextBox::mousePressEvent(QMouseEvent *event) {
    QTextEdit::mousePressEvent(event);
    if (event->button() == Qt::LeftButton)
        m_pressed = true;
}

void RichTextBox::mouseReleaseEvent(QMouseEvent *event) {
    QTextEdit::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || !m_pressed)
        return;
    m_pressed = false;
    if (viewport()->rect().contains(event->position().toPoint()))
        emit Click();
}
