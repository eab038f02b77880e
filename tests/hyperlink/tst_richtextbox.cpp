#include "com.h"
#include "richtextbox.h"

#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

class TestRichTextBox : public QObject {
    Q_OBJECT

private:
    // Middle of the character at index, in pixels of the client area.
    static QPoint centreOf(const RichTextBox &box, int index) {
        const QPoint left = box.posFromChar(index);
        const QPoint right = box.posFromChar(index + 1);
        const int x = right.y() == left.y() ? (left.x() + right.x()) / 2 : left.x() + 2;
        return {x, left.y() + box.fontMetrics().height() / 2};
    }

    static void sendMouse(QWidget *target, QEvent::Type type, QPoint pos, Qt::MouseButton button,
                          Qt::MouseButtons buttons) {
        QMouseEvent event(type, QPointF(pos), target->mapToGlobal(QPointF(pos)), button, buttons,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(target, &event);
    }

private slots:
    void textMapsLineBreaksToCrLf_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("expected");
        QTest::newRow("crlf") << "ab\r\ncd"
                              << "ab\r\ncd";
        QTest::newRow("lone lf") << "ab\ncd"
                                 << "ab\r\ncd";
        QTest::newRow("lone cr") << "ab\rcd"
                                 << "ab\r\ncd";
        QTest::newRow("blank lines") << "\r\n\r\nx\r\n"
                                     << "\r\n\r\nx\r\n";
        QTest::newRow("paragraph separator") << QStringLiteral("a\u2029b") << "a\r\nb";
        QTest::newRow("no-break space kept")
            << QStringLiteral("a\u00A0b") << QStringLiteral("a\u00A0b");
        QTest::newRow("empty") << ""
                               << "";
    }
    void textMapsLineBreaksToCrLf() {
        QFETCH(QString, given);
        QFETCH(QString, expected);
        RichTextBox box;
        box.setText(given);
        QCOMPARE(box.Text(), expected);
        QCOMPARE(box.textLength(), expected.size());
    }

    void settingTextDropsFormatting() {
        RichTextBox box;
        box.setText("http://a.b\r\nnext");
        box.setSelStart(2);
        box.setSelLength(3);
        box.setSelbold(true);
        box.setSelunderline(true);
        box.setText("http://a.b\r\nnext");
        box.setSelStart(0);
        box.setSelLength(box.textLength());
        QCOMPARE(box.selbold(), std::optional<bool>(false));
        QCOMPARE(box.selunderline(), std::optional<bool>(false));
    }

    void selectionCountsCrLfAsTwo() {
        RichTextBox box;
        box.setText("ab\r\ncd\r\nef");
        box.setSelStart(4);
        box.setSelLength(2);
        QCOMPARE(box.textCursor().selectedText(), QString("cd"));
        QCOMPARE(box.SelStart(), 4);
        QCOMPARE(box.SelLength(), 2);

        box.setSelStart(2);
        box.setSelLength(4);
        QCOMPARE(box.SelLength(), 4);
        QCOMPARE(box.textCursor().selectedText(), QStringLiteral("\u2029cd"));

        // The LF of a break stands for the start of the next line.
        box.setSelStart(3);
        QCOMPARE(box.SelStart(), 4);

        box.setSelStart(100);
        QCOMPARE(box.SelStart(), 10);
        box.setSelStart(8);
        box.setSelLength(1000);
        QCOMPARE(box.SelLength(), 2);
        box.setSelLength(-5);
        QCOMPARE(box.SelLength(), 0);
        box.setSelStart(-3);
        QCOMPARE(box.SelStart(), 0);
    }

