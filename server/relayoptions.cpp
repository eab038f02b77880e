#include "relayoptions.h"

#include "consolecommands.h"
#include "deployment.h"

#include <algorithm>
#include <climits>
#include <thread>

namespace {

struct OptionText {
    const char *name;
    const char *valueName;
    const char *defaultValue;
    const char *help;
};

// In the order the help lists them.
constexpr OptionText optionTexts[] = {
    {"listen", "ADDR", "127.0.0.1",
     "Address to listen on, or \"any\" for every IPv4 and IPv6 address (default 127.0.0.1)."},
    {"port-offset", "N", "0", "Added to every port; ports below 1024 need root (default 0)."},
    {"max-pending-kb", "KB", "8",
     "Output held for a slow reader on the control and chat ports before it is dropped "
     "(default 8)."},
    {"max-stations", "N", "1000", "Stations accepted per port (default 1000)."},
    {"per-address", "N", "4",
     "Connections accepted from one address on each port; 0 for no limit (default 4)."},
    {"per-address-total", "N", "16",
     "Connections accepted from one address on all ports together; 0 for no limit (default 16)."},
    // Its default is the number of processor cores.
    {"threads", "N", nullptr,
     "Threads relaying speech, each with a share of the channels (default: one per processor "
     "core)."},
    {"operator", "ADDR", "",
     "Address from which operator commands are accepted on the control port; may be repeated. "
     "Other stations may send only greetings, reports and alarms."},
    {"console", "PATH", "",
     "The operator console's socket, for marlox-operator (default "
     "marlox-relay-<control port>.console in the user's runtime folder)."},
    {"ban-file", "PATH", "",
     "File that keeps the bans across restarts (default: none, bans end with the relay)."},
    {"ban-minutes", "N", "60", "How long a ban lasts (default 60)."},
    {"echo-channel", "N", "",
     "Channel (1 to 40) on which the relay is also an echo station: each over a station sends "
     "there (up to 60 s) is played back to that station alone, half a second after it ends. May "
     "be repeated (default: none)."},
    {"log-quiet", "", "", "Do not log connects and disconnects."},
};

// A whole number from `low` to `high`; false with the range in `error`.
bool readNumber(const QString &text, const char *option, int low, int high, int *value,
                QString *error) {
    bool ok = false;
    *value = text.toInt(&ok);
    if (ok && *value >= low && *value <= high)
        return true;
    *error = high == INT_MAX
                 ? QStringLiteral("--%1 must be %2 or more").arg(option).arg(low)
                 : QStringLiteral("--%1 must be %2 to %3").arg(option).arg(low).arg(high);
    return false;
}

} // namespace

void addRelayOptions(QCommandLineParser &parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Relays the stations of the radio network: speech on the channel ports (325 to 364) "
        "and the operator port (999), the control port (324) and the chat port (10040), "
        "every port shifted by the port offset."));
    parser.addHelpOption();
    for (const OptionText &option : optionTexts)
        parser.addOption(QCommandLineOption(
            QString::fromLatin1(option.name), QString::fromLatin1(option.help),
            QString::fromLatin1(option.valueName),
            option.defaultValue
                ? QString::fromLatin1(option.defaultValue)
                : QString::number(std::max(1u, std::thread::hardware_concurrency()))));
}

std::variant<RelaySettings, QString> readRelayOptions(const QCommandLineParser &parser) {
    const auto value = [&parser](const char *name) { return parser.value(QLatin1String(name)); };
    const auto values = [&parser](const char *name) { return parser.values(QLatin1String(name)); };
    RelaySettings settings;
    Relay::Options &options = settings.relay;
    QString error;
    const auto number = [&](const char *name, int low, int high, int *target) {
        return readNumber(value(name), name, low, high, target, &error);
    };
    if (value("listen") == QLatin1String("any"))
        options.listenAddress = QHostAddress::Any;
    else if (!options.listenAddress.setAddress(value("listen")))
        return QStringLiteral("not an address: %1").arg(value("listen"));
    bool ok = false;
    const long long offset = value("port-offset").toLongLong(&ok);
    if (!ok || !isValidPortOffset(offset))
        return QStringLiteral("port offset must keep every port within 1 to 65535: %1")
            .arg(value("port-offset"));
    options.portOffset = int(offset);
    int pendingKb = 0;
    if (!number("max-pending-kb", 1, 1024 * 1024, &pendingKb) ||
        !number("max-stations", 1, INT_MAX, &options.maxStationsPerPort) ||
        !number("per-address", 0, INT_MAX, &settings.perAddress) ||
        !number("per-address-total", 0, INT_MAX, &settings.perAddressTotal) ||
        !number("threads", 1, 64, &settings.threads))
        return error;
    options.maxPendingBytes = qint64(pendingKb) * 1024;
    for (const QString &text : values("echo-channel")) {
        int channel = 0;
        if (!readNumber(text, "echo-channel", 1, 40, &channel, &error))
            return error + QStringLiteral(": ") + text;
        settings.echoChannels.push_back(channel);
    }
    options.quiet = parser.isSet(QStringLiteral("log-quiet"));
    for (const QString &text : values("operator")) {
        QHostAddress address;
        if (!address.setAddress(text))
            return QStringLiteral("not an operator address: %1").arg(text);
        options.operators.append(address);
    }
    settings.defaultConsole = !parser.isSet(QStringLiteral("console"));
    options.consolePath =
        settings.defaultConsole
            ? ConsoleCommands::defaultPath(Deployment::controlBasePort + options.portOffset)
            : value("console");
    if (options.consolePath.isEmpty())
        return QStringLiteral("--console needs a path");
    options.banFile = value("ban-file");
    if (!number("ban-minutes", 1, 10 * 365 * 24 * 60, &options.banMinutes))
        return error;
    return settings;
}
