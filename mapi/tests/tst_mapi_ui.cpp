// Error report folding and HRESULT text; trace writer and trace pane.
#include "mapi/MAPICommandView.h"
#include "mapi/MsgBox.h"
#include "mapi/TraceWriter.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
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

    void reportFoldsAndUnfolds()
    {
        bool bChecked = false;
        WhenModal([&](QWidget* pModal) {
            auto* pBox = qobject_cast<CMsgBox*>(pModal);
            QVERIFY(pBox != nullptr);
            QCOMPARE(pBox->windowTitle(), QStringLiteral("Dialog"));
            auto* pMessage = pBox->findChild<QLabel*>(QStringLiteral("message"));
            auto* pHr = pBox->findChild<QLabel*>(QStringLiteral("hresult"));
            auto* pDetails = pBox->findChild<QPushButton*>(QStringLiteral("details"));
            auto* pText = pBox->findChild<QPlainTextEdit*>(QStringLiteral("detailsText"));
            QCOMPARE(pMessage->text(), QStringLiteral("MAPI Logon Failure"));
            QCOMPARE(pHr->text(), QStringLiteral("HRESULT: 80004005"));
            QVERIFY(pText->toPlainText().isEmpty());
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
        QCOMPARE(pane.toPlainText(),
                 QStringLiteral("typed by the user HrQueryAllRows()\n IServiceAdmin->ConfigureMsgService()\n"));
        QVERIFY(!pane.textCursor().hasSelection());
        QCOMPARE(pane.textCursor().position(), pane.document()->characterCount() - 1);
        delete *ppSlot;
        delete ppSlot;
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