    void find_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("end");
        QTest::addColumn<int>("options");
        QTest::addColumn<int>("expected");
        const QString lines = "ab\r\ncd\r\nef";
        QTest::newRow("after two breaks") << lines << "ef" << 0 << -1 << 8 << 8;
        QTest::newRow("ignores case") << lines << "EF" << 0 << -1 << 8 << 8;
        QTest::newRow("match case") << lines << "EF" << 0 << -1 << 8 + 4 << -1;
        QTest::newRow("from start") << lines << "cd" << 4 << -1 << 8 << 4;
        QTest::newRow("past start") << lines << "cd" << 5 << -1 << 8 << -1;
        QTest::newRow("end cuts match") << lines << "ef" << 0 << 9 << 8 << -1;
        QTest::newRow("end holds match") << lines << "ef" << 0 << 10 << 8 << 8;
        QTest::newRow("across a break") << lines << "B\r\nc" << 0 << -1 << 8 << 1;
        QTest::newRow("across a break, end cuts") << lines << "b\r\nc" << 0 << 4 << 8 << -1;
        QTest::newRow("inside a word") << "profile: file:"
                                       << "file:" << 0 << -1 << 8 << 3;
        QTest::newRow("whole word") << "profile file"
                                    << "file" << 0 << -1 << 8 + 2 << 8;
        QTest::newRow("start past end") << lines << "ef" << 50 << -1 << 8 << -1;
        QTest::newRow("empty needle") << lines << "" << 0 << -1 << 8 << -1;
    }
    void find() {
        QFETCH(QString, text);
        QFETCH(QString, what);
        QFETCH(int, start);
        QFETCH(int, end);
        QFETCH(int, options);
        QFETCH(int, expected);
        RichTextBox box;
        box.setText(text);
        QCOMPARE(box.Find(what, start, end, options), expected);
        QCOMPARE(box.SelLength(), 0);
    }

    void findSelectsUnlessNoHighlight() {
        RichTextBox box;
        box.setText("ab\r\ncd");
        QCOMPARE(box.Find("CD"), 4);
        QCOMPARE(box.SelStart(), 4);
        QCOMPARE(box.SelLength(), 2);
    }

    void characterStyles() {
        RichTextBox box;
        box.setText("one two");
        box.setSelStart(4);
        box.setSelLength(3);
        box.setSelColor(0x123456);
        box.setSelitalic(true);
        QCOMPARE(box.SelColor(), std::optional<quint32>(0x123456));
        QCOMPARE(box.textCursor().charFormat().foreground().color(), QColor(0x56, 0x34, 0x12));
        QCOMPARE(box.selitalic(), std::optional<bool>(true));
        // Mixed selections read back as neither.
        box.setSelStart(2);
        box.setSelLength(4);
        QCOMPARE(box.selitalic(), std::nullopt);
        QCOMPARE(box.SelColor(), std::nullopt);
        box.setSelStart(0);
        box.setSelLength(3);
        QCOMPARE(box.selitalic(), std::optional<bool>(false));
        QCOMPARE(box.selbold(), std::optional<bool>(false));
    }

    void visibleReadsBackWhatWasSet() {
        RichTextBox box;
        QVERIFY(box.Visible());
        box.setVisible(false);
        QVERIFY(!box.Visible());
        box.show();
        QVERIFY(box.Visible());
    }

    void charFromPosFindsEveryCharacter() {
        RichTextBox box;
        box.resize(600, 300);
        box.setText("first line\r\n\r\nthird, with (parens)\r\nlast");
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        const QString text = box.Text();
        for (int i = 0; i < text.size(); ++i) {
            if (text.at(i) == '\r' || text.at(i) == '\n')
                continue;
            QCOMPARE(box.charFromPos(centreOf(box, i)), i);
        }
        // Right of a line's end: the line's CR.
        const QPoint lineEnd = box.posFromChar(10);
        QCOMPARE(box.charFromPos(QPoint(580, lineEnd.y() + 2)), 10);
        // Below the text: on its last line.
        QVERIFY(box.charFromPos(QPoint(1, 290)) >= text.lastIndexOf('\n') + 1);
        box.setText("");
        QCOMPARE(box.charFromPos(QPoint(50, 50)), 0);
    }

    void mouseMoveReportsTwips() {
        RichTextBox box;
        box.resize(300, 200);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QSignalSpy moves(&box, &RichTextBox::MouseMove);
        sendMouse(box.viewport(), QEvent::MouseMove, QPoint(20, 30), Qt::NoButton, Qt::NoButton);
        QCOMPARE(moves.size(), 1);
        QCOMPARE(moves.at(0).at(0).toInt(), 0);
        QCOMPARE(moves.at(0).at(2).toFloat(), float(20 * com::twipsPerPixelX()));
        QCOMPARE(moves.at(0).at(3).toFloat(), float(30 * com::twipsPerPixelY()));
    }

    void clickIsALeftPressAndReleaseInside() {
        RichTextBox box;
        box.resize(300, 200);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QSignalSpy clicks(&box, &RichTextBox::Click);
        QWidget *area = box.viewport();
        sendMouse(area, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton, Qt::LeftButton);
        sendMouse(area, QEvent::MouseButtonRelease, {12, 10}, Qt::LeftButton, Qt::NoButton);
        QCOMPARE(clicks.size(), 1);
        sendMouse(area, QEvent::MouseButtonPress, {10, 10}, Qt::RightButton, Qt::RightButton);
        sendMouse(area, QEvent::MouseButtonRelease, {10, 10}, Qt::RightButton, Qt::NoButton);
        sendMouse(area, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton, Qt::LeftButton);
        sendMouse(area, QEvent::MouseButtonRelease, {900, 10}, Qt::LeftButton, Qt::NoButton);
        QCOMPARE(clicks.size(), 1);
    }
};

QTEST_MAIN(TestRichTextBox)
#include "tst_richtextbox.moc"
