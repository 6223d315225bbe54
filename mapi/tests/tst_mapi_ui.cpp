// Error report folding and HRESULT text; trace writer and trace pane.
#include "mapi/MAPICommandView.h"
#include "mapi/MsgBox.h"
#include "mapi/TraceWriter.h"
#include "mapi32/mapicode.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QAbstractTextDocumentLayout>
#include <QTimer>

#include <functional>
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

// Appends as the pane did before it batched: insert at the end, then set the
// caret there, which scrolls the end into view, one line at a time.
void AppendLineByLine(QPlainTextEdit& pane, const QString& strText)
{
    QTextCursor cursor(pane.document());
    cursor.movePosition(QTextCursor::End);
    const bool bUndo = pane.document()->isUndoRedoEnabled();
    pane.document()->setUndoRedoEnabled(false);
    cursor.insertText(strText);
    pane.document()->setUndoRedoEnabled(bUndo);
    pane.setTextCursor(cursor);
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

    void writerAppendsExactly()
    {
        CMAPICommandView pane;
        pane.insertPlainText(QStringLiteral("typed by the user "));
        CMAPITraceSlot* ppSlot = new CMAPITraceSlot(new CTraceWriter(&pane));
        TraceThroughSlot(ppSlot, "HrQueryAllRows()\n ");
        TraceThroughSlot(ppSlot, "IServiceAdmin->ConfigureMsgService()\n");
        pane.Flush();
        QCOMPARE(pane.toPlainText(),
                 QStringLiteral("typed by the user HrQueryAllRows()\n IServiceAdmin->ConfigureMsgService()\n"));
        QVERIFY(!pane.textCursor().hasSelection());
        QCOMPARE(pane.textCursor().position(), pane.document()->characterCount() - 1);
        delete *ppSlot;
        delete ppSlot;
    }

    // The pane shows, after each turn of the event loop, exactly what it
    // showed when every line was laid out and scrolled to on its own; text
    // and caret are in place at once.
    void appendsShowAsLineByLine_data()
    {
        QTest::addColumn<QString>("steps");
        // aN: append N lines; t: let the event loop run; top: scroll to the
        // top; all: select everything; type: type at the start.
        QTest::newRow("one turn") << "a300 t";
        QTest::newRow("several turns") << "a7 t a7 t a30 t a1 t";
        QTest::newRow("reader scrolled to the top") << "a60 t top t a60 t";
        QTest::newRow("selection when lines come") << "a20 t all t a20 t";
        QTest::newRow("caret elsewhere after typing") << "a20 t type t a50 t";
        QTest::newRow("wide line off screen") << "a36 t a2 a200 t";
    }
    void appendsShowAsLineByLine()
    {
        QFETCH(QString, steps);
        QWidget window;
        window.resize(700, 300);
        CMAPICommandView batched(&window);
        CMAPICommandView reference(&window);
        batched.setGeometry(0, 0, 320, 140);
        reference.setGeometry(0, 150, 320, 140);
        // Neither draws a caret, so that their pictures compare.
        batched.setFocusPolicy(Qt::NoFocus);
        reference.setFocusPolicy(Qt::NoFocus);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        int nLine = 0;
        for (const QString& step : steps.split(QLatin1Char(' '))) {
            if (step.startsWith(QLatin1Char('a'))) {
                for (int n = step.mid(1).toInt(); n > 0; --n, ++nLine) {
                    batched.AppendRaw(TraceLine(nLine));
                    AppendLineByLine(reference, TraceLine(nLine));
                }
            } else if (step == QStringLiteral("t")) {
                QApplication::processEvents();
                QCOMPARE(batched.verticalScrollBar()->maximum(), reference.verticalScrollBar()->maximum());
                QCOMPARE(batched.verticalScrollBar()->value(), reference.verticalScrollBar()->value());
                QCOMPARE(batched.horizontalScrollBar()->maximum(), reference.horizontalScrollBar()->maximum());
                QCOMPARE(batched.cursorForPosition({0, 0}).blockNumber(),
                         reference.cursorForPosition({0, 0}).blockNumber());
                QCOMPARE(batched.viewport()->grab().toImage(), reference.viewport()->grab().toImage());
            } else {
                for (CMAPICommandView* pPane : {&batched, &reference}) {
                    if (step == QStringLiteral("top")) {
                        pPane->verticalScrollBar()->setValue(0);
                    } else if (step == QStringLiteral("all")) {
                        pPane->selectAll();
                    } else {
                        pPane->moveCursor(QTextCursor::Start);
                        pPane->insertPlainText(QStringLiteral("typed "));
                    }
                }
            }
            batched.Flush();
            QCOMPARE(batched.toPlainText(), reference.toPlainText());
            QCOMPARE(batched.textCursor().position(), reference.textCursor().position());
            QCOMPARE(batched.textCursor().anchor(), reference.textCursor().anchor());
            QCOMPARE(batched.document()->isUndoAvailable(), reference.document()->isUndoAvailable());
        }
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
