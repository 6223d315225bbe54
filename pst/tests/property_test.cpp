// Exact values read from the sample stores and from stores our writer makes.
#include "pst/messaging/store.h"
#include "pst/messaging/walk.h"
#include "pst/ndb/crc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace dravik::pst;

namespace {
std::string sample(const char* name) { return std::string(DRAVIK_SAMPLES_DIR) + "/" + name; }

std::string text(const std::vector<uint8_t>& utf16) { return utf16ToUtf8(utf16.data(), utf16.size()); }

constexpr Guid PSETID_Common = {0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
}  // namespace

TEST(StoreFacts, HeaderFactsOfEachKindOfFile) {
    struct Case {
        const char* file;
        FileFormat format;
        uint16_t wVer;
        CryptMethod crypt;
        bool ost;
    };
    for (const Case& c : {Case{"pstsdk-sample2.pst", FileFormat::Ansi, 14, CryptMethod::Permute, false},
                          Case{"pstsdk-sample1.pst", FileFormat::Unicode, 23, CryptMethod::Permute, false},
                          Case{"pst-extractor-outlookcom.ost", FileFormat::Unicode4k, 36, CryptMethod::None, true}}) {
        auto s = Store::open(sample(c.file));
        StoreInfo i = s->info();
        EXPECT_EQ(i.format, c.format) << c.file;
        EXPECT_EQ(i.wVer, c.wVer) << c.file;
        EXPECT_EQ(i.encryption, c.crypt) << c.file;
        EXPECT_EQ(i.ost, c.ost) << c.file;
    }
}

TEST(StoreFacts, PasswordCrcAndRecordKey) {
    auto pw = Store::open(sample("java-libpst-passworded.pst"));
    ASSERT_TRUE(pw->passwordCrc());
    EXPECT_EQ(*pw->passwordCrc(), 0xe61eb50fu);  // as pffinfo reports it

    auto s = Store::open(sample("pstsdk-sample1.pst"));
    const std::vector<uint8_t> key = {0x6a, 0x55, 0x2b, 0x81, 0x3c, 0x43, 0xf9, 0x43,
                                      0x84, 0xf1, 0x8b, 0x7d, 0xa2, 0x39, 0x3e, 0x95};
    EXPECT_EQ(s->recordKey(), key);
}

TEST(Properties, MultiValuedStringsAndTheNamedPropertyMapBothWays) {
    auto s = Store::open(sample("pstsdk-sample1.pst"));
    const NameMap& map = s->nameMap();

    // String name: PS_PUBLIC_STRINGS "Keywords" <-> 0x8012.
    ASSERT_EQ(map.idOf(PS_PUBLIC_STRINGS, "Keywords"), std::optional<uint16_t>(0x8012));
    const NamedProperty* kw = map.find(0x8012);
    ASSERT_NE(kw, nullptr);
    EXPECT_EQ(kw->kind, NamedProperty::Kind::String);
    EXPECT_EQ(kw->name, "Keywords");
    EXPECT_EQ(guidText(kw->guid), "{00020329-0000-0000-C000-000000000046}");

    // Numeric name: PSETID_Common 0x8510 <-> 0x8010.
    ASSERT_EQ(map.idOf(PSETID_Common, 0x8510), std::optional<uint16_t>(0x8010));
    const NamedProperty* num = map.find(0x8010);
    ASSERT_NE(num, nullptr);
    EXPECT_EQ(num->kind, NamedProperty::Kind::Id);
    EXPECT_EQ(num->lid, 0x8510u);
    EXPECT_EQ(map.find(0x7FFF), nullptr);
    EXPECT_FALSE(map.idOf(PS_PUBLIC_STRINGS, "NoSuchName"));

    Message m = s->message(0x200024);
    auto keywords = m.properties().get(0x8012);
    ASSERT_TRUE(keywords);
    EXPECT_EQ(keywords->type, 0x101F);  // PT_MV_UNICODE
    auto values = keywords->multiValues();
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(text(values[0]), "Green Category");
    EXPECT_EQ(text(values[1]), "Blue Category");
}

TEST(Properties, ValueInASubnodeIsSizedWithoutReadingAndReadWholeOrInRanges) {
    auto s = Store::open(sample("pstsdk-sample1.pst"));
    Message m = s->message(0x200024);
    const PropEntry* e = m.properties().find(0x007D);  // PR_TRANSPORT_MESSAGE_HEADERS
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->place, PropEntry::Place::Subnode);
    EXPECT_EQ(e->size, 2196u);
    Property whole = m.properties().read(*e);
    ASSERT_EQ(whole.raw.size(), 2196u);
    EXPECT_EQ(whole.utf8().rfind("Received: from TK5EX14MBXC114.redmond.corp.microsoft.com", 0), 0u);
    auto part = m.properties().readRange(*e, 100, 50);
    EXPECT_EQ(part, std::vector<uint8_t>(whole.raw.begin() + 100, whole.raw.begin() + 150));
    EXPECT_EQ(m.properties().readRange(*e, 2190, 100).size(), 6u);
    EXPECT_TRUE(m.properties().readRange(*e, 5000, 10).empty());
}

