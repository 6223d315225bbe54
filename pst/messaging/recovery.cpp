#include "pst/messaging/recovery.h"

#include "pst/util/error.h"
#include "pst/util/reader.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace dravik::pst {

namespace {

constexpr uint16_t kPidMessageClass = 0x001A;
constexpr uint16_t kPidSubject = 0x0037;
constexpr uint16_t kPidDisplayName = 0x3001;
constexpr uint16_t kPidContentCount = 0x3602;
constexpr uint16_t kPidSubfolders = 0x360A;
constexpr uint16_t kPidAttachMethod = 0x3705;
// Folders rebuilt from free space are read through their property context alone.
constexpr uint32_t kRecoveredFolderNid = 0xFFFFFFE2u;
constexpr uint8_t kHeapSig = 0xEC;
constexpr uint8_t kClientPc = 0xBC;

bool isInternalBid(uint64_t bid) { return (bid & 0x2) != 0; }

// A subject as read: PT_UNICODE as UTF-8, PT_STRING8 as its bytes, without the two
// characters of a subject prefix marker.
std::string textOf(const PropertyContext& pc, uint16_t id) {
    auto p = pc.get(id);
    if (!p) return {};
    std::string s = p->utf8();
    if (s.size() >= 2 && s[0] == '\x01') s.erase(0, 2);
    return s;
}

class Recoverer {
public:
    Recoverer(Store& store, const Ledger& ledger) : store_(store), ndb_(store.ndb()), ledger_(ledger) {}

    std::vector<RecoveredItem> run() {
        orphans();
        if (!ledger_.freeBlocks.empty() || !ledger_.freeNodes.empty()) freeSpace();
        return std::move(items_);
    }

private:
    void orphans() {
        for (uint32_t nid : ledger_.orphanedNodes) {
            const uint8_t type = nid & 0x1F;
            const bool folder = type == NID_TYPE_NORMAL_FOLDER || type == NID_TYPE_SEARCH_FOLDER;
            const bool message = type == NID_TYPE_NORMAL_MESSAGE || type == 0x08;
            if (!folder && !message) continue;
            RecoveredItem item;
            item.kind = folder ? RecoveredItem::Kind::Folder : RecoveredItem::Kind::Message;
            item.source = RecoveredItem::Source::OrphanedNode;
            item.orphanedNid = nid;
            try {
                item.node = ndb_.node(nid);
            } catch (const Error&) {
                continue;
            }
            offsetsOf(item);
            if (folder) {
                try {
                    Folder f = store_.folder(nid);
                    item.name = textOf(f.properties(), kPidDisplayName);
                    checkProperties(f.properties(), item);
                } catch (const Error& e) {
                    partial(item, e.what());
                }
            } else {
                checkMessage(item);
            }
            items_.push_back(std::move(item));
        }
    }

