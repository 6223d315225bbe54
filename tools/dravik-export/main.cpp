// dravik-export: writes the messages of a store file (.pst, .ost) or a .msg
// file as .eml files, mbox files or .msg files, in a folder tree like the
// store's. See res/man/dravik-export.1.
#include "DravikVersion.h"
#include "MapiRef.h"
#include "PasswordPrompt.h"
#include "TempProfile.h"

#include "content/InternetMessage.h"
#include "mapi32/codepage.h"
#include "mapi32/hooks.h"
#include "mapi32/mapix.h"
#include "mapi32/providers/msg/msg_writer.h"
#include "mapi32/utf.h"
#include "tree/MessageSave.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char* const kUsageText =
    "Usage: dravik-export --format eml|mbox|msg [--folder PATH] [--codepage N] STORE OUTDIR\n"
    "Writes the messages of a store file (.pst, .ost) or a .msg file into OUTDIR,\n"
    "in a folder tree like the store's:\n"
    "\n"
    "  --format eml    one .eml file (RFC 5322, MIME) per message: NNNNNN-SUBJECT.eml\n"
    "  --format mbox   one file \"mbox\" per folder (mboxrd)\n"
    "  --format msg    one .msg file per message: NNNNNN-SUBJECT.msg\n"
    "  --folder PATH   only this folder and its subfolders; PATH is the folders'\n"
    "                  display names from the top of the store, separated by /\n"
    "  --codepage N    read 8-bit strings in Windows code page N (as dravik-dump)\n"
    "  --help          show this text\n"
    "  --version       show the program's version\n"
    "\n"
    "The same store gives the same bytes on every run. Every file is written\n"
    "whole under a temporary name and then renamed, so an interrupted export\n"
    "leaves only complete files. Whatever is not written (a message, attachment\n"
    "or embedded message that cannot be read) is reported on standard error with\n"
    "its path and the reason; a summary ends the export.\n"
    "\n"
    "A store with a password takes it from $DRAVIK_STORE_PASSWORD, else asks on\n"
    "the terminal.\n"
    "\n"
    "Exit status: 0 everything written; 1 the store cannot be opened, or something\n"
    "was not written; 2 bad usage; 128 + the signal's number when interrupted\n"
    "(SIGINT, SIGTERM, SIGHUP).\n";

volatile std::sig_atomic_t g_nStopSignal = 0;

extern "C" void OnStopSignal(int nSignal)
{
    g_nStopSignal = nSignal;
}

