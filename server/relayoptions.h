#pragma once

#include "relay.h"

#include <QCommandLineParser>
#include <QString>

#include <variant>
#include <vector>

// What marlox-relay's command line asks for.
struct RelaySettings {
    // Without the log, the limits and the callbacks, which the running relay adds.
    Relay::Options relay;
    int perAddress = 4;
    int perAddressTotal = 16;
    int threads = 1;
    std::vector<int> echoChannels;
    // The console is in the runtime folder, which must be ours alone.
    bool defaultConsole = false;
};

// Declares the relay's options, with their help and defaults.
void addRelayOptions(QCommandLineParser &parser);

// The settings of a parsed command line, or why they cannot be used.
std::variant<RelaySettings, QString> readRelayOptions(const QCommandLineParser &parser);
