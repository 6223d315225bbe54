// Each kind of damage the file's own checks cannot see (the CRCs are made right
// again after the damage) is reported: dravik-dump exits 1, says on standard
// error what is damaged with the path of the object, and still lists every
// object the damage does not reach.
#include "DumpTestSupport.h"

#include "Corrupters.h"

#include <algorithm>
#include <functional>

using namespace dumptest;
namespace pst = dravik::pst;
namespace cor = dravik::pst::corrupters;

namespace {

using Bytes = std::vector<uint8_t>;

// A message of the store with the folder that lists it.
struct CFound
{
    uint32_t folderNid = 0;
    uint32_t messageNid = 0;
    pst::NodeRef node;
};

// The first message (in folder order) for which want is true.
CFound FindMessage(pst::Store& store, const std::function<bool(pst::Message&, const pst::NodeRef&)>& want)
{
    CFound found;
    std::function<bool(uint32_t, int)> folder = [&](uint32_t nid, int depth) {
        pst::Folder f = store.folder(nid);
        const pst::TableContext contents = f.contentsTable();
        for (size_t i = 0; i < contents.rowCount(); ++i) {
            const uint32_t mid = contents.rowId(i);
            const pst::NodeRef node = store.ndb().node(mid);
            pst::Message m(store.sharedNdb(), node);
            if (want(m, node)) {
                found = {nid, mid, node};
                return true;
            }
        }
        const pst::TableContext sub = f.hierarchyTable();
        for (size_t i = 0; i < sub.rowCount() && depth < 20; ++i)
            if (folder(sub.rowId(i), depth + 1))
                return true;
        return false;
    };
    folder(store.rootFolderNid(), 0);
    if (!found.messageNid)
        throw std::runtime_error("no message of the kind wanted");
    return found;
}

// The first normal folder (not the root) for which want is true.
uint32_t FindFolder(pst::Store& store, const std::function<bool(pst::Folder&)>& want)
{
    std::function<uint32_t(uint32_t, int)> folder = [&](uint32_t nid, int depth) -> uint32_t {
        pst::Folder f = store.folder(nid);
        if (nid != store.rootFolderNid() && (nid & 0x1F) == pst::NID_TYPE_NORMAL_FOLDER && want(f))
            return nid;
        const pst::TableContext sub = f.hierarchyTable();
        for (size_t i = 0; i < sub.rowCount() && depth < 20; ++i)
            if (const uint32_t n = folder(sub.rowId(i), depth + 1))
                return n;
        return 0;
    };
    if (const uint32_t nid = folder(store.rootFolderNid(), 0))
        return nid;
    throw std::runtime_error("no folder of the kind wanted");
}

std::string Text(const pst::PropertyContext& pc, uint16_t id)
{
    std::optional<pst::Property> p = pc.get(id);
    if (!p)
        return std::string();
    std::string s = p->type == 0x001F ? p->utf8() : std::string(p->raw.begin(), p->raw.end());
    if (s.size() >= 2 && s[0] == '\x01')
        s = s.substr(2);  // the subject's prefix marker
    return s;
}

// A heap's single data block (a small node's).
uint64_t SingleBlock(const pst::NodeRef& node)
{
    if (node.bidData == 0 || (node.bidData & 0x2))
        throw std::runtime_error("not a heap of one block");
    return node.bidData;
}

// TCINFO of a table context's heap block, decoded: the offsets of its fields.
struct CTcInfo
{
    size_t at = 0;
    unsigned cCols = 0;
    uint16_t rowSize = 0;
    uint32_t hnidRows = 0;
};
CTcInfo TcInfo(std::span<const uint8_t> block)
{
    CTcInfo t;
    t.at = cor::heapItem(block, static_cast<uint32_t>(cor::getLe(block.data() + 4, 4))).first;
    t.cCols = block[t.at + 1];
    t.rowSize = static_cast<uint16_t>(cor::getLe(block.data() + t.at + 8, 2));
    t.hnidRows = static_cast<uint32_t>(cor::getLe(block.data() + t.at + 14, 4));
    return t;
}
// The ibData of a column of the table, by property ID.
size_t ColumnOffset(std::span<const uint8_t> block, const CTcInfo& t, uint16_t id)
{
    for (unsigned c = 0; c < t.cCols; ++c) {
        const uint8_t* d = block.data() + t.at + 22 + 8 * c;
        if (cor::getLe(d + 2, 2) == id)
            return cor::getLe(d + 4, 2);
    }
    throw std::runtime_error("no such column");
}

// Changes a row of the first block of a table context's rows (its heap of one block),
// wherever its row matrix lies: change(row, ibData of a column by ID).
void ChangeRow(Bytes& file, pst::Store& store, const pst::NodeRef& table, size_t index,
               const std::function<void(uint8_t*, const std::function<size_t(uint16_t)>&)>& change)
{
    const pst::BlockPtr heap = store.ndb().readBlock(SingleBlock(table));
    const CTcInfo t = TcInfo(*heap);
    const auto column = [&](uint16_t id) { return ColumnOffset(*heap, t, id); };
    const size_t at = index * t.rowSize;
    if ((t.hnidRows & 0x1F) == 0) {
        cor::rewriteBlock(file, store.ndb(), table.bidData, [&](std::span<uint8_t> b) {
            change(b.data() + cor::heapItem(b, t.hnidRows).first + at, column);
        });
        return;
    }
    const pst::NodeRef rows = store.ndb().subnode(table, t.hnidRows);
    const std::vector<uint64_t> blocks = store.ndb().dataBlockIds(rows.bidData);
    cor::rewriteBlock(file, store.ndb(), blocks.at(0), [&](std::span<uint8_t> b) { change(b.data() + at, column); });
}
void ChangeFirstRow(Bytes& file, pst::Store& store, const pst::NodeRef& table,
                    const std::function<void(uint8_t*, const std::function<size_t(uint16_t)>&)>& change)
{
    ChangeRow(file, store, table, 0, change);
}

// The records (key, type, value) of a property context's BTH leaf, decoded: their offset.
size_t PcRecords(std::span<const uint8_t> block, size_t* count)
{
    const auto header = cor::heapItem(block, static_cast<uint32_t>(cor::getLe(block.data() + 4, 4)));
    if (block[header.first + 3] != 0)
        throw std::runtime_error("a BTH of more than one level");
    const auto leaf = cor::heapItem(block, static_cast<uint32_t>(cor::getLe(block.data() + header.first + 4, 4)));
    *count = (leaf.second - leaf.first) / 8;
    return leaf.first;
}

// A message whose property context is a heap of one block.
bool SmallMessage(pst::Message&, const pst::NodeRef& node)
{
    return node.bidData && !(node.bidData & 0x2);
}

// A message with a recipient table and an attachment table.
CFound MessageWithBothTables(pst::Store& store)
{
    return FindMessage(store, [&](pst::Message&, const pst::NodeRef& node) {
        return node.bidSub && store.ndb().findSubnode(node, pst::NID_ATTACHMENT_TABLE) &&
               store.ndb().findSubnode(node, pst::NID_RECIPIENT_TABLE);
    });
}

// Changes the NID of a message's subnode entry.
void ChangeSubnodeNid(Bytes& file, pst::Store& store, const pst::NodeRef& node, uint32_t from, uint32_t to)
{
    EXPECT_EQ(cor::changeSubnodeNid(file, store.ndb(), node, from, to), 1);
}

// Damages the recipient table of a message that has both tables (damage(message)) and
// returns what the report of its recipients holds.
std::vector<std::string> RecipientsNotListed(pst::Store& store, const std::function<void(const CFound&)>& damage)
{
    const CFound m = MessageWithBothTables(store);
    damage(m);
    const std::string subject = Text(store.message(m.messageNid).properties(), 0x0037);
    return {"the recipients cannot be listed: \"Message Stores/", "/" + subject + "\""};
}

struct CDamage
{
    const char* name;
    // Damages file (a copy of the sample, which store reads) and returns what standard
    // error must hold.
    std::function<std::vector<std::string>(Bytes& file, pst::Store& store)> damage;
    // Objects of the good walk that the damage may take away or rename.
    size_t maxLost = 0;
};

void PrintTo(const CDamage& d, std::ostream* os)
{
    *os << d.name;
}

const CDamage kDamages[] = {
    // A recipient's display name points at no heap item: the cell is damaged, whatever the
    // column's type, and the recipient is still listed.
    {"TableCell",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const CFound m = FindMessage(store, [&](pst::Message& msg, const pst::NodeRef& node) {
             const auto rt = store.ndb().findSubnode(node, pst::NID_RECIPIENT_TABLE);
             return rt && rt->bidData && !(rt->bidData & 0x2) && msg.recipientTable().rowCount() > 0;
         });
         const pst::NodeRef rt = store.ndb().subnode(m.node, pst::NID_RECIPIENT_TABLE);
         ChangeFirstRow(file, store, rt, [](uint8_t* row, const auto& column) {
             cor::putLe(row + column(0x3001), 0xFFE0, 4);  // HID index 0x7FF
         });
         const std::string subject = Text(store.message(m.messageNid).properties(), 0x0037);
         return {"a damaged value in its table row", "/" + subject + "/Recipients/", ": 0x3001000a: error 8004011B"};
     },
     1},
    // A folder's hierarchy table cannot be found under its NID: damage, not a folder
    // without subfolders; the folder's messages are still listed.
    {"HierarchyTableNid",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const uint32_t nid = FindFolder(store, [](pst::Folder& f) {
             return f.hierarchyTable().rowCount() == 0 && f.contentsTable().rowCount() > 0;
         });
         const uint32_t table = (nid & ~0x1Fu) | pst::NID_TYPE_HIERARCHY_TABLE;
         EXPECT_GT(cor::changeLeafEntry(file, store.ndb(), 0x81, table,
                                        [&](uint8_t* e) { cor::putLe(e, table - 1, 4); }),
                   0);
         return {"the subfolders cannot be listed", "/" + Text(store.folder(nid).properties(), 0x3001) + "\""};
     }},
    // A message's subnode entry lost its NID: its subnodes cannot be trusted.
    {"SubnodeEntry",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         return RecipientsNotListed(store, [&](const CFound& m) {
             ChangeSubnodeNid(file, store, m.node, pst::NID_RECIPIENT_TABLE, 0x012);
         });
     },
     4},  // the message's recipients and attachments, and their groups
    // A message's recipient or attachment table under another NID that keeps the subnodes
    // in order: a subnode of a kind no message holds, not a message without that table.
    {"RecipientTableSubnodeKind",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         return RecipientsNotListed(store, [&](const CFound& m) {
             ChangeSubnodeNid(file, store, m.node, pst::NID_RECIPIENT_TABLE, pst::NID_RECIPIENT_TABLE + 1);
         });
     },
     2},  // the message's recipients and their group
    // The same with the type of the subnode Outlook writes beside the tables (0x696, one
    // bit from 0x692): only 0x6B6 is that subnode.
    {"RecipientTableSubnodeOneBitOff",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         return RecipientsNotListed(store, [&](const CFound& m) {
             ChangeSubnodeNid(file, store, m.node, pst::NID_RECIPIENT_TABLE, pst::NID_RECIPIENT_TABLE ^ 0x4);
         });
     },
     2},  // the message's recipients and their group
    // A message's recipient table leads to a table without rows (the store's recipient
    // table template) while the message's PR_DISPLAY_TO names recipients.
    {"RecipientTableEmptied",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const pst::NodeRef empty = store.ndb().node(pst::NID_RECIPIENT_TABLE);  // the template
         return RecipientsNotListed(store, [&](const CFound& m) {
             EXPECT_EQ(cor::changeSubnodeEntry(file, store.ndb(), m.node, pst::NID_RECIPIENT_TABLE,
                                               [&](uint8_t* e, size_t w) {
                                                   cor::putLe(e + w, empty.bidData, w);
                                                   cor::putLe(e + 2 * w, 0, w);
                                               }),
                       1);
         });
     },
     ~size_t{0}},  // the message's recipients and their group
    {"AttachmentTableSubnodeKind",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const CFound m = MessageWithBothTables(store);
         ChangeSubnodeNid(file, store, m.node, pst::NID_ATTACHMENT_TABLE, pst::NID_ATTACHMENT_TABLE - 0x10);
         const std::string subject = Text(store.message(m.messageNid).properties(), 0x0037);
         return {"the attachments cannot be listed: \"Message Stores/", "/" + subject + "\""};
     },
     2},  // the message's attachments and their group
    // A table's reference to its row index is zero, while its rows are all there.
    {"RowIndexReference",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const CFound m = FindMessage(store, [&](pst::Message& msg, const pst::NodeRef& node) {
             const auto at = store.ndb().findSubnode(node, pst::NID_ATTACHMENT_TABLE);
             return at && at->bidData && !(at->bidData & 0x2) && msg.attachmentTable().rowCount() > 0;
         });
         const pst::NodeRef at = store.ndb().subnode(m.node, pst::NID_ATTACHMENT_TABLE);
         cor::rewriteBlock(file, store.ndb(), SingleBlock(at), [](std::span<uint8_t> b) {
             cor::putLe(b.data() + TcInfo(b).at + 10, 0, 4);  // hidRowIndex
         });
         const std::string subject = Text(store.message(m.messageNid).properties(), 0x0037);
         return {"the attachments cannot be listed: \"Message Stores/", "/" + subject + "\""};
     },
     2},  // the message's attachments and their group
    // A property context's records out of key order: the message cannot be trusted.
    {"BthKeyOrder",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const CFound m = FindMessage(store, SmallMessage);
         cor::rewriteBlock(file, store.ndb(), SingleBlock(m.node), [](std::span<uint8_t> b) {
             size_t count = 0;
             const size_t at = PcRecords(b, &count);
             b[at + 8 * (count / 2) + 1] = 0xF5;  // 0x30xx read as 0xF5xx
         });
         return {"an object cannot be opened: \"Message Stores/", "error 8004011B"};
     },
     4},  // the message's recipients and attachments, and their groups
    // A record's type is none a store may hold: that value is damaged, the others stay.
    {"PropertyType",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const CFound m = FindMessage(store, SmallMessage);
         uint16_t id = 0;
         cor::rewriteBlock(file, store.ndb(), SingleBlock(m.node), [&](std::span<uint8_t> b) {
             size_t count = 0;
             const size_t at = PcRecords(b, &count) + 8 * (count - 1);
             id = static_cast<uint16_t>(cor::getLe(b.data() + at, 2));
             cor::putLe(b.data() + at + 2, 0x4747, 2);
         });
         char tag[16];
         std::snprintf(tag, sizeof tag, "0x%04x000a", id);
         return {"a damaged value: \"Message Stores/", std::string(": ") + tag + ": error 8004011B"};
     }},
    // A record whose tag is zero: damaged, not a property 0x00000000.
    {"ZeroTag",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const CFound m = FindMessage(store, SmallMessage);
         cor::rewriteBlock(file, store.ndb(), SingleBlock(m.node), [&](std::span<uint8_t> b) {
             size_t count = 0;
             const size_t at = PcRecords(b, &count);
             cor::putLe(b.data() + at, 0, 4);  // the first record's ID and type
         });
         return {"a damaged value: \"Message Stores/", ": 0x0000000a: error 8004011B"};
     }},
    // A value's block is larger in the block B-tree than in its trailer (and larger than a
    // block can be): damaged, not too large to list.
    {"BlockSize",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         uint64_t bid = 0;
         uint16_t id = 0;
         FindMessage(store, [&](pst::Message& msg, const pst::NodeRef& node) {
             for (const pst::PropEntry& e : msg.properties().entries()) {
                 if (e.place != pst::PropEntry::Place::Subnode)
                     continue;
                 const auto sub = store.ndb().findSubnode(node, e.dwValueHnid);
                 if (sub && sub->bidData && !(sub->bidData & 0x2)) {
                     bid = sub->bidData;
                     id = e.id;
                     return true;
                 }
             }
             return false;
         });
         const size_t at = store.ndb().unicode() ? 16 : 8;  // BBTENTRY cb
         EXPECT_GT(cor::changeLeafEntry(file, store.ndb(), 0x80, bid & ~1ull,
                                        [&](uint8_t* e) { cor::putLe(e + at, 0x9000, 2); }),
                   0);
         char tag[16];
         std::snprintf(tag, sizeof tag, "0x%04x000a", id);
         return {"a damaged value: \"Message Stores/", std::string(": ") + tag + ": error 8004011B"};
     }},
    // A message's node names a parent folder that does not list it.
    {"ParentNid",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const CFound m = FindMessage(store, SmallMessage);
         const size_t at = store.ndb().unicode() ? 24 : 12;  // NBTENTRY nidParent
         EXPECT_GT(cor::changeLeafEntry(file, store.ndb(), 0x81, m.messageNid,
                                        [&](uint8_t* e) { cor::putLe(e + at, store.rootFolderNid(), 4); }),
                   0);
         const std::string subject = Text(store.message(m.messageNid).properties(), 0x0037);
         return {"a damaged value: \"Message Stores/", "/" + subject + "\": 0x0e09000a: error 8004011B"};
     }},
    // A contents table's row names a node that is no message.
    {"RowKind",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const uint32_t nid = FindFolder(store, [&](pst::Folder& f) {
             const auto node = store.ndb().findNode((f.nid() & ~0x1Fu) | pst::NID_TYPE_CONTENTS_TABLE);
             return node && node->bidData && !(node->bidData & 0x2) && f.contentsTable().rowCount() > 0;
         });
         const pst::NodeRef table = store.ndb().node((nid & ~0x1Fu) | pst::NID_TYPE_CONTENTS_TABLE);
         ChangeFirstRow(file, store, table, [](uint8_t* row, const auto& column) {
             row[0] = static_cast<uint8_t>((row[0] & ~0x1F) | pst::NID_TYPE_NORMAL_FOLDER);  // dwRowID
             const size_t ib = column(0x67F2);
             row[ib] = static_cast<uint8_t>((row[ib] & ~0x1F) | pst::NID_TYPE_NORMAL_FOLDER);
         });
         return {"a damaged value in its table row: \"Message Stores/", ": 0x0fff000a: error 8004011B"};
     },
     4},  // the message's recipients and attachments, and their groups
    // A folder's contents table node names the block of another (empty) contents table:
    // the folder's stored message count disagrees with what its table holds.
    {"ContentsTableBlock",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const uint32_t nid = FindFolder(store, [](pst::Folder& f) { return f.contentsTable().rowCount() > 0; });
         const uint32_t table = (nid & ~0x1Fu) | pst::NID_TYPE_CONTENTS_TABLE;
         const uint32_t empty = (store.rootFolderNid() & ~0x1Fu) | pst::NID_TYPE_CONTENTS_TABLE;
         EXPECT_EQ(store.folder(store.rootFolderNid()).contentsTable().rowCount(), 0u);
         const uint64_t bid = store.ndb().node(empty).bidData;
         const size_t at = store.ndb().unicode() ? 8 : 4;  // NBTENTRY bidData
         EXPECT_GT(cor::changeLeafEntry(file, store.ndb(), 0x81, table,
                                        [&](uint8_t* e) { cor::putLe(e + at, bid, at); }),
                   0);
         return {"a damaged value: \"Message Stores/",
                 "/" + Text(store.folder(nid).properties(), 0x3001) + "\": 0x3602000a: error 8004011B"};
     },
     ~size_t{0}},  // the folder's messages: the table read is another folder's
    // The root folder cannot be opened: the store is damaged, not empty.
    {"RootFolder",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const pst::NodeRef root = store.ndb().node(store.rootFolderNid());
         cor::rewriteBlock(file, store.ndb(), SingleBlock(root), [](std::span<uint8_t> b) { b[2] = 0x00; });  // bSig
         return {"the root folder cannot be opened: \"Message Stores/", "error 8004011B"};
     },
     ~size_t{0}},
};

