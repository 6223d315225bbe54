// Connections of a workspace against the real MAPI subsystem, with a profile
// folder of the test's own: the exact trace of a store-file connect, the
// failed mailbox connect and its clean-up, disconnect, and unique temporary
// profile names.
#include "mapi/MAPICommandView.h"
#include "mapi/MsgBox.h"
#include "mapi/TraceWriter.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include "ScriptedPrompts.h"

#include <QApplication>
#include <QDir>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include "props/PropText.h"
#include "mapi32/hooks.h"

#include <QTest>

#include "mapi32/codepage.h"
#include "mapi32/mapicode.h"
#include "mapi32/mapix.h"

#include <memory>
#include <set>

namespace {

// A document with a trace pane, as a workspace window gives it one.
struct Workspace
{
    CMAPICommandView pane;
    std::unique_ptr<CDravikDoc> pDoc = std::make_unique<CDravikDoc>();
    Workspace() { pDoc->m_ppTraceWriter = new CMAPITraceSlot(new CTraceWriter(&pane)); }
    QString Trace()
    {
        pane.Flush();
        return pane.toPlainText();
    }
};

// Answers the program's prompts and keeps the error reports' texts.
struct ReportCloser
{
    CScriptedPrompts prompts;
    QStringList Messages() const
    {
        QStringList texts;
        for (const auto& report : prompts.m_errorReports)
            texts << report.strMessage + QLatin1Char('|') + FormatHResultLine(report.hr);
        return texts;
    }
};

QStringList ProfilesOnDisk(const QTemporaryDir& dir)
{
    QStringList names = QDir(dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot);
    names.removeIf([](const QString& s) { return s.startsWith(QLatin1Char('.')) || s.endsWith(QStringLiteral(".lock")); });
    return names;
}

const QString kSample = QStringLiteral(DRAVIK_SAMPLES_DIR "/pstsdk-sample1.pst");

} // namespace

class TestConnect : public QObject
{
    Q_OBJECT
    QTemporaryDir m_profiles;

private slots:
    void initTestCase()
    {
        QVERIFY(m_profiles.isValid());
        qputenv("DRAVIK_MAPI_PROFILES", m_profiles.path().toUtf8());
        QCOMPARE(MAPIInitialize(nullptr), S_OK);
        QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
    }

    void storeFileConnectTrace()
    {
        Workspace ws;
        QString strTitle;
        connect(ws.pDoc.get(), &CDravikDoc::titleChanged, [&](const QString& s) { strTitle = s; });
        QCOMPARE(ws.pDoc->ConnectFile(kSample), S_OK);
        QCOMPARE(ws.Trace(), QStringLiteral("IProfAdmin->DeleteProfile()\n"
                                            "IProfAdmin->CreateProfile()\n"
                                            "IProfAdmin->AdminServices()\n"
                                            "IServiceAdmin->CreateMsgService()\n"
                                            "IServiceAdmin->GetMsgServiceTable()\n"
                                            "HrQueryAllRows()\n"
                                            " IServiceAdmin->ConfigureMsgService()\n"
                                            "MAPILogonEx()\n"));
        QVERIFY(ws.pDoc->IsConnected());
        QCOMPARE(strTitle, QFileInfo(kSample).absoluteFilePath());
        QVERIFY(QRegularExpression(QStringLiteral("^PROFILE\\d{6}$"))
                    .match(QString::fromStdString(ws.pDoc->m_strTempProfile)).hasMatch());

        CCmdUI ui;
        QVERIFY(ws.pDoc->OnUpdateCommand(ID_CONNECT_FILE, ui));
        QVERIFY(!ui.bEnabled);
        QVERIFY(ws.pDoc->OnUpdateCommand(ID_DISCONNECT, ui));
        QVERIFY(ui.bEnabled);

        ws.pDoc->OnDisconnect();
        QVERIFY(!ws.pDoc->IsConnected());
        QVERIFY(ws.Trace().endsWith(QStringLiteral("MAPILogonEx()\nIMAPISession->Logoff()\nIProfAdmin->DeleteProfile()\n")));
        QCOMPARE(strTitle, QStringLiteral("Dravik"));
        QVERIFY(!ws.pDoc->m_strTempProfile.empty()); // remembered after deletion
        QCOMPARE(ProfilesOnDisk(m_profiles), QStringList());
    }

