// dravik-dump: logs on to a store file or a profile as Dravik does and writes
// every object that Dravik's tree shows, one line each, as text or JSON.
#include "DumpWalker.h"
#include "DumpWriter.h"
#include "PasswordPrompt.h"
#include "TempProfile.h"
#include "WhereDump.h"

#include "DravikVersion.h"

#include "mapi32/codepage.h"
#include "mapi32/hooks.h"
#include "mapi32/mapix.h"
#include "props/IniFile.h"
#include "pst/messaging/ledger.h"
#include "pst/messaging/recovery.h"
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
#include <optional>
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
    "Usage: dravik-dump [--props] [--bodies] [--json] [--codepage N] (--file PATH | --profile NAME)\n"
    "       dravik-dump [--props] [--bodies] [--json] [--codepage N] [--ledger] [--recover] --file PATH\n"
    "       dravik-dump [--json] --rows [--columns TAGS] [--codepage N] (--file PATH | --profile NAME)\n"
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
    "  --bodies        also write each message's body: its decompressed RTF, its\n"
    "                  HTML (PR_HTML, else the HTML its RTF encapsulates), its\n"
    "                  text (PR_BODY, else the RTF's or the HTML's text) and the\n"
    "                  source of the body Dravik shows, whole (JSON: an object\n"
    "                  \"body\" with \"rtf\", \"html\", \"text\" and \"source\"\n"
    "                  where they exist; text: rows \"body.rtf\" and so on); a\n"
    "                  damaged body is reported like a damaged value\n"
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
    "  --where QUERY   write only the messages the query matches, each as its path\n"
    "                  (store/folder/.../subject), e.g. 'PR_SUBJECT contains \"budget\"'\n"
    "                  or 'PR_MESSAGE_SIZE >= 100000 and PR_HASATTACH = true'; the\n"
    "                  language is described in the README; a bad query is refused\n"
    "                  (status 2) with the column and what was expected\n"
    "  --ledger        (with --file) end with one line of the store file's ledger:\n"
    "                  its nodes and blocks reached through the folders, orphaned\n"
    "                  or unreadable, allocated space no block uses, free space\n"
    "                  holding intact blocks, folders whose counts differ from\n"
    "                  their rows, attachments with fewer bytes than they declare\n"
    "                  (kind \"ledger\")\n"
    "  --recover       (with --file) end with what the file holds outside its\n"
    "                  folders, below a folder line \"Recovered Items\": under\n"
    "                  \"Orphaned\" the messages and folders no folder lists, under\n"
    "                  \"Deleted\" the messages rebuilt from intact blocks in free\n"
    "                  space; with --props each shows where it came from, the\n"
    "                  offsets of its blocks and whether it is complete\n"
    "                  (PR_DRAVIK_RECOVERED_FROM, _BLOCKS, _STATE: 0x67E0-0x67E2)\n"
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
    "recipient, status, profile, service, abcontainer, mailuser, distlist, ledger, row,\n"
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

