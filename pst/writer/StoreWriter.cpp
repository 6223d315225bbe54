#include "StoreWriter.h"

#include "pst/ndb/crc.h"
#include "pst/ndb/encoding.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <unordered_map>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace dravik::pst::writer {

namespace {

using ::dravik::pst::computeCrc;
using ::dravik::pst::encodeBlock;

uint32_t crc(const uint8_t* p, size_t n) { return computeCrc(std::span<const uint8_t>(p, n)); }

// NDB constants (MS-PST 2.2.2).
constexpr uint64_t kFirstAMap = 0x4400;
constexpr uint32_t kPageSize = 512;
constexpr uint32_t kMaxBlockData = 8176;             // 8 KiB block less its Unicode trailer
constexpr uint32_t kMaxBlockDataAnsi = 8180;         // less the ANSI trailer
constexpr uint32_t kMaxHeapAlloc = 3580;

enum : uint8_t { kPtypeBBT = 0x80, kPtypeNBT = 0x81, kPtypeFMap = 0x82, kPtypePMap = 0x83,
                 kPtypeAMap = 0x84, kPtypeFPMap = 0x85 };

// NID types (MS-PST 2.2.2.1).
enum : uint32_t { kNidFolder = 0x02, kNidMessage = 0x04, kNidAttachment = 0x05, kNidAssocMessage = 0x08,
                  kNidHierarchyTable = 0x0D, kNidContentsTable = 0x0E, kNidAssocContentsTable = 0x0F,
                  kNidLtp = 0x1F };
constexpr uint32_t kNidMessageStore = 0x21;
constexpr uint32_t kNidNameToIdMap = 0x61;
constexpr uint32_t kNidRootFolder = 0x122;
constexpr uint32_t kNidAttachmentTable = 0x671;
constexpr uint32_t kNidRecipientTable = 0x692;

constexpr uint32_t makeNid(uint32_t index, uint32_t type) { return (index << 5) | type; }

class Bytes {
public:
    std::vector<uint8_t> b;
    Bytes& u8(uint8_t v) { b.push_back(v); return *this; }
    Bytes& u16(uint16_t v) { return le(v, 2); }
    Bytes& u32(uint32_t v) { return le(v, 4); }
    Bytes& u64(uint64_t v) { return le(v, 8); }
    // A BID, IB or padded NID: 32 bits in ANSI files, 64 in Unicode ones.
    Bytes& id(uint64_t v, bool ansi) { return le(v, ansi ? 4 : 8); }
    Bytes& raw(const uint8_t* p, size_t n) { b.insert(b.end(), p, p + n); return *this; }
    Bytes& raw(const std::vector<uint8_t>& v) { return raw(v.data(), v.size()); }
    Bytes& fill(uint8_t v, size_t n) { b.insert(b.end(), n, v); return *this; }
    size_t size() const { return b.size(); }

private:
    Bytes& le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
};

void putU16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
void putU32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }
void putU64(uint8_t* p, uint64_t v) { for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i)); }

uint16_t blockSig(uint64_t ib, uint64_t bid) {
    ib ^= bid;
    return static_cast<uint16_t>((ib >> 16) ^ ib);
}

struct SubEntry {
    uint32_t nid;
    uint64_t bidData;
    uint64_t bidSub;
};

