#include "workspace/DravikDoc.h"

#include "mapi/MsgBox.h"
#include "mapi/Prompts.h"
#include "mapi/TempProfileOwners.h"
#include "props/IniFile.h"
#include "props/PropText.h"
#include "workspace/CommandIds.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"
#include "mapi32/codepage.h"
#include "mapi32/providers/msg/msg_service.h"
#include "workspace/OpenServiceDlg.h"

#include <QCoreApplication>
#include <QSettings>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <set>

namespace {

bool g_bDictionaryLoaded = false;

constexpr std::int32_t kE_FAIL = static_cast<std::int32_t>(0x80004005u);
constexpr ULONG kLogonFlags = MAPI_LOGON_UI | MAPI_NEW_SESSION | MAPI_ALLOW_OTHERS | MAPI_EXTENDED;

// Temporary profile names reserved by the workspaces of this process, and by
// whom. A name stays reserved until its profile is deleted.
std::map<std::string, const CDravikDoc*>& ReservedNames()
{
    static std::map<std::string, const CDravikDoc*> names;
    return names;
}

// The names of the profiles in the store (untraced: no workspace asked).
std::set<std::string> StoredProfileNames()
{
    std::set<std::string> names;
    LPPROFADMIN pAdmin = nullptr;
    if (FAILED(MAPIAdminProfiles(0, &pAdmin)) || pAdmin == nullptr)
        return names;
    LPMAPITABLE pTable = nullptr;
    if (SUCCEEDED(pAdmin->GetProfileTable(0, &pTable)) && pTable != nullptr) {
        SizedSPropTagArray(1, columns) = {1, {PR_DISPLAY_NAME}};
        LPSRowSet pRows = nullptr;
        if (SUCCEEDED(HrQueryAllRows(pTable, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0,
                                     &pRows)) && pRows != nullptr) {
            for (ULONG i = 0; i < pRows->cRows; ++i) {
                const SRow& row = pRows->aRow[i];
                if (row.cValues > 0 && PROP_TYPE(row.lpProps[0].ulPropTag) == PT_STRING8 &&
                    row.lpProps[0].Value.lpszA != nullptr)
                    names.insert(row.lpProps[0].Value.lpszA);
            }
            FreeProws(pRows);
        }
        pTable->Release();
    }
    pAdmin->Release();
    return names;
}

} // namespace

QString CDravikDoc::FindDictionary()
{
    const QString strName = QStringLiteral("Dravik.ini");
    QStringList candidates{QDir::current().filePath(strName)};
    if (QCoreApplication::instance() != nullptr) {
        const QDir exeDir(QCoreApplication::applicationDirPath());
        candidates << exeDir.filePath(strName);
        // The data folder of the tree the program is installed in, wherever
        // that tree was put (a package installs into /usr, a build into its
        // own prefix).
        candidates << exeDir.filePath(QStringLiteral("../share/dravik/") + strName);
    }
    candidates << QDir(QStringLiteral(DRAVIK_INSTALL_DATADIR)).filePath(strName);
    for (const QString& strPath : candidates) {
        if (QFileInfo(strPath).isFile())
            return strPath;
    }
    return QString();
}

void CDravikDoc::ResetDictionaryLoaded()
{
    g_bDictionaryLoaded = false;
}

CDravikDoc::CDravikDoc()
{
    if (!g_bDictionaryLoaded) {
        const QString strPath = FindDictionary();
        if (strPath.isEmpty() || !GetIniFile().Load(strPath.toLocal8Bit().toStdString()))
            ShowErrorReport("Failed to load Dravik.ini", "", kE_FAIL);
        else
            g_bDictionaryLoaded = true;
    }
}

CDravikDoc::~CDravikDoc()
{
    OnDisconnect();
    if (m_ppTraceWriter != nullptr) {
        delete *m_ppTraceWriter;
        delete m_ppTraceWriter;
        m_ppTraceWriter = nullptr;
    }
    m_session.Release();
    // Whatever this workspace still had reserved is free again.
    auto& names = ReservedNames();
    for (auto it = names.begin(); it != names.end();)
        it = it->second == this ? names.erase(it) : std::next(it);
}

bool CDravikDoc::OnNewDocument()
{
    SetTitle(QStringLiteral("New Workspace"));
    return true;
}

bool CDravikDoc::IsConnected() const
{
    return m_session.IsLoggedOn();
}