struct COptions
{
    bool bProps = false;
    bool bBodies = false;
    bool bJson = false;
    std::string strFile;
    std::string strProfile;
    bool bFile = false;
    bool bProfile = false;
    uint32_t ulCodePage = 0;  // 0: none chosen
    std::optional<dravik::query::CQuery> where;
    bool bLedger = false;
    bool bRecover = false;
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
        if (arg == "--where") {
            if (i + 1 >= argc)
                return Usage("--where needs a query");
            dravik::query::QueryError error;
            LoadDictionary();  // property names
            options.where = dravik::query::CQuery::Parse(argv[++i], error);
            if (!options.where)
                return Usage(("bad query: " + error.message).c_str());
        } else if (arg == "--props") {
            options.bProps = true;
        } else if (arg == "--bodies") {
            options.bBodies = true;
        } else if (arg == "--ledger") {
            options.bLedger = true;
        } else if (arg == "--recover") {
            options.bRecover = true;
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
    if ((options.bLedger || options.bRecover) && !options.bFile)
        return Usage(options.bLedger ? "--ledger needs --file" : "--recover needs --file");
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

// The provenance of a recovered object, as property rows: where it came from,
// the offsets of the blocks it was read from, and whether it is complete.
std::vector<CPropRowText> ProvenanceRows(const dravik::pst::RecoveredItem& item)
{
    return {{"0x67E0001F", "PR_DRAVIK_RECOVERED_FROM", "", "PT_UNICODE", item.origin()},
            {"0x67E1001F", "PR_DRAVIK_RECOVERED_BLOCKS", "", "PT_UNICODE", item.offsets()},
            {"0x67E2001F", "PR_DRAVIK_RECOVERED_STATE", "", "PT_UNICODE", item.state()}};
}

// A recovered message's recipients and attachments, as the tree lists them,
// as far as they can be read.
void WriteRecoveredMessage(const dravik::pst::Recovery& recovery, const dravik::pst::RecoveredItem& item,
                           int nDepth, CDumpWriter& writer)
{
    writer.Write(nDepth, "message", item.name, ProvenanceRows(item));
    try {
        const dravik::pst::Message m = recovery.message(item);
        try {
            const dravik::pst::TableContext a = m.attachmentTable();
            if (a.rowCount())
                writer.Write(nDepth + 1, "category", "Attachments", {});
            for (size_t i = 0; i < a.rowCount(); ++i) {
                const auto row = a.row(i);
                const auto* name = row.find(0x3707);
                if (!name)
                    name = row.find(0x3704);
                writer.Write(nDepth + 2, "attachment", name ? name->utf8() : std::string(), {});
            }
        } catch (const dravik::pst::Error&) {
        }
        try {
            const dravik::pst::TableContext r = m.recipientTable();
            if (r.rowCount())
                writer.Write(nDepth + 1, "category", "Recipients", {});
            for (size_t i = 0; i < r.rowCount(); ++i) {
                const auto row = r.row(i);
                const auto* name = row.find(0x3001);
                writer.Write(nDepth + 2, "recipient", name ? name->utf8() : std::string(), {});
            }
        } catch (const dravik::pst::Error&) {
        }
    } catch (const dravik::pst::Error&) {
        // The message's line says what is missing.
    }
}

// What the store file holds outside its hierarchy: with bRecover, the
// recovered objects below a folder line "Recovered Items" ("Orphaned" and
// "Deleted" below it); with bLedger, one line of the ledger's counts. False
// when the file cannot be read as a store at all.
bool WriteFileReport(const std::string& strPath, bool bLedger, bool bRecover, CDumpWriter& writer)
{
    try {
        auto store = dravik::pst::Store::open(strPath);
        const dravik::pst::Ledger ledger = dravik::pst::buildLedger(*store);
        store.reset();
        if (bRecover) {
            const dravik::pst::Recovery recovery = dravik::pst::recoverItems(dravik::pst::openFile(strPath), ledger);
            writer.Write(0, "folder", "Recovered Items", {});
            for (const auto source : {dravik::pst::RecoveredItem::Source::OrphanedNode,
                                      dravik::pst::RecoveredItem::Source::FreeSpace}) {
                writer.Write(1, "folder", source == dravik::pst::RecoveredItem::Source::OrphanedNode ? "Orphaned" : "Deleted",
                             {});
                for (const auto& item : recovery.items) {
                    if (item.source != source)
                        continue;
                    if (item.kind == dravik::pst::RecoveredItem::Kind::Folder)
                        writer.Write(2, "folder", item.name, ProvenanceRows(item));
                    else
                        WriteRecoveredMessage(recovery, item, 2, writer);
                }
            }
        }
        if (bLedger)
            writer.Write(0, "ledger", ledger.summary(), {});
        writer.Flush();
        return writer.Ok();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "dravik-dump: ledger of \"%s\" failed: %s\n", TextLine(strPath).c_str(), e.what());
        return false;
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
    writer.SetBodies(options.bBodies);
    int nResult = kDone;
    if (options.where) {
        const CWhereOutcome outcome = DumpWhere(pSession, *options.where, writer, &g_nStopSignal);
        if (outcome.hr == MAPI_E_USER_CANCEL || g_nStopSignal) {
            nResult = -1;
        } else if (!writer.Ok()) {
            std::fprintf(stderr, "dravik-dump: the output cannot be written: %s\n", std::strerror(writer.Error()));
            nResult = kFailed;
        } else if (FAILED(outcome.hr) || outcome.nErrors > 0) {
            std::fprintf(stderr, "dravik-dump: search failed: %d objects could not be read: error %08X\n",
                         outcome.nErrors, static_cast<unsigned>(outcome.hr));
            nResult = kFailed;
        }
    } else {
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
    if (nResult >= 0 && (options.bLedger || options.bRecover) && !g_nStopSignal &&
        !WriteFileReport(options.strFile, options.bLedger, options.bRecover, writer))
        nResult = kFailed;
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
    CTerminalPasswordPrompt prompt(&g_nStopSignal);
    dravik::mapi32::SetStorePasswordPrompt(&prompt);
    dravik::mapi32::SetStoreCodePage(options.ulCodePage);
    const int nStatus = Dump(options);
    dravik::mapi32::SetStorePasswordPrompt(nullptr);
    MAPIUninitialize();
    std::fflush(stdout);
    return nStatus;
}