// The node database: blocks, pages, allocation maps and the two B-trees of one file.
class Ndb {
public:
    Ndb(const std::string& path, const StoreOptions& opt) : opt_(opt) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) throw std::runtime_error("cannot create \"" + path + "\": " + std::strerror(errno));
        cursor_ = std::max<uint64_t>(kFirstAMap, opt.dataStartOffset);
        ansi_ = opt.format == StoreFormat::Ansi;
        interval_ = 496ull * 8 * 64;  // both formats: 496 bytes of bits, one per 64 bytes
        maxData_ = ansi_ ? kMaxBlockDataAnsi : kMaxBlockData;
        idSize_ = ansi_ ? 4 : 8;
    }

    bool ansi() const { return ansi_; }
    uint32_t maxData() const { return maxData_; }
    ~Ndb() {
        if (fd_ >= 0) ::close(fd_);
    }

    uint64_t writeBlock(const uint8_t* data, size_t cb, bool internal) {
        if (cb > maxData_) throw std::logic_error("block data over " + std::to_string(maxData_) + " bytes");
        const uint64_t bid = (nextBid_++ << 2) | (internal ? 2 : 0);
        const size_t trailer = ansi_ ? 12 : 16;
        const size_t total = (cb + trailer + 63) & ~size_t(63);
        const uint64_t ib = alloc(total, 64);
        buf_.assign(total, 0);
        if (cb) std::memcpy(buf_.data(), data, cb);
        if (!internal) encodeBlock(opt_.encoding, std::span<uint8_t>(buf_.data(), cb), bid);
        uint8_t* t = buf_.data() + total - trailer;
        putU16(t, static_cast<uint16_t>(cb));
        putU16(t + 2, blockSig(ib, bid));
        if (ansi_) {  // BLOCKTRAILER: cb, wSig, bid, dwCRC
            putU32(t + 4, static_cast<uint32_t>(bid));
            putU32(t + 8, crc(buf_.data(), cb));
        } else {      // cb, wSig, dwCRC, bid
            putU32(t + 4, crc(buf_.data(), cb));
            putU64(t + 8, bid);
        }
        writeAt(ib, buf_.data(), total);
        bbt_.push_back({bid, ib, static_cast<uint16_t>(cb)});
        return bid;
    }

    // A stream of any size: one block, or blocks under an XBLOCK or XXBLOCK.
    uint64_t writeData(const uint8_t* data, size_t size) {
        if (size <= maxData_) return writeBlock(data, size, false);
        std::vector<std::pair<uint64_t, uint32_t>> leaves;
        for (size_t off = 0; off < size; off += maxData_) {
            const size_t n = std::min<size_t>(maxData_, size - off);
            leaves.emplace_back(writeBlock(data + off, n, false), static_cast<uint32_t>(n));
        }
        return writeTree(leaves);
    }

    // Blocks already written, in order, with their sizes: the data tree over them.
    uint64_t writeTree(const std::vector<std::pair<uint64_t, uint32_t>>& leaves) {
        if (leaves.size() == 1) return leaves[0].first;
        const size_t xMax = (maxData_ - 8) / idSize_;  // BIDs in one XBLOCK
        std::vector<std::pair<uint64_t, uint64_t>> xblocks;  // bid, bytes under it
        for (size_t i = 0; i < leaves.size(); i += xMax) {
            const size_t n = std::min(xMax, leaves.size() - i);
            uint64_t total = 0;
            for (size_t k = 0; k < n; ++k) total += leaves[i + k].second;
            Bytes x;
            x.u8(0x01).u8(1).u16(static_cast<uint16_t>(n)).u32(static_cast<uint32_t>(total));
            for (size_t k = 0; k < n; ++k) x.id(leaves[i + k].first, ansi_);
            xblocks.emplace_back(writeBlock(x.b.data(), x.size(), true), total);
        }
        if (xblocks.size() == 1) return xblocks[0].first;
        if (xblocks.size() > xMax) throw std::length_error("stream too large for an XXBLOCK");
        uint64_t total = 0;
        for (auto& x : xblocks) total += x.second;
        if (total > 0xFFFFFFFFull) throw std::length_error("stream over 4 GiB");
        Bytes xx;
        xx.u8(0x01).u8(2).u16(static_cast<uint16_t>(xblocks.size())).u32(static_cast<uint32_t>(total));
        for (auto& x : xblocks) xx.id(x.first, ansi_);
        return writeBlock(xx.b.data(), xx.size(), true);
    }

    uint64_t writeSubnodes(std::vector<SubEntry> entries) {
        if (entries.empty()) return 0;
        std::sort(entries.begin(), entries.end(), [](auto& a, auto& b) { return a.nid < b.nid; });
        // SLBLOCK and SIBLOCK; the Unicode header has a 4-byte padding.
        const size_t head = ansi_ ? 4 : 8;
        const size_t slMax = (maxData_ - head) / (3 * idSize_), siMax = (maxData_ - head) / (2 * idSize_);
        std::vector<std::pair<uint32_t, uint64_t>> sl;  // first nid, SLBLOCK bid
        for (size_t i = 0; i < entries.size(); i += slMax) {
            const size_t n = std::min(slMax, entries.size() - i);
            Bytes s;
            s.u8(0x02).u8(0).u16(static_cast<uint16_t>(n));
            if (!ansi_) s.u32(0);
            for (size_t k = 0; k < n; ++k)
                s.id(entries[i + k].nid, ansi_).id(entries[i + k].bidData, ansi_).id(entries[i + k].bidSub, ansi_);
            sl.emplace_back(entries[i].nid, writeBlock(s.b.data(), s.size(), true));
        }
        if (sl.size() == 1) return sl[0].second;
        if (sl.size() > siMax) throw std::length_error("too many subnodes in one node");
        Bytes si;
        si.u8(0x02).u8(1).u16(static_cast<uint16_t>(sl.size()));
        if (!ansi_) si.u32(0);
        for (auto& [nid, bid] : sl) si.id(nid, ansi_).id(bid, ansi_);
        return writeBlock(si.b.data(), si.size(), true);
    }

    void addNode(uint32_t nid, uint64_t bidData, uint64_t bidSub, uint32_t nidParent) {
        nbt_.push_back({nid, bidData, bidSub, nidParent});
    }

    uint64_t blockCount() const { return bbt_.size(); }
    uint64_t fileSize() const { return fileEof_; }
    size_t nodeCount() const { return nbt_.size(); }

    // Removes the node added at index i of the node list (kept in place until finish).
    void dropNode(size_t i) { nbt_[i].nid = 0; }
    // Frees blocks [begin, end) of the block list as a deleting client does: their entries
    // leave the block B-tree and their space is marked free, their bytes stay in the file.
    std::vector<RemovedBlock> freeBlocks(size_t begin, size_t end) {
        std::vector<RemovedBlock> out;
        for (size_t i = begin; i < end; ++i) {
            BbtEntry& b = bbt_[i];
            if (b.bid == 0) continue;
            out.push_back({b.bid, b.ib, b.cb});
            const uint64_t total = (b.cb + (ansi_ ? 12u : 16u) + 63) & ~uint64_t(63);
            const uint64_t interval = (b.ib - kFirstAMap) / interval_;
            auto& map = amaps_[interval];
            const uint64_t from = b.ib - (kFirstAMap + interval * interval_);
            for (uint64_t slot = from / 64; slot < (from + total) / 64; ++slot) map[slot / 8] &= uint8_t(~(0x80 >> (slot % 8)));
            b.bid = 0;
        }
        return out;
    }
    // Writes a pattern over a block's bytes, trailer included.
    void overwrite(const RemovedBlock& b) {
        const uint64_t total = (b.cb + (ansi_ ? 12u : 16u) + 63) & ~uint64_t(63);
        std::vector<uint8_t> junk(total, 0xA5);
        writeAt(b.ib, junk.data(), junk.size());
    }

    void finish(uint32_t nextNidIndex) {
        std::erase_if(nbt_, [](const NbtEntry& n) { return n.nid == 0; });
        std::erase_if(bbt_, [](const BbtEntry& b) { return b.bid == 0; });
        std::sort(nbt_.begin(), nbt_.end(), [](auto& a, auto& b) { return a.nid < b.nid; });
        for (size_t i = 1; i < nbt_.size(); ++i)
            if (nbt_[i].nid == nbt_[i - 1].nid) throw std::logic_error("node written twice");
        std::vector<std::vector<uint8_t>> nbtEntries, bbtEntries;
        nbtEntries.reserve(nbt_.size());
        for (auto& n : nbt_) {
            Bytes e;
            e.id(n.nid, ansi_).id(n.bidData, ansi_).id(n.bidSub, ansi_).u32(n.parent);
            if (!ansi_) e.u32(0);
            nbtEntries.push_back(std::move(e.b));
        }
        nbt_.clear();
        nbt_.shrink_to_fit();
        bbtEntries.reserve(bbt_.size());
        for (auto& b : bbt_) {
            Bytes e;
            e.id(b.bid, ansi_).id(b.ib, ansi_).u16(b.cb).u16(2);
            if (!ansi_) e.u32(0);
            bbtEntries.push_back(std::move(e.b));
        }
        const auto nbtRoot = writeBTree(kPtypeNBT, nbtEntries, static_cast<uint8_t>(ansi_ ? 16 : 32));
        const auto bbtRoot = writeBTree(kPtypeBBT, bbtEntries, static_cast<uint8_t>(ansi_ ? 12 : 24));

        const uint64_t intervals = amaps_.size();
        fileEof_ = kFirstAMap + intervals * interval_;
        if (ansi_ && fileEof_ > 0x7FFFFFFFull) throw std::length_error("an ANSI store cannot exceed 2 GiB");
        uint64_t amapFree = 0;
        for (uint64_t i = 0; i < intervals; ++i) {
            const uint64_t start = kFirstAMap + i * interval_;
            writeMapPage(start, kPtypeAMap, amaps_[i].data());
            for (size_t k = 0; k < mapBytes(); ++k) amapFree += 64ull * (8 - __builtin_popcount(amaps_[i][k]));
            uint64_t at = start + kPageSize;
            std::vector<uint8_t> full(mapBytes(), 0xFF);
            if (hasPMap(i)) { writeMapPage(at, kPtypePMap, full.data()); at += kPageSize; }
            if (hasFMap(i)) { writeMapPage(at, kPtypeFMap, full.data()); at += kPageSize; }
            if (hasFPMap(i)) { writeMapPage(at, kPtypeFPMap, full.data()); }
        }
        if (::ftruncate(fd_, static_cast<off_t>(fileEof_)) != 0) throw ioError("extend");

        const uint64_t amapLast = kFirstAMap + (intervals - 1) * interval_;
        Bytes h = ansi_ ? ansiHeader(nextNidIndex, amapLast, amapFree, nbtRoot, bbtRoot)
                        : unicodeHeader(nextNidIndex, amapLast, amapFree, nbtRoot, bbtRoot);
        h.b.resize(kFirstAMap, 0);
        writeAt(0, h.b.data(), h.size());
        if (::fsync(fd_) != 0) throw ioError("sync");
    }

