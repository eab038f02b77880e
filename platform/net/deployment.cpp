#include "deployment.h"
#include "smallfile.h"

#include <QDir>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryFile>
#include <QUrl>

#include <algorithm>

namespace {

// A value is used only when it is one plain text; QSettings turns values with
// commas into lists, which no host name or address contains.
QString textValue(const QSettings &settings, const QString &key) {
    const QVariant value = settings.value(key);
    if (value.typeId() != QMetaType::QString)
        return {};
    return value.toString().trimmed();
}

bool isUsableHost(const QString &host) {
    if (host.isEmpty() || host.size() > 253)
        return false;
    return std::all_of(host.begin(), host.end(), [](QChar c) {
        return c.unicode() > 0x20 && c.unicode() < 0x7F && c != QLatin1Char('/');
    });
}

QString hostValue(const QSettings &settings, const QString &key, const QString &fallback) {
    const QString host = textValue(settings, key);
    return isUsableHost(host) ? host : fallback;
}

QString generateIdentity() {
    QString identity;
    auto *random = QRandomGenerator::system();
    for (int letter = 0; letter < 4; ++letter)
        identity.append(QChar(u'A' + random->bounded(26)));
    identity.append(QChar(u'0' + random->bounded(10)));
    return identity;
}

bool isAsciiAlphanumeric(QChar c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9');
}

} // namespace

bool isValidPortOffset(long long offset) {
    return Deployment::controlBasePort + offset >= 1 && Deployment::chatBasePort + offset <= 65535;
}

bool isValidIdentity(const QString &identity) {
    return identity.size() == 5 &&
           std::all_of(identity.begin(), identity.end(), isAsciiAlphanumeric) &&
           identity.back().isDigit();
}

QString stationIdentity(const QString &configured) {
    if (isValidIdentity(configured))
        return configured;
    const auto user = radioSettings();
    const QString stored = user->value(QStringLiteral("identity")).toString();
    if (isValidIdentity(stored))
        return stored;
    const QString identity = generateIdentity();
    user->setValue(QStringLiteral("identity"), identity);
    user->sync();
    return identity;
}

Deployment loadDeployment(const QString &settingsFolder) {
    const std::optional<QByteArray> content =
        readSmallFile(QDir(settingsFolder).filePath(QStringLiteral("marlox.ini")));
    return deploymentFromIni(content.value_or(QByteArray()));
}

Deployment deploymentFromIni(const QByteArray &content) {
    Deployment deployment;
    // QSettings reads only files: it gets a private copy of the bytes already
    // checked, never the path a FIFO could have taken meanwhile.
    QTemporaryFile copy;
    if (copy.open()) {
        copy.write(content);
        copy.flush();
    }
    const QSettings ini(copy.fileName(), QSettings::IniFormat);

    deployment.first = hostValue(ini, QStringLiteral("servers/first"), deployment.first);
    deployment.second = hostValue(ini, QStringLiteral("servers/second"), deployment.second);
    deployment.chat = hostValue(ini, QStringLiteral("servers/chat"), deployment.first);

    bool ok = false;
    const long long offset = textValue(ini, QStringLiteral("servers/port_offset")).toLongLong(&ok);
    deployment.portOffset = ok && isValidPortOffset(offset) ? int(offset) : 0;

    deployment.identity = stationIdentity(textValue(ini, QStringLiteral("station/identity")));

    // The info key hands this address to the desktop to open: only web addresses.
    const QUrl homepage(textValue(ini, QStringLiteral("links/homepage")), QUrl::StrictMode);
    if (homepage.isValid() && !homepage.host().isEmpty() &&
        (homepage.scheme() == u"http" || homepage.scheme() == u"https"))
        deployment.homepage = homepage.toString();
    return deployment;
}

namespace {

std::unique_ptr<QSettings> userSettings(const QString &organisation) {
#ifdef Q_OS_WIN
    return std::make_unique<QSettings>(
        QStringLiteral("HKEY_CURRENT_USER\\Software\\") + organisation, QSettings::NativeFormat);
#else
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, organisation);
#endif
}

// Splits "HKCU\SOFTWARE\<organisation>\<key>"; false for any other path.
bool splitRegistryPath(const QString &path, QString *organisation, QString *key) {
    const QStringList parts = path.split(u'\\');
    if (parts.size() != 4 || parts[2].isEmpty() || parts[3].isEmpty())
        return false;
    const bool currentUser = parts[0].compare(u"HKCU", Qt::CaseInsensitive) == 0 ||
                             parts[0].compare(u"HKEY_CURRENT_USER", Qt::CaseInsensitive) == 0;
    if (!currentUser || parts[1].compare(u"SOFTWARE", Qt::CaseInsensitive) != 0)
        return false;
    *organisation = parts[2];
    *key = parts[3];
    return true;
}

} // namespace

std::unique_ptr<QSettings> radioSettings() {
    return std::make_unique<QSettings>(QLatin1StringView(settingsOrganisation),
                                       QLatin1StringView(settingsApplication));
}

QString registryPath(const QString &key) {
    return QStringLiteral("HKCU\\SOFTWARE\\") + QLatin1StringView(settingsOrganisation) + u'\\' +
           key;
}

QString RegRead(const QString &path) {
    QString organisation;
    QString key;
    if (!splitRegistryPath(path, &organisation, &key))
        return {};
    const QVariant value = userSettings(organisation)->value(key);
    return value.canConvert<QString>() ? value.toString() : QString();
}

bool RegWrite(const QString &path, const QString &value) {
    QString organisation;
    QString key;
    if (!splitRegistryPath(path, &organisation, &key))
        return false;
    const auto settings = userSettings(organisation);
    settings->setValue(key, value);
    settings->sync();
    return settings->status() == QSettings::NoError;
}
