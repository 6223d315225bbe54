// Deep copy, lookup and comparison of property values.
#include "mapi32/mapicode.h"
#include "mapi32/mapiutil.h"

#include <algorithm>
#include <cstring>

namespace {

template <typename T>
SCODE CopyArray(const T* src, ULONG count, LPVOID parent, T** dst)
{
    *dst = nullptr;
    if (count == 0)
        return S_OK;
    void* p = nullptr;
    const std::uint64_t bytes = std::uint64_t(count) * sizeof(T);
    if (bytes > 0xFFFFFFFFu)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    SCODE sc = MAPIAllocateMore(static_cast<ULONG>(bytes), parent, &p);
    if (FAILED(sc))
        return sc;
    if (src)
        std::memcpy(p, src, bytes);
    *dst = static_cast<T*>(p);
    return S_OK;
}

SCODE CopyStringA(LPSTR src, LPVOID parent, LPSTR* dst)
{
    *dst = nullptr;
    if (!src)
        return S_OK;
    const size_t n = std::strlen(src) + 1;
    return CopyArray(src, static_cast<ULONG>(n), parent, dst);
}

SCODE CopyStringW(LPWSTR src, LPVOID parent, LPWSTR* dst)
{
    *dst = nullptr;
    if (!src)
        return S_OK;
    size_t n = 0;
    while (src[n])
        ++n;
    return CopyArray(src, static_cast<ULONG>(n + 1), parent, dst);
}

SCODE CopyBinary(const SBinary& src, LPVOID parent, SBinary& dst)
{
    dst.cb = src.cb;
    return CopyArray(src.lpb, src.cb, parent, &dst.lpb);
}

template <typename T>
int Cmp(const T& a, const T& b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

int CmpBytes(const BYTE* a, ULONG ca, const BYTE* b, ULONG cb)
{
    const ULONG n = std::min(ca, cb);
    if (n) {
        int r = std::memcmp(a, b, n);
        if (r)
            return r < 0 ? -1 : 1;
    }
    return Cmp(ca, cb);
}

int CmpW(LPCWSTR a, LPCWSTR b)
{
    if (!a || !b)
        return Cmp(a != nullptr, b != nullptr);
    for (;; ++a, ++b) {
        if (*a != *b)
            return *a < *b ? -1 : 1;
        if (!*a)
            return 0;
    }
}

std::uint64_t FileTimeValue(const FILETIME& ft)
{
    return (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

} // namespace

SCODE PropCopyMore(LPSPropValue dst, LPSPropValue src, LPVOID parent)
{
    if (!dst || !src || !parent)
        return MAPI_E_INVALID_PARAMETER;
    *dst = *src;
    switch (PROP_TYPE(src->ulPropTag)) {
    case PT_STRING8: return CopyStringA(src->Value.lpszA, parent, &dst->Value.lpszA);
    case PT_UNICODE: return CopyStringW(src->Value.lpszW, parent, &dst->Value.lpszW);
    case PT_BINARY:
    case PT_SVREID:  // a server entry ID: bytes, held as a binary value
        return CopyBinary(src->Value.bin, parent, dst->Value.bin);
    case PT_CLSID: return CopyArray(src->Value.lpguid, src->Value.lpguid ? 1u : 0u, parent, &dst->Value.lpguid);
    case PT_MV_I2: return CopyArray(src->Value.MVi.lpi, src->Value.MVi.cValues, parent, &dst->Value.MVi.lpi);
    case PT_MV_LONG: return CopyArray(src->Value.MVl.lpl, src->Value.MVl.cValues, parent, &dst->Value.MVl.lpl);
    case PT_MV_R4: return CopyArray(src->Value.MVflt.lpflt, src->Value.MVflt.cValues, parent, &dst->Value.MVflt.lpflt);
    case PT_MV_DOUBLE: return CopyArray(src->Value.MVdbl.lpdbl, src->Value.MVdbl.cValues, parent, &dst->Value.MVdbl.lpdbl);
    case PT_MV_CURRENCY: return CopyArray(src->Value.MVcur.lpcur, src->Value.MVcur.cValues, parent, &dst->Value.MVcur.lpcur);
    case PT_MV_APPTIME: return CopyArray(src->Value.MVat.lpat, src->Value.MVat.cValues, parent, &dst->Value.MVat.lpat);
    case PT_MV_SYSTIME: return CopyArray(src->Value.MVft.lpft, src->Value.MVft.cValues, parent, &dst->Value.MVft.lpft);
    case PT_MV_CLSID: return CopyArray(src->Value.MVguid.lpguid, src->Value.MVguid.cValues, parent, &dst->Value.MVguid.lpguid);
    case PT_MV_I8: return CopyArray(src->Value.MVli.lpli, src->Value.MVli.cValues, parent, &dst->Value.MVli.lpli);
    case PT_MV_BINARY: {
        SCODE sc = CopyArray(src->Value.MVbin.lpbin, src->Value.MVbin.cValues, parent, &dst->Value.MVbin.lpbin);
        for (ULONG i = 0; SUCCEEDED(sc) && i < src->Value.MVbin.cValues; ++i)
            sc = CopyBinary(src->Value.MVbin.lpbin[i], parent, dst->Value.MVbin.lpbin[i]);
        return sc;
    }
    case PT_MV_STRING8: {
        SCODE sc = CopyArray(src->Value.MVszA.lppszA, src->Value.MVszA.cValues, parent, &dst->Value.MVszA.lppszA);
        for (ULONG i = 0; SUCCEEDED(sc) && i < src->Value.MVszA.cValues; ++i)
            sc = CopyStringA(src->Value.MVszA.lppszA[i], parent, &dst->Value.MVszA.lppszA[i]);
        return sc;
    }
    case PT_MV_UNICODE: {
        SCODE sc = CopyArray(src->Value.MVszW.lppszW, src->Value.MVszW.cValues, parent, &dst->Value.MVszW.lppszW);
        for (ULONG i = 0; SUCCEEDED(sc) && i < src->Value.MVszW.cValues; ++i)
            sc = CopyStringW(src->Value.MVszW.lppszW[i], parent, &dst->Value.MVszW.lppszW[i]);
        return sc;
    }
    default:
        return S_OK;
    }
}

SCODE ScDupPropset(int cValues, LPSPropValue src, LPVOID parent, LPSPropValue* dst)
{
    if (!dst || cValues < 0 || (cValues > 0 && !src))
        return MAPI_E_INVALID_PARAMETER;
    *dst = nullptr;
    const std::uint64_t bytes = std::uint64_t(cValues ? cValues : 1) * sizeof(SPropValue);
    if (bytes > 0xFFFFFFFFu)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    void* p = nullptr;
    SCODE sc = parent ? MAPIAllocateMore(static_cast<ULONG>(bytes), parent, &p)
                      : MAPIAllocateBuffer(static_cast<ULONG>(bytes), &p);
    if (FAILED(sc))
        return sc;
    auto* out = static_cast<LPSPropValue>(p);
    for (int i = 0; i < cValues; ++i) {
        sc = PropCopyMore(&out[i], &src[i], parent ? parent : p);
        if (FAILED(sc)) {
            if (!parent)
                MAPIFreeBuffer(p);
            return sc;
        }
    }
    *dst = out;
    return S_OK;
}

LPSPropValue PpropFindProp(LPSPropValue props, ULONG cValues, ULONG tag)
{
    if (!props)
        return nullptr;
    for (ULONG i = 0; i < cValues; ++i) {
        if (props[i].ulPropTag == tag)
            return &props[i];
        if (PROP_TYPE(tag) == PT_UNSPECIFIED && PROP_ID(props[i].ulPropTag) == PROP_ID(tag))
            return &props[i];
    }
    return nullptr;
}

LONG LPropCompareProp(LPSPropValue a, LPSPropValue b)
{
    if (!a || !b)
        return Cmp(a != nullptr, b != nullptr);
    const ULONG ta = PROP_TYPE(a->ulPropTag);
    if (ta != PROP_TYPE(b->ulPropTag))
        return Cmp(a->ulPropTag, b->ulPropTag);
    const _PV& x = a->Value;
    const _PV& y = b->Value;
    switch (ta) {
    case PT_I2: return Cmp(x.i, y.i);
    case PT_LONG: return Cmp(x.l, y.l);
    case PT_R4: return Cmp(x.flt, y.flt);
    case PT_DOUBLE:
    case PT_APPTIME: return Cmp(x.dbl, y.dbl);
    case PT_CURRENCY: return Cmp(x.cur.int64, y.cur.int64);
    case PT_I8: return Cmp(x.li.QuadPart, y.li.QuadPart);
    case PT_BOOLEAN: return Cmp(x.b != 0, y.b != 0);
    case PT_ERROR: return Cmp(x.err, y.err);
    case PT_SYSTIME: return Cmp(FileTimeValue(x.ft), FileTimeValue(y.ft));
    case PT_STRING8: {
        if (!x.lpszA || !y.lpszA)
            return Cmp(x.lpszA != nullptr, y.lpszA != nullptr);
        int r = std::strcmp(x.lpszA, y.lpszA);
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
    case PT_UNICODE: return CmpW(x.lpszW, y.lpszW);
    case PT_BINARY:
    case PT_SVREID: return CmpBytes(x.bin.lpb, x.bin.cb, y.bin.lpb, y.bin.cb);
    case PT_CLSID:
        if (!x.lpguid || !y.lpguid)
            return Cmp(x.lpguid != nullptr, y.lpguid != nullptr);
        return CmpBytes(reinterpret_cast<const BYTE*>(x.lpguid), sizeof(GUID),
                        reinterpret_cast<const BYTE*>(y.lpguid), sizeof(GUID));
    default:
        return Cmp(a->ulPropTag, b->ulPropTag);
    }
}

void FreeProws(LPSRowSet rows)
{
    if (!rows)
        return;
    for (ULONG i = 0; i < rows->cRows; ++i)
        MAPIFreeBuffer(rows->aRow[i].lpProps);
    MAPIFreeBuffer(rows);
}

void FreePadrlist(LPADRLIST list)
{
    if (!list)
        return;
    for (ULONG i = 0; i < list->cEntries; ++i)
        MAPIFreeBuffer(list->aEntries[i].rgPropVals);
    MAPIFreeBuffer(list);
}

HRESULT HrGetOneProp(LPMAPIPROP obj, ULONG tag, LPSPropValue* out)
{
    if (!obj || !out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    SizedSPropTagArray(1, tags) = {1, {tag}};
    ULONG c = 0;
    LPSPropValue v = nullptr;
    HRESULT hr = obj->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &c, &v);
    if (FAILED(hr))
        return hr;
    if (!v || c != 1 || PROP_TYPE(v->ulPropTag) == PT_ERROR) {
        HRESULT e = (v && c == 1) ? v->Value.err : MAPI_E_NOT_FOUND;
        MAPIFreeBuffer(v);
        return e;
    }
    *out = v;
    return S_OK;
}
