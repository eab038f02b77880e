#pragma once

// Services of the desktop the windows use: message and input boxes, the
// program folder, ending the program, and the guard against a second copy.

#include <QApplication>
#include <QDialog>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QLocalServer;
class QWidget;

namespace vb {

// Message box styles and answers, as the windows pass and compare them.
enum MessageBoxStyle {
    vbOKOnly = 0,
    vbYesNo = 4,
    vbCritical = 16,
    vbDefaultButton2 = 256,
};
enum MessageBoxResult { vbOK = 1, vbCancel = 2, vbYes = 6, vbNo = 7 };

QString applicationTitle();

// The program's application: its names for the user's settings, Qt's German
// texts, and the program folder taken from the arguments.
class Application : public QApplication {
    Q_OBJECT
public:
    Application(int &argc, char **argv);
};

// Loads Qt's own German texts, so that the standard buttons of message and
// input boxes read "Ja", "Nein", "Abbrechen" like the rest of the program.
// False when the translations are not installed.
bool loadGermanQtTexts();

struct MessageBoxCall {
    QString prompt;
    int style;
    QString title;
};
// Shows a modal message box and returns the button chosen.
int msgBox(const QString &prompt, int style = vbOKOnly, const QString &title = applicationTitle());
// Tests answer message boxes themselves; an empty function restores the real box.
void setMessageBoxResponder(std::function<int(const MessageBoxCall &)> responder);

struct InputBoxCall {
    QString prompt;
    QString title;
    QString defaultText;
};
// Asks for a line of text; cancelling gives an empty text.
QString inputBox(const QString &prompt, const QString &title = applicationTitle(),
                 const QString &defaultText = {});
void setInputBoxResponder(std::function<QString(const InputBoxCall &)> responder);
// Asks for a line of text without holding up the window: `answered` gets the
// text once the question is confirmed, an empty text when it is cancelled.
// The field is named `fieldName`, the question `fieldName` + "Dialog". A test's
// input box responder answers in its place, on the event loop's next turn.
QDialog *askText(QWidget *parent, const QString &fieldName, const InputBoxCall &call, int maxLength,
                 std::function<void(const QString &)> answered);

// The program folder: the one given by "--folder DIR", otherwise the
// executable's folder.
QString programFolder();
void setProgramFolder(const QString &folder);
void initProgramFolder(const QStringList &arguments);
// A file that comes with the program (the sounds): in the program folder when
// it is there, else beside the executable (a build run with "--folder"), else
// where an install put it (../share/marlox), else the program folder's path.
QString programFile(const QString &relativePath);
// A library that comes with the program, named as QLibrary takes it ("Hyperlink"
// for libHyperlink.so): beside the executable, or where an install put it.
QString programLibrary(const QString &name);

// Where optionen.txt and marlox.ini are kept: the program folder while files
// can be created in it, otherwise the user's data folder (an install in a
// system folder, a read-only medium). Created when missing.
QString settingsFolder();
QString settingsFile(const QString &fileName);

// Lets the window system move a window as if its title bar were dragged,
// for the borderless windows that are dragged by their panel. Tests put a
// recorder in its place.
void startWindowDrag(QWidget *window);
void setWindowDragHandler(std::function<void(QWidget *)> handler);

// Opens the desktop's sound settings: pavucontrol when it is installed,
// otherwise the sound panel of the running desktop. Nothing is run through a
// shell. False when there is none to open or it would not start.
bool openSoundSettings();

// Ends the program at once, without any further close handling. Tests put
// a recorder in its place.
void endProgram();
bool programEnded();
void setEndProgramHandler(std::function<void()> handler);

// Only one copy of the radio runs per program folder: the second copy asks
// the first to come to the front and then ends.
class SingleInstanceGuard : public QObject {
    Q_OBJECT
public:
    explicit SingleInstanceGuard(const QString &folder, QObject *parent = nullptr);
    ~SingleInstanceGuard() override;
    // True when another copy answered (and was asked to show itself).
    bool anotherCopyRunning();

signals:
    void activationRequested();

private:
    QString m_name;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace vb
