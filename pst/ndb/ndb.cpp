#include "pst/ndb/ndb.h"

#include "pst/ndb/crc.h"
#include "pst/util/error.h"
#include "pst/util/reader.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

namespace dravik::pst {

namespace {
constexpr uint32_t kMagic = 0x4E444221;       // "!BDN"
constexpr uint16_t kMagicClientPst = 0x4D53;  // "SM"
constexpr uint16_t kMagicClientOst = 0x4F53;  // "SO"
constexpr uint8_t kPtypeBbt = 0x80;
constexpr uint8_t kPtypeNbt = 0x81;
constexpr int kMaxTreeDepth = 16;

bool isInternal(uint64_t bid) { return (bid & 0x2) != 0; }

// NID types a subnode may have: those the format defines (MS-PST 2.2.2.1) and 0x16, which
// Outlook's own stores hold. The others name nothing: such a NID was damaged.
bool isSubnodeType(uint8_t type) { return (type >= 0x01 && type <= 0x08) || (type >= 0x0A && type <= 0x13) || type == 0x16 || type == 0x1F; }

// Little-endian fields at a place whose bounds the caller has checked.
inline uint32_t loadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t loadLe64(const uint8_t* p) { return loadLe32(p) | (static_cast<uint64_t>(loadLe32(p + 4)) << 32); }
}  // namespace

Ndb::Ndb(std::shared_ptr<ByteSource> source, NdbOptions options)
    : source_(std::move(source)), options_(options) {
    const uint64_t fsize = source_->size();
    if (fsize < 512)
        throw Error(ErrorKind::Corrupt, "file too small for a store header", Where::at(0), ">= 0x200 bytes",
                    hex(fsize) + " bytes");
    std::vector<uint8_t> h(std::min<uint64_t>(fsize, 564));
    source_->read(0, h);
    LeReader r(h, "HEADER");
    uint32_t magic = r.u32("dwMagic");
    if (magic != kMagic) throw Error::corrupt("HEADER dwMagic", Where::at(0), kMagic, magic);
    uint32_t crcPartial = r.u32("dwCRCPartial");
    uint16_t client = r.u16("wMagicClient");
    if (client != kMagicClientPst && client != kMagicClientOst)
        throw Error::corrupt("HEADER wMagicClient", Where::at(8), kMagicClientPst, client);
    header_.ost = client == kMagicClientOst;
    header_.wVer = r.u16("wVer");
    header_.wVerClient = r.u16("wVerClient");
    if (header_.wVer == 14 || header_.wVer == 15) {
        header_.format = FileFormat::Ansi;
    } else if (header_.wVer >= 23 && header_.wVer < 36) {
        header_.format = FileFormat::Unicode;
    } else if (header_.wVer == 36 || header_.wVer == 37) {
        header_.format = FileFormat::Unicode4k;
    } else {
        throw Error(ErrorKind::Unsupported, "store file version wVer", Where::at(10), "14, 15, 23 or 36",
                    std::to_string(header_.wVer));
    }
    if (options_.checkCrc) {
        uint32_t c = computeCrc(std::span<const uint8_t>(h).subspan(8, 471));
        if (c != crcPartial) throw Error::corrupt("HEADER dwCRCPartial", Where::at(4), crcPartial, c);
    }
    if (header_.format == FileFormat::Ansi) {
        LeReader root = r.at(164, "ROOT");
        root.skip(4, "dwReserved");
        header_.ibFileEof = root.u32("ibFileEof");
        root.skip(12, "ibAMapLast, cbAMapFree, cbPMapFree");
        header_.nbt.bid = root.u32("BREFNBT.bid");
        header_.nbt.ib = root.u32("BREFNBT.ib");
        header_.bbt.bid = root.u32("BREFBBT.bid");
        header_.bbt.ib = root.u32("BREFBBT.ib");
        header_.bCryptMethod = static_cast<CryptMethod>(r.at(461).u8("bCryptMethod"));
        pageSize_ = 512;
        blockAlign_ = 64;
        blockTrailer_ = 12;
        maxBlockBytes_ = 8192;
    } else {
        if (options_.checkCrc) {
            LeReader full = r.at(524);
            uint32_t stored = full.u32("dwCRCFull");
            uint32_t c = computeCrc(std::span<const uint8_t>(h).subspan(8, 516));
            if (c != stored) throw Error::corrupt("HEADER dwCRCFull", Where::at(524), stored, c);
        }
        LeReader root = r.at(180, "ROOT");
        root.skip(4, "dwReserved");
        header_.ibFileEof = root.u64("ibFileEof");
        root.skip(24, "ibAMapLast, cbAMapFree, cbPMapFree");
        header_.nbt.bid = root.u64("BREFNBT.bid");
        header_.nbt.ib = root.u64("BREFNBT.ib");
        header_.bbt.bid = root.u64("BREFBBT.bid");
        header_.bbt.ib = root.u64("BREFBBT.ib");
        header_.bCryptMethod = static_cast<CryptMethod>(r.at(513).u8("bCryptMethod"));
        if (header_.format == FileFormat::Unicode4k) {
            pageSize_ = 4096;
            blockAlign_ = 512;
            blockTrailer_ = 24;
            maxBlockBytes_ = 65536;
        } else {
            pageSize_ = 512;
            blockAlign_ = 64;
            blockTrailer_ = 16;
            maxBlockBytes_ = 8192;
        }
    }
    auto cm = static_cast<uint8_t>(header_.bCryptMethod);
    if (cm > 2)
        throw Error(ErrorKind::Unsupported, "encoding bCryptMethod", Where::at(header_.format == FileFormat::Ansi ? 461 : 513),
                    "0, 1 or 2", hex(cm));
}

BlockPtr Ndb::cached(uint64_t key) {
    auto it = cacheIndex_.find(key);
    if (it == cacheIndex_.end()) return nullptr;
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->second;
}

void Ndb::remember(uint64_t key, BlockPtr block) {
    if (cacheIndex_.count(key)) return;
    cacheBytes_ += block->size() + 64;
    lru_.emplace_front(key, std::move(block));
    cacheIndex_[key] = lru_.begin();
    while (cacheBytes_ > options_.cacheBytes && lru_.size() > 1) {
        auto& last = lru_.back();
        cacheBytes_ -= last.second->size() + 64;
        cacheIndex_.erase(last.first);
        lru_.pop_back();
    }
}

Ndb::Page Ndb::readPage(const Bref& ref, uint8_t ptype, int expectLevel) {
    const bool ansi = header_.format == FileFormat::Ansi;
    const uint64_t key = ref.ib | (1ull << 63);
    BlockPtr bytes = cached(key);
    Where where = Where::at(ref.ib);
    where.bid = ref.bid;
    if (!bytes) {
        if (ref.ib > source_->size() || pageSize_ > source_->size() - ref.ib)
            throw Error(ErrorKind::Corrupt, "B-tree page lies beyond the end of the file", where,
                        "<= " + hex(source_->size()), hex(ref.ib + pageSize_));
        auto buf = std::make_shared<BlockBytes>(pageSize_);
        source_->read(ref.ib, *buf);
        const size_t trailerSize = ansi ? 12 : (pageSize_ == 4096 ? 24 : 16);
        LeReader t = LeReader(*buf, "PAGETRAILER", ref.ib).at(pageSize_ - trailerSize);
        uint8_t pt = t.u8("ptype");
        uint8_t ptRepeat = t.u8("ptypeRepeat");
        t.u16("wSig");
        uint32_t crc;
        uint64_t bid;
        if (ansi) {
            bid = t.u32("bid");
            crc = t.u32("dwCRC");
        } else {
            crc = t.u32("dwCRC");
            bid = t.u64("bid");
        }
        if (pt != ptype || ptRepeat != ptype) throw Error::corrupt("page ptype", where, ptype, pt != ptype ? pt : ptRepeat);
        if (bid != ref.bid) throw Error::corrupt("page trailer bid", where, ref.bid, bid);
        if (options_.checkCrc) {
            uint32_t c = computeCrc(std::span<const uint8_t>(*buf).first(pageSize_ - trailerSize));
            if (c != crc) throw Error::corrupt("page dwCRC", where, crc, c);
        }
        bytes = buf;
        remember(key, bytes);
    }
    Page p;
    p.ptype = ptype;
    size_t entriesSize;
    LeReader r(*bytes, "BTPAGE", ref.ib);
    if (pageSize_ == 4096) {
        entriesSize = 4056;
        r.seek(entriesSize);
        p.cEnt = r.u16("cEnt");
        r.u16("cEntMax");
    } else {
        entriesSize = ansi ? 496 : 488;
        r.seek(entriesSize);
        p.cEnt = r.u8("cEnt");
        r.u8("cEntMax");
    }
    p.cbEnt = r.u8("cbEnt");
    p.cLevel = r.u8("cLevel");
    if (expectLevel >= 0 ? p.cLevel != static_cast<unsigned>(expectLevel) : p.cLevel >= kMaxTreeDepth)
        throw Error::corrupt("B-tree page cLevel", where, expectLevel >= 0 ? expectLevel : kMaxTreeDepth - 1, p.cLevel);
    size_t minEnt = p.cLevel > 0 ? (ansi ? 12 : 24) : (ptype == kPtypeNbt ? (ansi ? 16 : 32) : (ansi ? 12 : 24));
    if (p.cbEnt < minEnt) throw Error::corrupt("B-tree page cbEnt", where, minEnt, p.cbEnt);
    if (static_cast<size_t>(p.cEnt) * p.cbEnt > entriesSize)
        throw Error::corrupt("B-tree page cEnt", where, entriesSize / p.cbEnt, p.cEnt);
    p.entries = std::span<const uint8_t>(*bytes).first(static_cast<size_t>(p.cEnt) * p.cbEnt);
    p.block = std::move(bytes);
    return p;
}

// The entries' sizes were checked against the page by readPage (cbEnt at least the size of
// every field read here, cEnt * cbEnt within the page), so the fields are read in place.
bool Ndb::searchTree(const Bref& root, uint8_t ptype, uint64_t key, Page& leaf, size_t& offset) {
    const bool ansi = header_.format == FileFormat::Ansi;
    const uint64_t keyMask = ptype == kPtypeNbt ? 0xFFFFFFFFull : ~1ull;
    auto keyAt = [ansi, keyMask](const uint8_t* e) {
        return (ansi ? loadLe32(e) : loadLe64(e)) & keyMask;
    };
    Bref ref = root;
    int expect = -1;
    for (int depth = 0; depth <= kMaxTreeDepth; ++depth) {
        Page p = readPage(ref, ptype, expect);
        const uint8_t* all = p.entries.data();
        if (p.cLevel == 0) {
            for (unsigned i = 0; i < p.cEnt; ++i) {
                if (keyAt(all + static_cast<size_t>(i) * p.cbEnt) == key) {
                    offset = static_cast<size_t>(i) * p.cbEnt;
                    leaf = std::move(p);
                    return true;
                }
            }
            return false;
        }
        // Intermediate: the last entry whose key is <= the key sought.
        const uint8_t* next = nullptr;
        for (unsigned i = 0; i < p.cEnt; ++i) {
            const uint8_t* e = all + static_cast<size_t>(i) * p.cbEnt;
            if (keyAt(e) > key) break;
            next = e;
        }
        if (!next) return false;
        ref.bid = ansi ? loadLe32(next + 4) : loadLe64(next + 8);
        ref.ib = ansi ? loadLe32(next + 8) : loadLe64(next + 16);
        expect = static_cast<int>(p.cLevel) - 1;
    }
    throw Error::corrupt("B-tree deeper than allowed", Where::at(ref.ib), kMaxTreeDepth, kMaxTreeDepth + 1);
}

NodeEntry Ndb::parseNbtEntry(std::span<const uint8_t> e) const {
    LeReader r(e, "NBTENTRY");
    NodeEntry n;
    if (header_.format == FileFormat::Ansi) {
        n.nid = r.u32("nid");
        n.bidData = r.u32("bidData");
        n.bidSub = r.u32("bidSub");
    } else {
        n.nid = r.u64("nid") & 0xFFFFFFFFull;
        n.bidData = r.u64("bidData");
        n.bidSub = r.u64("bidSub");
    }
    n.nidParent = r.u32("nidParent");
    return n;
}

BlockEntry Ndb::parseBbtEntry(std::span<const uint8_t> e) const {
    LeReader r(e, "BBTENTRY");
    BlockEntry b;
    if (header_.format == FileFormat::Ansi) {
        b.bid = r.u32("BREF.bid");
        b.ib = r.u32("BREF.ib");
        b.cb = r.u16("cb");
        b.cbInflated = b.cb;
    } else {
        b.bid = r.u64("BREF.bid");
        b.ib = r.u64("BREF.ib");
        b.cb = r.u16("cb");
        b.cbInflated = header_.format == FileFormat::Unicode4k ? r.u16("cbInflated") : b.cb;
    }
    return b;
}

std::optional<NodeRef> Ndb::findNode(uint64_t nid) {
    Page leaf;
    size_t offset = 0;
    if (!searchTree(header_.nbt, kPtypeNbt, nid & 0xFFFFFFFFull, leaf, offset)) return std::nullopt;
    return parseNbtEntry(leaf.entries.subspan(offset, leaf.cbEnt));
}

NodeRef Ndb::node(uint64_t nid) {
    auto n = findNode(nid);
    if (!n) throw Error::notFound("node", Where::node(nid));
    return *n;
}

BlockEntry Ndb::block(uint64_t bid) {
    Page leaf;
    size_t offset = 0;
    if (!searchTree(header_.bbt, kPtypeBbt, bid & ~1ull, leaf, offset)) {
        if (auto it = looseBlocks_.find(bid & ~1ull); it != looseBlocks_.end()) return it->second;
        throw Error::notFound("block", Where::block(bid));
    }
    return parseBbtEntry(leaf.entries.subspan(offset, leaf.cbEnt));
}

BlockPtr Ndb::readBlock(uint64_t bid) {
    if (auto c = cached(bid & ~1ull)) return c;
    return readBlock(bid, block(bid));
}

BlockPtr Ndb::readBlock(uint64_t bid, const BlockEntry& be) {
    if (auto c = cached(bid & ~1ull)) return c;
    // cbInflated is a 16-bit field: at most 64 KiB, whatever the file says.
    auto p = std::make_shared<BlockBytes>(be.cbInflated);
    loadBlock(bid, be, *p);
    remember(bid & ~1ull, p);
    return p;
}

void Ndb::loadBlock(uint64_t bid, const BlockEntry& be, std::span<uint8_t> out) {
    Where where = Where::at(be.ib);
    where.bid = bid;
    const uint64_t total = (static_cast<uint64_t>(be.cb) + blockTrailer_ + blockAlign_ - 1) / blockAlign_ * blockAlign_;
    if (total > maxBlockBytes_) throw Error::corrupt("block size cb", where, maxBlockBytes_ - blockTrailer_, be.cb);
    if (be.ib > source_->size() || total > source_->size() - be.ib)
        throw Error(ErrorKind::Corrupt, "block lies beyond the end of the file", where,
                    "<= " + hex(source_->size()), hex(be.ib + total));
    if (out.size() != be.cbInflated)
        throw std::invalid_argument("Ndb::loadBlock: the destination is not the block's size");
    // The block is checked and decoded where the source holds it: no copy of it first.
    const std::span<const uint8_t> raw = source_->view(be.ib, static_cast<size_t>(total), scratch_);
    LeReader t = LeReader(raw, "BLOCKTRAILER", be.ib).at(total - blockTrailer_);
    uint16_t cb = t.u16("cb");
    t.u16("wSig");
    uint32_t crc;
    uint64_t tbid;
    if (header_.format == FileFormat::Ansi) {
        tbid = t.u32("bid");
        crc = t.u32("dwCRC");
    } else {
        crc = t.u32("dwCRC");
        tbid = t.u64("bid");
    }
    if (cb != be.cb) throw Error::corrupt("block trailer cb", where, be.cb, cb);
    if ((tbid & ~1ull) != (bid & ~1ull)) throw Error::corrupt("block trailer bid", where, bid, tbid);
    const std::span<const uint8_t> data = raw.first(cb);
    if (options_.checkCrc) {
        uint32_t c = computeCrc(data);
        if (c != crc) throw Error::corrupt("block dwCRC", where, crc, c);
    }
    const CryptMethod crypt = isInternal(bid) ? CryptMethod::None : header_.bCryptMethod;
    if (be.cbInflated != be.cb) {
        uLongf outLen = out.size();
        int rc = ::uncompress(out.data(), &outLen, data.data(), data.size());
        if (rc != Z_OK || outLen != be.cbInflated)
            throw Error(ErrorKind::Corrupt, "compressed block does not inflate to cbInflated", where,
                        std::to_string(be.cbInflated) + " bytes",
                        rc == Z_OK ? std::to_string(outLen) + " bytes" : "zlib error " + std::to_string(rc));
        decodeBlock(crypt, out, bid);
    } else {
        decodeBlock(crypt, data, out, bid);
    }
}

// An internal block holds its cEnt entries and nothing else (its trailer's cb counts only
// them), and at least one: a count that disagrees with the block's size was damaged.
void Ndb::checkEntryCount(const char* what, uint64_t bid, size_t cEnt, size_t bytes, size_t entrySize) {
    if (cEnt == 0 || cEnt * entrySize != bytes)
        throw Error::corrupt(what, Where::block(bid), bytes / entrySize, cEnt);
}

void Ndb::collectData(uint64_t bid, int expectLevel, std::vector<BlockPtr>& out, uint64_t& budget) {
    if (!isInternal(bid)) {
        if (expectLevel > 0) throw Error::corrupt("data tree leaf where an XBLOCK belongs", Where::block(bid));
        BlockPtr b = readBlock(bid);
        if (b->size() > budget)
            throw Error::corrupt("data tree holds more than its lcbTotal", Where::block(bid), budget, b->size());
        budget -= b->size();
        out.push_back(std::move(b));
        return;
    }
    if (expectLevel == 0) throw Error::corrupt("XBLOCK where a data block belongs", Where::block(bid));
    BlockPtr b = readBlock(bid);
    LeReader r(*b, "XBLOCK");
    uint8_t btype = r.u8("btype");
    uint8_t cLevel = r.u8("cLevel");
    if (btype != 0x01) throw Error::corrupt("XBLOCK btype", Where::block(bid), 0x01, btype);
    if (expectLevel >= 0 ? cLevel != expectLevel : (cLevel != 1 && cLevel != 2))
        throw Error::corrupt("XBLOCK cLevel", Where::block(bid), expectLevel >= 0 ? expectLevel : 1, cLevel);
    uint16_t cEnt = r.u16("cEnt");
    r.u32("lcbTotal");
    const size_t w = unicode() ? 8 : 4;
    checkEntryCount("XBLOCK cEnt", bid, cEnt, r.remaining(), w);
    for (unsigned i = 0; i < cEnt; ++i) {
        uint64_t child = unicode() ? r.u64("rgbid") : r.u32("rgbid");
        collectData(child, cLevel - 1, out, budget);
    }
}

std::vector<BlockPtr> Ndb::dataBlocks(uint64_t bid) {
    std::vector<BlockPtr> out;
    if (bid == 0) return out;
    // A single data block is its whole data: readBlock checks it against its BBT entry
    // (cb, or cbInflated when compressed), which is the size the tree declares.
    if (!isInternal(bid)) {
        out.push_back(readBlock(bid));
        return out;
    }
    uint64_t lcbTotal = dataSize(bid);
    uint64_t budget = lcbTotal;
    collectData(bid, -1, out, budget);
    if (budget != 0) throw Error::corrupt("data tree lcbTotal", Where::block(bid), lcbTotal, lcbTotal - budget);
    return out;
}

std::vector<uint64_t> Ndb::dataBlockIds(uint64_t bid) {
    std::vector<uint64_t> out;
    if (bid != 0) collectLeaves(bid, -1, out);
    return out;
}

uint64_t Ndb::dataSize(uint64_t bid) {
    if (bid == 0) return 0;
    if (!isInternal(bid)) return block(bid).cbInflated;
    BlockPtr b = readBlock(bid);
    LeReader r(*b, "XBLOCK");
    r.skip(4, "btype, cLevel, cEnt");
    uint64_t total = r.u32("lcbTotal");
    // Blocks may be shared, but a value cannot plausibly exceed the file many times over.
    uint64_t limit = source_->size() * (header_.format == FileFormat::Unicode4k ? 64 : 8) + 65536;
    if (total > limit) throw Error::corrupt("XBLOCK lcbTotal", Where::block(bid), limit, total);
    return total;
}

std::vector<uint8_t> Ndb::readAll(uint64_t bid) {
    std::vector<uint8_t> all;
    auto blocks = dataBlocks(bid);
    size_t n = 0;
    for (auto& b : blocks) n += b->size();
    all.reserve(n);
    for (auto& b : blocks) all.insert(all.end(), b->begin(), b->end());
    return all;
}

uint64_t Ndb::checkedDataSize(uint64_t bid) {
    if (bid == 0) return 0;
    auto leafSize = [this](uint64_t leaf) -> uint64_t {
        const BlockEntry be = block(leaf);
        checkTrailer(leaf, be);
        return be.cbInflated;
    };
    if (!isInternal(bid)) return leafSize(bid);
    const uint64_t total = dataSize(bid);
    std::vector<uint64_t> leaves;
    collectLeaves(bid, -1, leaves);
    uint64_t sum = 0;
    for (uint64_t leaf : leaves) sum += leafSize(leaf);
    if (sum != total) throw Error::corrupt("XBLOCK lcbTotal against its data blocks", Where::block(bid), total, sum);
    return total;
}

void Ndb::checkTrailer(uint64_t bid, const BlockEntry& be) {
    if (cached(bid & ~1ull)) return;  // read whole, so checked against its trailer
    Where where = Where::at(be.ib);
    where.bid = bid;
    const uint64_t total = (static_cast<uint64_t>(be.cb) + blockTrailer_ + blockAlign_ - 1) / blockAlign_ * blockAlign_;
    if (total > maxBlockBytes_) throw Error::corrupt("block size cb", where, maxBlockBytes_ - blockTrailer_, be.cb);
    if (be.ib > source_->size() || total > source_->size() - be.ib)
        throw Error(ErrorKind::Corrupt, "block lies beyond the end of the file", where, "<= " + hex(source_->size()),
                    hex(be.ib + total));
    std::array<uint8_t, 24> buf;  // the largest trailer
    const std::span<uint8_t> raw(buf.data(), blockTrailer_);
    source_->read(be.ib + total - blockTrailer_, raw);
    LeReader t(raw, "BLOCKTRAILER", be.ib + total - blockTrailer_);
    const uint16_t cb = t.u16("cb");
    t.u16("wSig");
    uint64_t tbid;
    if (header_.format == FileFormat::Ansi) {
        tbid = t.u32("bid");
    } else {
        t.u32("dwCRC");
        tbid = t.u64("bid");
    }
    if (cb != be.cb) throw Error::corrupt("block trailer cb", where, be.cb, cb);
    if ((tbid & ~1ull) != (bid & ~1ull)) throw Error::corrupt("block trailer bid", where, bid, tbid);
}

void Ndb::collectLeaves(uint64_t bid, int expectLevel, std::vector<uint64_t>& out) {
    if (!isInternal(bid)) {
        if (expectLevel > 0) throw Error::corrupt("data tree leaf where an XBLOCK belongs", Where::block(bid));
        out.push_back(bid);
        return;
    }
    if (expectLevel == 0) throw Error::corrupt("XBLOCK where a data block belongs", Where::block(bid));
    BlockPtr b = readBlock(bid);
    LeReader r(*b, "XBLOCK");
    uint8_t btype = r.u8("btype");
    uint8_t cLevel = r.u8("cLevel");
    if (btype != 0x01) throw Error::corrupt("XBLOCK btype", Where::block(bid), 0x01, btype);
    if (expectLevel >= 0 ? cLevel != expectLevel : (cLevel != 1 && cLevel != 2))
        throw Error::corrupt("XBLOCK cLevel", Where::block(bid), expectLevel >= 0 ? expectLevel : 1, cLevel);
    uint16_t cEnt = r.u16("cEnt");
    r.u32("lcbTotal");
    const size_t w = unicode() ? 8 : 4;
    checkEntryCount("XBLOCK cEnt", bid, cEnt, r.remaining(), w);
    for (unsigned i = 0; i < cEnt; ++i) collectLeaves(unicode() ? r.u64("rgbid") : r.u32("rgbid"), cLevel - 1, out);
}

std::vector<uint8_t> Ndb::readRange(uint64_t bid, uint64_t offset, size_t n) {
    std::vector<uint8_t> out;
    if (bid == 0 || n == 0) return out;
    // A value read in pieces, one after another, goes on from the block where the last
    // piece ended instead of walking its tree and sizing its blocks from the start again.
    RangeCursor& c = rangeCursor_;
    if (c.bid != bid || c.pos > offset) {
        c = RangeCursor{};
        collectLeaves(bid, -1, c.leaves);
        c.bid = bid;
    }
    // First the blocks that hold the range and their sizes, so that the result is
    // allocated once at its size.
    struct Piece {
        uint64_t bid;
        BlockEntry entry;
        uint64_t from;
        size_t take;
    };
    std::vector<Piece> pieces;
    uint64_t pos = c.pos;
    size_t want = 0;
    for (size_t i = c.index; i < c.leaves.size() && want < n; ++i) {
        const uint64_t leaf = c.leaves[i];
        const BlockEntry be = block(leaf);
        const uint64_t size = be.cbInflated;
        if (pos + size > offset) {
            const uint64_t from = offset > pos ? offset - pos : 0;
            const size_t take = static_cast<size_t>(std::min<uint64_t>(size - from, n - want));
            pieces.push_back({leaf, be, from, take});
            want += take;
            c.index = i;  // the next piece starts in this block or after it
            c.pos = pos;
        }
        pos += size;
    }
    out.resize(want);
    size_t at = 0;
    for (const Piece& p : pieces) {
        const std::span<uint8_t> dest(out.data() + at, p.take);
        if (p.from == 0 && p.take == p.entry.cbInflated && !cached(p.bid & ~1ull)) {
            // A whole block not in the cache goes straight into the result: a long value
            // read at once neither pushes the cache's blocks out nor is copied twice.
            loadBlock(p.bid, p.entry, dest);
        } else {
            BlockPtr b = readBlock(p.bid, p.entry);
            if (b->size() != p.entry.cbInflated)
                throw Error::corrupt("data block size", Where::block(p.bid), p.entry.cbInflated, b->size());
            std::memcpy(dest.data(), b->data() + p.from, p.take);
        }
        at += p.take;
    }
    return out;
}

void Ndb::collectSubnodes(uint64_t bid, int expectLevel, std::vector<NodeEntry>& out) {
    if (!isInternal(bid)) throw Error::corrupt("subnode tree block is not an internal block", Where::block(bid));
    BlockPtr b = readBlock(bid);
    LeReader r(*b, "SLBLOCK");
    uint8_t btype = r.u8("btype");
    uint8_t cLevel = r.u8("cLevel");
    if (btype != 0x02) throw Error::corrupt("subnode block btype", Where::block(bid), 0x02, btype);
    if (expectLevel >= 0 ? cLevel != expectLevel : cLevel > 1)
        throw Error::corrupt("subnode block cLevel", Where::block(bid), expectLevel >= 0 ? expectLevel : 1, cLevel);
    uint16_t cEnt = r.u16("cEnt");
    if (unicode()) r.u32("dwPadding");
    const size_t w = unicode() ? 8 : 4;
    const size_t entSize = cLevel == 0 ? 3 * w : 2 * w;
    checkEntryCount("subnode block cEnt", bid, cEnt, r.remaining(), entSize);
    for (unsigned i = 0; i < cEnt; ++i) {
        if (cLevel == 0) {
            NodeEntry n;
            n.nid = (unicode() ? r.u64("nid") : r.u32("nid")) & 0xFFFFFFFFull;
            n.bidData = unicode() ? r.u64("bidData") : r.u32("bidData");
            n.bidSub = unicode() ? r.u64("bidSub") : r.u32("bidSub");
            // Every subnode has data; entries are sorted by NID: one out of order was
            // damaged (and could hide another).
            if (!isSubnodeType(static_cast<uint8_t>(n.nid & 0x1F)))
                throw Error(ErrorKind::Corrupt, "SLENTRY nid type", Where::block(bid), "a NID type the format defines",
                            hex(n.nid));
            if (n.bidData == 0)
                throw Error(ErrorKind::Corrupt, "SLENTRY bidData of NID " + hex(n.nid), Where::block(bid),
                            "a block", "0");
            if (!out.empty() && n.nid <= out.back().nid)
                throw Error(ErrorKind::Corrupt, "SLENTRY nid in order", Where::block(bid),
                            "a NID above " + hex(out.back().nid), hex(n.nid));
            out.push_back(n);
        } else {
            r.skip(w, "nid");
            uint64_t child = unicode() ? r.u64("bid") : r.u32("bid");
            collectSubnodes(child, 0, out);
        }
    }
}

std::vector<NodeEntry> Ndb::subnodes(uint64_t bidSub) {
    std::vector<NodeEntry> out;
    if (bidSub != 0) collectSubnodes(bidSub, -1, out);
    return out;
}

std::optional<NodeRef> Ndb::findSubnode(const NodeRef& parent, uint64_t nid) {
    for (const auto& n : subnodes(parent.bidSub))
        if (n.nid == (nid & 0xFFFFFFFFull)) return n;
    return std::nullopt;
}

NodeRef Ndb::subnode(const NodeRef& parent, uint64_t nid) {
    auto n = findSubnode(parent, nid);
    if (!n) {
        Where w = Where::node(nid);
        throw Error(ErrorKind::NotFound, "subnode of NID " + hex(parent.nid), w);
    }
    return *n;
}

void Ndb::walkTree(const Bref& ref, uint8_t ptype, int expectLevel, std::vector<NodeEntry>& out, int depth,
                   std::unordered_set<uint64_t>& visited) {
    if (depth > kMaxTreeDepth) throw Error::corrupt("B-tree deeper than allowed", Where::at(ref.ib));
    if (!visited.insert(ref.ib).second) throw Error::corrupt("B-tree page referenced twice", Where::at(ref.ib));
    Page p = readPage(ref, ptype, expectLevel);
    std::span<const uint8_t> all(p.entries);
    const bool ansi = header_.format == FileFormat::Ansi;
    for (unsigned i = 0; i < p.cEnt; ++i) {
        auto e = all.subspan(i * p.cbEnt, p.cbEnt);
        if (p.cLevel == 0) {
            out.push_back(parseNbtEntry(e));
        } else {
            LeReader r(e, "BTENTRY");
            r.skip(ansi ? 4 : 8, "btkey");
            Bref b;
            b.bid = ansi ? r.u32("BREF.bid") : r.u64("BREF.bid");
            b.ib = ansi ? r.u32("BREF.ib") : r.u64("BREF.ib");
            walkTree(b, ptype, static_cast<int>(p.cLevel) - 1, out, depth + 1, visited);
        }
    }
}

std::vector<NodeEntry> Ndb::allNodes() {
    std::vector<NodeEntry> out;
    std::unordered_set<uint64_t> visited;
    walkTree(header_.nbt, kPtypeNbt, -1, out, 0, visited);
    return out;
}

}  // namespace dravik::pst
