// In-memory MAPI objects for the holder tests: a property object whose values,
// streams and names the test sets, and a stream over bytes.
#pragma once

#include "props/Mapi.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace fake {

inline bool SameIid(const IID* a, const IID& b)
{
    return a && std::memcmp(a, &b, sizeof b) == 0;
}

// A stream over bytes that delivers at most maxChunk bytes a read.
class MemoryStream final : public IStream
{
public:
    MemoryStream(std::vector<BYTE> data, ULONG maxChunk, int* pReleases, HRESULT hrRead)
        : m_data(std::move(data)), m_maxChunk(maxChunk), m_pReleases(pReleases), m_hrRead(hrRead)
    {
    }

    HRESULT QueryInterface(REFIID, LPVOID* ppv) override
    {
        if (ppv)
            *ppv = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        if (m_pReleases)
            ++*m_pReleases;
        const ULONG refs = --m_refs;
        if (refs == 0)
            delete this;
        return refs;
    }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override
    {
        if (FAILED(m_hrRead))
            return m_hrRead;
        const size_t n = std::min<size_t>({cb, m_maxChunk, m_data.size() - m_pos});
        if (n > 0)
            std::memcpy(pv, m_data.data() + m_pos, n);
        m_pos += n;
        if (pcbRead)
            *pcbRead = static_cast<ULONG>(n);
        return S_OK;
    }
    HRESULT Write(const void*, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT SetSize(ULARGE_INTEGER) override { return MAPI_E_NO_SUPPORT; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Commit(DWORD) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Revert() override { return MAPI_E_NO_SUPPORT; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return MAPI_E_NO_SUPPORT; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Stat(STATSTG*, DWORD) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Clone(IStream**) override { return MAPI_E_NO_SUPPORT; }

private:
    ~MemoryStream() = default;

    std::vector<BYTE> m_data;
    size_t m_pos = 0;
    ULONG m_maxChunk;
    int* m_pReleases;
    HRESULT m_hrRead;
    ULONG m_refs = 1;
};

struct StreamSpec
{
    std::vector<BYTE> data;
    ULONG maxChunk = 1024;
    HRESULT hrRead = S_OK;
};

struct NameSpec
{
    GUID guid;
    ULONG kind;
    LONG id;
    std::u16string name;
};

// A property object. Values are copied into one MAPI allocation by GetProps,
// as a provider does; the object itself lives on the test's stack.
class PropObject : public IMAPIProp
{
public:
    std::vector<SPropValue> values;   // strings and binaries point at test-owned data
    HRESULT hrGetProps = S_OK;
    std::map<ULONG, StreamSpec> streams; // by property ID
    int streamReleases = 0;
    ULONG lastOpenFlags = 0;
    bool lastOpenAskedForStream = false;
    std::vector<NameSpec> names;          // the store's names, asked for all at once
    std::map<ULONG, NameSpec> namesById; // the name of one tag, by property ID
    HRESULT hrGetNames = S_OK;

    HRESULT QueryInterface(REFIID, LPVOID* ppv) override
    {
        if (ppv)
            *ppv = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT SaveChanges(ULONG) override { return MAPI_E_NO_SUPPORT; }

    HRESULT GetProps(LPSPropTagArray lpTags, ULONG, ULONG* lpcValues, LPSPropValue* lppProps) override
    {
        if (lpTags || !lpcValues || !lppProps)
            return MAPI_E_INVALID_PARAMETER;
        *lpcValues = 0;
        *lppProps = nullptr;
        if (FAILED(hrGetProps))
            return hrGetProps;
        LPVOID pv = nullptr;
        MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * std::max<size_t>(values.size(), 1)), &pv);
        auto* out = static_cast<LPSPropValue>(pv);
        for (size_t i = 0; i < values.size(); ++i) {
            out[i] = values[i];
            const ULONG type = PROP_TYPE(values[i].ulPropTag);
            if (type == PT_STRING8 && values[i].Value.lpszA) {
                const size_t cb = std::strlen(values[i].Value.lpszA) + 1;
                MAPIAllocateMore(static_cast<ULONG>(cb), pv, reinterpret_cast<LPVOID*>(&out[i].Value.lpszA));
                std::memcpy(out[i].Value.lpszA, values[i].Value.lpszA, cb);
            } else if (type == PT_UNICODE && values[i].Value.lpszW) {
                const size_t cb = (std::char_traits<char16_t>::length(values[i].Value.lpszW) + 1) * sizeof(char16_t);
                MAPIAllocateMore(static_cast<ULONG>(cb), pv, reinterpret_cast<LPVOID*>(&out[i].Value.lpszW));
                std::memcpy(out[i].Value.lpszW, values[i].Value.lpszW, cb);
            } else if (type == PT_BINARY && values[i].Value.bin.cb) {
                MAPIAllocateMore(values[i].Value.bin.cb, pv, reinterpret_cast<LPVOID*>(&out[i].Value.bin.lpb));
                std::memcpy(out[i].Value.bin.lpb, values[i].Value.bin.lpb, values[i].Value.bin.cb);
            }
        }
        *lpcValues = static_cast<ULONG>(values.size());
        *lppProps = out;
        return hrGetProps;
    }

    HRESULT GetPropList(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }

    HRESULT OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG, ULONG ulFlags, LPUNKNOWN* lppUnk) override
    {
        lastOpenFlags = ulFlags;
        lastOpenAskedForStream = SameIid(lpiid, IID_IStream);
        if (!lppUnk)
            return MAPI_E_INVALID_PARAMETER;
        *lppUnk = nullptr;
        auto it = streams.find(PROP_ID(ulPropTag));
        if (it == streams.end() || !lastOpenAskedForStream)
            return MAPI_E_NOT_FOUND;
        IStream* pStream = new MemoryStream(it->second.data, it->second.maxChunk, &streamReleases, it->second.hrRead);
        *lppUnk = pStream;
        return S_OK;
    }

    HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                   LPSPropProblemArray*) override
    {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG, LPSPropProblemArray*) override
    {
        return MAPI_E_NO_SUPPORT;
    }

