#include "consolecommands.h"
#include "deployment.h"
#include "eventlog.h"
#include "relay.h"
#include "sockets.h"
#include "stationlimits.h"
#include "voicerelay.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
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
        *error =
            QStringLiteral("cannot make %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    struct stat info = {};
    QString problem;
    if (::lstat(name.constData(), &info) != 0)
        problem = QString::fromLocal8Bit(strerror(errno));
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
    parser.setApplicationDescription(QStringLiteral(
        "Relays the stations of the radio network: speech on the channel ports (325 to 364) "
        "and the operator port (999), the control port (324) and the chat port (10040), "
        "every port shifted by the port offset."));
    parser.addHelpOption();
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        QStringLiteral("Address to listen on, or \"any\" for every IPv4 and IPv6 address "
                       "(default 127.0.0.1)."),
        QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption offsetOption(
        QStringLiteral("port-offset"),
        QStringLiteral("Added to every port; ports below 1024 need root (default 0)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption pendingOption(
        QStringLiteral("max-pending-kb"),
        QStringLiteral("Output held for a slow reader on the control and chat ports before it is "
                       "dropped (default 8)."),
        QStringLiteral("KB"), QStringLiteral("8"));
    const QCommandLineOption stationsOption(
        QStringLiteral("max-stations"),
        QStringLiteral("Stations accepted per port (default 1000)."), QStringLiteral("N"),
        QStringLiteral("1000"));
    const QCommandLineOption perAddressOption(
        QStringLiteral("per-address"),
        QStringLiteral("Connections accepted from one address on each port; 0 for no limit "
                       "(default 4)."),
        QStringLiteral("N"), QStringLiteral("4"));
    const QCommandLineOption perAddressTotalOption(
        QStringLiteral("per-address-total"),
        QStringLiteral("Connections accepted from one address on all ports together; 0 for no "
                       "limit (default 16)."),
        QStringLiteral("N"), QStringLiteral("16"));
    const QCommandLineOption threadsOption(
        QStringLiteral("threads"),
        QStringLiteral("Threads relaying speech, each with a share of the channels (default: one "
                       "per processor core)."),
        QStringLiteral("N"), QString::number(std::max(1u, std::thread::hardware_concurrency())));
    const QCommandLineOption echoOption(
        QStringLiteral("echo-channel"),
        QStringLiteral("Channel (1 to 40) on which the relay is also an echo station: each over a "
                       "station sends there (up to 60 s) is played back to that station alone, "
                       "half a second after it ends. May be repeated (default: none)."),
        QStringLiteral("N"));
    const QCommandLineOption quietOption(QStringLiteral("log-quiet"),
                                         QStringLiteral("Do not log connects and disconnects."));
    const QCommandLineOption operatorOption(
        QStringLiteral("operator"),
        QStringLiteral("Address from which operator commands are accepted on the control port; "
                       "may be repeated. Other stations may send only greetings, reports and "
                       "alarms."),
        QStringLiteral("ADDR"));
    const QCommandLineOption consoleOption(
        QStringLiteral("console"),
        QStringLiteral("The operator console's socket, for marlox-operator (default "
                       "marlox-relay-<control port>.console in the user's runtime folder)."),
        QStringLiteral("PATH"));
    const QCommandLineOption banFileOption(
        QStringLiteral("ban-file"),
        QStringLiteral("File that keeps the bans across restarts (default: none, bans end "
                       "with the relay)."),
        QStringLiteral("PATH"));
    const QCommandLineOption banMinutesOption(QStringLiteral("ban-minutes"),
                                              QStringLiteral("How long a ban lasts (default 60)."),
                                              QStringLiteral("N"), QStringLiteral("60"));
    parser.addOptions({listenOption, offsetOption, pendingOption, stationsOption, perAddressOption,
                       perAddressTotalOption, threadsOption, operatorOption, consoleOption,
                       banFileOption, banMinutesOption, echoOption, quietOption});
    parser.process(app);

    Relay::Options options;
    const auto fail = [](const QString &message) {
        std::fprintf(stderr, "marlox-relay: %s\n", qPrintable(message));
        return 2;
    };
    if (parser.value(listenOption) == QLatin1String("any"))
        options.listenAddress = QHostAddress::Any;
    else if (!options.listenAddress.setAddress(parser.value(listenOption)))
        return fail(QStringLiteral("not an address: %1").arg(parser.value(listenOption)));
    bool ok = false;
    const long long offset = parser.value(offsetOption).toLongLong(&ok);
    if (!ok || !isValidPortOffset(offset))
        return fail(QStringLiteral("port offset must keep every port within 1 to 65535: %1")
                        .arg(parser.value(offsetOption)));
    options.portOffset = int(offset);
    const int pendingKb = parser.value(pendingOption).toInt(&ok);
    if (!ok || pendingKb < 1 || pendingKb > 1024 * 1024)
        return fail(QStringLiteral("--max-pending-kb must be 1 to 1048576"));
    options.maxPendingBytes = qint64(pendingKb) * 1024;
    options.maxStationsPerPort = parser.value(stationsOption).toInt(&ok);
    if (!ok || options.maxStationsPerPort < 1)
        return fail(QStringLiteral("--max-stations must be 1 or more"));
    const int perAddress = parser.value(perAddressOption).toInt(&ok);
    if (!ok || perAddress < 0)
        return fail(QStringLiteral("--per-address must be 0 or more"));
    const int perAddressTotal = parser.value(perAddressTotalOption).toInt(&ok);
    if (!ok || perAddressTotal < 0)
        return fail(QStringLiteral("--per-address-total must be 0 or more"));
    const int threads = parser.value(threadsOption).toInt(&ok);
    if (!ok || threads < 1 || threads > 64)
        return fail(QStringLiteral("--threads must be 1 to 64"));
    std::vector<int> echoChannels;
    for (const QString &text : parser.values(echoOption)) {
        const int channel = text.toInt(&ok);
        if (!ok || channel < 1 || channel > 40)
            return fail(QStringLiteral("--echo-channel must be 1 to 40: %1").arg(text));
        echoChannels.push_back(channel);
    }
    options.quiet = parser.isSet(quietOption);
    for (const QString &text : parser.values(operatorOption)) {
        QHostAddress address;
        if (!address.setAddress(text))
            return fail(QStringLiteral("not an operator address: %1").arg(text));
        options.operators.append(address);
    }

    options.consolePath =
        parser.isSet(consoleOption)
            ? parser.value(consoleOption)
            : ConsoleCommands::defaultPath(Deployment::controlBasePort + options.portOffset);
    if (options.consolePath.isEmpty())
        return fail(QStringLiteral("--console needs a path"));
    if (!parser.isSet(consoleOption)) {
        QString error;
        if (!makePrivateFolder(ConsoleCommands::runtimeFolder(), &error))
            return fail(error);
    }
    options.banFile = parser.value(banFileOption);
    options.banMinutes = parser.value(banMinutesOption).toInt(&ok);
    if (!ok || options.banMinutes < 1 || options.banMinutes > 10 * 365 * 24 * 60)
        return fail(QStringLiteral("--ban-minutes must be 1 to 5256000"));

    if (!watchStopSignals(app))
        return fail(QStringLiteral("cannot watch for stop signals"));
    // A station that vanishes mid-write must not end the relay.
    std::signal(SIGPIPE, SIG_IGN);

    // Every station holds a descriptor; the usual soft limit of 1024 is far too few.
    const long descriptorLimit = raiseDescriptorLimit();
    EventLog log(options.quiet);
    AddressLimits limits(perAddress, perAddressTotal);
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
        port.echo =
            std::find(echoChannels.begin(), echoChannels.end(), port.channel) != echoChannels.end();
    voiceOptions.threads = threads;
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
    for (const int channel : echoChannels)
        std::fprintf(stderr, "marlox-relay: echo station on channel %02d\n", channel);
    std::fflush(stderr);
    const int status = app.exec();
    std::fprintf(stderr, "marlox-relay: stopped\n");
    return status;
}