void InstallSignalHandlers()
{
    struct sigaction action{};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(nSignal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

enum class Format { Eml, Mbox, Msg };

struct COptions
{
    Format format = Format::Eml;
    bool bFormat = false;
    std::string strFolder;
    std::string strStore;
    std::string strOutDir;
    uint32_t ulCodePage = 0;
};

int Usage(const char* pszProblem)
{
    std::fprintf(stderr, "dravik-export: %s\n%s", pszProblem, kUsageText);
    return kUsage;
}

std::string HrText(HRESULT hr)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", unsigned(hr));
    return buf;
}

// A folder's name as a file name: no slash, no control character, not "." or "..".
std::string FolderFileName(const std::string& name)
{
    std::string s;
    for (char c : name)
        s += (static_cast<unsigned char>(c) < 0x20 || c == '/') ? '_' : c;
    if (s.size() > 200) {
        size_t n = 200;
        while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
            --n;
        s.resize(n);
    }
    if (s.empty() || s == "." || s == "..")
        s = "_" + s;
    return s;
}

// A file written whole under a temporary name beside its final one, renamed
// into place by Commit; removed when dropped before that.
class CPendingFile
{
public:
    explicit CPendingFile(fs::path final) : m_final(std::move(final))
    {
        m_temp = m_final;
        m_temp += ".part~";
        m_file = std::fopen(m_temp.c_str(), "wb");
    }
    ~CPendingFile() { Drop(); }
    CPendingFile(const CPendingFile&) = delete;
    CPendingFile& operator=(const CPendingFile&) = delete;

    bool Ok() const { return m_file && !m_bError; }
    void Write(const std::string& s)
    {
        if (m_file && !s.empty() && std::fwrite(s.data(), 1, s.size(), m_file) != s.size())
            m_bError = true;
    }
    bool Commit()
    {
        if (!m_file)
            return false;
        const bool bClosed = std::fclose(m_file) == 0;
        m_file = nullptr;
        std::error_code ec;
        if (!bClosed || m_bError || (fs::rename(m_temp, m_final, ec), ec)) {
            fs::remove(m_temp, ec);
            return false;
        }
        return true;
    }
    void Drop()
    {
        if (m_file) {
            std::fclose(m_file);
            m_file = nullptr;
            std::error_code ec;
            fs::remove(m_temp, ec);
        }
    }

private:
    fs::path m_final;
    fs::path m_temp;
    std::FILE* m_file = nullptr;
    bool m_bError = false;
};

class CExporter
{
public:
    CExporter(IMsgStore* pStore, const COptions& options)
        : m_pStore(pStore), m_options(options), m_bProgress(::isatty(2) == 1)
    {
    }

    // Exports the folder and its subfolders into dir; strWhere is its path for reports.
    void Folder(IMAPIFolder* pFolder, const std::string& strWhere, const fs::path& dir)
    {
        if (g_nStopSignal)
            return;
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) {
            Fail(strWhere, "the folder " + dir.string() + " cannot be made: " + ec.message());
            return;
        }
        std::unique_ptr<CPendingFile> mbox;
        int nInFolder = 0;
        CRef<IMAPITable> table;
        HRESULT hr = pFolder->GetContentsTable(MAPI_UNICODE, table.Out());
        if (FAILED(hr))
            Fail(strWhere, "its messages cannot be listed (" + HrText(hr) + ")");
        else
            EachRow(table.Get(), strWhere, [&](const SRow& row) {
                Message(row, strWhere, dir, ++nInFolder, mbox);
            });
        if (mbox) {
            if (g_nStopSignal)
                mbox->Drop();
            else if (!mbox->Commit())
                Fail(strWhere, "the mbox file " + (dir / "mbox").string() + " cannot be written");
        }
        if (g_nStopSignal)
            return;
        hr = pFolder->GetHierarchyTable(MAPI_UNICODE, table.Out());
        if (FAILED(hr)) {
            Fail(strWhere, "its subfolders cannot be listed (" + HrText(hr) + ")");
            return;
        }
        std::map<std::string, int> names;
        EachRow(table.Get(), strWhere, [&](const SRow& row) {
            const SPropValue* pEid = PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID);
            const SPropValue* pName = PpropFindProp(row.lpProps, row.cValues, PR_DISPLAY_NAME_W);
            const std::string strName = pName ? dravik::mapi32::Utf16ToUtf8(pName->Value.lpszW) : "";
            std::string strFile = FolderFileName(strName);
            // Two subfolders of the same name go to two folders.
            if (const int n = ++names[strFile]; n > 1)
                strFile += " (" + std::to_string(n) + ")";
            CRef<IMAPIFolder> sub = Open<IMAPIFolder>(pEid, strWhere + "/" + strName, "folder");
            if (sub)
                Folder(sub.Get(), strWhere + "/" + strName, dir / strFile);
        });
    }

    // The folder named by a path of display names below pRoot; empty when none is.
    CRef<IMAPIFolder> Find(IMAPIFolder* pRoot, const std::string& strPath)
    {
        std::vector<std::string> parts;
        size_t start = 0;
        while (start <= strPath.size()) {
            size_t end = strPath.find('/', start);
            if (end == std::string::npos)
                end = strPath.size();
            if (end > start)
                parts.push_back(strPath.substr(start, end - start));
            start = end + 1;
        }
        pRoot->AddRef();
        CRef<IMAPIFolder> folder(pRoot);
        for (const std::string& part : parts) {
            CRef<IMAPITable> table;
            if (FAILED(folder->GetHierarchyTable(MAPI_UNICODE, table.Out())))
                return {};
            CRef<IMAPIFolder> next;
            EachRow(table.Get(), "", [&](const SRow& row) {
                const SPropValue* pName = PpropFindProp(row.lpProps, row.cValues, PR_DISPLAY_NAME_W);
                if (next || !pName || dravik::mapi32::Utf16ToUtf8(pName->Value.lpszW) != part)
                    return;
                next = Open<IMAPIFolder>(PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID), part, "folder");
            });
            if (!next)
                return {};
            folder = std::move(next);
        }
        return folder;
    }

    void Summary() const
    {
        EndProgress();
        std::fprintf(stderr,
                     "dravik-export: %d message%s written in %d folder%s (%d attachment%s, %d embedded message%s); "
                     "%d not written",
                     m_nMessages, m_nMessages == 1 ? "" : "s", m_nFolders, m_nFolders == 1 ? "" : "s", m_nAttachments,
                     m_nAttachments == 1 ? "" : "s", m_nEmbedded, m_nEmbedded == 1 ? "" : "s", m_nNotWritten);
        if (m_nProblems)
            std::fprintf(stderr, "; %d part%s of messages not written", m_nProblems, m_nProblems == 1 ? "" : "s");
        std::fputs("\n", stderr);
    }
    bool Failed() const { return m_bFailed; }

