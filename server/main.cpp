#include "consolecommands.h"
#include "deployment.h"
#include "eventlog.h"
#include "relayoptions.h"
#include "sockets.h"
#include "stationlimits.h"
#include "voicerelay.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop through a pipe, so that the relay shuts
// down from its own thread.
bool watchStopSignals(QCoreApplication &app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
        app.quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// The console's default folder: made for this user alone, and refused when
// someone else made it, it is a link, or others can write into it.
bool makePrivateFolder(const QString &path, QString *error) {
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot make %1: %2").arg(path, errorText(errno));
        return false;
    }
    struct stat info = {};
    QString problem;
    if (::lstat(name.constData(), &info) != 0)
        problem = errorText(errno);
    else if (S_ISLNK(info.st_mode))
        problem = QStringLiteral("it is a symbolic link");
    else if (!S_ISDIR(info.st_mode))
        problem = QStringLiteral("it is not a folder");
    else if (info.st_uid != ::getuid())
        problem = QStringLiteral("it belongs to another user (uid %1)").arg(info.st_uid);
    else if ((info.st_mode & 0077) != 0)
        problem = QStringLiteral("others may use it (mode %1)").arg(info.st_mode & 07777, 3, 8);
    if (problem.isEmpty())
        return true;
    *error = QStringLiteral("will not keep the console in %1: %2; remove it, set "
                            "XDG_RUNTIME_DIR or give --console")
                 .arg(path, problem);
    return false;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("marlox-relay"));

    QCommandLineParser parser;
    addRelayOptions(parser);
    parser.process(app);
    const auto fail = [](const QString &message) {
        std::fprintf(stderr, "marlox-relay: %s\n", qPrintable(message));
        return 2;
    };
    auto read = readRelayOptions(parser);
    if (const QString *problem = std::get_if<QString>(&read))
        return fail(*problem);
    RelaySettings &settings = std::get<RelaySettings>(read);
    Relay::Options &options = settings.relay;
    if (settings.defaultConsole) {
        QString error;
        if (!makePrivateFolder(ConsoleCommands::runtimeFolder(), &error))
            return fail(error);
    }

    if (!watchStopSignals(app))
        return fail(QStringLiteral("cannot watch for stop signals"));
    // A station that vanishes mid-write must not end the relay.
    std::signal(SIGPIPE, SIG_IGN);

    // Every station holds a descriptor; the usual soft limit of 1024 is far too few.
    const long descriptorLimit = raiseDescriptorLimit();
    EventLog log(options.quiet);
    AddressLimits limits(settings.perAddress, settings.perAddressTotal);
    ConnectionBudget budget(descriptorLimit, &log);
    options.log = &log;
    options.limits = &limits;
    options.budget = &budget;
    // A ban reaches the voice ports through the speech relay, made below.
    VoiceRelay *voicePorts = nullptr;
    options.onBanned = [&voicePorts](const QHostAddress &address) {
        if (voicePorts)
            voicePorts->dropAddress(address);
    };
    options.voiceNotes = [&voicePorts] {
        return voicePorts ? voicePorts->notes() : std::vector<VoiceRelay::Note>{};
    };
    Relay relay(options);
    QString error;
    if (!relay.start(&error))
        return fail(error);

    VoiceRelay::Options voiceOptions;
    voiceOptions.listenAddress = options.listenAddress;
    voiceOptions.ports = VoiceRelay::networkPorts(options.portOffset);
    for (VoiceRelay::Port &port : voiceOptions.ports)
        port.echo = std::find(settings.echoChannels.begin(), settings.echoChannels.end(),
                              port.channel) != settings.echoChannels.end();
    voiceOptions.threads = settings.threads;
    voiceOptions.maxStationsPerPort = options.maxStationsPerPort;
    voiceOptions.limits = &limits;
    voiceOptions.budget = &budget;
    voiceOptions.log = &log;
    BanList &bans = relay.bans();
    voiceOptions.refuse = [&bans](const QHostAddress &address) { return bans.isBanned(address); };
    VoiceRelay voice(voiceOptions);
    if (!voice.start(&error))
        return fail(error);
    voicePorts = &voice;
    budget.countOwnDescriptors();
    std::fprintf(stderr, "marlox-relay: listening on %s, control port %d, console %s\n",
                 qPrintable(options.listenAddress.toString()),
                 Deployment::controlBasePort + options.portOffset, qPrintable(options.consolePath));
    for (const int channel : settings.echoChannels)
        std::fprintf(stderr, "marlox-relay: echo station on channel %02d\n", channel);
    std::fflush(stderr);
    const int status = app.exec();
    std::fprintf(stderr, "marlox-relay: stopped\n");
    return status;
}
