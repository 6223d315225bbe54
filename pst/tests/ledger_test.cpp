// The ledger of a store file: on every sample its counts add up to the B-trees' and the file
// is left as it was; on stores written with known removals it finds what was removed.
#include "pst/messaging/ledger.h"
#include "pst/messaging/recovery.h"
#include "pst/messaging/walk.h"

#include "StoreWriter.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <cctype>

namespace fs = std::filesystem;
using namespace dravik::pst;

namespace {

std::vector<fs::path> sampleStores() {
    std::vector<fs::path> out;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(DRAVIK_SAMPLES_DIR, ec)) {
        const auto ext = e.path().extension().string();
        if (ext == ".pst" || ext == ".ost") out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<char> fileBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class TempDir {
public:
    TempDir() : path_(fs::temp_directory_path() / ("dravik-ledger-" + std::to_string(::getpid()))) {
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

writer::Message message(const std::string& subject, size_t bodyBytes, size_t attachmentBytes) {
    writer::Message m;
    m.props.set(0x0037001F, writer::PropValue::unicode(subject));
    m.props.set(0x1000001F, writer::PropValue::unicode(std::string(bodyBytes, 'b')));
    writer::Recipient r;
    r.props.set(0x3001001F, writer::PropValue::unicode("Recipient of " + subject));
    m.recipients.push_back(r);
    if (attachmentBytes) {
        writer::Attachment a;
        a.props.set(0x3707001F, writer::PropValue::unicode(subject + ".bin"));
        a.data.assign(attachmentBytes, 0x5A);
        m.attachments.push_back(a);
    }
    return m;
}

}  // namespace

TEST(Ledger, EverySampleAddsUpAndIsLeftAsItWas) {
    const auto stores = sampleStores();
    if (stores.empty()) GTEST_SKIP() << "no sample stores in " << DRAVIK_SAMPLES_DIR;
    for (const fs::path& p : stores) {
        SCOPED_TRACE(p.string());
        const auto before = fileBytes(p);
        auto store = Store::open(p.string());
        const Ledger l = buildLedger(*store);
        EXPECT_TRUE(l.errors.empty()) << l.errors.front();
        EXPECT_EQ(l.nodes, store->ndb().allNodes().size());
        EXPECT_EQ(l.blocks, store->ndb().allBlocks().size());
        EXPECT_EQ(l.nodesReached + l.nodesOrphaned + l.nodesUnreadable, l.nodes);
        EXPECT_EQ(l.blocksReached + l.blocksOrphaned + l.blocksUnreadable, l.blocks);
        EXPECT_EQ(l.orphanedNodes.size(), l.nodesOrphaned);
        EXPECT_EQ(l.unreadableNodes.size(), l.nodesUnreadable);
        EXPECT_GT(l.nodesReached, 0u);
        EXPECT_GT(l.folders, 0u);
        // Every intact block found in free space is one the block B-tree does not list there.
        for (const FreeBlock& b : l.freeBlocks) EXPECT_LT(b.ib + b.cb, store->ndb().fileSize());
        store.reset();
        EXPECT_TRUE(fileBytes(p) == before) << "the store file changed";
    }
}

// Twelve messages, three of them removed: one deleted, one deleted and partly overwritten,
// one orphaned. Odd messages carry a 20000-byte attachment; every third body is short enough
// for the heap, the others go to subnodes.
struct RemovedStore {
    std::vector<uint32_t> nids;
    std::vector<writer::RemovedBlock> deleted, overwritten, orphaned;
    static constexpr int kDeleted = 3, kOverwritten = 5, kOrphaned = 7;
};

std::string subjectOf(int i) { return "message " + std::to_string(i); }
size_t bodyOf(int i) { return 200 + 3000 * (i % 3); }
size_t attachmentOf(int i) { return i % 2 ? 20000 : 0; }

RemovedStore writeStore(const fs::path& path, bool remove, writer::StoreFormat format = writer::StoreFormat::Unicode) {
    RemovedStore r;
    writer::StoreOptions options;
    options.format = format;
    writer::StoreWriter w(path.string(), options);
    const auto folder = w.addFolder(w.ipmSubtree(), "Inbox", "IPF.Note");
    for (int i = 0; i < 12; ++i) r.nids.push_back(w.addMessage(folder, message(subjectOf(i), bodyOf(i), attachmentOf(i))));
    if (remove) {
        r.deleted = w.removeMessage(r.nids[RemovedStore::kDeleted], writer::Removal::Deleted);
        r.overwritten = w.removeMessage(r.nids[RemovedStore::kOverwritten], writer::Removal::PartlyOverwritten);
        r.orphaned = w.removeMessage(r.nids[RemovedStore::kOrphaned], writer::Removal::Orphaned);
    }
    w.finish();
    return r;
}

// The ledger of a store with removals reports each where it belongs, in both formats (their
// allocation maps differ); the same store without them is clean.
TEST(Ledger, RemovedMessagesAreFoundWhereTheyWereLeft) {
  for (const auto format : {writer::StoreFormat::Unicode, writer::StoreFormat::Ansi}) {
    SCOPED_TRACE(format == writer::StoreFormat::Ansi ? "ANSI" : "Unicode");
    TempDir dir;
    const fs::path path = dir / "removed.pst";
    const RemovedStore r = writeStore(path, true, format);
    ASSERT_FALSE(r.deleted.empty());
    ASSERT_FALSE(r.overwritten.empty());
    EXPECT_TRUE(r.orphaned.empty());

    const auto before = fileBytes(path);
    auto store = Store::open(path.string());
    const Ledger l = buildLedger(*store);
    EXPECT_TRUE(l.errors.empty());
    EXPECT_TRUE(l.spaceChecked);
    EXPECT_EQ(l.nodesUnreadable, 0u);
    EXPECT_EQ(l.orphanedNodes, std::vector<uint32_t>{r.nids[RemovedStore::kOrphaned]});
    EXPECT_GT(l.blocksOrphaned, 0u);  // the orphaned message's blocks
    EXPECT_EQ(l.allocatedUnusedBytes, 0u);
    // Every freed block is found intact in free space, but the one overwritten.
    std::vector<uint64_t> found;
    for (const FreeBlock& b : l.freeBlocks) found.push_back(b.ib);
    for (const auto& b : r.deleted) EXPECT_NE(std::find(found.begin(), found.end(), b.ib), found.end()) << b.ib;
    EXPECT_EQ(std::find(found.begin(), found.end(), r.overwritten.front().ib), found.end());
    EXPECT_EQ(l.freeBlocks.size(), r.deleted.size() + r.overwritten.size() - 1);
    EXPECT_EQ(l.countMismatches.size(), 0u);  // the writer counts what it lists
    store.reset();
    EXPECT_TRUE(fileBytes(path) == before);

    const fs::path cleanPath = dir / "clean.pst";
    writeStore(cleanPath, false, format);
    auto clean = Store::open(cleanPath.string());
    const Ledger cl = buildLedger(*clean);
    EXPECT_TRUE(cl.clean()) << cl.summary();
    EXPECT_NE(cl.summary().find("nothing orphaned, deleted or lost"), std::string::npos);
    EXPECT_TRUE(recoverItems(openFile(cleanPath.string()), cl).items.empty());
  }
}

// A damaged block of an attachment's data: the block is unreadable, its message with it,
// and the attachment has fewer bytes than it declares; the ledger is no longer clean.
TEST(Ledger, DamagedAttachmentBlockIsCountedWhereItBelongs) {
    TempDir dir;
    const fs::path path = dir / "damaged.pst";
    const RemovedStore r = writeStore(path, false);
    uint64_t ib = 0, blockBytes = 0;
    {
        auto store = Store::open(path.string());
        Message m = store->message(r.nids[1]);
        Attachment a = m.attachment(m.attachmentTable().rowId(0));
        const PropEntry* e = a.properties().find(0x3701);
        ASSERT_TRUE(e && e->place == PropEntry::Place::Subnode);
        const NodeRef sub = store->ndb().subnode(a.properties().node(), e->dwValueHnid);
        const BlockEntry b = store->ndb().block(store->ndb().dataBlockIds(sub.bidData).at(0));
        ib = b.ib;
        blockBytes = b.cbInflated;
    }
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(ib + 100));
        f.put('\x7F');
    }
    auto store = Store::open(path.string());
    const Ledger l = buildLedger(*store);
    EXPECT_EQ(l.blocksUnreadable, 1u);
    ASSERT_EQ(l.unreadableNodes.size(), 1u);
    EXPECT_EQ(l.unreadableNodes[0].id, r.nids[1]);
    EXPECT_NE(l.unreadableNodes[0].error.find("dwCRC"), std::string::npos) << l.unreadableNodes[0].error;
    ASSERT_EQ(l.shortAttachments.size(), 1u);
    EXPECT_EQ(l.shortAttachments[0].declared, attachmentOf(1));
    EXPECT_EQ(l.shortAttachments[0].read, attachmentOf(1) - blockBytes);
    EXPECT_FALSE(l.clean());
    EXPECT_EQ(l.nodesReached + l.nodesOrphaned + l.nodesUnreadable, l.nodes);
}

// Recovery gives back each removed message with what survives of it, and says where it
// came from; the partly overwritten one says what is gone.
TEST(Recovery, RemovedMessagesComeBackWithWhatSurvives) {
    TempDir dir;
    const fs::path path = dir / "removed.pst";
    const RemovedStore r = writeStore(path, true);
    const auto before = fileBytes(path);
    auto store = Store::open(path.string());
    const Ledger l = buildLedger(*store);
    const Recovery rec = recoverItems(openFile(path.string()), l);
    ASSERT_EQ(rec.items.size(), 3u);
    std::map<std::string, const RecoveredItem*> byName;
    for (const RecoveredItem& i : rec.items) byName[i.name] = &i;
    ASSERT_EQ(byName.size(), 3u);
    for (int i : {RemovedStore::kDeleted, RemovedStore::kOverwritten, RemovedStore::kOrphaned}) {
        SCOPED_TRACE(subjectOf(i));
        ASSERT_TRUE(byName.count(subjectOf(i)));
        const RecoveredItem& item = *byName[subjectOf(i)];
        EXPECT_FALSE(item.blockOffsets.empty());
        Message m = rec.message(item);
        EXPECT_EQ(m.properties().get(0x1000)->utf8(), std::string(bodyOf(i), 'b'));
        if (i == RemovedStore::kOverwritten) {
            EXPECT_FALSE(item.complete);
            EXPECT_NE(item.state().find("recipients"), std::string::npos) << item.state();
            EXPECT_EQ(item.origin(), "deleted: blocks in free space");
        } else {
            EXPECT_TRUE(item.complete) << item.state();
            TableContext recipients = m.recipientTable();
            ASSERT_EQ(recipients.rowCount(), 1u);
            EXPECT_EQ(recipients.row(0).find(0x3001)->utf8(), "Recipient of " + subjectOf(i));
            EXPECT_EQ(item.origin(), i == RemovedStore::kOrphaned ? "orphaned node " + hex(r.nids[i])
                                                                  : std::string("deleted: blocks in free space"));
        }
        TableContext attachments = m.attachmentTable();
        ASSERT_EQ(attachments.rowCount(), 1u);
        const auto data = m.attachment(attachments.rowId(0)).readData();
        EXPECT_EQ(data, std::vector<uint8_t>(attachmentOf(i), 0x5A));
    }
    store.reset();
    EXPECT_TRUE(fileBytes(path) == before);
}

// pffexport's recovered items on every sample: each one it names is recovered by Dravik too,
// or is the very folder or message the store still lists (pffexport also gives back node
// entries of old B-tree pages that point at the data of a live object; Dravik leaves those
// out, as they are no deleted items). Items it cannot name (FolderNNNNN, MessageNNNNN) are
// counted only.
TEST(Recovery, EveryItemPffexportRecoversIsRecoveredOrLive) {
    if (std::system("command -v pffexport > /dev/null 2>&1") != 0) GTEST_SKIP() << "pffexport is not installed";
    TempDir dir;
    int storesWithItems = 0;
    for (const fs::path& p : sampleStores()) {
        SCOPED_TRACE(p.string());
        const fs::path target = dir / p.filename().string();
        const std::string cmd = "pffexport -q -m recovered -f all -t '" + target.string() + "' '" + p.string() + "' > /dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) continue;
        std::set<std::string> theirs;
        const fs::path recovered = target.string() + ".recovered";
        std::error_code ec;
        for (auto& e : fs::directory_iterator(recovered, ec)) {
            std::string name = e.path().filename().string();
            std::ifstream headers(e.path() / "OutlookHeaders.txt");
            for (std::string line; std::getline(headers, line);)
                if (line.rfind("Subject:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 8));
            while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.pop_back();
            const bool generic = (name.rfind("Folder", 0) == 0 || name.rfind("Message", 0) == 0 ||
                                  name.rfind("Appointment", 0) == 0) &&
                                 name.size() > 5 && std::isdigit(static_cast<unsigned char>(name.back()));
            if (!generic) theirs.insert(name);
        }
        if (theirs.empty()) continue;
        auto store = Store::open(p.string());
        const Ledger l = buildLedger(*store);
        const Recovery rec = recoverItems(openFile(p.string()), l);
        std::set<std::string> ours, live;
        for (const RecoveredItem& i : rec.items) ours.insert(i.name);
        walkStore(*store, [&live](const WalkEvent& e) {
            if (e.kind == WalkEvent::Kind::Folder)
                if (auto n = e.folder->properties().get(0x3001)) live.insert(n->utf8());
            if (e.kind == WalkEvent::Kind::Message)
                if (auto n = e.message->properties().get(0x0037)) live.insert(n->utf8());
        });
        for (const std::string& name : theirs)
            EXPECT_TRUE(ours.count(name) || live.count(name)) << "pffexport recovers \"" << name << "\"";
        if (!ours.empty()) ++storesWithItems;
    }
    EXPECT_GE(storesWithItems, 1);
}