std::string CDravikDoc::MakeTempProfileName()
{
    static std::mt19937 generator(static_cast<unsigned>(std::time(nullptr)) ^ std::random_device{}());
    std::uniform_int_distribution<int> draw(0, 32767);
    const std::set<std::string> stored = StoredProfileNames();
    auto& reserved = ReservedNames();
    // 32768 names: more than that many in use at once cannot happen here, but
    // the loop still ends.
    for (int nTry = 0; nTry < 1000000; ++nTry) {
        char szName[256];
        std::snprintf(szName, sizeof szName, "PROFILE%06d", draw(generator));
        if (reserved.count(szName) == 0 && stored.count(szName) == 0) {
            reserved[szName] = this;
            return szName;
        }
    }
    return std::string();
}

void CDravikDoc::DeleteTempProfile()
{
    if (m_strTempProfile.empty())
        return;
    // A name another workspace has drawn since is that workspace's profile.
    auto& reserved = ReservedNames();
    const auto it = reserved.find(m_strTempProfile);
    if (it != reserved.end() && it->second != this)
        return;
    CProfAdminWrapper admin;
    if (SUCCEEDED(m_session.AdminProfiles(0, admin))) {
        const HRESULT hrDelete = admin.DeleteProfile(m_strTempProfile.c_str());
        if (SUCCEEDED(hrDelete) || hrDelete == MAPI_E_NOT_FOUND)
            tempprofiles::ForgetOwner(m_strTempProfile);
        if (SUCCEEDED(hrDelete) && it != reserved.end())
            reserved.erase(it);
    }
    admin.Release();
}

namespace {

// The user's code page for the 8-bit strings of store files: the setting
// "Stores/CodePage" (0 or absent: each store's own), handed to the store
// provider before each logon so that a changed setting holds for the next
// connection.
void ApplyStoreCodePage()
{
    const uint32_t ulCodePage = QSettings().value(QStringLiteral("Stores/CodePage"), 0u).toUInt();
    dravik::mapi32::SetStoreCodePage(dravik::mapi32::IsKnownCodePage(ulCodePage) ? ulCodePage : 0);
}

// The error report of a connection that failed: "MAPI Logon Failure", what
// was being opened and at which step, and in the details the step, the file,
// profile or mailbox, the error's name and number, and what it means.
void ReportConnectFailure(const QString& strWhat, const QString& strLabel, const QString& strTarget,
                          const char* pszStep, HRESULT hr, const QString& strWhy = QString())
{
    QString strMessage = QStringLiteral("MAPI Logon Failure: opening %1 \"%2\" failed at %3.")
                             .arg(strWhat, strTarget, QString::fromLatin1(pszStep));
    if (!strWhy.isEmpty())
        strMessage += QLatin1Char(' ') + strWhy;
    const char* pszName = ErrorCodeName(hr);
    const char* pszMeaning = ErrorMeaning(hr);
    QString strDetails = QStringLiteral("Step: %1\n").arg(QString::fromLatin1(pszStep));
    strDetails += QStringLiteral("%1: %2\n").arg(strLabel, strTarget);
    strDetails += QStringLiteral("Error: %1 (0x%2)\n")
                      .arg(QString::fromLatin1(pszName != nullptr ? pszName : "unnamed error"))
                      .arg(QStringLiteral("%1").arg(static_cast<quint32>(hr), 8, 16, QLatin1Char('0')).toUpper());
    if (pszMeaning != nullptr)
        strDetails += QStringLiteral("Meaning: %1\n").arg(QString::fromUtf8(pszMeaning));
    ShowErrorReport(strMessage.toUtf8().constData(), strDetails.toUtf8().constData(), hr);
}

} // namespace

void CDravikDoc::OnConnectProfile()
{
    ConnectProfile(nullptr);
}

HRESULT CDravikDoc::ConnectProfile(const char* pszProfile)
{
    m_session.SetTrace(m_ppTraceWriter);
    ApplyStoreCodePage();
    const HRESULT hr = m_session.Logon(pszProfile, nullptr, kLogonFlags);
    if (FAILED(hr))
        ReportConnectFailure(QStringLiteral("the profile"), QStringLiteral("Profile"),
                             pszProfile != nullptr ? QString::fromLocal8Bit(pszProfile) : QStringLiteral("(asked for)"),
                             "MAPILogonEx()", hr);
    else
        UpdateAllViews(nullptr, 0, nullptr);
    SetTitle(QStringLiteral("Local Profile"));
    return hr;
}

