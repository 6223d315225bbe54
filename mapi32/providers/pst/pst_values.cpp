#include "pst_values.h"

#include "mapi32/mapicode.h"
#include "mapi32/table.h"

#include "pst/util/error.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

namespace dravik::mapi32::pst_provider {

bool IsStringType(ULONG type)
{
    const ULONG base = type & ~MV_FLAG;
    return base == PT_STRING8 || base == PT_UNICODE;
}

void StripSubjectMarker(uint16_t id, std::u16string& text)
{
    if (id == kIdSubject && text.size() >= 2 && text[0] == 0x01)
        text.erase(0, 2);
}

void* ValueArena::Alloc(size_t n)
{
    constexpr size_t kAlign = alignof(std::max_align_t);
    constexpr size_t kFirstChunk = 512;
    constexpr size_t kLargestChunk = 16 * 1024;
    n = (std::max<size_t>(n, 1) + kAlign - 1) & ~(kAlign - 1);
    if (n > m_left) {
        const size_t grown = std::min(kLargestChunk, kFirstChunk << std::min<size_t>(m_chunks.size(), 6));
        if (n > grown / 2) {
            // A large value gets a chunk of its own; the current chunk stays in use.
            m_chunks.push_back(std::make_unique_for_overwrite<std::max_align_t[]>(n / kAlign));  // written at once
            return m_chunks.back().get();
        }
        m_chunks.push_back(std::make_unique_for_overwrite<std::max_align_t[]>(grown / kAlign));
        m_pos = reinterpret_cast<char*>(m_chunks.back().get());
        m_left = grown;
        if (m_firstShared == SIZE_MAX) {
            m_firstShared = m_chunks.size() - 1;
            m_firstSize = grown;
        }
    }
    void* p = m_pos;
    m_pos += n;
    m_left -= n;
    return p;
}

void ValueArena::Reset()
{
    if (m_firstShared >= m_chunks.size()) {  // none carved from (or moved from)
        m_firstShared = SIZE_MAX;
        m_chunks.clear();
        m_pos = nullptr;
        m_left = 0;
        return;
    }
    std::unique_ptr<std::max_align_t[]> first = std::move(m_chunks[m_firstShared]);
    m_chunks.clear();
    m_chunks.push_back(std::move(first));
    m_firstShared = 0;
    m_pos = reinterpret_cast<char*>(m_chunks.front().get());
    m_left = m_firstSize;
}

LPBYTE ValueBuilder::keep(std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return nullptr;  // an empty value points nowhere, as it always has
    auto* p = static_cast<LPBYTE>(m_arena.Alloc(bytes.size()));
    std::memcpy(p, bytes.data(), bytes.size());
    return p;
}

LPWSTR ValueBuilder::keepText(std::u16string_view text)
{
    auto* p = static_cast<LPWSTR>(m_arena.Alloc((text.size() + 1) * sizeof(char16_t)));
    if (!text.empty())
        std::memcpy(p, text.data(), text.size() * sizeof(char16_t));
    p[text.size()] = u'\0';
    return p;
}

LPWSTR ValueBuilder::keepUtf16(uint16_t id, std::span<const uint8_t> raw)
{
    // The host is little-endian like the file: the units are the bytes as they are.
    static_assert(std::endian::native == std::endian::little);
    size_t units = raw.size() / 2;
    auto* p = static_cast<LPWSTR>(m_arena.Alloc((units + 1) * sizeof(char16_t)));
    if (units)
        std::memcpy(p, raw.data(), units * sizeof(char16_t));
    p[units] = u'\0';
    // The text ends at the first NUL unit; a subject's marker (0x01 and its
    // length) is two units before a text that has them both.
    if (id == kIdSubject && units >= 2 && p[0] == 0x01 && p[1] != 0)
        return p + 2;
    return p;
}

void ValueBuilder::add(uint16_t id, uint16_t type, std::span<const uint8_t> raw)
{
    if (type & MV_FLAG) {
        addMulti(pst::Property{id, type, {raw.begin(), raw.end()}});
        return;
    }
    switch (type) {
    case PT_I2: case PT_LONG: case PT_R4: case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME:
    case PT_ERROR: case PT_I8: case PT_SYSTIME: {
        const unsigned size = pst::fixedTypeSize(type);
        if (raw.size() < size) {
            addError(id, MAPI_E_CORRUPT_DATA);
            return;
        }
        SPropValue& v = values.emplace_back();  // made in its place (see addLong)
        v.ulPropTag = pst::propTag(id, type);
        std::memcpy(&v.Value, raw.data(), size);  // little-endian host, like the file
        return;
    }
    case PT_BOOLEAN:
        addBool(pst::propTag(id, type), !raw.empty() && raw[0] != 0);
        return;
    case PT_CLSID: {
        if (raw.size() < sizeof(GUID)) {
            addError(id, MAPI_E_CORRUPT_DATA);
            return;
        }
        auto* guid = reinterpret_cast<LPGUID>(keep(raw));
        SPropValue& v = values.emplace_back();
        v.ulPropTag = pst::propTag(id, type);
        v.Value.lpguid = guid;
        return;
    }
    case PT_UNICODE: {
        LPWSTR text = keepUtf16(id, raw);
        SPropValue& v = values.emplace_back();
        v.ulPropTag = PROP_TAG(PT_UNICODE, id);
        v.Value.lpszW = text;
        return;
    }
    case PT_STRING8: {
        std::u16string text = pst_text::Decode(raw, m_codePage);
        StripSubjectMarker(id, text);
        addString(id, text);
        return;
    }
    case PT_OBJECT:
        addError(id, MAPI_E_NO_SUPPORT);  // opened through OpenProperty, never a value
        return;
    default:  // binary, server IDs and types we do not interpret: their bytes
        addBinary(pst::propTag(id, type), raw);
        return;
    }
}

void ValueBuilder::addContext(const pst::PropertyContext& pc)
{
    std::vector<uint8_t> scratch;
    // One value for each entry (and the few the provider adds after them).
    values.reserve(values.size() + pc.entries().size() + 8);
    for (const pst::PropEntry& e : pc.entries()) {
        if (e.place == pst::PropEntry::Place::Missing) {
            addError(e.id, MAPI_E_CORRUPT_DATA);
            continue;
        }
        if (pst::isVariableType(e.type) && e.size > kMaxInlineValue) {
            addError(e.id, MAPI_E_NOT_ENOUGH_MEMORY);
            continue;
        }
        try {
            add(e.id, e.type, pc.readView(e, scratch));
        } catch (const pst::Error&) {
            addError(e.id, MAPI_E_CORRUPT_DATA);
        }
    }
}

void ValueBuilder::addMulti(const pst::Property& p)
{
    SPropValue v{};
    const uint16_t base = p.type & ~MV_FLAG;
    v.ulPropTag = p.tag();
    try {
        if (base == PT_STRING8 || base == PT_UNICODE || base == PT_BINARY) {
            auto items = p.multiValues();
            const ULONG n = static_cast<ULONG>(items.size());
            if (base == PT_BINARY) {
                auto* bins = items.empty() ? nullptr : static_cast<SBinary*>(m_arena.Alloc(sizeof(SBinary) * items.size()));
                for (size_t i = 0; i < items.size(); ++i)
                    bins[i] = SBinary{static_cast<ULONG>(items[i].size()), keep(items[i])};
                v.Value.MVbin = SBinaryArray{n, bins};
            } else {
                auto* ptrs = items.empty() ? nullptr : static_cast<LPWSTR*>(m_arena.Alloc(sizeof(LPWSTR) * items.size()));
                for (size_t i = 0; i < items.size(); ++i)
                    ptrs[i] = base == PT_UNICODE ? keepText(pst_text::FromUtf16Le(items[i]))
                                                 : keepText(pst_text::Decode(items[i], m_codePage));
                v.ulPropTag = PROP_TAG(PT_MV_UNICODE, p.id);
                v.Value.MVszW = SWStringArray{n, ptrs};
            }
        } else {
            const unsigned size = pst::fixedTypeSize(base);
            if (size == 0 || p.raw.size() % size != 0) {
                addError(p.id, size == 0 ? MAPI_E_NO_SUPPORT : MAPI_E_CORRUPT_DATA);
                return;
            }
            // Every fixed-size array is a count and a pointer; the file holds the packed values.
            v.Value.MVl.cValues = static_cast<ULONG>(p.raw.size() / size);
            v.Value.MVl.lpl = reinterpret_cast<LONG*>(keep(p.raw));
        }
    } catch (const pst::Error&) {
        addError(p.id, MAPI_E_CORRUPT_DATA);
        return;
    }
    values.push_back(v);
}

LPSTR StringForms::narrow(LPCWSTR text)
{
    const std::u16string_view w = text ? std::u16string_view(text) : std::u16string_view();
    const size_t length = Utf8LengthOf(w);
    auto* p = static_cast<char*>(m_arena.Alloc(length + 1));
    Utf16ToUtf8Into(w, p);
    p[length] = '\0';
    return p;
}

SPropValue StringForms::In(const SPropValue& v, ULONG stringType)
{
    const ULONG type = PROP_TYPE(v.ulPropTag);
    if (!IsStringType(type) || (type & ~MV_FLAG) == stringType)
        return v;
    SPropValue out = v;
    out.ulPropTag = PROP_TAG((type & MV_FLAG) | stringType, PROP_ID(v.ulPropTag));
    if (type & MV_FLAG) {
        auto* ptrs = v.Value.MVszW.cValues ? static_cast<LPSTR*>(m_arena.Alloc(sizeof(LPSTR) * v.Value.MVszW.cValues))
                                           : nullptr;
        for (ULONG i = 0; i < v.Value.MVszW.cValues; ++i)
            ptrs[i] = narrow(v.Value.MVszW.lppszW[i]);
        out.Value.MVszA = SLPSTRArray{v.Value.MVszA.cValues, ptrs};
    } else {
        out.Value.lpszA = narrow(v.Value.lpszW);
    }
    return out;
}

PropertySet::PropertySet(ValueBuilder&& built)
    : m_built(std::make_unique<ValueBuilder>(std::move(built)))
{
}

namespace {

// A string held as UTF-16, converted to UTF-8 straight into memory chained onto root.
SCODE NarrowInto(LPCWSTR text, void* root, LPSTR* out)
{
    const std::u16string_view w = text ? std::u16string_view(text, Utf16Length(text)) : std::u16string_view();
    const size_t length = Utf8LengthOf(w);
    if (length >= 0xFFFFFFFFu)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    void* p = nullptr;
    const SCODE sc = MAPIAllocateMore(static_cast<ULONG>(length + 1), root, &p);
    if (FAILED(sc))
        return sc;
    Utf16ToUtf8Into(w, static_cast<char*>(p));
    static_cast<char*>(p)[length] = '\0';
    *out = static_cast<LPSTR>(p);
    return S_OK;
}

// v copied into dst with its memory chained onto root, its strings in the
// form stringType names: converted once, from the held UTF-16 into the
// caller's buffer.
SCODE CopyInForm(const SPropValue& v, ULONG stringType, SPropValue& dst, void* root)
{
    const ULONG type = PROP_TYPE(v.ulPropTag);
    if (!IsStringType(type) || (type & ~MV_FLAG) == stringType || stringType != PT_STRING8)
        return PropCopyMore(&dst, const_cast<LPSPropValue>(&v), root);
    dst = v;
    dst.ulPropTag = PROP_TAG((type & MV_FLAG) | PT_STRING8, PROP_ID(v.ulPropTag));
    if (!(type & MV_FLAG))
        return NarrowInto(v.Value.lpszW, root, &dst.Value.lpszA);
    const ULONG n = v.Value.MVszW.cValues;
    void* p = nullptr;
    SCODE sc = MAPIAllocateMore(static_cast<ULONG>(sizeof(LPSTR) * std::max<ULONG>(n, 1)), root, &p);
    if (FAILED(sc))
        return sc;
    auto* items = static_cast<LPSTR*>(p);
    for (ULONG i = 0; i < n && SUCCEEDED(sc); ++i)
        sc = NarrowInto(v.Value.MVszW.lppszW[i], root, &items[i]);
    dst.Value.MVszA = SLPSTRArray{n, items};
    return sc;
}

} // namespace

HRESULT PropertySet::GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) const
{
    if (!count || !out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    *count = 0;
    const ULONG strings = (flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8;
    const ULONG n = tags ? tags->cValues : Count();
    void* root = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * std::max<ULONG>(n, 1)), &root);
    if (FAILED(hr))
        return hr;
    auto* result = static_cast<LPSPropValue>(root);
    bool errors = false;
    for (ULONG i = 0; i < n && SUCCEEDED(hr); ++i) {
        if (!tags) {
            hr = CopyInForm(Values()[i], strings, result[i], root);
            errors = errors || PROP_TYPE(result[i].ulPropTag) == PT_ERROR;
            continue;
        }
        const ULONG tag = tags->aulPropTag[i];
        const ULONG want = PROP_TYPE(tag);
        const SPropValue* v = Find(PROP_ID(tag));
        const ULONG have = v ? PROP_TYPE(v->ulPropTag) : PT_ERROR;
        if (v && have == PT_ERROR) {
            result[i] = *v;
            errors = true;
        } else if (v && want == PT_UNSPECIFIED) {
            hr = CopyInForm(*v, strings, result[i], root);
        } else if (v && IsStringType(want) && IsStringType(have) && (want & MV_FLAG) == (have & MV_FLAG)) {
            hr = CopyInForm(*v, want & ~MV_FLAG, result[i], root);
        } else if (v && want == have) {
            hr = PropCopyMore(&result[i], const_cast<LPSPropValue>(v), root);
        } else {
            result[i] = SPropValue{};
            result[i].ulPropTag = CHANGE_PROP_TYPE(tag, PT_ERROR);
            result[i].Value.err = MAPI_E_NOT_FOUND;
            errors = true;
        }
    }
    if (FAILED(hr)) {
        MAPIFreeBuffer(root);
        return hr;
    }
    *out = result;
    *count = n;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT PropertySet::GetPropList(ULONG flags, LPSPropTagArray* out) const
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    const ULONG strings = (flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8;
    std::vector<ULONG> tags(Count());
    for (ULONG i = 0; i < Count(); ++i) {
        const ULONG tag = Values()[i].ulPropTag;
        tags[i] = IsStringType(PROP_TYPE(tag)) ? CHANGE_PROP_TYPE(tag, (PROP_TYPE(tag) & MV_FLAG) | strings) : tag;
    }
    return CopyTagArray(tags, out);
}

} // namespace dravik::mapi32::pst_provider
