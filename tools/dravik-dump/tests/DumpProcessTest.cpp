// dravik-dump as a user runs it: its exit statuses and messages, the
// temporary profile that never outlives a run (done, failed, interrupted,
// output closed early), logon to an existing profile, exact property lines,
// and the walk going on past damaged objects.
#include "DumpTestSupport.h"
#include "StoreProfile.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"
#include "pst/messaging/store.h"
#include "pst/messaging/walk.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <pty.h>

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <map>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>

using namespace dumptest;

namespace {

const std::string kNotAStore = std::string(DRAVIK_SAMPLES_DIR) + "/README.md";

bool Contains(const std::string& haystack, const std::string& needle)
{
    return haystack.find(needle) != std::string::npos;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool HasLine(const std::string& text, const std::string& line)
{
    const std::vector<std::string> lines = Lines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

struct CUsageCase
{
    const char* name;
    std::vector<std::string> args;
    int nExit;
    std::string stderrHas;  // in standard error (or standard output for --help)
    std::map<std::string, std::string> env = {};
};

void PrintTo(const CUsageCase& c, std::ostream* os)
{
    *os << c.name;
}

class DumpExitStatus : public ::testing::TestWithParam<CUsageCase>
{
};

TEST_P(DumpExitStatus, ReportsTheFailingStepAndLeavesNoProfile)
{
    CTempDir profiles;
    const CResult r = RunDump(GetParam().args, profiles.Path(), GetParam().env);
    EXPECT_EQ(r.nExit, GetParam().nExit) << r.strErr;
    EXPECT_TRUE(Contains(GetParam().nExit == 0 ? r.strOut : r.strErr, GetParam().stderrHas))
        << "stdout: " << r.strOut << "\nstderr: " << r.strErr;
    if (GetParam().nExit != 0) {
        EXPECT_EQ(r.strOut, "") << "nothing is dumped after a failure";
    }
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DumpExitStatus,
    ::testing::Values(
        CUsageCase{"Help", {"--help"}, 0, "Usage: dravik-dump [--props] [--bodies] [--json] [--codepage N] (--file PATH | --profile NAME)"},
        CUsageCase{"NoArguments", {}, 2, "give --file PATH or --profile NAME"},
        CUsageCase{"UnknownArgument", {"--file", "x.pst", "--tree"}, 2, "unknown argument \"--tree\""},
        CUsageCase{"MissingValue", {"--props", "--file"}, 2, "--file needs a value"},
        CUsageCase{"LedgerOfAProfile", {"--ledger", "--profile", "P"}, 2, "--ledger needs --file"},
        CUsageCase{"RecoverFromAProfile", {"--recover", "--profile", "P"}, 2, "--recover needs --file"},
        CUsageCase{"FileAndProfile", {"--file", "x.pst", "--profile", "P"}, 2, "give one of --file and --profile"},
        CUsageCase{"NoSuchFile", {"--file", "/nonexistent/store.pst"}, 1,
                   "dravik-dump: cannot open \"/nonexistent/store.pst\" (ConfigureMsgService): no such file "
                   "[MAPI_E_NOT_FOUND]\n"},
        CUsageCase{"NotAStoreFile", {"--json", "--file", kNotAStore}, 1,
                   ": not a PST or OST file, or damaged [MAPI_E_CORRUPT_DATA]\n"},
        CUsageCase{"NoSuchProfile", {"--profile", "NoSuchProfile"}, 1,
                   "dravik-dump: cannot log on to the profile \"NoSuchProfile\": "},
        // No password and no terminal to ask on: the logon is cancelled.
        CUsageCase{"PasswordNotGiven", {"--file", Sample("java-libpst-passworded.pst")}, 1,
                   "dravik-dump: cannot open \"" + Sample("java-libpst-passworded.pst") +
                       "\" (logon): cancelled [MAPI_E_USER_CANCEL]\n"},
        CUsageCase{"WrongPassword",
                   {"--file", Sample("pstsdk-test_ansi.pst")},
                   1,
                   "(logon): logon refused: wrong password, or no password given [MAPI_E_LOGON_FAILED]\n",
                   {{"DRAVIK_STORE_PASSWORD", "wrong"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Bad usage says what is wrong on one line and where to read more, no more.
TEST(DumpUsage, BadUsageIsOneLineAndAHint)
{
    CTempDir profiles;
    const CResult r = RunDump({"--file", "x.pst", "--tree"}, profiles.Path());
    EXPECT_EQ(r.nExit, 2);
    EXPECT_EQ(r.strErr, "dravik-dump: unknown argument \"--tree\"\n"
                        "Try 'dravik-dump --help' for more information.\n");
}

TEST(DumpProfile, LogsOnToAnExistingProfileAndLeavesItInPlace)
{
    CTempDir profiles;
    ASSERT_EQ(::setenv("DRAVIK_MAPI_PROFILES", profiles.Path().c_str(), 1), 0);
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
    ASSERT_EQ(CreateStoreProfile("Two Stores", {Sample("pstsdk-sample1.pst"), Sample("pstsdk-submessage.pst")}), S_OK);
    MAPIUninitialize();

    const CResult r = RunDump({"--json", "--profile", "Two Stores"}, profiles.Path());
    EXPECT_EQ(r.nExit, 0) << r.strErr;
    std::vector<std::string> stores, profileRows;
    for (const QJsonObject& o : JsonLines(r.strOut)) {
        if (o["kind"] == QStringLiteral("store"))
            stores.push_back(o["text"].toString().toStdString());
        if (o["kind"] == QStringLiteral("profile"))
            profileRows.push_back(o["text"].toString().toStdString());
    }
    EXPECT_EQ(stores.size(), 2u) << r.strOut;
    EXPECT_EQ(profileRows, std::vector<std::string>{"Two Stores"});
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{"Two Stores.prof"})
        << "the user's profile stays, and no other is left";
}

// Dumps started together in one profile folder each make a temporary
// profile of their own and delete only that one.
TEST(DumpProfile, ConcurrentDumpsKeepTheirTemporaryProfilesApart)
{
    CTempDir profiles, dir;
    std::vector<std::unique_ptr<CProcess>> runs;
    for (int i = 0; i < 4; ++i) {
        const std::string n = std::to_string(i);
        runs.push_back(std::make_unique<CProcess>(
            std::vector<std::string>{DumpExe(), "--json", "--file", Sample("pst-extractor-enron.pst")},
            std::map<std::string, std::string>{{"DRAVIK_MAPI_PROFILES", profiles.Path().string()}},
            dir.Path() / ("out" + n), dir.Path() / ("err" + n)));
    }
    std::set<std::string> names;
    for (int i = 0; i < 4; ++i) {
        const std::string n = std::to_string(i);
        EXPECT_EQ(runs[i]->Wait(), 0) << ReadFile(dir.Path() / ("err" + n));
        const std::vector<QJsonObject> lines = JsonLines(ReadFile(dir.Path() / ("out" + n)));
        for (const QJsonObject& o : lines)
            if (o["kind"] == QStringLiteral("service"))
                names.insert(o["text"].toString().toStdString());
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const QJsonObject& o) { return o["kind"] == QStringLiteral("message"); }),
                  71);
    }
    EXPECT_EQ(names.size(), 4u) << "each dump shows its own temporary profile's service";
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

// The demo store's lines as the property list shows them, checked by hand:
// a named property with its numeric name, one with a string name (no numeric
// ID), PT_ERROR values with their errors, a multi-valued value, binary values,
// the object type with its name, and a
// string name under "Named Properties".
TEST(DumpProps, DemoStoreShowsPropertyRowsAsThePropertyListDoes)
{
    CTempDir dir;
    const std::string demo = WriteStore(dir.Path(), "demo.pst", {"demo"});
    if (demo.empty())
        GTEST_SKIP() << "pstgen is not built";
    CTempDir profiles;
    const CResult r = RunDump({"--props", "--file", demo}, profiles.Path());
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(r.strErr, "");
    const std::string& out = r.strOut;
    for (const char* line : {
             "  store: Dravik Demo Store",
             "    0x0ffe0003\tPR_OBJECT_TYPE\t\tPT_LONG\t1 [MAPI_STORE]",
             "    0x80020003\t0x00008002\t0x00000001\tPT_LONG\t42",
             "    named-properties: Named Properties",
             "      \tMNID_STRING\tKeywords\t{00020329-0000-0000-C000-000000000046}",
             "      0x00008580\tMNID_ID\t\t{00062008-0000-0000-C000-000000000046}",
             "        message: Large and unusual values",
             "          0x1000000a\tPR_BODY\t\tPT_ERROR\tMAPI_E_NOT_ENOUGH_MEMORY (0x8007000E)",
             "          0x80041003\t0x00008004\t\"Sample Numbers\"\tPT_MV_LONG\t3 values: [1] [-2] [300000]",
             "            attachment: QUARTE~1.TXT",
             // No name of any kind: its number.
             "            attachment: Attachment 2",
             "              0x37010102\tPR_ATTACH_DATA_BIN\t\tPT_BINARY\t00010203FEFF",
             "              0x3701000a\tPR_ATTACH_DATA_BIN\t\tPT_ERROR\tMAPI_E_NO_SUPPORT (0x80040102)",
         })
        EXPECT_TRUE(HasLine(out, line)) << "missing line: " << line;
    // Lines whose string type (PT_STRING8 or PT_UNICODE) is not the point:
    // a string-named property shows its name in quotes (a set of no known
    // name adds nothing), and a text with a line end keeps to its line.
    for (const auto& [head, tail] : std::vector<std::pair<std::string, std::string>>{
             {"    0x8003001", "\t0x00008003\t\"StoreComment\"\tPT_"},
             {"          0x1000001", "\tPR_BODY\t\tPT_"},
         }) {
        const std::vector<std::string> lines = Lines(out);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.rfind(head, 0) == 0 && Contains(l, tail);
        })) << "no line " << head << "..." << tail;
    }
    EXPECT_TRUE(Contains(out, "\tMessage \"Welcome to Dravik\".\\r\\n\n"));

    // The same rows as JSON.
    const CResult j = RunDump({"--props", "--json", "--file", demo}, profiles.Path());
    ASSERT_EQ(j.nExit, 0) << j.strErr;
    bool found = false;
    for (const QJsonObject& o : JsonLines(j.strOut)) {
        if (o["kind"] != QStringLiteral("store"))
            continue;
        EXPECT_EQ(o["depth"].toInt(), 1);
        EXPECT_EQ(o["text"].toString(), QStringLiteral("Dravik Demo Store"));
        for (const QJsonValue& v : o["props"].toArray()) {
            if (v.toObject()["tag"] == QStringLiteral("0x80020003")) {
                found = true;
                EXPECT_EQ(v.toObject(), (QJsonObject{{"tag", "0x80020003"},
                                                     {"name", "0x00008002"},
                                                     {"namedId", "0x00000001"},
                                                     {"type", "PT_LONG"},
                                                     {"value", "42"}}));
            }
        }
    }
    EXPECT_TRUE(found);

    // JSON values are whole: the 40 KB body (too large for the list, read
    // from its message) and the 3,000-byte HTML as 6,000 hexadecimal digits.
    std::string body, html;
    for (int i = 0; body.size() < 40000; ++i)
        body += "Line " + std::to_string(i) + " of a body longer than 32 KiB.\r\n";
    for (size_t i = 0; i < 3000; ++i) {
        char sz[3];
        std::snprintf(sz, sizeof sz, "%02X", static_cast<unsigned>(static_cast<uint8_t>(i * 7 + 3)));
        html += sz;
    }
    bool bBody = false, bHtml = false;
    for (const QJsonObject& o : JsonLines(j.strOut)) {
        if (o["kind"] != QStringLiteral("message") || o["text"] != QStringLiteral("Large and unusual values"))
            continue;
        for (const QJsonValue& v : o["props"].toArray()) {
            const QString tag = v.toObject()["tag"].toString();
            const std::string value = v.toObject()["value"].toString().toStdString();
            if (tag == QStringLiteral("0x1000000a")) {
                bBody = true;
                EXPECT_EQ(value.size(), body.size());
                EXPECT_TRUE(value == body) << "the body is not whole";
            } else if (tag == QStringLiteral("0x10130102")) {
                bHtml = true;
                EXPECT_EQ(value, html);
            }
        }
    }
    EXPECT_TRUE(bBody && bHtml);
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

// The text output is the JSON output written the other way.
// The ledger ends the walk with one line of counts, in JSON an object of kind "ledger".
TEST(DumpLedger, EndsTheWalkWithOneLineOfCounts)
{
    CTempDir profiles;
    const CResult text = RunDump({"--ledger", "--file", Sample("pstsdk-sample1.pst")}, profiles.Path());
    ASSERT_EQ(text.nExit, 0) << text.strErr;
    const std::vector<std::string> lines = Lines(text.strOut);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("ledger: nodes ", 0), 0u) << lines.back();
    EXPECT_TRUE(Contains(lines.back(), " reached, ")) << lines.back();
    const CResult json = RunDump({"--json", "--ledger", "--file", Sample("pstsdk-sample1.pst")}, profiles.Path());
    ASSERT_EQ(json.nExit, 0) << json.strErr;
    const std::vector<QJsonObject> objects = JsonLines(json.strOut);
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(objects.back()["kind"].toString().toStdString(), "ledger");
    EXPECT_EQ(objects.back()["depth"].toInt(), 0);
    for (size_t i = 0; i + 1 < objects.size(); ++i)
        EXPECT_NE(objects[i]["kind"].toString().toStdString(), "ledger");
}

// --recover lists what pstgen removed below "Recovered Items", each message with its
// provenance; the store file is left as it was.
TEST(DumpLedger, RecoverListsTheRemovedMessagesWithTheirProvenance)
{
    CTempDir dir;
    CTempDir profiles;
    const std::string store = WriteStore(dir.Path(), "removed.pst",
                                         {"scale", "--folders", "2", "--messages", "10", "--attachment-size", "3000",
                                          "--delete", "20", "--overwrite", "1", "--orphan", "1", "--truth",
                                          (dir.Path() / "truth.json").string()});
    if (store.empty())
        GTEST_SKIP() << "pstgen is not built";
    const std::string before = ReadFile(store);
    const CResult r = RunDump({"--json", "--props", "--recover", "--ledger", "--file", store}, profiles.Path());
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_TRUE(ReadFile(store) == before);
    const QJsonObject truth = QJsonDocument::fromJson(QByteArray::fromStdString(ReadFile(dir.Path() / "truth.json"))).object();
    const std::vector<QJsonObject> lines = JsonLines(r.strOut);
    size_t at = 0;
    while (at < lines.size() && !(lines[at]["kind"] == "folder" && lines[at]["text"] == "Recovered Items"))
        ++at;
    ASSERT_LT(at, lines.size()) << "no \"Recovered Items\" line";
    std::map<std::string, std::string> state;  // subject -> PR_DRAVIK_RECOVERED_STATE
    for (size_t i = at + 1; i < lines.size(); ++i)
        if (lines[i]["kind"] == "message")
            state[lines[i]["text"].toString().toStdString()] = PropValue(lines[i], "0x67E2");
    EXPECT_EQ(lines.back()["kind"].toString().toStdString(), "ledger");
    const QJsonArray removed = truth["removed"].toArray();
    ASSERT_EQ(removed.size(), 5);  // 4 deleted (1 overwritten), 1 orphaned
    for (const QJsonValue& v : removed) {
        const QJsonObject o = v.toObject();
        const std::string subject = o["subject"].toString().toStdString();
        ASSERT_TRUE(state.count(subject)) << subject;
        EXPECT_EQ(state[subject].rfind(o["how"] == "partly-overwritten" ? "partial" : "complete", 0), 0u)
            << subject << ": " << state[subject];
    }
    EXPECT_EQ(state.size(), 5u);
}

TEST(DumpFormats, TextAndJsonListTheSameObjects)
{
    CTempDir profiles;
    const std::string sample = Sample("pst-extractor-enron.pst");
    const CResult text = RunDump({"--file", sample}, profiles.Path());
    const CResult json = RunDump({"--json", "--file", sample}, profiles.Path());
    ASSERT_EQ(text.nExit, 0) << text.strErr;
    ASSERT_EQ(json.nExit, 0) << json.strErr;
    std::vector<std::string> fromJson;
    for (const QJsonObject& o : JsonLines(json.strOut)) {
        std::string t = o["text"].toString().toStdString();
        std::string escaped;
        for (char c : t)
            escaped += c == '\\' ? std::string("\\\\") : c == '\n' ? std::string("\\n") : std::string(1, c);
        fromJson.push_back(std::string(static_cast<size_t>(o["depth"].toInt()) * 2, ' ') +
                           o["kind"].toString().toStdString() + ": " + escaped);
    }
    std::vector<std::string> textLines = Lines(text.strOut);
    // The only lines that differ are those of the temporary profile, whose name is drawn.
    ASSERT_EQ(textLines.size(), fromJson.size());
    size_t differ = 0;
    for (size_t i = 0; i < textLines.size(); ++i)
        if (textLines[i] != fromJson[i]) {
            ++differ;
            EXPECT_TRUE(Contains(textLines[i], "PROFILE")) << textLines[i] << "\n" << fromJson[i];
        }
    EXPECT_LE(differ, 2u);
}

struct CSignalCase
{
    const char* name;
    int nSignal;
};

void PrintTo(const CSignalCase& c, std::ostream* os)
{
    *os << c.name;
}

class DumpInterrupted : public ::testing::TestWithParam<CSignalCase>
{
};

// Interrupted in the middle of a large store, the dump stops at the next
// object, logs off, deletes its profile and exits with 128 + the signal;
// every line it wrote is complete.
TEST_P(DumpInterrupted, StopsCleanlyAndDeletesTheTemporaryProfile)
{
    CTempDir dir;
    const std::string store = WriteStore(dir.Path(), "large.pst",
                                         {"scale", "--folders", "4", "--messages", "2500", "--attachment-size",
                                          "2000", "--body-size", "500"});
    if (store.empty())
        GTEST_SKIP() << "pstgen is not built";
    CTempDir profiles;
    // The dump writes into a pipe this test reads: it cannot run ahead of the
    // reader, so it is still walking when the signal comes, however fast it is.
    const fs::path out = dir.Path() / "out", err = dir.Path() / "err";
    ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
    const int reader = ::open(out.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    CProcess p({DumpExe(), "--props", "--json", "--file", store}, {{"DRAVIK_MAPI_PROFILES", profiles.Path().string()}},
               out, err);
    std::string written;
    // False at the end of the output (the dump closed the pipe, or never opened it).
    const auto readSome = [&]() {
        pollfd pfd{reader, POLLIN, 0};
        if (::poll(&pfd, 1, 200) <= 0)
            return p.Running();
        char buffer[4096];
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n > 0)
            written.append(buffer, static_cast<size_t>(n));
        return n != 0;
    };
    // Until the walk is among the messages.
    while (std::count(written.begin(), written.end(), '\n') < 200 && readSome()) {
    }
    ASSERT_TRUE(p.Running()) << "the dump ended before it could be interrupted";
    ::kill(p.Pid(), GetParam().nSignal);
    while (readSome()) {
    }
    ::close(reader);
    EXPECT_EQ(p.Wait(), 128 + GetParam().nSignal);
    EXPECT_TRUE(Contains(ReadFile(err), "dravik-dump: interrupted")) << ReadFile(err);
    EXPECT_FALSE(Contains(written, "\"Status Tables\"")) << "the walk went on after the signal";
    EXPECT_FALSE(written.empty());
    EXPECT_EQ(written.back(), '\n');
    JsonLines(written);
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Signals, DumpInterrupted,
                         ::testing::Values(CSignalCase{"SIGINT", SIGINT}, CSignalCase{"SIGTERM", SIGTERM}),
                         [](const auto& info) { return std::string(info.param.name); });

// A reader that stops reading leaves the dump blocked on a full pipe; a
// signal still ends it, with its profile deleted.
TEST_P(DumpInterrupted, EndsWhileBlockedOnAFullPipe)
{
    CTempDir dir;
    const fs::path fifo = dir.Path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for reading, and never read.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    CTempDir profiles;
    CProcess p({DumpExe(), "--props", "--file", Sample("pst-extractor-enron.pst")},
               {{"DRAVIK_MAPI_PROFILES", profiles.Path().string()}}, fifo, dir.Path() / "err");
    // Wait until the pipe is full and the dump waits for room in it.
    const auto blockedUntil = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int nQueued = 0;
    while (p.Running() && std::chrono::steady_clock::now() < blockedUntil) {
        int nNow = 0;
        ::ioctl(reader, FIONREAD, &nNow);
        if (nNow > 0 && nNow == nQueued)
            break;  // nothing more arrived for a while: the pipe is full
        nQueued = nNow;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ASSERT_TRUE(p.Running()) << "the dump ended before the pipe was full";
    ASSERT_GT(nQueued, 0);
    ::kill(p.Pid(), GetParam().nSignal);
    const auto endBy = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (p.Running() && std::chrono::steady_clock::now() < endBy)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const bool bEnded = !p.Running();
    ::close(reader);
    ASSERT_TRUE(bEnded) << "the dump did not end on the signal while the pipe was full";
    EXPECT_EQ(p.Wait(), 128 + GetParam().nSignal);
    EXPECT_TRUE(Contains(ReadFile(dir.Path() / "err"), "dravik-dump: interrupted")) << ReadFile(dir.Path() / "err");
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

// A reader that goes away (dravik-dump ... | head -1) ends the dump quietly
// as it ends Unix tools, by SIGPIPE (status 141 to a shell), once the
// temporary profile is deleted.
TEST(DumpOutput, ClosedPipeEndsTheDumpQuietlyAndDeletesTheProfile)
{
    CTempDir profiles, dir;
    const fs::path err = dir.Path() / "err";
    const std::string cmd = "DRAVIK_MAPI_PROFILES='" + profiles.Path().string() + "' '" + DumpExe() +
                            "' --props --file '" + Sample("pst-extractor-outlookcom.ost") + "' 2>'" + err.string() + "'";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256];
    ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
    EXPECT_STREQ(line, "category: Message Stores\n");
    const int status = ::pclose(pipe);
    const bool bPipeSignal = (WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) ||
                             (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGPIPE);
    EXPECT_TRUE(bPipeSignal) << "status " << status;
    EXPECT_EQ(ReadFile(err), "") << "nothing said about the reader going away";
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

// A copy of a real store with one message's data block overwritten: that
// message is reported on standard error with the error and its path, every
// other object is dumped, the walk reaches the address book, and the exit
// status says the dump is incomplete.
TEST(DumpDamaged, ADamagedMessageIsReportedAndTheWalkGoesOn)
{
    const std::string path = Sample("pst-extractor-enron.pst");
    uint32_t victim = 0;
    dravik::pst::BlockEntry block;
    {
        auto store = dravik::pst::Store::open(path);
        dravik::pst::walkStore(*store, [&](const dravik::pst::WalkEvent& e) {
            if (e.kind == dravik::pst::WalkEvent::Kind::Message && !victim && e.depth > 1)
                victim = e.nid;
        });
        ASSERT_NE(victim, 0u);
        block = store->ndb().block(store->ndb().node(victim).bidData);
    }
    CTempDir dir;
    std::string bytes = ReadFile(path);
    ASSERT_LE(block.ib + block.cb, bytes.size());
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(block.ib),
              bytes.begin() + static_cast<std::ptrdiff_t>(block.ib + block.cb), '\xFF');
    const fs::path damaged = dir.Path() / "damaged.pst";
    std::ofstream(damaged, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

    CTempDir profiles;
    const CResult good = RunDump({"--json", "--file", path}, profiles.Path());
    const CResult r = RunDump({"--props", "--json", "--file", damaged.string()}, profiles.Path());
    EXPECT_EQ(r.nExit, 1);
    EXPECT_TRUE(Contains(r.strErr, "dravik-dump: an object cannot be opened: \"Message Stores/")) << r.strErr;
    EXPECT_TRUE(Contains(r.strErr, "error 8004011B")) << r.strErr;
    EXPECT_TRUE(Contains(r.strErr, "dravik-dump: walk failed: 1 object could not be read")) << r.strErr;
    const auto count = [](const std::vector<QJsonObject>& lines, const char* kind) {
        return std::count_if(lines.begin(), lines.end(), [&](const QJsonObject& o) { return o["kind"] == kind; });
    };
    const std::vector<QJsonObject> goodLines = JsonLines(good.strOut), lines = JsonLines(r.strOut);
    // The damaged message keeps its row; it only loses its groups.
    EXPECT_EQ(count(lines, "message"), count(goodLines, "message"));
    EXPECT_EQ(count(lines, "folder"), count(goodLines, "folder"));
    EXPECT_GE(count(lines, "recipient") + count(lines, "attachment"),
              count(goodLines, "recipient") + count(goodLines, "attachment") - 50);
    EXPECT_EQ(lines.back()["kind"], goodLines.back()["kind"]);
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

// A store password typed on the terminal: asked for with the store's name,
// not echoed, accepted; Ctrl+C at the prompt ends the dump as an interrupt.
class DumpTerminal : public ::testing::Test
{
protected:
    // Starts the dump on a new pseudo-terminal; fd is its master side.
    pid_t Start(const fs::path& profiles, int& fd)
    {
        const std::string exe = DumpExe(), store = Sample("java-libpst-passworded.pst");
        const pid_t pid = ::forkpty(&fd, nullptr, nullptr, nullptr);
        if (pid == 0) {
            ::setenv("DRAVIK_MAPI_PROFILES", profiles.c_str(), 1);
            ::unsetenv("DRAVIK_STORE_PASSWORD");
            ::execl(exe.c_str(), exe.c_str(), "--file", store.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return pid;
    }
    // What the terminal shows until it contains `until` or the dump ends.
    static std::string ReadUntil(int fd, const std::string& until)
    {
        std::string seen;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (seen.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            seen.append(buffer, static_cast<size_t>(n));
        }
        return seen;
    }
    // The dump's exit status; a dump still running after 60 s is killed, so a
    // stuck prompt fails the test (as 256 + SIGKILL) instead of hanging it.
    static int Wait(pid_t pid)
    {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status);
    }
};

TEST_F(DumpTerminal, PasswordIsAskedWithoutEcho)
{
    CTempDir profiles;
    int fd = -1;
    const pid_t pid = Start(profiles.Path(), fd);
    if (pid < 0)
        GTEST_SKIP() << "no pseudo-terminal here";
    EXPECT_TRUE(Contains(ReadUntil(fd, "): "), "Password for \"Personal Folders\" ("));
    ASSERT_EQ(::write(fd, "a6xnjH\n", 7), 7);
    const std::string shown = ReadUntil(fd, "category: Address Book(s)");
    EXPECT_FALSE(Contains(shown, "a6xnjH")) << "the password was echoed";
    EXPECT_TRUE(Contains(shown, "  store: Personal Folders")) << shown;
    ReadUntil(fd, "\n\n");  // the rest, so that the dump is not blocked on a full terminal
    EXPECT_EQ(Wait(pid), 0);
    ::close(fd);
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

TEST_F(DumpTerminal, InterruptAtThePasswordPrompt)
{
    CTempDir profiles;
    int fd = -1;
    const pid_t pid = Start(profiles.Path(), fd);
    if (pid < 0)
        GTEST_SKIP() << "no pseudo-terminal here";
    ReadUntil(fd, "): ");
    ::kill(pid, SIGINT);
    EXPECT_TRUE(Contains(ReadUntil(fd, "interrupted"), "dravik-dump: interrupted"));
    EXPECT_EQ(Wait(pid), 128 + SIGINT);
    ::close(fd);
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

} // namespace

// A folder of the "Message Stores" part of a dump: its path and what is listed
// directly below it from its contents table (message texts, or row subjects).
struct CFolderRows
{
    std::string strPath;
    std::vector<std::string> items;
    bool operator==(const CFolderRows&) const = default;
};

// With bRows the "row" lines' subjects, else the "message" lines' texts.
std::vector<CFolderRows> FoldersAndContents(const std::string& out, bool bRows)
{
    std::vector<CFolderRows> folders;
    std::vector<std::string> path;
    int nFolderDepth = -1;
    for (const QJsonObject& o : JsonLines(out)) {
        const int nDepth = o["depth"].toInt();
        const std::string kind = o["kind"].toString().toStdString();
        if (nDepth == 0 && o["text"].toString() != "Message Stores")
            break;
        if (kind == "row" || kind == "message") {
            if (nDepth != nFolderDepth + 1 || folders.empty())
                continue;  // an embedded message, below an attachment
            EXPECT_EQ(kind, bRows ? "row" : "message");
            const std::string subject = o["values"].toObject()["0x0037001F"].toString().toStdString();
            folders.back().items.push_back(bRows ? (subject.rfind("MAPI_E_NOT_FOUND", 0) == 0 ? "" : subject)
                                                 : o["text"].toString().toStdString());
            continue;
        }
        path.resize(static_cast<size_t>(nDepth));
        path.push_back(o["text"].toString().toStdString());
        if (kind == "folder") {
            std::string strPath;
            for (const std::string& s : path)
                strPath += "/" + s;
            folders.push_back({strPath, {}});
            nFolderDepth = nDepth;
        } else if (kind != "folder") {
            nFolderDepth = kind == "store" ? -1 : nFolderDepth;
        }
    }
    return folders;
}

// On every sample the row-only walk lists the same folders as the full walk
// and, below each, one row for each message the full walk opens, in the same
// order and with the subject the message's line shows (the tree cuts a long
// subject, so the line's text begins the row's).
TEST(DumpRows, ContentsRowsMatchTheMessagesOfEverySample)
{
    CTempDir profiles;
    size_t nSamples = 0, nRows = 0;
    for (const auto& e : fs::directory_iterator(DRAVIK_SAMPLES_DIR)) {
        const std::string ext = e.path().extension().string();
        if (ext != ".pst" && ext != ".ost")
            continue;
        SCOPED_TRACE(e.path().filename().string());
        const CResult full = RunDump({"--json", "--file", e.path().string()}, profiles.Path());
        const CResult rows = RunDump({"--rows", "--json", "--file", e.path().string()}, profiles.Path());
        EXPECT_EQ(rows.nExit, full.nExit) << rows.strErr;
        if (full.nExit != 0)
            continue;  // a store that asks for a password
        ++nSamples;
        const std::vector<CFolderRows> expected = FoldersAndContents(full.strOut, false);
        const std::vector<CFolderRows> actual = FoldersAndContents(rows.strOut, true);
        ASSERT_EQ(actual.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(actual[i].strPath, expected[i].strPath);
            ASSERT_EQ(actual[i].items.size(), expected[i].items.size()) << expected[i].strPath;
            for (size_t j = 0; j < expected[i].items.size(); ++j)
                EXPECT_EQ(actual[i].items[j].rfind(expected[i].items[j], 0), 0u)
                    << expected[i].strPath << " #" << j << ": " << actual[i].items[j] << " / " << expected[i].items[j];
            nRows += actual[i].items.size();
        }
        // Every row has the default columns (a value the row lacks comes as
        // PT_ERROR under the column's property ID).
        for (const QJsonObject& o : JsonLines(rows.strOut)) {
            if (o["kind"] != "row")
                continue;
            QStringList ids;
            for (const QString& key : o["values"].toObject().keys())
                ids << key.left(6);
            EXPECT_EQ(ids, (QStringList{"0x001A", "0x0037", "0x0C1A", "0x0E06", "0x0E08", "0x0FFF"}));
        }
    }
    EXPECT_GT(nSamples, 5u);
    EXPECT_GT(nRows, 100u);
}

// Columns a user names come in the order named; a bad list is bad usage.
TEST(DumpRows, ColumnsAreThoseNamed)
{
    CTempDir profiles;
    const CResult r = RunDump({"--rows", "--columns", "0x0E080003,0x0037001F", "--file", Sample("pstsdk-sample1.pst")},
                              profiles.Path());
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    size_t n = 0;
    for (const std::string& line : Lines(r.strOut))
        if (line.find("row:") != std::string::npos) {
            ++n;
            EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 2) << line;
        }
    EXPECT_GT(n, 0u);
    for (const char* bad : {"", "0x37,", "xyz", "0x100000000"}) {
        const CResult u = RunDump({"--columns", bad, "--file", Sample("pstsdk-sample1.pst")}, profiles.Path());
        EXPECT_EQ(u.nExit, 2) << bad;
    }
}
