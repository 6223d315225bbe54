#include "pst/messaging/ledger.h"

#include "pst/ndb/crc.h"
#include "pst/util/error.h"
#include "pst/util/reader.h"

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <unordered_set>

namespace dravik::pst {

namespace {

constexpr uint64_t kFirstAMap = 0x4400;
constexpr uint64_t kMapBits = 496 * 8;             // 64-byte units one allocation map covers
constexpr uint64_t kMapInterval = kMapBits * 64;   // bytes one allocation map covers
constexpr uint8_t kPtypeFMap = 0x82, kPtypePMap = 0x83, kPtypeAMap = 0x84, kPtypeFPMap = 0x85;
constexpr uint16_t kPidContentCount = 0x3602;
constexpr uint16_t kPidAssocContentCount = 0x3617;

uint8_t nidType(uint64_t nid) { return static_cast<uint8_t>(nid & 0x1F); }
uint64_t nidIndex(uint64_t nid) { return nid >> 5; }
bool isFolder(uint64_t nid) { return nidType(nid) == NID_TYPE_NORMAL_FOLDER || nidType(nid) == NID_TYPE_SEARCH_FOLDER; }
bool isMessage(uint64_t nid) { return nidType(nid) == NID_TYPE_NORMAL_MESSAGE || nidType(nid) == 0x08; }
// The nodes a folder owns besides itself, sharing its NID index: its hierarchy, contents and
// associated contents tables, search update queue and criteria, search contents table,
// contents table index and search table index.
bool isFolderCompanion(uint64_t nid) {
    switch (nidType(nid)) {
    case 0x0D: case 0x0E: case 0x0F: case 0x06: case 0x07: case 0x10: case 0x0A: case 0x13: return true;
    default: return false;
    }
}
// The table templates the store keeps at the top level of the node B-tree.
bool isTemplate(uint64_t nid) {
    switch (nid) {
    case 0x60D: case 0x60E: case 0x60F: case 0x610: case 0x671: case 0x692: return true;
    default: return false;
    }
}

uint16_t blockSignature(uint64_t ib, uint64_t bid) {
    ib ^= bid;
    return static_cast<uint16_t>((ib >> 16) ^ ib);
}

std::string plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

class LedgerBuilder {
public:
    explicit LedgerBuilder(Store& store) : store_(store), ndb_(store.ndb()) {}

    Ledger run() {
        readTrees();
        checkBlocks();
        walkHierarchy();
        classifyNodes();
        classifyBlocks();
        if (ndb_.header().format != FileFormat::Unicode4k) checkSpace();
        return std::move(l_);
    }

private:
    void readTrees() {
        try {
            nodes_ = ndb_.allNodes();
        } catch (const Error& e) {
            l_.errors.push_back(std::string("node B-tree: ") + e.what());
        }
        try {
            blocks_ = ndb_.allBlocks();
        } catch (const Error& e) {
            l_.errors.push_back(std::string("block B-tree: ") + e.what());
        }
        for (const NodeEntry& n : nodes_) nodeIndex_.emplace(static_cast<uint32_t>(n.nid), &n);
        for (const BlockEntry& b : blocks_) blockIndex_.emplace(b.bid & ~1ull, &b);
    }