private:
    template <class I>
    CRef<I> Open(const SPropValue* pEid, const std::string& strWhere, const char* pszWhat)
    {
        LPUNKNOWN pUnk = nullptr;
        ULONG ulType = 0;
        const HRESULT hr =
            pEid && PROP_TYPE(pEid->ulPropTag) == PT_BINARY
                ? m_pStore->OpenEntry(pEid->Value.bin.cb, reinterpret_cast<LPENTRYID>(pEid->Value.bin.lpb), nullptr, 0,
                                      &ulType, &pUnk)
                : MAPI_E_NOT_FOUND;
        CRef<I> result = As<I>(SUCCEEDED(hr) ? pUnk : nullptr);
        if (!result) {
            if (pUnk && FAILED(hr))
                pUnk->Release();
            Fail(strWhere, std::string("the ") + pszWhat + " cannot be opened (" + HrText(FAILED(hr) ? hr : MAPI_E_INTERFACE_NOT_SUPPORTED) + ")");
        }
        return result;
    }

    void EachRow(IMAPITable* pTable, const std::string& strWhere, const std::function<void(const SRow&)>& f)
    {
        for (;;) {
            if (g_nStopSignal)
                return;
            LPSRowSet pRows = nullptr;
            const HRESULT hr = pTable->QueryRows(64, 0, &pRows);
            if (FAILED(hr) || !pRows) {
                Fail(strWhere, "the rest of the table cannot be read (" + HrText(hr) + ")");
                return;
            }
            const ULONG n = pRows->cRows;
            for (ULONG i = 0; i < n && !g_nStopSignal; ++i)
                f(pRows->aRow[i]);
            FreeProws(pRows);
            if (n == 0)
                return;
        }
    }

    void Message(const SRow& row, const std::string& strFolder, const fs::path& dir, int nNumber,
                 std::unique_ptr<CPendingFile>& mbox)
    {
        const SPropValue* pSubject = PpropFindProp(row.lpProps, row.cValues, PR_SUBJECT_W);
        const std::string strSubject = pSubject ? dravik::mapi32::Utf16ToUtf8(pSubject->Value.lpszW) : "";
        char szNumber[16];
        std::snprintf(szNumber, sizeof szNumber, "%06d", nNumber);
        const std::string strWhere = strFolder + "/" + szNumber + " " + strSubject;
        CRef<IMessage> message = Open<IMessage>(PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID), strWhere, "message");
        if (!message) {
            ++m_nNotWritten;
            return;
        }
        std::string strName = ProposeMessageFileName(strSubject);
        strName.resize(strName.size() - 4);  // ".msg"
        const fs::path path = dir / (std::string(szNumber) + "-" + strName + (m_options.format == Format::Msg ? ".msg" : ".eml"));
        if (m_options.format == Format::Msg) {
            dravik::mapi32::MsgSaveReport report;
            const HRESULT hr = dravik::mapi32::SaveMessageAsMsg(message.Get(), path.string(), &report);
            if (FAILED(hr)) {
                Fail(strWhere, "the message cannot be written to " + path.string() + " (" + HrText(hr) + ")");
                ++m_nNotWritten;
                return;
            }
            for (const std::string& s : report.skipped)
                Problem(strWhere, "not written: " + s);
            Written(strFolder);
            return;
        }
        dravik::content::InternetMessage converted;
        const HRESULT hr = dravik::content::MessageToInternetMessage(message.Get(), strWhere, converted);
        if (FAILED(hr)) {
            Fail(strWhere, "the message cannot be read (" + HrText(hr) + ")");
            ++m_nNotWritten;
            return;
        }
        for (const dravik::content::ExportProblem& p : converted.problems)
            Problem(p.where, "not written: " + p.why);
        m_nAttachments += converted.attachments;
        m_nEmbedded += converted.embedded;
        if (m_options.format == Format::Mbox) {
            if (!mbox) {
                mbox = std::make_unique<CPendingFile>(dir / "mbox");
                if (!mbox->Ok())
                    Fail(strFolder, "the mbox file " + (dir / "mbox").string() + " cannot be made");
            }
            std::string text;
            dravik::content::AppendMboxrd(converted, text);
            mbox->Write(text);
            if (!mbox->Ok()) {
                ++m_nNotWritten;
                return;
            }
        } else {
            CPendingFile file(path);
            file.Write(converted.bytes);
            if (!file.Commit()) {
                Fail(strWhere, "the file " + path.string() + " cannot be written: " + std::strerror(errno));
                ++m_nNotWritten;
                return;
            }
        }
        Written(strFolder);
    }

    void Written(const std::string& strFolder)
    {
        ++m_nMessages;
        if (!m_bAnyFolder || strFolder != m_strLastFolder) {
            m_bAnyFolder = true;
            m_strLastFolder = strFolder;
            ++m_nFolders;
        }
        if (m_bProgress) {
            const auto now = std::chrono::steady_clock::now();
            if (now - m_lastProgress > std::chrono::milliseconds(100)) {
                m_lastProgress = now;
                std::string folder = strFolder.size() > 50 ? "..." + strFolder.substr(strFolder.size() - 47) : strFolder;
                std::fprintf(stderr, "\r\033[K%d messages written: %s", m_nMessages, folder.c_str());
                m_bProgressShown = true;
            }
        }
    }

    void EndProgress() const
    {
        if (m_bProgressShown)
            std::fputs("\r\033[K", stderr);
        m_bProgressShown = false;
    }

    void Problem(const std::string& strWhere, const std::string& strWhy)
    {
        EndProgress();
        std::fprintf(stderr, "dravik-export: %s: %s\n", strWhere.c_str(), strWhy.c_str());
        ++m_nProblems;
        m_bFailed = true;
    }

    void Fail(const std::string& strWhere, const std::string& strWhy)
    {
        EndProgress();
        std::fprintf(stderr, "dravik-export: %s: %s\n", strWhere.empty() ? "/" : strWhere.c_str(), strWhy.c_str());
        m_bFailed = true;
    }

    IMsgStore* m_pStore;
    const COptions& m_options;
    const bool m_bProgress;
    mutable bool m_bProgressShown = false;
    std::chrono::steady_clock::time_point m_lastProgress{};
    std::string m_strLastFolder;
    bool m_bAnyFolder = false;
    int m_nMessages = 0;
    int m_nFolders = 0;
    int m_nAttachments = 0;
    int m_nEmbedded = 0;
    int m_nNotWritten = 0;
    int m_nProblems = 0;
    bool m_bFailed = false;
};

