// The lists, tables and properties (LTP) layer: heap on node, BTree on heap, property
// contexts and table contexts, all read through an Ndb.
//
//   PropertyContext pc(ndb, node);              // throws Error if the node is no property context
//   for (const PropEntry& e : pc.entries())     // ID, type and size, without reading big values
//       Property p = pc.read(e);                // the whole value
//   auto part = pc.readRange(e, offset, n);     // a range of a value (stream reads)
//
//   TableContext tc(ndb, node);                 // hierarchy, contents, recipients, attachments...
//   for (size_t i = 0; i < tc.rowCount(); ++i) { TableRow r = tc.row(i); ... }  // file order
#pragma once

#include "pst/ltp/property.h"
#include "pst/ndb/ndb.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace dravik::pst {

// Heap on node (HN): the node's data blocks, with items addressed by HID. A heap read
// whole holds all its blocks; a heap read on demand (a table's, which holds a string
// of every row) reads a block when an item in it is asked for.
class Heap {
public:
    enum class Load { Whole, OnDemand };
    Heap(Ndb& ndb, const NodeRef& node, Load load = Load::Whole);
    uint8_t bClientSig() const { return bClientSig_; }
    uint32_t hidUserRoot() const { return hidUserRoot_; }
    // The bytes of an item, valid as long as the heap; throws Error (corrupt) if the HID
    // does not name an item. The item's block stays in memory with the heap.
    std::span<const uint8_t> item(uint32_t hid) const;
    // The bytes of an item, with the block that holds them: valid as long as the Ref,
    // without keeping the block with the heap.
    struct Ref {
        BlockPtr block;
        std::span<const uint8_t> bytes;
    };
    Ref itemRef(uint32_t hid) const;
    bool hasItem(uint32_t hid) const;
    uint64_t nid() const { return nid_; }

private:
    friend class TableContext;  // its rows look items up through find, inlined
    inline Ref find(uint32_t hid, bool keep) const;

    Ndb* ndb_;
    std::vector<uint64_t> blockIds_;          // on demand: the BIDs of the blocks
    mutable std::vector<BlockPtr> blocks_;    // the blocks read and kept (on demand: those kept)
    // On demand: the block of the last item found and not kept. A table's
    // cells name items of a few blocks in turn; remembering the last one spares
    // most lookups the block cache.
    mutable BlockPtr last_;
    mutable size_t lastIndex_ = 0;
    uint64_t nid_ = 0;
    uint8_t bClientSig_ = 0;
    uint32_t hidUserRoot_ = 0;
};

// BTree on heap (BTH): all leaf records as (key, data) spans, in key order.
struct BthRecord {
    std::span<const uint8_t> key;
    std::span<const uint8_t> data;
};
std::vector<BthRecord> readBth(const Heap& heap, uint32_t hidHeader, unsigned expectKey, unsigned expectEnt = 0);
// The number of leaf records, with the same checks as readBth, without collecting them.
size_t countBth(const Heap& heap, uint32_t hidHeader, unsigned expectKey, unsigned expectEnt = 0);

struct PropEntry {
    uint16_t id = 0;
    uint16_t type = 0;
    uint32_t dwValueHnid = 0;
    enum class Place { Inline, Heap, Subnode, Missing } place = Place::Inline;
    uint64_t size = 0;  // bytes of the value (for Missing: 0)
};

// Resolves an HNID (a HID in the heap, or the NID of a subnode of the node).
class HnidResolver {
public:
    HnidResolver(Ndb& ndb, const NodeRef& node, const Heap& heap);
    PropEntry::Place place(uint32_t hnid, uint64_t* size) const;
    std::vector<uint8_t> read(uint32_t hnid) const;
    // The same into out, reusing its memory.
    void readInto(uint32_t hnid, std::vector<uint8_t>& out) const;
    // A HID's item in place (valid as long as the heap, when it holds its blocks);
    // nullopt for the NID of a subnode.
    std::optional<std::span<const uint8_t>> heapItem(uint32_t hnid) const;
    std::vector<uint8_t> readRange(uint32_t hnid, uint64_t offset, size_t n) const;
    const NodeRef& node() const { return node_; }

private:
    std::optional<NodeRef> sub(uint32_t nid) const;
    Ndb& ndb_;
    NodeRef node_;
    const Heap& heap_;
    mutable std::optional<std::vector<NodeEntry>> subnodes_;
};

