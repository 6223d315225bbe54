// dravik-dump: logs on to a store file or a profile as Dravik does and writes
// every object that Dravik's tree shows, one line each, as text or JSON.
#include "DumpWalker.h"
#include "DumpWriter.h"
#include "TempProfile.h"

#include "DravikVersion.h"

#include "mapi32/codepage.h"
#include "mapi32/hooks.h"
#include "mapi32/mapix.h"
#include "props/IniFile.h"
#include "pst/ndb/ndb.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
// The reader of the output went away: not a failure of the dump.
constexpr int kPipeClosed = -2;

constexpr ULONG kLogonFlags = MAPI_LOGON_UI | MAPI_NEW_SESSION | MAPI_ALLOW_OTHERS | MAPI_EXTENDED;

const char* const kUsageText =
    "Usage: dravik-dump [--props] [--json] [--rows [--columns TAGS]] [--codepage N]\n"
    "                   (--file PATH | --profile NAME)\n"
    "Writes every object Dravik's tree shows for a store file or a MAPI profile:\n"
    "the message stores with their named properties, folders, messages,\n"
    "attachments and recipients, then the status table, the profiles, the\n"
    "message services and the address book.\n"
    "\n"
    "  --file PATH     open a store file (.pst or .ost) through a temporary profile,\n"
    "                  deleted again when the dump ends\n"
    "  --profile NAME  log on to an existing profile\n"
    "  --props         also write every property of each object: tag, name,\n"
    "                  named-property ID, type and value (for \"Named Properties\":\n"
    "                  ID, kind, name and GUID of each named property)\n"
    "  --json          one JSON object per line: depth, kind, text and, with\n"
    "                  --props, props (tag, name, namedId, type, value; for\n"
    "                  \"Named Properties\": id, kind, name, guid)\n"
    "  --rows          list each contents table as its rows instead of opening\n"
    "                  the messages: one line of kind \"row\" per row, below its\n"
    "                  folder, with the row's values (JSON: \"values\", keyed by\n"
    "                  tag; text: \"row:\" and each value after a tab)\n"
    "  --columns TAGS  the columns of those rows, property tags in hexadecimal\n"
    "                  separated by commas (0x0037001F,0x0E080003); the default:\n"
    "                  subject, sender name, delivery time, size, message class\n"
    "                  and entry ID\n"
    "  --codepage N    read every 8-bit string of the stores in Windows code page N\n"
    "                  (932, 936, 1251, 1255, ...; a MIME code page such as 50220\n"
    "                  is read as its Windows twin), whatever they declare; without\n"
    "                  it, each object's own code page is used, else its locale's,\n"
    "                  else the store's own, else 1252\n"
    "  --help          show this text\n"
    "  --version       show the program's version\n"
    "\n"
    "Text output: one line per object, \"kind: text\", indented two blanks per\n"
    "level; property rows follow their object one level deeper, their columns\n"
    "separated by tabs. Control characters and backslashes in texts are written\n"
    "as escapes (\\n, \\t, \\\\, \\xHH). JSON strings are UTF-8; bytes that are not\n"
    "UTF-8 become U+FFFD. Properties come in the order Dravik's property list\n"
    "shows them before it is sorted (an object's last property first). In the\n"
    "text form values are cut as the list cuts them (1023 bytes of text, 336\n"
    "bytes of binary); in JSON they are whole (every character of a string,\n"
    "every byte of a binary value as hexadecimal digits, a value too large for\n"
    "the list read whole from its object).\n"
    "Kinds: category, store, named-properties, folder, message, attachment,\n"
    "recipient, status, profile, service, abcontainer, mailuser, distlist, row,\n"
    "unknown.\n"
    "\n"
    "A store with a password takes it from $DRAVIK_STORE_PASSWORD, else asks on\n"
    "the terminal. Property names come from Dravik.ini (the current folder, the\n"
    "program's folder, then the installed data folder). Profiles are kept in\n"
    "$DRAVIK_MAPI_PROFILES, else $XDG_CONFIG_HOME/dravik/profiles.\n"
    "\n"
    "Exit status: 0 done; 1 logon failed, or objects could not be read, or values\n"
    "are damaged (PT_ERROR MAPI_E_CORRUPT_DATA), or the store file is shorter\n"
    "than its header says (each is reported on standard error, with the object's\n"
    "path and the property tag for a value, and the walk goes on); 2 bad usage;\n"
    "141 (SIGPIPE) when the reader of the output goes away, quietly;\n"
    "128 + the signal's number when interrupted (SIGINT, SIGTERM, SIGHUP).\n";