private:
    using Bref = std::pair<uint64_t, uint64_t>;

    // HEADER (MS-PST 2.2.2.6), Unicode.
    Bytes unicodeHeader(uint32_t nextNidIndex, uint64_t amapLast, uint64_t amapFree, Bref nbtRoot, Bref bbtRoot) {
        Bytes h;
        h.u32(0x4E444221).u32(0).u16(0x4D53).u16(23).u16(19).u8(1).u8(1).u32(0).u32(0);
        h.u64(0).u64(nextPageBid_).u32(1);
        for (uint32_t t = 0; t < 32; ++t) h.u32(makeNid(nextNidIndex, t));
        h.u64(0);
        // ROOT
        h.u32(0).u64(fileEof_).u64(amapLast).u64(amapFree).u64(0);
        h.u64(nbtRoot.first).u64(nbtRoot.second).u64(bbtRoot.first).u64(bbtRoot.second);
        h.u8(0x02).u8(0).u16(0);
        h.u32(0);
        h.fill(0xFF, 128).fill(0xFF, 128);
        h.u8(0x80).u8(static_cast<uint8_t>(opt_.encoding)).u16(0).u64(nextBid_ << 2);
        h.u32(0);  // dwCRCFull, below
        h.fill(0, 3).u8(0).fill(0, 32);
        putU32(h.b.data() + 4, crc(h.b.data() + 8, 471));
        putU32(h.b.data() + 524, crc(h.b.data() + 8, 516));
        return h;
    }

    // HEADER, ANSI: 32-bit BIDs and offsets, no full CRC.
    Bytes ansiHeader(uint32_t nextNidIndex, uint64_t amapLast, uint64_t amapFree, Bref nbtRoot, Bref bbtRoot) {
        Bytes h;
        h.u32(0x4E444221).u32(0).u16(0x4D53).u16(14).u16(19).u8(1).u8(1).u32(0).u32(0);
        h.u32(static_cast<uint32_t>(nextBid_ << 2)).u32(static_cast<uint32_t>(nextPageBid_)).u32(1);
        for (uint32_t t = 0; t < 32; ++t) h.u32(makeNid(nextNidIndex, t));
        // ROOT
        h.u32(0).u32(static_cast<uint32_t>(fileEof_)).u32(static_cast<uint32_t>(amapLast));
        h.u32(static_cast<uint32_t>(amapFree)).u32(0);
        h.u32(static_cast<uint32_t>(nbtRoot.first)).u32(static_cast<uint32_t>(nbtRoot.second));
        h.u32(static_cast<uint32_t>(bbtRoot.first)).u32(static_cast<uint32_t>(bbtRoot.second));
        h.u8(0x02).u8(0).u16(0);
        h.fill(0xFF, 128).fill(0xFF, 128);
        h.u8(0x80).u8(static_cast<uint8_t>(opt_.encoding)).u16(0).u64(0).u32(0);
        h.fill(0, 3).u8(0).fill(0, 32);
        putU32(h.b.data() + 4, crc(h.b.data() + 8, 471));
        return h;
    }

    // The bits of a map page: 496 bytes in both formats; ANSI pages put a 4-byte dwPadding
    // before them (MS-PST AMAPPAGE, PMAPPAGE).
    size_t mapBytes() const { return 496; }
    struct BbtEntry { uint64_t bid, ib; uint16_t cb; };
    struct NbtEntry { uint32_t nid; uint64_t bidData, bidSub; uint32_t parent; };

    static bool hasPMap(uint64_t i) { return i % 8 == 0; }
    static bool hasFMap(uint64_t i) { return i >= 128 && (i - 128) % 496 == 0; }
    static bool hasFPMap(uint64_t i) { return i >= 128 * 64 && (i - 128 * 64) % (496 * 64) == 0; }
    static uint64_t reserved(uint64_t i) {  // map pages at the start of interval i
        return kPageSize * (1 + hasPMap(i) + hasFMap(i) + hasFPMap(i));
    }

    std::runtime_error ioError(const char* what) const {
        return std::runtime_error(std::string("store file: cannot ") + what + ": " + std::strerror(errno));
    }

    void writeAt(uint64_t off, const uint8_t* p, size_t n) {
        while (n) {
            const ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(off));
            if (w < 0) {
                if (errno == EINTR) continue;
                throw ioError("write");
            }
            p += w;
            n -= static_cast<size_t>(w);
            off += static_cast<uint64_t>(w);
        }
    }

    void openInterval(uint64_t i) {
        while (amaps_.size() <= i) {
            const uint64_t k = amaps_.size();
            amaps_.emplace_back();
            amaps_.back().fill(0);
            mark(k, 0, reserved(k));
        }
    }

    void mark(uint64_t interval, uint64_t from, uint64_t size) {
        auto& map = amaps_[interval];
        for (uint64_t slot = from / 64; slot < (from + size) / 64; ++slot) map[slot / 8] |= uint8_t(0x80 >> (slot % 8));
    }

    uint64_t alloc(uint64_t size, uint64_t align) {
        for (;;) {
            uint64_t pos = (cursor_ + align - 1) & ~(align - 1);
            const uint64_t i = (pos - kFirstAMap) / interval_;
            openInterval(i);
            const uint64_t start = kFirstAMap + i * interval_;
            if (pos < start + reserved(i)) pos = (start + reserved(i) + align - 1) & ~(align - 1);
            if (pos + size > start + interval_) {
                cursor_ = start + interval_;
                continue;
            }
            mark(i, pos - start, size);
            cursor_ = pos + size;
            return pos;
        }
    }

    // PAGETRAILER: Unicode ptype, ptypeRepeat, wSig, dwCRC, bid; ANSI ptype, ptypeRepeat, wSig, bid, dwCRC.
    void writePage(uint64_t ib, uint8_t ptype, uint8_t* page, uint64_t bid, bool signed_) {
        const size_t t = ansi_ ? 500 : 496;
        page[t] = ptype;
        page[t + 1] = ptype;
        putU16(page + t + 2, signed_ ? blockSig(ib, bid) : 0);
        if (ansi_) {
            putU32(page + t + 4, static_cast<uint32_t>(bid));
            putU32(page + t + 8, crc(page, t));
        } else {
            putU32(page + t + 4, crc(page, t));
            putU64(page + t + 8, bid);
        }
        writeAt(ib, page, kPageSize);
    }

    void writeMapPage(uint64_t ib, uint8_t ptype, const uint8_t* content) {
        uint8_t page[kPageSize] = {};
        std::memcpy(page + (ansi_ ? 4 : 0), content, mapBytes());
        writePage(ib, ptype, page, ib, false);
    }

    // Leaf entries (keys first, sorted): the pages of the tree, bottom up. Returns the root BREF.
    std::pair<uint64_t, uint64_t> writeBTree(uint8_t ptype, const std::vector<std::vector<uint8_t>>& leaves, uint8_t cbEnt) {
        std::vector<std::pair<uint64_t, std::pair<uint64_t, uint64_t>>> level;  // first key, bref
        const size_t meta = ansi_ ? 496 : 488;  // cEnt, cEntMax, cbEnt, cLevel follow the entries
        const uint8_t leafMax = static_cast<uint8_t>(meta / cbEnt);
        size_t i = 0;
        do {
            const size_t n = std::min<size_t>(leafMax, leaves.size() - i);
            uint8_t page[kPageSize] = {};
            for (size_t k = 0; k < n; ++k) std::memcpy(page + k * cbEnt, leaves[i + k].data(), cbEnt);
            page[meta] = static_cast<uint8_t>(n);
            page[meta + 1] = leafMax;
            page[meta + 2] = cbEnt;
            page[meta + 3] = 0;
            const uint64_t ib = alloc(kPageSize, kPageSize), bid = nextPageBid_++;
            writePage(ib, ptype, page, bid, true);
            uint64_t key = 0;
            for (size_t k = 0; n && k < idSize_; ++k) key |= uint64_t(leaves[i][k]) << (8 * k);
            level.push_back({key, {bid, ib}});
            i += n;
        } while (i < leaves.size());
        uint8_t depth = 0;
        while (level.size() > 1) {
            ++depth;
            decltype(level) up;
            // BTENTRY: btkey and BREF.
            const size_t cb = 3 * idSize_, max = meta / cb;
            for (size_t j = 0; j < level.size(); j += max) {
                const size_t n = std::min<size_t>(max, level.size() - j);
                uint8_t page[kPageSize] = {};
                for (size_t k = 0; k < n; ++k) {
                    Bytes e;
                    e.id(level[j + k].first, ansi_).id(level[j + k].second.first, ansi_).id(level[j + k].second.second, ansi_);
                    std::memcpy(page + k * cb, e.b.data(), cb);
                }
                page[meta] = static_cast<uint8_t>(n);
                page[meta + 1] = static_cast<uint8_t>(max);
                page[meta + 2] = static_cast<uint8_t>(cb);
                page[meta + 3] = depth;
                const uint64_t ib = alloc(kPageSize, kPageSize), bid = nextPageBid_++;
                writePage(ib, ptype, page, bid, true);
                up.push_back({level[j].first, {bid, ib}});
            }
            level.swap(up);
        }
        return level[0].second;
    }

    int fd_ = -1;
    StoreOptions opt_;
    uint64_t cursor_;
    uint64_t nextBid_ = 1;
    uint64_t nextPageBid_ = 1;
    uint64_t fileEof_ = 0;
    std::vector<std::array<uint8_t, 496>> amaps_;
    std::vector<BbtEntry> bbt_;
    std::vector<NbtEntry> nbt_;
    std::vector<uint8_t> buf_;
    bool ansi_ = false;
    uint64_t interval_ = 0;  // bytes mapped by one AMap page
    uint32_t maxData_ = 0;
    size_t idSize_ = 8;
};

