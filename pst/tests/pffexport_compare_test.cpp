// Every sample store read by this library against what pffexport exports from it: the
// folder tree with display names and message counts, and for each message its subject,
// recipient count and attachment names.
#include "pst/messaging/store.h"

#include "PffExport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace dravik::pst;
namespace pff = dravik::pffexport;

namespace {

// ---- this library's side.

std::string attachmentName(const Attachment& a) {
    if (a.attachMethod() == 5 || a.hasEmbeddedMessage()) return pff::kEmbedded;
    for (uint16_t id : {0x3707, 0x3704, 0x3001})
        if (auto p = a.properties().get(id); p && !p->utf8().empty()) return p->utf8();
    return "";
}

void readOurFolder(Store& store, uint32_t nid, const std::string& path, pff::Tree& tree, int depth) {
    ASSERT_LT(depth, 32);
    Folder f = store.folder(nid);
    auto& items = tree[path];
    TableContext contents = f.contentsTable();
    for (size_t i = 0; i < contents.rowCount(); ++i) {
        Message m = store.message(contents.row(i).rowId);
        pff::Message it;
        it.where = "NID " + hex(m.nid());
        if (auto s = m.properties().get(0x0037)) {
            it.subject = s->utf8();
            if (!it.subject.empty() && it.subject[0] == '\x01') it.subject.erase(0, 2);  // subject prefix marker
            it.subject = pff::trim(it.subject);
        }
        if (auto c = m.properties().get(0x001A)) it.messageClass = c->utf8();
        it.recipients = m.recipientTable().rowCount();
        TableContext at = m.attachmentTable();
        for (size_t k = 0; k < at.rowCount(); ++k) it.attachments.push_back(attachmentName(m.attachment(at.row(k).rowId)));
        std::sort(it.attachments.begin(), it.attachments.end());
        items.push_back(std::move(it));
    }
    TableContext h = f.hierarchyTable();
    for (size_t i = 0; i < h.rowCount(); ++i) {
        uint32_t child = h.row(i).rowId;
        Folder c = store.folder(child);
        auto name = c.properties().get(0x3001);
        readOurFolder(store, child, pff::folderPath(path, name ? name->utf8() : std::string()), tree, depth + 1);
    }
}

class PffExportComparison : public ::testing::TestWithParam<const char*> {};

TEST_P(PffExportComparison, FolderTreeMessagesRecipientsAndAttachmentsAgree) {
    const std::string sample = std::string(DRAVIK_SAMPLES_DIR) + "/" + GetParam();
    ASSERT_TRUE(std::filesystem::exists(sample)) << sample;
    pff::Export exported;
    std::string error;
    ASSERT_TRUE(pff::run(sample, exported, error)) << error;

    auto store = Store::open(sample);
    pff::Tree ours;
    readOurFolder(*store, store->rootFolderNid(), "", ours, 0);

    const pff::Comparison c = pff::compare(exported, ours, "this library");
    EXPECT_EQ(c.foldersOnlyInPff, std::vector<std::string>{}) << "folders only pffexport shows";
    EXPECT_EQ(c.foldersOnlyInOurs, std::vector<std::string>{}) << "folders only this library shows";
    for (const std::string& d : c.messageDifferences) ADD_FAILURE() << d;
    RecordProperty("messagesCompared", static_cast<int>(c.messagesCompared));
}

INSTANTIATE_TEST_SUITE_P(Samples, PffExportComparison,
                         ::testing::Values("pstsdk-sample1.pst", "pstsdk-sample2.pst", "pstsdk-test_ansi.pst",
                                           "pstsdk-test_unicode.pst", "pstsdk-submessage.pst",
                                           "java-libpst-dist-list.pst", "java-libpst-passworded.pst",
                                           "pst-extractor-enron.pst", "pst-extractor-outlookcom.ost"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (auto& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

}  // namespace