void CDravikDoc::OnConnectFile()
{
    m_session.SetTrace(m_ppTraceWriter);
    m_strTempProfile.clear();
    CFileRequest request;
    request.bOpen = true;
    request.strTitle = QStringLiteral("Connect to File");
    request.strDefaultExt = QStringLiteral("pst");
    // Both kinds of store show at first; a saved message opens as a store too.
    request.filters = {QStringLiteral("Outlook Stores (*.pst *.ost)"), QStringLiteral("Outlook Personal Store (*.pst)"),
                       QStringLiteral("Outlook Offline Store (*.ost)"), QStringLiteral("Outlook Message (*.msg)"),
                       QStringLiteral("All Files (*.*)")};
    const QString strPath = Prompts().GetFileName(nullptr, request);
    if (strPath.isEmpty())
        return;
    ConnectFile(QFileInfo(strPath).absoluteFilePath());
}

HRESULT CDravikDoc::ConnectFile(const QString& strPath)
{
    m_session.SetTrace(m_ppTraceWriter);
    m_strTempProfile.clear();
    const std::string strName = MakeTempProfileName();
    const QString strFull = QFileInfo(strPath).absoluteFilePath();
    const QByteArray service = dravik::mapi32::StoreServiceOfFile(strFull.toLocal8Bit().toStdString());
    const HRESULT hr = ConnectTemp(service.constData(), strName, strFull.toLocal8Bit().toStdString(), nullptr, strFull, nullptr);
    if (SUCCEEDED(hr))
        emit storeFileConnected(strFull);
    return hr;
}

void CDravikDoc::OnConnectMailbox()
{
    m_session.SetTrace(m_ppTraceWriter);
    m_strTempProfile.clear();
    const std::string strName = MakeTempProfileName();
    COpenServiceDlg dlg;
    if (dlg.exec() != QDialog::Accepted) {
        ReservedNames().erase(strName);
        return;
    }
    const std::string strServer8 = dlg.m_strServer.toStdString();
    const std::string strPassword8 = dlg.m_strPassword.toStdString();
    ConnectTemp("MSEMS", strName, dlg.m_strMailbox.toStdString(), strServer8.c_str(), dlg.m_strMailbox,
                strPassword8.c_str());
}

HRESULT CDravikDoc::ConnectMailbox(const QString& strServer, const QString& strMailbox, const QString& strPassword)
{
    m_session.SetTrace(m_ppTraceWriter);
    m_strTempProfile.clear();
    const std::string strName = MakeTempProfileName();
    const std::string strServer8 = strServer.toStdString();
    const std::string strPassword8 = strPassword.toStdString();
    return ConnectTemp("MSEMS", strName, strMailbox.toStdString(), strServer8.c_str(), strMailbox,
                       strPassword8.c_str());
}

HRESULT CDravikDoc::ConnectTemp(const char* pszService, const std::string& strName, const std::string& strValue1,
                                const char* pszValue2, const QString& strTitle, const char* pszPassword)
{
    CProfAdminWrapper profAdmin;
    CServiceAdminWrapper serviceAdmin;
    // The step each call stands for in an error report.
    const char* pszStep = "making the temporary profile's name";
    HRESULT hr = strName.empty() ? MAPI_E_CALL_FAILED : S_OK;
    if (SUCCEEDED(hr)) {
        pszStep = "MAPIAdminProfiles()";
        hr = m_session.AdminProfiles(0, profAdmin);
    }
    if (SUCCEEDED(hr)) {
        profAdmin.DeleteProfile(strName.c_str());
        pszStep = "IProfAdmin->CreateProfile()";
        hr = profAdmin.CreateProfile(strName.c_str(), 0);
        // The profile is this process's: a start after this process was
        // killed finds and deletes it.
        if (SUCCEEDED(hr))
            tempprofiles::RecordOwner(strName);
    }
    if (SUCCEEDED(hr)) {
        pszStep = "IProfAdmin->AdminServices()";
        hr = profAdmin.AdminServices(strName.c_str(), nullptr, 0, 0, serviceAdmin);
    }
    if (SUCCEEDED(hr)) {
        pszStep = "IServiceAdmin->CreateMsgService()";
        hr = serviceAdmin.CreateMsgService(pszService, strName.c_str(), SERVICE_UI_ALLOWED);
    }
    if (SUCCEEDED(hr)) {
        pszStep = "IServiceAdmin->ConfigureMsgService()";
        hr = serviceAdmin.ConfigureService(pszService, strValue1.c_str(), pszValue2);
    }
    if (SUCCEEDED(hr)) {
        SetTitle(strTitle);
        ApplyStoreCodePage();
        pszStep = "MAPILogonEx()";
        hr = m_session.Logon(strName.c_str(), pszPassword, kLogonFlags);
    }
    if (SUCCEEDED(hr)) {
        m_strTempProfile = strName;
        UpdateAllViews(nullptr, 0, nullptr);
        serviceAdmin.Release();
        profAdmin.Release();
        return hr;
    }
    {
        const bool bFile = std::strcmp(pszService, "MSPST MS") == 0;
        QString strWhy;
        if (bFile && !QFileInfo::exists(strTitle))
            strWhy = QStringLiteral("The file does not exist.");
        else if (bFile && hr == MAPI_E_LOGON_FAILED)
            strWhy = QStringLiteral("The password is wrong, or none was given.");
        ReportConnectFailure(bFile ? QStringLiteral("the store file") : QStringLiteral("the mailbox"),
                             bFile ? QStringLiteral("File") : QStringLiteral("Mailbox"), strTitle,
                             pszStep, hr, strWhy);
    }
    serviceAdmin.Release();
    if (profAdmin.m_pObj != nullptr && SUCCEEDED(profAdmin.DeleteProfile(strName.c_str())))
        tempprofiles::ForgetOwner(strName);
    profAdmin.Release();
    ReservedNames().erase(strName);
    return hr;
}