// Writes one node's data and keeps the subnodes it needs: large values, tables.
class NodeBuilder {
public:
    explicit NodeBuilder(Ndb& ndb) : ndb_(ndb) {}
    Ndb& ndb() { return ndb_; }
    void addSub(SubEntry e) { subs_.push_back(e); }
    uint32_t nextSubNid(uint32_t type) { return makeNid(nextSub_++, type); }
    uint64_t finishSubnodes() { return ndb_.writeSubnodes(std::move(subs_)); }
    // A value too large for the heap: a subnode of its own.
    uint32_t largeValue(const std::vector<uint8_t>& v) {
        const uint32_t nid = nextSubNid(kNidLtp);
        subs_.push_back({nid, ndb_.writeData(v.data(), v.size()), 0});
        return nid;
    }

private:
    Ndb& ndb_;
    std::vector<SubEntry> subs_;
    uint32_t nextSub_ = 1;
};

// Heap-on-node (MS-PST 2.3.1).
class Heap {
public:
    explicit Heap(uint8_t clientSig) : clientSig_(clientSig) { pages_.emplace_back(); }

    uint32_t alloc(const uint8_t* p, size_t n) {
        if (n > kMaxHeapAlloc) throw std::logic_error("heap allocation over 3580 bytes");
        Page* pg = &pages_.back();
        const size_t idx = pages_.size() - 1;
        auto fits = [&](const Page& g, size_t i) {
            const size_t used = header(i) + g.data.size() + n;
            return g.ends.size() < 2047 && ((used + 1) & ~size_t(1)) + 4 + 2 * (g.ends.size() + 2) <= kMaxBlockData;
        };
        size_t at = idx;
        if (!fits(*pg, idx)) {
            pages_.emplace_back();
            pg = &pages_.back();
            at = pages_.size() - 1;
        }
        pg->data.insert(pg->data.end(), p, p + n);
        pg->ends.push_back(static_cast<uint16_t>(pg->data.size()));
        return static_cast<uint32_t>((at << 16) | (pg->ends.size() << 5));
    }
    uint32_t alloc(const std::vector<uint8_t>& v) { return alloc(v.data(), v.size()); }
    void setRoot(uint32_t hid) { root_ = hid; }

    // A variable value: in the heap when it fits, else a subnode.
    uint32_t place(const std::vector<uint8_t>& v, NodeBuilder& node) {
        return v.size() <= kMaxHeapAlloc ? alloc(v) : node.largeValue(v);
    }

    // Writes the heap's blocks; returns the node's data BID.
    uint64_t write(Ndb& ndb) const {
        std::vector<std::vector<uint8_t>> blocks;
        std::vector<uint8_t> fill;
        for (size_t i = 0; i < pages_.size(); ++i) {
            const Page& g = pages_[i];
            const size_t hdr = header(i);
            size_t ibHnpm = (hdr + g.data.size() + 1) & ~size_t(1);
            std::vector<uint8_t> b(ibHnpm, 0);
            std::memcpy(b.data() + hdr, g.data.data(), g.data.size());
            putU16(b.data(), static_cast<uint16_t>(ibHnpm));
            Bytes map;
            map.u16(static_cast<uint16_t>(g.ends.size())).u16(0).u16(static_cast<uint16_t>(hdr));
            for (uint16_t e : g.ends) map.u16(static_cast<uint16_t>(hdr + e));
            b.insert(b.end(), map.b.begin(), map.b.end());
            fill.push_back(fillLevel(kMaxBlockData - b.size()));
            blocks.push_back(std::move(b));
        }
        // HNHDR on the first block, HNBITMAPHDR on blocks 8, 136, 264, ...
        auto& first = blocks[0];
        first[2] = 0xEC;
        first[3] = clientSig_;
        putU32(first.data() + 4, root_);
        for (size_t k = 0; k < 8 && k < fill.size(); ++k) first[8 + k / 2] |= uint8_t(fill[k] << (4 * (k % 2)));
        for (size_t i = 8; i < blocks.size(); i += 128)
            for (size_t k = 0; k < 128 && i + k < fill.size(); ++k) blocks[i][2 + k / 2] |= uint8_t(fill[i + k] << (4 * (k % 2)));
        std::vector<std::pair<uint64_t, uint32_t>> leaves;
        for (auto& b : blocks) leaves.emplace_back(ndb.writeBlock(b.data(), b.size(), false), static_cast<uint32_t>(b.size()));
        return ndb.writeTree(leaves);
    }

private:
    struct Page {
        std::vector<uint8_t> data;
        std::vector<uint16_t> ends;
    };
    static size_t header(size_t i) { return i == 0 ? 12 : (i >= 8 && (i - 8) % 128 == 0) ? 66 : 2; }
    static uint8_t fillLevel(size_t free) {
        static const size_t limits[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768, 512, 256, 128, 64, 32, 16, 8};
        for (uint8_t k = 0; k < 15; ++k)
            if (free >= limits[k]) return k;
        return 15;
    }
    uint8_t clientSig_;
    uint32_t root_ = 0;
    std::vector<Page> pages_;
};

