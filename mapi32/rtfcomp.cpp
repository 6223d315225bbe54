#include "mapi32/rtfcomp.h"

#include "pst/ndb/crc.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace dravik::mapi32::rtfcomp {

namespace {

// The dictionary's first 207 bytes before any data is read (MS-OXRTFCP 2.1.2.1).
constexpr char kPreload[] =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern \\fscript "
    "\\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0\\blue0\r\n"
    "\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
constexpr size_t kPreloadSize = sizeof(kPreload) - 1;
static_assert(kPreloadSize == 207);
constexpr size_t kDictSize = 4096;
constexpr size_t kMaxMatch = 17;  // 4 bits of length, plus 2

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

std::string Hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

Result Fail(Fault fault, std::string what)
{
    return Result{fault, "compressed RTF: " + std::move(what)};
}

std::vector<uint8_t> WithHeader(std::span<const uint8_t> data, uint32_t rawSize, uint32_t type, uint32_t crc)
{
    std::vector<uint8_t> out(kHeaderSize + data.size());
    PutLe32(&out[0], uint32_t(data.size() + 12));
    PutLe32(&out[4], rawSize);
    PutLe32(&out[8], type);
    PutLe32(&out[12], crc);
    if (!data.empty())
        std::memcpy(&out[kHeaderSize], data.data(), data.size());
    return out;
}

} // namespace

uint32_t Crc(std::span<const uint8_t> data)
{
    return pst::computeCrc(data, 0);
}

const char* FaultName(Fault fault)
{
    switch (fault) {
    case Fault::None: return "none";
    case Fault::TooShort: return "too short";
    case Fault::BadSize: return "bad size";
    case Fault::UnknownType: return "unknown type";
    case Fault::BadCrc: return "bad CRC";
    case Fault::BadReference: return "reference outside the dictionary";
    case Fault::Truncated: return "truncated";
    case Fault::WrongLength: return "wrong length";
    }
    return "?";
}

Result ReadHeader(std::span<const uint8_t> stream, Header& header)
{
    if (stream.size() < kHeaderSize)
        return Fail(Fault::TooShort, "header needs 16 bytes, the value holds " + std::to_string(stream.size()));
    header.compSize = Le32(&stream[0]);
    header.rawSize = Le32(&stream[4]);
    header.compType = Le32(&stream[8]);
    header.crc = Le32(&stream[12]);
    return {};
}

Result Decompress(std::span<const uint8_t> stream, std::vector<uint8_t>& rtf, bool checkCrc)
{
    rtf.clear();
    Header h;
    if (Result r = ReadHeader(stream, h); !r)
        return r;
    // COMPSIZE counts the bytes after itself. Writers may leave bytes after the
    // stream in the value (a padded buffer), never fewer than it declares.
    const uint64_t declared = uint64_t(h.compSize) + 4;
    if (declared < kHeaderSize || declared > stream.size())
        return Fail(Fault::BadSize, "COMPSIZE " + std::to_string(h.compSize) + " at offset 0 needs " +
                                        std::to_string(declared) + " bytes, the value holds " +
                                        std::to_string(stream.size()));
    const std::span<const uint8_t> data = stream.subspan(kHeaderSize, size_t(declared - kHeaderSize));

    if (h.compType == kUncompressed) {
        if (h.rawSize > data.size())
            return Fail(Fault::BadSize, "RAWSIZE " + std::to_string(h.rawSize) + " of an uncompressed stream, only " +
                                            std::to_string(data.size()) + " bytes follow the header");
        rtf.assign(data.begin(), data.begin() + h.rawSize);
        return {};
    }
    if (h.compType != kCompressed)
        return Fail(Fault::UnknownType, "COMPTYPE " + Hex(h.compType) + " at offset 8, expected " + Hex(kCompressed) +
                                            " (LZFu) or " + Hex(kUncompressed) + " (MELA)");
    if (checkCrc) {
        const uint32_t crc = Crc(data);
        if (crc != h.crc)
            return Fail(Fault::BadCrc, "CRC " + Hex(h.crc) + " in the header, the data's is " + Hex(crc));
    }

    // The output, preceded by the preload, is the dictionary: a reference to
    // dictionary offset o from write position w copies from (w - o) mod 4096
    // bytes back. Each control byte's eight bits, lowest first, say whether a
    // literal byte (0) or a 2-byte big-endian reference follows: 12 bits of
    // offset, 4 bits of length - 2. A reference to the write position ends it.
    // Each input byte yields at most 17/2 output bytes, so a buffer of
    // min(RAWSIZE, 9 * input) never trusts a size the data cannot back.
    // The buffer is sized once; w is the write position in it (preload included).
    const size_t cap = kPreloadSize + size_t(std::min<uint64_t>(h.rawSize, uint64_t(data.size()) * 9));
    std::vector<uint8_t> buf(cap);
    std::memcpy(buf.data(), kPreload, kPreloadSize);
    uint8_t* const out = buf.data();
    size_t w = kPreloadSize;
    const uint64_t limit = uint64_t(h.rawSize) + kPreloadSize;
    const uint8_t* const src = data.data();
    size_t in = 0;
    const size_t n = data.size();
    bool ended = false;
    auto tooLong = [&](size_t at) {
        return Fail(Fault::WrongLength,
                    "more RTF than RAWSIZE " + std::to_string(h.rawSize) + " at input offset " + std::to_string(at));
    };
    while (!ended && in < n) {
        const unsigned control = src[in++];
        for (int bit = 0; bit < 8; ++bit) {
            if (in >= n)
                break;
            if (!(control & (1u << bit))) {
                if (w >= limit || w >= cap)
                    return tooLong(kHeaderSize + in);
                out[w++] = src[in++];
                continue;
            }
            if (n - in < 2)
                return Fail(Fault::Truncated, "reference at input offset " + std::to_string(kHeaderSize + in) +
                                                  " cut off by the end of the data");
            const unsigned ref = unsigned(src[in]) << 8 | src[in + 1];
            const size_t at = kHeaderSize + in;
            in += 2;
            const size_t offset = ref >> 4;
            const size_t length = (ref & 0xF) + 2;
            const size_t write = w % kDictSize;
            if (offset == write) {
                ended = true;
                break;
            }
            const size_t back = (write + kDictSize - offset) % kDictSize;
            if (back > w)
                return Fail(Fault::BadReference, "reference at input offset " + std::to_string(at) +
                                                     " to dictionary offset " + std::to_string(offset) +
                                                     ", which nothing has been written to yet (write position " +
                                                     std::to_string(write) + ")");
            if (w + length > limit || w + length > cap)
                return tooLong(at);
            const uint8_t* from = out + (w - back);
            if (back >= length) {
                std::memcpy(out + w, from, length);
            } else {
                for (size_t i = 0; i < length; ++i)  // overlaps what it writes: byte by byte
                    out[w + i] = from[i];
            }
            w += length;
        }
    }
    if (!ended)
        return Fail(Fault::Truncated, "data ends at input offset " + std::to_string(kHeaderSize + n) +
                                          " without its end marker");
    if (w != limit)
        return Fail(Fault::WrongLength, "RAWSIZE " + std::to_string(h.rawSize) + ", the data holds " +
                                            std::to_string(w - kPreloadSize) + " bytes of RTF");
    rtf.assign(buf.begin() + kPreloadSize, buf.begin() + w);
    return {};
}

