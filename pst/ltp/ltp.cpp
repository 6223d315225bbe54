#include "pst/ltp/ltp.h"

#include "pst/util/error.h"
#include "pst/util/reader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

namespace dravik::pst {

namespace {
constexpr uint8_t kHeapSig = 0xEC;
constexpr uint8_t kBthSig = 0xB5;
constexpr uint8_t kPcSig = 0xBC;
constexpr uint8_t kTcSig = 0x7C;
constexpr uint32_t kTagLtpRowId = 0x67F20003;

bool isHid(uint32_t hnid) { return (hnid & 0x1F) == 0; }

// A property context's record names a property (ID 0 is none) of a type a store may hold.
bool isRecordValid(const PropEntry& e) { return e.id != 0 && isStoredType(e.type); }
}  // namespace

// ---------------------------------------------------------------- heap

Heap::Heap(Ndb& ndb, const NodeRef& node, Load load) : ndb_(&ndb), nid_(node.nid) {
    if (node.bidData == 0) throw Error::corrupt("heap node has no data", Where::node(node.nid));
    if (load == Load::Whole) {
        blocks_ = ndb.dataBlocks(node.bidData);
    } else {
        blockIds_ = ndb.dataBlockIds(node.bidData);
        blocks_.resize(blockIds_.size());
        if (!blocks_.empty()) blocks_[0] = ndb.readBlock(blockIds_[0]);
    }
    if (blocks_.empty()) throw Error::corrupt("heap node has no data", Where::node(node.nid));
    LeReader r(*blocks_[0], "HNHDR");
    r.u16("ibHnpm");
    uint8_t sig = r.u8("bSig");
    if (sig != kHeapSig) throw Error::corrupt("HNHDR bSig", Where::node(node.nid), kHeapSig, sig);
    bClientSig_ = r.u8("bClientSig");
    hidUserRoot_ = r.u32("hidUserRoot");
}

// Inline: a table's rows look up an item for each of their string cells, and
// the item's bytes are best taken from registers, not through memory just
// written.
__attribute__((always_inline)) inline Heap::Ref Heap::find(uint32_t hid, bool keep) const {
    Where where = Where::node(nid_);
    if (!isHid(hid)) throw Error::corrupt("HID hidType", where, 0, hid & 0x1F);
    const uint32_t index = (hid >> 5) & 0x7FF;
    const uint32_t blockIndex = hid >> 16;
    if (index == 0) throw Error::corrupt("HID hidIndex", where, 1, 0);
    if (blockIndex >= blocks_.size())
        throw Error::corrupt("HID hidBlockIndex", where, blocks_.size() - 1, blockIndex);
    BlockPtr block = blocks_[blockIndex];
    if (!block && last_ && lastIndex_ == blockIndex) block = last_;
    if (!block) {
        block = ndb_->readBlock(blockIds_[blockIndex]);
        last_ = block;
        lastIndex_ = blockIndex;
    }
    if (keep && !blocks_[blockIndex]) blocks_[blockIndex] = block;
    std::span<const uint8_t> b(*block);
    LeReader r(b, "HNPAGEMAP");
    uint16_t ibHnpm = r.u16("ibHnpm");
    r.seek(ibHnpm, "ibHnpm");
    uint16_t cAlloc = r.u16("cAlloc");
    r.u16("cFree");
    if (index > cAlloc) throw Error::corrupt("HID hidIndex beyond cAlloc", where, cAlloc, index);
    r.skip(2 * (index - 1), "rgibAlloc");
    uint16_t start = r.u16("rgibAlloc");
    uint16_t end = r.u16("rgibAlloc");
    if (start > end || end > ibHnpm) throw Error::corrupt("heap item bounds", where, ibHnpm, end < start ? start : end);
    return {std::move(block), b.subspan(start, end - start)};
}

bool Heap::hasItem(uint32_t hid) const {
    try {
        find(hid, false);
        return true;
    } catch (const Error&) {
        return false;
    }
}

std::span<const uint8_t> Heap::item(uint32_t hid) const { return find(hid, true).bytes; }

Heap::Ref Heap::itemRef(uint32_t hid) const { return find(hid, false); }

// ---------------------------------------------------------------- BTree on heap

namespace {
// Compares two BTH keys as the little-endian numbers they are.
// A key of N little-endian bytes as a number (N known here, so the loop folds into one load).
template <size_t N>
uint64_t keyValue(const uint8_t* p) {
    uint64_t v = 0;
    for (size_t i = N; i-- > 0;) v = (v << 8) | p[i];
    return v;
}

template <size_t N>
int compareKeysOf(const uint8_t* a, const uint8_t* b) {
    const uint64_t x = keyValue<N>(a), y = keyValue<N>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

int compareKeys(const uint8_t* a, const uint8_t* b, size_t cbKey) {
    // Keys of 2, 4 and 8 bytes (every BTH the format defines) compare as numbers.
    switch (cbKey) {
    case 2: return compareKeysOf<2>(a, b);
    case 4: return compareKeysOf<4>(a, b);
    case 8: return compareKeysOf<8>(a, b);
    default: break;
    }
    for (size_t i = cbKey; i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

// The leaves' keys, in the order walked, must increase strictly: a record out of order was
// damaged, and lookups by key would take it for another one.
struct KeyOrder {
    uint8_t last[16];  // the last key seen (keys are of 2, 4, 8 or 16 bytes)
    bool have = false;
    void check(const Heap& heap, std::span<const uint8_t> item, size_t recSize, size_t cbKey) {
        if (cbKey > sizeof last) throw Error::corrupt("BTHHEADER cbKey", Where::node(heap.nid()), sizeof last, cbKey);
        const uint8_t* prev = have ? last : nullptr;
        for (size_t off = 0; off < item.size(); off += recSize) {
            const uint8_t* key = item.data() + off;
            if (prev && compareKeys(prev, key, cbKey) >= 0) {
                uint64_t before = 0, cur = 0;
                for (size_t i = std::min<size_t>(cbKey, 8); i-- > 0;) {
                    before = (before << 8) | prev[i];
                    cur = (cur << 8) | key[i];
                }
                throw Error(ErrorKind::Corrupt, "BTH record keys in order", Where::node(heap.nid()),
                            "a key above " + hex(before), hex(cur));
            }
            prev = key;
        }
        if (!item.empty()) {
            std::memcpy(last, item.data() + item.size() - recSize, cbKey);
            have = true;
        }
    }
};

template <typename Leaf>
void bthWalk(const Heap& heap, uint32_t hid, unsigned level, unsigned cbKey, unsigned cbEnt, bool keep, const Leaf& leaf,
             std::unordered_set<uint32_t>& seen, KeyOrder& order) {
    if (!seen.insert(hid).second) throw Error::corrupt("BTH node referenced twice", Where::node(heap.nid()));
    // Kept with the heap when the records are handed out; else held only while walked.
    const Heap::Ref ref = keep ? Heap::Ref{nullptr, heap.item(hid)} : heap.itemRef(hid);
    const std::span<const uint8_t> item = ref.bytes;
    const size_t recSize = cbKey + (level > 0 ? 4u : cbEnt);
    if (item.size() % recSize != 0)
        throw Error::corrupt("BTH record array size", Where::node(heap.nid()), item.size() / recSize * recSize, item.size());
    if (level == 0) {
        order.check(heap, item, recSize, cbKey);
        leaf(item, recSize);
        return;
    }
    for (size_t off = 0; off < item.size(); off += recSize) {
        uint32_t child = LeReader::u32At(item, off + cbKey, "hidNextLevel");
        bthWalk(heap, child, level - 1, cbKey, cbEnt, keep, leaf, seen, order);
    }
}

// Checks a BTHHEADER and walks its leaves: leaf(records, recordSize) for each leaf item.
template <typename Leaf>
void walkBth(const Heap& heap, uint32_t hidHeader, unsigned expectKey, unsigned expectEnt, bool keep, unsigned& cbKey,
             unsigned& cbEnt, const Leaf& leaf) {
    Where where = Where::node(heap.nid());
    const Heap::Ref header = heap.itemRef(hidHeader);
    LeReader r(header.bytes, "BTHHEADER");
    uint8_t bType = r.u8("bType");
    if (bType != kBthSig) throw Error::corrupt("BTHHEADER bType", where, kBthSig, bType);
    cbKey = r.u8("cbKey");
    cbEnt = r.u8("cbEnt");
    unsigned levels = r.u8("bIdxLevels");
    uint32_t hidRoot = r.u32("hidRoot");
    if (cbKey != expectKey) throw Error::corrupt("BTHHEADER cbKey", where, expectKey, cbKey);
    if (expectEnt ? cbEnt != expectEnt : (cbEnt == 0 || cbEnt > 32))
        throw Error::corrupt("BTHHEADER cbEnt", where, expectEnt ? expectEnt : 32, cbEnt);
    if (levels > 8) throw Error::corrupt("BTHHEADER bIdxLevels", where, 8, levels);
    if (hidRoot == 0) return;
    std::unordered_set<uint32_t> seen;
    KeyOrder order;
    bthWalk(heap, hidRoot, levels, cbKey, cbEnt, keep, leaf, seen, order);
}
}  // namespace

std::vector<BthRecord> readBth(const Heap& heap, uint32_t hidHeader, unsigned expectKey, unsigned expectEnt) {
    std::vector<BthRecord> out;
    unsigned cbKey = 0, cbEnt = 0;
    walkBth(heap, hidHeader, expectKey, expectEnt, true, cbKey, cbEnt,
            [&](std::span<const uint8_t> item, size_t recSize) {
                for (size_t off = 0; off < item.size(); off += recSize)
                    out.push_back({item.subspan(off, cbKey), item.subspan(off + cbKey, cbEnt)});
            });
    return out;
}

size_t countBth(const Heap& heap, uint32_t hidHeader, unsigned expectKey, unsigned expectEnt) {
    size_t count = 0;
    unsigned cbKey = 0, cbEnt = 0;
    walkBth(heap, hidHeader, expectKey, expectEnt, false, cbKey, cbEnt,
            [&](std::span<const uint8_t> item, size_t recSize) { count += item.size() / recSize; });
    return count;
}

// ---------------------------------------------------------------- HNID values

HnidResolver::HnidResolver(Ndb& ndb, const NodeRef& node, const Heap& heap) : ndb_(ndb), node_(node), heap_(heap) {}

std::optional<NodeRef> HnidResolver::sub(uint32_t nid) const {
    if (!subnodes_) subnodes_ = ndb_.subnodes(node_.bidSub);
    for (const auto& n : *subnodes_)
        if (n.nid == nid) return n;
    return std::nullopt;
}

PropEntry::Place HnidResolver::place(uint32_t hnid, uint64_t* size) const {
    *size = 0;
    try {
        if (hnid == 0) return PropEntry::Place::Heap;  // an empty value: no allocation
        if (isHid(hnid)) {
            *size = heap_.itemRef(hnid).bytes.size();
            return PropEntry::Place::Heap;
        }
        auto n = sub(hnid);
        if (!n) return PropEntry::Place::Missing;
        *size = ndb_.checkedDataSize(n->bidData);
        return PropEntry::Place::Subnode;
    } catch (const Error&) {
        *size = 0;
        return PropEntry::Place::Missing;
    }
}

std::vector<uint8_t> HnidResolver::read(uint32_t hnid) const {
    if (hnid == 0) return {};
    if (isHid(hnid)) {
        const Heap::Ref item = heap_.itemRef(hnid);
        return {item.bytes.begin(), item.bytes.end()};
    }
    auto n = sub(hnid);
    if (!n) throw Error(ErrorKind::NotFound, "value subnode " + hex(hnid) + " of NID " + hex(node_.nid), Where::node(hnid));
    return ndb_.readAll(n->bidData);
}

void HnidResolver::readInto(uint32_t hnid, std::vector<uint8_t>& out) const {
    if (hnid != 0 && isHid(hnid)) {
        // Straight from the heap's block into the memory out already has.
        const Heap::Ref item = heap_.itemRef(hnid);
        out.assign(item.bytes.begin(), item.bytes.end());
        return;
    }
    out = read(hnid);
}

std::optional<std::span<const uint8_t>> HnidResolver::heapItem(uint32_t hnid) const {
    if (hnid == 0) return std::span<const uint8_t>();
    if (isHid(hnid)) return heap_.item(hnid);
    return std::nullopt;
}

std::vector<uint8_t> HnidResolver::readRange(uint32_t hnid, uint64_t offset, size_t n) const {
    if (hnid == 0 || isHid(hnid)) {
        auto all = read(hnid);
        if (offset >= all.size()) return {};
        size_t len = std::min<uint64_t>(n, all.size() - offset);
        return {all.begin() + static_cast<ptrdiff_t>(offset), all.begin() + static_cast<ptrdiff_t>(offset + len)};
    }
    auto node = sub(hnid);
    if (!node) throw Error(ErrorKind::NotFound, "value subnode " + hex(hnid) + " of NID " + hex(node_.nid), Where::node(hnid));
    return ndb_.readRange(node->bidData, offset, n);
}

// ---------------------------------------------------------------- property context

PropertyContext::PropertyContext(Ndb& ndb, const NodeRef& node)
    : node_(node), heap_(ndb, node), resolver_(ndb, node, heap_) {
    if (heap_.bClientSig() != kPcSig)
        throw Error::corrupt("property context bClientSig", Where::node(node.nid), kPcSig, heap_.bClientSig());
    for (const auto& rec : readBth(heap_, heap_.hidUserRoot(), 2, 6)) {
        PropEntry e;
        e.id = LeReader::u16At(rec.key, 0);
        e.type = LeReader::u16At(rec.data, 0);
        e.dwValueHnid = LeReader::u32At(rec.data, 2);
        unsigned fixed = fixedTypeSize(e.type);
        if (!isRecordValid(e)) {
            // A record the format does not allow: its value is damaged, not a value (read says why).
            e.place = PropEntry::Place::Missing;
        } else if (fixed > 0 && fixed <= 4) {
            e.place = PropEntry::Place::Inline;
            e.size = fixed;
        } else {
            e.place = resolver_.place(e.dwValueHnid, &e.size);
        }
        entries_.push_back(e);
    }
}

const PropEntry* PropertyContext::find(uint16_t id) const {
    for (const auto& e : entries_)
        if (e.id == id) return &e;
    return nullptr;
}

Property PropertyContext::read(const PropEntry& e) const {
    Property p;
    p.id = e.id;
    p.type = e.type;
    std::vector<uint8_t> scratch;
    const std::span<const uint8_t> bytes = readView(e, scratch);
    if (bytes.data() == scratch.data() && bytes.size() == scratch.size())
        p.raw = std::move(scratch);
    else
        p.raw.assign(bytes.begin(), bytes.end());
    return p;
}

std::span<const uint8_t> PropertyContext::readView(const PropEntry& e, std::vector<uint8_t>& scratch) const {
    std::span<const uint8_t> bytes;
    switch (e.place) {
    case PropEntry::Place::Inline:
        scratch.clear();
        for (unsigned i = 0; i < e.size && i < 4; ++i) scratch.push_back(static_cast<uint8_t>(e.dwValueHnid >> (8 * i)));
        bytes = scratch;
        break;
    case PropEntry::Place::Heap:
    case PropEntry::Place::Subnode:
        if (auto item = resolver_.heapItem(e.dwValueHnid)) {
            bytes = *item;
        } else {
            scratch = resolver_.read(e.dwValueHnid);
            bytes = scratch;
        }
        break;
    case PropEntry::Place::Missing:
        if (!isRecordValid(e))
            throw Error(ErrorKind::Corrupt, "property context record of property " + hex(propTag(e.id, e.type)),
                        Where::node(node_.nid), "a non-zero ID and a property type the format allows",
                        "ID " + hex(e.id) + ", type " + hex(e.type));
        // Reading again gives the precise error.
        scratch = resolver_.read(e.dwValueHnid);
        bytes = scratch;
        break;
    }
    unsigned fixed = fixedTypeSize(e.type);
    if (fixed > 4 && bytes.size() != fixed)
        throw Error(ErrorKind::Corrupt, "fixed-size property " + hex(propTag(e.id, e.type)) + " size",
                    Where::node(node_.nid), std::to_string(fixed), std::to_string(bytes.size()));
    return bytes;
}

std::vector<uint8_t> PropertyContext::readRange(const PropEntry& e, uint64_t offset, size_t n) const {
    if (e.place == PropEntry::Place::Inline) {
        auto p = read(e);
        if (offset >= p.raw.size()) return {};
        size_t len = std::min<uint64_t>(n, p.raw.size() - offset);
        return {p.raw.begin() + static_cast<ptrdiff_t>(offset), p.raw.begin() + static_cast<ptrdiff_t>(offset + len)};
    }
    return resolver_.readRange(e.dwValueHnid, offset, n);
}

std::optional<Property> PropertyContext::get(uint16_t id) const {
    if (const PropEntry* e = find(id)) return read(*e);
    return std::nullopt;
}

// ---------------------------------------------------------------- table context

const Property* TableRow::find(uint16_t id) const {
    for (const auto& c : cells)
        if (c.id == id) return &c;
    return nullptr;
}

TableContext::TableContext(Ndb& ndb) : ndb_(&ndb) {}

TableContext TableContext::empty(Ndb& ndb) { return TableContext(ndb); }

TableContext::TableContext(Ndb& ndb, const NodeRef& node) : ndb_(&ndb), node_(node) {
    const Where where = Where::node(node.nid);
    heap_ = std::make_unique<Heap>(ndb, node, Heap::Load::OnDemand);
    if (heap_->bClientSig() != kTcSig) throw Error::corrupt("table context bClientSig", where, kTcSig, heap_->bClientSig());
    resolver_ = std::make_unique<HnidResolver>(ndb, node, *heap_);
    LeReader r(heap_->item(heap_->hidUserRoot()), "TCINFO", 0);
    uint8_t bType = r.u8("bType");
    if (bType != kTcSig) throw Error::corrupt("TCINFO bType", where, kTcSig, bType);
    unsigned cCols = r.u8("cCols");
    for (auto& ib : rgib_) ib = r.u16("rgib");
    uint32_t hidRowIndex = r.u32("hidRowIndex");
    uint32_t hnidRows = r.u32("hnidRows");
    r.u32("hidIndex");
    const unsigned rowSize = rgib_[3];
    const unsigned cebSize = (cCols + 7) / 8;
    if (!(rgib_[0] <= rgib_[1] && rgib_[1] <= rgib_[2] && rgib_[2] <= rgib_[3]) || rgib_[2] + cebSize > rowSize)
        throw Error::corrupt("TCINFO rgib", where, static_cast<uint64_t>(rgib_[2]) + cebSize, rowSize);
    for (unsigned i = 0; i < cCols; ++i) {
        TableColumn c;
        c.tag = r.u32("TCOLDESC.tag");
        c.ibData = r.u16("TCOLDESC.ibData");
        c.cbData = r.u8("TCOLDESC.cbData");
        c.iBit = r.u8("TCOLDESC.iBit");
        if (c.ibData + c.cbData > rgib_[2] || c.iBit >= cCols)
            throw Error::corrupt("TCOLDESC ibData/cbData/iBit of column " + hex(c.tag), where, rgib_[2],
                                 static_cast<uint64_t>(c.ibData) + c.cbData);
        // Columns are sorted by tag, and each is a property of a type a store may hold: a
        // column out of order or of another type was damaged, and its cells would be shown
        // under another property.
        if (!columns_.empty() && c.tag <= columns_.back().tag)
            throw Error(ErrorKind::Corrupt, "TCOLDESC tags in order", where, "a tag above " + hex(columns_.back().tag),
                        hex(c.tag));
        if (c.id() == 0 || !isStoredType(c.type()))
            throw Error(ErrorKind::Corrupt, "TCOLDESC tag", where, "a non-zero ID and a type a store may hold",
                        hex(c.tag));
        columns_.push_back(c);
    }
    // Every table has its row index, an empty one too: without it the rows cannot be found.
    if (hidRowIndex == 0) throw Error(ErrorKind::Corrupt, "TCINFO hidRowIndex", where, "the HID of the row index", "0");
    size_t indexed = countBth(*heap_, hidRowIndex, 4);
    hidRowIndex_ = hidRowIndex;
    size_t available = 0;
    if (hnidRows != 0 && rowSize > 0) {
        if (isHid(hnidRows)) {
            heapRows_ = heap_->item(hnidRows);
            available = heapRows_.size() / rowSize;
        } else {
            NodeRef sub = ndb.subnode(node, hnidRows);
            rowBlockIds_ = ndb.dataBlockIds(sub.bidData);
            if (!rowBlockIds_.empty()) {
                // Every block but the last holds the same number of rows; the first and the
                // last are read now, the others are checked as they are read.
                block_ = ndb.readBlock(rowBlockIds_[0]);
                blockIndex_ = 0;
                rowsPerBlock_ = block_->size() / rowSize;
                if (rowBlockIds_.size() == 1) {
                    available = rowsPerBlock_;
                } else {
                    if (rowsPerBlock_ == 0)
                        throw Error::corrupt("row matrix block smaller than a row", where, rowSize, block_->size());
                    const size_t lastSize = ndb.readBlock(rowBlockIds_.back())->size();
                    if (lastSize > rowsPerBlock_ * rowSize)
                        throw Error::corrupt("row matrix block size", where, rowsPerBlock_ * rowSize, lastSize);
                    available = (rowBlockIds_.size() - 1) * rowsPerBlock_ + lastSize / rowSize;
                }
            }
        }
    }
    if (available != indexed) throw Error::corrupt("row matrix rows", where, indexed, available);
    rowCount_ = indexed;
}

std::span<const uint8_t> TableContext::rowBytes(size_t index) const {
    const size_t rowSize = rgib_[3];
    if (!heapRows_.empty()) return heapRows_.subspan(index * rowSize, rowSize);
    const size_t b = index / rowsPerBlock_;
    if (!block_ || blockIndex_ != b) {
        BlockPtr next = ndb_->readBlock(rowBlockIds_[b]);
        // The last block may hold fewer rows; every other one holds rowsPerBlock_ rows.
        if (b + 1 < rowBlockIds_.size() ? next->size() / rowSize != rowsPerBlock_ : next->size() > rowsPerBlock_ * rowSize)
            throw Error::corrupt("row matrix block size", Where::block(rowBlockIds_[b]), rowsPerBlock_ * rowSize,
                                 next->size());
        block_ = std::move(next);
        blockIndex_ = b;
    }
    const size_t offset = (index % rowsPerBlock_) * rowSize;
    if (offset + rowSize > block_->size())
        throw Error::corrupt("row matrix rows", Where::block(rowBlockIds_[b]), offset + rowSize, block_->size());
    return std::span<const uint8_t>(*block_).subspan(offset, rowSize);
}

bool TableContext::cellBytes(std::span<const uint8_t> bytes, const TableColumn& c, uint32_t& rowId,
                             std::vector<uint32_t>& damaged, std::vector<BlockPtr>* pins, std::vector<uint8_t>& spill,
                             std::span<const uint8_t>& out) const {
    uint8_t ceb = bytes[rgib_[2] + c.iBit / 8];
    if (!(ceb & (0x80 >> (c.iBit % 8)))) return false;
    auto cell = bytes.subspan(c.ibData, c.cbData);
    if (c.tag == kTagLtpRowId) rowId = LeReader::u32At(cell, 0, "dwRowID");
    const uint16_t type = c.type();
    unsigned fixed = fixedTypeSize(type);
    if (fixed > 0 && fixed <= 8) {
        if (c.cbData < fixed && !(type == 0x000B && c.cbData >= 1))
            throw Error::corrupt("table cell size of column " + hex(c.tag), Where::node(node_.nid), fixed, c.cbData);
        out = cell.first(std::min<size_t>(fixed, c.cbData));
        return true;
    }
    if (c.cbData != 4) {
        out = cell;
        return true;
    }
    uint32_t hnid = LeReader::u32At(cell, 0);
    if (hnid == 0) {  // an empty value: no allocation
        out = {};
        return true;
    }
    if (isHid(hnid)) {
        // An item of the table's own heap: found once, used where it is (the
        // item is used where it was returned, not moved out of the try first).
        try {
            Heap::Ref item = heap_->find(hnid, false);
            out = item.bytes;
            if (pins && (pins->empty() || pins->back() != item.block)) pins->push_back(std::move(item.block));
            return true;
        } catch (const Error&) {
        }
        if (!isKnownType(type)) {
            out = cell;
            return true;
        }
        damaged.push_back(c.tag);
        return false;
    }
    uint64_t size;
    auto place = resolver_->place(hnid, &size);
    // A cell whose value cannot be read is damaged: the row keeps its other cells.
    if (place == PropEntry::Place::Missing && !isKnownType(type)) {
        out = cell;
    } else if (place == PropEntry::Place::Missing) {
        damaged.push_back(c.tag);
        return false;
    } else {
        try {
            resolver_->readInto(hnid, spill);
        } catch (const Error&) {
            damaged.push_back(c.tag);
            return false;
        }
        out = spill;
    }
    return true;
}

bool TableContext::readCell(std::span<const uint8_t> bytes, const TableColumn& c, TableRow& row, Property& p) const {
    std::span<const uint8_t> raw;
    if (!cellBytes(bytes, c, row.rowId, row.damaged, nullptr, p.raw, raw)) return false;
    p.id = c.id();
    p.type = c.type();
    // Copied before the heap's next lookup, which may let the item's block go.
    if (raw.data() != p.raw.data() || raw.size() != p.raw.size()) p.raw.assign(raw.begin(), raw.end());
    return true;
}

template <class ForEachWanted>
void TableContext::fillRow(size_t index, TableRow& row, const ForEachWanted& forEachWanted) const {
    if (index >= rowCount_) throw Error::notFound("table row " + std::to_string(index), Where::node(node_.nid));
    auto bytes = rowBytes(index);
    row.rowId = LeReader::u32At(bytes, 0, "dwRowID");
    row.damaged.clear();
    // The row's cells are filled in place: a row read again and again keeps
    // the memory its cells had.
    size_t used = 0;
    forEachWanted([&](size_t i) {
        if (used == row.cells.size()) row.cells.emplace_back();
        if (readCell(bytes, columns_[i], row, row.cells[used])) ++used;
    });
    row.cells.resize(used);
}

void TableContext::readRow(size_t index, const std::vector<bool>* columnsWanted, TableRow& row) const {
    fillRow(index, row, [&](const auto& read) {
        // The row ID's own column is always read: it overrides dwRowID.
        for (size_t i = 0; i < columns_.size(); ++i)
            if (!columnsWanted || columns_[i].tag == kTagLtpRowId ||
                (i < columnsWanted->size() && (*columnsWanted)[i]))
                read(i);
    });
}

std::vector<uint32_t> TableContext::columnIndexes(const std::vector<bool>& columnsWanted) const {
    std::vector<uint32_t> indexes;
    for (size_t i = 0; i < columns_.size(); ++i)
        if (columns_[i].tag == kTagLtpRowId || (i < columnsWanted.size() && columnsWanted[i]))
            indexes.push_back(static_cast<uint32_t>(i));
    return indexes;
}

void TableContext::row(size_t index, std::span<const uint32_t> columnIndexes, TableRow& out) const {
    fillRow(index, out, [&](const auto& read) {
        for (uint32_t i : columnIndexes) {
            // Indexes come from the caller, not the file: one out of range is
            // a caller's mistake.
            if (i >= columns_.size()) throw std::out_of_range("table column index " + std::to_string(i));
            read(i);
        }
    });
}

void TableContext::row(size_t index, std::span<const uint32_t> columnIndexes, TableRowView& out) const {
    if (index >= rowCount_) throw Error::notFound("table row " + std::to_string(index), Where::node(node_.nid));
    auto bytes = rowBytes(index);
    out.rowId = LeReader::u32At(bytes, 0, "dwRowID");
    out.damaged.clear();
    out.cells.clear();
    out.pins_.clear();
    // The memory of the last rows' cells and subnode values is used again.
    size_t spilled = 0;
    for (uint32_t i : columnIndexes) {
        // Indexes come from the caller, not the file: one out of range is a
        // caller's mistake.
        if (i >= columns_.size()) throw std::out_of_range("table column index " + std::to_string(i));
        const TableColumn& c = columns_[i];
        if (spilled == out.spill_.size()) out.spill_.emplace_back();
        std::vector<uint8_t>& spill = out.spill_[spilled];
        std::span<const uint8_t> raw;
        if (!cellBytes(bytes, c, out.rowId, out.damaged, &out.pins_, spill, raw)) continue;
        if (!raw.empty() && raw.data() == spill.data()) ++spilled;  // moving the vectors keeps their bytes where they are
        out.cells.push_back({c.id(), c.type(), raw});
    }
}

const TableRowView::Cell* TableRowView::find(uint16_t id) const {
    for (const auto& c : cells)
        if (c.id == id) return &c;
    return nullptr;
}

TableRow TableContext::readRow(size_t index, const std::vector<bool>* columnsWanted) const {
    TableRow row;
    if (!columnsWanted) row.cells.reserve(columns_.size());
    readRow(index, columnsWanted, row);
    return row;
}

TableRow TableContext::row(size_t index) const { return readRow(index, nullptr); }

TableRow TableContext::row(size_t index, const std::vector<bool>& columnsWanted) const {
    return readRow(index, &columnsWanted);
}

void TableContext::row(size_t index, const std::vector<bool>& columnsWanted, TableRow& out) const {
    readRow(index, &columnsWanted, out);
}

uint32_t TableContext::rowId(size_t index) const {
    static const std::vector<bool> none;
    return readRow(index, &none).rowId;
}

std::vector<uint32_t> TableContext::indexedRowIds() const {
    std::vector<uint32_t> ids;
    if (!heap_) return ids;
    ids.reserve(rowCount_);
    for (const BthRecord& r : readBth(*heap_, hidRowIndex_, 4)) ids.push_back(LeReader::u32At(r.key, 0, "dwRowID"));
    return ids;
}

std::optional<Property> TableContext::cell(size_t index, uint16_t id) const {
    if (index >= rowCount_) throw Error::notFound("table row " + std::to_string(index), Where::node(node_.nid));
    auto bytes = rowBytes(index);
    for (const auto& c : columns_) {
        if (c.id() != id) continue;
        TableRow row;
        Property p;
        const bool found = readCell(bytes, c, row, p);
        if (!row.damaged.empty())
            throw Error::corrupt("table cell " + hex(c.tag) + " of row " + std::to_string(index), Where::node(node_.nid));
        if (!found) return std::nullopt;
        return p;
    }
    return std::nullopt;
}

std::vector<TableRow> TableContext::rows() const {
    std::vector<TableRow> out;
    out.reserve(rowCount_);
    for (size_t i = 0; i < rowCount_; ++i) out.push_back(row(i));
    return out;
}

}  // namespace dravik::pst