void CDravikDoc::OnDisconnect()
{
    const HRESULT hr = m_session.Logoff(0, MAPI_LOGOFF_UI);
    if (FAILED(hr))
        ShowErrorReport("MAPI Logon Failure", "", hr);
    else if (!m_views.empty())
        UpdateAllViews(nullptr, 0, nullptr);
    DeleteTempProfile();
    m_pSelectedNode = nullptr;
    SetTitle(QStringLiteral("Dravik"));
}

void CDravikDoc::SelectNode(CTreeNode* pNode)
{
    m_pSelectedNode = pNode;
    if (IsConnected())
        UpdateAllViews(nullptr, 0, nullptr);
}

void CDravikDoc::OnToggleProps()
{
    m_bEntryProps = !m_bEntryProps;
    UpdateAllViews(nullptr, 0, nullptr);
}

void CDravikDoc::SetTitle(const QString& strTitle)
{
    m_strTitle = strTitle;
    emit titleChanged(strTitle);
}

void CDravikDoc::AddView(CDocView* pView)
{
    m_views.push_back(pView);
}

void CDravikDoc::RemoveView(CDocView* pView)
{
    m_views.erase(std::remove(m_views.begin(), m_views.end(), pView), m_views.end());
}

void CDravikDoc::UpdateAllViews(CDocView* pSender, long lHint, void* pHint)
{
    // A copy: a view may add or remove views while it rebuilds.
    const std::vector<CDocView*> views = m_views;
    for (CDocView* pView : views) {
        if (pView != pSender)
            pView->OnUpdate(pSender, lHint, pHint);
    }
}

bool CDravikDoc::OnUpdateCommand(int nId, CCmdUI& rUI)
{
    switch (nId) {
    case ID_CONNECT_PROFILE:
    case ID_CONNECT_FILE:
    case ID_CONNECT_MAILBOX:
        rUI.bEnabled = !IsConnected();
        return true;
    case ID_DISCONNECT:
        rUI.bEnabled = IsConnected();
        return true;
    case ID_VIEW_ROWPROPS:
        rUI.bEnabled = true;
        rUI.bChecked = !m_bEntryProps;
        return true;
    case ID_VIEW_ENTRYPROPS:
        rUI.bEnabled = true;
        rUI.bChecked = m_bEntryProps;
        return true;
    default:
        return false;
    }
}

bool CDravikDoc::OnCommand(int nId)
{
    switch (nId) {
    case ID_CONNECT_PROFILE: OnConnectProfile(); return true;
    case ID_CONNECT_FILE: OnConnectFile(); return true;
    case ID_CONNECT_MAILBOX: OnConnectMailbox(); return true;
    case ID_DISCONNECT: OnDisconnect(); return true;
    case ID_VIEW_ROWPROPS:
    case ID_VIEW_ENTRYPROPS:
        OnToggleProps();
        return true;
    default:
        return false;
    }
}