// BTH on a heap (MS-PST 2.3.2): records are key then data, sorted by key. Returns the
// header's HID.
uint32_t writeBth(Heap& heap, uint8_t cbKey, uint8_t cbEnt, const std::vector<uint8_t>& records) {
    const size_t rec = cbKey + cbEnt;
    const size_t count = records.size() / rec;
    uint32_t root = 0;
    uint8_t levels = 0;
    if (count) {
        std::vector<std::pair<std::vector<uint8_t>, uint32_t>> level;  // first key, hid
        const size_t perLeaf = kMaxHeapAlloc / rec;
        for (size_t i = 0; i < count; i += perLeaf) {
            const size_t n = std::min(perLeaf, count - i);
            level.push_back({std::vector<uint8_t>(records.begin() + i * rec, records.begin() + i * rec + cbKey),
                             heap.alloc(records.data() + i * rec, n * rec)});
        }
        const size_t perIndex = kMaxHeapAlloc / (cbKey + 4);
        while (level.size() > 1) {
            ++levels;
            decltype(level) up;
            for (size_t i = 0; i < level.size(); i += perIndex) {
                const size_t n = std::min(perIndex, level.size() - i);
                Bytes b;
                for (size_t k = 0; k < n; ++k) b.raw(level[i + k].first).u32(level[i + k].second);
                up.push_back({level[i].first, heap.alloc(b.b)});
            }
            level.swap(up);
        }
        root = level[0].second;
    }
    Bytes h;
    h.u8(0xB5).u8(cbKey).u8(cbEnt).u8(levels).u32(root);
    return heap.alloc(h.b);
}

bool isInlineType(uint16_t type) {
    return type == kPtI2 || type == kPtLong || type == kPtR4 || type == kPtBoolean || type == kPtError;
}

using Props = std::vector<std::pair<uint32_t, PropValue>>;  // tag, value; sorted by tag

// ANSI stores keep 8-bit strings: UTF-16 code units above 0xFF become '?'.
std::vector<uint8_t> narrow(const uint8_t* p, size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n / 2);
    for (size_t i = 0; i + 1 < n; i += 2) out.push_back(p[i + 1] ? uint8_t('?') : p[i]);
    return out;
}

uint32_t narrowTag(uint32_t tag) {
    const uint16_t type = static_cast<uint16_t>(tag);
    if (type == kPtUnicode || type == (kPtMvFlag | kPtUnicode)) return tag - 1;  // 0x001F -> 0x001E
    return tag;
}

void narrowStrings(Props& props) {
    for (auto& [tag, v] : props) {
        if (v.type == kPtUnicode) {
            v.bytes = narrow(v.bytes.data(), v.bytes.size());
        } else if (v.type == (kPtMvFlag | kPtUnicode) && v.bytes.size() >= 4) {
            const auto& b = v.bytes;
            const uint32_t count = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
            auto offAt = [&](size_t k) -> size_t {
                if (k == count) return b.size();
                const size_t o = 4 + 4 * k;
                return o + 4 <= b.size() ? (uint32_t(b[o]) | uint32_t(b[o + 1]) << 8 | uint32_t(b[o + 2]) << 16 | uint32_t(b[o + 3]) << 24) : b.size();
            };
            std::vector<std::vector<uint8_t>> parts;
            for (uint32_t k = 0; k < count && 4 + 4 * k < b.size(); ++k) {
                const size_t from = std::min(offAt(k), b.size()), to = std::min(std::max(offAt(k + 1), from), b.size());
                parts.push_back(narrow(b.data() + from, to - from));
            }
            Bytes mv;
            mv.u32(static_cast<uint32_t>(parts.size()));
            uint32_t at = static_cast<uint32_t>(4 + 4 * parts.size());
            for (auto& p : parts) { mv.u32(at); at += static_cast<uint32_t>(p.size()); }
            for (auto& p : parts) mv.raw(p);
            v.bytes = std::move(mv.b);
        } else {
            continue;
        }
        v.type = static_cast<uint16_t>(narrowTag(v.type));
        tag = narrowTag(tag);
    }
}

// Property context (MS-PST 2.3.3). PT_OBJECT values are 8 bytes {NID, size} and go to the heap.
uint64_t writePc(Props props, NodeBuilder& node) {
    if (node.ndb().ansi()) narrowStrings(props);
    Heap heap(0xBC);
    Bytes recs;
    for (const auto& [tag, v] : props) {
        const uint16_t type = static_cast<uint16_t>(tag);
        uint32_t value = 0;
        if (isInlineType(type)) {
            uint8_t four[4] = {};
            std::memcpy(four, v.bytes.data(), std::min<size_t>(4, v.bytes.size()));
            value = uint32_t(four[0]) | uint32_t(four[1]) << 8 | uint32_t(four[2]) << 16 | uint32_t(four[3]) << 24;
        } else {
            value = heap.place(v.bytes, node);
        }
        recs.u16(static_cast<uint16_t>(tag >> 16)).u16(type).u32(value);
    }
    heap.setRoot(writeBth(heap, 2, 6, recs.b));
    return heap.write(node.ndb());
}

size_t cellSize(uint16_t type) {
    switch (type) {
    case kPtI8: case kPtDouble: case kPtCurrency: case kPtAppTime: case kPtSysTime: return 8;
    case kPtI2: return 2;
    case kPtBoolean: return 1;
    default: return 4;  // 32-bit values and HNIDs of everything else
    }
}

struct TableRow {
    uint32_t rowId;
    Props cells;  // only the table's columns
};

// Table context (MS-PST 2.3.4). Columns are tags; rows give values for some of them.
uint64_t writeTc(std::vector<uint32_t> columns, const std::vector<TableRow>& rows, NodeBuilder& node) {
    constexpr uint32_t kRowId = 0x67F20003, kRowVer = 0x67F30003;
    const bool ansi = node.ndb().ansi();
    if (ansi) std::transform(columns.begin(), columns.end(), columns.begin(), narrowTag);
    std::erase_if(columns, [](uint32_t t) { return t == kRowId || t == kRowVer; });
    std::sort(columns.begin(), columns.end());
    columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
    struct Col { uint32_t tag; uint16_t ib; uint8_t cb; uint8_t bit; };
    std::vector<Col> cols = {{kRowId, 0, 4, 0}, {kRowVer, 4, 4, 1}};
    uint16_t ib = 8;
    uint8_t bit = 2;
    uint16_t ends[3];
    const size_t groups[4] = {8, 4, 2, 1};
    for (size_t g = 0; g < 4; ++g) {
        for (uint32_t tag : columns) {
            if (cellSize(static_cast<uint16_t>(tag)) != groups[g]) continue;
            cols.push_back({tag, ib, static_cast<uint8_t>(groups[g]), bit++});
            ib = static_cast<uint16_t>(ib + groups[g]);
        }
        if (g >= 1) ends[g - 1] = ib;
    }
    const size_t ceb = (cols.size() + 7) / 8;
    const size_t width = ib + ceb;

    Heap heap(0x7C);
    std::vector<uint8_t> matrix;
    matrix.reserve(rows.size() * width);
    const uint32_t blockData = node.ndb().maxData();
    const size_t perBlock = blockData / width;
    std::vector<std::pair<uint32_t, uint32_t>> index;  // row id, row index
    for (size_t r = 0; r < rows.size(); ++r) {
        std::vector<uint8_t> row(width, 0);
        putU32(row.data(), rows[r].rowId);
        row[ib] |= 0xC0;  // row id and version are present
        Props cells = rows[r].cells;
        if (ansi) narrowStrings(cells);
        for (const auto& [tag, v] : cells) {
            auto it = std::find_if(cols.begin(), cols.end(), [tag = tag](const Col& c) { return c.tag == tag; });
            if (it == cols.end()) continue;
            const uint16_t type = static_cast<uint16_t>(tag);
            if (cellSize(type) == 4 && !isInlineType(type)) {
                putU32(row.data() + it->ib, heap.place(v.bytes, node));
            } else {
                std::memcpy(row.data() + it->ib, v.bytes.data(), std::min<size_t>(it->cb, v.bytes.size()));
            }
            row[ib + it->bit / 8] |= uint8_t(0x80 >> (it->bit % 8));
        }
        matrix.insert(matrix.end(), row.begin(), row.end());
        // Rows never span blocks: pad each full block of the row matrix.
        if ((r + 1) % perBlock == 0 && r + 1 < rows.size()) matrix.resize(matrix.size() + blockData - perBlock * width, 0);
        index.emplace_back(rows[r].rowId, static_cast<uint32_t>(r));
    }
    std::sort(index.begin(), index.end());
    Bytes idx;
    // TCROWID: dwRowID, then dwRowIndex (16 bits in ANSI files).
    for (auto& [id, at] : index) {
        idx.u32(id);
        if (ansi) idx.u16(static_cast<uint16_t>(at));
        else idx.u32(at);
    }
    if (ansi && rows.size() > 0xFFFF) throw std::length_error("an ANSI table holds at most 65,535 rows");
    const uint32_t hidRowIndex = writeBth(heap, 4, ansi ? 2 : 4, idx.b);
    uint32_t hnidRows = 0;
    if (!matrix.empty()) hnidRows = heap.place(matrix, node);

    Bytes info;
    info.u8(0x7C).u8(static_cast<uint8_t>(cols.size()));
    info.u16(ends[0]).u16(ends[1]).u16(ends[2]).u16(static_cast<uint16_t>(width));
    info.u32(hidRowIndex).u32(hnidRows).u32(0);
    std::vector<Col> sorted = cols;
    std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.tag < b.tag; });
    for (auto& c : sorted) info.u32(c.tag).u16(c.ib).u8(c.cb).u8(c.bit);
    heap.setRoot(heap.alloc(info.b));
    return heap.write(node.ndb());
}

