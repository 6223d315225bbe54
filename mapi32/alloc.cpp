// MAPIAllocateBuffer / MAPIAllocateMore / MAPIFreeBuffer: each buffer carries a
// header before it; a root keeps the list of blocks chained onto it. Small
// buffers chained onto a root are carved from chunks the root owns (a pool per
// root), so a row or a property set with many strings costs a few allocations
// instead of one per value; MAPIFreeBuffer of the root frees every chunk.
// Small roots made in a run (a page of table rows) are carved from chunks the
// run's roots share, each freed with the last root carved from it.
#include "mapi32/alloc.h"
#include "mapi32/mapicode.h"
#include "mapi32/mapiutil.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

constexpr std::uint32_t kRootMagic = 0x4D415052;   // "MAPR"
constexpr std::uint32_t kMoreMagic = 0x4D41504D;   // "MAPM"
constexpr std::uint32_t kChunkMagic = 0x4D415043;  // "MAPC": a pool chunk, never handed out

struct alignas(16) Header
{
    std::uint32_t magic;
    Header* root;   // for a chained buffer: its root; for a root: itself
    Header* next;   // next block (chained buffer or chunk) of the root's list
};
static_assert(sizeof(Header) % 16 == 0);

// A root's pool, just before its header: the free part of its current chunk.
struct alignas(16) Pool
{
    char* pos;
    char* end;
    std::uint32_t chunks;  // chunks made so far: each is larger than the last
    void* run;             // the run chunk the root was carved from, or null: a block of its own
};
static_assert(sizeof(Pool) % 16 == 0);

// Under AddressSanitizer every chained buffer is its own block, so that
// a write past one is caught rather than landing in its neighbour.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif
#else
constexpr bool kPooled = true;
#endif

constexpr size_t kFirstChunk = 1024;
constexpr size_t kLargestChunk = 32 * 1024;
constexpr size_t kLargestPooled = 4 * 1024;  // larger buffers get a block of their own

std::mutex& ChainMutex()
{
    static std::mutex m;
    return m;
}

Header* HeaderOf(void* p)
{
    return reinterpret_cast<Header*>(static_cast<char*>(p) - sizeof(Header));
}

Pool* PoolOf(Header* root)
{
    return reinterpret_cast<Pool*>(root) - 1;
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

// Links a block into its root's list; under the chain lock.
void Chain(Header* root, Header* h)
{
    h->next = root->next;
    root->next = h;
}

// A zeroed buffer of cb bytes chained onto root: carved from the root's pool,
// or a block of its own when it is large. Under the chain lock.
Header* NewChained(Header* root, ULONG cb)
{
    const size_t size = sizeof(Header) + ((static_cast<size_t>(cb ? cb : 1) + 15) & ~size_t{15});
    if (!kPooled || size > kLargestPooled) {
        Header* h = NewBlock(cb, kMoreMagic);
        if (h) {
            h->root = root;
            Chain(root, h);
        }
        return h;
    }
    Pool* pool = PoolOf(root);
    if (static_cast<size_t>(pool->end - pool->pos) < size) {
        const size_t chunkSize = std::max(size, std::min(kLargestChunk, kFirstChunk << std::min(pool->chunks, 8u)));
        void* raw = std::malloc(sizeof(Header) + chunkSize);
        if (!raw)
            return nullptr;
        auto* chunk = new (raw) Header{kChunkMagic, root, nullptr};
        Chain(root, chunk);
        pool->pos = reinterpret_cast<char*>(chunk + 1);
        pool->end = pool->pos + chunkSize;
        ++pool->chunks;
    }
    auto* h = new (pool->pos) Header{kMoreMagic, root, nullptr};
    pool->pos += size;
    std::memset(h + 1, 0, cb ? cb : 1);
    return h;
}

SCODE AllocateRoot(ULONG cbSize, LPVOID* lppBuffer, bool bZero)
{
    if (!lppBuffer)
        return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = nullptr;
    void* raw = std::malloc(sizeof(Pool) + sizeof(Header) + (cbSize ? cbSize : 1));
    if (!raw)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    new (raw) Pool{nullptr, nullptr, 0, nullptr};
    auto* h = new (static_cast<char*>(raw) + sizeof(Pool)) Header{kRootMagic, nullptr, nullptr};
    if (bZero)
        std::memset(h + 1, 0, cbSize ? cbSize : 1);
    h->root = h;
    *lppBuffer = h + 1;
    return S_OK;
}

void ReleaseRunChunk(void* chunk);  // with the runs of root buffers, below

} // namespace

SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer)
{
    return AllocateRoot(cbSize, lppBuffer, true);
}

SCODE dravik::mapi32::AllocateBufferUnzeroed(ULONG cbSize, LPVOID* lppBuffer)
{
    return AllocateRoot(cbSize, lppBuffer, false);
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
    Header* h = nullptr;
    {
        std::lock_guard lock(ChainMutex());
        h = NewChained(root, cbSize);
    }
    if (!h)
        return MAPI_E_NOT_ENOUGH_MEMORY;
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
    Pool* pool = PoolOf(h);
    if (pool->run)
        ReleaseRunChunk(pool->run);
    else
        std::free(pool);
    return S_OK;
}

// ---- runs of root buffers

struct dravik::mapi32::BufferRunChunk
{
    // The buffers carved from the chunk and not yet freed, and one more while
    // the run carves from it.
    std::atomic<std::uint32_t> refs;
};

namespace {

constexpr size_t kRunChunk = 64 * 1024;
constexpr size_t kLargestInRun = 4 * 1024;  // larger buffers get a block of their own
constexpr size_t kRunChunkHead = (sizeof(dravik::mapi32::BufferRunChunk) + 15) & ~size_t{15};

// Chunks whose buffers are all freed, kept for the next run: a run of rows
// freed and made again page after page would otherwise give the memory back
// to the system and fault it in again each time (the chunks sit at the top of
// the heap). At most as many as a few pages of rows take.
constexpr size_t kKeptRunChunks = 32;

struct KeptRunChunks
{
    std::mutex lock;
    void* chunks[kKeptRunChunks];
    size_t count = 0;
};

// Never destroyed: a buffer may be freed by a static object's destructor.
KeptRunChunks& KeptChunks()
{
    static KeptRunChunks& kept = *new KeptRunChunks;
    return kept;
}

void* NewRunChunk()
{
    KeptRunChunks& kept = KeptChunks();
    {
        std::lock_guard guard(kept.lock);
        if (kept.count > 0)
            return kept.chunks[--kept.count];
    }
    return std::malloc(kRunChunk);
}

void ReleaseRunChunk(void* p)
{
    auto* chunk = static_cast<dravik::mapi32::BufferRunChunk*>(p);
    if (chunk->refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    chunk->~BufferRunChunk();
    KeptRunChunks& kept = KeptChunks();
    {
        std::lock_guard guard(kept.lock);
        if (kept.count < kKeptRunChunks) {
            kept.chunks[kept.count++] = chunk;
            return;
        }
    }
    std::free(chunk);
}

}  // namespace

dravik::mapi32::CBufferRun::~CBufferRun()
{
    if (m_pChunk)
        ReleaseRunChunk(m_pChunk);
}

SCODE dravik::mapi32::CBufferRun::Allocate(ULONG cbSize, LPVOID* lppBuffer)
{
    if (!lppBuffer)
        return MAPI_E_INVALID_PARAMETER;
    const size_t size = sizeof(Pool) + sizeof(Header) + ((static_cast<size_t>(cbSize ? cbSize : 1) + 15) & ~size_t{15});
    if (!kPooled || size > kLargestInRun)
        return AllocateRoot(cbSize, lppBuffer, false);
    *lppBuffer = nullptr;
    if (static_cast<size_t>(m_pEnd - m_pPos) < size) {
        void* raw = NewRunChunk();
        if (!raw)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        if (m_pChunk)
            ReleaseRunChunk(m_pChunk);
        m_pChunk = new (raw) BufferRunChunk{1};
        m_pPos = static_cast<char*>(raw) + kRunChunkHead;
        m_pEnd = static_cast<char*>(raw) + kRunChunk;
    }
    m_pChunk->refs.fetch_add(1, std::memory_order_relaxed);
    new (m_pPos) Pool{nullptr, nullptr, 0, m_pChunk};
    auto* h = new (m_pPos + sizeof(Pool)) Header{kRootMagic, nullptr, nullptr};
    h->root = h;
    m_pPos += size;
    *lppBuffer = h + 1;
    return S_OK;
}
