// Stores written by StoreWriter, read back by pffexport and readpst.
#include "DemoStore.h"
#include "ReadBack.h"
#include "StoreWriter.h"
#include "pst/messaging/store.h"
#include "pst/messaging/walk.h"
#include "pst/ndb/crc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace dravik::pst::writer;
using namespace dravik::pst::writer::test;
namespace pst = dravik::pst;

namespace {

constexpr uint32_t PR_MESSAGE_CLASS = 0x001A001F, PR_SUBJECT = 0x0037001F, PR_DISPLAY_NAME = 0x3001001F;

std::string utf8Of(const PropValue* v) {
    // The test descriptions hold ASCII text only.
    std::string s;
    if (v) {
        for (size_t i = 0; i + 1 < v->bytes.size(); i += 2) s += static_cast<char>(v->bytes[i]);
    }
    return s;
}

// What a reader should see of one message of a description.
struct Expected {
    std::string folder, subject, cls;
    std::vector<std::string> recipients;
    std::multiset<std::vector<uint8_t>> attachmentData;  // by-value attachments
    bool embedded = false;
};

void collect(const Message& m, const std::string& folder, bool embedded, std::vector<Expected>& out) {
    Expected e{folder, utf8Of(m.props.find(PR_SUBJECT >> 16)), utf8Of(m.props.find(PR_MESSAGE_CLASS >> 16)), {}, {}, embedded};
    for (const auto& r : m.recipients) e.recipients.push_back(utf8Of(r.props.find(PR_DISPLAY_NAME >> 16)));
    for (const auto& a : m.attachments) {
        if (a.embedded) collect(*a.embedded, folder, true, out);
        else e.attachmentData.insert(a.data);
    }
    out.push_back(std::move(e));
}

void collect(const Folder& f, const std::string& path, std::vector<Expected>& out) {
    for (const auto& m : f.messages) collect(m, path, false, out);
    for (const auto& sub : f.folders) collect(sub, path.empty() ? sub.displayName : path + "/" + sub.displayName, out);
}

std::vector<Expected> expectedOf(const StoreDescription& d, const std::function<bool(const std::string&)>& shown) {
    std::vector<Expected> all, out;
    collect(d.ipmSubtree, "", all);
    for (auto& e : all)
        if (shown(e.cls)) out.push_back(std::move(e));
    return out;
}

// Every expected message is read exactly once, with its subject, recipients and bytes.
void expectSame(const std::vector<Expected>& expected, const std::vector<ReadMessage>& read, bool checkRecipients) {
    std::vector<bool> used(read.size(), false);
    std::multimap<std::string, size_t> bySubject;
    for (size_t i = 0; i < read.size(); ++i) bySubject.emplace(read[i].subject, i);
    for (const auto& e : expected) {
        SCOPED_TRACE(e.folder + " / " + e.subject);
        size_t found = read.size();
        for (auto [it, end] = bySubject.equal_range(e.subject); it != end; ++it)
            if (!used[it->second] && read[it->second].folder == e.folder && read[it->second].embedded == e.embedded) {
                found = it->second;
                break;
            }
        ASSERT_LT(found, read.size()) << "message not read back";
        used[found] = true;
        const ReadMessage& r = read[found];
        if (checkRecipients) {
            EXPECT_EQ(r.recipients, e.recipients);
        }
        std::multiset<std::vector<uint8_t>> got;
        for (auto& [name, bytes] : r.attachments) got.insert(bytes);
        EXPECT_TRUE(got == e.attachmentData) << "attachment bytes differ: " << got.size() << " read, "
                                             << e.attachmentData.size() << " written";
    }
    for (size_t i = 0; i < read.size(); ++i)
        EXPECT_TRUE(used[i]) << "read back but not written: " << read[i].folder << " / " << read[i].subject;
}

bool pffexportShows(const std::string& cls) {
    return cls != "IPM.Rule.Message" && cls.rfind("IPM.Dravik.", 0) != 0;  // pffexport skips unknown kinds
}

bool readpstShows(const std::string& cls) { return cls == "IPM.Note" || cls == "IPM.Appointment"; }

Message smallMessage(const std::string& subject) {
    Message m;
    m.props.set(PR_SUBJECT, PropValue::unicode(subject));
    Recipient r;
    r.props.set(PR_DISPLAY_NAME, PropValue::unicode("Reader " + subject));
    m.recipients.push_back(r);
    return m;
}

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

}  // namespace

