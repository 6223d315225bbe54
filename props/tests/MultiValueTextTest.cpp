// Multi-valued values one value a line, each in its base type's text.
#include "props/MultiValueText.h"

#include "props/PropText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(MultiValueText, OneValueALineInTheBaseTypesText)
{
    SPropValue v{};
    short int shorts[] = {-1, 7};
    v.ulPropTag = PROP_TAG(PT_MV_I2, 0x8001);
    v.Value.MVi = {2, shorts};
    EXPECT_EQ(MultiValueLines(&v, kViewerValueChars), "-1\n7");

    BYTE b1[] = {0x0A, 0x1B};
    BYTE b2[] = {0xFF};
    SBinary bins[] = {{2, b1}, {0, nullptr}, {1, b2}};
    v.ulPropTag = PROP_TAG(PT_MV_BINARY, 0x8002);
    v.Value.MVbin = {3, bins};
    EXPECT_EQ(MultiValueLines(&v, kViewerValueChars), "0A1B\n\nFF");

    char16_t w1[] = u"Zo\u00EB";
    char16_t w2[] = u"x";
    LPWSTR wides[] = {reinterpret_cast<LPWSTR>(w1), reinterpret_cast<LPWSTR>(w2)};
    v.ulPropTag = PROP_TAG(PT_MV_UNICODE, 0x8003);
    v.Value.MVszW = {2, wides};
    EXPECT_EQ(MultiValueLines(&v, kViewerValueChars), "Zo\xC3\xAB\nx");

    SPropValue element;
    ASSERT_TRUE(MultiValueElement(&v, 1, element));
    EXPECT_EQ(element.ulPropTag, PROP_TAG(PT_UNICODE, 0x8003));
    EXPECT_FALSE(MultiValueElement(&v, 2, element));
}

TEST(MultiValueText, CutAsAWholeAtACharacter)
{
    char s1[] = "abc";
    char s2[] = "\xC3\xAB\xC3\xAB";
    LPSTR strings[] = {s1, s2};
    SPropValue v{};
    v.ulPropTag = PROP_TAG(PT_MV_STRING8, 0x8004);
    v.Value.MVszA = {2, strings};
    EXPECT_EQ(MultiValueLines(&v, 8), "abc\n\xC3\xAB");
    EXPECT_EQ(MultiValueLines(&v, 0), "");
}

TEST(MultiValueText, NothingForOtherValues)
{
    SPropValue v{};
    v.ulPropTag = PROP_TAG(PT_LONG, 0x8005);
    v.Value.l = 5;
    EXPECT_EQ(MultiValueCount(&v), 0u);
    EXPECT_EQ(MultiValueLines(&v, kViewerValueChars), "");
    v.ulPropTag = PROP_TAG(PT_MV_LONG, 0x8005);
    v.Value.MVl = {3, nullptr}; // a count without values
    EXPECT_EQ(MultiValueLines(&v, kViewerValueChars), "");
    EXPECT_EQ(MultiValueLines(nullptr, kViewerValueChars), "");
}

} // namespace
