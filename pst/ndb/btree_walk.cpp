// Whole-tree walks of the node and block B-trees for the ledger: every entry of the block
// B-tree and the place of every page of both trees.
#include "pst/ndb/ndb.h"
#include "pst/util/error.h"
#include "pst/util/reader.h"

namespace dravik::pst {

namespace {
constexpr uint8_t kPtypeBbt = 0x80;
constexpr uint8_t kPtypeNbt = 0x81;
constexpr int kMaxTreeDepth = 16;
}  // namespace

template <class OnPage>
void Ndb::visitTree(const Bref& ref, uint8_t ptype, int expectLevel, int depth, std::unordered_set<uint64_t>& visited,
                    OnPage& onPage) {
    if (depth > kMaxTreeDepth) throw Error::corrupt("B-tree deeper than allowed", Where::at(ref.ib));
    if (!visited.insert(ref.ib).second) throw Error::corrupt("B-tree page referenced twice", Where::at(ref.ib));
    Page p = readPage(ref, ptype, expectLevel);
    onPage(ref, p);
    if (p.cLevel == 0) return;
    const bool ansi = header_.format == FileFormat::Ansi;
    for (unsigned i = 0; i < p.cEnt; ++i) {
        LeReader r(p.entries.subspan(i * p.cbEnt, p.cbEnt), "BTENTRY");
        r.skip(ansi ? 4 : 8, "btkey");
        Bref b;
        b.bid = ansi ? r.u32("BREF.bid") : r.u64("BREF.bid");
        b.ib = ansi ? r.u32("BREF.ib") : r.u64("BREF.ib");
        visitTree(b, ptype, static_cast<int>(p.cLevel) - 1, depth + 1, visited, onPage);
    }
}

std::vector<BlockEntry> Ndb::allBlocks() {
    std::vector<BlockEntry> out;
    std::unordered_set<uint64_t> visited;
    auto onPage = [&](const Bref&, const Page& p) {
        if (p.cLevel != 0) return;
        for (unsigned i = 0; i < p.cEnt; ++i) out.push_back(parseBbtEntry(p.entries.subspan(i * p.cbEnt, p.cbEnt)));
    };
    visitTree(header_.bbt, kPtypeBbt, -1, 0, visited, onPage);
    return out;
}

std::vector<Bref> Ndb::treePages(bool blockTree) {
    std::vector<Bref> out;
    std::unordered_set<uint64_t> visited;
    auto onPage = [&](const Bref& ref, const Page&) { out.push_back(ref); };
    visitTree(blockTree ? header_.bbt : header_.nbt, blockTree ? kPtypeBbt : kPtypeNbt, -1, 0, visited, onPage);
    return out;
}

}  // namespace dravik::pst
