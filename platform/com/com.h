#pragma once

// A small in-process component model: reference-counted objects behind abstract
// interfaces, class factories, a per-user registry that maps a programmatic
// identifier to the library serving it, and the host side that loads that library
// at run time and creates objects from it.

#include <QString>
#include <QUuid>
#include <QtGlobal>

#include <utility>

namespace com {

// Results in the classic 32-bit layout: 0 success, 1 success with "no",
// negative values are errors.
using HResult = qint32;
constexpr HResult resultOk = 0;
constexpr HResult resultFalse = 1;
constexpr HResult errorNoInterface = qint32(0x80004002);
constexpr HResult errorPointer = qint32(0x80004003);
constexpr HResult errorFail = qint32(0x80004005);
constexpr HResult errorNoAggregation = qint32(0x80040110);
constexpr HResult errorClassNotAvailable = qint32(0x80040111);
constexpr HResult errorRegisterClass = qint32(0x80040201);

constexpr bool succeeded(HResult result) {
    return result >= 0;
}

class IUnknown {
public:
    virtual HResult QueryInterface(const QUuid &iid, void **object) = 0;
    virtual quint32 AddRef() = 0;
    virtual quint32 Release() = 0;

protected:
    // Objects go away through Release only.
    ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
public:
    virtual HResult CreateInstance(IUnknown *outer, const QUuid &iid, void **object) = 0;
    virtual HResult LockServer(bool lock) = 0;

protected:
    ~IClassFactory() = default;
};

inline const QUuid iidUnknown{"{00000000-0000-0000-c000-000000000046}"};
inline const QUuid iidClassFactory{"{00000001-0000-0000-c000-000000000046}"};

// Holds one reference to an interface and releases it when it goes.
template <class T> class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr &other) : m_object(other.m_object) {
        if (m_object)
            m_object->AddRef();
    }
    ComPtr(ComPtr &&other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    ComPtr &operator=(ComPtr other) noexcept {
        std::swap(m_object, other.m_object);
        return *this;
    }
    ~ComPtr() { reset(); }

    // Takes over a reference the caller already holds.
    static ComPtr adopt(T *object) {
        ComPtr result;
        result.m_object = object;
        return result;
    }

    void reset() {
        if (T *object = std::exchange(m_object, nullptr))
            object->Release();
    }
    T *get() const { return m_object; }
    T *operator->() const { return m_object; }
    T &operator*() const { return *m_object; }
    explicit operator bool() const { return m_object != nullptr; }

private:
    T *m_object = nullptr;
};

// Entry points every component library exports with C linkage.
using RegisterServerFunction = HResult (*)();
using GetClassObjectFunction = HResult (*)(const QUuid &clsid, const QUuid &iid, void **object);
using CanUnloadNowFunction = HResult (*)();

// The per-user component registry. Its file is $MARLOX_COMPONENT_REGISTRY when set
// (tests point it at a scratch file), else components.ini in the user's marlox
// configuration folder. The variable is read on every call, so the host and the
// libraries it loads always agree on the file.
QString registryFilePath();

struct ClassRegistration {
    QString progId;
    QUuid clsid;
    QString className;
    QString libraryPath;
    QUuid typeLibraryId;
    QString typeLibraryName;
    QString typeLibraryHelp;
};

// Both return false when the registry file cannot be written.
bool registerClass(const ClassRegistration &registration);
bool unregisterClass(const QString &progId, const QUuid &clsid, const QUuid &typeLibraryId);

// The class registered under progId, or a null id.
QUuid classOfProgId(const QString &progId);
// The library registered for clsid, or an empty string.
QString libraryOfClass(const QUuid &clsid);

struct Creation {
    void *object = nullptr; // carries one reference
    QString error;          // German text for the user when object is null
};

// Finds progId in the registry, loads its library and creates an object there,
// asking for the interface iid. The library stays loaded for the life of the
// process: objects and widgets it made may still be around.
Creation createInstance(const QString &progId, const QUuid &iid);

template <class T> struct Instance {
    ComPtr<T> object;
    QString error;
};

template <class T> Instance<T> createObject(const QString &progId, const QUuid &iid) {
    Creation creation = createInstance(progId, iid);
    return {ComPtr<T>::adopt(static_cast<T *>(creation.object)), creation.error};
}

// Registers the library at libraryPath (a full file name, or one without the
// platform's prefix and suffix) through its own DllRegisterServer, unless progId is
// registered already and its library file exists. Returns an empty string on
// success, else the reason in German.
QString registerIfNeeded(const QString &progId, const QString &libraryPath);

// The screen's twips per pixel as whole numbers (15 at 96 dpi), never below 1.
int twipsPerPixelX();
int twipsPerPixelY();

} // namespace com
