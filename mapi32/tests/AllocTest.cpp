#include "mapi32/mapicode.h"
#include "mapi32/mapiutil.h"

#include <gtest/gtest.h>

#include <cstring>

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