volatile std::sig_atomic_t g_nStopSignal = 0;

extern "C" void OnStopSignal(int nSignal)
{
    g_nStopSignal = nSignal;
}

// Interrupts end the walk at the next object so that the session is logged
// off and the temporary profile deleted; a closed output pipe is seen as a
// failed write instead of ending the process. System calls are not restarted
// after a signal, so that none of them keeps the dump waiting.
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

// Bad usage: what is wrong, on one line, and where to read more.
int Usage(const char* pszProblem)
{
    std::fprintf(stderr, "dravik-dump: %s\nTry 'dravik-dump --help' for more information.\n", pszProblem);
    return kUsage;
}

// "dravik-dump: cannot open "x.pst": no such file [MAPI_E_NOT_FOUND]": what
// could not be done, to what, and why in plain words with the error's name.
// pszMeaning replaces the error's general meaning where the step knows
// better (a store file that is not found is a missing file).
int Fail(const std::string& strWhat, HRESULT hr, const char* pszMeaning = nullptr)
{
    std::string strWhy = ErrorInPlainWords(hr);
    if (pszMeaning != nullptr)
        strWhy = pszMeaning + strWhy.substr(strWhy.find(" ["));
    std::fprintf(stderr, "dravik-dump: %s: %s\n", strWhat.c_str(), strWhy.c_str());
    return kFailed;
}

// The meaning of a failure to open a store file, where the error says more
// than its general meaning.
const char* StoreFileMeaning(HRESULT hr)
{
    return hr == MAPI_E_NOT_FOUND ? "no such file" : nullptr;
}

// The dictionary: in the current folder, next to the program, then in the
// installed data folder.
bool LoadDictionary()
{
    std::vector<fs::path> candidates{fs::path("Dravik.ini")};
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        candidates.push_back(exe.parent_path() / "Dravik.ini");
        // The data folder of the tree the program is installed in, wherever
        // that tree was put (a package installs into /usr, a build into its
        // own prefix).
        candidates.push_back(exe.parent_path() / "../share/dravik/Dravik.ini");
    }
    candidates.push_back(fs::path(DRAVIK_INSTALL_DATADIR) / "Dravik.ini");
    for (const fs::path& p : candidates) {
        if (fs::is_regular_file(p, ec) && GetIniFile().Load(p.string()))
            return true;
    }
    return false;
}

// A store's password: $DRAVIK_STORE_PASSWORD, else typed on the terminal
// without echo. An interrupt or no terminal cancels.
class CPasswordPrompt final : public dravik::mapi32::IStorePasswordPrompt
{
public:
    HRESULT AskStorePassword(ULONG, const std::string& strStore, const std::string& strPath,
                             std::string& strPassword) override
    {
        if (const char* psz = std::getenv("DRAVIK_STORE_PASSWORD")) {
            // Asked again only after a wrong password: do not loop on it.
            if (m_bUsedEnvironment)
                return MAPI_E_USER_CANCEL;
            m_bUsedEnvironment = true;
            strPassword = psz;
            return S_OK;
        }
        const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            return MAPI_E_USER_CANCEL;
        const std::string strPrompt =
            "Password for \"" + TextLine(strStore) + "\" (" + TextLine(strPath) + "): ";
        // Echo goes off (dropping anything typed ahead) before the prompt is
        // shown, so that nothing typed after seeing the prompt is discarded.
        termios saved{};
        const bool bTerminal = ::tcgetattr(fd, &saved) == 0;
        if (bTerminal) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(fd, TCSAFLUSH, &quiet);
        }
        [[maybe_unused]] ssize_t n = ::write(fd, strPrompt.data(), strPrompt.size());
        HRESULT hr = MAPI_E_USER_CANCEL;
        strPassword.clear();
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, 200);
            if (g_nStopSignal)
                break;
            if (r <= 0)
                continue;
            char c = 0;
            if (::read(fd, &c, 1) != 1)
                break;
            if (c == '\n' || c == '\r') {
                hr = S_OK;
                break;
            }
            strPassword += c;
        }
        if (bTerminal)
            ::tcsetattr(fd, TCSAFLUSH, &saved);
        n = ::write(fd, "\n", 1);
        ::close(fd);
        if (FAILED(hr))
            strPassword.clear();
        return hr;
    }

