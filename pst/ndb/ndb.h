// The node database (NDB) layer: header, node and block B-trees, data blocks, data trees
// (XBLOCK/XXBLOCK) and subnode trees (SLBLOCK/SIBLOCK), for ANSI PST, Unicode PST and
// OST 2013 (4 KiB pages, zlib-compressed blocks).
//
//   auto ndb = std::make_shared<Ndb>(openFile(path), NdbOptions{.checkCrc = true});
//   NodeRef node = ndb->node(0x21);                 // Error NotFound if absent
//   std::vector<uint8_t> all = ndb->readAll(node.bidData);
//   auto blocks = ndb->dataBlocks(node.bidData);    // one decoded span per data block
//   NodeRef sub = ndb->subnode(node, 0x692);        // a node of node's subnode tree
//
// Every count and offset is checked before use; failures throw dravik::pst::Error.
// Decoded blocks are kept in a bounded cache. An Ndb is not safe for concurrent use.
#pragma once

#include "pst/ndb/encoding.h"
#include "pst/ndb/source.h"

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace dravik::pst {

enum class FileFormat { Ansi, Unicode, Unicode4k };

struct NdbOptions {
    bool checkCrc = true;
    size_t cacheBytes = 1u << 20;
};

struct Bref {
    uint64_t bid = 0;
    uint64_t ib = 0;
};

struct Header {
    FileFormat format = FileFormat::Unicode;
    bool ost = false;  // wMagicClient "SO" (offline store)
    uint16_t wVer = 0;
    uint16_t wVerClient = 0;
    CryptMethod bCryptMethod = CryptMethod::None;
    uint64_t ibFileEof = 0;
    Bref nbt;  // BREFNBT
    Bref bbt;  // BREFBBT
};

struct BlockEntry {  // BBTENTRY
    uint64_t bid = 0;
    uint64_t ib = 0;
    uint32_t cb = 0;          // bytes stored in the file
    uint32_t cbInflated = 0;  // bytes after decompression (equal to cb unless compressed)
};

struct NodeEntry {  // NBTENTRY, or a SLENTRY for a subnode
    uint64_t nid = 0;
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
    uint32_t nidParent = 0;
};

using NodeRef = NodeEntry;
// A block's bytes. Every byte is written (read, decoded or inflated) before
// the block is used, so they are not zeroed when the vector is made.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using BlockBytes = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;
using BlockPtr = std::shared_ptr<const BlockBytes>;

// NID types (low 5 bits of a NID).
enum NidType : uint8_t {
    NID_TYPE_HID = 0x00,
    NID_TYPE_INTERNAL = 0x01,
    NID_TYPE_NORMAL_FOLDER = 0x02,
    NID_TYPE_SEARCH_FOLDER = 0x03,
    NID_TYPE_NORMAL_MESSAGE = 0x04,
    NID_TYPE_ATTACHMENT = 0x05,
    NID_TYPE_HIERARCHY_TABLE = 0x0D,
    NID_TYPE_CONTENTS_TABLE = 0x0E,
    NID_TYPE_ASSOC_CONTENTS_TABLE = 0x0F,
    // A message's subnode that Outlook writes and nothing in the message names (seen beside
    // the recipient table in Outlook's own stores); not among the types MS-PST lists.
    NID_TYPE_UNNAMED_MESSAGE_SUBNODE = 0x16,
    NID_TYPE_LTP = 0x1F,  // a value stored in a subnode of the node that names it
};

class Ndb {
public:
    Ndb(std::shared_ptr<ByteSource> source, NdbOptions options = {});

    const Header& header() const { return header_; }
    bool unicode() const { return header_.format != FileFormat::Ansi; }
    uint64_t fileSize() const { return source_->size(); }
    bool checkCrc() const { return options_.checkCrc; }

    // Node B-tree lookup; throws NotFound.
    NodeRef node(uint64_t nid);
    std::optional<NodeRef> findNode(uint64_t nid);
    // Block B-tree lookup; throws NotFound.
    BlockEntry block(uint64_t bid);

    // One block, decompressed and decoded (data blocks only are decoded).
    BlockPtr readBlock(uint64_t bid);
    // The data blocks of a data tree in order (a single block or XBLOCK/XXBLOCK).
    std::vector<BlockPtr> dataBlocks(uint64_t bid);
    // The BIDs of a data tree's data blocks in order, reading only its XBLOCKs (for
    // readers that fetch the blocks one at a time as they need them).
    std::vector<uint64_t> dataBlockIds(uint64_t bid);
    // The whole data of a data tree.
    std::vector<uint8_t> readAll(uint64_t bid);
    // Bytes [offset, offset + n) of a data tree's data (fewer at its end), reading only the
    // blocks that hold them.
    std::vector<uint8_t> readRange(uint64_t bid, uint64_t offset, size_t n);
    // The size of a data tree's data, reading at most its root block.
    uint64_t dataSize(uint64_t bid);
    // The size of a data tree's data after checking its shape without reading the data:
    // every XBLOCK is read and every data block is present in the block B-tree, and the
    // blocks' sizes add up to the size the root declares. Throws Error (corrupt) otherwise,
    // so a damaged value is never taken for a large one.
    uint64_t checkedDataSize(uint64_t bid);

    // The file is shorter than the header's ibFileEof says: it was probably cut short.
    bool possiblyTruncated() const { return header_.ibFileEof > source_->size(); }

    // Subnode tree entries of a node.
    std::vector<NodeEntry> subnodes(uint64_t bidSub);
    NodeRef subnode(const NodeRef& parent, uint64_t nid);
    std::optional<NodeRef> findSubnode(const NodeRef& parent, uint64_t nid);

    // Every node of the node B-tree (for walkers and the fuzzer).
    std::vector<NodeEntry> allNodes();

    // For the ledger of the whole file (btree_walk.cpp): every entry of the block B-tree,
    // the pages of both B-trees, and the raw bytes and geometry of the file.
    std::vector<BlockEntry> allBlocks();
    std::vector<Bref> treePages(bool blockTree);
    const ByteSource& source() const { return *source_; }
    size_t pageSize() const { return pageSize_; }
    size_t blockAlign() const { return blockAlign_; }
    size_t blockTrailerSize() const { return blockTrailer_; }
    size_t maxBlockBytes() const { return maxBlockBytes_; }
    // Blocks the block B-tree does not list (intact blocks found in free space), read like
    // listed ones by this reader alone: recovery opens its own reader with them.
    void addLooseBlocks(const std::vector<BlockEntry>& blocks) {
        for (const BlockEntry& b : blocks) looseBlocks_.emplace(b.bid & ~1ull, b);
    }

private:
    struct Page {
        BlockPtr block;                    // the cached page, kept alive while entries is used
        std::span<const uint8_t> entries;  // cEnt entries of cbEnt bytes, checked against the page
        unsigned cEnt = 0, cbEnt = 0, cLevel = 0;
        uint8_t ptype = 0;
    };
    Page readPage(const Bref& ref, uint8_t ptype, int expectLevel);
    // The leaf page holding key and the entry's offset in its entries, or false.
    bool searchTree(const Bref& root, uint8_t ptype, uint64_t key, Page& leaf, size_t& offset);
    void walkTree(const Bref& ref, uint8_t ptype, int expectLevel, std::vector<NodeEntry>& out, int depth,
                  std::unordered_set<uint64_t>& visited);
    // Calls onPage for every page of a B-tree, each page once (btree_walk.cpp).
    template <class OnPage>
    void visitTree(const Bref& ref, uint8_t ptype, int expectLevel, int depth, std::unordered_set<uint64_t>& visited,
                   OnPage& onPage);
    NodeEntry parseNbtEntry(std::span<const uint8_t> e) const;
    BlockEntry parseBbtEntry(std::span<const uint8_t> e) const;
    void collectData(uint64_t bid, int expectLevel, std::vector<BlockPtr>& out, uint64_t& budget);
    void collectLeaves(uint64_t bid, int expectLevel, std::vector<uint64_t>& out);
    static void checkEntryCount(const char* what, uint64_t bid, size_t cEnt, size_t bytes, size_t entrySize);
    // A block's size and BID in its BBT entry agree with its trailer (read alone, unless cached).
    void checkTrailer(uint64_t bid, const BlockEntry& be);
    void collectSubnodes(uint64_t bid, int expectLevel, std::vector<NodeEntry>& out);
    BlockPtr cached(uint64_t key);
    // readBlock with the block's BBT entry already looked up.
    BlockPtr readBlock(uint64_t bid, const BlockEntry& be);
    // Reads a block from the file, checks it against its entry and trailer (and its CRC),
    // and writes its data, inflated and decoded, into out (cbInflated bytes).
    void loadBlock(uint64_t bid, const BlockEntry& be, std::span<uint8_t> out);
    void remember(uint64_t key, BlockPtr block);

    std::shared_ptr<ByteSource> source_;
    NdbOptions options_;
    Header header_;
    size_t pageSize_ = 512;
    size_t blockAlign_ = 64;
    size_t blockTrailer_ = 16;
    size_t maxBlockBytes_ = 8192;

    std::unordered_map<uint64_t, BlockEntry> looseBlocks_;
    std::list<std::pair<uint64_t, BlockPtr>> lru_;
    std::unordered_map<uint64_t, std::list<std::pair<uint64_t, BlockPtr>>::iterator> cacheIndex_;
    size_t cacheBytes_ = 0;
    std::vector<uint8_t> scratch_;  // a block the source cannot show in place is read here
    struct RangeCursor {            // where readRange's last piece began
        uint64_t bid = 0;           // the data tree
        std::vector<uint64_t> leaves;
        size_t index = 0;           // the leaf, and the offset of its first byte
        uint64_t pos = 0;
    };
    RangeCursor rangeCursor_;
};

}  // namespace dravik::pst
