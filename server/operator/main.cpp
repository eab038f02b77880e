#include "consolecommands.h"
#include "deployment.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLocalSocket>

#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int answerTimeoutMs = 10000;

int fail(const QString &message) {
    std::fprintf(stderr, "marlox-operator: %s\n", qPrintable(message));
    return 1;
}

QString commandList() {
    QString text = QStringLiteral("Commands:\n");
    for (const ConsoleCommands::Command &command : ConsoleCommands::all)
        text += QStringLiteral("  %1 %2\n")
                    .arg(QString::fromLatin1(command.name) +
                             (command.perStation ? QStringLiteral(" IDENTITY") : QString()),
                         -22)
                    .arg(QString::fromLatin1(command.help));
    return text;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("marlox-operator"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Sends one command to the stations through a running marlox-relay's "
                       "operator console.\n\n") +
        commandList());
    parser.addHelpOption();
    const QCommandLineOption consoleOption(
        QStringLiteral("console"),
        QStringLiteral("The relay's console socket (default: that of the relay with the "
                       "given port offset)."),
        QStringLiteral("PATH"));
    const QCommandLineOption offsetOption(
        QStringLiteral("port-offset"),
        QStringLiteral("The relay's port offset, to find its console (default 0)."),
        QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions({consoleOption, offsetOption});
    parser.addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("What to do."));
    parser.addPositionalArgument(QStringLiteral("IDENTITY"),
                                 QStringLiteral("The station, for commands to one station."),
                                 QStringLiteral("[IDENTITY]"));
    parser.process(app);

    const QStringList arguments = parser.positionalArguments();
    if (arguments.isEmpty())
        return fail(QStringLiteral("no command given; --help lists them"));
    const ConsoleCommands::Command *command = ConsoleCommands::find(arguments[0]);
    if (!command)
        return fail(QStringLiteral("unknown command: %1; --help lists them").arg(arguments[0]));
    if (command->perStation && arguments.size() != 2)
        return fail(QStringLiteral("%1 needs the identity of one station").arg(arguments[0]));
    if (!command->perStation && arguments.size() != 1)
        return fail(QStringLiteral("%1 takes no identity").arg(arguments[0]));

    QString path = parser.value(consoleOption);
    if (path.isEmpty()) {
        bool ok = false;
        const long long offset = parser.value(offsetOption).toLongLong(&ok);
        if (!ok || !isValidPortOffset(offset))
            return fail(QStringLiteral("not a port offset: %1").arg(parser.value(offsetOption)));
        path = ConsoleCommands::defaultPath(Deployment::controlBasePort + int(offset));
    }

    QLocalSocket console;
    console.connectToServer(path);
    if (!console.waitForConnected(answerTimeoutMs))
        return fail(QStringLiteral("cannot reach the relay's console %1: %2")
                        .arg(path, console.errorString()));
    // Anyone may put a socket where the console is looked for: talk only to one
    // made by this user, as the relay's is.
    ucred peer = {};
    socklen_t peerSize = sizeof peer;
    if (::getsockopt(int(console.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) !=
        0)
        return fail(QStringLiteral("cannot tell who answers on %1; nothing sent").arg(path));
    if (peer.uid != ::getuid())
        return fail(QStringLiteral("%1 belongs to another user (uid %2), not to a relay of this "
                                   "user (uid %3); nothing sent")
                        .arg(path)
                        .arg(peer.uid)
                        .arg(::getuid()));
    console.write(arguments.join(u' ').toUtf8() + '\n');
    QByteArray reply;
    while (console.state() == QLocalSocket::ConnectedState &&
           console.waitForReadyRead(answerTimeoutMs))
        reply += console.readAll();
    reply += console.readAll();
    const qsizetype firstLineEnd = reply.indexOf('\n');
    const QByteArray status = reply.left(firstLineEnd);
    const QByteArray text = firstLineEnd < 0 ? QByteArray() : reply.mid(firstLineEnd + 1);
    if (status == "ok") {
        std::fputs(text.constData(), stdout);
        return 0;
    }
    if (status == "error") {
        std::fprintf(stderr, "marlox-operator: %s", text.constData());
        return 1;
    }
    return fail(QStringLiteral("no answer from the relay's console %1").arg(path));
}
