// dravik-savemsg: saves messages of a store file (.pst, .ost, .msg) as .msg files.
//
//   dravik-savemsg [--subject TEXT] [--first] --file STORE OUTDIR
//
// Every message of every folder (or those whose subject holds TEXT; with
// --first only the first of them) is written to OUTDIR as NNNNN-SUBJECT.msg,
// each file complete or absent. The store is opened through a temporary
// profile, as dravik-dump opens it, deleted again when done, also on Ctrl+C.
// Exit status: 0 all saved, 1 the store cannot be opened or a message cannot
// be read or written (each reported on standard error), 2 bad usage, 128 +
// signal when interrupted.
#include "DravikVersion.h"
#include "MapiRef.h"
#include "TempProfile.h"

#include "mapi32/mapix.h"
#include "mapi32/profiles.h"
#include "mapi32/providers/msg/msg_writer.h"
#include "mapi32/utf.h"
#include "tree/MessageSave.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t g_nStopSignal = 0;

void OnSignal(int nSignal)
{
    g_nStopSignal = nSignal;
}

struct COptions
{
    std::string strFile;
    std::string strOutDir;
    std::string strSubject;
    bool bFirst = false;
};

int Usage()
{
    std::fprintf(stderr, "usage: dravik-savemsg [--subject TEXT] [--first] --file STORE OUTDIR\n");
    return 2;
}

class CSaver
{
public:
    CSaver(IMsgStore* pStore, const COptions& options) : m_pStore(pStore), m_options(options) {}

    void Folder(IMAPIFolder* pFolder, const std::string& strWhere)
    {
        if (Done())
            return;
        CRef<IMAPITable> table;
        if (SUCCEEDED(pFolder->GetContentsTable(MAPI_UNICODE, table.Out())))
            EachRow(table.Get(), [&](const SRow& row) { Message(row, strWhere); });
        else
            Fail(strWhere, "the contents cannot be listed", MAPI_E_CALL_FAILED);
        if (SUCCEEDED(pFolder->GetHierarchyTable(MAPI_UNICODE, table.Out())))
            EachRow(table.Get(), [&](const SRow& row) {
                const SPropValue* pEid = PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID);
                const SPropValue* pName = PpropFindProp(row.lpProps, row.cValues, PR_DISPLAY_NAME_W);
                const std::string strName = pName ? dravik::mapi32::Utf16ToUtf8(pName->Value.lpszW) : "?";
                CRef<IMAPIFolder> sub;
                ULONG ulType = 0;
                if (!pEid || FAILED(m_pStore->OpenEntry(pEid->Value.bin.cb, reinterpret_cast<LPENTRYID>(pEid->Value.bin.lpb),
                                                        nullptr, 0, &ulType, reinterpret_cast<LPUNKNOWN*>(sub.Out())))) {
                    Fail(strWhere + "/" + strName, "the folder cannot be opened", MAPI_E_CALL_FAILED);
                    return;
                }
                Folder(sub.Get(), strWhere + "/" + strName);
            });
    }
    int Saved() const { return m_nSaved; }
    bool Failed() const { return m_bFailed; }