TEST(StoreWriter, DemoStoreHasEveryFolder) {
    TempDir dir;
    const auto d = demoStore();
    writeStore(dir / "demo.pst", d);
    const std::vector<std::string> folders = {"Calendar", "Contacts", "Deleted Items", "Engine Drawings",
                                              "Engine Drawings/Old Drawings", "Inbox", "Journal", "Notes", "Tasks"};
    EXPECT_EQ(foldersWithPffexport(dir / "demo.pst", dir.path()), folders);
}

TEST(StoreWriter, EveryFormatAndEncodingReadsBack) {
    const struct {
        StoreFormat format;
        Encoding encoding;
    } cases[] = {{StoreFormat::Unicode, Encoding::None}, {StoreFormat::Unicode, Encoding::Permute},
                 {StoreFormat::Unicode, Encoding::Cyclic}, {StoreFormat::Ansi, Encoding::None},
                 {StoreFormat::Ansi, Encoding::Permute}, {StoreFormat::Ansi, Encoding::Cyclic}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.format == StoreFormat::Ansi ? "ANSI" : "Unicode") + " encoding " +
                     std::to_string(static_cast<int>(c.encoding)));
        TempDir dir;
        auto d = demoStore();
        d.options.format = c.format;
        d.options.encoding = c.encoding;
        writeStore(dir / "demo.pst", d);
        const auto info = pst::Store::open((dir / "demo.pst").string())->info();
        EXPECT_EQ(info.encryption, c.encoding);
        EXPECT_EQ(info.wVer, c.format == StoreFormat::Ansi ? 14 : 23);
        expectSame(expectedOf(d, [](const std::string&) { return true; }), readWithOurReader(dir / "demo.pst"), true);
        expectSame(expectedOf(d, pffexportShows), readWithPffexport(dir / "demo.pst", dir.path()), true);
        auto read = readWithReadpst(dir / "demo.pst", dir.path());
        std::erase_if(read, [](const ReadMessage& m) { return m.folder == "Contacts"; });
        auto expected = expectedOf(d, readpstShows);
        std::erase_if(expected, [](const Expected& e) { return e.embedded; });
        expectSame(expected, read, false);
    }
}

TEST(StoreWriter, CyclicStoreOfMoreThan65536Blocks) {
    // Past block 65,536 the BIDs' low 32 bits have their upper half set, which the cyclic
    // key folds in.
    TempDir dir;
    StoreDescription d;
    d.options.encoding = Encoding::Cyclic;
    Folder f{"Many", "IPF.Note", {}, {}, {}, {}};
    for (int i = 0; i < 6700; ++i) {
        Message m;
        m.props.set(PR_SUBJECT, PropValue::unicode("c" + std::to_string(i)));
        for (uint32_t k = 0; k < 2; ++k) {
            Attachment a;
            a.props.set(0x3707001F, PropValue::unicode("a" + std::to_string(k) + ".bin"));
            a.data = pattern(4000, static_cast<uint32_t>(i * 2 + k));  // over the heap's limit: a block of its own
            m.attachments.push_back(std::move(a));
        }
        f.messages.push_back(std::move(m));
    }
    d.ipmSubtree.folders.push_back(std::move(f));
    const auto stats = writeStore(dir / "cyclic.pst", d);
    EXPECT_GT(stats.blocks, 65536u);
    RecordProperty("blocks", std::to_string(stats.blocks));
    const auto expected = expectedOf(d, [](const std::string&) { return true; });
    expectSame(expected, readWithOurReader(dir / "cyclic.pst"), true);
    expectSame(expected, readWithPffexport(dir / "cyclic.pst", dir.path()), true);
}

TEST(StoreWriter, DemoStoreIsTheSameOnEveryRun) {
    TempDir dir;
    writeStore(dir / "a.pst", demoStore());
    writeStore(dir / "b.pst", demoStore());
    const auto a = fileBytes(dir / "a.pst");
    EXPECT_GT(a.size(), 0x4400u);
    EXPECT_TRUE(a == fileBytes(dir / "b.pst"));
}

