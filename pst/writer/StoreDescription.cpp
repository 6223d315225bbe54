#include "StoreDescription.h"
#include "StoreWriter.h"

#include <cstring>
#include <stdexcept>

namespace dravik::pst::writer {

namespace {
void putLe(std::vector<uint8_t>& out, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

Guid Guid::parse(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        throw std::invalid_argument("GUID text: expected 8-4-4-4-12 hex digits, got \"" + std::string(text) + "\"");
    uint8_t raw[16];
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '-') continue;
        int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) throw std::invalid_argument("GUID text: not a hex digit in \"" + std::string(text) + "\"");
        raw[n++] = static_cast<uint8_t>(hi * 16 + lo);
        ++i;
    }
    Guid g;
    // Data1, Data2, Data3 are stored little-endian.
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) g.bytes[i] = raw[order[i]];
    return g;
}

const Guid kPsMapi = Guid::parse("00020328-0000-0000-C000-000000000046");
const Guid kPsPublicStrings = Guid::parse("00020329-0000-0000-C000-000000000046");

std::vector<uint8_t> utf16le(std::string_view s) {
    std::vector<uint8_t> out;
    out.reserve(s.size() * 2);
    for (size_t i = 0; i < s.size();) {
        uint32_t c = static_cast<uint8_t>(s[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + extra >= s.size()) {  // invalid or truncated sequence: U+FFFD
            putLe(out, 0xFFFD, 2);
            ++i;
            continue;
        }
        if (extra > 0) {
            c &= (0x3F >> extra);
            for (int k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
        }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            putLe(out, 0xD800 + (c >> 10), 2);
            putLe(out, 0xDC00 + (c & 0x3FF), 2);
        } else {
            putLe(out, c, 2);
        }
    }
    return out;
}

PropValue PropValue::i2(int16_t v) { PropValue p{kPtI2, {}}; putLe(p.bytes, static_cast<uint16_t>(v), 2); return p; }
PropValue PropValue::i4(int32_t v) { PropValue p{kPtLong, {}}; putLe(p.bytes, static_cast<uint32_t>(v), 4); return p; }
PropValue PropValue::r4(float v) { uint32_t b; std::memcpy(&b, &v, 4); PropValue p{kPtR4, {}}; putLe(p.bytes, b, 4); return p; }
PropValue PropValue::r8(double v) { uint64_t b; std::memcpy(&b, &v, 8); PropValue p{kPtDouble, {}}; putLe(p.bytes, b, 8); return p; }
PropValue PropValue::currency(int64_t v) { PropValue p{kPtCurrency, {}}; putLe(p.bytes, static_cast<uint64_t>(v), 8); return p; }
PropValue PropValue::i8(int64_t v) { PropValue p{kPtI8, {}}; putLe(p.bytes, static_cast<uint64_t>(v), 8); return p; }
PropValue PropValue::boolean(bool v) { return {kPtBoolean, {static_cast<uint8_t>(v ? 1 : 0)}}; }  // one byte, as stores keep it
PropValue PropValue::error(uint32_t scode) { PropValue p{kPtError, {}}; putLe(p.bytes, scode, 4); return p; }
PropValue PropValue::unicode(std::string_view utf8) { return {kPtUnicode, utf16le(utf8)}; }
PropValue PropValue::string8(std::string_view b) { return {kPtString8, std::vector<uint8_t>(b.begin(), b.end())}; }
PropValue PropValue::binary(std::vector<uint8_t> b) { return {kPtBinary, std::move(b)}; }
PropValue PropValue::systime(uint64_t ft) { PropValue p{kPtSysTime, {}}; putLe(p.bytes, ft, 8); return p; }
PropValue PropValue::clsid(const Guid& g) { return {kPtClsid, std::vector<uint8_t>(g.bytes.begin(), g.bytes.end())}; }
PropValue PropValue::mvLong(const std::vector<int32_t>& v) {
    PropValue p{static_cast<uint16_t>(kPtMvFlag | kPtLong), {}};
    for (int32_t x : v) putLe(p.bytes, static_cast<uint32_t>(x), 4);
    return p;
}
namespace {
PropValue mvVariable(uint16_t type, const std::vector<std::vector<uint8_t>>& items) {
    // ulCount, rgulDataOffsets[ulCount], then the values one after another.
    PropValue p{type, {}};
    putLe(p.bytes, items.size(), 4);
    uint64_t off = 4 + 4 * items.size();
    for (const auto& it : items) { putLe(p.bytes, off, 4); off += it.size(); }
    for (const auto& it : items) p.bytes.insert(p.bytes.end(), it.begin(), it.end());
    return p;
}
}  // namespace
PropValue PropValue::mvUnicode(const std::vector<std::string>& v) {
    std::vector<std::vector<uint8_t>> items;
    for (const auto& s : v) items.push_back(utf16le(s));
    return mvVariable(kPtMvFlag | kPtUnicode, items);
}
PropValue PropValue::mvBinary(const std::vector<std::vector<uint8_t>>& v) { return mvVariable(kPtMvFlag | kPtBinary, v); }
PropValue PropValue::raw(uint16_t type, std::vector<uint8_t> b) { return {type, std::move(b)}; }

PropertyBag& PropertyBag::set(uint32_t tag, PropValue v) {
    if (v.type == 0) v.type = static_cast<uint16_t>(tag & 0xFFFF);
    const uint16_t id = static_cast<uint16_t>(tag >> 16);
    for (auto& [k, val] : items_)
        if (std::holds_alternative<uint16_t>(k) && std::get<uint16_t>(k) == id) { val = std::move(v); return *this; }
    items_.emplace_back(id, std::move(v));
    return *this;
}

PropertyBag& PropertyBag::set(const NamedProp& name, PropValue v) {
    for (auto& [k, val] : items_)
        if (std::holds_alternative<NamedProp>(k) && std::get<NamedProp>(k) == name) { val = std::move(v); return *this; }
    items_.emplace_back(name, std::move(v));
    return *this;
}

const PropValue* PropertyBag::find(uint16_t id) const {
    for (const auto& [k, val] : items_)
        if (std::holds_alternative<uint16_t>(k) && std::get<uint16_t>(k) == id) return &val;
    return nullptr;
}

}  // namespace dravik::pst::writer