// Damage that needs two folders with messages, which only the larger sample has.
const CDamage kTwoFolderDamages[] = {
    // A folder's contents table node names the data and subnodes of another folder's contents
    // table (of the same number of rows where the store has two such folders, so the count
    // agrees): the messages it lists are another folder's, and its contents cannot be listed.
    // A folder's hierarchy table node moved onto its parent's table: the folder lists
    // itself among its subfolders. The loop is reported where it closes, and the walk
    // ends (it went on until the stack overflowed).
    {"FolderLoop",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         const auto hierarchyOf = [](uint32_t nid) { return (nid & ~0x1Fu) | pst::NID_TYPE_HIERARCHY_TABLE; };
         const uint32_t nid = FindFolder(store, [&](pst::Folder& f) {
             const uint32_t parent = store.ndb().node(f.nid()).nidParent;
             return f.hierarchyTable().rowCount() > 0 && parent != f.nid() &&
                    store.ndb().findNode(hierarchyOf(parent)).has_value();
         });
         const pst::NodeRef up = store.ndb().node(hierarchyOf(store.ndb().node(nid).nidParent));
         const size_t at = store.ndb().unicode() ? 8 : 4;  // NBTENTRY bidData, then bidSub
         EXPECT_GT(cor::changeLeafEntry(file, store.ndb(), 0x81, hierarchyOf(nid),
                                        [&](uint8_t* e) {
                                            cor::putLe(e + at, up.bidData, at);
                                            cor::putLe(e + 2 * at, up.bidSub, at);
                                        }),
                   0);
         const std::string name = Text(store.folder(nid).properties(), 0x3001);
         return {"the folder is listed below itself (a loop in the folder tree): \"Message Stores/",
                 "/" + name + "/" + name + "\": error 8004011B"};
     },
     ~size_t{0}},  // the folder's own subfolders: the table read is its parent's
    {"ContentsTableOfOtherFolder",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         std::vector<std::pair<uint32_t, size_t>> folders;  // (NID, rows) of folders with messages
         try {
             FindFolder(store, [&](pst::Folder& f) {
                 const auto node = store.ndb().findNode((f.nid() & ~0x1Fu) | pst::NID_TYPE_CONTENTS_TABLE);
                 if (node && f.contentsTable().rowCount() > 0)
                     folders.emplace_back(f.nid(), f.contentsTable().rowCount());
                 return false;
             });
         } catch (const std::runtime_error&) {
         }
         EXPECT_GE(folders.size(), 2u);
         std::pair<uint32_t, uint32_t> moved{folders.at(0).first, folders.at(1).first};
         for (size_t i = 0; i < folders.size(); ++i)
             for (size_t j = i + 1; j < folders.size(); ++j)
                 if (folders[i].second == folders[j].second)
                     moved = {folders[i].first, folders[j].first};
         const auto tableOf = [](uint32_t nid) { return (nid & ~0x1Fu) | pst::NID_TYPE_CONTENTS_TABLE; };
         const pst::NodeRef other = store.ndb().node(tableOf(moved.second));
         const size_t at = store.ndb().unicode() ? 8 : 4;  // NBTENTRY bidData, then bidSub
         EXPECT_GT(cor::changeLeafEntry(file, store.ndb(), 0x81, tableOf(moved.first),
                                        [&](uint8_t* e) {
                                            cor::putLe(e + at, other.bidData, at);
                                            cor::putLe(e + 2 * at, other.bidSub, at);
                                        }),
                   0);
         return {"the contents cannot be listed: \"Message Stores/",
                 "/" + Text(store.folder(moved.first).properties(), 0x3001) + "\": error 8004011B"};
     },
     ~size_t{0}},  // the folder's messages: the table read is another folder's
};

