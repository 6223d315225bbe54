// The one table implementation every provider uses: an IMAPITable over rows
// held in memory, with columns, restriction, sort order, cursor and bookmarks.
#pragma once

#include "mapi32/mapidefs.h"

#include <string>
#include <vector>

namespace dravik::mapi32 {

// Creates a table over deep copies of the given rows (each row a list of
// values; the caller keeps ownership of what it passes). defaultColumns are
// the columns QueryRows delivers until SetColumns; a column a row does not
// hold comes back as PT_ERROR MAPI_E_NOT_FOUND.
HRESULT CreateMemoryTable(const std::vector<std::vector<SPropValue>>& rows, const std::vector<ULONG>& defaultColumns,
                          LPMAPITABLE* lppTable);

// Whether a row's values satisfy a restriction. A null restriction matches.
bool RestrictionMatches(const SRestriction* restriction, const SPropValue* props, ULONG count);

// The text of a PT_STRING8, PT_UNICODE (converted to UTF-8) or PT_BINARY
// value as bytes; false for other types.
bool ValueText(const SPropValue& v, std::string& out);

// The tags as an SPropTagArray in one buffer to free with MAPIFreeBuffer.
HRESULT CopyTagArray(const std::vector<ULONG>& tags, LPSPropTagArray* out);

} // namespace dravik::mapi32
