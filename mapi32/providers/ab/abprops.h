// The address book's tables: rows of property sets, their strings handed out
// as PT_UNICODE with MAPI_UNICODE, PT_STRING8 otherwise.
#pragma once

#include "mapi32/propobject.h"

#include <vector>

namespace dravik::mapi32::ab {

// Builds a table over property sets; PR_INSTANCE_KEY (the row's position) is
// added to rows without one, string columns become PT_UNICODE when wide.
HRESULT MakeTable(const std::vector<const PropSet*>& rows, std::vector<ULONG> columns, bool wide, LPMAPITABLE* out);

} // namespace dravik::mapi32::ab
