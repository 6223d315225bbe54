// Corrupters for tests: each damages a copy of a good store file in memory, in
// a way the file's own checks cannot see, so that what is tested is how the
// reader carries the damage up.
#pragma once

#include "pst/messaging/store.h"
#include "pst/ndb/crc.h"

#include <cstdint>
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

}  // namespace dravik::pst::corrupters
