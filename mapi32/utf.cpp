#include "mapi32/utf.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dravik::mapi32 {

namespace {

// The code point at s[i], advancing i past a surrogate pair; an unpaired
// surrogate is U+FFFD.
char32_t DecodeAt(std::u16string_view s, size_t& i)
{
    char32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
        ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
        c = 0xFFFD;
    }
    return c;
}

// How many units from s[i] on are ASCII other than NUL, counted four at a
// time (mail text is mostly ASCII); the units after them are looked at one by one.
// Utf16ToUtf8Into makes the same test as it writes.
#if defined(__SSE2__)
// Whether the eight units at p are all ASCII other than NUL: 1 to 0x7F, as
// signed numbers (a unit from 0x8000 up is negative).
inline bool AsciiGroupOf8(const char16_t* p, __m128i& v)
{
    v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i ok = _mm_and_si128(_mm_cmpgt_epi16(v, _mm_setzero_si128()), _mm_cmplt_epi16(v, _mm_set1_epi16(0x80)));
    return _mm_movemask_epi8(ok) == 0xFFFF;
}
#endif

size_t AsciiRun(std::u16string_view s, size_t i)
{
    const size_t start = i;
#if defined(__SSE2__)
    for (__m128i v; i + 8 <= s.size() && AsciiGroupOf8(s.data() + i, v);)
        i += 8;
#endif
    while (i + 4 <= s.size()) {
        std::uint64_t x;
        std::memcpy(&x, s.data() + i, sizeof x);
        if ((x & 0xFF80FF80FF80FF80ull) != 0)
            break;  // a unit from 0x80 up
        if (((x - 0x0001000100010001ull) & ~x & 0x8000800080008000ull) != 0)
            break;  // a NUL unit (or a unit after one)
        i += 4;
    }
    return i - start;
}

} // namespace

size_t Utf8LengthOf(std::u16string_view s)
{
    size_t length = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const size_t run = AsciiRun(s, i);
        length += run;
        i += run;
        if (i >= s.size() || s[i] == 0)
            break;
        const char32_t c = s[i] < 0x80 ? s[i] : DecodeAt(s, i);
        length += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    return length;
}

void Utf16ToUtf8Into(std::u16string_view s, char* out)
{
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        // Four ASCII units at a time: their low bytes, packed, are their UTF-8
        // (read and written in the little-endian host's order).
        static_assert(std::endian::native == std::endian::little);
#if defined(__SSE2__)
        // Eight at a time where the machine can: the units packed to bytes.
        for (__m128i v; i + 8 <= s.size() && AsciiGroupOf8(s.data() + i, v); i += 8, n += 8)
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + n), _mm_packus_epi16(v, v));
#endif
        for (std::uint64_t x; i + 4 <= s.size(); i += 4, n += 4) {
            std::memcpy(&x, s.data() + i, sizeof x);
            if ((x & 0xFF80FF80FF80FF80ull) != 0 || ((x - 0x0001000100010001ull) & ~x & 0x8000800080008000ull) != 0)
                break;
            const auto packed = static_cast<std::uint32_t>((x & 0xFF) | ((x >> 8) & 0xFF00) | ((x >> 16) & 0xFF0000) |
                                                           ((x >> 24) & 0xFF000000));
            std::memcpy(out + n, &packed, sizeof packed);
        }
        if (i >= s.size() || s[i] == 0)
            break;
        if (s[i] < 0x80) {
            out[n++] = static_cast<char>(s[i]);
            continue;
        }
        const char32_t c = DecodeAt(s, i);
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
}

std::string Utf16ToUtf8(std::u16string_view s)
{
    // Two passes, the first for the exact length, the second writing into the
    // string: every string of every object listed passes here.
    std::string out(Utf8LengthOf(s), '\0');
    Utf16ToUtf8Into(s, out.data());
    return out;
}

// Eight units at a time from the first 16-byte boundary on: an aligned load
// never crosses into another page, so it cannot fault past the NUL, though it
// may read a few bytes of the same group beyond it (hence no address checks).
#if defined(__SSE2__)
__attribute__((no_sanitize_address))
#endif
size_t Utf16Length(const char16_t* text)
{
    const char16_t* p = text;
#if defined(__SSE2__)
    if ((reinterpret_cast<std::uintptr_t>(p) & 1) == 0) {
        for (; (reinterpret_cast<std::uintptr_t>(p) & 15) != 0; ++p)
            if (*p == 0)
                return static_cast<size_t>(p - text);
        for (;; p += 8) {
            const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
            if (const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_setzero_si128())); mask != 0)
                return static_cast<size_t>(p - text) + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(mask))) / 2;
        }
    }
#endif
    while (*p != 0)
        ++p;
    return static_cast<size_t>(p - text);
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
