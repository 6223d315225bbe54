// Error report folding and HRESULT text; trace writer and trace pane.
#include "mapi/MAPICommandView.h"
#include "mapi/MsgBox.h"
#include "mapi/TraceWriter.h"
#include "mapi32/mapicode.h"

#include <QApplication>
#include <QLabel>
#include <QBuffer>
#include <QClipboard>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <functional>
#include <utility>
#include <memory>

namespace {

// Runs fn on the modal dialog as soon as it is open.
void WhenModal(std::function<void(QWidget*)> fn)
{
    QTimer::singleShot(0, [fn]() {
        QWidget* pModal = QApplication::activeModalWidget();
        if (pModal == nullptr) {
            WhenModal(fn);
            return;
        }
        fn(pModal);
    });
}

// The nth trace line: calls that end their line, one that leaves the next
// line indented, and one line far wider than the pane.
QString TraceLine(int n)
{
    if (n == 37)
        return QStringLiteral("IMAPIFolder->OpenEntry()").repeated(8) + QLatin1Char('\n');
    static const char* const lines[] = {"IMAPIFolder->GetContentsTable()\n", "HrQueryAllRows()\n ",
                                        "IServiceAdmin->ConfigureMsgService()\n", "IMessage->OpenAttach()\n"};
    return QString::fromLatin1(lines[n % 4]);
}

} // namespace

class TestMapiUi : public QObject
{
    Q_OBJECT
private slots:
    void hresultText_data()
    {
        QTest::addColumn<int>("hr");
        QTest::addColumn<QString>("text");
        QTest::newRow("E_FAIL") << int(0x80004005u) << "HRESULT: 80004005";
        QTest::newRow("S_OK") << 0 << "HRESULT: 00000000";
        QTest::newRow("small") << 0x1f << "HRESULT: 0000001f";
        QTest::newRow("network") << int(0x80040115u) << "HRESULT: 80040115";
    }
    void hresultText()
    {
        QFETCH(int, hr);
        QFETCH(QString, text);
        QCOMPARE(FormatHResultLine(hr), text);
    }

    void meaningLines_data()
    {
        QTest::addColumn<int>("hr");
        QTest::addColumn<QString>("text");
        QTest::newRow("wrong password") << int(MAPI_E_LOGON_FAILED)
                                        << "Logon refused: wrong password, or no password given (MAPI_E_LOGON_FAILED)";
        QTest::newRow("no file") << int(MAPI_E_NOT_FOUND) << "No such file, profile or object (MAPI_E_NOT_FOUND)";
        QTest::newRow("not a store") << int(MAPI_E_CORRUPT_DATA)
                                     << "Not a PST or OST file, or damaged (MAPI_E_CORRUPT_DATA)";
        QTest::newRow("no meaning") << int(MAPI_E_TABLE_EMPTY) << "Error (MAPI_E_TABLE_EMPTY)";
        QTest::newRow("no name") << int(0x80041234u) << "Error (0x80041234)";
    }
    void meaningLines()
    {
        QFETCH(int, hr);
        QFETCH(QString, text);
        QCOMPARE(ErrorMeaningLine(hr), text);
    }

    void reportFoldsAndUnfolds()
    {
        bool bChecked = false;
        WhenModal([&](QWidget* pModal) {
            auto* pBox = qobject_cast<CMsgBox*>(pModal);
            QVERIFY(pBox != nullptr);
            QCOMPARE(pBox->windowTitle(), QStringLiteral("Dravik - Error Report"));
            auto* pMessage = pBox->findChild<QLabel*>(QStringLiteral("message"));
            auto* pHr = pBox->findChild<QLabel*>(QStringLiteral("hresult"));
            auto* pDetails = pBox->findChild<QPushButton*>(QStringLiteral("details"));
            auto* pText = pBox->findChild<QPlainTextEdit*>(QStringLiteral("detailsText"));
            QCOMPARE(pMessage->text(), QStringLiteral("MAPI Logon Failure"));
            QCOMPARE(pHr->text(), QStringLiteral("HRESULT: 80004005"));
            // What the error means and its name, below the message and, as
            // no details were given, in the details box.
            const QString strMeaning = QStringLiteral("The call failed (MAPI_E_CALL_FAILED)");
            QCOMPARE(pBox->findChild<QLabel*>(QStringLiteral("meaning"))->text(), strMeaning);
            QCOMPARE(pText->toPlainText(), strMeaning);
            QVERIFY(pText->isReadOnly());
            // Collapsed: the HRESULT line lies below the window's bottom.
            const QSize collapsed = pBox->size();
            QVERIFY(pHr->geometry().top() >= collapsed.height());
            QCOMPARE(pDetails->text(), QStringLiteral("Details >>"));

            pBox->move(37, 41);
            QTest::mouseClick(pDetails, Qt::LeftButton);
            QCOMPARE(pDetails->text(), QStringLiteral("<< Details"));
            QVERIFY(pBox->height() > pHr->geometry().bottom());
            QCOMPARE(pBox->pos(), QPoint(37, 41));

            QTest::mouseClick(pDetails, Qt::LeftButton);
            QCOMPARE(pDetails->text(), QStringLiteral("Details >>"));
            QCOMPARE(pBox->size(), collapsed);
            QCOMPARE(pBox->pos(), QPoint(37, 41));
            bChecked = true;
            QTest::mouseClick(pBox->findChild<QPushButton*>(QStringLiteral("IDOK")), Qt::LeftButton);
        });
        ShowErrorReport("MAPI Logon Failure", nullptr, int(0x80004005u));
        QVERIFY(bChecked);
    }

