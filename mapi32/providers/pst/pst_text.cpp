#include "pst_text.h"

#include <iconv.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <vector>

namespace dravik::mapi32::pst_text {
namespace {

// iconv's name for a Windows code page identifier.
std::string IconvName(uint32_t codePage)
{
    switch (codePage) {
    case 65001: return "UTF-8";
    case 1200: return "UTF-16LE";
    case 1201: return "UTF-16BE";
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 932: return "CP932";
    case 936: return "CP936";
    case 949: return "CP949";
    case 950: return "CP950";
    case 50220: case 50221: case 50222: return "ISO-2022-JP";
    case 50225: return "ISO-2022-KR";
    case 51932: return "EUC-JP";
    case 51936: return "EUC-CN";
    case 51949: return "EUC-KR";
    case 52936: return "HZ-GB-2312";
    case 54936: return "GB18030";
    case 10000: return "MACINTOSH";
    default: break;
    }
    if (codePage >= 28591 && codePage <= 28606)
        return "ISO-8859-" + std::to_string(codePage - 28590);
    return "CP" + std::to_string(codePage);
}

// One converter per code page, opened once; iconv_t is not shareable between
// concurrent calls, so every use is under the lock.
struct Converters
{
    std::mutex lock;
    std::map<uint32_t, iconv_t> open;  // (iconv_t)-1 for code pages iconv does not know

    iconv_t Get(uint32_t codePage)
    {
        auto it = open.find(codePage);
        if (it != open.end())
            return it->second;
        iconv_t cd = iconv_open("UTF-16LE", IconvName(codePage).c_str());
        open.emplace(codePage, cd);
        return cd;
    }
    ~Converters()
    {
        for (auto& [cp, cd] : open)
            if (cd != reinterpret_cast<iconv_t>(-1))
                iconv_close(cd);
    }
};

Converters& TheConverters()
{
    static Converters c;
    return c;
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

bool IsSupportedCodePage(uint32_t codePage)
{
    Converters& c = TheConverters();
    std::lock_guard guard(c.lock);
    return c.Get(codePage) != reinterpret_cast<iconv_t>(-1);
}

std::u16string Decode(std::span<const uint8_t> bytes, uint32_t codePage)
{
    size_t n = 0;
    while (n < bytes.size() && bytes[n] != 0)
        ++n;
    bytes = bytes.first(n);
    std::u16string out;
    if (bytes.empty())
        return out;
    Converters& c = TheConverters();
    std::lock_guard guard(c.lock);
    iconv_t cd = c.Get(codePage);
    if (cd == reinterpret_cast<iconv_t>(-1))
        cd = c.Get(kDefaultCodePage);
    if (cd == reinterpret_cast<iconv_t>(-1)) {  // no iconv at all: Latin-1
        for (uint8_t b : bytes)
            out += static_cast<char16_t>(b);
        return out;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // initial shift state
    std::vector<char> buffer(bytes.size() * 4 + 16);
    char* in = reinterpret_cast<char*>(const_cast<uint8_t*>(bytes.data()));
    size_t inLeft = bytes.size();
    while (inLeft > 0) {
        char* o = buffer.data();
        size_t oLeft = buffer.size();
        const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        const size_t produced = buffer.size() - oLeft;
        for (size_t i = 0; i + 1 < produced; i += 2)
            out += static_cast<char16_t>(static_cast<uint8_t>(buffer[i]) | (static_cast<uint8_t>(buffer[i + 1]) << 8));
        if (r != static_cast<size_t>(-1)) {
            // Stateful code pages (1255, 1258) hold back a character that might combine with the next.
            o = buffer.data();
            oLeft = buffer.size();
            iconv(cd, nullptr, nullptr, &o, &oLeft);
            const size_t flushed = buffer.size() - oLeft;
            for (size_t i = 0; i + 1 < flushed; i += 2)
                out += static_cast<char16_t>(static_cast<uint8_t>(buffer[i]) |
                                             (static_cast<uint8_t>(buffer[i + 1]) << 8));
            break;
        }
        if (errno == E2BIG)
            continue;
        // An invalid or incomplete sequence: one replacement character for its first byte.
        out += u'\uFFFD';
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

std::string ToUtf8(std::u16string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size() && s[i] != 0; ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string FromUtf8(std::string_view s)
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

std::u16string FromUtf16Le(std::span<const uint8_t> bytes)
{
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (c == 0)
            break;
        out += c;
    }
    return out;
}

} // namespace dravik::mapi32::pst_text