    // Every block checked once, in the order of the file, through large reads: it lies
    // within the file, and its trailer's size and BID and (when the reader checks CRCs) its
    // CRC agree. What a block holds is read where a node uses it.
    void checkBlocks() {
        const ByteSource& src = ndb_.source();
        const bool ansi = ndb_.header().format == FileFormat::Ansi;
        const uint64_t align = ndb_.blockAlign(), trailer = ndb_.blockTrailerSize(), maxBlock = ndb_.maxBlockBytes();
        std::vector<const BlockEntry*> order;
        order.reserve(blocks_.size());
        for (const BlockEntry& b : blocks_) order.push_back(&b);
        std::sort(order.begin(), order.end(), [](const BlockEntry* a, const BlockEntry* b) { return a->ib < b->ib; });
        constexpr uint64_t kChunk = 1 << 20;
        std::vector<uint8_t> chunk;
        uint64_t chunkAt = 0;
        for (const BlockEntry* b : order) {
            const uint64_t total = (static_cast<uint64_t>(b->cb) + trailer + align - 1) / align * align;
            Where where = Where::at(b->ib);
            where.bid = b->bid;
            try {
                if (total > maxBlock) throw Error::corrupt("block size cb", where, maxBlock - trailer, b->cb);
                if (b->ib > src.size() || total > src.size() - b->ib)
                    throw Error(ErrorKind::Corrupt, "block lies beyond the end of the file", where,
                                "<= " + hex(src.size()), hex(b->ib + total));
                if (chunk.empty() || b->ib < chunkAt || b->ib + total > chunkAt + chunk.size()) {
                    chunkAt = b->ib;
                    chunk.resize(static_cast<size_t>(std::min<uint64_t>(src.size() - chunkAt, std::max(kChunk, total))));
                    src.read(chunkAt, chunk);
                }
                std::span<const uint8_t> raw(chunk.data() + (b->ib - chunkAt), total);
                LeReader t = LeReader(raw, "BLOCKTRAILER", b->ib).at(total - trailer);
                const uint16_t cb = t.u16("cb");
                t.u16("wSig");
                uint32_t crc;
                uint64_t tbid;
                if (ansi) {
                    tbid = t.u32("bid");
                    crc = t.u32("dwCRC");
                } else {
                    crc = t.u32("dwCRC");
                    tbid = t.u64("bid");
                }
                if (cb != b->cb) throw Error::corrupt("block trailer cb", where, b->cb, cb);
                if ((tbid & ~1ull) != (b->bid & ~1ull)) throw Error::corrupt("block trailer bid", where, b->bid, tbid);
                if (ndb_.checkCrc()) {
                    const uint32_t c = computeCrc(raw.first(cb));
                    if (c != crc) throw Error::corrupt("block dwCRC", where, crc, c);
                }
            } catch (const Error& e) {
                badBlocks_.emplace(b->bid & ~1ull, e.what());
            }
        }
    }

    void walkHierarchy() {
        std::deque<uint32_t> queue;
        if (nodeIndex_.count(NID_ROOT_FOLDER)) queue.push_back(NID_ROOT_FOLDER);
        while (!queue.empty()) {
            const uint32_t nid = queue.front();
            queue.pop_front();
            if (!reachedFolders_.insert(nid).second) continue;
            try {
                Folder f = store_.folder(nid);
                const bool search = nidType(nid) == NID_TYPE_SEARCH_FOLDER;
                TableContext h = f.hierarchyTable();
                for (size_t i = 0; i < h.rowCount(); ++i) {
                    try {
                        const uint32_t child = h.rowId(i);
                        if (nodeIndex_.count(child)) queue.push_back(child);
                    } catch (const Error&) {
                        // The walk reports a row it cannot read; the ledger counts nodes.
                    }
                }
                // A search folder's contents table lists messages of other folders.
                if (search) continue;
                FolderCounts counts;
                counts.nid = nid;
                if (auto p = f.properties().get(kPidContentCount); p && p->int64()) counts.declaredContents = *p->int64();
                if (auto p = f.properties().get(kPidAssocContentCount); p && p->int64())
                    counts.declaredAssociated = *p->int64();
                counts.contentsRows = listMessages(f.contentsTable());
                counts.associatedRows = listMessages(f.associatedContentsTable());
                ++l_.folders;
                if ((counts.declaredContents >= 0 && static_cast<uint64_t>(counts.declaredContents) != counts.contentsRows) ||
                    (counts.declaredAssociated >= 0 &&
                     static_cast<uint64_t>(counts.declaredAssociated) != counts.associatedRows))
                    l_.countMismatches.push_back(counts);
            } catch (const Error& e) {
                failedNodes_.emplace(nid, e.what());
            }
        }
        for (uint32_t mid : reachedMessages_) checkAttachments(mid);
    }

    uint64_t listMessages(const TableContext& t) {
        for (size_t i = 0; i < t.rowCount(); ++i) {
            try {
                const uint32_t mid = t.rowId(i);
                if (nodeIndex_.count(mid)) reachedMessages_.insert(mid);
            } catch (const Error&) {
            }
        }
        return t.rowCount();
    }

