// MAPIAllocateBuffer / MAPIAllocateMore / MAPIFreeBuffer: each buffer carries a
// header before it; a root keeps the list of buffers chained onto it.
#include "mapi32/mapicode.h"
#include "mapi32/mapiutil.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

constexpr std::uint32_t kRootMagic = 0x4D415052;  // "MAPR"
constexpr std::uint32_t kMoreMagic = 0x4D41504D;  // "MAPM"

struct alignas(16) Header
{
    std::uint32_t magic;
    Header* root;   // for a chained buffer: its root; for a root: itself
    Header* next;   // next chained buffer of the root's list
};
static_assert(sizeof(Header) % 16 == 0);

std::mutex& ChainMutex()
{
    static std::mutex m;
    return m;
}

Header* HeaderOf(void* p)
{
    return reinterpret_cast<Header*>(static_cast<char*>(p) - sizeof(Header));
}

Header* NewBlock(ULONG cb, std::uint32_t magic)
{
    void* raw = std::malloc(sizeof(Header) + (cb ? cb : 1));
    if (!raw)
        return nullptr;
    auto* h = new (raw) Header{magic, nullptr, nullptr};
    std::memset(h + 1, 0, cb ? cb : 1);
    return h;
}

} // namespace

SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer)
{
    if (!lppBuffer)
        return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = nullptr;
    Header* h = NewBlock(cbSize, kRootMagic);
    if (!h)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    h->root = h;
    *lppBuffer = h + 1;
    return S_OK;
}

SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer)
{
    if (!lppBuffer)
        return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = nullptr;
    if (!lpObject)
        return MAPI_E_INVALID_PARAMETER;
    Header* parent = HeaderOf(lpObject);
    if (parent->magic != kRootMagic && parent->magic != kMoreMagic)
        return MAPI_E_INVALID_PARAMETER;
    Header* root = parent->root;
    Header* h = NewBlock(cbSize, kMoreMagic);
    if (!h)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    h->root = root;
    {
        std::lock_guard lock(ChainMutex());
        h->next = root->next;
        root->next = h;
    }
    *lppBuffer = h + 1;
    return S_OK;
}

ULONG MAPIFreeBuffer(LPVOID lpBuffer)
{
    if (!lpBuffer)
        return S_OK;
    Header* h = HeaderOf(lpBuffer);
    if (h->magic != kRootMagic)
        return S_OK;  // chained buffers go with their root
    Header* chain;
    {
        std::lock_guard lock(ChainMutex());
        chain = h->next;
        h->next = nullptr;
    }
    while (chain) {
        Header* next = chain->next;
        chain->magic = 0;
        std::free(chain);
        chain = next;
    }
    h->magic = 0;
    std::free(h);
    return S_OK;
}