// Columns of the tables Outlook keeps (MS-PST 2.4.4.4 - 2.4.4.6, 2.4.5.1).
const std::vector<uint32_t> kHierarchyColumns = {0x3001001F, 0x36020003, 0x36030003, 0x360A000B, 0x3613001F};
const std::vector<uint32_t> kContentsColumns = {
    0x00170003, 0x001A001F, 0x00360003, 0x0037001F, 0x00390040, 0x0042001F, 0x0057000B, 0x0058000B,
    0x0070001F, 0x00710102, 0x0E03001F, 0x0E04001F, 0x0E060040, 0x0E070003, 0x0E080003, 0x0E170003,
    0x30080040};
const std::vector<uint32_t> kAttachmentColumns = {0x0E200003, 0x3704001F, 0x37050003, 0x3707001F, 0x370B0003};
const std::vector<uint32_t> kRecipientColumns = {0x0C150003, 0x0E0F000B, 0x0FF90102, 0x0FFE0003, 0x0FFF0102,
                                                 0x3001001F, 0x3002001F, 0x3003001F, 0x300B0102, 0x39000003,
                                                 0x39FF001F, 0x3A40000B};

// The values of a row's columns; an 8-bit string fills its column of strings (an ANSI
// table narrows the column to it).
Props pick(const Props& props, const std::vector<uint32_t>& columns) {
    Props out;
    for (const auto& [tag, v] : props)
        if (std::binary_search(columns.begin(), columns.end(), tag) ||
            (static_cast<uint16_t>(tag) == kPtString8 && std::binary_search(columns.begin(), columns.end(), tag + 1)))
            out.emplace_back(tag, v);
    return out;
}

void setProp(Props& props, uint32_t tag, PropValue v) {
    for (auto& [t, val] : props)
        if ((t >> 16) == (tag >> 16)) { t = tag; val = std::move(v); return; }
    props.emplace_back(tag, std::move(v));
}

const PropValue* findProp(const Props& props, uint16_t id) {
    for (const auto& [t, v] : props)
        if ((t >> 16) == id) return &v;
    return nullptr;
}

int32_t asInt(const PropValue* v, int32_t fallback) {
    if (!v || v->bytes.size() < 4) return fallback;
    return int32_t(uint32_t(v->bytes[0]) | uint32_t(v->bytes[1]) << 8 | uint32_t(v->bytes[2]) << 16 | uint32_t(v->bytes[3]) << 24);
}

void sortProps(Props& p) {
    std::sort(p.begin(), p.end(), [](auto& a, auto& b) { return (a.first >> 16) < (b.first >> 16); });
}

uint32_t crcOf(const std::vector<uint8_t>& v) { return crc(v.data(), v.size()); }

}  // namespace

class StoreWriter::Impl {
public:
    Impl(const std::string& path, const StoreOptions& opt) : ndb_(path, opt), opt_(opt) {
        folders_[kNidRootFolder] = {kNidRootFolder, kNidRootFolder, "", "", {}, {}, {}, {}, 0};
        ipm_ = newFolder(kNidRootFolder, "Top of Personal Folders", "", {});
        searchRoot_ = newFolder(kNidRootFolder, "Search Root", "", {});
        deleted_ = newFolder(ipm_, "Deleted Items", "IPF.Note", {});
        // Readers expect a map with entries and property sets: every Outlook store knows the
        // keywords and the Internet account name.
        names_.push_back(NamedProp{kPsPublicStrings, std::string("Keywords")});
        names_.push_back(NamedProp{Guid::parse("00062008-0000-0000-C000-000000000046"), uint32_t{0x8580}});
    }

    uint32_t newFolder(uint32_t parent, const std::string& name, const std::string& cls, const PropertyBag& props) {
        auto it = folders_.find(parent);
        if (it == folders_.end()) throw std::invalid_argument("no such parent folder");
        const uint32_t nid = makeNid(nextIndex_++, kNidFolder);
        it->second.children.push_back(nid);
        Folder f{nid, parent, name, cls, resolve(props), {}, {}, {}, 0};
        folders_[nid] = std::move(f);
        return nid;
    }

    uint32_t addMessage(uint32_t folder, const Message& m, bool associated) {
        auto it = folders_.find(folder);
        if (it == folders_.end()) throw std::invalid_argument("no such folder");
        const uint32_t nid = makeNid(nextIndex_++, associated ? kNidAssocMessage : kNidMessage);
        NodeBuilder node(ndb_);
        Props props;
        const size_t firstBlock = ndb_.blockCount();
        const uint64_t bidData = writeMessage(m, node, props);
        const uint64_t bidSub = node.finishSubnodes();
        written_[nid] = {folder, ndb_.nodeCount(), firstBlock, ndb_.blockCount(), associated};
        ndb_.addNode(nid, bidData, bidSub, folder);
        if (!(asInt(findProp(props, 0x0E07), 0) & 1)) ++it->second.unread;
        (associated ? it->second.assoc : it->second.contents).push_back({nid, pick(props, kContentsColumns)});
        return nid;
    }

    std::vector<RemovedBlock> removeMessage(uint32_t nid, Removal how) {
        auto w = written_.find(nid);
        if (w == written_.end()) throw std::invalid_argument("no such message, or removed already");
        Folder& f = folders_.at(w->second.folder);
        auto& rows = w->second.associated ? f.assoc : f.contents;
        std::erase_if(rows, [nid](const TableRow& r) { return r.rowId == nid; });
        std::vector<RemovedBlock> blocks;
        if (how != Removal::Orphaned) {
            ndb_.dropNode(w->second.node);
            blocks = ndb_.freeBlocks(w->second.firstBlock, w->second.endBlock);
            if (how == Removal::PartlyOverwritten && !blocks.empty()) ndb_.overwrite(blocks.front());
        }
        written_.erase(w);
        return blocks;
    }