TEST(Properties, AttachmentDataInADataTreeWholeAndInRangesAcrossBlocks) {
    auto s = Store::open(sample("pstsdk-sample1.pst"));
    Message m = s->message(0x200024);
    TableContext t = m.attachmentTable();
    ASSERT_EQ(t.rowCount(), 1u);
    Attachment a = m.attachment(t.row(0).rowId);
    EXPECT_EQ(a.attachMethod(), 1);
    EXPECT_EQ(a.dataSize(), 93142u);
    auto data = a.readData();
    ASSERT_EQ(data.size(), 93142u);
    EXPECT_EQ(computeCrc(data), 0x4f50399fu);  // the bytes pffexport writes for leah_thumper.jpg
    for (uint64_t off : {0ull, 8170ull, 8176ull, 50000ull, 93100ull}) {
        auto part = a.readData(off, 9000);
        size_t n = std::min<size_t>(9000, data.size() - off);
        EXPECT_EQ(part, std::vector<uint8_t>(data.begin() + off, data.begin() + off + n)) << off;
    }
}

TEST(Properties, EmbeddedMessageOpensAsAMessage) {
    auto s = Store::open(sample("pstsdk-submessage.pst"));
    Message m = s->message(0x200024);
    TableContext t = m.attachmentTable();
    ASSERT_EQ(t.rowCount(), 1u);
    Attachment a = m.attachment(t.row(0).rowId);
    EXPECT_EQ(a.attachMethod(), 5);
    ASSERT_TRUE(a.hasEmbeddedMessage());
    Message e = a.embeddedMessage();
    EXPECT_EQ(e.properties().get(0x0037)->utf8(), "\x01\x01This is an embedded message");  // raw, with its prefix marker
    EXPECT_EQ(e.recipientTable().rowCount(), 1u);
    EXPECT_THROW(a.readData(), Error);  // no PR_ATTACH_DATA_BIN on an embedded message
}

// Stores written by pstgen in each encoding: a contents table whose row matrix spans several
// blocks, every row opening as its message.
TEST(WriterStores, RowMatrixAcrossBlocksInEveryEncoding) {
    const std::string pstgen = std::string(DRAVIK_BINARY_DIR) + "/tools/pstgen/pstgen";
    if (!fs::exists(pstgen)) GTEST_SKIP() << "pstgen is not built";
    fs::path dir = fs::temp_directory_path() / ("dravik-pstgen-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    for (const char* enc : {"none", "permute", "cyclic"}) {
        fs::path out = dir / (std::string(enc) + ".pst");
        std::string cmd = pstgen + " scale '" + out.string() + "' --folders 1 --messages 300 --recipients 1 --attachments 0 --encoding " +
                          enc + " > /dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        auto s = Store::open(out.string());
        EXPECT_EQ(static_cast<int>(s->info().encryption), std::string(enc) == "none" ? 0 : std::string(enc) == "permute" ? 1 : 2);
        bool found = false;
        walkStore(*s, [&](const WalkEvent& e) {
            if (e.kind != WalkEvent::Kind::Folder) return;
            TableContext t = e.folder->contentsTable();
            if (t.rowCount() != 300) return;
            found = true;
            EXPECT_GT(t.rowMatrixBlocks(), 1u) << enc;
            std::set<uint32_t> ids;
            for (const auto& row : t.rows()) {
                ids.insert(row.rowId);
                Message m = s->message(row.rowId);
                EXPECT_EQ(m.recipientTable().rowCount(), 1u);
            }
            EXPECT_EQ(ids.size(), 300u) << enc;
        });
        EXPECT_TRUE(found) << enc;
        WalkStats st = walkStore(*s);
        EXPECT_EQ(st.errors, 0u) << enc;
        EXPECT_EQ(st.messages, 300u) << enc;
    }
    fs::remove_all(dir);
}

