#pragma once

// The pointer of a host form, as add-on controls in other libraries set it.

#include <QCursor>
#include <QPointer>
#include <QWidget>

#include <optional>
#include <utility>
#include <vector>

class IHostForm {
public:
    enum Pointer { PointerDefault = 0, PointerCustom = 99 };

    virtual int MousePointer() const = 0;
    virtual void setMousePointer(int pointer) = 0;
    virtual QCursor MouseIcon() const = 0;
    virtual void setMouseIcon(const QCursor &icon) = 0;

protected:
    ~IHostForm() = default;
};

// The form's pointer shown over the whole form, its child controls included, the
// way a form's pointer overrides the pointers of the controls on it. Pointer 99
// shows MouseIcon; 0 and every other value give each widget its own pointer back.
class FormPointer final : public IHostForm {
public:
    explicit FormPointer(QWidget *form);
    FormPointer(const FormPointer &) = delete;
    FormPointer &operator=(const FormPointer &) = delete;
    ~FormPointer();

    int MousePointer() const override { return m_pointer; }
    void setMousePointer(int pointer) override;
    QCursor MouseIcon() const override { return m_icon; }
    void setMouseIcon(const QCursor &icon) override;

private:
    void apply();
    void restore();

    QPointer<QWidget> m_form;
    int m_pointer = PointerDefault;
    QCursor m_icon;
    bool m_custom = false;
    // Each widget's own pointer while the custom one covers it; empty if unset.
    std::vector<std::pair<QPointer<QWidget>, std::optional<QCursor>>> m_own;
};