    void reportShowsDetailsAndClosesOnEscape()
    {
        bool bChecked = false;
        WhenModal([&](QWidget* pModal) {
            auto* pText = pModal->findChild<QPlainTextEdit*>(QStringLiteral("detailsText"));
            QCOMPARE(pText->toPlainText(), QStringLiteral("call to MAPIInitialize() failed."));
            QVERIFY(pModal->parentWidget() == nullptr); // no main window yet
            bChecked = true;
            QTest::keyClick(pModal, Qt::Key_Escape);
        });
        ShowErrorReport("Failure while initializing MAPI subsystem", "call to MAPIInitialize() failed.", 0);
        QVERIFY(bChecked);
    }

    // The pane's text is the writes put end to end, whatever their cuts
    // (a line over two writes, a UTF-8 character over two), saved and
    // copied as shown; each distinct line text is kept once.
    void writerAppendsExactly()
    {
        CMAPICommandView pane;
        CMAPITraceSlot* ppSlot = new CMAPITraceSlot(new CTraceWriter(&pane));
        const QByteArray folder = QStringLiteral("IMAPIFolder->OpenEntry(Boîte)\n").toUtf8();
        const qsizetype nCut = folder.indexOf("\xc3") + 1;
        QByteArray expected;
        for (int i = 0; i < 1000; ++i) {
            for (const char* psz : {"HrQueryAllRows()\n ", "IServiceAdmin->ConfigureMsgService()\n", "IMAPI"}) {
                TraceThroughSlot(ppSlot, psz);
                expected += psz;
            }
            TraceThroughSlot(ppSlot, folder.left(nCut).constData());
            TraceThroughSlot(ppSlot, folder.mid(nCut).constData());
            expected += folder;
        }
        TraceThroughSlot(ppSlot, "MAPILogonEx()");
        expected += "MAPILogonEx()";
        QCOMPARE(pane.toPlainText(), QString::fromUtf8(expected));
        QCOMPARE(pane.Model().LineCount(), 3001);
        QCOMPARE(pane.Model().Line(2), QStringLiteral("IMAPIIMAPIFolder->OpenEntry(Boîte)"));
        QCOMPARE(pane.Model().Line(3000), QStringLiteral("MAPILogonEx()"));
        // Three distinct lines, a thousand times each.
        QCOMPARE(pane.Model().TextCount(), 3);
        QVERIFY(!pane.HasSelection());
        QCOMPARE(pane.Caret().nRow, 3000);

        QBuffer saved;
        QVERIFY(saved.open(QIODevice::WriteOnly));
        QVERIFY(pane.Model().WriteUtf8(saved));
        QCOMPARE(saved.data(), expected);
        pane.selectAll();
        QCOMPARE(pane.SelectedText(), QString::fromUtf8(expected));
        pane.clear();
        QVERIFY(pane.IsEmpty());
        QCOMPARE(pane.Model().LineCount(), 1);
        QCOMPARE(pane.Model().TextCount(), 0);
        delete *ppSlot;
        delete ppSlot;
    }

