#pragma once

// The rich-text box control and the interface through which add-on controls in
// other libraries work on it.
//
// Positions count in the box's Text, where every line break is CR LF and so takes
// two positions, although the document holds a single paragraph separator there.
// A position on the LF of a break stands for the start of the next line.

#include <QPoint>
#include <QString>
#include <QTextCursor>
#include <QTextEdit>
#include <QtGlobal>

#include <limits>
#include <optional>

class IRichTextBox {
public:
    enum FindOption { FindWholeWord = 2, FindMatchCase = 4, FindNoHighlight = 8 };

    virtual QString Text() const = 0;
    virtual void setText(const QString &text) = 0;
    virtual bool Visible() const = 0;
    virtual void setVisible(bool visible) = 0;
    virtual int SelStart() const = 0;
    virtual void setSelStart(int start) = 0;
    virtual int SelLength() const = 0;
    virtual void setSelLength(int length) = 0;
    // Zero-based position of the first match inside [start, end) or -1; end -1 is
    // the end of the text. Without FindNoHighlight the match gets selected.
    virtual int Find(const QString &text, int start = 0, int end = -1, int options = 0) = 0;
    // Read back empty when the selection mixes styles.
    virtual std::optional<bool> selbold() const = 0;
    virtual void setSelbold(bool bold) = 0;
    virtual std::optional<bool> selitalic() const = 0;
    virtual void setSelitalic(bool italic) = 0;
    virtual std::optional<bool> selunderline() const = 0;
    virtual void setSelunderline(bool underline) = 0;
    // 0x00BBGGRR
    virtual std::optional<quint32> SelColor() const = 0;
    virtual void setSelColor(quint32 colour) = 0;
    virtual WId hwnd() const = 0;
    // The index of the character nearest a point in pixels of the box's client
    // area; the position after the text when the text is empty.
    virtual int charFromPos(QPoint pixels) const = 0;

protected:
    ~IRichTextBox() = default;
};

class RichTextBox : public QTextEdit, public IRichTextBox {
    Q_OBJECT
public:
    explicit RichTextBox(QWidget *parent = nullptr);

    // Setting the text drops all character formatting. CR LF, a lone CR or a lone
    // LF each start a new line, which Text reads back as CR LF.
    QString Text() const override;
    void setText(const QString &text) override;
    bool Visible() const override { return m_visible; }
    void setVisible(bool visible) override;
    int SelStart() const override;
    void setSelStart(int start) override;
    int SelLength() const override;
    void setSelLength(int length) override;
    int Find(const QString &text, int start = 0, int end = -1, int options = 0) override;
    std::optional<bool> selbold() const override;
    void setSelbold(bool bold) override;
    std::optional<bool> selitalic() const override;
    void setSelitalic(bool italic) override;
    std::optional<bool> selunderline() const override;
    void setSelunderline(bool underline) override;
    std::optional<quint32> SelColor() const override;
    void setSelColor(quint32 colour) override;
    // The native window the box is drawn in; pointer queries use charFromPos.
    WId hwnd() const override { return effectiveWinId(); }
    int charFromPos(QPoint pixels) const override;

    // The top left of the character at index, in pixels of the client area.
    QPoint posFromChar(int index) const;
    // Length of Text without building it.
    int textLength() const;
    // Adds another box's text, formatting and all, at the end of this one;
    // the earlier text and its formatting stay as they are.
    void appendText(const RichTextBox &from);
    // Lines of the text; a line break at the very end starts no new one.
    int lineCount() const;
    // Drops the oldest lines beyond the given count, and more of the oldest
    // while the text is longer than the given characters; the newest line
    // stays.
    void keepLastLines(int count, int characters = std::numeric_limits<int>::max());

signals:
    // Pointer position in twips of the client area; button 1 left, 2 right,
    // 4 middle; shift 1 shift, 2 control, 4 alt.
    void MouseMove(int button, int shift, float x, float y);
    void Click();

protected:
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    int documentPosition(int index) const;
    int textIndex(int documentPosition) const;
    template <class Value, class Read> std::optional<Value> selectionFormat(Read read) const;

    QTextCursor selectionCursor() const;
    void setSelectionCursor(const QTextCursor &cursor);
    void mergeFormat(const QTextCharFormat &format);

    bool m_visible = true;
    QTextCursor m_hiddenChanges;
    QTextCursor m_hiddenCursor;
    bool m_pressed = false;
};
