// Allocation inside the MAPI subsystem beyond what MAPI defines.
#pragma once

#include "mapi32/mapidefs.h"

namespace dravik::mapi32 {

// A root buffer as MAPIAllocateBuffer makes it (freed by MAPIFreeBuffer, with
// anything chained onto it by MAPIAllocateMore), but not zeroed: for callers
// that write every byte of it themselves.
SCODE AllocateBufferUnzeroed(ULONG cbSize, LPVOID* lppBuffer);

}  // namespace dravik::mapi32
