// dravik-dump's fidelity: damage never passes in silence (a damaged copy of a
// store either dumps exactly as the good one or is reported on standard error
// with exit status 1), and ANSI stores show the text of their script.
#include "DumpTestSupport.h"

#include "Corrupters.h"
#include "pst/messaging/walk.h"

#include <algorithm>
#include <regex>

using namespace dumptest;

namespace {

bool Contains(const std::string& text, const std::string& what)
{
    return text.find(what) != std::string::npos;
}

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The "Message Stores" part of a JSON dump, with the service UID that each
// temporary profile draws anew (in the store's entry IDs) taken out.
std::string StoresPart(const std::string& out)
{
    static const std::regex kServiceUid("4452564B53544F52459A3127700C11EF[0-9A-F]{32}");
    std::string part;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("{\"depth\":0,", 0) == 0 && line.find("\"Message Stores\"") == std::string::npos)
            break;
        part += std::regex_replace(line, kServiceUid, "SERVICE") + "\n";
    }
    return part;
}

void WriteBytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Damaged copies of an ANSI and a Unicode sample, a byte flipped or 64 bytes
// overwritten at spots spread over the file: each dumps exactly as the good
// file (the damage hit nothing the walk reads) or exits 1 with the damage on
// standard error. Never exit status 0 with other content.
TEST(DumpDamage, DamageIsNeverSilent)
{
    CTempDir dir, profiles;
    size_t reported = 0;
    for (const char* sample : {"pstsdk-sample2.pst", "pstsdk-sample1.pst"}) {
        const std::string good = ReadFile(Sample(sample));
        const CResult base = RunDump({"--props", "--json", "--file", Sample(sample)}, profiles.Path());
        ASSERT_EQ(base.nExit, 0) << base.strErr;
        const std::string expected = StoresPart(base.strOut);
        uint64_t seed = 0x9E3779B97F4A7C15ull;
        for (int run = 0; run < 24; ++run) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            const size_t at = 0x4000 + static_cast<size_t>((seed >> 20) % (good.size() - 0x4000 - 64));
            std::string bytes = good;
            if (run % 2 == 0)
                bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
            else
                std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                          bytes.begin() + static_cast<std::ptrdiff_t>(at + 64), '\xA5');
            const fs::path copy = dir.Path() / "damaged.pst";
            WriteBytes(copy, bytes);
            const CResult r = RunDump({"--props", "--json", "--file", copy.string()}, profiles.Path());
            SCOPED_TRACE(std::string(sample) + " run " + std::to_string(run) + " at " + std::to_string(at));
            if (r.nExit == 0) {
                EXPECT_EQ(r.strErr, "");
                EXPECT_TRUE(StoresPart(r.strOut) == expected) << "exit status 0 with other content";
            } else {
                EXPECT_EQ(r.nExit, 1) << r.strErr;
                EXPECT_NE(r.strErr, "");
                ++reported;
            }
        }
    }
    EXPECT_GT(reported, 0u);
}

// A value above 32 KiB whose data tree lost a block: reported with the path of
// its object and its tag, and the walk goes on to the end.
TEST(DumpDamage, ADamagedLargeValueIsReportedWithItsPathAndTag)
{
    const std::string path = Sample("pst-extractor-enron.pst");
    std::vector<uint8_t> bytes;
    {
        const std::string good = ReadFile(path);
        bytes.assign(good.begin(), good.end());
        auto store = dravik::pst::Store::open(path);
        uint64_t xblock = 0;
        dravik::pst::walkStore(*store, [&](const dravik::pst::WalkEvent& e) {
            if (e.kind != dravik::pst::WalkEvent::Kind::Attachment || xblock)
                return;
            const dravik::pst::PropEntry* data = e.attachment->properties().find(0x3701);
            if (!data || data->place != dravik::pst::PropEntry::Place::Subnode || data->size <= 0x8000)
                return;
            const uint64_t bid = dravik::pst::corrupters::valueDataTree(store->ndb(), e.attachment->properties(), 0x3701);
            if (bid & 0x2)
                xblock = bid;
        });
        ASSERT_NE(xblock, 0u);
        dravik::pst::corrupters::dropFirstDataBlock(bytes, store->ndb(), xblock);
    }
    CTempDir dir, profiles;
    const fs::path copy = dir.Path() / "damaged.pst";
    WriteBytes(copy, std::string(bytes.begin(), bytes.end()));
    const CResult r = RunDump({"--props", "--json", "--file", copy.string()}, profiles.Path());
    EXPECT_EQ(r.nExit, 1);
    EXPECT_TRUE(std::regex_search(r.strErr, std::regex("dravik-dump: a damaged value: \"Message Stores/[^\"]+/"
                                                       "[^\"]+\": 0x3701000a: error 8004011B\n")))
        << r.strErr;
    EXPECT_EQ(Occurrences(r.strErr, "a damaged value"), 1u) << r.strErr;
    EXPECT_TRUE(Contains(r.strErr, "dravik-dump: walk failed: 1 value is damaged: not a PST or OST file, or damaged [MAPI_E_CORRUPT_DATA]")) << r.strErr;
    const std::vector<QJsonObject> lines = JsonLines(r.strOut);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const QJsonObject& o) {
        return o["depth"].toInt() == 0 && o["text"].toString() == QStringLiteral("Address Book(s)");
    }));
}