int Export(const COptions& options)
{
    CTempProfile tempProfile;
    std::string strStep;
    std::error_code ec;
    const fs::path path = fs::absolute(options.strStore, ec);
    HRESULT hr = tempProfile.Create(ec ? options.strStore : path.string(), strStep);
    if (FAILED(hr)) {
        std::fprintf(stderr, "dravik-export: %s (\"%s\") failed: %s\n", strStep.c_str(), options.strStore.c_str(),
                     HrText(hr).c_str());
        return kFailed;
    }
    std::string strProfile = tempProfile.Name();
    LPMAPISESSION pSession = nullptr;
    hr = MAPILogonEx(0, strProfile.data(), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_LOGON_UI, &pSession);
    if (FAILED(hr)) {
        if (g_nStopSignal)
            return 128 + g_nStopSignal;
        std::fprintf(stderr, "dravik-export: MAPILogonEx (\"%s\") failed: %s%s\n", options.strStore.c_str(),
                     HrText(hr).c_str(), hr == MAPI_E_CORRUPT_DATA ? " (not a store file, or damaged)" : "");
        return kFailed;
    }
    int nResult = kFailed;
    {
        CRef<IMAPITable> stores;
        LPSRowSet pRows = nullptr;
        if (SUCCEEDED(pSession->GetMsgStoresTable(0, stores.Out())) &&
            SUCCEEDED(HrQueryAllRows(stores.Get(), nullptr, nullptr, nullptr, 0, &pRows)) && pRows->cRows > 0) {
            const SPropValue* pEid = PpropFindProp(pRows->aRow[0].lpProps, pRows->aRow[0].cValues, PR_ENTRYID);
            CRef<IMsgStore> store;
            CRef<IMAPIFolder> root;
            ULONG ulType = 0;
            if (pEid &&
                SUCCEEDED(pSession->OpenMsgStore(0, pEid->Value.bin.cb, reinterpret_cast<LPENTRYID>(pEid->Value.bin.lpb),
                                                 nullptr, MAPI_BEST_ACCESS, store.Out())) &&
                SUCCEEDED(store->OpenEntry(0, nullptr, nullptr, 0, &ulType, reinterpret_cast<LPUNKNOWN*>(root.Out())))) {
                CExporter exporter(store.Get(), options);
                CRef<IMAPIFolder> start = exporter.Find(root.Get(), options.strFolder);
                if (!start) {
                    std::fprintf(stderr, "dravik-export: no folder \"%s\" in the store\n", options.strFolder.c_str());
                } else {
                    exporter.Folder(start.Get(), options.strFolder.empty() ? "" : "/" + options.strFolder,
                                    fs::path(options.strOutDir));
                    exporter.Summary();
                    nResult = exporter.Failed() ? kFailed : kDone;
                }
            } else {
                std::fprintf(stderr, "dravik-export: the store cannot be opened\n");
            }
        } else {
            std::fprintf(stderr, "dravik-export: the store cannot be opened\n");
        }
        if (pRows)
            FreeProws(pRows);
    }
    pSession->Logoff(0, 0, 0);
    pSession->Release();
    if (g_nStopSignal) {
        std::fprintf(stderr, "dravik-export: interrupted\n");
        return 128 + g_nStopSignal;
    }
    return nResult;
}

} // namespace

