// Description of a store's content, in code, for StoreWriter.
//
// Values are kept in the byte form a property context stores them in (little-endian,
// strings in UTF-16LE without terminator for PT_UNICODE), so every property type, known or
// not, can be described; the factory functions build the common ones.
#pragma once

#include "pst/ndb/encoding.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace dravik::pst::writer {

// Property types (low 16 bits of a tag).
enum : uint16_t {
    kPtI2 = 0x0002, kPtLong = 0x0003, kPtR4 = 0x0004, kPtDouble = 0x0005,
    kPtCurrency = 0x0006, kPtAppTime = 0x0007, kPtError = 0x000A, kPtBoolean = 0x000B,
    kPtObject = 0x000D, kPtI8 = 0x0014, kPtString8 = 0x001E, kPtUnicode = 0x001F,
    kPtSysTime = 0x0040, kPtClsid = 0x0048, kPtBinary = 0x0102, kPtMvFlag = 0x1000,
};

struct Guid {
    std::array<uint8_t, 16> bytes{};  // as stored: Data1, Data2, Data3 little-endian, then Data4
    // From the text form "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"; throws std::invalid_argument.
    static Guid parse(std::string_view text);
    bool operator==(const Guid&) const = default;
};

extern const Guid kPsMapi;           // {00020328-0000-0000-C000-000000000046}
extern const Guid kPsPublicStrings;  // {00020329-0000-0000-C000-000000000046}

// One property value: its type and its stored bytes.
struct PropValue {
    uint16_t type = 0;
    std::vector<uint8_t> bytes;

    static PropValue i2(int16_t v);
    static PropValue i4(int32_t v);
    static PropValue r4(float v);
    static PropValue r8(double v);
    static PropValue currency(int64_t v);  // in units of 1/10000
    static PropValue i8(int64_t v);
    static PropValue boolean(bool v);
    static PropValue error(uint32_t scode);
    static PropValue unicode(std::string_view utf8);
    static PropValue string8(std::string_view bytes);
    static PropValue binary(std::vector<uint8_t> bytes);
    static PropValue systime(uint64_t filetime);
    static PropValue clsid(const Guid& g);
    static PropValue mvLong(const std::vector<int32_t>& v);
    static PropValue mvUnicode(const std::vector<std::string>& utf8);
    static PropValue mvBinary(const std::vector<std::vector<uint8_t>>& v);
    // Any type, given its stored bytes (unknown types, odd values).
    static PropValue raw(uint16_t type, std::vector<uint8_t> bytes);
};

// A named property: a property set and either a numeric (LID) or a string name.
struct NamedProp {
    Guid guid;
    std::variant<uint32_t, std::string> name;  // numeric LID or UTF-8 string name
    bool operator==(const NamedProp&) const = default;
};

// A property ID (below 0x8000) or a named property, which the writer maps to an ID.
using PropKey = std::variant<uint16_t, NamedProp>;

class PropertyBag {
public:
    // Sets (or replaces) the value for a tag; the type comes from the tag's low 16 bits
    // unless the value is of another type (the value's type wins).
    PropertyBag& set(uint32_t tag, PropValue v);
    PropertyBag& set(const NamedProp& name, PropValue v);
    const PropValue* find(uint16_t id) const;
    const std::vector<std::pair<PropKey, PropValue>>& items() const { return items_; }

private:
    std::vector<std::pair<PropKey, PropValue>> items_;
};

struct Message;

struct Recipient {
    PropertyBag props;  // PR_DISPLAY_NAME, PR_EMAIL_ADDRESS, PR_ADDRTYPE, PR_RECIPIENT_TYPE, ...
};

struct Attachment {
    PropertyBag props;                  // file names, PR_ATTACH_METHOD, ...
    std::vector<uint8_t> data;          // PR_ATTACH_DATA_BIN (by value)
    std::shared_ptr<Message> embedded;  // set: an embedded message (ATTACH_EMBEDDED_MSG)
    std::vector<uint8_t> oleObject;     // set: an OLE object's compound file (ATTACH_OLE)
};

struct Message {
    PropertyBag props;  // PR_MESSAGE_CLASS, PR_SUBJECT, PR_BODY, ...
    std::vector<Recipient> recipients;
    std::vector<Attachment> attachments;
};

struct Folder {
    std::string displayName;     // PR_DISPLAY_NAME, unless props hold one (an 8-bit name)
    std::string containerClass;  // PR_CONTAINER_CLASS, empty for none
    PropertyBag props;           // further folder properties
    std::vector<Folder> folders;
    std::vector<Message> messages;
    std::vector<Message> associated;  // folder-associated information
};

// Block encoding of the store: None, Permute or Cyclic.
using Encoding = ::dravik::pst::CryptMethod;

enum class StoreFormat : uint8_t {
    Unicode,  // wVer 23: 64-bit BIDs and offsets
    Ansi,     // wVer 14: 32-bit, at most 2 GiB; strings are written as PT_STRING8
};

struct StoreOptions {
    StoreFormat format = StoreFormat::Unicode;
    std::string displayName = "Personal Folders";
    std::string password;          // empty: none
    Encoding encoding = Encoding::None;
    uint64_t dataStartOffset = 0;  // place the store's data at or after this file offset
                                   // (leaves a hole: a sparse file)
    std::array<uint8_t, 16> recordKey{0x5A, 0x7E, 0x11, 0xD4, 0x89, 0x02, 0x4C, 0x3B,
                                      0xA0, 0x17, 0x62, 0xC5, 0x3E, 0x9F, 0x08, 0xB1};
};

struct StoreDescription {
    StoreOptions options;
    PropertyBag storeProps;  // further message store properties (named ones too)
    Folder ipmSubtree;       // "Top of Personal Folders": its folders and messages
};

}  // namespace dravik::pst::writer
