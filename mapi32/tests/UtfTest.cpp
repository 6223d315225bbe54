#include "mapi32/utf.h"

#include <gtest/gtest.h>

#include <string>

using dravik::mapi32::Utf16ToUtf8;
using dravik::mapi32::Utf16ToUtf8Into;
using dravik::mapi32::Utf8LengthOf;

namespace {

struct Utf16Case
{
    const char* name;
    std::u16string text;
    std::string utf8;
};

// ASCII is converted four units at a time: NULs, other characters and
// surrogate pairs at each place in and across a group of four.
const Utf16Case kCases[] = {
    {"empty", u"", ""},
    {"shorter than a group", u"abc", "abc"},
    {"two groups", u"abcdefgh", "abcdefgh"},
    {"group and a tail", u"abcdefghij", "abcdefghij"},
    {"NUL first", std::u16string(u"\0abcdefg", 8), ""},
    {"NUL second in a group", std::u16string(u"a\0bcdefg", 8), "a"},
    {"NUL last in a group", std::u16string(u"abc\0efgh", 8), "abc"},
    {"NUL in the second group", std::u16string(u"abcdef\0h", 8), "abcdef"},
    {"NUL in the tail", std::u16string(u"abcdefgh\0j", 10), "abcdefgh"},
    {"DEL and 0x80", u"abc\u007f\u0080xyz", "abc\x7f\xc2\x80xyz"},
    {"two bytes after a group", u"abcd\u00e9", "abcd\xc3\xa9"},
    {"three bytes inside a group", u"ab\u20acdefgh", "ab\xe2\x82\xac" "defgh"},
    {"pair across groups", u"abc\U0001F600efg", "abc\xf0\x9f\x98\x80" "efg"},
    {"unpaired high surrogate last", u"abcd\xd800", "abcd\xef\xbf\xbd"},
    {"unpaired low surrogate in a group", u"a\xdc00" u"cdefgh", "a\xef\xbf\xbd" "cdefgh"},
    {"U+FFFF", u"\uffff", "\xef\xbf\xbf"},
};

} // namespace

TEST(Utf16ToUtf8, GroupsOfAsciiAndEverythingElse)
{
    for (const Utf16Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Utf16ToUtf8(c.text), c.utf8);
        EXPECT_EQ(Utf8LengthOf(c.text), c.utf8.size());
        std::string into(c.utf8.size() + 1, '#');
        Utf16ToUtf8Into(c.text, into.data());
        EXPECT_EQ(into, c.utf8 + "#");  // not a byte more than the length
        // At every place within the groups of four and of eight units taken
        // at once, and across two groups; a NUL ends the text.
        const bool bNul = c.text.find(u'\0') != std::u16string::npos;
        for (size_t before = 0; before <= 17; ++before) {
            const std::u16string text = std::u16string(before, u'a') + c.text + std::u16string(17 - before, u'b');
            const std::string utf8 = std::string(before, 'a') + c.utf8 + (bNul ? "" : std::string(17 - before, 'b'));
            EXPECT_EQ(Utf16ToUtf8(text), utf8) << before;
            EXPECT_EQ(Utf8LengthOf(text), utf8.size()) << before;
        }
    }
}

// The length of a NUL-terminated text, from every start within and across the
// 16-byte groups it is read in, with the NUL at every place after it, and with
// units that hold a zero byte but are not NUL.
TEST(Utf16Length, EveryStartAndEveryEnd)
{
    alignas(16) char16_t buffer[64];
    for (size_t start = 0; start < 16; ++start) {
        for (size_t length = 0; start + length < 64; ++length) {
            for (size_t i = 0; i < 64; ++i)
                buffer[i] = i % 3 == 0 ? u'\u0100' : u'\u00ff';
            buffer[start + length] = u'\0';
            EXPECT_EQ(dravik::mapi32::Utf16Length(buffer + start), length) << start << " " << length;
        }
    }
}
