#include "props/IniFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

std::string RepoIni()
{
    return std::string(DRAVIK_SOURCE_DIR) + "/Dravik.ini";
}

std::filesystem::path WriteTempFile(const std::string& name, const std::string& content)
{
    auto path = std::filesystem::path(::testing::TempDir()) / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

CIniFile ParseLines(std::vector<std::string> lines)
{
    CIniFile ini;
    for (auto& line : lines)
        ini.ParseLine(line);
    return ini;
}

struct LineCase
{
    const char* what;
    std::vector<std::string> lines;
    const char* section;
    const char* key;
    const char* expected;
};

class ParseLineTest : public ::testing::TestWithParam<LineCase>
{
};

TEST_P(ParseLineTest, StoresWhatTheLineSays)
{
    const LineCase& c = GetParam();
    CIniFile ini = ParseLines(c.lines);
    EXPECT_EQ(ini.GetValue(c.section, c.key), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseLineTest,
    ::testing::Values(
        LineCase{"blanks around the whole line are trimmed", {"[PropIDs]", "  0x00000037=Subject  "}, "PropIDs",
                 "0x00000037", "Subject"},
        LineCase{"tabs and CR are trimmed too", {"\t[PropIDs]\r", "\t0x00000037=Subject\r"}, "PropIDs", "0x00000037",
                 "Subject"},
        LineCase{"blanks around = belong to key and value", {"[PropIDs]", "0x00000037 = Subject"}, "PropIDs",
                 "0x00000037 ", " Subject"},
        LineCase{"... so the exact key is not found", {"[PropIDs]", "0x00000037 = Subject"}, "PropIDs", "0x00000037",
                 ""},
        LineCase{"upper-case digits are stored but never asked for", {"[PropType]", "0x0000001E=PT_STRING8"},
                 "PropType", "0x0000001e", ""},
        LineCase{"; inside a value is ordinary", {"[PropIDs]", "0x00000037=A;B"}, "PropIDs", "0x00000037", "A;B"},
        LineCase{"the first = splits", {"[S]", "a=b=c"}, "S", "a", "b=c"},
        LineCase{"a line without = has the empty key", {"[S]", "just text"}, "S", "", "just text"},
        LineCase{"empty value", {"[PropIDs]", "0x00000037="}, "PropIDs", "0x00000037", ""},
        LineCase{"last entry wins", {"[PropIDs]", "0x00000037=A", "0x00000037=B"}, "PropIDs", "0x00000037", "B"},
        LineCase{"# and ; lines are comments", {"[S]", "#k=v", ";k=v", "k=w"}, "S", "k", "w"},
        LineCase{"comment after a header is part of the header", {"[PropIDs] ; names", "0x00000037=X"},
                 "PropIDs] ; name", "0x00000037", "X"},
        LineCase{"... and not PropIDs", {"[PropIDs] ; names", "0x00000037=X"}, "PropIDs", "0x00000037", ""},
        LineCase{"header without ] loses its last character", {"[PropIDs", "k=v"}, "PropID", "k", "v"},
        LineCase{"blanks inside brackets belong to the name", {"[ PropIDs ]", "k=v"}, " PropIDs ", "k", "v"},
        LineCase{"[] names the empty section", {"[]", "k=v"}, "", "k", "v"},
        LineCase{"[ alone names the empty section", {"[", "k=v"}, "", "k", "v"},
        LineCase{"entries before any header are dropped", {"k=v", "[S]"}, "", "k", ""},
        LineCase{"a repeated header starts the section anew",
                 {"[PropIDs]", "a=1", "[PropType]", "t=2", "[PropIDs]", "b=3"}, "PropIDs", "a", ""},
        LineCase{"... keeping what follows it", {"[PropIDs]", "a=1", "[PropType]", "t=2", "[PropIDs]", "b=3"},
                 "PropIDs", "b", "3"},
        LineCase{"... and leaving other sections alone", {"[PropIDs]", "a=1", "[PropType]", "t=2", "[PropIDs]", "b=3"},
                 "PropType", "t", "2"},
        LineCase{"unknown section", {"[S]", "k=v"}, "Other", "k", ""}));

TEST(IniFile, ParseLineTrimsInPlaceAndAlwaysSucceeds)
{
    CIniFile ini;
    std::string line = " \t k=v \r\n";
    EXPECT_EQ(ini.ParseLine(line), 1);
    EXPECT_EQ(line, "k=v");
    std::string empty = "   ";
    EXPECT_EQ(ini.ParseLine(empty), 1);
}

TEST(IniFile, LoadReadsLfAndCrLfFilesAndKeepsValuesByteForByte)
{
    auto path = WriteTempFile("dict.ini", "[PropIDs]\r\n0x00000037=PR_SUBJECT\r\n[PropType]\n0x0000001f=PT_UNICODE\n"
                                          "[MAPIObjTypes]\n0x00000005=Nachricht \xC3\xBC");
    CIniFile ini;
    ASSERT_EQ(ini.Load(path.string()), 1);
    EXPECT_EQ(ini.GetValue("PropIDs", "0x00000037"), "PR_SUBJECT");
    EXPECT_EQ(ini.GetValue("PropType", "0x0000001f"), "PT_UNICODE");
    EXPECT_EQ(ini.GetValue("MAPIObjTypes", "0x00000005"), "Nachricht \xC3\xBC");
}

TEST(IniFile, MissingFileFailsAndLeavesTheDictionaryAsItWas)
{
    CIniFile ini;
    std::string line = "[S]";
    ini.ParseLine(line);
    line = "k=v";
    ini.ParseLine(line);
    EXPECT_EQ(ini.Load((std::filesystem::path(::testing::TempDir()) / "no-such-dir" / "Dravik.ini").string()), 0);
    EXPECT_EQ(ini.GetValue("S", "k"), "v");
}

TEST(LookupName, AnswersFromTheProcessWideDictionary)
{
    GetIniFile().Clear();
    std::string value = "stale";
    EXPECT_EQ(LookupName("PropIDs", "0x00000037", value), 0) << "empty before any load";
    EXPECT_EQ(value, "");

    auto path = WriteTempFile("lookup.ini", "[PropIDs]\n0x00000037=PR_SUBJECT\n0x00000038=\n");
    ASSERT_EQ(GetIniFile().Load(path.string()), 1);
    EXPECT_EQ(LookupName("PropIDs", "0x00000037", value), 1);
    EXPECT_EQ(value, "PR_SUBJECT");
    EXPECT_EQ(LookupName("PropIDs", "0x00000038", value), 0) << "an empty value is no name";
    EXPECT_EQ(LookupName("PropType", "0x00000037", value), 0);
    EXPECT_EQ(value, "");
    GetIniFile().Clear();
}

// A lookup by number finds what a lookup by its key finds, and follows the
// dictionary when it changes.
TEST(LookupNumber, FindsWhatItsKeyFinds)
{
    auto path = WriteTempFile("numbers.ini", "[PropIDs]\n0x00000037=PR_SUBJECT\n0x0000ABCD=UPPER\n0x00000038=\n"
                                             "0x37=SHORT\n0x0000003g=BAD\n[PropType]\n0x0000001e=PT_STRING8\n");
    ASSERT_EQ(GetIniFile().Load(path.string()), 1);
    for (const auto& [section, number] : {std::pair{"PropIDs", 0x37ul}, std::pair{"PropIDs", 0xABCDul},
                                          std::pair{"PropIDs", 0x38ul}, std::pair{"PropIDs", 0x3Ful},
                                          std::pair{"PropType", 0x1Eul}, std::pair{"PropType", 0x37ul},
                                          std::pair{"None", 0x37ul}, std::pair{"PropIDs", 0x100000037ul}}) {
        std::string byKey = "stale", byNumber = "stale";
        EXPECT_EQ(LookupNumber(section, number, byNumber), LookupName(section, DictionaryKey(number).c_str(), byKey))
            << section << " " << number;
        EXPECT_EQ(byNumber, byKey) << section << " " << number;
    }
    std::string value;
    std::string line = "0x00000039=PR_ADDED";
    GetIniFile().ParseLine(line);  // in the last section read, PropType
    EXPECT_EQ(LookupNumber("PropType", 0x39, value), 1);
    EXPECT_EQ(value, "PR_ADDED");
    GetIniFile().Clear();
    EXPECT_EQ(LookupNumber("PropIDs", 0x37, value), 0);
}

TEST(DictionaryKey, IsEightLowerCaseDigits)
{
    EXPECT_EQ(DictionaryKey(0x37), "0x00000037");
    EXPECT_EQ(DictionaryKey(0x101F), "0x0000101f");
    EXPECT_EQ(DictionaryKey(0xFFFFFFFFUL), "0xffffffff");
}

// The dictionary that ships with the program.
TEST(DravikIni, LoadsAndNamesWellKnownEntries)
{
    CIniFile ini;
    ASSERT_EQ(ini.Load(RepoIni()), 1);
    struct
    {
        const char* section;
        unsigned long number;
        const char* name;
    } const known[] = {
        {"PropIDs", 0x0037, "PR_SUBJECT"},
        {"PropIDs", 0x3001, "PR_DISPLAY_NAME"},
        {"PropIDs", 0x0FFF, "PR_ENTRYID"},
        {"PropIDs", 0x0FFE, "PR_OBJECT_TYPE"},
        {"PropIDs", 0x3707, "PR_ATTACH_LONG_FILENAME"},
        {"PropIDs", 0x0E1B, "PR_HASATTACH"},
        {"PropType", 0x001E, "PT_STRING8"},
        {"PropType", 0x0102, "PT_BINARY"},
        {"PropType", 0x101F, "PT_MV_UNICODE"},
        {"MAPIObjTypes", 3, "MAPI_FOLDER"},
        {"MAPIObjTypes", 5, "MAPI_MESSAGE"},
        {"MAPIObjTypes", 12, "MAPI_FORMINFO"},
    };
    for (const auto& k : known)
        EXPECT_EQ(ini.GetValue(k.section, DictionaryKey(k.number)), k.name) << k.section << " " << k.number;

    // IDs from 0x8000 up are named properties; the dictionary names none.
    EXPECT_EQ(ini.GetValue("PropIDs", DictionaryKey(0x8005)), "");
}

TEST(DravikIni, EveryEntryHasTheExactKeyForm)
{
    std::ifstream file(RepoIni());
    ASSERT_TRUE(file.is_open());
    const std::regex entry("0x[0-9a-f]{8}=[A-Za-z][A-Za-z0-9_]*");
    const std::regex header("\\[(PropIDs|PropType|MAPIObjTypes)\\]");
    std::string line;
    int entries = 0;
    int lineNo = 0;
    while (std::getline(file, line)) {
        ++lineNo;
        if (line.empty() || line[0] == ';' || std::regex_match(line, header))
            continue;
        EXPECT_TRUE(std::regex_match(line, entry)) << "line " << lineNo << ": " << line;
        ++entries;
    }
    EXPECT_GT(entries, 600);
}

} // namespace
