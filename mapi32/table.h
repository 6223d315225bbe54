// The one table implementation every provider uses: an IMAPITable over a
// source of rows, with columns, restriction, sort order, cursor and bookmarks.
// The table reads a row when a call needs it and keeps none: opening a table
// and GetRowCount read no row, QueryRows reads the rows it returns, and a
// restriction or a sort order reads every row once when it is set, keeping
// only the row numbers (and, while sorting, the sort keys).
#pragma once

#include "mapi32/mapicode.h"
#include "mapi32/mapidefs.h"

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace dravik::mapi32 {

class TableRowSource
{
public:
    // A row's values, valid only during the call.
    using RowUse = std::function<HRESULT(const SPropValue* props, ULONG count)>;
    virtual ~TableRowSource() = default;
    // The number of rows, fixed for the source's life.
    virtual ULONG RowCount() const = 0;
    // Builds row index (below RowCount) and passes its values to use, returning
    // what use returns; a row that cannot be read fails this call only.
    // columns: the tags use looks for (null: any), so that a source may read
    // only those.
    virtual HRESULT WithRow(ULONG index, const std::vector<ULONG>* columns, const RowUse& use) = 0;
    // Several rows' values, passed to use in turn with the row's position in
    // indexes; stops at the first row that cannot be read or that use fails,
    // returning its failure. The same as WithRow for each row (which is what
    // it does unless a source reads many rows more cheaply at once).
    using RowsUse = std::function<HRESULT(size_t position, const SPropValue* props, ULONG count)>;
    virtual HRESULT WithRows(std::span<const ULONG> indexes, const std::vector<ULONG>* columns, const RowsUse& use)
    {
        for (size_t k = 0; k < indexes.size(); ++k) {
            const HRESULT hr =
                WithRow(indexes[k], columns, [&](const SPropValue* props, ULONG count) { return use(k, props, count); });
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }
    // The tags rows can hold: what QueryColumns(TBL_ALL_COLUMNS) reports.
    virtual std::vector<ULONG> AllColumns() = 0;
};

// Creates a table over a source. defaultColumns are the columns QueryRows
// delivers until SetColumns; a column a row does not hold comes back as
// PT_ERROR MAPI_E_NOT_FOUND.
HRESULT CreateTable(std::shared_ptr<TableRowSource> source, const std::vector<ULONG>& defaultColumns,
                    LPMAPITABLE* lppTable);

// Creates a table over deep copies of the given rows (each row a list of
// values; the caller keeps ownership of what it passes). defaultColumns are
// the columns QueryRows delivers until SetColumns; a column a row does not
// hold comes back as PT_ERROR MAPI_E_NOT_FOUND.
HRESULT CreateMemoryTable(const std::vector<std::vector<SPropValue>>& rows, const std::vector<ULONG>& defaultColumns,
                          LPMAPITABLE* lppTable);

// Whether an object's RES_SUBRESTRICTION holds: whether a row of its
// sub-object table (PR_MESSAGE_RECIPIENTS, PR_MESSAGE_ATTACHMENTS) satisfies res.
using SubObjectMatcher = std::function<bool(ULONG ulSubObject, const SRestriction* res)>;

// Whether a row's values satisfy a restriction, by MAPI's rules for each
// restriction type (see table.cpp). A null restriction matches. A
// sub-restriction holds only through subObjects (a table row has none).
bool RestrictionMatches(const SRestriction* restriction, const SPropValue* props, ULONG count,
                        const SubObjectMatcher* subObjects = nullptr);

// The tags of the properties a restriction tests on the row itself (not those
// of its sub-restrictions), in order, repeats included.
std::vector<ULONG> RestrictionTags(const SRestriction* restriction);

// The text of a PT_STRING8, PT_UNICODE (converted to UTF-8) or PT_BINARY
// value as bytes; false for other types.
bool ValueText(const SPropValue& v, std::string& out);

// The tags as an SPropTagArray in one buffer to free with MAPIFreeBuffer.
HRESULT CopyTagArray(const std::vector<ULONG>& tags, LPSPropTagArray* out);

} // namespace dravik::mapi32
