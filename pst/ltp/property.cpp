#include "pst/ltp/property.h"

#include "pst/util/error.h"
#include "pst/util/reader.h"

#include <cstring>

namespace dravik::pst {

bool isKnownType(uint16_t type) {
    uint16_t base = type & ~kMvFlag;
    if (type & kMvFlag) {
        return fixedTypeSize(base) > 0 || base == 0x1E || base == 0x1F || base == 0x102;
    }
    return fixedTypeSize(type) > 0 || type == 0x00 || type == 0x01 || type == 0x0D || type == 0x1E ||
           type == 0x1F || type == 0xFB || type == 0xFD || type == 0xFE || type == 0x102;
}

bool isStoredType(uint16_t type) { return (type & ~kMvFlag) > 0x0001 && isKnownType(type); }

std::optional<int64_t> int64Value(uint16_t type, std::span<const uint8_t> raw) {
    auto le = [raw](size_t n) -> std::optional<uint64_t> {
        if (raw.size() < n) return std::nullopt;
        uint64_t v = 0;
        for (size_t i = n; i-- > 0;) v = (v << 8) | raw[i];
        return v;
    };
    switch (static_cast<PropType>(type)) {
    case PropType::Int16: if (auto v = le(2)) return static_cast<int16_t>(*v); break;
    case PropType::Int32:
    case PropType::Error: if (auto v = le(4)) return static_cast<int32_t>(*v); break;
    case PropType::Boolean: if (auto v = le(1)) return *v != 0 ? 1 : 0; break;
    case PropType::Int64:
    case PropType::Currency:
    case PropType::SysTime: if (auto v = le(8)) return static_cast<int64_t>(*v); break;
    default: break;
    }
    return std::nullopt;
}

std::optional<double> Property::real() const {
    if (type == 0x0004 && raw.size() >= 4) {
        uint32_t u = LeReader::u32At(raw, 0);
        float f;
        std::memcpy(&f, &u, 4);
        return f;
    }
    if ((type == 0x0005 || type == 0x0007) && raw.size() >= 8) {
        uint64_t u = LeReader::u64At(raw, 0);
        double d;
        std::memcpy(&d, &u, 8);
        return d;
    }
    return std::nullopt;
}

std::string utf16ToUtf8(const uint8_t* data, size_t size) {
    std::string out;
    out.reserve(size / 2);
    auto put = [&out](uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    };
    for (size_t i = 0; i + 1 < size; i += 2) {
        uint32_t u = data[i] | (data[i + 1] << 8);
        if (u == 0) break;
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < size) {
            uint32_t lo = data[i + 2] | (data[i + 3] << 8);
            if (lo >= 0xDC00 && lo < 0xE000) {
                put(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (u >= 0xD800 && u < 0xE000) u = 0xFFFD;
        put(u);
    }
    return out;
}

std::string Property::utf8() const {
    if (type == 0x001F) return utf16ToUtf8(raw.data(), raw.size());
    if (type == 0x001E) {
        std::string s(raw.begin(), raw.end());
        auto nul = s.find('\0');
        if (nul != std::string::npos) s.resize(nul);
        return s;
    }
    return {};
}

std::vector<std::vector<uint8_t>> Property::multiValues() const {
    std::vector<std::vector<uint8_t>> out;
    if (!(type & kMvFlag)) return out;
    uint16_t base = type & ~kMvFlag;
    if (unsigned n = fixedTypeSize(base)) {
        if (raw.size() % n != 0)
            throw Error::corrupt("multi-valued property size", Where{}, raw.size() / n * n, raw.size());
        for (size_t i = 0; i < raw.size(); i += n) out.emplace_back(raw.begin() + i, raw.begin() + i + n);
        return out;
    }
    if (raw.empty()) return out;
    LeReader r(raw, "multi-valued property");
    uint32_t count = r.u32("ulCount");
    if (count > (raw.size() - 4) / 4) throw Error::corrupt("multi-valued ulCount", Where{}, (raw.size() - 4) / 4, count);
    std::vector<uint32_t> offs(count);
    for (auto& o : offs) o = r.u32("rgulDataOffsets");
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t start = offs[i];
        uint32_t end = i + 1 < count ? offs[i + 1] : static_cast<uint32_t>(raw.size());
        if (start < 4 + 4 * count || start > end || end > raw.size())
            throw Error::corrupt("multi-valued rgulDataOffsets", Where::at(4 + 4 * i), end, start);
        out.emplace_back(raw.begin() + start, raw.begin() + end);
    }
    return out;
}

}  // namespace dravik::pst
