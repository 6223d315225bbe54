// Property identifiers, types and values as the format library delivers them.
//
// A Property carries its ID, its type (the MS-OXCDATA value, PropType) and its raw bytes as the
// store holds them (little-endian; PT_UNICODE as UTF-16LE, PT_STRING8 as 8-bit bytes in the
// store's code page; multi-valued types in the store's count/offset layout). Fixed-size
// values are delivered at their natural size (PT_BOOLEAN as 1 byte, PT_I2 as 2, ...).
// Types the library does not know keep their raw bytes and their type.
//   if (auto v = prop.int64()) ...;  std::string s = prop.utf8();  auto items = prop.multiValues();
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dravik::pst {

enum class PropType : uint16_t {
    Unspecified = 0x0000,
    Null = 0x0001,
    Int16 = 0x0002,       // PT_I2
    Int32 = 0x0003,       // PT_LONG
    Float = 0x0004,       // PT_R4
    Double = 0x0005,      // PT_DOUBLE
    Currency = 0x0006,    // PT_CURRENCY
    AppTime = 0x0007,     // PT_APPTIME
    Error = 0x000A,       // PT_ERROR
    Boolean = 0x000B,     // PT_BOOLEAN
    Object = 0x000D,      // PT_OBJECT
    Int64 = 0x0014,       // PT_I8
    String8 = 0x001E,     // PT_STRING8
    Unicode = 0x001F,     // PT_UNICODE
    SysTime = 0x0040,     // PT_SYSTIME
    Guid = 0x0048,        // PT_CLSID
    ServerId = 0x00FB,    // PT_SVREID
    Restriction = 0x00FD, // PT_SRESTRICT
    RuleAction = 0x00FE,  // PT_ACTIONS
    Binary = 0x0102,      // PT_BINARY
    MultiValued = 0x1000, // MV_FLAG
};

constexpr uint16_t kMvFlag = 0x1000;

constexpr uint32_t propTag(uint16_t id, uint16_t type) { return (static_cast<uint32_t>(id) << 16) | type; }

// Size of a fixed-size type's value, 0 for variable-size and unknown types.
// Inline: every cell of every table row read asks it.
constexpr unsigned fixedTypeSize(uint16_t type) {
    switch (static_cast<PropType>(type)) {
    case PropType::Int16: return 2;
    case PropType::Int32:
    case PropType::Float:
    case PropType::Error: return 4;
    case PropType::Boolean: return 1;
    case PropType::Double:
    case PropType::Currency:
    case PropType::AppTime:
    case PropType::Int64:
    case PropType::SysTime: return 8;
    case PropType::Guid: return 16;
    default: return 0;
    }
}
bool isKnownType(uint16_t type);
// A type a store's property context may hold: a known type other than PT_UNSPECIFIED and PT_NULL.
bool isStoredType(uint16_t type);
// Strings, binary, multi-valued, object, and unknown types.
constexpr bool isVariableType(uint16_t type) { return fixedTypeSize(type) == 0; }

// An integer-like value (I2, LONG, I8, BOOLEAN, ERROR, CURRENCY, SYSTIME) from its raw bytes;
// nullopt for other types or too few bytes.
std::optional<int64_t> int64Value(uint16_t type, std::span<const uint8_t> raw);

struct Property {
    uint16_t id = 0;
    uint16_t type = 0;
    std::vector<uint8_t> raw;

    uint32_t tag() const { return propTag(id, type); }
    // Integer-like values (I2, LONG, I8, BOOLEAN, ERROR, CURRENCY, SYSTIME); nullopt otherwise.
    std::optional<int64_t> int64() const { return int64Value(type, raw); }
    std::optional<double> real() const;  // R4, DOUBLE, APPTIME
    // PT_UNICODE converted to UTF-8; PT_STRING8 bytes as they are (nothing else).
    std::string utf8() const;
    // The elements of a multi-valued value, each as raw bytes. Throws Error (corrupt) on a
    // malformed count/offset table.
    std::vector<std::vector<uint8_t>> multiValues() const;
};

// UTF-16LE bytes to UTF-8 (unpaired surrogates become U+FFFD; stops at a terminating NUL).
std::string utf16ToUtf8(const uint8_t* data, size_t size);

}  // namespace dravik::pst