private:
    bool m_bUsedEnvironment = false;
};

struct COptions
{
    bool bProps = false;
    bool bJson = false;
    std::string strFile;
    std::string strProfile;
    bool bFile = false;
    bool bProfile = false;
    uint32_t ulCodePage = 0;  // 0: none chosen
    bool bRows = false;
    std::vector<ULONG> rowColumns{PR_SUBJECT_W,           PR_SENDER_NAME_W,   PR_MESSAGE_DELIVERY_TIME,
                                  PR_MESSAGE_SIZE,        PR_MESSAGE_CLASS_W, PR_ENTRYID};
};

// "0x0037001F,0x0E080003": the tags, else false.
bool ParseColumns(const std::string& text, std::vector<ULONG>& tags)
{
    tags.clear();
    size_t at = 0;
    while (at <= text.size()) {
        const size_t end = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, end - at);
        char* pszEnd = nullptr;
        const unsigned long long ull = std::strtoull(item.c_str(), &pszEnd, 16);
        if (item.empty() || *pszEnd || ull > 0xFFFFFFFFull || item[0] == '-' || item[0] == '+')
            return false;
        tags.push_back(static_cast<ULONG>(ull));
        at = end + 1;
    }
    return !tags.empty();
}

// 0 to go on, else the exit status (help or bad usage).
int ParseArguments(int argc, char** argv, COptions& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsageText, stdout);
            return -1;
        }
        if (arg == "--version") {
            std::printf("dravik-dump %s\n", DRAVIK_VERSION);
            return -1;
        }
        if (arg == "--props") {
            options.bProps = true;
        } else if (arg == "--json") {
            options.bJson = true;
        } else if (arg == "--rows") {
            options.bRows = true;
        } else if (arg == "--columns") {
            if (i + 1 >= argc)
                return Usage("--columns needs a value");
            const std::string value = argv[++i];
            if (!ParseColumns(value, options.rowColumns))
                return Usage(("bad columns \"" + value + "\": give property tags in hexadecimal, separated by commas")
                                 .c_str());
            options.bRows = true;
        } else if (arg == "--codepage") {
            if (i + 1 >= argc)
                return Usage("--codepage needs a value");
            const std::string value = argv[++i];
            char* pszEnd = nullptr;
            const unsigned long ul = std::strtoul(value.c_str(), &pszEnd, 10);
            if (value.empty() || *pszEnd || ul == 0 || ul > 0xFFFF || !dravik::mapi32::IsKnownCodePage(ul))
                return Usage(("unknown code page \"" + value + "\"").c_str());
            options.ulCodePage = static_cast<uint32_t>(ul);
        } else if (arg == "--file" || arg == "--profile") {
            if (i + 1 >= argc)
                return Usage((arg + " needs a value").c_str());
            if (options.bFile || options.bProfile)
                return Usage("give one of --file and --profile, once");
            (arg == "--file" ? options.bFile : options.bProfile) = true;
            (arg == "--file" ? options.strFile : options.strProfile) = argv[++i];
        } else {
            return Usage(("unknown argument \"" + arg + "\"").c_str());
        }
    }
    if (!options.bFile && !options.bProfile)
        return Usage("give --file PATH or --profile NAME");
    if ((options.bFile && options.strFile.empty()) || (options.bProfile && options.strProfile.empty()))
        return Usage("the store file or profile name is empty");
    return 0;
}

int Interrupted()
{
    std::fprintf(stderr, "dravik-dump: interrupted\n");
    return 128 + g_nStopSignal;
}

// A store file shorter than the end of file its header names was probably
// cut short: reported once, and the walk goes on (what is missing is reported
// where the walk meets it). True when reported.
bool WarnIfTruncated(const std::string& strPath)
{
    try {
        const dravik::pst::Ndb ndb(dravik::pst::openFile(strPath), {.checkCrc = false});
        if (!ndb.possiblyTruncated())
            return false;
        std::fprintf(stderr,
                     "dravik-dump: \"%s\" is possibly truncated: the file has %llu bytes, its header says %llu\n",
                     TextLine(strPath).c_str(), static_cast<unsigned long long>(ndb.fileSize()),
                     static_cast<unsigned long long>(ndb.header().ibFileEof));
        return true;
    } catch (const std::exception&) {
        return false;  // no store header: the logon says what is wrong
    }
}

