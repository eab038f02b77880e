#include "com.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QLibrary>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>

namespace com {

namespace {

QString clsidKey(const QUuid &clsid) {
    return clsid.toString(QUuid::WithoutBraces);
}

QString hexResult(HResult result) {
    return QStringLiteral("0x%1").arg(quint32(result), 8, 16, QLatin1Char('0'));
}

int twipsPerPixel(qreal dotsPerInch) {
    if (dotsPerInch <= 0)
        return 15;
    return std::max(1, qRound(1440.0 / dotsPerInch));
}

qreal screenDpi(bool horizontal) {
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 96;
    return horizontal ? screen->logicalDotsPerInchX() : screen->logicalDotsPerInchY();
}

} // namespace

QString registryFilePath() {
    const QString configured = qEnvironmentVariable("MARLOX_COMPONENT_REGISTRY");
    if (!configured.isEmpty())
        return configured;
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/marlox/components.ini");
}

bool registerClass(const ClassRegistration &registration) {
    QSettings registry(registryFilePath(), QSettings::IniFormat);
    const QString cls = QStringLiteral("CLSID/") + clsidKey(registration.clsid);
    registry.setValue(QStringLiteral("ProgID/%1/CLSID").arg(registration.progId),
                      registration.clsid.toString());
    registry.setValue(cls + QStringLiteral("/Name"), registration.className);
    registry.setValue(cls + QStringLiteral("/ProgID"), registration.progId);
    registry.setValue(cls + QStringLiteral("/InprocServer32"), registration.libraryPath);
    registry.setValue(cls + QStringLiteral("/TypeLib"), registration.typeLibraryId.toString());
    if (!registration.typeLibraryId.isNull()) {
        const QString lib = QStringLiteral("TypeLib/") + clsidKey(registration.typeLibraryId);
        registry.setValue(lib + QStringLiteral("/Name"), registration.typeLibraryName);
        registry.setValue(lib + QStringLiteral("/HelpString"), registration.typeLibraryHelp);
        registry.setValue(lib + QStringLiteral("/Path"), registration.libraryPath);
    }
    registry.sync();
    return registry.status() == QSettings::NoError;
}

bool unregisterClass(const QString &progId, const QUuid &clsid, const QUuid &typeLibraryId) {
    QSettings registry(registryFilePath(), QSettings::IniFormat);
    const QString progIdGroup = QStringLiteral("ProgID/") + progId;
    // Another class may have taken the name over since; leave that one alone.
    if (QUuid(registry.value(progIdGroup + QStringLiteral("/CLSID")).toString()) == clsid)
        registry.remove(progIdGroup);
    registry.remove(QStringLiteral("CLSID/") + clsidKey(clsid));
    if (!typeLibraryId.isNull())
        registry.remove(QStringLiteral("TypeLib/") + clsidKey(typeLibraryId));
    registry.sync();
    return registry.status() == QSettings::NoError;
}

QUuid classOfProgId(const QString &progId) {
    const QSettings registry(registryFilePath(), QSettings::IniFormat);
    return QUuid(registry.value(QStringLiteral("ProgID/%1/CLSID").arg(progId)).toString());
}

QString libraryOfClass(const QUuid &clsid) {
    const QSettings registry(registryFilePath(), QSettings::IniFormat);
    return registry.value(QStringLiteral("CLSID/%1/InprocServer32").arg(clsidKey(clsid)))
        .toString();
}

Creation createInstance(const QString &progId, const QUuid &iid) {
    Creation creation;
    const QUuid clsid = classOfProgId(progId);
    const QString path = clsid.isNull() ? QString() : libraryOfClass(clsid);
    if (path.isEmpty()) {
        creation.error = QStringLiteral("Die Komponente \"%1\" ist nicht registriert.").arg(progId);
        return creation;
    }
    if (!QFileInfo(path).isFile()) {
        creation.error =
            QStringLiteral("Die Bibliothek \"%1\" der Komponente \"%2\" fehlt.").arg(path, progId);
        return creation;
    }
    QLibrary library(path);
    if (!library.load()) {
        creation.error = QStringLiteral("Die Bibliothek \"%1\" lässt sich nicht laden: %2")
                             .arg(path, library.errorString());
        return creation;
    }
    const auto getClassObject =
        reinterpret_cast<GetClassObjectFunction>(library.resolve("DllGetClassObject"));
    if (!getClassObject) {
        creation.error =
            QStringLiteral("Der Bibliothek \"%1\" fehlt der Einsprungpunkt DllGetClassObject.")
                .arg(path);
        return creation;
    }
    void *factoryObject = nullptr;
    HResult result = getClassObject(clsid, iidClassFactory, &factoryObject);
    if (!succeeded(result) || !factoryObject) {
        creation.error =
            QStringLiteral("Die Bibliothek \"%1\" bietet die Klasse der Komponente \"%2\" nicht an "
                           "(Fehler %3).")
                .arg(path, progId, hexResult(result));
        return creation;
    }
    const auto factory = ComPtr<IClassFactory>::adopt(static_cast<IClassFactory *>(factoryObject));
    result = factory->CreateInstance(nullptr, iid, &creation.object);
    if (!succeeded(result) || !creation.object) {
        creation.object = nullptr;
        creation.error =
            QStringLiteral("Die Komponente \"%1\" lässt sich nicht erzeugen (Fehler %2).")
                .arg(progId, hexResult(result));
    }
    return creation;
}

QString registerIfNeeded(const QString &progId, const QString &libraryPath) {
    const QUuid clsid = classOfProgId(progId);
    if (!clsid.isNull() && QFileInfo(libraryOfClass(clsid)).isFile())
        return {};
    QLibrary library(libraryPath);
    if (!library.load())
        return QStringLiteral("Die Bibliothek \"%1\" lässt sich nicht laden: %2")
            .arg(libraryPath, library.errorString());
    const auto registerServer =
        reinterpret_cast<RegisterServerFunction>(library.resolve("DllRegisterServer"));
    if (!registerServer)
        return QStringLiteral("Der Bibliothek \"%1\" fehlt der Einsprungpunkt DllRegisterServer.")
            .arg(libraryPath);
    const HResult result = registerServer();
    if (!succeeded(result))
        return QStringLiteral("Die Bibliothek \"%1\" lässt sich nicht registrieren (Fehler %2).")
            .arg(libraryPath, hexResult(result));
    if (classOfProgId(progId).isNull())
        return QStringLiteral("Die Bibliothek \"%1\" registriert die Komponente \"%2\" nicht.")
            .arg(libraryPath, progId);
    return {};
}

int twipsPerPixelX() {
    return twipsPerPixel(screenDpi(true));
}
int twipsPerPixelY() {
    return twipsPerPixel(screenDpi(false));
}

} // namespace com
