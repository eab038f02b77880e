#include "system.h"

#include "deployment.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QInputDialog>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>
#include <QTranslator>
#include <QWidget>
#include <QWindow>

namespace vb {

namespace {
std::function<int(const MessageBoxCall &)> messageBoxResponder;
std::function<QString(const InputBoxCall &)> inputBoxResponder;
std::function<void()> endProgramHandler;
std::function<void(QWidget *)> windowDragHandler;
QString folderPath;
bool ended = false;
} // namespace

QString applicationTitle() {
    return QStringLiteral("Marlox");
}

Application::Application(int &argc, char **argv) : QApplication(argc, argv) {
    setApplicationName(QLatin1StringView(settingsApplication));
    setOrganizationName(QLatin1StringView(settingsOrganisation));
    loadGermanQtTexts();
    initProgramFolder(arguments());
}

bool loadGermanQtTexts() {
    if (!qApp)
        return false;
    // One for the program's life, whoever calls.
    static QTranslator *texts = nullptr;
    if (texts)
        return true;
    auto translator = std::make_unique<QTranslator>(qApp);
    if (!translator->load(QStringLiteral("qtbase_de"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    texts = translator.release();
    return QCoreApplication::installTranslator(texts);
}

int msgBox(const QString &prompt, int style, const QString &title) {
    if (messageBoxResponder)
        return messageBoxResponder({prompt, style, title});
    QMessageBox box;
    box.setWindowTitle(title);
    box.setText(QString(prompt).replace(QLatin1String("\r\n"), QLatin1String("\n")));
    if (style & vbCritical)
        box.setIcon(QMessageBox::Critical);
    if ((style & 7) == vbYesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton((style & vbDefaultButton2) ? QMessageBox::No : QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? vbYes : vbNo;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return vbOK;
}

void setMessageBoxResponder(std::function<int(const MessageBoxCall &)> responder) {
    messageBoxResponder = std::move(responder);
}

QString inputBox(const QString &prompt, const QString &title, const QString &defaultText) {
    if (inputBoxResponder)
        return inputBoxResponder({prompt, title, defaultText});
    bool ok = false;
    const QString text =
        QInputDialog::getText(nullptr, title, prompt, QLineEdit::Normal, defaultText, &ok);
    return ok ? text : QString();
}

void setInputBoxResponder(std::function<QString(const InputBoxCall &)> responder) {
    inputBoxResponder = std::move(responder);
}

QDialog *askText(QWidget *parent, const QString &fieldName, const InputBoxCall &call, int maxLength,
                 std::function<void(const QString &)> answered) {
    if (inputBoxResponder) {
        QTimer::singleShot(0, parent, [call, answered] { answered(inputBoxResponder(call)); });
        return nullptr;
    }
    auto *dialog = new QInputDialog(parent);
    dialog->setObjectName(fieldName + QStringLiteral("Dialog"));
    dialog->setWindowTitle(call.title);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setLabelText(call.prompt);
    dialog->setTextValue(call.defaultText);
    dialog->setCancelButtonText(QStringLiteral("Abbrechen"));
    auto *field = dialog->findChild<QLineEdit *>();
    field->setObjectName(fieldName);
    field->setAccessibleName(call.title);
    field->setMaxLength(maxLength);
    QObject::connect(dialog, &QDialog::finished, dialog, [dialog, answered](int result) {
        answered(result == QDialog::Accepted ? dialog->textValue() : QString());
    });
    dialog->setWindowModality(Qt::WindowModal);
    dialog->open();
    return dialog;
}

QString programFolder() {
    if (folderPath.isEmpty())
        return QCoreApplication::applicationDirPath();
    return folderPath;
}

void setProgramFolder(const QString &folder) {
    folderPath = QDir::cleanPath(folder);
}

void initProgramFolder(const QStringList &arguments) {
    const int at = arguments.indexOf(QStringLiteral("--folder"));
    if (at >= 0 && at + 1 < arguments.size()) {
        QDir().mkpath(arguments.at(at + 1));
        setProgramFolder(QFileInfo(arguments.at(at + 1)).absoluteFilePath());
    }
}

namespace {

QString fileIn(QString folder, const QString &relativePath) {
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder + relativePath;
}

// True when a file can really be created there; the permission bits alone do
// not say so (a read-only mount, another owner's folder, ACLs).
bool canCreateFilesIn(const QString &folder) {
    if (!QFileInfo(folder).isDir())
        return false;
    QTemporaryFile probe(fileIn(folder, QStringLiteral(".marlox-probe-XXXXXX")));
    return probe.open();
}

} // namespace

QString programFile(const QString &relativePath) {
    const QString inProgramFolder = fileIn(programFolder(), relativePath);
    if (QFileInfo::exists(inProgramFolder))
        return inProgramFolder;
    const QString executableFolder = QCoreApplication::applicationDirPath();
    const QString installed = QDir::cleanPath(executableFolder + QLatin1Char('/') +
                                              QString::fromUtf8(MARLOX_INSTALLED_DATA));
    for (const QString &folder : {executableFolder, installed}) {
        const QString candidate = fileIn(folder, relativePath);
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return inProgramFolder;
}

QString programLibrary(const QString &name) {
    const QString executableFolder = QCoreApplication::applicationDirPath();
#ifdef Q_OS_WIN
    const QString fileName = name + QStringLiteral(".dll");
#else
    const QString fileName = QStringLiteral("lib") + name + QStringLiteral(".so");
#endif
    const QString installed = QDir::cleanPath(executableFolder + QLatin1Char('/') +
                                              QString::fromUtf8(MARLOX_INSTALLED_LIBRARIES));
    for (const QString &folder : {executableFolder, installed}) {
        if (QFileInfo::exists(fileIn(folder, fileName)))
            return fileIn(folder, name);
    }
    return fileIn(executableFolder, name);
}

QString settingsFolder() {
    const QString folder = programFolder();
    if (canCreateFilesIn(folder))
        return folder;
    const QString user = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(user);
    return user;
}

QString settingsFile(const QString &fileName) {
    return fileIn(settingsFolder(), fileName);
}

void startWindowDrag(QWidget *window) {
    if (!window)
        return;
    if (windowDragHandler) {
        windowDragHandler(window);
        return;
    }
    if (QWindow *handle = window->windowHandle())
        handle->startSystemMove();
}

void setWindowDragHandler(std::function<void(QWidget *)> handler) {
    windowDragHandler = std::move(handler);
}

bool openSoundSettings() {
    struct Panel {
        const char *desktop; // matched in XDG_CURRENT_DESKTOP; nullptr: any
        const char *program;
        QStringList arguments;
    };
    const Panel panels[] = {
        {nullptr, "pavucontrol", {}},
        {"GNOME", "gnome-control-center", {QStringLiteral("sound")}},
        {"Unity", "gnome-control-center", {QStringLiteral("sound")}},
        {"KDE", "systemsettings", {QStringLiteral("kcm_pulseaudio")}},
        {"X-Cinnamon", "cinnamon-settings", {QStringLiteral("sound")}},
        {"MATE", "mate-volume-control", {}},
        {"XFCE", "xfce4-mixer", {}},
        {"LXQt", "pavucontrol-qt", {}},
    };
    const QStringList desktops =
        QString::fromLocal8Bit(qgetenv("XDG_CURRENT_DESKTOP")).split(QLatin1Char(':'));
    for (const Panel &panel : panels) {
        if (panel.desktop && !desktops.contains(QLatin1String(panel.desktop), Qt::CaseInsensitive))
            continue;
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(panel.program));
        if (path.isEmpty())
            continue;
        return QProcess::startDetached(path, panel.arguments, programFolder());
    }
    return false;
}

void endProgram() {
    ended = true;
    if (endProgramHandler) {
        endProgramHandler();
        return;
    }
    // Before the event loop runs, main() sees programEnded() and returns.
    QCoreApplication::exit(0);
}

bool programEnded() {
    return ended;
}

void setEndProgramHandler(std::function<void()> handler) {
    endProgramHandler = std::move(handler);
    ended = false;
}

SingleInstanceGuard::SingleInstanceGuard(const QString &folder, QObject *parent) : QObject(parent) {
    const QByteArray key = QFileInfo(folder).absoluteFilePath().toUtf8();
    m_name = QStringLiteral("marlox-") +
             QString::fromLatin1(
                 QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
}

SingleInstanceGuard::~SingleInstanceGuard() = default;

bool SingleInstanceGuard::anotherCopyRunning() {
    QLocalSocket probe;
    probe.connectToServer(m_name);
    if (probe.waitForConnected(500)) {
        probe.write("activate\n");
        probe.waitForBytesWritten(500);
        probe.disconnectFromServer();
        return true;
    }
    // Nobody answered: a socket file left by a copy that crashed is stale.
    QLocalServer::removeServer(m_name);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->listen(m_name);
    connect(m_server.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *peer = m_server->nextPendingConnection()) {
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (peer->readAll().contains("activate"))
                    emit activationRequested();
            });
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        }
    });
    return false;
}

} // namespace vb