TEST(StoreWriter, TenThousandMessagesInOneFolder) {
    TempDir dir;
    StoreDescription d;
    Folder f{"Bulk", "IPF.Note", {}, {}, {}, {}};
    for (int i = 0; i < 10000; ++i) f.messages.push_back(smallMessage("m" + std::to_string(i)));
    d.ipmSubtree.folders.push_back(std::move(f));
    const auto stats = writeStore(dir / "bulk.pst", d);
    EXPECT_GT(stats.blocks, 20000u);
    const auto expected = expectedOf(d, [](const std::string&) { return true; });
    expectSame(expected, readWithOurReader(dir / "bulk.pst"), true);
    expectSame(expected, readWithPffexport(dir / "bulk.pst", dir.path()), true);
    expectSame(expected, readWithReadpst(dir / "bulk.pst", dir.path()), false);
}

TEST(StoreWriter, ValueOverSeveralXBlocks) {
    // One XBLOCK holds 1021 blocks of 8176 bytes; this value needs an XXBLOCK over two of them,
    // and a body that needs an XBLOCK of its own.
    TempDir dir;
    StoreDescription d;
    Message m = smallMessage("large");
    Attachment a;
    a.props.set(0x3707001F, PropValue::unicode("large.bin"));
    a.data = pattern(1021 * 8176 + 5000, 7);
    m.attachments.push_back(a);
    std::string body(100000, 'x');
    m.props.set(0x1000001F, PropValue::unicode(body));
    d.ipmSubtree.messages.push_back(m);
    writeStore(dir / "large.pst", d);
    const auto expected = expectedOf(d, [](const std::string&) { return true; });
    expectSame(expected, readWithOurReader(dir / "large.pst"), true);
    expectSame(expected, readWithPffexport(dir / "large.pst", dir.path()), true);
    expectSame(expected, readWithReadpst(dir / "large.pst", dir.path()), false);
}

TEST(StoreWriter, DataPastFourGiBInASparseFile) {
    TempDir dir;
    StoreDescription d;
    d.options.dataStartOffset = 0x110000000ull;  // 4.25 GiB
    Message m = smallMessage("far away");
    Attachment a;
    a.props.set(0x3707001F, PropValue::unicode("far.bin"));
    a.data = pattern(20000, 3);
    m.attachments.push_back(a);
    Folder f{"Far", "IPF.Note", {}, {}, {}, {}};
    f.messages.push_back(m);
    d.ipmSubtree.folders.push_back(f);
    const auto stats = writeStore(dir / "far.pst", d);
    EXPECT_GT(stats.fileSize, 0x110000000ull);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "far.pst").c_str(), &st), 0);
    // Only the allocation map pages in the hole take space.
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 256ull << 20) << "the hole should not take disk space";
    const auto expected = expectedOf(d, [](const std::string&) { return true; });
    expectSame(expected, readWithOurReader(dir / "far.pst"), true);
    expectSame(expected, readWithPffexport(dir / "far.pst", dir.path()), true);
}

TEST(StoreWriter, ReportsBadUse) {
    TempDir dir;
    EXPECT_THROW(StoreWriter((dir / "missing" / "x.pst").string(), StoreOptions{}), std::runtime_error);
    StoreWriter w((dir / "x.pst").string(), StoreOptions{});
    EXPECT_THROW(w.addFolder(0x12345, "x"), std::invalid_argument);
    EXPECT_THROW(w.addMessage(0x12345, Message{}), std::invalid_argument);
    EXPECT_THROW(Guid::parse("not a guid"), std::invalid_argument);
}

namespace {

std::optional<uint16_t> idOf(const pst::NameMap& map, const PropKey& key) {
    if (std::holds_alternative<uint16_t>(key)) return std::get<uint16_t>(key);
    const NamedProp& n = std::get<NamedProp>(key);
    pst::Guid g;
    std::copy(n.guid.bytes.begin(), n.guid.bytes.end(), g.begin());
    if (std::holds_alternative<uint32_t>(n.name)) return map.idOf(g, std::get<uint32_t>(n.name));
    return map.idOf(g, std::get<std::string>(n.name));
}

// Every property of the bag is on the object, with its type and its bytes.
void expectProperties(const PropertyBag& bag, const pst::PropertyContext& pc, const pst::NameMap& map) {
    for (const auto& [key, v] : bag.items()) {
        const auto id = idOf(map, key);
        ASSERT_TRUE(id.has_value()) << "named property missing from the name-to-ID map";
        SCOPED_TRACE(*id);
        const auto p = pc.get(*id);
        ASSERT_TRUE(p.has_value()) << "property not read back";
        EXPECT_EQ(p->type, v.type);
        EXPECT_TRUE(p->raw == v.bytes) << p->raw.size() << " bytes read, " << v.bytes.size() << " written";
    }
}

void expectFolderProperties(pst::Store& store, uint32_t nid, const Folder& f) {
    const pst::Folder folder = store.folder(nid);
    const auto contents = folder.contentsTable().rows();
    ASSERT_EQ(contents.size(), f.messages.size());
    for (size_t i = 0; i < contents.size(); ++i) {
        SCOPED_TRACE(utf8Of(f.messages[i].props.find(PR_SUBJECT >> 16)));
        expectProperties(f.messages[i].props, store.message(contents[i].rowId).properties(), store.nameMap());
    }
    const auto subs = folder.hierarchyTable().rows();
    for (const auto& sub : f.folders) {
        auto it = std::find_if(subs.begin(), subs.end(), [&](const pst::TableRow& r) {
            const auto* name = r.find(PR_DISPLAY_NAME >> 16);
            return name && name->utf8() == sub.displayName;
        });
        ASSERT_NE(it, subs.end()) << sub.displayName;
        expectFolderProperties(store, it->rowId, sub);
    }
}

}  // namespace