    // A message's attachments: counted; when a block of its trees is missing or damaged,
    // each opened and the bytes its data blocks hold compared with the size it declares
    // (with every block present and intact, they are all there).
    void checkAttachments(uint32_t mid) {
        try {
            Message m = store_.message(mid);
            TableContext t = m.attachmentTable();
            if (treeIntact(*nodeIndex_.at(mid))) {
                l_.attachments += t.rowCount();
                return;
            }
            for (size_t i = 0; i < t.rowCount(); ++i) {
                AttachmentBytes a;
                a.messageNid = mid;
                try {
                    a.attachmentNid = t.rowId(i);
                    Attachment att = m.attachment(a.attachmentNid);
                    ++l_.attachments;
                    a.declared = att.dataSize();
                    a.read = readableBytes(att.properties());
                } catch (const Error& e) {
                    a.error = e.what();
                }
                if (a.read < a.declared || !a.error.empty()) l_.shortAttachments.push_back(std::move(a));
            }
        } catch (const Error& e) {
            failedNodes_.emplace(mid, e.what());
        }
    }

    bool treeIntact(const NodeEntry& n) {
        try {
            std::vector<uint64_t> ids;
            treeBlockIds(ndb_, n.bidData, ids);
            treeBlockIds(ndb_, n.bidSub, ids);
            for (uint64_t bid : ids)
                if (badBlocks_.count(bid & ~1ull)) return false;
            return true;
        } catch (const Error&) {
            return false;
        }
    }

    // The bytes of an attachment's PR_ATTACH_DATA_BIN its blocks hold: in the heap, all of
    // them; in a subnode, the sizes of the data blocks that are present and intact.
    uint64_t readableBytes(const PropertyContext& pc) {
        const PropEntry* e = pc.find(0x3701);
        if (!e || e->place == PropEntry::Place::Missing) return 0;
        if (e->place != PropEntry::Place::Subnode) return e->size;
        const NodeRef sub = ndb_.subnode(pc.node(), e->dwValueHnid);
        uint64_t n = 0;
        for (uint64_t bid : ndb_.dataBlockIds(sub.bidData)) {
            if (badBlocks_.count(bid & ~1ull)) continue;
            n += ndb_.block(bid).cbInflated;
        }
        return n;
    }

    bool reached(uint32_t nid) const {
        const uint8_t type = nidType(nid);
        if (isFolder(nid)) return reachedFolders_.count(nid) != 0;
        if (isMessage(nid)) return reachedMessages_.count(nid) != 0;
        if (isTemplate(nid)) return true;
        if (isFolderCompanion(nid)) {
            for (uint8_t t : {NID_TYPE_NORMAL_FOLDER, NID_TYPE_SEARCH_FOLDER})
                if (reachedFolders_.count(static_cast<uint32_t>((nidIndex(nid) << 5) | t))) return true;
            return false;
        }
        // The store's own nodes: internal nodes, the receive folder and outgoing queue
        // tables, LTP nodes, and nodes of types no folder or message owns (Outlook keeps
        // a few of types 0x16 to 0x18 at the top level). Attachments and heap nodes are
        // subnodes: at the top level nothing reaches them.
        return type != NID_TYPE_ATTACHMENT && type != NID_TYPE_HID;
    }

    void classifyNodes() {
        l_.nodes = nodes_.size();
        for (const NodeEntry& n : nodes_) {
            const uint32_t nid = static_cast<uint32_t>(n.nid);
            std::string error;
            std::vector<uint64_t> ids;
            try {
                treeBlockIds(ndb_, n.bidData, ids);
                treeBlockIds(ndb_, n.bidSub, ids);
            } catch (const Error& e) {
                error = e.what();
            }
            if (error.empty()) {
                for (uint64_t bid : ids)
                    if (auto it = badBlocks_.find(bid & ~1ull); it != badBlocks_.end()) {
                        error = "block " + hex(bid) + ": " + it->second;
                        break;
                    }
            }
            if (error.empty())
                if (auto it = failedNodes_.find(nid); it != failedNodes_.end()) error = it->second;
            const bool isReached = reached(nid);
            auto& owners = isReached ? reachedBlocks_ : orphanBlocks_;
            for (uint64_t bid : ids) owners.insert(bid & ~1ull);
            if (!error.empty()) {
                ++l_.nodesUnreadable;
                l_.unreadableNodes.push_back({nid, std::move(error)});
            } else if (isReached) {
                ++l_.nodesReached;
            } else {
                ++l_.nodesOrphaned;
                l_.orphanedNodes.push_back(nid);
            }
        }
        std::sort(l_.orphanedNodes.begin(), l_.orphanedNodes.end());
        std::sort(l_.unreadableNodes.begin(), l_.unreadableNodes.end(),
                  [](const LedgerProblem& a, const LedgerProblem& b) { return a.id < b.id; });
    }