    // After each turn of the event loop the end is in view, whatever the
    // reader did meanwhile, and the horizontal range takes in the widest line.
    void paneFollowsTheEnd_data()
    {
        QTest::addColumn<QString>("steps");
        // aN: append N lines; t: let the event loop run; top: scroll to the
        // top; sel: select everything.
        QTest::newRow("one turn") << "a300 t";
        QTest::newRow("several turns") << "a7 t a7 t a30 t a1 t";
        QTest::newRow("reader scrolled to the top") << "a60 t top t a60 t";
        QTest::newRow("selection when lines come") << "a20 t sel t a20 t";
        QTest::newRow("wide line off screen") << "a36 t a2 a200 t";
    }
    void paneFollowsTheEnd()
    {
        QFETCH(QString, steps);
        CMAPICommandView pane;
        pane.resize(600, 140);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        int nLine = 0;
        bool bAppended = false;
        int nValue = 0;
        bool bSelected = false;
        for (const QString& step : steps.split(QLatin1Char(' '))) {
            if (step.startsWith(QLatin1Char('a'))) {
                for (int n = step.mid(1).toInt(); n > 0; --n, ++nLine)
                    pane.AppendRaw(TraceLine(nLine));
                bAppended = true;
            } else if (step == QStringLiteral("t")) {
                QApplication::processEvents();
                if (!std::exchange(bAppended, false)) {
                    // Where the reader left it.
                    QCOMPARE(pane.verticalScrollBar()->value(), nValue);
                    QCOMPARE(pane.HasSelection(), bSelected);
                    continue;
                }
                // The last row (the empty one after the last break) on screen.
                QCOMPARE(pane.verticalScrollBar()->value(), pane.verticalScrollBar()->maximum());
                QVERIFY(pane.verticalScrollBar()->maximum() + pane.verticalScrollBar()->pageStep() >=
                        pane.Model().LineCount());
                QCOMPARE(pane.Caret().nRow, pane.Model().LineCount() - 1);
                QVERIFY(!pane.HasSelection());
                QCOMPARE(pane.horizontalScrollBar()->maximum() > 0, nLine > 37);
            } else if (step == QStringLiteral("top")) {
                pane.verticalScrollBar()->setValue(0);
                nValue = 0;
                bSelected = false;
            } else {
                pane.selectAll();
                nValue = pane.verticalScrollBar()->value();
                bSelected = true;
            }
        }
        QCOMPARE(pane.Model().LineCount(), nLine + 1);
    }

    // Text is selected with the mouse and the keyboard as in any read-only
    // text view, and copied as selected; typing changes nothing.
    void selectAndCopy()
    {
        CMAPICommandView pane;
        pane.resize(400, 200);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        pane.AppendRaw(QStringLiteral("MAPILogonEx()\nIMAPISession->OpenMsgStore()\nIMsgStore->OpenEntry()\n"));
        QApplication::processEvents();
        pane.setFocus();
        QTest::keyClick(&pane, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(&pane, Qt::Key_Down);
        QTest::keyClick(&pane, Qt::Key_End, Qt::ShiftModifier);
        QCOMPARE(pane.SelectedText(), QStringLiteral("IMAPISession->OpenMsgStore()"));
        QTest::keyClick(&pane, Qt::Key_Right, Qt::ShiftModifier);
        QTest::keyClick(&pane, Qt::Key_Right, Qt::ShiftModifier);
        QTest::keyClicks(&pane, QStringLiteral("typed"));
        QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("IMAPISession->OpenMsgStore()\nI"));

        // A drag from the start of the first line into the third; a double
        // click on a word.
        const int nHeight = pane.fontMetrics().lineSpacing();
        QWidget* pViewport = pane.viewport();
        const QPoint start(4, 4 + nHeight / 2);
        const QPoint end(4 + pane.fontMetrics().horizontalAdvance(QStringLiteral("IMsg")), 4 + nHeight * 5 / 2);
        QTest::mousePress(pViewport, Qt::LeftButton, {}, start);
        QMouseEvent move(QEvent::MouseMove, end, pViewport->mapToGlobal(end), Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(pViewport, &move);
        QTest::mouseRelease(pViewport, Qt::LeftButton, {}, end);
        QCOMPARE(pane.SelectedText(), QStringLiteral("MAPILogonEx()\nIMAPISession->OpenMsgStore()\nIMsg"));
        QTest::mouseDClick(pViewport, Qt::LeftButton, {}, start);
        QCOMPARE(pane.SelectedText(), QStringLiteral("MAPILogonEx"));
        QCOMPARE(pane.toPlainText(),
                 QStringLiteral("MAPILogonEx()\nIMAPISession->OpenMsgStore()\nIMsgStore->OpenEntry()\n"));
    }

    void writerWithoutPaneOrSlotDoesNothing()
    {
        auto pPane = std::make_unique<CMAPICommandView>();
        CTraceWriter writer(pPane.get());
        QCOMPARE(writer.Write("MAPILogonEx()\n"), 1);
        pPane.reset();
        QCOMPARE(writer.Write("IMAPISession->Logoff()\n"), 0);

        TraceThroughSlot(nullptr, "x\n");
        CMAPITraceSlot empty = nullptr;
        TraceThroughSlot(&empty, "x\n");
    }
};

QTEST_MAIN(TestMapiUi)
#include "tst_mapi_ui.moc"
