// The ledger of a store file: what the file holds, whether the folder hierarchy reaches it
// or not.
//
//   Ledger l = buildLedger(*store);
//   l.nodes == l.nodesReached + l.nodesOrphaned + l.nodesUnreadable;   // always
//   l.orphanedNodes;        // NIDs in the node B-tree that no folder reaches
//   l.freeBlocks;           // intact blocks (trailer, signature and CRC right) in free space
//
// Every node of the node B-tree is classified once:
//   reached     the root folder and every folder its hierarchy tables list (with the
//               folder's tables and search nodes), every message their contents and
//               associated contents tables list, and the store's own internal nodes and
//               table templates;
//   orphaned    any other node: a message no folder lists, a folder whose parent does not
//               list it, a folder's table whose folder is gone;
//   unreadable  a node whose data or subnode tree cannot be read (a missing or damaged
//               block), or a reached folder or message that cannot be opened; with the error.
// Every block of the block B-tree likewise: unreadable when its read fails (trailer, CRC,
// beyond the end of the file), else reached when a reached node's data or subnode tree
// uses it, else orphaned (used by an orphaned node or by nothing at all).
//
// Space (PST files with 512-byte pages): the allocation maps against what the B-trees use.
// Allocated space that no block, B-tree page or map page uses is counted; free space is
// scanned for blocks whose trailer, signature and CRC hold (what deleted items leave).
//
// The ledger only reads the file, through the store's own reader.
#pragma once

#include "pst/messaging/store.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravik::pst {

struct LedgerProblem {
    uint64_t id = 0;  // a NID or a BID
    std::string error;
};

// A block found in free space: its trailer, signature and CRC hold.
struct FreeBlock {
    uint64_t ib = 0;
    uint64_t bid = 0;
    uint32_t cb = 0;
};

struct FolderCounts {
    uint32_t nid = 0;
    int64_t declaredContents = -1;  // PR_CONTENT_COUNT, -1 when absent
    int64_t declaredAssociated = -1;  // PR_ASSOC_CONTENT_COUNT, -1 when absent
    uint64_t contentsRows = 0;
    uint64_t associatedRows = 0;
};

struct AttachmentBytes {
    uint32_t messageNid = 0;
    uint32_t attachmentNid = 0;
    uint64_t declared = 0;  // the size its data tree declares
    uint64_t read = 0;      // the bytes its present and intact blocks hold
    std::string error;
};

struct Ledger {
    uint64_t nodes = 0, nodesReached = 0, nodesOrphaned = 0, nodesUnreadable = 0;
    uint64_t blocks = 0, blocksReached = 0, blocksOrphaned = 0, blocksUnreadable = 0;
    std::vector<uint32_t> orphanedNodes;         // ascending
    std::vector<LedgerProblem> unreadableNodes;  // ascending by NID
    std::vector<uint64_t> orphanedBlocks;        // ascending
    std::vector<LedgerProblem> unreadableBlocks;  // ascending by BID
    // A B-tree or allocation map that cannot be read as a whole.
    std::vector<std::string> errors;

    bool spaceChecked = false;  // false for 4 KiB-page files and unreadable maps
    uint64_t allocatedUnusedBytes = 0;
    uint64_t freeBytes = 0;
    std::vector<FreeBlock> freeBlocks;  // ascending by offset
    // Leaf pages of the node B-tree left in free space (trailer and CRC right): the
    // entries of nodes since removed or rewritten, with the page's offset.
    struct FreeNode {
        uint64_t pageIb = 0;
        NodeEntry entry;
    };
    std::vector<FreeNode> freeNodes;

    uint64_t folders = 0;                       // folders whose counts were compared
    std::vector<FolderCounts> countMismatches;  // declared counts that differ from the rows
    uint64_t attachments = 0;
    std::vector<AttachmentBytes> shortAttachments;  // fewer bytes read than declared

    // Nothing orphaned, unreadable, lost or left in free space.
    bool clean() const {
        return nodesOrphaned == 0 && nodesUnreadable == 0 && blocksOrphaned == 0 && blocksUnreadable == 0 &&
               errors.empty() && freeBlocks.empty() && freeNodes.empty() && countMismatches.empty() && shortAttachments.empty();
    }
    // One line of counts.
    std::string summary() const;
};

Ledger buildLedger(Store& store);

// The BIDs of a data tree or subnode tree rooted at bid, inner blocks included (XBLOCK,
// XXBLOCK, SIBLOCK, SLBLOCK and every subnode's trees). Throws Error when one cannot be read.
void treeBlockIds(Ndb& ndb, uint64_t bid, std::vector<uint64_t>& out, int depth = 0);

}  // namespace dravik::pst
