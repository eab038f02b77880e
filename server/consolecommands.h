#pragma once

#include <QDir>
#include <QString>

#include <array>
#include <unistd.h>

// The operator console's commands, shared by the relay and marlox-operator.
// The console takes one line, "COMMAND" or "COMMAND IDENTITY", and answers
// "ok" or "error" on the first line, the text for the operator below it, and
// then closes the connection.
namespace ConsoleCommands {

struct Command {
    const char *name;
    // What the relay sends: after the station's identity, or after five filler
    // characters to every station. Empty for commands the relay answers itself.
    const char *word;
    bool perStation;
    const char *help;
};

inline constexpr std::array<Command, 12> all = {{
    {"stations", "", false, "list the stations: identity, address, channel, idle seconds, state"},
    {"warn", "Na-0", true, "warn the station"},
    {"stuck", "Na-1", true, "tell the station its push-to-talk key is stuck"},
    {"soundcard", "Na-2", true, "tell the station its sound card disturbs the channel"},
    {"sos", "Na-3", true, "tell the station it pressed SOS without reason"},
    {"adminchannel", "Na-4", true, "call the station to the admin channel"},
    {"kick", "aozl", true, "lock the station's transmit key for 15 minutes"},
    {"off", "gimx", true, "switch the station off"},
    {"ban", "bann", true, "close the station's program and refuse its address (or an address)"},
    {"news", "alle", false, "tell every station there is news on the homepage"},
    {"meeting", "all1", false, "tell every station about the evening meeting"},
    {"unban", "", true, "lift the ban of the station's address (or of an address)"},
}};

// Put in front of the notices to all; never a station's identity.
inline constexpr char filler[] = "*****";

inline const Command *find(const QString &name) {
    for (const Command &command : all)
        if (name == QLatin1String(command.name))
            return &command;
    return nullptr;
}

// The user's runtime folder, or a private folder of the user's in the
// temporary folder where there is none.
inline QString runtimeFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime;
    return QDir::tempPath() + QStringLiteral("/marlox-relay-%1").arg(::getuid());
}

// Beside the user's other runtime files, one socket per relay (by its control port).
inline QString defaultPath(int controlPort) {
    return runtimeFolder() + QStringLiteral("/marlox-relay-%1.console").arg(controlPort);
}

} // namespace ConsoleCommands