    void classifyBlocks() {
        l_.blocks = blocks_.size();
        for (const BlockEntry& b : blocks_) {
            const uint64_t key = b.bid & ~1ull;
            if (auto it = badBlocks_.find(key); it != badBlocks_.end()) {
                ++l_.blocksUnreadable;
                l_.unreadableBlocks.push_back({b.bid, it->second});
            } else if (reachedBlocks_.count(key)) {
                ++l_.blocksReached;
            } else {
                ++l_.blocksOrphaned;
                l_.orphanedBlocks.push_back(b.bid);
            }
        }
        std::sort(l_.orphanedBlocks.begin(), l_.orphanedBlocks.end());
        std::sort(l_.unreadableBlocks.begin(), l_.unreadableBlocks.end(),
                  [](const LedgerProblem& a, const LedgerProblem& b) { return a.id < b.id; });
    }

    // The allocation maps against the blocks and pages the B-trees use.
    void checkSpace() {
        const ByteSource& src = ndb_.source();
        const uint64_t eof = std::min(ndb_.header().ibFileEof, src.size());
        if (eof <= kFirstAMap || !l_.errors.empty()) return;
        const uint64_t units = (eof - kFirstAMap) / 64;
        std::vector<bool> used(units, false);
        auto mark = [&](uint64_t ib, uint64_t size) {
            if (ib < kFirstAMap) return;
            for (uint64_t u = (ib - kFirstAMap) / 64; u < units && u < (ib - kFirstAMap + size + 63) / 64; ++u)
                used[u] = true;
        };
        const uint64_t align = ndb_.blockAlign(), trailer = ndb_.blockTrailerSize(), page = ndb_.pageSize();
        for (const BlockEntry& b : blocks_) mark(b.ib, (b.cb + trailer + align - 1) / align * align);
        try {
            for (bool bbt : {false, true})
                for (const Bref& r : ndb_.treePages(bbt)) mark(r.ib, page);
        } catch (const Error& e) {
            l_.errors.push_back(std::string("B-tree pages: ") + e.what());
            return;
        }
        const bool ansi = ndb_.header().format == FileFormat::Ansi;
        const size_t trailerAt = ansi ? 500 : 496;
        const uint64_t maps = (eof - kFirstAMap + kMapInterval - 1) / kMapInterval;
        std::vector<uint8_t> allocated;  // one byte per unit: 1 allocated
        allocated.reserve(units);
        std::vector<uint8_t> buf(page);
        for (uint64_t i = 0; i < maps; ++i) {
            const uint64_t start = kFirstAMap + i * kMapInterval;
            if (start + page > src.size()) {
                l_.errors.push_back("allocation map at " + hex(start) + " lies beyond the end of the file");
                return;
            }
            src.read(start, buf);
            if (buf[trailerAt] != kPtypeAMap || buf[trailerAt + 1] != kPtypeAMap) {
                l_.errors.push_back("allocation map at " + hex(start) + ": page type " + hex(buf[trailerAt]) +
                                    ", expected " + hex(kPtypeAMap));
                return;
            }
            const size_t bits = ansi ? 4 : 0;
            for (uint64_t u = 0; u < kMapBits && allocated.size() < units; ++u)
                allocated.push_back((buf[bits + u / 8] >> (7 - u % 8)) & 1);
            // The map pages that follow an allocation map (PMap, FMap, FPMap).
            mark(start, page);
            std::vector<uint8_t> next(page);
            for (uint64_t k = 1; k <= 3 && start + (k + 1) * page <= src.size(); ++k) {
                src.read(start + k * page, next);
                const uint8_t pt = next[trailerAt];
                if (pt != next[trailerAt + 1] || (pt != kPtypePMap && pt != kPtypeFMap && pt != kPtypeFPMap)) break;
                mark(start + k * page, page);
            }
        }
        l_.spaceChecked = true;
        uint64_t runStart = 0;
        bool inRun = false;
        for (uint64_t u = 0; u <= units; ++u) {
            const bool isFree = u < units && !allocated[u];
            if (u < units && allocated[u] && !used[u]) l_.allocatedUnusedBytes += 64;
            if (isFree) l_.freeBytes += 64;
            if (isFree && !inRun) {
                runStart = u;
                inRun = true;
            } else if (!isFree && inRun) {
                scanFree(kFirstAMap + runStart * 64, kFirstAMap + u * 64);
                inRun = false;
            }
        }
    }