    HRESULT GetNamesFromIDs(LPSPropTagArray* lppTags, LPGUID lpGuid, ULONG ulFlags, ULONG* lpcNames,
                            LPMAPINAMEID** lpppNames) override
    {
        if (!lppTags || lpGuid || ulFlags || !lpcNames || !lpppNames)
            return MAPI_E_INVALID_PARAMETER;
        *lpcNames = 0;
        *lpppNames = nullptr;
        if (FAILED(hrGetNames))
            return hrGetNames;
        if (*lppTags)
            return NamesOfTags(*lppTags, lpcNames, lpppNames);
        LPVOID pvTags = nullptr;
        MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropTagArray) + sizeof(ULONG) * names.size()), &pvTags);
        auto* tags = static_cast<LPSPropTagArray>(pvTags);
        tags->cValues = static_cast<ULONG>(names.size());
        LPVOID pv = nullptr;
        MAPIAllocateBuffer(static_cast<ULONG>(sizeof(LPMAPINAMEID) * std::max<size_t>(names.size(), 1)), &pv);
        auto* array = static_cast<LPMAPINAMEID*>(pv);
        for (size_t i = 0; i < names.size(); ++i) {
            tags->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, 0x8000 + i);
            LPVOID pvName = nullptr;
            MAPIAllocateMore(sizeof(MAPINAMEID) + sizeof(GUID), pv, &pvName);
            auto* name = static_cast<LPMAPINAMEID>(pvName);
            auto* guid = reinterpret_cast<LPGUID>(name + 1);
            *guid = names[i].guid;
            name->lpguid = guid;
            name->ulKind = names[i].kind;
            if (names[i].kind == MNID_STRING) {
                const size_t cb = (names[i].name.size() + 1) * sizeof(char16_t);
                MAPIAllocateMore(static_cast<ULONG>(cb), pv, reinterpret_cast<LPVOID*>(&name->Kind.lpwstrName));
                std::memcpy(name->Kind.lpwstrName, names[i].name.c_str(), cb);
            } else {
                name->Kind.lID = names[i].id;
            }
            array[i] = name;
        }
        *lppTags = tags;
        *lpcNames = static_cast<ULONG>(names.size());
        *lpppNames = array;
        return S_OK;
    }

    HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }

private:
    // One entry per tag asked for: its name, or NULL with a warning.
    HRESULT NamesOfTags(LPSPropTagArray pTags, ULONG* lpcNames, LPMAPINAMEID** lpppNames)
    {
        LPVOID pv = nullptr;
        MAPIAllocateBuffer(static_cast<ULONG>(sizeof(LPMAPINAMEID) * std::max<ULONG>(pTags->cValues, 1)), &pv);
        auto* array = static_cast<LPMAPINAMEID*>(pv);
        HRESULT hr = S_OK;
        for (ULONG i = 0; i < pTags->cValues; ++i) {
            array[i] = nullptr;
            auto it = namesById.find(PROP_ID(pTags->aulPropTag[i]));
            if (it == namesById.end()) {
                hr = MAPI_W_ERRORS_RETURNED;
                continue;
            }
            LPVOID pvName = nullptr;
            MAPIAllocateMore(sizeof(MAPINAMEID) + sizeof(GUID), pv, &pvName);
            auto* name = static_cast<LPMAPINAMEID>(pvName);
            auto* guid = reinterpret_cast<LPGUID>(name + 1);
            *guid = it->second.guid;
            name->lpguid = guid;
            name->ulKind = it->second.kind;
            if (it->second.kind == MNID_STRING) {
                const size_t cb = (it->second.name.size() + 1) * sizeof(WCHAR);
                MAPIAllocateMore(static_cast<ULONG>(cb), pv, reinterpret_cast<LPVOID*>(&name->Kind.lpwstrName));
                std::memcpy(name->Kind.lpwstrName, it->second.name.c_str(), cb);
            } else {
                name->Kind.lID = it->second.id;
            }
            array[i] = name;
        }
        *lpcNames = pTags->cValues;
        *lpppNames = array;
        return hr;
    }
};

} // namespace fake
