#include "hostform.h"

FormPointer::FormPointer(QWidget *form) : m_form(form) {}

FormPointer::~FormPointer() {
    restore();
}

void FormPointer::setMousePointer(int pointer) {
    m_pointer = pointer;
    apply();
}

void FormPointer::setMouseIcon(const QCursor &icon) {
    const bool changed = !(icon == m_icon);
    m_icon = icon;
    if (changed && m_custom)
        restore();
    apply();
}

void FormPointer::apply() {
    // The pointer is set on every mouse move; only a change touches the widgets.
    const bool custom = m_pointer == PointerCustom;
    if (custom == m_custom)
        return;
    if (!custom) {
        restore();
        return;
    }
    m_custom = true;
    if (!m_form)
        return;
    QList<QWidget *> widgets = m_form->findChildren<QWidget *>();
    widgets.prepend(m_form.data());
    for (QWidget *widget : widgets) {
        m_own.emplace_back(widget, widget->testAttribute(Qt::WA_SetCursor)
                                       ? std::optional<QCursor>(widget->cursor())
                                       : std::nullopt);
        widget->setCursor(m_icon);
    }
}

void FormPointer::restore() {
    for (const auto &[widget, own] : m_own) {
        if (!widget)
            continue;
        if (own)
            widget->setCursor(*own);
        else
            widget->unsetCursor();
    }
    m_own.clear();
    m_custom = false;
}
