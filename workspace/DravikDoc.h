// One workspace: its trace slot, the node whose properties are shown, the
// row/entry mode, its title and its views.
#pragma once

#include "mapi/MAPITraceWriter.h"
#include "mapi/MAPIWrappers.h"
#include "workspace/CmdTarget.h"

#include <QObject>
#include <QString>

#include <string>
#include <vector>

class CTreeNode;

class CDravikDoc : public QObject, public CCmdTarget
{
    Q_OBJECT
public:
    CDravikDoc();
    ~CDravikDoc() override;

    std::string m_strTempProfile;
    CTreeNode* m_pSelectedNode = nullptr;
    // Where the selected node is in the tree ("Message Stores/Store/Inbox"),
    // for the printout's header; set by the tree as it selects.
    QString m_strSelectedPath;
    // Owned together with the writer in it; set by the workspace window.
    CMAPITraceSlot* m_ppTraceWriter = nullptr;
    bool m_bEntryProps = false;
    CSessionWrapper m_session;

    CSessionWrapper* GetSession() { return &m_session; }

    bool OnNewDocument();

    bool IsConnected() const;
    void SelectNode(CTreeNode* pNode);
    CTreeNode* GetSelectedNode() const { return m_pSelectedNode; }

    void OnToggleProps();

    // Connect commands: the profile through MAPI's profile chooser, a store
    // file through the file dialog, a mailbox through its dialog.
    void OnConnectProfile();
    void OnConnectFile();
    void OnConnectMailbox();
    void OnDisconnect();

    // The same connections without their dialogs (command line, tests).
    HRESULT ConnectProfile(const char* pszProfile);
    HRESULT ConnectFile(const QString& strPath);
    HRESULT ConnectMailbox(const QString& strServer, const QString& strMailbox, const QString& strPassword);

    // A fresh temporary profile name "PROFILE%06d", taken neither by another
    // workspace of this process nor in the profile store; reserved for
    // this document until its profile is deleted.
    std::string MakeTempProfileName();

    void SetTitle(const QString& strTitle);
    QString GetTitle() const { return m_strTitle; }

    void AddView(CDocView* pView);
    void RemoveView(CDocView* pView);
    void UpdateAllViews(CDocView* pSender, long lHint = 0, void* pHint = nullptr);

    bool OnUpdateCommand(int nId, CCmdUI& rUI) override;
    bool OnCommand(int nId) override;

    // Where "Dravik.ini" is read from: the current directory, then next to
    // the program, then the data folder of the installed tree the program is
    // in, then the installed data folder. Empty when none has it.
    static QString FindDictionary();
    // Forgets that the dictionary was loaded (for tests).
    static void ResetDictionaryLoaded();

signals:
    void titleChanged(const QString& strTitle);
    // A store file was connected (absolute path), however it was chosen.
    void storeFileConnected(const QString& strPath);

private:
    HRESULT ConnectTemp(const char* pszService, const std::string& strName, const std::string& strValue1,
                        const char* pszValue2, const QString& strTitle, const char* pszPassword);
    void DeleteTempProfile();

    QString m_strTitle;
    std::vector<CDocView*> m_views;
};