    // The setting Stores/CodePage reaches the store provider at each connect:
    // a code page it knows, or none.
    void storeCodePageSettingIsHandedToTheProvider()
    {
        QTemporaryDir settings;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
        for (const auto& [value, handed] : {std::pair{1251u, 1251u}, std::pair{50220u, 50220u}, std::pair{4711u, 0u},
                                            std::pair{0u, 0u}}) {
            QSettings().setValue(QStringLiteral("Stores/CodePage"), value);
            dravik::mapi32::SetStoreCodePage(99);
            Workspace ws;
            QCOMPARE(ws.pDoc->ConnectFile(kSample), S_OK);
            QCOMPARE(dravik::mapi32::GetStoreCodePage(), handed);
            ws.pDoc->OnDisconnect();
        }
        QSettings().remove(QStringLiteral("Stores/CodePage"));
        dravik::mapi32::SetStoreCodePage(0);
    }

    void failedMailboxConnectCleansUp()
    {
        ReportCloser reports;
        Workspace ws;
        QString strTitle;
        connect(ws.pDoc.get(), &CDravikDoc::titleChanged, [&](const QString& s) { strTitle = s; });
        const HRESULT hr = ws.pDoc->ConnectMailbox(QStringLiteral("exchange.example.com"), QStringLiteral("jdoe"),
                                                   QStringLiteral("secret"));
        QVERIFY(FAILED(hr));
        QCOMPARE(reports.Messages(),
                 QStringList{QStringLiteral("MAPI Logon Failure: opening the mailbox \"jdoe\" failed at "
                                            "MAPILogonEx().|HRESULT: 80040115")});
        QVERIFY(ws.Trace().endsWith(QStringLiteral("MAPILogonEx()\nIProfAdmin->DeleteProfile()\n")));
        QCOMPARE(strTitle, QStringLiteral("jdoe"));
        QVERIFY(!ws.pDoc->IsConnected());
        QVERIFY(ws.pDoc->m_strTempProfile.empty());
        QCOMPARE(ProfilesOnDisk(m_profiles), QStringList());
    }

    void missingFileFailsAndLeavesNothing()
    {
        ReportCloser reports;
        Workspace ws;
        QVERIFY(FAILED(ws.pDoc->ConnectFile(QStringLiteral("/nonexistent/store.pst"))));
        QCOMPARE(reports.Messages().size(), 1);
        QVERIFY(reports.Messages().first().startsWith(QStringLiteral("MAPI Logon Failure: opening the store file")));
        QVERIFY(!ws.pDoc->IsConnected());
        QCOMPARE(ProfilesOnDisk(m_profiles), QStringList());
    }

