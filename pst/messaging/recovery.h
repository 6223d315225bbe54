// Recovery of what a store file holds outside its folder hierarchy:
//   - orphaned nodes (in the node B-tree, listed by no folder) opened as the messages and
//     folders they are;
//   - deleted messages rebuilt from intact blocks in free space: a property context whose
//     heap blocks are there, with the subnode tree (recipients, attachments, large values)
//     whose entries name the subnodes the property context refers to.
//
//   auto r = recoverItems(source, ledger);     // its own reader over the same bytes
//   for (const RecoveredItem& i : r.items) { Message m = r.message(i); ... i.provenance(); }
//
// Only blocks whose trailer, signature and CRC hold are used (the ledger's free blocks);
// what is missing is said (partial), never made up. Recovered objects are never part of the
// store's hierarchy: they live in a reader of their own, which sees the free blocks as if
// the block B-tree listed them. Read-only, like every reader of the file.
#pragma once

#include "pst/messaging/ledger.h"
#include "pst/messaging/store.h"

#include <memory>
#include <string>
#include <vector>

namespace dravik::pst {

struct RecoveredItem {
    enum class Kind { Folder, Message } kind = Kind::Message;
    enum class Source { OrphanedNode, FreeSpace } source = Source::OrphanedNode;
    NodeRef node;                       // the node to open (a made-up NID for free space)
    uint32_t orphanedNid = 0;           // Source::OrphanedNode: the node's NID
    uint64_t pageOffset = 0;            // from a node entry in a free B-tree page: its offset
    std::vector<uint64_t> blockOffsets;  // the file offsets of the blocks it is read from
    bool complete = true;
    std::string missing;                // what could not be read, when partial
    std::string name;                   // subject or folder name, as read

    // "orphaned node 0x2024" or "deleted: blocks in free space".
    std::string origin() const;
    // The offsets as text: "0x1a400 0x1a600 ...".
    std::string offsets() const;
    // "complete" or "partial: ...".
    std::string state() const;
};

class Recovery {
public:
    // Orphaned ones first, then deleted messages by offset, then deleted folders.
    std::vector<RecoveredItem> items;

    Message message(const RecoveredItem& item) const { return Message(store_->sharedNdb(), item.node); }
    // The properties of any recovered object (a folder from free space has nothing else).
    PropertyContext properties(const RecoveredItem& item) const;
    Store& store() const { return *store_; }

private:
    friend Recovery recoverItems(std::shared_ptr<ByteSource>, const Ledger&, OpenOptions);
    std::shared_ptr<Store> store_;
};

// Recovers from the file behind source what ledger found outside the hierarchy.
Recovery recoverItems(std::shared_ptr<ByteSource> source, const Ledger& ledger, OpenOptions options = {});

// The NID type of the made-up NIDs of messages rebuilt from free space: message NIDs with
// the highest indexes, counting down, which no store comes near.
constexpr uint32_t kRecoveredNidBase = 0xFFFFFFE4u;

}  // namespace dravik::pst