// A file shorter than its header's end of file: said once, the walk goes on,
// and the exit status says the dump is not the whole store.
TEST(DumpDamage, ATruncatedFileIsReportedOnceAndTheWalkGoesOn)
{
    std::string bytes = ReadFile(Sample("pst-extractor-enron.pst"));
    bytes.resize(bytes.size() - 4096);
    CTempDir dir, profiles;
    const fs::path copy = dir.Path() / "truncated.pst";
    WriteBytes(copy, bytes);
    const CResult r = RunDump({"--json", "--file", copy.string()}, profiles.Path());
    EXPECT_EQ(r.nExit, 1);
    EXPECT_EQ(Occurrences(r.strErr, "possibly truncated"), 1u) << r.strErr;
    EXPECT_TRUE(Contains(r.strErr, "truncated.pst\" is possibly truncated: the file has " +
                                       std::to_string(bytes.size()) + " bytes, its header says " +
                                       std::to_string(bytes.size() + 4096)))
        << r.strErr;
    const std::vector<QJsonObject> lines = JsonLines(r.strOut);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const QJsonObject& o) { return o["kind"] == "message"; }));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const QJsonObject& o) {
        return o["depth"].toInt() == 0 && o["text"].toString() == QStringLiteral("Address Book(s)");
    }));
}

// The texts of the objects a code-page store holds, from the text output:
// "kind: text" of the folder, the message, the recipient and the contact.
std::vector<std::string> ScriptLines(const std::string& out)
{
    std::vector<std::string> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        const size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos)
            continue;
        line = line.substr(start);
        if (line.rfind("folder: ", 0) == 0 || line.rfind("message: ", 0) == 0 || line.rfind("recipient: ", 0) == 0)
            lines.push_back(line);
    }
    return lines;
}

struct CScript
{
    const char* name;
    int codePage;
    int mimeCodePage;
    std::vector<std::string> lines;  // the folder, its note, the note's recipient, the contact
};

void PrintTo(const CScript& s, std::ostream* os)
{
    *os << s.name;
}

class DumpCodePages : public ::testing::TestWithParam<CScript>
{
};

// Stores pstgen writes in the script's ANSI code page show its text in folder
// names, subjects, recipients and contacts, whether the messages declare a
// code page, a locale or a MIME code page; one that declares nothing needs
// --codepage, as the Windows or the MIME code page of the script.
TEST_P(DumpCodePages, FolderNamesSubjectsAndContactsShowTheirScript)
{
#ifndef DRAVIK_PSTGEN_EXE
    GTEST_SKIP() << "pstgen is not built";
#endif
    const CScript& s = GetParam();
    CTempDir dir, profiles;
    const auto contains = [](const std::vector<std::string>& all, const std::vector<std::string>& want) {
        return std::all_of(want.begin(), want.end(),
                           [&](const std::string& w) { return std::find(all.begin(), all.end(), w) != all.end(); });
    };
    for (const char* declare : {"codepage", "locale", "internet"}) {
        SCOPED_TRACE(declare);
        const std::string store = WriteStore(dir.Path(), std::string(declare) + ".pst",
                                             {"codepage", "--script", s.name, "--declare", declare});
        const CResult r = RunDump({"--file", store}, profiles.Path());
        EXPECT_EQ(r.nExit, 0) << r.strErr;
        EXPECT_TRUE(contains(ScriptLines(r.strOut), s.lines)) << r.strOut;
    }
    const std::string bare =
        WriteStore(dir.Path(), "nothing.pst", {"codepage", "--script", s.name, "--declare", "nothing"});
    EXPECT_FALSE(contains(ScriptLines(RunDump({"--file", bare}, profiles.Path()).strOut), s.lines));
    for (int cp : {s.codePage, s.mimeCodePage}) {
        const CResult r = RunDump({"--codepage", std::to_string(cp), "--file", bare}, profiles.Path());
        EXPECT_EQ(r.nExit, 0) << r.strErr;
        EXPECT_TRUE(contains(ScriptLines(r.strOut), s.lines)) << cp << "\n" << r.strOut;
    }
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, DumpCodePages,
    ::testing::Values(
        CScript{"japanese", 932, 50220, {"folder: 受信トレイ", "message: 会議の予定", "recipient: 山田太郎", "message: 山田太郎"}},
        CScript{"chinese", 936, 50227, {"folder: 收件箱", "message: 会议通知", "recipient: 王小明", "message: 王小明"}},
        CScript{"cyrillic", 1251, 20866,
                {"folder: Входящие", "message: Привет мир", "recipient: Иван Петров", "message: Иван Петров"}},
        CScript{"hebrew", 1255, 28598, {"folder: דואר נכנס", "message: שלום עולם", "recipient: דוד כהן", "message: דוד כהן"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DumpCodePageOption, AnUnknownCodePageIsBadUsage)
{
    CTempDir profiles;
    for (const char* cp : {"1200", "4711", "abc", "0"}) {
        const CResult r = RunDump({"--codepage", cp, "--file", Sample("pstsdk-sample1.pst")}, profiles.Path());
        EXPECT_EQ(r.nExit, 2) << cp;
        EXPECT_TRUE(Contains(r.strErr, std::string("dravik-dump: unknown code page \"") + cp + "\"")) << r.strErr;
    }
}

} // namespace
