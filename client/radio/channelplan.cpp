#include "radio/channelplan.h"

namespace ChannelPlan {

namespace {

ChannelEntry row(int number, const char *frequency, const char *name = "") {
    return {qint16(number),
            displayText(number),
            QString::fromLatin1(frequency) + QStringLiteral(" MHz"),
            QString::fromLatin1(name),
            number <= 20 ? ChannelServer::First : ChannelServer::Second,
            qint16(controlPort + number)};
}

} // namespace

const std::array<ChannelEntry, channelCount> &channels() {
    // The frequency order breaks at 23 to 25, and the band has gaps at
    // 26.995, 27.045, 27.095, 27.145 and 27.195 MHz.
    static const std::array<ChannelEntry, channelCount> plan = {
        row(1, "26.965"),
        row(2, "26.975"),
        row(3, "26.985"),
        row(4, "27.005", "Anrufkanal"),
        row(5, "27.015"),
        row(6, "27.025"),
        row(7, "27.035"),
        row(8, "27.055"),
        row(9, "27.065"),
        row(10, "27.075"),
        row(11, "27.085", "Gateways"),
        row(12, "27.105"),
        row(13, "27.115"),
        row(14, "27.125"),
        row(15, "27.135"),
        row(16, "27.155"),
        row(17, "27.165"),
        row(18, "27.175"),
        row(19, "27.185"),
        row(20, "27.205"),
        row(21, "27.215"),
        row(22, "27.225"),
        row(23, "27.255"),
        row(24, "27.235", "Daten-Kanal"),
        row(25, "27.245", "Daten-Kanal"),
        row(26, "27.265"),
        row(27, "27.275"),
        row(28, "27.285"),
        row(29, "27.295", "Gateways"),
        row(30, "27.305"),
        row(31, "27.315"),
        row(32, "27.325"),
        row(33, "27.335"),
        row(34, "27.345", "Gateways"),
        row(35, "27.355"),
        row(36, "27.365"),
        row(37, "27.375"),
        row(38, "27.385"),
        row(39, "27.395", "Gateways"),
        row(40, "27.405"),
    };
    return plan;
}

const ChannelEntry &operatorChannel() {
    static const ChannelEntry entry{0,
                                    QStringLiteral("0"),
                                    QStringLiteral("27.000 MHz"),
                                    QStringLiteral("Easter Egg"),
                                    ChannelServer::Second,
                                    999};
    return entry;
}

const ChannelEntry *lookup(const QString &display) {
    for (const ChannelEntry &entry : channels())
        if (entry.display == display)
            return &entry;
    return nullptr;
}

QString displayText(int number) {
    return number < 10 ? QStringLiteral("0") + QString::number(number) : QString::number(number);
}

QString announcementFile(int number) {
    return QStringLiteral("wave-zahlen/") + QString::number(number) + QStringLiteral(".wav");
}

} // namespace ChannelPlan
