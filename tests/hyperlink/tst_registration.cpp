// Registering, creating and unloading the link control through the library's own
// entry points and the component registry.

#include "hyperlinkinterface.h"

#include <QFile>
#include <QLibrary>
#include <QLibraryInfo>
#include <QTemporaryDir>
#include <QTest>

class TestRegistration : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QLibrary m_library{HYPERLINK_LIBRARY};
    com::RegisterServerFunction m_register = nullptr;
    com::RegisterServerFunction m_unregister = nullptr;
    com::GetClassObjectFunction m_getClassObject = nullptr;
    com::CanUnloadNowFunction m_canUnloadNow = nullptr;

    com::ComPtr<com::IClassFactory> factory() {
        void *object = nullptr;
        if (!com::succeeded(m_getClassObject(hyperlink::classId, com::iidClassFactory, &object)))
            return {};
        return com::ComPtr<com::IClassFactory>::adopt(static_cast<com::IClassFactory *>(object));
    }

    static void registerAt(const QString &path) {
        QVERIFY(com::registerClass({hyperlink::progId, hyperlink::classId, "Hyperlink", path,
                                    QUuid(), QString(), QString()}));
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        qputenv("MARLOX_COMPONENT_REGISTRY", m_dir.filePath("components.ini").toLocal8Bit());
        QVERIFY2(m_library.load(), qPrintable(m_library.errorString()));
        m_register =
            reinterpret_cast<com::RegisterServerFunction>(m_library.resolve("DllRegisterServer"));
        m_unregister =
            reinterpret_cast<com::RegisterServerFunction>(m_library.resolve("DllUnregisterServer"));
        m_getClassObject =
            reinterpret_cast<com::GetClassObjectFunction>(m_library.resolve("DllGetClassObject"));
        m_canUnloadNow =
            reinterpret_cast<com::CanUnloadNowFunction>(m_library.resolve("DllCanUnloadNow"));
        QVERIFY(m_register && m_unregister && m_getClassObject && m_canUnloadNow);
    }

    void cleanup() { QFile::remove(m_dir.filePath("components.ini")); }

    void lifecycle() {
        auto before = hyperlink::create();
        QVERIFY(!before.object);
        QCOMPARE(before.error,
                 QString("Die Komponente \"proHyp.Hyperlink\" ist nicht registriert."));

        QCOMPARE(m_register(), com::resultOk);
        QCOMPARE(com::libraryOfClass(hyperlink::classId),
                 QFileInfo(m_library.fileName()).absoluteFilePath());
        QCOMPARE(m_canUnloadNow(), com::resultOk);

        auto created = hyperlink::create();
        QVERIFY2(created.object, qPrintable(created.error));
        QVERIFY(created.error.isEmpty());
        QCOMPARE(m_canUnloadNow(), com::resultFalse);

        RichTextBox box;
        box.setText("x http://a.b");
        created.object->URLFormat(box);
        box.setSelStart(5);
        box.setSelLength(3);
        QCOMPARE(box.selunderline(), std::optional<bool>(true));

        // A second reference keeps it alive.
        com::ComPtr<IHyperlink> copy = created.object;
        created.object.reset();
        QCOMPARE(m_canUnloadNow(), com::resultFalse);
        QVERIFY(copy->face());
        copy.reset();
        QCOMPARE(m_canUnloadNow(), com::resultOk);

        QCOMPARE(m_unregister(), com::resultOk);
        auto after = hyperlink::create();
        QVERIFY(!after.object);
        QVERIFY(after.error.contains("nicht registriert"));
    }

    void serverLocksAndFactories() {
        QCOMPARE(m_register(), com::resultOk);
        {
            com::ComPtr<com::IClassFactory> held = factory();
            QVERIFY(held);
            QCOMPARE(m_canUnloadNow(), com::resultFalse);
            QCOMPARE(held->LockServer(true), com::resultOk);
        }
        QCOMPARE(m_canUnloadNow(), com::resultFalse);
        QCOMPARE(factory()->LockServer(false), com::resultOk);
        QCOMPARE(m_canUnloadNow(), com::resultOk);
        // An unlock too many does not make the count lie later on.
        factory()->LockServer(false);
        factory()->LockServer(true);
        QCOMPARE(m_canUnloadNow(), com::resultFalse);
        factory()->LockServer(false);
        QCOMPARE(m_canUnloadNow(), com::resultOk);

        void *object = nullptr;
        QCOMPARE(m_getClassObject(hyperlink::interfaceId, com::iidClassFactory, &object),
                 com::errorClassNotAvailable);
        QCOMPARE(object, nullptr);
        QCOMPARE(factory()->CreateInstance(nullptr, hyperlink::eventsInterfaceId, &object),
                 com::errorNoInterface);
        QCOMPARE(object, nullptr);
        QCOMPARE(m_canUnloadNow(), com::resultOk);

        auto wrongInterface =
            com::createObject<IHyperlink>(hyperlink::progId, hyperlink::eventsInterfaceId);
        QVERIFY(!wrongInterface.object);
        QVERIFY(wrongInterface.error.contains("0x80004002"));
    }

    void brokenRegistrations_data() {
        QTest::addColumn<QString>("library");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing file") << "/nonexistent/libHyperlink.so"
                                      << "Die Bibliothek \"/nonexistent/libHyperlink.so\" der "
                                         "Komponente \"proHyp.Hyperlink\" fehlt.";
        QTest::newRow("not a library") << "NOTALIB"
                                       << "lässt sich nicht laden";
        QTest::newRow("no entry point")
            << QLibraryInfo::path(QLibraryInfo::LibrariesPath) + "/libQt6Core.so.6"
            << "fehlt der Einsprungpunkt DllGetClassObject";
    }
    void brokenRegistrations() {
        QFETCH(QString, library);
        QFETCH(QString, error);
        if (library == "NOTALIB") {
            library = m_dir.filePath("notalib.so");
            QFile file(library);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("garbage, not a shared library\n");
        }
        registerAt(library);
        auto created = hyperlink::create();
        QVERIFY(!created.object);
        QVERIFY2(created.error.contains(error), qPrintable(created.error));
    }

    void registerIfNeeded() {
        // Nothing registered: the library registers itself.
        QCOMPARE(com::registerIfNeeded(hyperlink::progId, HYPERLINK_LIBRARY), QString());
        const QString own = com::libraryOfClass(hyperlink::classId);
        QVERIFY(QFileInfo(own).isFile());
        // A registration whose file is gone is renewed.
        registerAt("/nonexistent/libHyperlink.so");
        QCOMPARE(com::registerIfNeeded(hyperlink::progId, HYPERLINK_LIBRARY), QString());
        QCOMPARE(com::libraryOfClass(hyperlink::classId), own);
        // One that works is left alone.
        const QString elsewhere = m_dir.filePath("elsewhere.so");
        QVERIFY(QFile::copy(own, elsewhere));
        registerAt(elsewhere);
        QCOMPARE(com::registerIfNeeded(hyperlink::progId, HYPERLINK_LIBRARY), QString());
        QCOMPARE(com::libraryOfClass(hyperlink::classId), elsewhere);

        QFile::remove(m_dir.filePath("components.ini"));
        QVERIFY(com::registerIfNeeded(hyperlink::progId, m_dir.filePath("missing"))
                    .contains("lässt sich nicht laden"));
    }

    void unwritableRegistry() {
        const QByteArray saved = qgetenv("MARLOX_COMPONENT_REGISTRY");
        qputenv("MARLOX_COMPONENT_REGISTRY", "/proc/marlox/components.ini");
        const com::HResult result = m_register();
        qputenv("MARLOX_COMPONENT_REGISTRY", saved);
        QVERIFY(!com::succeeded(result));
    }
};

QTEST_MAIN(TestRegistration)
#include "tst_registration.moc"
