#pragma once

#include <QString>
#include <memory>

class QSettings;

// Where this installation finds its servers, read from marlox.ini in the settings
// folder. Every port is already shifted by the port offset.
struct Deployment {
    static constexpr int controlBasePort = 324;
    static constexpr int operatorBasePort = 999;
    static constexpr int chatBasePort = 10040;

    QString first = QStringLiteral("localhost");
    QString second = QStringLiteral("localhost");
    QString chat = QStringLiteral("localhost");
    int portOffset = 0;
    // Always a valid identity: the configured one, or the one kept in the user's settings.
    QString identity;
    QString homepage = QStringLiteral("https://marlox.example/");

    quint16 controlPort() const { return quint16(controlBasePort + portOffset); }
    // Channel 1 to 40.
    quint16 channelPort(int channel) const {
        return quint16(controlBasePort + channel + portOffset);
    }
    quint16 operatorPort() const { return quint16(operatorBasePort + portOffset); }
    quint16 chatPort() const { return quint16(chatBasePort + portOffset); }
};

// True when every shifted port (324 to 364, 999, 10040) stays within 1 to 65535.
bool isValidPortOffset(long long offset);

// Five ASCII letters or digits, the last a digit: the control messages and the
// signal meter take the character before the channel token as a digit.
bool isValidIdentity(const QString &identity);

// The configured identity when it is valid; otherwise the one kept in the user's
// settings, generated and stored there on first use.
QString stationIdentity(const QString &configured);

// Missing file, missing keys or unreadable values give the defaults; so does a
// file that is not a regular file or is larger than 64 KB.
Deployment loadDeployment(const QString &settingsFolder);
// The same from the bytes of a marlox.ini.
Deployment deploymentFromIni(const QByteArray &content);

// The user's own settings are kept under the program's organisation; on
// Windows that is the registry key HKCU\Software\<organisation>.
inline constexpr char settingsOrganisation[] = "vudi";
inline constexpr char settingsApplication[] = "marlox";
// The radio's own settings of this user.
std::unique_ptr<QSettings> radioSettings();

// The registry as the windows address it, "HKCU\SOFTWARE\<organisation>\<key>",
// kept in the user's settings of that organisation. Reading gives an empty
// text on any error; writing false.
QString registryPath(const QString &key);
QString RegRead(const QString &path);
bool RegWrite(const QString &path, const QString &value);