int Dump(const COptions& options)
{
    CTempProfile tempProfile;
    std::string strProfile = options.strProfile;
    const bool bTruncated = options.bFile && WarnIfTruncated(options.strFile);
    if (options.bFile) {
        std::error_code ec;
        const fs::path path = fs::absolute(options.strFile, ec);
        std::string strStep;
        const HRESULT hr = tempProfile.Create(ec ? options.strFile : path.string(), strStep);
        if (FAILED(hr))
            return Fail("cannot open \"" + TextLine(options.strFile) + "\" (" + strStep + ")", hr,
                        StoreFileMeaning(hr));
        strProfile = tempProfile.Name();
    }
    if (g_nStopSignal)
        return Interrupted();

    LPMAPISESSION pSession = nullptr;
    HRESULT hr = MAPILogonEx(0, strProfile.data(), nullptr, kLogonFlags, &pSession);
    if (FAILED(hr) && g_nStopSignal)
        return Interrupted();  // e.g. Ctrl+C at the password prompt
    if (FAILED(hr)) {
        if (options.bFile)
            return Fail("cannot open \"" + TextLine(options.strFile) + "\" (logon)", hr, StoreFileMeaning(hr));
        return Fail("cannot log on to the profile \"" + TextLine(strProfile) + "\"", hr,
                    hr == MAPI_E_NOT_FOUND ? "no such profile" : nullptr);
    }
    if (g_nStopSignal) {
        pSession->Logoff(0, 0, 0);
        pSession->Release();
        return Interrupted();
    }

    CDumpWriter writer(stdout, options.bJson ? CDumpWriter::Format::Json : CDumpWriter::Format::Text,
                       options.bProps, &g_nStopSignal);
    int nResult = kDone;
    {
        CDumpWalker walker(pSession, writer, &g_nStopSignal);
        if (options.bRows)
            walker.ListRowsOnly(options.rowColumns);
        hr = walker.Run();
        if (walker.Interrupted() || g_nStopSignal) {
            nResult = -1;
        } else if (walker.OutputFailed() && walker.OutputError() == EPIPE) {
            // The reader has gone (| head): the dump ends quietly, as a
            // pipeline's writer does, once the session and profile are gone.
            nResult = kPipeClosed;
        } else if (walker.OutputFailed()) {
            std::fprintf(stderr, "dravik-dump: the output cannot be written: %s\n", std::strerror(walker.OutputError()));
            nResult = kFailed;
        } else if (FAILED(hr)) {
            std::string strWhat;
            const auto count = [&strWhat](int n, const char* pszOne, const char* pszMany) {
                if (n == 0)
                    return;
                strWhat += strWhat.empty() ? "" : ", ";
                strWhat += std::to_string(n) + (n == 1 ? pszOne : pszMany);
            };
            count(walker.DamagedCount(), " object could not be read", " objects could not be read");
            count(walker.DamagedValueCount(), " value is damaged", " values are damaged");
            std::fprintf(stderr, "dravik-dump: walk failed: %s: %s\n", strWhat.c_str(),
                         ErrorInPlainWords(hr).c_str());
            nResult = kFailed;
        }
    }
    pSession->Logoff(0, 0, 0);
    pSession->Release();
    tempProfile.Delete();
    if (nResult == kDone && bTruncated)
        nResult = kFailed;
    if (nResult == kPipeClosed) {
        // Ended by the signal of a closed pipe, as Unix tools are, so that
        // the shell sees what it sees for them (status 141).
        std::fflush(stderr);
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
        return 128 + SIGPIPE;
    }
    return nResult == -1 ? Interrupted() : nResult;
}

} // namespace

int main(int argc, char** argv)
{
    COptions options;
    if (const int nStatus = ParseArguments(argc, argv, options); nStatus != 0)
        return nStatus < 0 ? kDone : nStatus;
    InstallSignalHandlers();

    if (!LoadDictionary() && options.bProps)
        std::fprintf(stderr, "dravik-dump: Dravik.ini not found: names are shown as their hexadecimal keys\n");

    MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
    const HRESULT hr = MAPIInitialize(&init);
    if (FAILED(hr))
        return Fail("cannot start MAPI", hr);
    CPasswordPrompt prompt;
    dravik::mapi32::SetStorePasswordPrompt(&prompt);
    dravik::mapi32::SetStoreCodePage(options.ulCodePage);
    const int nStatus = Dump(options);
    dravik::mapi32::SetStorePasswordPrompt(nullptr);
    MAPIUninitialize();
    std::fflush(stdout);
    return nStatus;
}
