#include "props/TextConv.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WideToNarrow, ConvertsToUtf8)
{
    EXPECT_EQ(WideToNarrow(u"Keywords"), "Keywords");
    EXPECT_EQ(WideToNarrow(u"Gr\u00FC\u00DFe \u041F\u0440\u0438\u0432\u0435\u0442 \u65E5\u672C"),
              "Gr\xC3\xBC\xC3\x9F" "e \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(WideToNarrow(u"\U0001F600"), "\xF0\x9F\x98\x80") << "a surrogate pair is one character";
    EXPECT_EQ(WideToNarrow(static_cast<const char16_t*>(nullptr)), "");
    EXPECT_EQ(WideToNarrow(u""), "");
}

TEST(WideToNarrow, UnpairedSurrogatesBecomeTheDefaultCharacter)
{
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, u'c', 0xD83D, 0};
    EXPECT_EQ(WideToNarrow(lone), "a?b?c?");
}

TEST(WideToNarrow, CutsAfterTheLastWholeCharacter)
{
    // "aé€😀" is 1 + 2 + 3 + 4 bytes.
    const std::u16string text = u"a\u00E9\u20AC\U0001F600";
    EXPECT_EQ(WideToNarrow(text, 0), "");
    EXPECT_EQ(WideToNarrow(text, 2), "a");
    EXPECT_EQ(WideToNarrow(text, 3), "a\xC3\xA9");
    EXPECT_EQ(WideToNarrow(text, 5), "a\xC3\xA9");
    EXPECT_EQ(WideToNarrow(text, 6), "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(WideToNarrow(text, 9), "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(WideToNarrow(text, 10), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

// Runs of ASCII are taken several units at a time: a character that is not
// ASCII at any place, and any cut, give what one unit at a time gives.
TEST(WideToNarrow, TheSameAtAnyPlaceInLongerText)
{
    for (size_t before = 0; before <= 19; ++before) {
        const std::u16string text = std::u16string(before, u'a') + u"\u00E9" + std::u16string(19 - before, u'b');
        const std::string whole = std::string(before, 'a') + "\xC3\xA9" + std::string(19 - before, 'b');
        EXPECT_EQ(WideToNarrow(text), whole) << before;
        for (size_t limit = 0; limit <= whole.size(); ++limit)
            EXPECT_EQ(WideToNarrow(text, limit), whole.substr(0, Utf8CutLength(whole, limit))) << before << " " << limit;
    }
    EXPECT_EQ(WideToNarrow(std::u16string(u"abcdefg\0ijklmnop", 16)), std::string("abcdefg\0ijklmnop", 16))
        << "a NUL unit is kept";
}

TEST(CutNarrow, KeepsWholeUtf8CharactersAndPlainBytes)
{
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    struct
    {
        size_t limit;
        size_t kept;
    } const cases[] = {{0, 0}, {1, 1}, {2, 1}, {3, 3}, {4, 3}, {5, 3}, {6, 6}, {7, 6}, {9, 6}, {10, 10}, {99, 10}};
    for (const auto& c : cases)
        EXPECT_EQ(Utf8CutLength(utf8, c.limit), c.kept) << "limit " << c.limit;

    // Bytes that are not UTF-8 are cut at the byte limit, never more.
    EXPECT_EQ(CutNarrow("ab\xA9\xA9\xA9\xA9z", 3), "ab\xA9");
    EXPECT_EQ(CutNarrow("\xE9t\xE9", 2), "\xE9t");
    EXPECT_EQ(CutNarrow(std::string(2000, 'x'), 1023).size(), 1023u);
}

} // namespace
