// The link control as a host gets it: through the component registry from the
// built library.

#include "hyperlinkinterface.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {

struct EventCounter final : IHyperlinkEvents {
    int count = 0;
    void URLChanged() override { ++count; }
};

struct SiteRecorder final : IControlSite {
    QList<qint32> changed;
    void OnPropertyChanged(qint32 dispId) override { changed << dispId; }
};

} // namespace

// Stands in for the desktop's handler, so that no test opens a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

class TestHyperlink : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    UrlCatcher m_catcher;
    std::unique_ptr<QWidget> m_form;
    RichTextBox *m_box = nullptr;
    std::unique_ptr<FormPointer> m_pointer;
    com::ComPtr<IHyperlink> m_link;
    EventCounter m_events;

    // Styles of every character: 'u' underlined link style, '.' plain, '|' line break.
    QString underlined() {
        const QString text = m_box->Text();
        QString marks;
        for (int i = 0; i < text.size(); ++i) {
            if (text.at(i) == '\r' || text.at(i) == '\n') {
                marks += '|';
                continue;
            }
            m_box->setSelStart(i);
            m_box->setSelLength(1);
            marks += m_box->selunderline().value_or(false) ? 'u' : '.';
        }
        return marks;
    }

    // Mouse over the character at index, as the box reports it: twips.
    void hover(int index) {
        const QPoint left = m_box->posFromChar(index);
        const QPoint right = m_box->posFromChar(index + 1);
        const int x = right.y() == left.y() ? (left.x() + right.x()) / 2 : left.x() + 2;
        const int y = left.y() + m_box->fontMetrics().height() / 2;
        QCOMPARE(m_box->charFromPos({x, y}), index);
        m_link->RichWordOver(*m_pointer, *m_box, float(x * com::twipsPerPixelX()),
                             float(y * com::twipsPerPixelY()));
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        qputenv("MARLOX_COMPONENT_REGISTRY", m_dir.filePath("components.ini").toLocal8Bit());
        QCOMPARE(com::registerIfNeeded(hyperlink::progId, HYPERLINK_LIBRARY), QString());
        for (const char *scheme : {"http", "https", "file", "mailto"})
            QDesktopServices::setUrlHandler(scheme, &m_catcher, "open");
    }

    void cleanupTestCase() {
        for (const char *scheme : {"http", "https", "file", "mailto"})
            QDesktopServices::unsetUrlHandler(scheme);
    }

    void init() {
        auto created = hyperlink::create();
        QVERIFY2(created.object, qPrintable(created.error));
        m_link = created.object;
        m_link->Advise(&m_events);
        m_events.count = 0;
        m_form = std::make_unique<QWidget>();
        m_form->resize(700, 300);
        m_box = new RichTextBox(m_form.get());
        m_box->setGeometry(0, 0, 700, 300);
        m_link->face()->setParent(m_form.get());
        m_pointer = std::make_unique<FormPointer>(m_form.get());
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        m_catcher.opened.clear();
    }

    void cleanup() {
        m_link->Unadvise(&m_events);
        m_pointer.reset();
        m_form.reset();
        m_link.reset();
    }

    void formatsLinks_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("comma kept") << "see http://a.b/c, then"
                                    << "....uuuuuuuuuuuuu.....";
        QTest::newRow("parentheses left out") << "(http://a.b) x"
                                              << ".uuuuuuuuuu...";
        QTest::newRow("prefix inside a word") << "my profile:xyz end"
                                              << "......uuuuuuuu....";
        QTest::newRow("www with http further on") << "www.x.de/?u=http://y.z q"
                                                  << "uuuuuuuuuuuuuuuuuuuuuu..";
        QTest::newRow("crlf ends a link") << "http://a.b\r\nnext www.c\r\n"
                                          << "uuuuuuuuuu||.....uuuuu||";
        QTest::newRow("any case") << "HTTP://UP.CASE and MailTo:x@y"
                                  << "uuuuuuuuuuuuuu.....uuuuuuuuuu";
        QTest::newRow("tab semicolon nbsp")
            << QStringLiteral("ftp:a\tb;c\u00A0d<e") << "uuuuuuuuuuu..";
        QTest::newRow("quotes") << "'news:x' \"telnet:y\" [gopher:z] about:q"
                                << ".uuuuuu...uuuuuuuu...uuuuuuuu..uuuuuuu";
        QTest::newRow("no links") << "nothing here: www"
                                  << ".................";
    }
    void formatsLinks() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        m_box->setText(text);
        m_box->setSelStart(3);
        m_link->URLFormat(*m_box);
        QCOMPARE(m_box->SelStart(), 0);
        QCOMPARE(m_box->SelLength(), 0);
        QVERIFY(m_box->Visible());
        QCOMPARE(underlined(), expected);
    }

    void formatsWithTheConfiguredStyle() {
        m_link->setURLBold(true);
        m_link->setURLItalic(true);
        m_link->setURLUnderline(false);
        m_link->setURLColour(0x00FF00);
        m_box->setText("at http://x.y now");
        m_link->URLFormat(*m_box);
        m_box->setSelStart(3);
        m_box->setSelLength(10);
        QCOMPARE(m_box->selbold(), std::optional<bool>(true));
        QCOMPARE(m_box->selitalic(), std::optional<bool>(true));
        QCOMPARE(m_box->selunderline(), std::optional<bool>(false));
        QCOMPARE(m_box->SelColor(), std::optional<quint32>(0x00FF00));
        m_box->setSelStart(13);
        m_box->setSelLength(4);
        QCOMPARE(m_box->selbold(), std::optional<bool>(false));
        QVERIFY(m_box->SelColor() != std::optional<quint32>(0x00FF00));
    }

    void emptyTextIsLeftAlone() {
        m_box->setText("");
        m_box->setVisible(false);
        m_link->URLFormat(*m_box);
        QVERIFY(!m_box->Visible());
        QVERIFY(m_box->isHidden());
    }

    void hover_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("pointer");
        QTest::addColumn<int>("events");
        // Before the move the pointer is 7, a value the control never sets.
        QTest::newRow("link with comma")
            << "go http://a.b/c, x" << 10 << "http://a.b/c," << 99 << 2;
        QTest::newRow("second character of link")
            << "go http://a.b" << 4 << "http://a.b" << 99 << 2;
        QTest::newRow("first character after blank") << "go http://a.b" << 3 << "" << 0 << 1;
        QTest::newRow("index 0") << "http://a.b" << 0 << "" << 7 << 0;
        QTest::newRow("whole text is the link") << "http://a.b" << 5 << "http://a.b" << 99 << 2;
        QTest::newRow("prefix inside a word")
            << "my profile:xyz end" << 12 << "file:xyz" << 99 << 2;
        QTest::newRow("http found before www")
            << "www.x.de/?u=http://y.z q" << 6 << "http://y.z" << 99 << 2;
        QTest::newRow("pointer order, not formatting order")
            << "a file:x/http://y" << 5 << "http://y" << 99 << 2;
        QTest::newRow("www gains http") << "see www.x.de ok" << 8 << "http://www.x.de" << 99 << 2;
        QTest::newRow("in parentheses") << "(http://a.b) x" << 9 << "http://a.b" << 99 << 2;
        QTest::newRow("plain word") << "plain words here" << 8 << "" << 0 << 1;
        QTest::newRow("line after a link") << "http://a.b\r\nnext" << 14 << "" << 0 << 1;
        QTest::newRow("link before crlf") << "http://a.b\r\nnext" << 9 << "http://a.b" << 99 << 2;
        QTest::newRow("case kept") << "x HTTP://X.DE" << 6 << "HTTP://X.DE" << 99 << 2;
    }
    void hover() {
        QFETCH(QString, text);
        QFETCH(int, index);
        QFETCH(QString, url);
        QFETCH(int, pointer);
        QFETCH(int, events);
        m_box->setText(text);
        m_pointer->setMousePointer(7);
        hover(index);
        QCOMPARE(m_link->URL(), url);
        QCOMPARE(m_pointer->MousePointer(), pointer);
        QCOMPARE(m_events.count, events);
        if (pointer == 99)
            QCOMPARE(m_pointer->MouseIcon(), m_link->handCursor());
    }

    void repeatedMovesRaiseURLChanged() {
        m_box->setText("see www.x.de and http://y.z ok");
        // Formatting leaves the layout the pointer test works on up to date.
        m_link->URLFormat(*m_box);
        hover(8);
        hover(9);
        QCOMPARE(m_link->URL(), QString("http://www.x.de"));
        QCOMPARE(m_events.count, 4);
        m_events.count = 0;
        hover(20);
        QCOMPARE(m_events.count, 2);
        hover(21);
        hover(22);
        QCOMPARE(m_link->URL(), QString("http://y.z"));
        QCOMPARE(m_events.count, 4);
    }

    void handShowsOverTheBox() {
        m_box->setText("go http://a.b x");
        const Qt::CursorShape own = m_box->viewport()->cursor().shape();
        hover(8);
        QCOMPARE(m_box->viewport()->cursor().shape(), Qt::BitmapCursor);
        QCOMPARE(m_form->cursor().shape(), Qt::BitmapCursor);
        QCOMPARE(m_box->viewport()->cursor().pixmap().size(), QSize(32, 32));
        hover(1);
        QCOMPARE(m_box->viewport()->cursor().shape(), own);
        QCOMPARE(m_form->cursor().shape(), Qt::ArrowCursor);
    }

    void launch() {
        QCOMPARE(m_link->URLLaunch(), std::nullopt);
        m_box->setText("go www.x.de/a?b=1 mailto:me@x.de x");
        hover(8);
        const std::optional<qint32> result = m_link->URLLaunch();
        QVERIFY(result && *result > 32);
        QCOMPARE(m_catcher.opened, QList<QUrl>{QUrl("http://www.x.de/a?b=1")});
        hover(22);
        QCOMPARE(m_link->URLLaunch(), std::optional<qint32>(42));
        QCOMPARE(m_catcher.opened.last(), QUrl("mailto:me@x.de"));
        // Off the links again.
        hover(33);
        QCOMPARE(m_link->URLLaunch(), std::nullopt);
        QCOMPARE(m_catcher.opened.size(), 2);
        // Formatting keeps the link.
        hover(8);
        m_link->URLFormat(*m_box);
        QCOMPARE(m_link->URL(), QString("http://www.x.de/a?b=1"));
    }

    void badPointerPositionsChangeNothing() {
        m_box->setText("http://a.b");
        m_pointer->setMousePointer(7);
        const float nan = std::numeric_limits<float>::quiet_NaN();
        m_link->RichWordOver(*m_pointer, *m_box, nan, 10);
        m_link->RichWordOver(*m_pointer, *m_box, std::numeric_limits<float>::infinity(), 10);
        m_link->RichWordOver(*m_pointer, *m_box, -1e30f, -1e30f);
        QCOMPARE(m_pointer->MousePointer(), 7);
        m_link->RichWordOver(*m_pointer, *m_box, 1e30f, 1e30f);
        QCOMPARE(m_link->URL(), QString("http://a.b"));
    }

    void propertiesPersistOnlyWhatDiffers() {
        QCOMPARE(m_link->URLBold(), false);
        QCOMPARE(m_link->URLItalic(), false);
        QCOMPARE(m_link->URLUnderline(), true);
        QCOMPARE(m_link->URLColour(), 0xFF0000u);

        QSettings settings(m_dir.filePath("form.ini"), QSettings::IniFormat);
        SettingsPropertyBag bag(settings, "Hyperlink1");
        const auto storedKeys = [&settings] {
            settings.beginGroup("Hyperlink1");
            const QStringList keys = settings.childKeys();
            settings.endGroup();
            return keys;
        };
        m_link->WriteProperties(bag);
        QCOMPARE(storedKeys(), QStringList());

        SiteRecorder site;
        m_link->SetClientSite(&site);
        m_link->setURLBold(true);
        m_link->setURLItalic(false);
        m_link->setURLUnderline(false);
        m_link->setURLColour(0x0000FF);
        m_link->SetClientSite(nullptr);
        QCOMPARE(site.changed,
                 (QList<qint32>{hyperlink::dispid::URLBold, hyperlink::dispid::URLItalic,
                                hyperlink::dispid::URLUnderline, hyperlink::dispid::URLColour}));
        m_link->WriteProperties(bag);
        QCOMPARE(storedKeys(), (QStringList{"URLBold", "URLColour", "URLUnderline"}));
        QCOMPARE(settings.value("Hyperlink1/URLUnderline").toInt(), 0);

        auto other = hyperlink::create();
        QVERIFY(other.object);
        other.object->ReadProperties(bag);
        QCOMPARE(other.object->URLBold(), true);
        QCOMPARE(other.object->URLUnderline(), false);
        QCOMPARE(other.object->URLColour(), 0x0000FFu);

        // Back to the defaults: nothing stays behind to come back on the next load.
        m_link->InitProperties();
        m_link->WriteProperties(bag);
        QCOMPARE(storedKeys(), QStringList());
    }

    void readsDamagedProperties_data() {
        QTest::addColumn<QString>("underline");
        QTest::addColumn<QString>("colour");
        QTest::addColumn<bool>("expectedUnderline");
        QTest::addColumn<quint32>("expectedColour");
        QTest::newRow("any non-zero underlines") << "5"
                                                 << "255" << true << 255u;
        QTest::newRow("zero") << "0"
                              << "16711680" << false << 0xFF0000u;
        QTest::newRow("garbage colour") << "-1"
                                        << "blue" << true << 0xFF0000u;
        QTest::newRow("system colour") << "-1"
                                       << "-2147483631" << true << 0x80000011u;
    }
    void readsDamagedProperties() {
        QFETCH(QString, underline);
        QFETCH(QString, colour);
        QFETCH(bool, expectedUnderline);
        QFETCH(quint32, expectedColour);
        QFile file(m_dir.filePath("damaged.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QStringLiteral("[Hyperlink1]\nURLUnderline=%1\nURLColour=%2\n")
                       .arg(underline, colour)
                       .toUtf8());
        file.close();
        QSettings settings(file.fileName(), QSettings::IniFormat);
        const SettingsPropertyBag bag(settings, "Hyperlink1");
        m_link->ReadProperties(bag);
        QCOMPARE(m_link->URLUnderline(), expectedUnderline);
        QCOMPARE(m_link->URLColour(), expectedColour);
    }

    void face() {
        QWidget *face = m_link->face();
        const QFontMetrics metrics(face->font());
        QCOMPARE(metrics.horizontalAdvance("iiii"), metrics.horizontalAdvance("WWWW"));
        const QSize size = face->size();
        face->resize(400, 300);
        QCOMPARE(face->size(), size);
        // The form goes first and takes the face with it; the control lives on.
        m_form.reset();
        QCOMPARE(m_link->face(), nullptr);
        m_form = std::make_unique<QWidget>();
    }
};

QTEST_MAIN(TestHyperlink)
#include "tst_hyperlink.moc"