    // A message's property context and subnodes. Returns its data BID; props gets the
    // properties as written.
    uint64_t writeMessage(const Message& m, NodeBuilder& node, Props& props) {
        props = resolve(m.props);
        if (!findProp(props, 0x001A)) setProp(props, 0x001A001F, PropValue::unicode("IPM.Note"));
        int32_t flags = asInt(findProp(props, 0x0E07), 1);  // MSGFLAG_READ unless said otherwise
        if (!m.attachments.empty()) flags |= 0x10;          // MSGFLAG_HASATTACH
        setProp(props, 0x0E070003, PropValue::i4(flags));
        setProp(props, 0x0E1B000B, PropValue::boolean(!m.attachments.empty()));

        std::vector<TableRow> recipients;
        for (size_t i = 0; i < m.recipients.size(); ++i) {
            Props r = resolve(m.recipients[i].props);
            if (!findProp(r, 0x0C15)) setProp(r, 0x0C150003, PropValue::i4(1));  // MAPI_TO
            if (!findProp(r, 0x0FFE)) setProp(r, 0x0FFE0003, PropValue::i4(6));  // MAPI_MAILUSER
            if (!findProp(r, 0x3900)) setProp(r, 0x39000003, PropValue::i4(0));  // DT_MAILUSER
            setProp(r, 0x30000003, PropValue::i4(static_cast<int32_t>(i)));        // PR_ROWID
            sortProps(r);
            recipients.push_back({static_cast<uint32_t>(i), std::move(r)});
        }
        std::vector<uint32_t> rcols = kRecipientColumns;
        for (auto& r : recipients)
            for (auto& [t, v] : r.cells) rcols.push_back(t);
        // One type per property ID: the first one seen.
        std::sort(rcols.begin(), rcols.end());
        rcols.erase(std::unique(rcols.begin(), rcols.end(), [](uint32_t a, uint32_t b) { return (a >> 16) == (b >> 16); }), rcols.end());
        // A table's own subnodes (a row matrix too large for its heap) belong
        // to the table's node, where a reader looks for them.
        NodeBuilder rnode(ndb_);
        const uint64_t rbid = writeTc(rcols, recipients, rnode);
        node.addSub({kNidRecipientTable, rbid, rnode.finishSubnodes()});

        uint64_t size = 0;
        if (!m.attachments.empty()) {
            std::vector<TableRow> rows;
            for (size_t i = 0; i < m.attachments.size(); ++i) {
                const Attachment& a = m.attachments[i];
                const uint32_t nid = node.nextSubNid(kNidAttachment);
                NodeBuilder anode(ndb_);
                Props ap = resolve(a.props);
                if (a.embedded) {
                    NodeBuilder enode(ndb_);
                    Props eprops;
                    const uint64_t ebid = writeMessage(*a.embedded, enode, eprops);
                    const uint32_t enid = anode.nextSubNid(kNidMessage);
                    anode.addSub({enid, ebid, enode.finishSubnodes()});
                    setProp(ap, 0x37050003, PropValue::i4(5));  // ATTACH_EMBEDDED_MSG
                    Bytes obj;
                    obj.u32(enid).u32(static_cast<uint32_t>(sizeOf(eprops)));
                    setProp(ap, 0x3701000D, PropValue::raw(kPtObject, obj.b));
                } else if (!a.oleObject.empty()) {
                    // PR_ATTACH_DATA_OBJ names a subnode holding the object's compound file.
                    const uint32_t onid = anode.largeValue(a.oleObject);
                    setProp(ap, 0x37050003, PropValue::i4(6));  // ATTACH_OLE
                    Bytes obj;
                    obj.u32(onid).u32(static_cast<uint32_t>(a.oleObject.size()));
                    setProp(ap, 0x3701000D, PropValue::raw(kPtObject, obj.b));
                } else {
                    if (!findProp(ap, 0x3705)) setProp(ap, 0x37050003, PropValue::i4(1));  // ATTACH_BY_VALUE
                    setProp(ap, 0x37010102, PropValue::binary(a.data));
                }
                if (!findProp(ap, 0x370B)) setProp(ap, 0x370B0003, PropValue::i4(-1));
                setProp(ap, 0x0E210003, PropValue::i4(static_cast<int32_t>(i)));  // PR_ATTACH_NUM
                setProp(ap, 0x0E200003, PropValue::i4(static_cast<int32_t>(sizeOf(ap))));
                sortProps(ap);
                const uint64_t abid = writePc(ap, anode);
                node.addSub({nid, abid, anode.finishSubnodes()});
                size += sizeOf(ap);
                rows.push_back({nid, pick(ap, kAttachmentColumns)});
            }
            NodeBuilder tnode(ndb_);
            const uint64_t tbid = writeTc(kAttachmentColumns, rows, tnode);
            node.addSub({kNidAttachmentTable, tbid, tnode.finishSubnodes()});
        }
        size += sizeOf(props);
        for (auto& r : recipients) size += sizeOf(r.cells);
        if (!findProp(props, 0x0E08)) setProp(props, 0x0E080003, PropValue::i4(static_cast<int32_t>(std::min<uint64_t>(size, 0x7FFFFFFF))));
        sortProps(props);
        return writePc(props, node);
    }

    void finish() {
        for (auto& [nid, f] : folders_) {
            Props p = f.props;
            if (!findProp(p, 0x3001)) setProp(p, 0x3001001F, PropValue::unicode(f.name));  // an 8-bit name given stays
            if (!f.cls.empty()) setProp(p, 0x3613001F, PropValue::unicode(f.cls));
            setProp(p, 0x36020003, PropValue::i4(static_cast<int32_t>(f.contents.size())));
            setProp(p, 0x36030003, PropValue::i4(static_cast<int32_t>(f.unread)));
            setProp(p, 0x36170003, PropValue::i4(static_cast<int32_t>(f.assoc.size())));
            setProp(p, 0x360A000B, PropValue::boolean(!f.children.empty()));
            sortProps(p);
            f.props = std::move(p);
        }
        for (auto& [nid, f] : folders_) {
            NodeBuilder pc(ndb_);
            const uint64_t bid = writePc(f.props, pc);
            ndb_.addNode(nid, bid, pc.finishSubnodes(), f.parent);
            std::vector<TableRow> rows;
            for (uint32_t c : f.children) rows.push_back({c, pick(folders_[c].props, kHierarchyColumns)});
            writeTable(makeNid(nid >> 5, kNidHierarchyTable), kHierarchyColumns, rows);
            writeTable(makeNid(nid >> 5, kNidContentsTable), kContentsColumns, f.contents);
            writeTable(makeNid(nid >> 5, kNidAssocContentsTable), kContentsColumns, f.assoc);
            f.contents.clear();
            f.assoc.clear();
        }
        writeMessageStore();
        writeNameToIdMap();
        ndb_.finish(nextIndex_);
    }

    void setStoreProps(const PropertyBag& p) {
        for (auto& [t, v] : resolve(p)) setProp(storeProps_, t, v);
    }

    uint32_t ipm_ = 0, searchRoot_ = 0, deleted_ = 0;
    Ndb ndb_;

private:
    struct Written {
        uint32_t folder;
        size_t node, firstBlock, endBlock;
        bool associated;
    };
    std::unordered_map<uint32_t, Written> written_;