private:
    bool Done() const { return g_nStopSignal || (m_options.bFirst && m_nSaved > 0); }

    void EachRow(IMAPITable* pTable, const std::function<void(const SRow&)>& f)
    {
        for (;;) {
            if (Done())
                return;
            LPSRowSet pRows = nullptr;
            if (FAILED(pTable->QueryRows(100, 0, &pRows)) || !pRows) {
                m_bFailed = true;
                return;
            }
            const ULONG n = pRows->cRows;
            for (ULONG i = 0; i < n && !Done(); ++i)
                f(pRows->aRow[i]);
            FreeProws(pRows);
            if (n == 0)
                return;
        }
    }

    void Message(const SRow& row, const std::string& strWhere)
    {
        const SPropValue* pEid = PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID);
        const SPropValue* pSubject = PpropFindProp(row.lpProps, row.cValues, PR_SUBJECT_W);
        const std::string strSubject = pSubject ? dravik::mapi32::Utf16ToUtf8(pSubject->Value.lpszW) : "";
        if (!m_options.strSubject.empty() && strSubject.find(m_options.strSubject) == std::string::npos)
            return;
        CRef<IMessage> message;
        ULONG ulType = 0;
        if (!pEid || FAILED(m_pStore->OpenEntry(pEid->Value.bin.cb, reinterpret_cast<LPENTRYID>(pEid->Value.bin.lpb),
                                                nullptr, 0, &ulType, reinterpret_cast<LPUNKNOWN*>(message.Out())))) {
            Fail(strWhere + "/" + strSubject, "the message cannot be opened", MAPI_E_CALL_FAILED);
            return;
        }
        char szNumber[16];
        std::snprintf(szNumber, sizeof szNumber, "%05d-", ++m_nNumber);
        const std::string strPath = (fs::path(m_options.strOutDir) / (szNumber + ProposeMessageFileName(strSubject))).string();
        dravik::mapi32::MsgSaveReport report;
        const HRESULT hr = dravik::mapi32::SaveMessageAsMsg(message.Get(), strPath, &report);
        if (FAILED(hr)) {
            Fail(strWhere + "/" + strSubject, "the message cannot be saved", hr);
            return;
        }
        for (const std::string& s : report.skipped) {
            std::fprintf(stderr, "dravik-savemsg: %s: not saved: %s\n", strPath.c_str(), s.c_str());
            m_bFailed = true;
        }
        std::printf("%s\n", strPath.c_str());
        ++m_nSaved;
    }

    void Fail(const std::string& strWhere, const char* pszWhat, HRESULT hr)
    {
        std::fprintf(stderr, "dravik-savemsg: %s: %s (0x%08lX)\n", strWhere.c_str(), pszWhat,
                     static_cast<unsigned long>(hr));
        m_bFailed = true;
    }

    IMsgStore* m_pStore;
    const COptions& m_options;
    int m_nNumber = 0;
    int m_nSaved = 0;
    bool m_bFailed = false;
};

int Run(const COptions& options)
{
    CTempProfile tempProfile;
    std::string strStep;
    std::error_code ec;
    const fs::path path = fs::absolute(options.strFile, ec);
    HRESULT hr = tempProfile.Create(ec ? options.strFile : path.string(), strStep);
    if (FAILED(hr)) {
        std::fprintf(stderr, "dravik-savemsg: %s (\"%s\") failed: 0x%08lX\n", strStep.c_str(), options.strFile.c_str(),
                     static_cast<unsigned long>(hr));
        return 1;
    }
    std::string strProfile = tempProfile.Name();
    LPMAPISESSION pSession = nullptr;
    hr = MAPILogonEx(0, strProfile.data(), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_LOGON_UI, &pSession);
    if (FAILED(hr)) {
        std::fprintf(stderr, "dravik-savemsg: MAPILogonEx (\"%s\") failed: 0x%08lX\n", options.strFile.c_str(),
                     static_cast<unsigned long>(hr));
        return 1;
    }
    int nResult = 1;
    {
        CRef<IMsgStore> store;
        CRef<IMAPIFolder> root;
        if (SUCCEEDED(OpenFirstStoreRoot(pSession, store.Out(), root.Out()))) {
            CSaver saver(store.Get(), options);
            saver.Folder(root.Get(), "");
            nResult = saver.Failed() ? 1 : 0;
            if (saver.Saved() == 0 && !options.strSubject.empty()) {
                std::fprintf(stderr, "dravik-savemsg: no message's subject holds \"%s\"\n",
                             options.strSubject.c_str());
                nResult = 1;
            }
        } else {
            std::fprintf(stderr, "dravik-savemsg: the store cannot be opened\n");
        }
    }
    pSession->Logoff(0, 0, 0);
    pSession->Release();
    if (g_nStopSignal)
        return 128 + g_nStopSignal;
    return nResult;
}

} // namespace

int main(int argc, char** argv)
{
    COptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--version") {
            std::printf("dravik-savemsg %s\n", DRAVIK_VERSION);
            return 0;
        }
        if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        }
        if (a == "--first")
            options.bFirst = true;
        else if (a == "--subject" && i + 1 < argc)
            options.strSubject = argv[++i];
        else if (a == "--file" && i + 1 < argc)
            options.strFile = argv[++i];
        else if (!a.empty() && a[0] != '-' && options.strOutDir.empty())
            options.strOutDir = a;
        else
            return Usage();
    }
    if (options.strFile.empty() || options.strOutDir.empty())
        return Usage();
    std::error_code ec;
    if (!fs::is_directory(options.strOutDir, ec)) {
        std::fprintf(stderr, "dravik-savemsg: %s is not a folder\n", options.strOutDir.c_str());
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    // The only profile this program writes is its temporary one, deleted at its end: it
    // need not wait for the disk.
    dravik::mapi32::ProfileStore::SetSynced(false);
    MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
    if (FAILED(MAPIInitialize(&init)))
        return 1;
    const int nResult = Run(options);
    MAPIUninitialize();
    return nResult;
}