// The demo store our writer makes holds one of everything: read it back value by value.
TEST(WriterStores, DemoStoreValuesOfRareTypes) {
    const std::string pstgen = std::string(DRAVIK_BINARY_DIR) + "/tools/pstgen/pstgen";
    if (!fs::exists(pstgen)) GTEST_SKIP() << "pstgen is not built";
    fs::path out = fs::temp_directory_path() / ("dravik-demo-" + std::to_string(::getpid()) + ".pst");
    ASSERT_EQ(std::system((pstgen + " demo '" + out.string() + "' > /dev/null").c_str()), 0);
    auto s = Store::open(out.string());
    WalkStats st = walkStore(*s);
    EXPECT_EQ(st.errors, 0u);
    EXPECT_GT(st.messages, 0u);

    bool sawServerId = false, sawNumbers = false;
    walkStore(*s, [&](const WalkEvent& e) {
        if (e.kind != WalkEvent::Kind::Message) return;
        const PropertyContext& pc = e.message->properties();
        if (auto p = pc.get(0x6750); p && p->type == 0x00FB) {  // PT_SVREID, delivered as its bytes
            sawServerId = true;
            EXPECT_EQ(p->raw, (std::vector<uint8_t>{0x01, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}));
        }
        for (const NamedProperty& np : s->nameMap().all()) {
            if (np.kind != NamedProperty::Kind::String || np.name != "Sample Numbers") continue;
            EXPECT_EQ(s->nameMap().idOf(np.guid, "Sample Numbers"), std::optional<uint16_t>(np.propId));
            if (auto p = pc.get(np.propId)) {
                sawNumbers = true;
                EXPECT_EQ(p->type, 0x1003);  // PT_MV_LONG
                std::vector<int64_t> values;
                for (auto& v : p->multiValues()) values.push_back(Property{0, 0x0003, v}.int64().value_or(0));
                EXPECT_EQ(values, (std::vector<int64_t>{1, -2, 300000}));
            }
        }
    });
    EXPECT_TRUE(sawServerId);
    EXPECT_TRUE(sawNumbers);
    fs::remove(out);
}

