// The pffexport oracle's comparison: what pffexport is known to show differently passes,
// every other difference is reported.
#include "PffExport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace pff = dravik::pffexport;

namespace {

pff::Message message(std::string subject, size_t recipients, std::vector<std::string> attachments,
                     std::string messageClass = "IPM.Note") {
    pff::Message m;
    m.subject = std::move(subject);
    m.recipients = recipients;
    m.attachments = std::move(attachments);
    m.messageClass = std::move(messageClass);
    return m;
}

struct Case {
    const char* name;
    pff::Export exported;
    pff::Tree ours;
    size_t onlyInPff, onlyInOurs, messageDifferences;
};

pff::Export exportOf(pff::Tree folders, std::set<std::string> skipped = {}) {
    return pff::Export{std::move(folders), std::move(skipped)};
}

const std::string inbox = pff::folderPath("", "Inbox");

class OracleComparison : public ::testing::TestWithParam<Case> {};

TEST_P(OracleComparison, ReportsOnlyWhatPffexportDoesNotExplain) {
    const Case& c = GetParam();
    const pff::Comparison r = pff::compare(c.exported, c.ours, "ours");
    EXPECT_EQ(r.foldersOnlyInPff.size(), c.onlyInPff);
    EXPECT_EQ(r.foldersOnlyInOurs.size(), c.onlyInOurs);
    EXPECT_EQ(r.messageDifferences.size(), c.messageDifferences) << ::testing::PrintToString(r.messageDifferences);
}

pff::Message meeting(std::string subject) {
    pff::Message m = message(std::move(subject), 0, {});
    m.details = false;
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OracleComparison,
    ::testing::Values(
        Case{"Same", exportOf({{inbox, {message("Hi", 2, {"a.txt"})}}}), {{inbox, {message("Hi", 2, {"a.txt"})}}}, 0, 0, 0},
        Case{"FolderOnlyInPff", exportOf({{inbox, {}}, {"/Other", {}}}), {{inbox, {}}}, 1, 0, 0},
        Case{"FolderOnlyInOurs", exportOf({{inbox, {}}}), {{inbox, {}}, {"/Other", {}}}, 0, 1, 0},
        // '&' and '!' are written as '_' in pffexport's folder names.
        Case{"FolderNameReplaced", exportOf({{"/R_D _ Co_", {}}}), {{pff::folderPath("", "R&D & Co!"), {}}}, 0, 0, 0},
        Case{"MessageMissing", exportOf({{inbox, {message("Hi", 0, {})}}}), {{inbox, {}}}, 0, 0, 2},
        Case{"ExtraMessage", exportOf({{inbox, {}}}), {{inbox, {message("Hi", 0, {})}}}, 0, 0, 1},
        Case{"OtherSubject", exportOf({{inbox, {message("Hi", 0, {})}}}), {{inbox, {message("Ho", 0, {})}}}, 0, 0, 1},
        Case{"OtherRecipientCount", exportOf({{inbox, {message("Hi", 1, {})}}}), {{inbox, {message("Hi", 2, {})}}}, 0, 0, 1},
        Case{"OtherAttachment", exportOf({{inbox, {message("Hi", 0, {"a.txt"})}}}),
             {{inbox, {message("Hi", 0, {"b.txt"})}}}, 0, 0, 1},
        Case{"AttachmentNameReplaced", exportOf({{inbox, {message("Hi", 0, {"a_b.txt"})}}}),
             {{inbox, {message("Hi", 0, {"a&b.txt"})}}}, 0, 0, 0},
        Case{"AttachmentNameShortened", exportOf({{inbox, {message("Hi", 0, {"long...name.txt"})}}}),
             {{inbox, {message("Hi", 0, {"long attachment name.txt"})}}}, 0, 0, 0},
        Case{"EmptySubjectInPffMatchesAny", exportOf({{inbox, {message("", 0, {})}}}),
             {{inbox, {message("Hi", 0, {})}}}, 0, 0, 0},
        Case{"SkippedClassLeftOut", exportOf({{inbox, {}}}, {"IPM.Post"}),
             {{inbox, {message("Hi", 0, {}, "IPM.Post")}}}, 0, 0, 0},
        Case{"MeetingComparedBySubjectOnly", exportOf({{inbox, {meeting("Meet")}}}),
             {{inbox, {message("Meet", 3, {"invite.ics"})}}}, 0, 0, 0},
        Case{"MeetingWithOtherSubject", exportOf({{inbox, {meeting("Meet")}}}),
             {{inbox, {message("Other", 3, {})}}}, 0, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OracleComparison, SubjectMatchIsTheCallers) {
    const pff::Export exported = exportOf({{inbox, {message("A long subject", 0, {})}}});
    const pff::Tree ours{{inbox, {message("A long", 0, {})}}};
    EXPECT_EQ(pff::compare(exported, ours, "ours").messageDifferences.size(), 1u);
    const auto prefix = [](const std::string& e, const std::string& o) { return e.compare(0, o.size(), o) == 0; };
    const pff::Comparison r = pff::compare(exported, ours, "ours", prefix);
    EXPECT_EQ(r.messageDifferences, std::vector<std::string>{});
    EXPECT_EQ(r.messagesCompared, 1u);
}

// pffexport -d's dump of values: sets, tags from entry and value type, bytes from the hex
// columns only (the text beside them may look like hex too).
TEST(OracleValues, ReadsSetsTagsAndBytes) {
    const std::string file = (std::filesystem::temp_directory_path() /
                              ("dravik-itemvalues-" + std::to_string(::getpid()) + ".txt")).string();
    std::ofstream(file) << "Number of sets:\t\t\t2\nNumber of entries per set:\t2\n\n"
                           "Set:\t\t\t\t0\nEntry:\t\t\t\t0\nEntry type:\t\t\t0x00003001\nValue type:\t\t\t0x0000001f\n"
                           "Value:\n"
                           "0x00000000: 61 00 62 00 63 00 64 00  65 00 66 00 20 00 31 00   a.b.c.d. e.f. .1.\n"
                           "0x00000010: ab cd                                             ..\n\n"
                           "Set:\t\t\t\t0\nEntry:\t\t\t\t1\nEntry type:\t\t\t0x00000e07\nValue type:\t\t\t0x00000003\n"
                           "Value:\n0x00000000: 01 00 00 00                                        ....\n\n"
                           "Set:\t\t\t\t1\nEntry:\t\t\t\t0\nEntry type:\t\t\t0x00000c15\nValue type:\t\t\t0x00000003\n"
                           "Value:\n0x00000000: 02 00 00 00                                        ab..\n";
    const auto sets = pff::readItemValues(file);
    std::filesystem::remove(file);
    ASSERT_EQ(sets.size(), 2u);
    ASSERT_EQ(sets[0].size(), 2u);
    EXPECT_EQ(sets[0][0].tag, 0x3001001Fu);
    EXPECT_EQ(sets[0][0].bytes, (std::vector<uint8_t>{0x61, 0, 0x62, 0, 0x63, 0, 0x64, 0, 0x65, 0, 0x66, 0, 0x20, 0,
                                                      0x31, 0, 0xab, 0xcd}));
    EXPECT_EQ(sets[0][1].tag, 0x0E070003u);
    EXPECT_EQ(sets[0][1].bytes, (std::vector<uint8_t>{1, 0, 0, 0}));
    ASSERT_EQ(sets[1].size(), 1u);
    EXPECT_EQ(sets[1][0].bytes, (std::vector<uint8_t>{2, 0, 0, 0}));
}

TEST(OracleRun, AFileThatIsNoStoreFails) {
    pff::Export exported;
    std::string error;
    EXPECT_FALSE(pff::run(std::string(DRAVIK_SOURCE_DIR) + "/pst/tests/support/PffExport.h", exported, error));
    EXPECT_NE(error, "");
}

}  // namespace
