#include "workspace/DravikDoc.h"

#include "mapi/MsgBox.h"
#include "props/IniFile.h"
#include "workspace/CommandIds.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

bool g_bDictionaryLoaded = false;

constexpr std::int32_t kE_FAIL = static_cast<std::int32_t>(0x80004005u);

} // namespace

QString CDravikDoc::FindDictionary()
{
    const QString strName = QStringLiteral("Dravik.ini");
    QStringList candidates{QDir::current().filePath(strName)};
    if (QCoreApplication::instance() != nullptr)
        candidates << QDir(QCoreApplication::applicationDirPath()).filePath(strName);
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
    if (m_ppTraceWriter != nullptr) {
        delete *m_ppTraceWriter;
        delete m_ppTraceWriter;
        m_ppTraceWriter = nullptr;
    }
}

bool CDravikDoc::OnNewDocument()
{
    SetTitle(QStringLiteral("New Workspace"));
    return true;
}

bool CDravikDoc::IsConnected() const
{
    return false;
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
    case ID_VIEW_ROWPROPS:
    case ID_VIEW_ENTRYPROPS:
        OnToggleProps();
        return true;
    default:
        return false;
    }
}