class PropertyContext {
public:
    PropertyContext(Ndb& ndb, const NodeRef& node);
    PropertyContext(const PropertyContext&) = delete;
    PropertyContext& operator=(const PropertyContext&) = delete;

    const std::vector<PropEntry>& entries() const { return entries_; }
    const PropEntry* find(uint16_t id) const;
    Property read(const PropEntry& e) const;
    // The bytes of a value, with the checks of read: a value in the heap is not
    // copied (the bytes live as long as the context), any other is read into
    // scratch.
    std::span<const uint8_t> readView(const PropEntry& e, std::vector<uint8_t>& scratch) const;
    std::vector<uint8_t> readRange(const PropEntry& e, uint64_t offset, size_t n) const;
    // The value of a property, or nullopt if the object has none.
    std::optional<Property> get(uint16_t id) const;
    const NodeRef& node() const { return node_; }

private:
    NodeRef node_;
    Heap heap_;
    HnidResolver resolver_;
    std::vector<PropEntry> entries_;
};

struct TableColumn {  // TCOLDESC
    uint32_t tag = 0;
    uint16_t ibData = 0;
    uint8_t cbData = 0;
    uint8_t iBit = 0;
    uint16_t id() const { return static_cast<uint16_t>(tag >> 16); }
    uint16_t type() const { return static_cast<uint16_t>(tag & 0xFFFF); }
};

struct TableRow {
    uint32_t rowId = 0;  // dwRowID: for folders and messages their NID, for attachments the subnode NID
    std::vector<Property> cells;  // the cells that exist, in column order
    std::vector<uint32_t> damaged;  // tags of cells that exist but whose value cannot be read
    const Property* find(uint16_t id) const;
};

// A row's cells as views of the file's bytes, for a caller that uses them at
// once (a table's rows, one after another): no cell is copied. The views are
// valid until the next row is read into this view, and until the next read
// through the same table context.
struct TableRowView {
    struct Cell {
        uint16_t id = 0;
        uint16_t type = 0;
        std::span<const uint8_t> raw;  // as Property::raw
        uint32_t tag() const { return propTag(id, type); }
        std::optional<int64_t> int64() const { return int64Value(type, raw); }
    };
    uint32_t rowId = 0;  // as TableRow::rowId
    std::vector<Cell> cells;  // the cells that exist, in column order
    std::vector<uint32_t> damaged;  // as TableRow::damaged
    const Cell* find(uint16_t id) const;

private:
    friend class TableContext;
    std::vector<BlockPtr> pins_;  // the heap blocks the cells' bytes are in
    std::vector<std::vector<uint8_t>> spill_;  // values of subnodes, read whole
};

// A table context. Opening one reads its TCINFO and counts its row index; the row
// matrix is read block by block as rows are asked for, so a damaged row block fails
// only the reads that reach it.
class TableContext {
public:
    TableContext(Ndb& ndb, const NodeRef& node);
    static TableContext empty(Ndb& ndb);
    TableContext(TableContext&&) = default;

