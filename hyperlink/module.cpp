// The library's entry points: its class factory, registration and unload test.

#include "hyperlink.h"

#include <QApplication>
#include <QFileInfo>

#include <dlfcn.h>

namespace {

std::atomic<int> liveObjects{0};
std::atomic<int> serverLocks{0};

class HyperlinkFactory final : public com::IClassFactory {
public:
    HyperlinkFactory() { hyperlinkModule::objectCreated(); }
    HyperlinkFactory(const HyperlinkFactory &) = delete;
    HyperlinkFactory &operator=(const HyperlinkFactory &) = delete;

    com::HResult QueryInterface(const QUuid &iid, void **object) override {
        if (!object)
            return com::errorPointer;
        if (iid != com::iidUnknown && iid != com::iidClassFactory) {
            *object = nullptr;
            return com::errorNoInterface;
        }
        *object = static_cast<com::IClassFactory *>(this);
        AddRef();
        return com::resultOk;
    }
    quint32 AddRef() override { return ++m_references; }
    quint32 Release() override {
        const quint32 left = --m_references;
        if (left == 0)
            delete this;
        return left;
    }

    com::HResult CreateInstance(com::IUnknown *outer, const QUuid &iid, void **object) override {
        if (!object)
            return com::errorPointer;
        *object = nullptr;
        if (outer)
            return com::errorNoAggregation;
        // The control's face is a widget: without a widget application there is none.
        if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
            return com::errorFail;
        // Created with one reference; the query adds the caller's, the release
        // drops ours again (and the object with it when the query failed).
        auto *control = new Hyperlink;
        const com::HResult result = control->QueryInterface(iid, object);
        control->Release();
        return result;
    }
    com::HResult LockServer(bool lock) override {
        hyperlinkModule::lock(lock);
        return com::resultOk;
    }

private:
    ~HyperlinkFactory() { hyperlinkModule::objectDestroyed(); }

    std::atomic<quint32> m_references{1};
};

// This library's own file, wherever the host loaded it from.
QString libraryPath() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<const void *>(&libraryPath), &info) || !info.dli_fname)
        return {};
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absoluteFilePath();
}

} // namespace

namespace hyperlinkModule {

void objectCreated() {
    ++liveObjects;
}
void objectDestroyed() {
    --liveObjects;
}

void lock(bool locked) {
    // An unlock without a lock must not make the count lie.
    if (locked)
        ++serverLocks;
    else if (serverLocks > 0)
        --serverLocks;
}

bool canUnload() {
    return liveObjects == 0 && serverLocks == 0;
}

} // namespace hyperlinkModule

extern "C" {

Q_DECL_EXPORT com::HResult DllRegisterServer() {
    const QString path = libraryPath();
    if (path.isEmpty())
        return com::errorRegisterClass;
    com::ClassRegistration registration;
    registration.progId = hyperlink::progId;
    registration.clsid = hyperlink::classId;
    registration.className = QString::fromLatin1(hyperlink::className);
    registration.libraryPath = path;
    registration.typeLibraryId = hyperlink::typeLibraryId;
    registration.typeLibraryName = QString::fromLatin1(hyperlink::typeLibraryName);
    registration.typeLibraryHelp = QString::fromLatin1(hyperlink::typeLibraryHelp);
    return com::registerClass(registration) ? com::resultOk : com::errorRegisterClass;
}

Q_DECL_EXPORT com::HResult DllUnregisterServer() {
    return com::unregisterClass(hyperlink::progId, hyperlink::classId, hyperlink::typeLibraryId)
               ? com::resultOk
               : com::errorRegisterClass;
}

Q_DECL_EXPORT com::HResult DllGetClassObject(const QUuid &clsid, const QUuid &iid, void **object) {
    if (!object)
        return com::errorPointer;
    *object = nullptr;
    if (clsid != hyperlink::classId)
        return com::errorClassNotAvailable;
    auto *factory = new HyperlinkFactory;
    const com::HResult result = factory->QueryInterface(iid, object);
    factory->Release();
    return result;
}

Q_DECL_EXPORT com::HResult DllCanUnloadNow() {
    return hyperlinkModule::canUnload() ? com::resultOk : com::resultFalse;
}
}