TEST(StoreWriter, DemoPropertiesReadBackWithTypeAndBytes) {
    // Covers every value type of the demo: over 32 KiB, PT_ERROR, multi-valued, unknown
    // types, named properties by number and by name, dates past 9999 and at midnight.
    TempDir dir;
    auto d = demoStore();
    d.options.password = "secret";
    writeStore(dir / "demo.pst", d);
    auto store = pst::Store::open((dir / "demo.pst").string());
    expectProperties(d.storeProps, store->properties(), store->nameMap());
    EXPECT_EQ(store->properties().get(PR_DISPLAY_NAME >> 16)->utf8(), "Dravik Demo Store");
    const std::string pw = "secret";
    EXPECT_EQ(store->passwordCrc(), pst::computeCrc(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(pw.data()), pw.size())));
    uint32_t top = 0;
    for (const auto& row : store->folder(store->rootFolderNid()).hierarchyTable().rows())
        if (row.find(PR_DISPLAY_NAME >> 16)->utf8() == "Top of Personal Folders") top = row.rowId;
    ASSERT_NE(top, 0u);
    expectFolderProperties(*store, top, d.ipmSubtree);
}

TEST(StoreWriter, TableCellsTooLargeForTheHeapReadAsViews) {
    // A contents table's cells over 3580 bytes live in subnodes of the table:
    // a row read as views holds two of them at once, between rows whose cells
    // are in the heap, and each is the message's own value.
    TempDir dir;
    StoreDescription d;
    Folder f{"Large cells", "IPF.Note", {}, {}, {}, {}};
    for (int i = 0; i < 6; ++i) {
        Message m = smallMessage(i % 2 ? std::string(2500 * i, char('a' + i)) : "short " + std::to_string(i));
        if (i % 2) m.props.set(0x0042001F, PropValue::unicode(std::string(2100 * i, char('A' + i))));
        f.messages.push_back(std::move(m));
    }
    d.ipmSubtree.folders.push_back(std::move(f));
    writeStore(dir / "cells.pst", d);
    auto store = pst::Store::open((dir / "cells.pst").string());
    size_t large = 0, rows = 0;
    walkStore(*store, [&](const pst::WalkEvent& e) {
        if (e.kind != pst::WalkEvent::Kind::Folder) return;
        const pst::TableContext t = e.folder->contentsTable();
        std::vector<uint32_t> all(t.columns().size());
        for (size_t k = 0; k < all.size(); ++k) all[k] = static_cast<uint32_t>(k);
        pst::TableRowView view;
        for (size_t i = 0; i < t.rowCount(); ++i) {
            t.row(i, all, view);
            ASSERT_TRUE(view.damaged.empty()) << i;
            const pst::Message m = store->message(view.rowId);
            for (const pst::TableRowView::Cell& c : view.cells) {
                if (c.id == 0x67F2 || c.id == 0x67F3) continue;  // the row's own ID and version
                const auto p = m.properties().get(c.id);
                ASSERT_TRUE(p.has_value()) << std::hex << c.tag();
                EXPECT_TRUE(std::equal(c.raw.begin(), c.raw.end(), p->raw.begin(), p->raw.end())) << std::hex << c.tag();
                if (c.raw.size() > 3580) ++large;
            }
            ++rows;
        }
    });
    EXPECT_EQ(rows, 6u);
    EXPECT_EQ(large, 6u);  // the subject and the name of every other message
}
