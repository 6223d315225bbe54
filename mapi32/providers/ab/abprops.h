// Property values of the address book's objects and rows, and the read-only
// IMAPIProp the objects share. Text is kept as UTF-8 and handed out as MAPI
// asks for it: PT_UNICODE with MAPI_UNICODE (or when that type is asked for
// by tag), PT_STRING8 otherwise.
#pragma once

#include "mapi32/mapicode.h"
#include "mapi32/mapidefs.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapiutil.h"
#include "mapi32/memstream.h"
#include "mapi32/unknown.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace dravik::mapi32::ab {

class PropSet
{
public:
    // Each setter replaces a value of the same property ID.
    void SetText(ULONG tag, const std::string& utf8);
    void SetLong(ULONG tag, ULONG value);
    void SetBool(ULONG tag, bool value);
    void SetBinary(ULONG tag, const std::vector<uint8_t>& bytes);
    // Any value; single-valued strings become text, everything else is deep-copied.
    void SetValue(const SPropValue& value);
    // Adds the values of `from` whose IDs lie in [firstId, lastId] and that this set lacks.
    void Merge(const PropSet& from, ULONG firstId, ULONG lastId);

    bool Has(ULONG tag) const { return Find(PROP_ID(tag)) != nullptr; }
    const std::string* Text(ULONG tag) const;  // by property ID; null unless text
    const SPropValue* Raw(ULONG tag) const;    // by property ID; null for text or absent

    // Every value, strings as PT_UNICODE when wide. The values point into this
    // set and into `keep`, which must outlive them.
    std::vector<SPropValue> Values(bool wide, std::deque<std::u16string>& keep) const;
    // The value for a requested tag: PT_UNSPECIFIED gives the natural type, a
    // string type gives text in that type; false when absent or of another type.
    bool Value(ULONG tag, bool wide, std::deque<std::u16string>& keep, SPropValue& out) const;
    // The value's bytes for a stream: text as UTF-8 (PT_STRING8) or UTF-16LE
    // (PT_UNICODE), binary as is. False for absent values and other types.
    bool StreamBytes(ULONG tag, std::vector<uint8_t>& out) const;

private:
    struct Free
    {
        void operator()(SPropValue* p) const { MAPIFreeBuffer(p); }
    };
    struct Entry
    {
        ULONG id = 0;
        bool isText = false;
        std::string text;
        std::shared_ptr<SPropValue> value;  // one MAPI allocation, for every other type
    };
    Entry* Find(ULONG id);
    const Entry* Find(ULONG id) const;
    Entry& Slot(ULONG id);
    std::vector<Entry> m_entries;
};

// Builds a table over property sets; PR_INSTANCE_KEY (the row's position) is
// added to rows without one, string columns become PT_UNICODE when wide.
HRESULT MakeTable(const std::vector<const PropSet*>& rows, std::vector<ULONG> columns, bool wide, LPMAPITABLE* out);

// GetProps, GetPropList and OpenProperty (IID_IStream) over a PropSet; every
// write fails with MAPI_E_NO_ACCESS. The objects have no named properties.
template <typename Base, const IID&... Iids>
class AbProp : public Unknown<Base, Iids...>
{
public:
    HRESULT SaveChanges(ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) override
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
            result = m_props.Values(wide, keep);
        } else {
            for (ULONG i = 0; i < tags->cValues; ++i) {
                SPropValue v{};
                if (!m_props.Value(tags->aulPropTag[i], wide, keep, v)) {
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
    HRESULT GetPropList(ULONG flags, LPSPropTagArray* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        std::deque<std::u16string> keep;
        const std::vector<SPropValue> values = m_props.Values((flags & MAPI_UNICODE) != 0, keep);
        void* p = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(values.size())), &p);
        if (FAILED(hr))
            return hr;
        auto* a = static_cast<LPSPropTagArray>(p);
        a->cValues = static_cast<ULONG>(values.size());
        for (size_t i = 0; i < values.size(); ++i)
            a->aulPropTag[i] = values[i].ulPropTag;
        *out = a;
        return S_OK;
    }
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        if (!out || !iid)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (flags & (MAPI_MODIFY | MAPI_CREATE))
            return MAPI_E_NO_ACCESS;
        if (*iid != IID_IStream && *iid != IID_ISequentialStream)
            return OpenObjectProperty(tag, *iid, out);
        std::vector<uint8_t> bytes;
        if (!m_props.Has(tag))
            return MAPI_E_NOT_FOUND;
        if (!m_props.StreamBytes(tag, bytes))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        LPSTREAM stream = nullptr;
        HRESULT hr = CreateMemoryStream(std::move(bytes), &stream);
        if (SUCCEEDED(hr))
            *out = stream;
        return hr;
    }
    HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray* problems) override
    {
        if (problems)
            *problems = nullptr;
        return MAPI_E_NO_ACCESS;
    }
    HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray* problems) override
    {
        if (problems)
            *problems = nullptr;
        return MAPI_E_NO_ACCESS;
    }
    HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                   LPSPropProblemArray* problems) override
    {
        if (problems)
            *problems = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray* problems) override
    {
        if (problems)
            *problems = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    // No property of these objects is named: each ID asked for gets a NULL
    // name; with no tag list, there are none to list.
    HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID, ULONG, ULONG* count, LPMAPINAMEID** names) override
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
            void* t = nullptr;
            hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(0)), &t);
            if (FAILED(hr)) {
                MAPIFreeBuffer(p);
                return hr;
            }
            static_cast<LPSPropTagArray>(t)->cValues = 0;
            *tags = static_cast<LPSPropTagArray>(t);
        }
        *count = n;
        *names = array;
        return n ? MAPI_W_ERRORS_RETURNED : S_OK;
    }
    HRESULT GetIDsFromNames(ULONG cNames, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* out) override
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

protected:
    explicit AbProp(PropSet props) : m_props(std::move(props)) {}
    virtual ~AbProp() = default;
    // OpenProperty with an interface other than a stream.
    virtual HRESULT OpenObjectProperty(ULONG, REFIID, LPUNKNOWN*) { return MAPI_E_INTERFACE_NOT_SUPPORTED; }

    PropSet m_props;
};

} // namespace dravik::mapi32::ab
