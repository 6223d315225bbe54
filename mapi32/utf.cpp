#include "mapi32/utf.h"

namespace dravik::mapi32 {

std::string Utf16ToUtf8(std::u16string_view s)
{
    // Two passes, the first for the exact length, the second writing into the
    // string: every string of every object listed passes here.
    const auto decode = [&s](size_t& i) -> char32_t {
        char32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        return c;
    };
    size_t length = 0;
    for (size_t i = 0; i < s.size() && s[i] != 0; ++i) {
        const char32_t c = s[i] < 0x80 ? s[i] : decode(i);
        length += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    std::string out(length, '\0');
    size_t n = 0;
    for (size_t i = 0; i < s.size() && s[i] != 0; ++i) {
        if (s[i] < 0x80) {
            out[n++] = static_cast<char>(s[i]);
            continue;
        }
        const char32_t c = decode(i);
        if (c < 0x800) {
            out[n++] = static_cast<char>(0xC0 | (c >> 6));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[n++] = static_cast<char>(0xE0 | (c >> 12));
            out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out[n++] = static_cast<char>(0xF0 | (c >> 18));
            out[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<uint8_t>(s[i]);
        int len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = len > 0 && i + static_cast<size_t>(len) <= s.size();
        for (int k = 1; ok && k < len; ++k) {
            const auto t = static_cast<uint8_t>(s[i + static_cast<size_t>(k)]);
            ok = (t & 0xC0) == 0x80;
            c = (c << 6) | (t & 0x3F);
        }
        if (ok && ((len == 2 && c < 0x80) || (len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
                   (c >= 0xD800 && c < 0xE000)))
            ok = false;
        if (!ok) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += static_cast<size_t>(len);
    }
    return out;
}

} // namespace dravik::mapi32
