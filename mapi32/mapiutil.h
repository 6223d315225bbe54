// MAPI memory and table helpers.
#pragma once

#include "mapi32/mapidefs.h"

// A buffer from MAPIAllocateBuffer is a root; MAPIAllocateMore chains further
// buffers onto the root of lpObject. One MAPIFreeBuffer on the root frees the
// whole chain; MAPIFreeBuffer(nullptr) does nothing. A chained buffer is never
// freed on its own (freeing it is a no-op; its root frees it).
SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer);
SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
ULONG MAPIFreeBuffer(LPVOID lpBuffer);

// Sets the columns, restriction and sort order that are given (each may be
// null), then reads every row from the beginning. With crowsMax > 0 a table of
// more rows fails with MAPI_E_TABLE_TOO_BIG.
HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                       LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows);

// Frees a row set whose rows were each allocated separately (QueryRows results).
void FreeProws(LPSRowSet lpRows);
void FreePadrlist(LPADRLIST lpAdrList);

// The first value of the array with this tag (or, for a PT_UNSPECIFIED tag, this ID); null if none.
LPSPropValue PpropFindProp(LPSPropValue lpPropArray, ULONG cValues, ULONG ulPropTag);

// One property of an object, in one buffer to free with MAPIFreeBuffer.
HRESULT HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp);

// Deep copies: values of every type, into buffers chained on lpParent (or a
// new root when lpParent is null for ScDupPropset).
SCODE PropCopyMore(LPSPropValue lpSPropValueDest, LPSPropValue lpSPropValueSrc, LPVOID lpvObject);
SCODE ScDupPropset(int cValues, LPSPropValue lpPropArray, LPVOID lpParent, LPSPropValue* lppPropArray);

// Compares two values of the same type: <0, 0, >0. Values of different or
// incomparable types compare by their tags.
LONG LPropCompareProp(LPSPropValue lpSPropValueA, LPSPropValue lpSPropValueB);

// The decompressed RTF of a PR_RTF_COMPRESSED stream (mapi32/rtfstream.h).
HRESULT WrapCompressedRTFStream(LPSTREAM lpCompressedRTFStream, ULONG ulFlags, LPSTREAM* lpUncompressedRTFStream);
