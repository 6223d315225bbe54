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