int main(int argc, char** argv)
{
    COptions options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsageText, stdout);
            return kDone;
        }
        if (a == "--version") {
            std::printf("dravik-export %s\n", DRAVIK_VERSION);
            return kDone;
        }
        if (a == "--format" || a == "--folder" || a == "--codepage") {
            if (i + 1 >= argc)
                return Usage((a + " needs a value").c_str());
            const std::string value = argv[++i];
            if (a == "--format") {
                if (value == "eml")
                    options.format = Format::Eml;
                else if (value == "mbox")
                    options.format = Format::Mbox;
                else if (value == "msg")
                    options.format = Format::Msg;
                else
                    return Usage(("unknown format \"" + value + "\"").c_str());
                options.bFormat = true;
            } else if (a == "--folder") {
                options.strFolder = value;
            } else {
                char* pszEnd = nullptr;
                const unsigned long ul = std::strtoul(value.c_str(), &pszEnd, 10);
                if (value.empty() || *pszEnd || ul == 0 || ul > 0xFFFF || !dravik::mapi32::IsKnownCodePage(ul))
                    return Usage(("unknown code page \"" + value + "\"").c_str());
                options.ulCodePage = uint32_t(ul);
            }
        } else if (!a.empty() && a[0] == '-') {
            return Usage(("unknown argument \"" + a + "\"").c_str());
        } else {
            positional.push_back(a);
        }
    }
    if (!options.bFormat)
        return Usage("give --format eml, mbox or msg");
    if (positional.size() != 2)
        return Usage("give a store file and an output folder");
    options.strStore = positional[0];
    options.strOutDir = positional[1];
    std::error_code ec;
    fs::create_directories(options.strOutDir, ec);
    if (!fs::is_directory(options.strOutDir, ec)) {
        std::fprintf(stderr, "dravik-export: %s is not a folder and cannot be made\n", options.strOutDir.c_str());
        return kUsage;
    }
    InstallSignalHandlers();
    MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
    if (FAILED(MAPIInitialize(&init)))
        return kFailed;
    CTerminalPasswordPrompt prompt(&g_nStopSignal);
    dravik::mapi32::SetStorePasswordPrompt(&prompt);
    dravik::mapi32::SetStoreCodePage(options.ulCodePage);
    const int nResult = Export(options);
    dravik::mapi32::SetStorePasswordPrompt(nullptr);
    MAPIUninitialize();
    return nResult;
}
