// dravik-export: writes the messages of a store file (.pst, .ost) or a .msg
// file as .eml files, mbox files or .msg files, in a folder tree like the
// store's. See res/man/dravik-export.1.
#include "DravikVersion.h"
#include "MapiRef.h"
#include "PasswordPrompt.h"
#include "TempProfile.h"

#include "mapi32/codepage.h"
#include "mapi32/hooks.h"
#include "mapi32/mapix.h"
#include "mapi32/profiles.h"
#include "tree/FolderExport.h"

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

struct COptions
{
    EExportFormat format = EExportFormat::Eml;
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

// The export's messages on standard error: each problem on a line of its own,
// a progress line on a terminal.
class CTerminalSink final : public IFolderExportSink
{
public:
    CTerminalSink() : m_bProgress(::isatty(2) == 1) {}

    bool KeepGoing() override { return g_nStopSignal == 0; }

    void OnWritten(const CExportCounts& counts, const std::string& strFolder) override
    {
        if (!m_bProgress)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastProgress > std::chrono::milliseconds(100)) {
            m_lastProgress = now;
            std::string folder = strFolder.size() > 50 ? "..." + strFolder.substr(strFolder.size() - 47) : strFolder;
            std::fprintf(stderr, "\r\033[K%d messages written: %s", counts.nMessages, folder.c_str());
            m_bProgressShown = true;
        }
    }

    void OnProblem(const std::string& strWhere, const std::string& strWhy) override
    {
        EndProgress();
        std::fprintf(stderr, "dravik-export: %s: %s\n", strWhere.c_str(), strWhy.c_str());
    }

    void EndProgress()
    {
        if (m_bProgressShown)
            std::fputs("\r\033[K", stderr);
        m_bProgressShown = false;
    }

private:
    const bool m_bProgress;
    bool m_bProgressShown = false;
    std::chrono::steady_clock::time_point m_lastProgress{};
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
        CRef<IMsgStore> store;
        CRef<IMAPIFolder> root;
        if (SUCCEEDED(OpenFirstStoreRoot(pSession, store.Out(), root.Out()))) {
            CTerminalSink sink;
            CFolderExport exporter(store.Get(), options.format, true, sink);
            CRef<IMAPIFolder> start = exporter.Find(root.Get(), options.strFolder);
            if (!start) {
                std::fprintf(stderr, "dravik-export: no folder \"%s\" in the store\n", options.strFolder.c_str());
            } else {
                exporter.Folder(start.Get(), options.strFolder.empty() ? "" : "/" + options.strFolder,
                                fs::path(options.strOutDir));
                sink.EndProgress();
                std::fprintf(stderr, "dravik-export: %s\n", exporter.Summary().c_str());
                nResult = exporter.Failed() ? kFailed : kDone;
            }
        } else {
            std::fprintf(stderr, "dravik-export: the store cannot be opened\n");
        }
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
                    options.format = EExportFormat::Eml;
                else if (value == "mbox")
                    options.format = EExportFormat::Mbox;
                else if (value == "msg")
                    options.format = EExportFormat::Msg;
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
    // Every message allocates and frees its values, parts and encoded bytes
    // anew: freed memory is kept for the next message instead of going back to
    // the system and being zeroed again by the kernel (peak memory is the same).
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    // The only profile this program writes is its temporary one, deleted at its
    // end: it need not wait for the disk (three syncs were most of a small
    // store's start-up).
    dravik::mapi32::ProfileStore::SetSynced(false);
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
