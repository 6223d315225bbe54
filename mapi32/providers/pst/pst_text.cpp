#include "pst_text.h"

#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstring>
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



std::u16string FromUtf16Le(std::span<const uint8_t> bytes)
{
    // The host is little-endian like the file: the units are the bytes as they are.
    static_assert(std::endian::native == std::endian::little);
    std::u16string out(bytes.size() / 2, u'\0');
    if (!out.empty())
        std::memcpy(out.data(), bytes.data(), out.size() * 2);
    // The text ends at the first NUL unit, if any.
    if (const size_t nul = out.find(u'\0'); nul != std::u16string::npos)
        out.resize(nul);
    return out;
}

} // namespace dravik::mapi32::pst_text