    // Blocks in free space [from, to): at every aligned end, a trailer whose size, signature
    // and CRC hold over the bytes before it.
    void scanFree(uint64_t from, uint64_t to) {
        const ByteSource& src = ndb_.source();
        const bool ansi = ndb_.header().format == FileFormat::Ansi;
        const uint64_t align = ndb_.blockAlign(), trailer = ndb_.blockTrailerSize();
        const uint64_t maxBlock = ndb_.maxBlockBytes();
        constexpr uint64_t kWindow = 1 << 20;
        std::vector<uint8_t> win;
        uint64_t winAt = 0;
        auto bytes = [&](uint64_t at, uint64_t n) -> const uint8_t* {
            if (win.empty() || at < winAt || at + n > winAt + win.size()) {
                winAt = at > from + maxBlock ? at - maxBlock : from;
                win.resize(static_cast<size_t>(std::min(to - winAt, kWindow + maxBlock)));
                src.read(winAt, win);
            }
            return win.data() + (at - winAt);
        };
        const uint64_t page = ndb_.pageSize();
        for (uint64_t at = (from + page - 1) / page * page; at + page <= to; at += page) freePage(bytes(at, page), at);
        for (uint64_t end = from + align; end <= to; end += align) {
            LeReader t(std::span<const uint8_t>(bytes(end - trailer, trailer), trailer), "BLOCKTRAILER", end - trailer);
            const uint16_t cb = t.u16("cb");
            const uint16_t sig = t.u16("wSig");
            uint32_t crc;
            uint64_t bid;
            if (ansi) {
                bid = t.u32("bid");
                crc = t.u32("dwCRC");
            } else {
                crc = t.u32("dwCRC");
                bid = t.u64("bid");
            }
            if (cb == 0 || bid == 0) continue;
            const uint64_t total = (cb + trailer + align - 1) / align * align;
            if (total > maxBlock || total > end - from) continue;
            const uint64_t ib = end - total;
            if (sig != blockSignature(ib, bid)) continue;
            if (computeCrc(std::span<const uint8_t>(bytes(ib, cb), cb)) != crc) continue;
            if (auto it = blockIndex_.find(bid & ~1ull); it != blockIndex_.end() && it->second->ib == ib) continue;
            l_.freeBlocks.push_back({ib, bid, cb});
        }
    }

    // A leaf page of the node B-tree in free space: its entries, when its trailer and CRC hold.
    void freePage(const uint8_t* p, uint64_t ib) {
        const bool ansi = ndb_.header().format == FileFormat::Ansi;
        const size_t page = ndb_.pageSize();
        const size_t trailerAt = ansi ? 500 : 496;
        std::span<const uint8_t> bytes(p, page);
        LeReader t(bytes.subspan(trailerAt), "PAGETRAILER", ib + trailerAt);
        const uint8_t ptype = t.u8("ptype");
        if (ptype != 0x81 || t.u8("ptypeRepeat") != 0x81) return;
        t.u16("wSig");
        uint32_t crc;
        if (ansi) {
            t.u32("bid");
            crc = t.u32("dwCRC");
        } else {
            crc = t.u32("dwCRC");
        }
        if (computeCrc(bytes.first(trailerAt)) != crc) return;
        LeReader m(bytes.subspan(ansi ? 496 : 488), "BTPAGE", ib);
        const unsigned cEnt = m.u8("cEnt");
        m.u8("cEntMax");
        const unsigned cbEnt = m.u8("cbEnt");
        const unsigned cLevel = m.u8("cLevel");
        const size_t entrySize = ansi ? 16 : 32;
        if (cLevel != 0 || cbEnt < entrySize || cEnt * cbEnt > (ansi ? 496u : 488u)) return;
        for (unsigned i = 0; i < cEnt; ++i) {
            LeReader e(bytes.subspan(i * cbEnt, cbEnt), "NBTENTRY", ib + i * cbEnt);
            NodeEntry n;
            n.nid = ansi ? e.u32("nid") : e.u64("nid");
            n.bidData = ansi ? e.u32("bidData") : e.u64("bidData");
            n.bidSub = ansi ? e.u32("bidSub") : e.u64("bidSub");
            n.nidParent = e.u32("nidParent");
            l_.freeNodes.push_back({ib, n});
        }
    }

