#include "props/MapiFallback.h"

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

// {0000000C-0000-0000-C000-000000000046}
const IID IID_IStream = {0x0000000C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

// Every root allocation is preceded by this header; buffers added with
// MAPIAllocateMore hang off it and go with the root's one MAPIFreeBuffer.
struct alignas(std::max_align_t) AllocHeader
{
    std::vector<void*>* pChildren;
};

} // namespace

SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer)
{
    if (!lppBuffer)
        return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = nullptr;
    void* p = std::malloc(sizeof(AllocHeader) + cbSize);
    if (!p)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* header = new (p) AllocHeader{nullptr};
    *lppBuffer = header + 1;
    return S_OK;
}

SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer)
{
    if (!lppBuffer || !lpObject)
        return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = nullptr;
    auto* header = static_cast<AllocHeader*>(lpObject) - 1;
    void* p = std::malloc(cbSize ? cbSize : 1);
    if (!p)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    try {
        if (!header->pChildren)
            header->pChildren = new std::vector<void*>();
        header->pChildren->push_back(p);
    } catch (const std::bad_alloc&) {
        std::free(p);
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    *lppBuffer = p;
    return S_OK;
}

ULONG MAPIFreeBuffer(LPVOID lpBuffer)
{
    if (!lpBuffer)
        return 0;
    auto* header = static_cast<AllocHeader*>(lpBuffer) - 1;
    if (header->pChildren) {
        for (void* child : *header->pChildren)
            std::free(child);
        delete header->pChildren;
    }
    header->~AllocHeader();
    std::free(header);
    return 0;
}