    const std::vector<TableColumn>& columns() const { return columns_; }
    size_t rowCount() const { return rowCount_; }
    TableRow row(size_t index) const;
    // The row with only the cells of the columns marked (one mark per column, in order).
    TableRow row(size_t index, const std::vector<bool>& columnsWanted) const;
    // The same into a row the caller keeps: its cells' memory is used again.
    void row(size_t index, const std::vector<bool>& columnsWanted, TableRow& out) const;
    // The indexes of the columns marked and of the row ID's own column (which is
    // always read), in order: worked out once for the rows read with them below.
    std::vector<uint32_t> columnIndexes(const std::vector<bool>& columnsWanted) const;
    // The row with only the cells of the columns at those indexes (each below
    // columns().size(), in increasing order), into a row the caller keeps.
    void row(size_t index, std::span<const uint32_t> columnIndexes, TableRow& out) const;
    // The same as views of the file's bytes (see TableRowView): the same cells,
    // damage and checks, with nothing copied.
    void row(size_t index, std::span<const uint32_t> columnIndexes, TableRowView& out) const;
    std::vector<TableRow> rows() const;
    // One row's dwRowID, reading none of its variable-size cells.
    uint32_t rowId(size_t index) const;
    // The dwRowIDs the row index holds, in increasing order, reading no row.
    std::vector<uint32_t> indexedRowIds() const;
    // One cell of a row: nullopt when the table has no such column or the row does not
    // hold it; throws Error (corrupt) when the row holds it but it cannot be read.
    std::optional<Property> cell(size_t index, uint16_t id) const;
    // Where the row matrix lives: 0 in the heap, else the number of data blocks of its subnode.
    size_t rowMatrixBlocks() const { return rowBlockIds_.size(); }
    const std::vector<uint64_t>& rowMatrixBlockIds() const { return rowBlockIds_; }
    size_t rowsPerBlock() const { return rowsPerBlock_; }

private:
    explicit TableContext(Ndb& ndb);
    std::span<const uint8_t> rowBytes(size_t index) const;
    // A row with the cells of the columns marked, or of every column (null).
    TableRow readRow(size_t index, const std::vector<bool>* columnsWanted) const;
    void readRow(size_t index, const std::vector<bool>* columnsWanted, TableRow& row) const;
    // Fills row with the cells of the columns forEachWanted names, one index
    // at a time, in order.
    template <class ForEachWanted>
    void fillRow(size_t index, TableRow& row, const ForEachWanted& forEachWanted) const;
    // Reads the cell of column c in a row's bytes into p: false when the row
    // does not hold it, or when it cannot be read (its tag then goes to
    // row.damaged).
    bool readCell(std::span<const uint8_t> bytes, const TableColumn& c, TableRow& row, Property& p) const;
    // The bytes of the cell of column c in a row's bytes, into out: false when
    // the row does not hold it, or when it cannot be read (its tag then goes to
    // damaged). The bytes are in the row's bytes, in an item of the table's
    // heap (whose block goes to pins, when given; else the bytes are valid only
    // until the heap's next lookup), or in spill (a value of a subnode, read
    // whole). The row ID's own column sets rowId.
    bool cellBytes(std::span<const uint8_t> bytes, const TableColumn& c, uint32_t& rowId,
                   std::vector<uint32_t>& damaged, std::vector<BlockPtr>* pins, std::vector<uint8_t>& spill,
                   std::span<const uint8_t>& out) const;

    Ndb* ndb_ = nullptr;
    NodeRef node_;
    std::unique_ptr<Heap> heap_;
    std::unique_ptr<HnidResolver> resolver_;
    std::vector<TableColumn> columns_;
    uint16_t rgib_[4] = {0, 0, 0, 0};  // TCI_4b, TCI_2b, TCI_1b, TCI_bm
    uint32_t hidRowIndex_ = 0;
    size_t rowCount_ = 0;
    // Row matrix: either one heap item, or the data blocks of a subnode.
    std::span<const uint8_t> heapRows_;
    std::vector<uint64_t> rowBlockIds_;
    size_t rowsPerBlock_ = 0;
    // The row block read last: rows are mostly read in order.
    mutable BlockPtr block_;
    mutable size_t blockIndex_ = 0;
};

}  // namespace dravik::pst
