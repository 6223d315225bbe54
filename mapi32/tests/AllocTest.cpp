#include "mapi32/alloc.h"
#include "mapi32/mapicode.h"
#include "mapi32/mapiutil.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

// Run under AddressSanitizer these also prove that one free of the root
// releases every chained buffer.
TEST(Allocation, ChainIsFreedWithItsRoot)
{
    void* root = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(64, &root), S_OK);
    std::memset(root, 0xAB, 64);
    void* more = nullptr;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(MAPIAllocateMore(32, root, &more), S_OK);
        std::memset(more, i, 32);
    }
    // Chaining onto a chained buffer chains onto its root.
    void* grand = nullptr;
    ASSERT_EQ(MAPIAllocateMore(16, more, &grand), S_OK);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(grand) % 16, 0u);
    EXPECT_EQ(MAPIFreeBuffer(more), S_OK);  // no-op: its root owns it
    EXPECT_EQ(MAPIFreeBuffer(root), S_OK);
}

// Chained buffers of every size, small ones from the root's pool and large ones
// on their own: each is zeroed, aligned, and none overlaps another.
TEST(Allocation, ChainedBuffersOfEverySizeAreSeparate)
{
    void* root = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(8, &root), S_OK);
    std::vector<std::pair<unsigned char*, ULONG>> buffers;
    for (ULONG cb : {0u, 1u, 7u, 16u, 17u, 100u, 1000u, 1023u, 2048u, 4000u, 5000u, 40000u, 3u, 600u, 9000u, 12u}) {
        for (int k = 0; k < 5; ++k) {
            void* p = nullptr;
            ASSERT_EQ(MAPIAllocateMore(cb, buffers.empty() ? root : buffers.back().first, &p), S_OK);
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
            auto* bytes = static_cast<unsigned char*>(p);
            for (ULONG i = 0; i < cb; ++i)
                ASSERT_EQ(bytes[i], 0) << cb;
            std::memset(bytes, static_cast<int>(buffers.size() % 251) + 1, cb);
            buffers.emplace_back(bytes, cb);
        }
    }
    for (size_t n = 0; n < buffers.size(); ++n)
        for (ULONG i = 0; i < buffers[n].second; ++i)
            ASSERT_EQ(buffers[n].first[i], static_cast<unsigned char>(n % 251 + 1)) << n;
    EXPECT_EQ(MAPIFreeBuffer(root), S_OK);
}

// Buffers made in a run (a page of table rows) are each a buffer of their
// own: none overlaps another, each takes chained buffers, and each is freed
// alone, in any order, on any thread, before or after the run ends.
TEST(Allocation, BuffersOfARunAreSeparateAndFreedOneByOne)
{
    struct Made
    {
        unsigned char* p;
        ULONG cb;
        unsigned char fill;
    };
    std::vector<Made> made;
    {
        dravik::mapi32::CBufferRun run;
        for (ULONG i = 0; i < 3000; ++i) {
            // Sizes from none to past the largest carved from a chunk.
            const ULONG cb = (i * 37) % 5000;
            void* p = nullptr;
            ASSERT_EQ(run.Allocate(cb, &p), S_OK);
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 8, 0u);
            const auto fill = static_cast<unsigned char>(i);
            std::memset(p, fill, cb);
            if (i % 7 == 0) {
                void* more = nullptr;
                ASSERT_EQ(MAPIAllocateMore(100, p, &more), S_OK);
                std::memset(more, 0xEE, 100);
            }
            made.push_back({static_cast<unsigned char*>(p), cb, fill});
        }
        // Some freed while the run goes on.
        for (size_t i = 0; i < made.size(); i += 5)
            EXPECT_EQ(MAPIFreeBuffer(std::exchange(made[i].p, nullptr)), S_OK);
    }
    for (const Made& m : made) {
        if (!m.p)
            continue;
        for (ULONG k = 0; k < m.cb; ++k)
            ASSERT_EQ(m.p[k], m.fill) << "buffer of " << m.cb << " bytes overwritten at " << k;
    }
    // The rest: half on another thread, half here, from the last.
    std::thread other([&] {
        for (size_t i = 1; i < made.size(); i += 2)
            if (made[i].p)
                MAPIFreeBuffer(made[i].p);
    });
    for (size_t i = made.size(); i-- > 0;)
        if (i % 2 == 0 && made[i].p)
            EXPECT_EQ(MAPIFreeBuffer(made[i].p), S_OK);
    other.join();
}

TEST(Allocation, NullAndZeroSizedAreHarmless)
{
    EXPECT_EQ(MAPIFreeBuffer(nullptr), S_OK);
    void* p = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(0, &p), S_OK);
    EXPECT_NE(p, nullptr);
    MAPIFreeBuffer(p);
    EXPECT_EQ(MAPIAllocateMore(8, nullptr, &p), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(MAPIAllocateBuffer(8, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST(Allocation, DeepCopyOfEveryKindOfValueOutlivesTheSource)
{
    char text[] = "subject";
    char16_t wide[] = u"wide";
    BYTE bytes[] = {1, 2, 3};
    LPSTR strs[] = {text, text};
    SBinary bins[] = {{3, bytes}, {0, nullptr}};
    SPropValue src[6]{};
    src[0].ulPropTag = PROP_TAG(PT_STRING8, 0x37);
    src[0].Value.lpszA = text;
    src[1].ulPropTag = PROP_TAG(PT_UNICODE, 0x37);
    src[1].Value.lpszW = wide;
    src[2].ulPropTag = PROP_TAG(PT_BINARY, 0xFFF);
    src[2].Value.bin = {3, bytes};
    src[3].ulPropTag = PROP_TAG(PT_MV_STRING8, 0x8000);
    src[3].Value.MVszA = {2, strs};
    src[4].ulPropTag = PROP_TAG(PT_MV_BINARY, 0x8001);
    src[4].Value.MVbin = {2, bins};
    src[5].ulPropTag = PROP_TAG(PT_SVREID, 0x6750);  // a server entry ID: bytes, like a binary value
    src[5].Value.bin = {3, bytes};
    LPSPropValue copy = nullptr;
    ASSERT_EQ(ScDupPropset(6, src, nullptr, &copy), S_OK);
    text[0] = 'X';
    bytes[0] = 9;
    wide[0] = u'X';
    EXPECT_STREQ(copy[0].Value.lpszA, "subject");
    EXPECT_EQ(copy[1].Value.lpszW[0], u'w');
    EXPECT_EQ(copy[2].Value.bin.lpb[0], 1);
    EXPECT_STREQ(copy[3].Value.MVszA.lppszA[1], "subject");
    EXPECT_EQ(copy[4].Value.MVbin.lpbin[0].lpb[0], 1);
    EXPECT_EQ(copy[4].Value.MVbin.lpbin[1].cb, 0u);
    ASSERT_NE(copy[5].Value.bin.lpb, bytes);
    EXPECT_EQ(copy[5].Value.bin.lpb[0], 1);
    MAPIFreeBuffer(copy);
}
