#pragma once

#include <QString>
#include <QtGlobal>
#include <array>

// The 40 channels of the band and the operator channel. Every channel has a
// port of its own on one of the two channel servers.

enum class ChannelServer { First, Second };

struct ChannelEntry {
    qint16 number;
    QString display;   // "01" .. "40"; "0" for the operator channel
    QString frequency; // "26.965 MHz"
    QString name;      // empty for an unnamed channel
    ChannelServer server;
    qint16 port; // 324 + number for the 40 channels
};

namespace ChannelPlan {

constexpr int channelCount = 40;
constexpr int controlPort = 324;

const std::array<ChannelEntry, channelCount> &channels();
const ChannelEntry &operatorChannel();

// The row shown by a two-character display text, or nullptr ("00", "41", anything else).
const ChannelEntry *lookup(const QString &display);
// The display text of a channel number: a leading "0" below 10.
QString displayText(int number);
// The announcement sound of a channel, relative to the program folder.
QString announcementFile(int number);

} // namespace ChannelPlan
