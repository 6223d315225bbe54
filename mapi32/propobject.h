// A read-only IMAPIProp over values held in memory, for the subsystem's own
// objects (address book, its containers). Base is the MAPI interface derived
// from IMAPIProp that the object implements; iid lists are checked by the object.
#pragma once

#include "mapi32/mapicode.h"
#include "mapi32/mapiutil.h"

#include <atomic>
#include <memory>
#include <vector>

namespace dravik::mapi32 {

template <typename Base>
class PropObject : public Base
{
public:
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        ULONG r = --m_refs;
        if (r == 0)
            delete this;
        return r;
    }

    HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* e) override
    {
        if (e)
            *e = nullptr;
        return S_OK;
    }
    HRESULT SaveChanges(ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* out) override
    {
        if (!count || !out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        *count = 0;
        std::vector<SPropValue> result;
        bool missing = false;
        if (!tags) {
            result = m_values;
        } else {
            for (ULONG i = 0; i < tags->cValues; ++i) {
                LPSPropValue v = PpropFindProp(m_values.data(), static_cast<ULONG>(m_values.size()), tags->aulPropTag[i]);
                if (v) {
                    result.push_back(*v);
                } else {
                    SPropValue e{};
                    e.ulPropTag = CHANGE_PROP_TYPE(tags->aulPropTag[i], PT_ERROR);
                    e.Value.err = MAPI_E_NOT_FOUND;
                    result.push_back(e);
                    missing = true;
                }
            }
        }
        HRESULT hr = ScDupPropset(static_cast<int>(result.size()), result.data(), nullptr, out);
        if (FAILED(hr))
            return hr;
        *count = static_cast<ULONG>(result.size());
        return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
    }
    HRESULT GetPropList(ULONG, LPSPropTagArray* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        void* p = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(m_values.size())), &p);
        if (FAILED(hr))
            return hr;
        auto* a = static_cast<LPSPropTagArray>(p);
        a->cValues = static_cast<ULONG>(m_values.size());
        for (size_t i = 0; i < m_values.size(); ++i)
            a->aulPropTag[i] = m_values[i].ulPropTag;
        *out = a;
        return S_OK;
    }
    HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_SUPPORT;
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
    HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG* count, LPMAPINAMEID** names) override
    {
        if (!count || !names)
            return MAPI_E_INVALID_PARAMETER;
        *count = 0;
        *names = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray* tags) override
    {
        if (tags)
            *tags = nullptr;
        return MAPI_E_NO_SUPPORT;
    }

protected:
    // Takes deep copies of the values.
    explicit PropObject(const std::vector<SPropValue>& values)
    {
        LPSPropValue dup = nullptr;
        if (SUCCEEDED(ScDupPropset(static_cast<int>(values.size()), const_cast<LPSPropValue>(values.data()), nullptr, &dup))) {
            m_buffer.reset(dup);
            m_values.assign(dup, dup + values.size());
        }
    }
    virtual ~PropObject() = default;

private:
    struct Free
    {
        void operator()(SPropValue* p) const { MAPIFreeBuffer(p); }
    };
    std::atomic<ULONG> m_refs{1};
    std::unique_ptr<SPropValue, Free> m_buffer;
    std::vector<SPropValue> m_values;
};

} // namespace dravik::mapi32