// Tables read block by block give the same rows in any order: forward, backward and
// by single cells, in every table of every sample and of a store whose contents table
// spans many row blocks and heap blocks.
namespace {
bool sameRow(const TableRow& a, const TableRow& b) {
    if (a.rowId != b.rowId || a.damaged != b.damaged || a.cells.size() != b.cells.size()) return false;
    for (size_t i = 0; i < a.cells.size(); ++i)
        if (a.cells[i].id != b.cells[i].id || a.cells[i].type != b.cells[i].type || a.cells[i].raw != b.cells[i].raw)
            return false;
    return true;
}

// Every table of the store; returns the largest row count seen.
size_t checkTablesInAnyOrder(Store& s, const std::string& label) {
    size_t largest = 0;
    auto check = [&](const TableContext& t, const char* what, uint32_t nid) {
        SCOPED_TRACE(label + " " + what + " of " + std::to_string(nid));
        largest = std::max(largest, t.rowCount());
        const std::vector<TableRow> forward = t.rows();
        ASSERT_EQ(forward.size(), t.rowCount());
        for (size_t i = forward.size(); i-- > 0;) {
            ASSERT_TRUE(sameRow(t.row(i), forward[i])) << "row " << i << " read backward";
            ASSERT_EQ(t.rowId(i), forward[i].rowId) << i;
            for (const TableColumn& c : t.columns()) {
                const Property* p = forward[i].find(c.id());
                const bool damaged = std::count(forward[i].damaged.begin(), forward[i].damaged.end(), c.tag) > 0;
                if (damaged) {
                    EXPECT_THROW(t.cell(i, c.id()), Error);
                    continue;
                }
                const std::optional<Property> cell = t.cell(i, c.id());
                ASSERT_EQ(cell.has_value(), p != nullptr) << i << " " << c.tag;
                if (p) {
                    ASSERT_EQ(cell->raw, p->raw) << i << " " << c.tag;
                }
            }
        }
        // Read into one row kept from row to row, with now every column and now
        // every other one, by marks and by the indexes made from them: each the
        // same as the row read anew.
        TableRow reused, reusedByIndex;
        TableRowView view;
        const std::vector<bool> all(t.columns().size(), true);
        std::vector<bool> some(t.columns().size());
        for (size_t k = 0; k < some.size(); ++k) some[k] = k % 2 == 0;
        const std::vector<uint32_t> allIndexes = t.columnIndexes(all), someIndexes = t.columnIndexes(some);
        for (size_t i = forward.size(); i-- > 0;) {
            const std::vector<bool>& wanted = i % 3 == 0 ? some : all;
            t.row(i, wanted, reused);
            ASSERT_TRUE(sameRow(reused, t.row(i, wanted))) << "row " << i << " read into a row used before";
            t.row(i, i % 3 == 0 ? someIndexes : allIndexes, reusedByIndex);
            ASSERT_TRUE(sameRow(reusedByIndex, reused)) << "row " << i << " read by column indexes";
            // And as views of the file's bytes, into one view kept from row to row.
            t.row(i, i % 3 == 0 ? someIndexes : allIndexes, view);
            ASSERT_EQ(view.rowId, reused.rowId) << "row " << i << " as views";
            ASSERT_EQ(view.damaged, reused.damaged) << "row " << i << " as views";
            ASSERT_EQ(view.cells.size(), reused.cells.size()) << "row " << i << " as views";
            for (size_t k = 0; k < view.cells.size(); ++k) {
                const TableRowView::Cell& c = view.cells[k];
                ASSERT_EQ(c.tag(), reused.cells[k].tag()) << "row " << i << " as views";
                ASSERT_TRUE(std::equal(c.raw.begin(), c.raw.end(), reused.cells[k].raw.begin(), reused.cells[k].raw.end()))
                    << "row " << i << " cell " << std::hex << c.tag() << " as views";
                ASSERT_EQ(c.int64(), reused.cells[k].int64());
            }
        }
    };
    walkStore(s, [&](const WalkEvent& e) {
        if (e.kind == WalkEvent::Kind::Folder) {
            check(e.folder->hierarchyTable(), "hierarchy", e.nid);
            check(e.folder->contentsTable(), "contents", e.nid);
            check(e.folder->associatedContentsTable(), "associated contents", e.nid);
        } else if (e.kind == WalkEvent::Kind::Message) {
            check(e.message->recipientTable(), "recipients", e.nid);
            check(e.message->attachmentTable(), "attachments", e.nid);
        }
    });
    return largest;
}
}  // namespace

TEST(Tables, RowsAreTheSameInAnyOrder) {
    for (const char* name : {"pst-extractor-enron.pst", "pst-extractor-outlookcom.ost", "pstsdk-sample1.pst",
                             "java-libpst-dist-list.pst", "pstsdk-test_ansi.pst", "pstsdk-submessage.pst"}) {
        auto s = Store::open(sample(name));
        EXPECT_GT(checkTablesInAnyOrder(*s, name), 0u);
    }
    const std::string pstgen = std::string(DRAVIK_BINARY_DIR) + "/tools/pstgen/pstgen";
    if (!fs::exists(pstgen)) GTEST_SKIP() << "pstgen is not built";
    fs::path out = fs::temp_directory_path() / ("dravik-tables-" + std::to_string(::getpid()) + ".pst");
    std::string cmd = pstgen + " scale '" + out.string() +
                      "' --folders 1 --messages 3000 --recipients 1 --attachments 0 --body-size 10 > /dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    auto s = Store::open(out.string());
    EXPECT_EQ(checkTablesInAnyOrder(*s, "pstgen"), 3000u);
    fs::remove(out);
}
