#include "mapi32/propobject.h"

#include "mapi32/memstream.h"
#include "mapi32/table.h"

namespace dravik::mapi32 {


PropSet::Entry* PropSet::Find(ULONG id)
{
    for (Entry& e : m_entries)
        if (e.id == id)
            return &e;
    return nullptr;
}

const PropSet::Entry* PropSet::Find(ULONG id) const
{
    for (const Entry& e : m_entries)
        if (e.id == id)
            return &e;
    return nullptr;
}

PropSet::Entry& PropSet::Slot(ULONG id)
{
    if (Entry* e = Find(id)) {
        *e = Entry{};
        e->id = id;
        return *e;
    }
    Entry& e = m_entries.emplace_back();
    e.id = id;
    return e;
}

void PropSet::SetText(ULONG tag, const std::string& utf8)
{
    Entry& e = Slot(PROP_ID(tag));
    e.isText = true;
    e.text = utf8;
}

void PropSet::SetLong(ULONG tag, ULONG value)
{
    SPropValue v{};
    v.ulPropTag = CHANGE_PROP_TYPE(tag, PT_LONG);
    v.Value.ul = value;
    SetValue(v);
}

void PropSet::SetBool(ULONG tag, bool value)
{
    SPropValue v{};
    v.ulPropTag = CHANGE_PROP_TYPE(tag, PT_BOOLEAN);
    v.Value.b = value ? 1 : 0;
    SetValue(v);
}

void PropSet::SetBinary(ULONG tag, const std::vector<uint8_t>& bytes)
{
    SPropValue v{};
    v.ulPropTag = CHANGE_PROP_TYPE(tag, PT_BINARY);
    v.Value.bin.cb = static_cast<ULONG>(bytes.size());
    v.Value.bin.lpb = const_cast<LPBYTE>(bytes.data());
    SetValue(v);
}

void PropSet::SetValue(const SPropValue& value)
{
    const ULONG type = PROP_TYPE(value.ulPropTag);
    if (type == PT_STRING8 || type == PT_UNICODE) {
        std::string text;
        ValueText(value, text);
        SetText(value.ulPropTag, text);
        return;
    }
    LPSPropValue dup = nullptr;
    if (FAILED(ScDupPropset(1, const_cast<LPSPropValue>(&value), nullptr, &dup)))
        return;  // out of memory: the value is left out
    Entry& e = Slot(PROP_ID(value.ulPropTag));
    e.value.reset(dup, Free{});
}

void PropSet::Merge(const PropSet& from, ULONG firstId, ULONG lastId)
{
    for (const Entry& e : from.m_entries)
        if (e.id >= firstId && e.id <= lastId && !Find(e.id))
            m_entries.push_back(e);
}

const std::string* PropSet::Text(ULONG tag) const
{
    const Entry* e = Find(PROP_ID(tag));
    return e && e->isText ? &e->text : nullptr;
}

const SPropValue* PropSet::Raw(ULONG tag) const
{
    const Entry* e = Find(PROP_ID(tag));
    return e && !e->isText ? e->value.get() : nullptr;
}

namespace {

SPropValue TextValue(ULONG id, const std::string& text, ULONG type, std::deque<std::u16string>& keep)
{
    SPropValue v{};
    v.ulPropTag = PROP_TAG(type, id);
    if (type == PT_UNICODE) {
        keep.push_back(Utf8ToUtf16(text));
        v.Value.lpszW = keep.back().data();
    } else {
        v.Value.lpszA = const_cast<LPSTR>(text.c_str());
    }
    return v;
}

} // namespace

std::vector<SPropValue> PropSet::Values(bool wide, std::deque<std::u16string>& keep) const
{
    std::vector<SPropValue> out;
    out.reserve(m_entries.size());
    for (const Entry& e : m_entries)
        out.push_back(e.isText ? TextValue(e.id, e.text, wide ? PT_UNICODE : PT_STRING8, keep) : *e.value);
    return out;
}

bool PropSet::Value(ULONG tag, bool wide, std::deque<std::u16string>& keep, SPropValue& out) const
{
    const Entry* e = Find(PROP_ID(tag));
    if (!e)
        return false;
    const ULONG type = PROP_TYPE(tag);
    if (e->isText) {
        if (type != PT_UNSPECIFIED && type != PT_STRING8 && type != PT_UNICODE)
            return false;
        out = TextValue(e->id, e->text, type == PT_UNSPECIFIED ? (wide ? PT_UNICODE : PT_STRING8) : type, keep);
        return true;
    }
    if (type != PT_UNSPECIFIED && type != PROP_TYPE(e->value->ulPropTag))
        return false;
    out = *e->value;
    return true;
}

bool PropSet::StreamBytes(ULONG tag, std::vector<uint8_t>& out) const
{
    const Entry* e = Find(PROP_ID(tag));
    if (!e)
        return false;
    const ULONG type = PROP_TYPE(tag);
    if (e->isText) {
        if (type == PT_UNICODE) {
            out.clear();
            for (char16_t c : Utf8ToUtf16(e->text)) {
                out.push_back(static_cast<uint8_t>(c));
                out.push_back(static_cast<uint8_t>(c >> 8));
            }
            return true;
        }
        if (type == PT_STRING8 || type == PT_UNSPECIFIED) {
            out.assign(e->text.begin(), e->text.end());
            return true;
        }
        return false;
    }
    if (PROP_TYPE(e->value->ulPropTag) != PT_BINARY || (type != PT_BINARY && type != PT_UNSPECIFIED))
        return false;
    const SBinary& b = e->value->Value.bin;
    out.assign(b.lpb, b.lpb + b.cb);
    return true;
}

HRESULT PropSet::GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) const
{
    if (!count || !out)
        return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *out = nullptr;
    const bool wide = (flags & MAPI_UNICODE) != 0;
    std::deque<std::u16string> keep;
    std::vector<SPropValue> result;
    bool missing = false;
    if (!tags) {
        result = Values(wide, keep);
    } else {
        for (ULONG i = 0; i < tags->cValues; ++i) {
            SPropValue v{};
            if (!Value(tags->aulPropTag[i], wide, keep, v)) {
                v.ulPropTag = CHANGE_PROP_TYPE(tags->aulPropTag[i], PT_ERROR);
                v.Value.err = MAPI_E_NOT_FOUND;
                missing = true;
            }
            result.push_back(v);
        }
    }
    HRESULT hr = ScDupPropset(static_cast<int>(result.size()), result.data(), nullptr, out);
    if (FAILED(hr))
        return hr;
    *count = static_cast<ULONG>(result.size());
    return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT PropSet::GetPropList(ULONG flags, LPSPropTagArray* out) const
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    std::deque<std::u16string> keep;
    std::vector<ULONG> tags;
    for (const SPropValue& v : Values((flags & MAPI_UNICODE) != 0, keep))
        tags.push_back(v.ulPropTag);
    return CopyTagArray(tags, out);
}

