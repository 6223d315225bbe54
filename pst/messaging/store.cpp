#include "pst/messaging/store.h"

#include "pst/util/error.h"
#include "pst/util/reader.h"

#include <algorithm>

namespace dravik::pst {

namespace {
constexpr uint16_t PR_ATTACH_DATA = 0x3701;  // PR_ATTACH_DATA_BIN / PR_ATTACH_DATA_OBJ
constexpr uint16_t PR_ATTACH_METHOD = 0x3705;
constexpr uint16_t PR_RECORD_KEY = 0x0FF9;
constexpr uint16_t PR_PST_PASSWORD = 0x67FF;

TableContext tableOrEmpty(Ndb& ndb, std::optional<NodeRef> node) {
    if (!node) return TableContext::empty(ndb);
    return TableContext(ndb, *node);
}
}  // namespace

// ---------------------------------------------------------------- folder

Folder::Folder(std::shared_ptr<Ndb> ndb, uint32_t nid)
    : ndb_(std::move(ndb)), nid_(nid), pc_(std::make_unique<PropertyContext>(*ndb_, ndb_->node(nid))) {}

TableContext Folder::table(uint8_t type) const {
    const uint32_t tableNid = (nid_ & ~0x1Fu) | type;
    std::optional<NodeRef> node = ndb_->findNode(tableNid);
    // A normal folder has all three tables, empty or not: one that cannot be found is damage.
    // A search folder keeps its contents elsewhere and has none of them.
    if (!node && (nid_ & 0x1F) == NID_TYPE_NORMAL_FOLDER)
        throw Error(ErrorKind::Corrupt, "table node " + hex(tableNid) + " of folder " + hex(nid_), Where::node(tableNid),
                    "a node in the node B-tree", "none");
    return tableOrEmpty(*ndb_, node);
}
TableContext Folder::hierarchyTable() const { return table(NID_TYPE_HIERARCHY_TABLE); }
TableContext Folder::contentsTable() const { return table(NID_TYPE_CONTENTS_TABLE); }
TableContext Folder::associatedContentsTable() const { return table(NID_TYPE_ASSOC_CONTENTS_TABLE); }

// A moved table names another folder's messages in full, so every sampled row shows it, and
// that folder's own table node names the same data. One message with a damaged nidParent
// (alone in its folder or among the folder's own) names a folder whose table is another, and
// is reported where that message is read. Rows that cannot be read or whose message node is missing say nothing here.
TableContext Folder::ownContentsTable() const {
    TableContext contents = contentsTable();
    const size_t n = contents.rowCount();
    if ((nid_ & 0x1F) != NID_TYPE_NORMAL_FOLDER || n == 0) return contents;
    constexpr size_t kEnds = 4, kStrided = 24;
    const size_t stride = n <= 2 * kEnds ? 1 : std::max<size_t>(1, (n - 2 * kEnds) / kStrided);
    std::optional<uint32_t> otherParent;  // the parent the first sampled message names
    for (size_t i = 0; i < n; i = (i < kEnds || i + kEnds >= n) ? i + 1 : std::min(i + stride, n - kEnds)) {
        std::optional<NodeRef> node;
        try {
            node = ndb_->findNode(contents.rowId(i));
        } catch (const Error&) {
            continue;  // a row that cannot be read is reported where it is read
        }
        if (!node) continue;
        if (node->nidParent == nid_) return contents;
        if (!otherParent) otherParent = node->nidParent;
    }
    if (!otherParent || (*otherParent & 0x1F) != NID_TYPE_NORMAL_FOLDER) return contents;
    const uint32_t tableNid = (nid_ & ~0x1Fu) | NID_TYPE_CONTENTS_TABLE;
    const std::optional<NodeRef> mine = ndb_->findNode(tableNid);
    const std::optional<NodeRef> theirs = ndb_->findNode((*otherParent & ~0x1Fu) | NID_TYPE_CONTENTS_TABLE);
    if (!mine || !theirs || mine->bidData != theirs->bidData) return contents;
    throw Error(ErrorKind::Corrupt, "contents table " + hex(tableNid) + " of folder " + hex(nid_), Where::node(tableNid),
                "messages whose parent is " + hex(nid_),
                "the table of folder " + hex(*otherParent) + ", whose messages name it as their parent");
}

// ---------------------------------------------------------------- message

Message::Message(std::shared_ptr<Ndb> ndb, const NodeRef& node)
    : ndb_(std::move(ndb)), node_(node), pc_(std::make_unique<PropertyContext>(*ndb_, node)) {}

const std::vector<NodeEntry>& Message::subnodes() const {
    if (!subnodes_) subnodes_ = ndb_->subnodes(node_.bidSub);
    return *subnodes_;
}

std::optional<NodeRef> Message::findSubnode(uint32_t nid) const {
    for (const NodeEntry& n : subnodes())
        if (n.nid == nid) return n;
    return std::nullopt;
}

// A message's recipient or attachment table: absent when the message has none. A table
// that was there but whose NID was damaged leaves a subnode behind that reads as nothing,
// so an absent table is only believed when every subnode is one the message accounts for:
// the other table, an attachment its attachment table lists, a property value too large
// for the heap that a property names, or the one subnode Outlook writes beside them and
// names nowhere (0x6B6). A subnode of the table's own type under another NID is the table
// with its NID damaged; so is one of 0x6B6's type under another NID (0x692 with one bit
// flipped is 0x696).
TableContext Message::table(uint32_t nid) const {
    if (auto node = findSubnode(nid)) return TableContext(*ndb_, *node);
    const std::string what = "subnode of message " + hex(node_.nid) + " without its table " + hex(nid);
    std::optional<std::vector<uint32_t>> attachmentRows;  // increasing
    for (const NodeEntry& n : subnodes()) {
        const uint32_t sub = static_cast<uint32_t>(n.nid), type = sub & 0x1F;
        if (type == (nid & 0x1F)) throw Error(ErrorKind::Corrupt, what, Where::node(sub), hex(nid), hex(sub));
        if (type == NID_TYPE_ATTACHMENT) {
            if (!attachmentRows) {
                auto att = nid == NID_ATTACHMENT_TABLE ? std::nullopt : findSubnode(NID_ATTACHMENT_TABLE);
                attachmentRows = att ? TableContext(*ndb_, *att).indexedRowIds() : std::vector<uint32_t>{};
            }
            if (!std::binary_search(attachmentRows->begin(), attachmentRows->end(), sub))
                throw Error(ErrorKind::Corrupt, what, Where::node(sub), "an attachment the attachment table lists",
                            "an attachment no table lists");
        } else if (type == NID_TYPE_LTP) {
            const auto& entries = pc_->entries();
            if (std::none_of(entries.begin(), entries.end(), [&](const PropEntry& e) { return e.dwValueHnid == sub; }))
                throw Error(ErrorKind::Corrupt, what, Where::node(sub), "a property value the message names",
                            "a subnode no property names");
        } else if (sub != NID_RECIPIENT_TABLE && sub != NID_ATTACHMENT_TABLE && sub != NID_UNNAMED_MESSAGE_SUBNODE) {
            throw Error(ErrorKind::Corrupt, what, Where::node(sub),
                        "recipient table 0x692, attachment table 0x671, subnode 0x6B6, an attachment or a property value",
                        hex(sub));
        }
    }
    return TableContext::empty(*ndb_);
}

// A message's recipient table without rows, while the message's own PR_DISPLAY_TO,
// PR_DISPLAY_CC or PR_DISPLAY_BCC (made from its recipients when it was saved) names some:
// the table's reference leads to another table, or the names were damaged.
TableContext Message::recipientTable() const {
    TableContext t = table(NID_RECIPIENT_TABLE);
    if (t.rowCount() != 0) return t;
    for (uint16_t id : {uint16_t{0x0E04}, uint16_t{0x0E03}, uint16_t{0x0E02}}) {
        const PropEntry* e = pc_->find(id);
        if (!e || (e->type != 0x001F && e->type != 0x001E) || e->size == 0) continue;
        std::vector<uint8_t> scratch;
        const std::span<const uint8_t> text = pc_->readView(*e, scratch);
        if (std::any_of(text.begin(), text.end(), [](uint8_t b) { return b != 0; }))
            throw Error(ErrorKind::Corrupt, "recipient table of message " + hex(node_.nid), Where::node(NID_RECIPIENT_TABLE),
                        "the recipients its " + hex(propTag(id, e->type)) + " names", "no rows");
    }
    return t;
}
TableContext Message::attachmentTable() const { return table(NID_ATTACHMENT_TABLE); }
Attachment Message::attachment(uint32_t rowId) const {
    auto n = findSubnode(rowId);
    if (!n) throw Error(ErrorKind::NotFound, "subnode of NID " + hex(node_.nid), Where::node(rowId));
    return Attachment(ndb_, *n);
}

// ---------------------------------------------------------------- attachment

Attachment::Attachment(std::shared_ptr<Ndb> ndb, const NodeRef& node)
    : ndb_(std::move(ndb)), node_(node), pc_(std::make_unique<PropertyContext>(*ndb_, node)) {}

std::optional<int32_t> Attachment::attachMethod() const {
    auto p = pc_->get(PR_ATTACH_METHOD);
    if (!p) return std::nullopt;
    auto v = p->int64();
    if (!v) return std::nullopt;
    return static_cast<int32_t>(*v);
}

const PropEntry* Attachment::dataEntry() const {
    const PropEntry* e = pc_->find(PR_ATTACH_DATA);
    return e && e->type == static_cast<uint16_t>(PropType::Binary) ? e : nullptr;
}

uint64_t Attachment::dataSize() const {
    const PropEntry* e = dataEntry();
    return e ? e->size : 0;
}

std::vector<uint8_t> Attachment::readData() const {
    const PropEntry* e = dataEntry();
    if (!e) throw Error::notFound("attachment data PR_ATTACH_DATA_BIN", Where::node(node_.nid));
    return pc_->read(*e).raw;
}

std::vector<uint8_t> Attachment::readData(uint64_t offset, size_t n) const {
    const PropEntry* e = dataEntry();
    if (!e) throw Error::notFound("attachment data PR_ATTACH_DATA_BIN", Where::node(node_.nid));
    return pc_->readRange(*e, offset, n);
}

bool Attachment::hasEmbeddedMessage() const {
    const PropEntry* e = pc_->find(PR_ATTACH_DATA);
    return e && e->type == static_cast<uint16_t>(PropType::Object);
}

Message Attachment::embeddedMessage() const {
    const PropEntry* e = pc_->find(PR_ATTACH_DATA);
    if (!e || e->type != static_cast<uint16_t>(PropType::Object))
        throw Error::notFound("embedded message PR_ATTACH_DATA_OBJ", Where::node(node_.nid));
    // The value holds the NID of the subnode with the message and its size.
    Property p = pc_->read(*e);
    LeReader r(p.raw, "PR_ATTACH_DATA_OBJ");
    uint32_t nid = r.u32("nid");
    return Message(ndb_, ndb_->subnode(node_, nid));
}

std::vector<uint8_t> Attachment::readObjectData() const {
    const PropEntry* e = pc_->find(PR_ATTACH_DATA);
    if (!e || e->type != static_cast<uint16_t>(PropType::Object))
        throw Error::notFound("PR_ATTACH_DATA_OBJ", Where::node(node_.nid));
    Property p = pc_->read(*e);
    LeReader r(p.raw, "PR_ATTACH_DATA_OBJ");
    const uint32_t nid = r.u32("nid");
    return ndb_->readAll(ndb_->subnode(node_, nid).bidData);
}

// ---------------------------------------------------------------- store

std::shared_ptr<Store> Store::open(const std::string& path, OpenOptions options) {
    return open(openFile(path), options);
}

std::shared_ptr<Store> Store::open(std::shared_ptr<ByteSource> source, OpenOptions options) {
    NdbOptions o;
    o.checkCrc = options.checkCrc;
    return std::shared_ptr<Store>(new Store(std::make_shared<Ndb>(std::move(source), o)));
}

StoreInfo Store::info() const {
    StoreInfo i;
    i.format = ndb_->header().format;
    i.ost = ndb_->header().ost;
    i.wVer = ndb_->header().wVer;
    i.encryption = ndb_->header().bCryptMethod;
    i.fileSize = ndb_->fileSize();
    return i;
}

const PropertyContext& Store::properties() {
    if (!storePc_) storePc_ = std::make_unique<PropertyContext>(*ndb_, ndb_->node(NID_MESSAGE_STORE));
    return *storePc_;
}

std::vector<uint8_t> Store::recordKey() {
    auto p = properties().get(PR_RECORD_KEY);
    return p ? p->raw : std::vector<uint8_t>{};
}

std::optional<uint32_t> Store::passwordCrc() {
    auto p = properties().get(PR_PST_PASSWORD);
    if (!p || p->type != static_cast<uint16_t>(PropType::Int32)) return std::nullopt;
    return static_cast<uint32_t>(*p->int64());
}

bool Store::folderLists(uint32_t folderNid, uint32_t childNid) {
    const uint32_t folderType = folderNid & 0x1F, childType = childNid & 0x1F;
    if (folderType != NID_TYPE_NORMAL_FOLDER && folderType != NID_TYPE_SEARCH_FOLDER) return false;
    size_t slot;
    uint8_t tableType;
    if (childType == NID_TYPE_NORMAL_FOLDER || childType == NID_TYPE_SEARCH_FOLDER) {
        slot = 0, tableType = NID_TYPE_HIERARCHY_TABLE;
    } else if (childType == NID_TYPE_NORMAL_MESSAGE) {
        slot = 1, tableType = NID_TYPE_CONTENTS_TABLE;
    } else if (childType == 0x08) {  // NID_TYPE_ASSOC_MESSAGE
        slot = 2, tableType = NID_TYPE_ASSOC_CONTENTS_TABLE;
    } else {
        return false;
    }
    Listing& l = listings_[slot];
    const uint32_t tableNid = (folderNid & ~0x1Fu) | tableType;
    if (l.tableNid == tableNid && l.folderNid != folderNid) l.tableNid = 0;  // the same tables, another type
    l.folderNid = folderNid;
    if (l.tableNid != tableNid) {
        l.tableNid = 0;
        l.rowIds.clear();
        try {
            // The folder itself must exist: its tables' NIDs do not tell its type.
            if (!ndb_->findNode(folderNid)) return false;
            std::optional<NodeRef> node = ndb_->findNode(tableNid);
            if (node) l.rowIds = TableContext(*ndb_, *node).indexedRowIds();
        } catch (const Error&) {
            return false;
        }
        l.tableNid = tableNid;
    }
    return std::binary_search(l.rowIds.begin(), l.rowIds.end(), childNid);
}

const NameMap& Store::nameMap() {
    if (!nameMap_) nameMap_ = std::make_unique<NameMap>(*ndb_);
    return *nameMap_;
}

}  // namespace dravik::pst