    // Messages from the blocks in free space: property contexts that no subnode tree or
    // data tree of free space names (those are attachments, tables and values), each with
    // the subnode tree that names what it refers to.
    void freeSpace() {
        std::vector<BlockEntry> loose;
        for (const FreeBlock& b : ledger_.freeBlocks) loose.push_back({b.bid, b.ib, b.cb, b.cb});
        ndb_.addLooseBlocks(loose);
        std::unordered_map<uint64_t, uint64_t> offsetOf;
        for (const FreeBlock& b : ledger_.freeBlocks) offsetOf.emplace(b.bid & ~1ull, b.ib);

        std::unordered_set<uint64_t> named;  // BIDs some free block names
        fromFreeNodes(named);
        struct SubTree {
            uint64_t bid, ib;
            std::set<uint32_t> nids;
        };
        std::vector<SubTree> subTrees;
        std::vector<std::pair<uint64_t, uint64_t>> contexts;  // root BID, offset
        for (const FreeBlock& b : ledger_.freeBlocks) {
            BlockPtr data;
            try {
                data = ndb_.readBlock(b.bid);
            } catch (const Error&) {
                continue;  // found intact, yet not a block this reader can use (e.g. inflating fails)
            }
            if (!isInternalBid(b.bid)) {
                if (data->size() >= 4 && (*data)[2] == kHeapSig && (*data)[3] == kClientPc) contexts.push_back({b.bid, b.ib});
                continue;
            }
            const std::vector<uint64_t> children = childBlocks(*data);
            for (uint64_t c : children) named.insert(c & ~1ull);
            try {
                if (data->size() >= 1 && (*data)[0] == 0x02) {
                    SubTree t{b.bid, b.ib, {}};
                    for (const NodeEntry& e : ndb_.subnodes(b.bid)) t.nids.insert(static_cast<uint32_t>(e.nid));
                    subTrees.push_back(std::move(t));
                } else if (data->size() >= 1 && (*data)[0] == 0x01 && !children.empty()) {
                    // A data tree: a property context when its first block is one.
                    std::vector<uint64_t> leaves = ndb_.dataBlockIds(b.bid);
                    BlockPtr first = ndb_.readBlock(leaves.at(0));
                    if (first->size() >= 4 && (*first)[2] == kHeapSig && (*first)[3] == kClientPc)
                        contexts.push_back({b.bid, b.ib});
                }
            } catch (const std::exception&) {
                // A tree whose inner blocks are gone: what it names stays named.
            }
        }
        // Candidates: property contexts nobody names, holding a message class.
        struct Candidate {
            uint64_t bid, ib;
            std::set<uint32_t> refs;  // subnode NIDs its values refer to
        };
        std::vector<Candidate> candidates;
        std::vector<RecoveredItem> folders;
        for (auto [bid, ib] : contexts) {
            if (named.count(bid & ~1ull)) continue;
            try {
                PropertyContext pc(ndb_, NodeRef{kRecoveredNidBase, bid, 0, 0});
                if (!pc.find(kPidMessageClass)) {
                    // A folder's properties: its name and its counts.
                    // A folder, or the message store itself: a name or a folder's counts, and
                    // no attachment method (attachments have names too).
                    if (pc.find(kPidAttachMethod)) continue;
                    if (!pc.find(kPidDisplayName) && !pc.find(kPidContentCount) && !pc.find(kPidSubfolders)) continue;
                    RecoveredItem item;
                    item.kind = RecoveredItem::Kind::Folder;
                    item.source = RecoveredItem::Source::FreeSpace;
                    item.node = NodeRef{kRecoveredFolderNid, bid, 0, 0};
                    offsetsOf(item);
                    item.name = textOf(pc, kPidDisplayName);
                    checkProperties(pc, item);
                    folders.push_back(std::move(item));
                    continue;
                }
                Candidate c{bid, ib, {}};
                for (const PropEntry& e : pc.entries())
                    if (e.place == PropEntry::Place::Missing || e.place == PropEntry::Place::Subnode)
                        c.refs.insert(e.dwValueHnid);
                candidates.push_back(std::move(c));
            } catch (const Error&) {
            }
        }
        // Each candidate takes the nearest unclaimed subnode tree that names every subnode
        // it refers to and a recipient table; the closest pairs first.
        std::vector<uint64_t> subRoots;
        for (const SubTree& t : subTrees)
            if (!named.count(t.bid & ~1ull)) subRoots.push_back(t.bid);
        struct Pair {
            uint64_t distance;
            size_t candidate, tree;
        };
        std::vector<Pair> pairs;
        for (size_t c = 0; c < candidates.size(); ++c)
            for (size_t t = 0; t < subTrees.size(); ++t) {
                const SubTree& s = subTrees[t];
                if (named.count(s.bid & ~1ull) || !s.nids.count(NID_RECIPIENT_TABLE)) continue;
                if (!std::includes(s.nids.begin(), s.nids.end(), candidates[c].refs.begin(), candidates[c].refs.end())) continue;
                const uint64_t d = s.ib > candidates[c].ib ? s.ib - candidates[c].ib : candidates[c].ib - s.ib;
                pairs.push_back({d, c, t});
            }
        std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.distance < b.distance; });
        std::vector<uint64_t> subOf(candidates.size(), 0);
        std::vector<bool> treeTaken(subTrees.size(), false);
        for (const Pair& p : pairs) {
            if (subOf[p.candidate] || treeTaken[p.tree]) continue;
            subOf[p.candidate] = subTrees[p.tree].bid;
            treeTaken[p.tree] = true;
        }
        std::vector<size_t> order(candidates.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return candidates[a].ib < candidates[b].ib; });
        uint32_t nextNid = kRecoveredNidBase;
        for (size_t i : order) {
            RecoveredItem item;
            item.kind = RecoveredItem::Kind::Message;
            item.source = RecoveredItem::Source::FreeSpace;
            item.node = NodeRef{nextNid, candidates[i].bid, subOf[i], 0};
            nextNid -= 0x20;
            offsetsOf(item);
            if (!subOf[i]) partial(item, "no subnode tree in free space names its recipient table");
            checkMessage(item);
            items_.push_back(std::move(item));
        }
        for (RecoveredItem& f : folders) items_.push_back(std::move(f));
    }

    // Node entries of B-tree pages in free space: a message or folder the live node B-tree
    // lists no more, or lists with other data (an older version), whose property context
    // can still be read. Their blocks are claimed: the search by block leaves them alone.
    void fromFreeNodes(std::unordered_set<uint64_t>& claimed) {
        std::set<std::pair<uint64_t, uint64_t>> seen;
        uint32_t nextNid = kRecoveredNidBase - 0x100000;
        for (const Ledger::FreeNode& f : ledger_.freeNodes) {
            const NodeEntry& n = f.entry;
            const uint8_t type = n.nid & 0x1F;
            const bool folder = type == NID_TYPE_NORMAL_FOLDER || type == NID_TYPE_SEARCH_FOLDER;
            const bool message = type == NID_TYPE_NORMAL_MESSAGE || type == 0x08;
            if ((!folder && !message) || n.bidData == 0) continue;
            if (!seen.insert({n.nid, n.bidData}).second) continue;
            if (auto live = ndb_.findNode(n.nid); live && live->bidData == n.bidData) continue;
            RecoveredItem item;
            item.kind = folder ? RecoveredItem::Kind::Folder : RecoveredItem::Kind::Message;
            item.source = RecoveredItem::Source::FreeSpace;
            item.orphanedNid = static_cast<uint32_t>(n.nid);
            item.pageOffset = f.pageIb;
            item.node = n;
            // Opened under a NID of its own: the live tree may list the same NID.
            item.node.nid = folder ? kRecoveredFolderNid : (nextNid -= 0x20);
            try {
                PropertyContext pc(ndb_, item.node);
                if (folder) {
                    item.name = textOf(pc, kPidDisplayName);
                    checkProperties(pc, item);
                }
            } catch (const Error&) {
                continue;  // its property context is gone: nothing to show
            }
            offsetsOf(item);
            if (message) checkMessage(item);
            claimed.insert(n.bidData & ~1ull);
            if (n.bidSub) claimed.insert(n.bidSub & ~1ull);
            items_.push_back(std::move(item));
        }
    }

    // The BIDs an internal block names one level down (XBLOCK, XXBLOCK, SLBLOCK, SIBLOCK).
    std::vector<uint64_t> childBlocks(std::span<const uint8_t> data) const {
        std::vector<uint64_t> out;
        try {
            LeReader r(data, "internal block");
            const uint8_t btype = r.u8("btype");
            const uint8_t level = r.u8("cLevel");
            const uint16_t count = r.u16("cEnt");
            const bool ansi = !ndb_.unicode();
            auto id = [&](const char* f) -> uint64_t { return ansi ? r.u32(f) : r.u64(f); };
            if (btype == 0x01) {
                r.u32("lcbTotal");
                for (uint16_t i = 0; i < count; ++i) out.push_back(id("rgbid"));
            } else if (btype == 0x02) {
                if (!ansi) r.u32("dwPadding");
                for (uint16_t i = 0; i < count; ++i) {
                    id("nid");
                    out.push_back(id(level == 0 ? "bidData" : "bid"));
                    if (level == 0) out.push_back(id("bidSub"));
                }
            }
        } catch (const Error&) {
        }
        std::erase(out, 0);
        return out;
    }

    // The offsets of the blocks of an item's trees, as far as they can be found.
    void offsetsOf(RecoveredItem& item) {
        std::vector<uint64_t> ids;
        for (uint64_t root : {item.node.bidData, item.node.bidSub}) {
            try {
                treeBlockIds(ndb_, root, ids);
            } catch (const Error& e) {
                partial(item, e.what());
            }
        }
        for (uint64_t bid : ids) {
            try {
                item.blockOffsets.push_back(ndb_.block(bid).ib);
            } catch (const Error&) {
            }
        }
        std::sort(item.blockOffsets.begin(), item.blockOffsets.end());
        item.blockOffsets.erase(std::unique(item.blockOffsets.begin(), item.blockOffsets.end()), item.blockOffsets.end());
    }

    void partial(RecoveredItem& item, const std::string& what) {
        if (!item.missing.empty()) {
            if (item.missing.find(what) != std::string::npos) return;
            item.missing += "; ";
        }
        item.complete = false;
        item.missing += what;
    }

    void checkProperties(const PropertyContext& pc, RecoveredItem& item) {
        for (const PropEntry& e : pc.entries()) {
            if (e.place == PropEntry::Place::Missing) {
                partial(item, "the value of property " + hex(e.id) + " is gone");
                continue;
            }
            try {
                pc.read(e);
            } catch (const Error& err) {
                partial(item, err.what());
            }
        }
    }

    void checkMessage(RecoveredItem& item) {
        try {
            Message m(store_.sharedNdb(), item.node);
            item.name = textOf(m.properties(), kPidSubject);
            checkProperties(m.properties(), item);
            try {
                TableContext r = m.recipientTable();
                for (size_t i = 0; i < r.rowCount(); ++i) r.row(i);
            } catch (const Error& e) {
                partial(item, std::string("recipients: ") + e.what());
            }
            try {
                TableContext a = m.attachmentTable();
                for (size_t i = 0; i < a.rowCount(); ++i) {
                    try {
                        Attachment att = m.attachment(a.rowId(i));
                        checkProperties(att.properties(), item);
                    } catch (const Error& e) {
                        partial(item, std::string("attachment: ") + e.what());
                    }
                }
            } catch (const Error& e) {
                partial(item, std::string("attachments: ") + e.what());
            }
        } catch (const Error& e) {
            partial(item, e.what());
        }
    }

    Store& store_;
    Ndb& ndb_;
    const Ledger& ledger_;
    std::vector<RecoveredItem> items_;
};

}  // namespace

PropertyContext Recovery::properties(const RecoveredItem& item) const {
    return PropertyContext(store_->ndb(), item.node);
}

std::string RecoveredItem::origin() const {
    if (source == Source::OrphanedNode) return "orphaned node " + hex(orphanedNid);
    if (pageOffset)
        return "deleted: node " + hex(orphanedNid) + " of a B-tree page in free space at " + hex(pageOffset);
    return "deleted: blocks in free space";
}

std::string RecoveredItem::offsets() const {
    std::string s;
    for (uint64_t o : blockOffsets) s += (s.empty() ? "" : " ") + hex(o);
    return s;
}

std::string RecoveredItem::state() const { return complete ? "complete" : "partial: " + missing; }

Recovery recoverItems(std::shared_ptr<ByteSource> source, const Ledger& ledger, OpenOptions options) {
    Recovery r;
    r.store_ = Store::open(std::move(source), options);
    r.items = Recoverer(*r.store_, ledger).run();
    return r;
}

}  // namespace dravik::pst
