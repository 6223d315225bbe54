#include "pst_values.h"

#include "mapi32/mapicode.h"
#include "mapi32/table.h"

#include "pst/util/error.h"

#include <cstring>

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

void ValueBuilder::add(const pst::Property& p)
{
    if (p.type & MV_FLAG) {
        addMulti(p);
        return;
    }
    SPropValue v{};
    v.ulPropTag = p.tag();
    switch (p.type) {
    case PT_I2: case PT_LONG: case PT_R4: case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME:
    case PT_ERROR: case PT_I8: case PT_SYSTIME: {
        const unsigned size = pst::fixedTypeSize(p.type);
        if (p.raw.size() < size) {
            addError(p.id, MAPI_E_CORRUPT_DATA);
            return;
        }
        std::memcpy(&v.Value, p.raw.data(), size);  // little-endian host, like the file
        break;
    }
    case PT_BOOLEAN:
        v.Value.b = !p.raw.empty() && p.raw[0] != 0;
        break;
    case PT_CLSID:
        if (p.raw.size() < sizeof(GUID)) {
            addError(p.id, MAPI_E_CORRUPT_DATA);
            return;
        }
        v.Value.lpguid = reinterpret_cast<LPGUID>(keep(p.raw).data());
        break;
    case PT_STRING8:
    case PT_UNICODE: {
        std::u16string text = decode(p.type, p.raw);
        StripSubjectMarker(p.id, text);
        addString(p.id, std::move(text));
        return;
    }
    case PT_OBJECT:
        addError(p.id, MAPI_E_NO_SUPPORT);  // opened through OpenProperty, never a value
        return;
    default:  // binary, server IDs and types we do not interpret: their bytes
        addBinary(p.tag(), p.raw);
        return;
    }
    values.push_back(v);
}

void ValueBuilder::addContext(const pst::PropertyContext& pc)
{
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
            add(pc.read(e));
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
                std::vector<SBinary>& bins = m_bins.emplace_front();
                for (auto& item : items) {
                    std::vector<uint8_t>& b = keep(std::move(item));
                    bins.push_back(SBinary{static_cast<ULONG>(b.size()), b.data()});
                }
                v.Value.MVbin = SBinaryArray{n, bins.data()};
            } else {
                std::vector<void*>& ptrs = m_pointers.emplace_front();
                for (auto& item : items)
                    ptrs.push_back(keepText(decode(base, item)));
                v.ulPropTag = PROP_TAG(PT_MV_UNICODE, p.id);
                v.Value.MVszW = SWStringArray{n, reinterpret_cast<LPWSTR*>(ptrs.data())};
            }
        } else {
            const unsigned size = pst::fixedTypeSize(base);
            if (size == 0 || p.raw.size() % size != 0) {
                addError(p.id, size == 0 ? MAPI_E_NO_SUPPORT : MAPI_E_CORRUPT_DATA);
                return;
            }
            // Every fixed-size array is a count and a pointer; the file holds the packed values.
            v.Value.MVl.cValues = static_cast<ULONG>(p.raw.size() / size);
            v.Value.MVl.lpl = reinterpret_cast<LONG*>(keep(p.raw).data());
        }
    } catch (const pst::Error&) {
        addError(p.id, MAPI_E_CORRUPT_DATA);
        return;
    }
    values.push_back(v);
}

SPropValue StringForms::In(const SPropValue& v, ULONG stringType)
{
    const ULONG type = PROP_TYPE(v.ulPropTag);
    if (!IsStringType(type) || (type & ~MV_FLAG) == stringType)
        return v;
    SPropValue out = v;
    out.ulPropTag = PROP_TAG((type & MV_FLAG) | stringType, PROP_ID(v.ulPropTag));
    if (type & MV_FLAG) {
        std::vector<void*>& ptrs = m_pointers.emplace_front();
        for (ULONG i = 0; i < v.Value.MVszW.cValues; ++i)
            ptrs.push_back(narrow(v.Value.MVszW.lppszW[i]));
        out.Value.MVszA = SLPSTRArray{v.Value.MVszA.cValues, reinterpret_cast<LPSTR*>(ptrs.data())};
    } else {
        out.Value.lpszA = static_cast<LPSTR>(narrow(v.Value.lpszW));
    }
    return out;
}

PropertySet::PropertySet(ValueBuilder&& built)
    : m_built(std::make_unique<ValueBuilder>(std::move(built)))
{
}

HRESULT PropertySet::GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) const
{
    if (!count || !out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    *count = 0;
    const ULONG strings = (flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8;
    StringForms forms;
    std::vector<SPropValue> result;
    bool errors = false;
    if (!tags) {
        for (ULONG i = 0; i < Count(); ++i) {
            result.push_back(forms.In(Values()[i], strings));
            errors = errors || PROP_TYPE(result.back().ulPropTag) == PT_ERROR;
        }
    } else {
        for (ULONG i = 0; i < tags->cValues; ++i) {
            const ULONG tag = tags->aulPropTag[i];
            const ULONG want = PROP_TYPE(tag);
            const SPropValue* v = Find(PROP_ID(tag));
            const ULONG have = v ? PROP_TYPE(v->ulPropTag) : PT_ERROR;
            if (v && have == PT_ERROR) {
                SPropValue e = *v;
                errors = true;
                result.push_back(e);
            } else if (v && want == PT_UNSPECIFIED) {
                result.push_back(forms.In(*v, strings));
            } else if (v && IsStringType(want) && IsStringType(have) && (want & MV_FLAG) == (have & MV_FLAG)) {
                result.push_back(forms.In(*v, want & ~MV_FLAG));
            } else if (v && want == have) {
                result.push_back(*v);
            } else {
                SPropValue e{};
                e.ulPropTag = CHANGE_PROP_TYPE(tag, PT_ERROR);
                e.Value.err = MAPI_E_NOT_FOUND;
                result.push_back(e);
                errors = true;
            }
        }
    }
    HRESULT hr = ScDupPropset(static_cast<int>(result.size()), result.data(), nullptr, out);
    if (FAILED(hr))
        return hr;
    *count = static_cast<ULONG>(result.size());
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
