#include "props/TextConv.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

size_t Utf8Length(char32_t cp)
{
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

} // namespace

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        const char bytes[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 2);
    } else if (cp < 0x10000) {
        const char bytes[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                               static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 3);
    } else {
        const char bytes[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                               static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 4);
    }
}

char32_t NextWideChar(std::u16string_view text, size_t& i)
{
    const char32_t cp = text[i++];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF)
            return 0x10000 + ((cp - 0xD800) << 10) + (text[i++] - 0xDC00);
        return static_cast<unsigned char>(kDefaultChar);
    }
    if (cp >= 0xDC00 && cp <= 0xDFFF)
        return static_cast<unsigned char>(kDefaultChar);
    return cp;
}

void AppendWideToNarrow(std::string& out, std::u16string_view text, size_t cbMax)
{
    const size_t start = out.size();
    // A run of ASCII, the common case, in one step: a byte a unit.
    size_t i = 0;
    const size_t cAscii = std::min(text.size(), cbMax);
#if defined(__SSE2__)
    // Eight units at a time where the machine can.
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
    while (i + 8 <= cAscii) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, high), _mm_setzero_si128())) != 0xFFFF)
            break;
        i += 8;
    }
#endif
    while (i < cAscii && text[i] < 0x80)
        ++i;
    out.resize(start + i);
    char* p = out.data() + start;
    for (size_t k = 0; k < i; ++k)
        p[k] = static_cast<char>(text[k]);
    while (i < text.size()) {
        const char32_t cp = NextWideChar(text, i);
        if (cbMax != std::string::npos && out.size() - start + Utf8Length(cp) > cbMax)
            break;
        AppendUtf8(out, cp);
    }
}

std::string WideToNarrow(std::u16string_view text, size_t cbMax)
{
    std::string out;
    AppendWideToNarrow(out, text, cbMax);
    return out;
}

std::string WideToNarrow(const char16_t* pwsz, size_t cbMax)
{
    if (!pwsz)
        return std::string();
    return WideToNarrow(std::u16string_view(pwsz), cbMax);
}

size_t Utf8CutLength(std::string_view text, size_t cbMax)
{
    if (text.size() <= cbMax)
        return text.size();
    // The byte at cbMax is the first one dropped. If it continues a sequence
    // that starts before cbMax, that sequence is dropped whole.
    size_t lead = cbMax;
    for (int back = 0; back < 3 && lead > 0; ++back) {
        if ((static_cast<unsigned char>(text[lead]) & 0xC0) != 0x80)
            break;
        --lead;
    }
    const unsigned char c = static_cast<unsigned char>(text[lead]);
    size_t seqLen = 0;
    if (c >= 0xC0 && c < 0xE0)
        seqLen = 2;
    else if (c >= 0xE0 && c < 0xF0)
        seqLen = 3;
    else if (c >= 0xF0 && c < 0xF8)
        seqLen = 4;
    if (lead < cbMax && seqLen != 0 && lead + seqLen > cbMax)
        return lead;
    return cbMax; // a whole character ends at the limit, or the bytes are not UTF-8
}

std::string CutNarrow(std::string_view text, size_t cbMax)
{
    return std::string(text.substr(0, Utf8CutLength(text, cbMax)));
}
