// The messaging layer: a store file as a message store, folders, messages, recipients,
// attachments, embedded messages and named properties. Qt-free and MAPI-free.
//
//   auto store = dravik::pst::Store::open("/path/mail.pst", {.checkCrc = true});
//   store->info();                               // ANSI/Unicode/OST, wVer, encryption
//   store->properties().get(0x0FF9);             // PR_RECORD_KEY of the message store (NID 0x21)
//   Folder root = store->folder(store->rootFolderNid());
//   TableContext sub = root.hierarchyTable();    // rows: rowId = NID of each subfolder
//   Message m = store->message(row.rowId);       // from a contents table row
//   TableContext att = m.attachmentTable();
//   Attachment a = m.attachment(attRow.rowId);
//   auto bytes = a.readData(0, 4096);            // PR_ATTACH_DATA_BIN in ranges, or a.readData() whole
//   if (a.hasEmbeddedMessage()) Message e = a.embeddedMessage();
//   store->nameMap().find(0x8005);               // (GUID, numeric ID or name) of a named property
//
// The file is opened read-only. Objects keep the store's reader alive; a damaged object
// throws dravik::pst::Error when opened or read and leaves the rest of the store readable.
// Not safe for concurrent use: one Store per thread.
#pragma once

#include "pst/ltp/ltp.h"
#include "pst/ltp/property.h"
#include "pst/messaging/namemap.h"
#include "pst/util/error.h"
#include "pst/ndb/ndb.h"

#include <array>
#include <memory>
#include <optional>
#include <string>

namespace dravik::pst {

struct OpenOptions {
    bool checkCrc = true;
};

// Well-known NIDs (MS-PST 2.4.1).
constexpr uint32_t NID_MESSAGE_STORE = 0x21;
constexpr uint32_t NID_NAME_TO_ID_MAP = 0x61;
constexpr uint32_t NID_ROOT_FOLDER = 0x122;
constexpr uint32_t NID_RECIPIENT_TABLE = 0x692;
constexpr uint32_t NID_ATTACHMENT_TABLE = 0x671;
// A message's subnode that Outlook writes beside the recipient table and that nothing in
// the message names (of type NID_TYPE_UNNAMED_MESSAGE_SUBNODE; not among the NIDs MS-PST lists).
constexpr uint32_t NID_UNNAMED_MESSAGE_SUBNODE = 0x6B6;

struct StoreInfo {
    FileFormat format = FileFormat::Unicode;
    bool ost = false;
    uint16_t wVer = 0;
    CryptMethod encryption = CryptMethod::None;
    uint64_t fileSize = 0;
};

class Message;

class Folder {
public:
    Folder(std::shared_ptr<Ndb> ndb, uint32_t nid);
    uint32_t nid() const { return nid_; }
    const PropertyContext& properties() const { return *pc_; }
    // A search folder's tables are empty; a normal folder whose table node is missing throws
    // Error (corrupt).
    TableContext hierarchyTable() const;
    TableContext contentsTable() const;
    TableContext associatedContentsTable() const;
    // The contents table once it is shown to be this folder's: a normal folder's table whose
    // messages all name another folder as their parent (nidParent), and whose data that
    // folder's own contents table node names too, is another folder's table reached through a
    // damaged reference, and throws Error (corrupt). A sample of the rows is looked at (the
    // first and last four and a stride between), at most 32 node look-ups.
    TableContext ownContentsTable() const;

private:
    TableContext table(uint8_t type) const;
    std::shared_ptr<Ndb> ndb_;
    uint32_t nid_;
    std::unique_ptr<PropertyContext> pc_;
};

class Attachment;

class Message {
public:
    Message(std::shared_ptr<Ndb> ndb, const NodeRef& node);
    uint32_t nid() const { return static_cast<uint32_t>(node_.nid); }
    // Its node (for a message of the store, its entry in the node B-tree).
    const NodeRef& node() const { return node_; }
    const PropertyContext& properties() const { return *pc_; }
    TableContext recipientTable() const;
    TableContext attachmentTable() const;
    // An attachment by its row ID in the attachment table (its subnode NID).
    Attachment attachment(uint32_t rowId) const;

private:
    // The message's subnodes, read once: its tables and attachments are found here.
    const std::vector<NodeEntry>& subnodes() const;
    std::optional<NodeRef> findSubnode(uint32_t nid) const;
    TableContext table(uint32_t nid) const;

    std::shared_ptr<Ndb> ndb_;
    NodeRef node_;
    std::unique_ptr<PropertyContext> pc_;
    mutable std::optional<std::vector<NodeEntry>> subnodes_;
};

class Attachment {
public:
    Attachment(std::shared_ptr<Ndb> ndb, const NodeRef& node);
    uint32_t nid() const { return static_cast<uint32_t>(node_.nid); }
    const PropertyContext& properties() const { return *pc_; }
    std::optional<int32_t> attachMethod() const;  // PR_ATTACH_METHOD
    // PR_ATTACH_DATA_BIN: its size without reading it, the whole value, or a range.
    uint64_t dataSize() const;
    std::vector<uint8_t> readData() const;
    std::vector<uint8_t> readData(uint64_t offset, size_t n) const;
    // PR_ATTACH_DATA_OBJ holding a message (attach method 5).
    bool hasEmbeddedMessage() const;
    Message embeddedMessage() const;
    // The bytes of the subnode PR_ATTACH_DATA_OBJ names: an OLE object's
    // compound file (attach method 6). Not-found when there is none.
    std::vector<uint8_t> readObjectData() const;

private:
    const PropEntry* dataEntry() const;
    std::shared_ptr<Ndb> ndb_;
    NodeRef node_;
    std::unique_ptr<PropertyContext> pc_;
};

class Store {
public:
    static std::shared_ptr<Store> open(const std::string& path, OpenOptions options = {});
    static std::shared_ptr<Store> open(std::shared_ptr<ByteSource> source, OpenOptions options = {});

    StoreInfo info() const;
    const Header& header() const { return ndb_->header(); }
    // The message store's property context (NID 0x21), read on first use.
    const PropertyContext& properties();
    std::vector<uint8_t> recordKey();              // PR_RECORD_KEY, empty if absent
    std::optional<uint32_t> passwordCrc();         // PR_PST_PASSWORD (0x67FF0003)
    const NameMap& nameMap();                      // NID 0x61, read on first use
    uint32_t rootFolderNid() const { return NID_ROOT_FOLDER; }
    Folder folder(uint32_t nid) const { return Folder(ndb_, nid); }
    Message message(uint32_t nid) const { return Message(ndb_, ndb_->node(nid)); }
    // Whether the folder lists the child in the table that holds children of its kind (the
    // hierarchy table for a folder, the contents or associated contents table for a
    // message). False when the folder or its table cannot be read. The last table asked for
    // of each kind is remembered, so the children of one folder cost one read of its index.
    bool folderLists(uint32_t folderNid, uint32_t childNid);
    Ndb& ndb() { return *ndb_; }
    std::shared_ptr<Ndb> sharedNdb() const { return ndb_; }

private:
    explicit Store(std::shared_ptr<Ndb> ndb) : ndb_(std::move(ndb)) {}
    std::shared_ptr<Ndb> ndb_;
    std::unique_ptr<PropertyContext> storePc_;
    std::unique_ptr<NameMap> nameMap_;
    struct Listing {
        uint32_t folderNid = 0;
        uint32_t tableNid = 0;
        std::vector<uint32_t> rowIds;  // increasing
    };
    std::array<Listing, 3> listings_;  // hierarchy, contents, associated contents
};

}  // namespace dravik::pst