// Damage to stores with embedded messages.
const CDamage kEmbeddedDamages[] = {
    // An attachment table row says "by value" where the attachment holds a message: the
    // row's method decides what is listed, so the disagreement is reported on the
    // attachment, not left as an attachment without its message.
    {"AttachMethodRow",
     [](Bytes& file, pst::Store& store) -> std::vector<std::string> {
         size_t index = 0;
         const CFound m = FindMessage(store, [&](pst::Message& msg, const pst::NodeRef& node) {
             const auto at = store.ndb().findSubnode(node, pst::NID_ATTACHMENT_TABLE);
             if (!at || !at->bidData || (at->bidData & 0x2))
                 return false;
             const pst::TableContext table = msg.attachmentTable();
             for (index = 0; index < table.rowCount() && (table.rowMatrixBlocks() == 0 || index < table.rowsPerBlock()); ++index)
                 if (const auto method = table.cell(index, 0x3705); method && method->int64() == 5)
                     return true;
             return false;
         });
         const pst::NodeRef at = store.ndb().subnode(m.node, pst::NID_ATTACHMENT_TABLE);
         ChangeRow(file, store, at, index, [](uint8_t* row, const auto& column) {
             cor::putLe(row + column(0x3705), 1, 4);  // ATTACH_BY_VALUE
         });
         const std::string subject = Text(store.message(m.messageNid).properties(), 0x0037);
         return {"a damaged value: \"Message Stores/", "/" + subject + "/Attachments/", ": 0x3705000a: error 8004011B"};
     },
     ~size_t{0}},  // the embedded message and what it holds
};