HRESULT PropSet::OpenStream(ULONG tag, LPUNKNOWN* out) const
{
    std::vector<uint8_t> bytes;
    if (!Has(tag))
        return MAPI_E_NOT_FOUND;
    if (!StreamBytes(tag, bytes))
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    LPSTREAM stream = nullptr;
    HRESULT hr = CreateMemoryStream(std::move(bytes), &stream);
    if (SUCCEEDED(hr))
        *out = stream;
    return hr;
}

HRESULT NoNamesFromIds(LPSPropTagArray* tags, ULONG* count, LPMAPINAMEID** names)
{
    if (!tags || !count || !names)
        return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *names = nullptr;
    const ULONG n = *tags ? (*tags)->cValues : 0;
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(LPMAPINAMEID) * (n ? n : 1)), &p);
    if (FAILED(hr))
        return hr;
    auto* array = static_cast<LPMAPINAMEID*>(p);
    for (ULONG i = 0; i < n; ++i)
        array[i] = nullptr;
    if (!*tags) {
        hr = CopyTagArray({}, tags);
        if (FAILED(hr)) {
            MAPIFreeBuffer(p);
            return hr;
        }
    }
    *count = n;
    *names = array;
    return n ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT NoIdsFromNames(ULONG cNames, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (flags & MAPI_CREATE)
        return MAPI_E_NO_ACCESS;
    if (cNames == 0 || !names)
        return MAPI_E_NO_SUPPORT;
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(cNames)), &p);
    if (FAILED(hr))
        return hr;
    auto* a = static_cast<LPSPropTagArray>(p);
    a->cValues = cNames;
    for (ULONG i = 0; i < cNames; ++i)
        a->aulPropTag[i] = PROP_TAG(PT_ERROR, 0);
    *out = a;
    return MAPI_W_ERRORS_RETURNED;
}

} // namespace dravik::mapi32
