// The link control formats the links of any text in a rich-text box.

#include "hyperlink.h"
#include "richtextbox.h"

#include <QApplication>

#include <cstdint>

namespace {
// Made once and kept to the end: widgets must not outlive the application
// into the exit handlers.
QApplication *application = nullptr;
RichTextBox *box = nullptr;
Hyperlink *control = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    application = new QApplication(*argc, *argv);
    // In a form that is never shown, as in the chat window before it opens:
    // showing the box again after a pass maps no window of its own.
    box = new RichTextBox(new QWidget);
    control = new Hyperlink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Chat text is single-byte on the wire; the box holds any Unicode.
    const QString text =
        size > 0 && data[0] & 1
            ? QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size))
            : QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));
    box->setText(text);
    control->URLFormat(*box);
    return 0;
}