class DumpDamageKinds : public ::testing::TestWithParam<std::tuple<CDamage, const char*>>
{
};

// (depth, kind, text) of each object line of a JSON dump's "Message Stores" part.
std::vector<std::string> Objects(const std::string& out)
{
    std::vector<std::string> objects;
    for (const QJsonObject& o : JsonLines(out)) {
        if (o["depth"].toInt() == 0 && !objects.empty())
            break;
        objects.push_back(std::to_string(o["depth"].toInt()) + " " + o["kind"].toString().toStdString() + " " +
                          o["text"].toString().toStdString());
    }
    return objects;
}

TEST_P(DumpDamageKinds, IsReportedWithItsObjectAndTheRestIsListed)
{
    const CDamage& damage = std::get<0>(GetParam());
    const std::string sample = Sample(std::get<1>(GetParam()));
    CTempDir dir, profiles;
    const std::string good = ReadFile(sample);
    Bytes bytes(good.begin(), good.end());
    std::vector<std::string> expected;
    {
        auto store = pst::Store::open(sample);
        expected = damage.damage(bytes, *store);
    }
    const fs::path copy = dir.Path() / "damaged.pst";
    std::ofstream(copy, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

    const CResult base = RunDump({"--props", "--json", "--file", sample}, profiles.Path());
    ASSERT_EQ(base.nExit, 0) << base.strErr;
    const CResult r = RunDump({"--props", "--json", "--file", copy.string()}, profiles.Path());
    EXPECT_EQ(r.nExit, 1) << r.strErr;
    for (const std::string& e : expected)
        EXPECT_NE(r.strErr.find(e), std::string::npos) << "want: " << e << "\nstderr: " << r.strErr;

    // Every object of the good walk is listed, but for those the damage takes away.
    std::vector<std::string> was = Objects(base.strOut), now = Objects(r.strOut);
    std::sort(was.begin(), was.end());
    std::sort(now.begin(), now.end());
    std::vector<std::string> lost;
    std::set_difference(was.begin(), was.end(), now.begin(), now.end(), std::back_inserter(lost));
    EXPECT_LE(lost.size(), damage.maxLost) << [&] {
        std::string s;
        for (const std::string& l : lost)
            s += l + "\n";
        return s;
    }();
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

// "<damage>_<sample without extension>", as a test name may be written.
const auto CaseName = [](const auto& info) {
    std::string s = std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param);
    s = s.substr(0, s.find('.'));
    std::replace(s.begin(), s.end(), '-', '_');
    return s;
};

INSTANTIATE_TEST_SUITE_P(Kinds, DumpDamageKinds,
                         ::testing::Combine(::testing::ValuesIn(kDamages),
                                            ::testing::Values("pst-extractor-enron.pst", "pstsdk-sample2.pst")),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(TwoFolderKinds, DumpDamageKinds,
                         ::testing::Combine(::testing::ValuesIn(kTwoFolderDamages),
                                            ::testing::Values("pst-extractor-enron.pst")),
                         [](const auto& info) { return std::string(std::get<0>(info.param).name) + "_enron"; });

INSTANTIATE_TEST_SUITE_P(EmbeddedKinds, DumpDamageKinds,
                         ::testing::Combine(::testing::ValuesIn(kEmbeddedDamages),
                                            ::testing::Values("pstsdk-submessage.pst", "java-libpst-dist-list.pst")),
                         CaseName);

} // namespace
