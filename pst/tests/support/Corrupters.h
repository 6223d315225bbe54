// Corrupters for tests: each damages a copy of a good store file in memory, in
// a way the file's own checks cannot see, so that what is tested is how the
// reader carries the damage up.
#pragma once

#include "pst/messaging/store.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/encoding.h"

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace dravik::pst::corrupters {

// The XBLOCK at bid (a large value's data tree, MS-PST 2.2.2.8.3.2.1) names a
// first data block that the block B-tree does not hold; its CRC is made right
// again, so only the missing block tells. file: the store's bytes.
inline void dropFirstDataBlock(std::vector<uint8_t>& file, Ndb& ndb, uint64_t bid) {
    if (!(bid & 0x2)) throw std::invalid_argument("not an XBLOCK: " + std::to_string(bid));
    const BlockEntry be = ndb.block(bid);
    const bool ansi = !ndb.unicode();
    const size_t trailer = ansi ? 12 : 16;
    const uint64_t total = (be.cb + trailer + 63) / 64 * 64;  // 512-byte pages: 64-byte blocks
    if (be.ib + total > file.size()) throw std::out_of_range("block beyond the file");
    const uint64_t absent = 0x7FFFFFF0;  // a data block's BID that no store of a test reaches
    uint8_t* rgbid = file.data() + be.ib + 8;
    for (size_t i = 0; i < (ansi ? 4u : 8u); ++i) rgbid[i] = static_cast<uint8_t>((absent >> (8 * i)) & 0xFF);
    const uint32_t crc = computeCrc(std::span<const uint8_t>(file.data() + be.ib, be.cb));
    uint8_t* dwCRC = file.data() + be.ib + total - trailer + (ansi ? 8 : 4);
    for (size_t i = 0; i < 4; ++i) dwCRC[i] = static_cast<uint8_t>(crc >> (8 * i));
}

// The data tree of a property of a property context, stored in a subnode.
inline uint64_t valueDataTree(Ndb& ndb, const PropertyContext& pc, uint16_t id) {
    const PropEntry* e = pc.find(id);
    if (!e || e->place != PropEntry::Place::Subnode) throw std::invalid_argument("no subnode value " + std::to_string(id));
    return ndb.subnode(pc.node(), e->dwValueHnid).bidData;
}

// Little-endian fields of a copy being damaged.
inline uint64_t getLe(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = (v << 8) | p[i];
    return v;
}
inline void putLe(uint8_t* p, uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Stores of 512-byte pages (ANSI and Unicode) only: where the B-tree pages' and the
// blocks' trailers and CRCs lie (MS-PST 2.2.2.7, 2.2.2.8).
struct Layout {
    bool ansi;
    size_t pageEntries() const { return ansi ? 496 : 488; }    // rgentries, then cEnt, cEntMax, cbEnt, cLevel
    size_t pageTrailer() const { return ansi ? 500 : 496; }    // ptype, ptypeRepeat, wSig, ...
    size_t pageCrc() const { return ansi ? 508 : 500; }
    size_t blockTrailer() const { return ansi ? 12 : 16; }
    size_t blockCrc() const { return ansi ? 8 : 4; }           // in the trailer
    size_t nid() const { return ansi ? 4 : 8; }                 // a NID or BID field in a B-tree entry
};
inline Layout layoutOf(Ndb& ndb) {
    if (ndb.header().format == FileFormat::Unicode4k) throw std::invalid_argument("4 KiB pages are not handled");
    return Layout{!ndb.unicode()};
}

// Makes the CRC of the block at bid right again for the bytes file now holds.
inline void resignBlock(std::vector<uint8_t>& file, Ndb& ndb, uint64_t bid) {
    const Layout l = layoutOf(ndb);
    const BlockEntry be = ndb.block(bid);
    const uint64_t total = (be.cb + l.blockTrailer() + 63) / 64 * 64;
    if (be.ib + total > file.size()) throw std::out_of_range("block beyond the file");
    const uint32_t crc = computeCrc(std::span<const uint8_t>(file.data() + be.ib, be.cb));
    putLe(file.data() + be.ib + total - l.blockTrailer() + l.blockCrc(), crc, 4);
}

// Changes the payload of the block at bid as the reader sees it (decoded, for a data
// block), encodes it again and re-signs its CRC.
inline void rewriteBlock(std::vector<uint8_t>& file, Ndb& ndb, uint64_t bid,
                         const std::function<void(std::span<uint8_t>)>& change) {
    const BlockEntry be = ndb.block(bid);
    if (be.cb != be.cbInflated) throw std::invalid_argument("compressed block");
    if (be.ib + be.cb > file.size()) throw std::out_of_range("block beyond the file");
    std::span<uint8_t> payload(file.data() + be.ib, be.cb);
    const bool data = !(bid & 0x2);
    if (data) decodeBlock(ndb.header().bCryptMethod, payload, bid);
    change(payload);
    if (data) encodeBlock(ndb.header().bCryptMethod, payload, bid);
    resignBlock(file, ndb, bid);
}

// Every leaf page of a B-tree (ptype 0x81: nodes, 0x80: blocks) whose entries hold key:
// change(entry) for that entry, then the page's CRC is made right. Pages no longer in
// use may hold an old copy of the entry; they are changed too, to no effect. Returns
// the number of entries changed.
inline int changeLeafEntry(std::vector<uint8_t>& file, Ndb& ndb, uint8_t ptype, uint64_t key,
                           const std::function<void(uint8_t*)>& change) {
    const Layout l = layoutOf(ndb);
    int changed = 0;
    for (size_t at = 0; at + 512 <= file.size(); at += 512) {
        uint8_t* page = file.data() + at;
        if (page[l.pageTrailer()] != ptype || page[l.pageTrailer() + 1] != ptype) continue;
        const unsigned cEnt = page[l.pageEntries()], cbEnt = page[l.pageEntries() + 2];
        if (page[l.pageEntries() + 3] != 0 || cbEnt == 0 || cEnt * cbEnt > l.pageEntries()) continue;
        for (unsigned i = 0; i < cEnt; ++i) {
            uint8_t* e = page + static_cast<size_t>(i) * cbEnt;
            if ((getLe(e, l.nid()) & (ptype == 0x81 ? 0xFFFFFFFFull : ~1ull)) != key) continue;
            change(e);
            ++changed;
        }
        putLe(page + l.pageCrc(), computeCrc(std::span<const uint8_t>(page, l.pageTrailer())), 4);
    }
    return changed;
}

// Changes the entry for subnode nid of node (whose subnodes are one SLBLOCK) with
// change(SLENTRY, width of its fields), re-signing the block; returns how many entries
// were changed.
inline int changeSubnodeEntry(std::vector<uint8_t>& file, Ndb& ndb, const NodeRef& node, uint32_t nid,
                              const std::function<void(uint8_t*, size_t)>& change) {
    const size_t w = ndb.unicode() ? 8 : 4;
    int changed = 0;
    rewriteBlock(file, ndb, node.bidSub, [&](std::span<uint8_t> b) {
        if (b[1] != 0) throw std::invalid_argument("a subnode tree of two levels");
        const size_t cEnt = getLe(b.data() + 2, 2);
        for (size_t i = 0; i < cEnt; ++i) {
            uint8_t* e = b.data() + w + i * 3 * w;  // after the SLBLOCK's header, SLENTRYs of three fields
            if (getLe(e, 4) != nid) continue;
            change(e, w);
            ++changed;
        }
    });
    return changed;
}

// Changes the NID of the entry for subnode `from` of node; returns how many entries were changed.
inline int changeSubnodeNid(std::vector<uint8_t>& file, Ndb& ndb, const NodeRef& node, uint32_t from, uint32_t to) {
    return changeSubnodeEntry(file, ndb, node, from, [&](uint8_t* e, size_t) { putLe(e, to, 4); });
}

// The bounds [first, second) of a heap item of a heap's first block (decoded).
inline std::pair<size_t, size_t> heapItem(std::span<const uint8_t> block, uint32_t hid) {
    if ((hid & 0x1F) != 0 || (hid >> 16) != 0) throw std::invalid_argument("not a HID of the first block");
    const size_t ibHnpm = getLe(block.data(), 2);
    const size_t index = (hid >> 5) & 0x7FF;
    if (ibHnpm + 4 + 2 * (index + 1) > block.size() || index == 0 || index > getLe(block.data() + ibHnpm, 2))
        throw std::out_of_range("no such heap item");
    const uint8_t* rgibAlloc = block.data() + ibHnpm + 4;
    return {getLe(rgibAlloc + 2 * (index - 1), 2), getLe(rgibAlloc + 2 * index, 2)};
}

// Makes every CRC of a store of 512-byte pages right for the bytes it now holds: the
// header's, every B-tree page's (found by its trailer at each page boundary) and every
// block's that a block B-tree leaf page names. So damage, a fuzzer's mutations too, reaches
// the checks behind the CRCs. Does nothing to a file that is not such a store.
inline void resignAll(std::vector<uint8_t>& file) {
    if (file.size() < 564 || getLe(file.data(), 4) != 0x4E444221) return;
    const unsigned wVer = static_cast<unsigned>(getLe(file.data() + 10, 2));
    const bool ansi = wVer == 14 || wVer == 15;
    if (!ansi && !(wVer >= 23 && wVer < 36)) return;
    const Layout l{ansi};
    for (size_t at = 0; at + 512 <= file.size(); at += 512) {
        uint8_t* page = file.data() + at;
        const uint8_t ptype = page[l.pageTrailer()];
        if ((ptype != 0x80 && ptype != 0x81) || page[l.pageTrailer() + 1] != ptype) continue;
        const unsigned cEnt = page[l.pageEntries()], cbEnt = page[l.pageEntries() + 2];
        if (ptype == 0x80 && page[l.pageEntries() + 3] == 0 && cbEnt >= (ansi ? 12u : 24u) &&
            static_cast<size_t>(cEnt) * cbEnt <= l.pageEntries()) {
            for (unsigned i = 0; i < cEnt; ++i) {
                const uint8_t* e = page + static_cast<size_t>(i) * cbEnt;
                const uint64_t ib = getLe(e + l.nid(), l.nid());
                const uint64_t cb = getLe(e + 2 * l.nid(), 2);
                const uint64_t total = (cb + l.blockTrailer() + 63) / 64 * 64;
                if (ib > file.size() || total > file.size() - ib || total > 8192) continue;
                const uint32_t crc = computeCrc(std::span<const uint8_t>(file.data() + ib, cb));
                putLe(file.data() + ib + total - l.blockTrailer() + l.blockCrc(), crc, 4);
            }
        }
        putLe(page + l.pageCrc(), computeCrc(std::span<const uint8_t>(page, l.pageTrailer())), 4);
    }
    putLe(file.data() + 4, computeCrc(std::span<const uint8_t>(file.data() + 8, 471)), 4);
    if (!ansi) putLe(file.data() + 524, computeCrc(std::span<const uint8_t>(file.data() + 8, 516)), 4);
}

}  // namespace dravik::pst::corrupters
