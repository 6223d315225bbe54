// The property values of the store provider's objects: built from the file's
// values with strings held as UTF-16, handed out as IMAPIProp::GetProps and
// GetPropList do, with or without MAPI_UNICODE.
#pragma once

#include "pst_codepage.h"
#include "pst_text.h"

#include "mapi32/mapidefs.h"
#include "mapi32/mapiutil.h"
#include "mapi32/utf.h"

#include "pst/ltp/ltp.h"

#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dravik::mapi32::pst_provider {

// Values larger than this are not delivered by GetProps (PT_ERROR MAPI_E_NOT_ENOUGH_MEMORY);
// OpenProperty delivers them whole.
constexpr uint64_t kMaxInlineValue = 0x8000;

constexpr uint16_t kIdSubject = 0x0037;
constexpr uint16_t kIdMessageFlags = 0x0E07;
constexpr uint16_t kIdAttachData = 0x3701;
constexpr ULONG kMsgFlagRead = 0x01;            // MSGFLAG_READ
constexpr ULONG kMsgFlagHasAttach = 0x10;       // MSGFLAG_HASATTACH
constexpr ULONG kFolderRoot = 0;                // FOLDER_ROOT

// MS-PST 2.4.3.2: the folders every PST holds, by NID (an OST names them otherwise).
constexpr uint32_t kNidIpmSubtree = 0x8022;
constexpr uint32_t kNidSearchRoot = 0x8042;
constexpr uint32_t kNidDeletedItems = 0x8062;

// PT_STRING8 or PT_UNICODE, single or multi-valued.
bool IsStringType(ULONG type);

// Stores may keep PR_SUBJECT with a marker in front: the character 0x01 and a
// character holding the length of the subject's prefix ("RE: "). MAPI clients
// get the subject without those two characters.
void StripSubjectMarker(uint16_t id, std::u16string& text);

// Memory that stays where it is until its owner goes: chunks, each larger
// than the last, from which values are carved. Moving it moves the chunks'
// ownership, not the chunks.
class ValueArena
{
public:
    // n bytes, aligned for any value.
    void* Alloc(size_t n);
    // Forgets everything handed out, keeping the first chunk carved from
    // (the others are freed): an arena filled again and again, a table row
    // after another, allocates nothing once its first chunk holds a row.
    void Reset();

private:
    std::vector<std::unique_ptr<std::max_align_t[]>> m_chunks;
    char* m_pos = nullptr;
    size_t m_left = 0;
    size_t m_firstShared = SIZE_MAX;  // index in m_chunks of the first chunk carved from
    size_t m_firstSize = 0;
};

// SPropValues over storage this builder owns, every string as PT_UNICODE. An
// object takes the builder whole (PropertySet), storage and all; a table row is
// handed out while its builder lives. Moving keeps every pointer valid (the
// storage lives in the arena's chunks, which do not move); copying would not, so
// a builder cannot be copied. A value is copied once, from the file's bytes
// into the arena.
class ValueBuilder
{
public:
    explicit ValueBuilder(uint32_t codePage = pst_text::kDefaultCodePage) : m_codePage(codePage) {}
    // Empty again, for values of that code page; the memory stays for the next ones.
    void Reset(uint32_t codePage)
    {
        values.clear();
        m_codePage = codePage;
        m_arena.Reset();
    }
    ValueBuilder(ValueBuilder&&) = default;
    ValueBuilder& operator=(ValueBuilder&&) = default;
    ValueBuilder(const ValueBuilder&) = delete;
    ValueBuilder& operator=(const ValueBuilder&) = delete;

    std::vector<SPropValue> values;

    const SPropValue* find(ULONG id) const
    {
        for (const SPropValue& v : values)
            if (PROP_ID(v.ulPropTag) == id)
                return &v;
        return nullptr;
    }
    bool has(ULONG tag) const { return find(PROP_ID(tag)) != nullptr; }
    // Each value is made in its place in values: a value made aside and
    // copied in would be read whole right after it was written in parts.
    void addLong(ULONG tag, ULONG value)
    {
        SPropValue& v = values.emplace_back();
        v.ulPropTag = tag;
        v.Value.ul = value;
    }
    void addBool(ULONG tag, bool value)
    {
        SPropValue& v = values.emplace_back();
        v.ulPropTag = tag;
        v.Value.b = value ? 1 : 0;
    }
    void addError(ULONG id, SCODE code)
    {
        SPropValue& v = values.emplace_back();
        v.ulPropTag = PROP_TAG(PT_ERROR, id);
        v.Value.err = code;
    }
    void addBinary(ULONG tag, std::span<const uint8_t> bytes)
    {
        LPBYTE kept = keep(bytes);
        SPropValue& v = values.emplace_back();
        v.ulPropTag = tag;
        v.Value.bin.cb = static_cast<ULONG>(bytes.size());
        v.Value.bin.lpb = kept;
    }
    void addString(ULONG id, std::u16string_view text)
    {
        LPWSTR kept = keepText(text);
        SPropValue& v = values.emplace_back();
        v.ulPropTag = PROP_TAG(PT_UNICODE, id);
        v.Value.lpszW = kept;
    }
    // A value as the file holds it; one that cannot be read becomes PT_ERROR.
    void add(const pst::Property& p) { add(p.id, p.type, p.raw); }
    // The same from the value's bytes (which need live only during the call).
    void add(uint16_t id, uint16_t type, std::span<const uint8_t> raw);
    // The values of a property context; large ones and ones that cannot be read
    // become PT_ERROR values, so one bad value fails only itself. Values in the
    // context's heap are copied from it straight into this builder.
    void addContext(const pst::PropertyContext& pc);

private:
    // Copies into the arena: bytes as they are (none: a null pointer), and
    // text with a NUL after it.
    LPBYTE keep(std::span<const uint8_t> bytes);
    LPWSTR keepText(std::u16string_view text);
    // UTF-16LE bytes of the file as text: up to the first NUL unit, an odd
    // trailing byte dropped, PR_SUBJECT's marker removed.
    LPWSTR keepUtf16(uint16_t id, std::span<const uint8_t> raw);
    void addMulti(const pst::Property& p);

    uint32_t m_codePage;
    ValueArena m_arena;
};

// A value with its strings in the form asked for (PT_STRING8 as UTF-8 or
// PT_UNICODE); the converted text lives in this object.
class StringForms
{
public:
    SPropValue In(const SPropValue& v, ULONG stringType);
    // Forgets the converted texts, keeping memory for the next ones.
    void Reset() { m_arena.Reset(); }

private:
    // Values held are PT_UNICODE; only the narrow form is ever made from them.
    LPSTR narrow(LPCWSTR text);
    ValueArena m_arena;
};

// Frees a MAPI buffer.
struct MapiFree
{
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};

// The values of one object, strings held as PT_UNICODE, handed out as IMAPIProp does.
class PropertySet
{
public:
    // Takes the values a builder made, with the storage they point into.
    explicit PropertySet(ValueBuilder&& built);
    const SPropValue* Find(ULONG id) const
    {
        const SPropValue* values = Values();
        for (ULONG i = 0; i < Count(); ++i)
            if (PROP_ID(values[i].ulPropTag) == id)
                return &values[i];
        return nullptr;
    }
    HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) const;
    HRESULT GetPropList(ULONG flags, LPSPropTagArray* out) const;

private:
    const SPropValue* Values() const { return m_built->values.data(); }
    ULONG Count() const { return static_cast<ULONG>(m_built->values.size()); }

    std::unique_ptr<ValueBuilder> m_built;
};

} // namespace dravik::mapi32::pst_provider