    // Each way a store file fails to connect gets a report that names the
    // step, the file, the error's name and what it means.
    void connectionFailuresAreExplained_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("password"); // empty: no password prompt
        QTest::addColumn<int>("hr");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("meaning");
        const QString strData = QStringLiteral(DRAVIK_SAMPLES_DIR);
        QTest::newRow("no such file") << QStringLiteral("/nonexistent/store.pst") << QString() << int(MAPI_E_NOT_FOUND)
                                      << QStringLiteral("MAPI Logon Failure: opening the store file "
                                                        "\"/nonexistent/store.pst\" failed at "
                                                        "IServiceAdmin->ConfigureMsgService(). The file does not exist.")
                                      << QStringLiteral("no such file, profile or object");
        QTest::newRow("not a store") << strData + QStringLiteral("/README.md") << QString() << int(MAPI_E_CORRUPT_DATA)
                                     << QStringLiteral("MAPI Logon Failure: opening the store file \"%1\" failed at "
                                                       "IServiceAdmin->ConfigureMsgService().")
                                            .arg(strData + QStringLiteral("/README.md"))
                                     << QStringLiteral("not a PST or OST file, or damaged");
        QTest::newRow("wrong password")
            << strData + QStringLiteral("/pstsdk-test_ansi.pst") << QStringLiteral("wrong") << int(MAPI_E_LOGON_FAILED)
            << QStringLiteral("MAPI Logon Failure: opening the store file \"%1\" failed at MAPILogonEx(). The "
                              "password is wrong, or none was given.")
                   .arg(strData + QStringLiteral("/pstsdk-test_ansi.pst"))
            << QStringLiteral("logon refused: wrong password, or no password given");
    }
    void connectionFailuresAreExplained()
    {
        QFETCH(QString, path);
        QFETCH(QString, password);
        QFETCH(int, hr);
        QFETCH(QString, message);
        QFETCH(QString, meaning);
        struct CPassword : dravik::mapi32::IStorePasswordPrompt
        {
            std::string strPassword;
            bool bAsked = false;
            HRESULT AskStorePassword(ULONG, const std::string&, const std::string&, std::string& out) override
            {
                if (bAsked)
                    return MAPI_E_USER_CANCEL; // asked again after a wrong one: give up
                bAsked = true;
                out = strPassword;
                return S_OK;
            }
        } prompt;
        prompt.strPassword = password.toStdString();
        if (!password.isEmpty())
            dravik::mapi32::SetStorePasswordPrompt(&prompt);
        ReportCloser reports;
        Workspace ws;
        const HRESULT hrConnect = ws.pDoc->ConnectFile(path);
        dravik::mapi32::SetStorePasswordPrompt(nullptr);
        QCOMPARE(int(hrConnect), hr);
        QCOMPARE(reports.prompts.m_errorReports.size(), size_t(1));
        const auto& report = reports.prompts.m_errorReports.front();
        QCOMPARE(report.hr, hr);
        QCOMPARE(report.strMessage, message);
        QVERIFY2(report.strDetails.contains(QStringLiteral("Meaning: ") + meaning), qPrintable(report.strDetails));
        QVERIFY2(report.strDetails.contains(QStringLiteral("File: ") + path), qPrintable(report.strDetails));
        QVERIFY2(report.strDetails.contains(QLatin1String(ErrorCodeName(hr))), qPrintable(report.strDetails));
        QVERIFY(!ws.pDoc->IsConnected());
        QCOMPARE(ProfilesOnDisk(m_profiles), QStringList());
    }

    void workspacesConnectingTogetherGetTheirOwnProfiles()
    {
        // Many workspaces connected in the same second: every name differs,
        // every profile exists while connected, none is left after closing.
        std::vector<std::unique_ptr<Workspace>> workspaces;
        std::set<std::string> names;
        for (int i = 0; i < 6; ++i) {
            workspaces.push_back(std::make_unique<Workspace>());
            QCOMPARE(workspaces.back()->pDoc->ConnectFile(kSample), S_OK);
            names.insert(workspaces.back()->pDoc->m_strTempProfile);
        }
        QCOMPARE(names.size(), size_t(6));
        QCOMPARE(ProfilesOnDisk(m_profiles).size(), 6);
        for (auto& pWs : workspaces)
            QVERIFY(pWs->pDoc->IsConnected());
        // Closed in another order than opened, without disconnecting first.
        workspaces[3].reset();
        workspaces[0].reset();
        workspaces.clear();
        QCOMPARE(ProfilesOnDisk(m_profiles), QStringList());
    }

    void namesTakenInTheStoreAreNotDrawn()
    {
        Workspace ws;
        // Reserve almost every name by drawing; each draw must be new.
        std::set<std::string> names;
        for (int i = 0; i < 2000; ++i)
            QVERIFY(names.insert(ws.pDoc->MakeTempProfileName()).second);
    }

    void destroyingAnUnconnectedWorkspaceMakesNoCall()
    {
        Workspace ws;
        CMAPICommandView* pPane = &ws.pane;
        ws.pDoc.reset();
        pPane->Flush();
        QCOMPARE(pPane->toPlainText(), QString());
    }
};

QTEST_MAIN(TestConnect)
#include "tst_connect.moc"