    Store& store_;
    Ndb& ndb_;
    Ledger l_;
    std::vector<NodeEntry> nodes_;
    std::vector<BlockEntry> blocks_;
    std::unordered_map<uint32_t, const NodeEntry*> nodeIndex_;
    std::unordered_map<uint64_t, const BlockEntry*> blockIndex_;
    std::unordered_map<uint64_t, std::string> badBlocks_;
    std::unordered_map<uint32_t, std::string> failedNodes_;
    std::unordered_set<uint32_t> reachedFolders_, reachedMessages_;
    std::unordered_set<uint64_t> reachedBlocks_, orphanBlocks_;
};

}  // namespace

Ledger buildLedger(Store& store) { return LedgerBuilder(store).run(); }

void treeBlockIds(Ndb& ndb, uint64_t bid, std::vector<uint64_t>& out, int depth) {
    if (bid == 0) return;
    if (depth > 8) throw Error::corrupt("block tree nested too deeply", Where::block(bid));
    // A damaged tree may name the same inner block again and again: no tree of a store
    // holds this many blocks.
    if (out.size() >= (1u << 20)) throw Error::corrupt("block tree names too many blocks", Where::block(bid));
    out.push_back(bid);
    if ((bid & 0x2) == 0) {
        ndb.block(bid);  // a data block: present in the block B-tree
        return;
    }
    BlockPtr b = ndb.readBlock(bid);
    LeReader r(*b, "internal block", 0);
    const uint8_t btype = r.u8("btype");
    const uint8_t level = r.u8("cLevel");
    const uint16_t count = r.u16("cEnt");
    const bool ansi = !ndb.unicode();
    auto id = [&](const char* field) -> uint64_t { return ansi ? r.u32(field) : r.u64(field); };
    if (btype == 0x01) {  // XBLOCK, XXBLOCK
        r.u32("lcbTotal");
        for (uint16_t i = 0; i < count; ++i) treeBlockIds(ndb, id("rgbid"), out, depth + 1);
    } else if (btype == 0x02) {  // SLBLOCK, SIBLOCK
        if (!ansi) r.u32("dwPadding");
        for (uint16_t i = 0; i < count; ++i) {
            id("nid");
            if (level == 0) {
                const uint64_t data = id("bidData");
                const uint64_t sub = id("bidSub");
                treeBlockIds(ndb, data, out, depth + 1);
                treeBlockIds(ndb, sub, out, depth + 1);
            } else {
                treeBlockIds(ndb, id("bid"), out, depth + 1);
            }
        }
    } else {
        throw Error::corrupt("internal block btype", Where::block(bid), 0x01, btype);
    }
}

std::string Ledger::summary() const {
    std::string s = "nodes " + std::to_string(nodes) + ": " + std::to_string(nodesReached) + " reached, " +
                    std::to_string(nodesOrphaned) + " orphaned, " + std::to_string(nodesUnreadable) + " unreadable; " +
                    "blocks " + std::to_string(blocks) + ": " + std::to_string(blocksReached) + " reached, " +
                    std::to_string(blocksOrphaned) + " orphaned, " + std::to_string(blocksUnreadable) + " unreadable; ";
    if (spaceChecked)
        s += std::to_string(allocatedUnusedBytes) + " bytes allocated and unused, " + std::to_string(freeBytes) +
              " bytes free holding " + plural(freeBlocks.size(), "intact block", "intact blocks") + " and " +
             plural(freeNodes.size(), "node entry", "node entries") + "; ";
    else
        s += "space not checked; ";
    s += plural(folders, "folder", "folders") + ", " + std::to_string(countMismatches.size()) + " with counts unlike their rows; " +
         plural(attachments, "attachment", "attachments") + ", " + std::to_string(shortAttachments.size()) + " short";
    if (!errors.empty()) s += "; " + plural(errors.size(), "error", "errors") + ": " + errors.front();
    if (clean()) s += "; nothing orphaned, deleted or lost";
    return s;
}

}  // namespace dravik::pst
