// Writes a Unicode PST file (MS-PST, wVer 23) from a description in code.
//
// StoreWriter streams: each message is written to the file when it is added, and only the
// B-tree entries, the folders' table rows and the allocation maps stay in memory, so the
// memory a store takes does not grow with the bytes of its messages.
#pragma once

#include "StoreDescription.h"

#include <cstdint>
#include <memory>
#include <string>

namespace dravik::pst::writer {

enum class Removal { Deleted, PartlyOverwritten, Orphaned };
struct RemovedBlock {
    uint64_t bid = 0;
    uint64_t ib = 0;
    uint16_t cb = 0;
};

class StoreWriter {
public:
    using FolderId = uint32_t;  // the folder's NID

    // Creates (or replaces) the file; throws std::runtime_error on I/O failure.
    StoreWriter(const std::string& path, const StoreOptions& options);
    ~StoreWriter();
    StoreWriter(const StoreWriter&) = delete;
    StoreWriter& operator=(const StoreWriter&) = delete;

    FolderId ipmSubtree() const;
    FolderId deletedItems() const;
    FolderId addFolder(FolderId parent, const std::string& displayName,
                       const std::string& containerClass = {}, const PropertyBag& props = {});
    // Writes the message now; returns its NID.
    uint32_t addMessage(FolderId folder, const Message& message, bool associated = false);
    // Removes a message written before, as a test store needs it:
    //   Deleted            as a client deletes it: its row, its node and its blocks leave
    //                      the tables and B-trees, its space is marked free, and its bytes
    //                      stay in the file;
    //   PartlyOverwritten  deleted, then the first block written for it overwritten;
    //   Orphaned           only its row goes: its node and blocks stay, listed by no folder.
    // Returns the blocks freed (none for Orphaned), the first one overwritten if asked.
    std::vector<RemovedBlock> removeMessage(uint32_t nid, Removal how);
    void setStoreProperties(const PropertyBag& props);
    // Writes folders, tables, the name-to-ID map, the B-trees, the maps and the header.
    void finish();

    struct Stats {
        uint64_t blocks = 0;
        uint64_t fileSize = 0;
    };
    Stats stats() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// Writes a whole description.
StoreWriter::Stats writeStore(const std::string& path, const StoreDescription& description);

// UTF-8 to UTF-16LE bytes (no terminator).
std::vector<uint8_t> utf16le(std::string_view utf8);

}  // namespace dravik::pst::writer