std::vector<uint8_t> StoreUncompressed(std::span<const uint8_t> rtf)
{
    return WithHeader(rtf, uint32_t(rtf.size()), kUncompressed, 0);
}

std::vector<uint8_t> Compress(std::span<const uint8_t> rtf)
{
    // Greedy longest match over the last 4095 bytes of preload + input, found
    // through hash chains of 2-byte prefixes. Matches may run into the bytes
    // they produce, as the decoder copies byte by byte.
    std::vector<uint8_t> buf(kPreload, kPreload + kPreloadSize);
    buf.insert(buf.end(), rtf.begin(), rtf.end());
    const size_t total = buf.size();
    constexpr size_t kHashSize = 1 << 16;
    constexpr int kMaxChain = 64;
    std::vector<int64_t> head(kHashSize, -1);
    std::vector<int64_t> prev(total, -1);
    auto hashAt = [&](size_t i) { return size_t(buf[i]) << 8 | buf[i + 1]; };
    auto insert = [&](size_t i) {
        if (i + 1 < total) {
            const size_t hv = hashAt(i);
            prev[i] = head[hv];
            head[hv] = int64_t(i);
        }
    };
    for (size_t i = 0; i + 1 < kPreloadSize; ++i)
        insert(i);

    std::vector<uint8_t> out;
    out.reserve(rtf.size() + rtf.size() / 8 + 16);
    size_t controlAt = 0;
    int bit = 8;
    auto nextSlot = [&](bool isRef) {
        if (bit == 8) {
            controlAt = out.size();
            out.push_back(0);
            bit = 0;
        }
        if (isRef)
            out[controlAt] |= uint8_t(1u << bit);
        ++bit;
    };

    size_t pos = kPreloadSize;
    while (pos < total) {
        size_t bestLen = 0, bestFrom = 0;
        if (pos + 1 < total) {
            const size_t maxLen = std::min(kMaxMatch, total - pos);
            int chain = kMaxChain;
            for (int64_t c = head[hashAt(pos)]; c >= 0 && chain-- > 0; c = prev[size_t(c)]) {
                const size_t cand = size_t(c);
                if (pos - cand >= kDictSize)  // distance 4096 would name the write position
                    break;
                size_t len = 0;
                while (len < maxLen && buf[cand + len] == buf[pos + len])
                    ++len;
                if (len > bestLen) {
                    bestLen = len;
                    bestFrom = cand;
                    if (len == maxLen)
                        break;
                }
            }
        }
        if (bestLen >= 2) {
            nextSlot(true);
            const unsigned ref = unsigned(bestFrom % kDictSize) << 4 | unsigned(bestLen - 2);
            out.push_back(uint8_t(ref >> 8));
            out.push_back(uint8_t(ref));
            for (size_t i = 0; i < bestLen; ++i)
                insert(pos + i);
            pos += bestLen;
        } else {
            nextSlot(false);
            out.push_back(buf[pos]);
            insert(pos);
            ++pos;
        }
    }
    // The end marker: a reference to the write position.
    nextSlot(true);
    const unsigned end = unsigned(total % kDictSize) << 4;
    out.push_back(uint8_t(end >> 8));
    out.push_back(uint8_t(end));
    return WithHeader(out, uint32_t(rtf.size()), kCompressed, Crc(out));
}

} // namespace dravik::mapi32::rtfcomp
