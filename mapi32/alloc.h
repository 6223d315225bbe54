// Allocation inside the MAPI subsystem beyond what MAPI defines.
#pragma once

#include "mapi32/mapidefs.h"

namespace dravik::mapi32 {

// A root buffer as MAPIAllocateBuffer makes it (freed by MAPIFreeBuffer, with
// anything chained onto it by MAPIAllocateMore), but not zeroed: for callers
// that write every byte of it themselves.
SCODE AllocateBufferUnzeroed(ULONG cbSize, LPVOID* lppBuffer);

struct BufferRunChunk;

// Root buffers made one after another (a table's rows for one QueryRows), each
// as AllocateBufferUnzeroed makes it: freed on its own by MAPIFreeBuffer, with
// anything chained onto it. Small ones are carved from chunks the run shares
// among them, one allocation for many buffers; a chunk is freed with the last
// of its buffers (or with the run, when none is left). Buffers may be freed
// on any thread, before or after the run ends.
class CBufferRun
{
public:
    CBufferRun() = default;
    ~CBufferRun();
    CBufferRun(const CBufferRun&) = delete;
    CBufferRun& operator=(const CBufferRun&) = delete;
    SCODE Allocate(ULONG cbSize, LPVOID* lppBuffer);

private:
    BufferRunChunk* m_pChunk = nullptr;  // the chunk being carved (the run holds a reference)
    char* m_pPos = nullptr;
    char* m_pEnd = nullptr;
};

}  // namespace dravik::mapi32