    struct Folder {
        uint32_t nid, parent;
        std::string name, cls;
        Props props;
        std::vector<uint32_t> children;
        std::vector<TableRow> contents, assoc;
        uint32_t unread;
    };

    static uint64_t sizeOf(const Props& p) {
        uint64_t n = 0;
        for (auto& [t, v] : p) n += 8 + v.bytes.size();
        return n;
    }

    void writeTable(uint32_t nid, const std::vector<uint32_t>& cols, const std::vector<TableRow>& rows) {
        NodeBuilder node(ndb_);
        const uint64_t bid = writeTc(cols, rows, node);
        ndb_.addNode(nid, bid, node.finishSubnodes(), 0);
    }

    std::vector<uint8_t> entryId(uint32_t nid) const {
        Bytes b;
        b.u32(0).raw(opt_.recordKey.data(), 16).u32(nid);
        return b.b;
    }

    void writeMessageStore() {
        Props p = storeProps_;
        setProp(p, 0x0FF90102, PropValue::binary(std::vector<uint8_t>(opt_.recordKey.begin(), opt_.recordKey.end())));
        if (!findProp(p, 0x3001)) setProp(p, 0x3001001F, PropValue::unicode(opt_.displayName));
        setProp(p, 0x35E00102, PropValue::binary(entryId(ipm_)));
        setProp(p, 0x35E30102, PropValue::binary(entryId(deleted_)));
        setProp(p, 0x35E70102, PropValue::binary(entryId(searchRoot_)));
        setProp(p, 0x35DF0003, PropValue::i4(0x89));  // IPM subtree, wastebasket and finder are valid
        if (!opt_.password.empty()) {
            const std::vector<uint8_t> pw(opt_.password.begin(), opt_.password.end());
            setProp(p, 0x67FF0003, PropValue::i4(static_cast<int32_t>(crcOf(pw))));
        }
        sortProps(p);
        NodeBuilder node(ndb_);
        const uint64_t bid = writePc(p, node);
        ndb_.addNode(kNidMessageStore, bid, node.finishSubnodes(), 0);
    }

    // The name-to-ID map (MS-PST 2.4.7): GUID, entry and string streams and the hash buckets.
    void writeNameToIdMap() {
        constexpr uint32_t kBuckets = 251;
        Bytes guids, entries, strings;
        std::vector<Guid> guidList;
        std::vector<Bytes> buckets(kBuckets);
        for (size_t i = 0; i < names_.size(); ++i) {
            const NamedProp& n = names_[i];
            uint16_t wGuid;
            if (n.guid == kPsMapi) wGuid = 1;
            else if (n.guid == kPsPublicStrings) wGuid = 2;
            else {
                auto it = std::find(guidList.begin(), guidList.end(), n.guid);
                if (it == guidList.end()) {
                    guidList.push_back(n.guid);
                    guids.raw(n.guid.bytes.data(), 16);
                    it = guidList.end() - 1;
                }
                wGuid = static_cast<uint16_t>(3 + (it - guidList.begin()));
            }
            const bool isString = std::holds_alternative<std::string>(n.name);
            uint32_t id, hashId;
            if (isString) {
                const auto name = utf16le(std::get<std::string>(n.name));
                id = static_cast<uint32_t>(strings.size());
                strings.u32(static_cast<uint32_t>(name.size())).raw(name);
                while (strings.size() % 4) strings.u8(0);
                hashId = crcOf(name);
            } else {
                id = hashId = std::get<uint32_t>(n.name);
            }
            const uint16_t guidField = static_cast<uint16_t>(wGuid << 1 | (isString ? 1 : 0));
            entries.u32(id).u16(guidField).u16(static_cast<uint16_t>(i));
            buckets[(hashId ^ guidField) % kBuckets].u32(hashId).u16(guidField).u16(static_cast<uint16_t>(i));
        }
        Props p;
        p.emplace_back(0x00010003, PropValue::i4(kBuckets));
        p.emplace_back(0x00020102, PropValue::binary(guids.b));
        p.emplace_back(0x00030102, PropValue::binary(entries.b));
        p.emplace_back(0x00040102, PropValue::binary(strings.b));
        for (uint32_t k = 0; k < kBuckets; ++k)
            if (buckets[k].size()) p.emplace_back((0x1000 + k) << 16 | kPtBinary, PropValue::binary(buckets[k].b));
        NodeBuilder node(ndb_);
        const uint64_t bid = writePc(p, node);
        ndb_.addNode(kNidNameToIdMap, bid, node.finishSubnodes(), 0);
    }

    Props resolve(const PropertyBag& bag) {
        Props out;
        for (const auto& [key, v] : bag.items()) {
            uint16_t id;
            if (std::holds_alternative<uint16_t>(key)) {
                id = std::get<uint16_t>(key);
            } else {
                const NamedProp& n = std::get<NamedProp>(key);
                auto it = std::find(names_.begin(), names_.end(), n);
                if (it == names_.end()) {
                    if (names_.size() >= 0x7FFF) throw std::length_error("too many named properties");
                    names_.push_back(n);
                    it = names_.end() - 1;
                }
                id = static_cast<uint16_t>(0x8000 + (it - names_.begin()));
            }
            setProp(out, uint32_t(id) << 16 | v.type, v);
        }
        sortProps(out);
        return out;
    }

    StoreOptions opt_;
    std::map<uint32_t, Folder> folders_;
    std::vector<NamedProp> names_;
    Props storeProps_;
    uint32_t nextIndex_ = 0x401;
};

StoreWriter::StoreWriter(const std::string& path, const StoreOptions& options)
    : impl_(std::make_unique<Impl>(path, options)) {}
StoreWriter::~StoreWriter() = default;
StoreWriter::FolderId StoreWriter::ipmSubtree() const { return impl_->ipm_; }
StoreWriter::FolderId StoreWriter::deletedItems() const { return impl_->deleted_; }
StoreWriter::FolderId StoreWriter::addFolder(FolderId parent, const std::string& name, const std::string& cls,
                                             const PropertyBag& props) {
    return impl_->newFolder(parent, name, cls, props);
}
uint32_t StoreWriter::addMessage(FolderId folder, const Message& m, bool associated) {
    return impl_->addMessage(folder, m, associated);
}
std::vector<RemovedBlock> StoreWriter::removeMessage(uint32_t nid, Removal how) {
    return impl_->removeMessage(nid, how);
}
void StoreWriter::setStoreProperties(const PropertyBag& props) { impl_->setStoreProps(props); }
void StoreWriter::finish() { impl_->finish(); }
StoreWriter::Stats StoreWriter::stats() const { return {impl_->ndb_.blockCount(), impl_->ndb_.fileSize()}; }

namespace {
void addTree(StoreWriter& w, StoreWriter::FolderId id, const Folder& f) {
    for (const auto& m : f.messages) w.addMessage(id, m, false);
    for (const auto& m : f.associated) w.addMessage(id, m, true);
    for (const auto& sub : f.folders) addTree(w, w.addFolder(id, sub.displayName, sub.containerClass, sub.props), sub);
}
}  // namespace

StoreWriter::Stats writeStore(const std::string& path, const StoreDescription& d) {
    StoreWriter w(path, d.options);
    w.setStoreProperties(d.storeProps);
    addTree(w, w.ipmSubtree(), d.ipmSubtree);
    w.finish();
    return w.stats();
}

}  // namespace dravik::pst::writer
