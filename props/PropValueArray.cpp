#include "props/PropValueArray.h"

#include "props/PropText.h"


#include <algorithm>
#include <bitset>
#include <cstring>

namespace {

constexpr ULONG kStreamChunk = 1024;

} // namespace

CPropValueArray::~CPropValueArray()
{
    Release();
}

void CPropValueArray::FreeOwned()
{
    // Only values this array read itself, and was told to own, are freed.
    if (m_pSource && m_pValues && m_bOwned)
        MAPIFreeBuffer(m_pValues);
    m_pValues = nullptr;
    m_cValues = 0;
}

HRESULT CPropValueArray::LoadProps(IMAPIProp* pObj, BOOL bOwned)
{
    FreeOwned();
    m_bOwned = bOwned;
    m_pSource = pObj;
    if (!pObj)
        return MAPI_E_INVALID_PARAMETER;

    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    const HRESULT hr = pObj->GetProps(nullptr, 0, &cValues, &pValues);
    // A provider may hand back values together with a warning; an error leaves
    // nothing worth keeping, but whatever it allocated is still ours to free.
    if (FAILED(hr)) {
        if (pValues)
            MAPIFreeBuffer(pValues);
        return hr;
    }
    m_cValues = pValues ? cValues : 0;
    m_pValues = pValues;
    return hr;
}

void CPropValueArray::AttachRow(const SRow& row)
{
    FreeOwned();
    m_pSource = nullptr;
    m_bOwned = 0;
    m_cValues = row.lpProps ? row.cValues : 0;
    m_pValues = row.lpProps;
}

void CPropValueArray::AttachValues(SPropValue* pValues, ULONG cValues)
{
    FreeOwned();
    m_pSource = nullptr;
    m_pValues = pValues;
    m_cValues = pValues ? cValues : 0;
}

void CPropValueArray::Release()
{
    FreeOwned();
    m_pSource = nullptr;
}

SPropValue* CPropValueArray::Find(ULONG ulPropTag) const
{
    if (!m_pValues)
        return nullptr;
    const ULONG ulId = PROP_ID(ulPropTag);
    for (ULONG i = 0; i < m_cValues; ++i) {
        if (PROP_ID(m_pValues[i].ulPropTag) == ulId)
            return &m_pValues[i];
    }
    return nullptr;
}

void CPropValueArray::FindEach(std::vector<const SPropValue*>& first) const
{
    first.resize(m_cValues);
    // An object holds each property ID once, but for a damaged one: the IDs
    // seen are marked in one table, and only when one comes again is each
    // value looked up by searching.
    thread_local std::bitset<0x10000> seen;
    bool bRepeated = false;
    for (ULONG i = 0; i < m_cValues; ++i) {
        const ULONG ulId = PROP_ID(m_pValues[i].ulPropTag);
        bRepeated = bRepeated || seen.test(ulId);
        seen.set(ulId);
        first[i] = &m_pValues[i];
    }
    for (ULONG i = 0; i < m_cValues; ++i)
        seen.reset(PROP_ID(m_pValues[i].ulPropTag));
    if (bRepeated)
        for (ULONG i = 0; i < m_cValues; ++i)
            first[i] = Find(m_pValues[i].ulPropTag);
}

LONG CPropValueArray::GetLong(ULONG ulPropTag) const
{
    const SPropValue* pProp = Find(ulPropTag);
    return pProp ? pProp->Value.l : -1;
}

BOOL CPropValueArray::IsTrue(ULONG ulPropTag) const
{
    const SPropValue* pProp = Find(ulPropTag);
    return pProp && static_cast<unsigned short>(pProp->Value.b) == 1 ? 1 : 0;
}

HRESULT CPropValueArray::ReadStream(ULONG ulPropTag, std::vector<BYTE>& data, ULONG& cbData) const
{
    if (!m_pSource)
        return MAPI_E_INVALID_PARAMETER;

    LPSTREAM pStream = nullptr;
    const HRESULT hr = m_pSource->OpenProperty(ulPropTag, &IID_IStream, 0, MAPI_BEST_ACCESS,
                                               reinterpret_cast<LPUNKNOWN*>(&pStream));
    if (FAILED(hr) || !pStream)
        return hr;

    std::vector<BYTE> result;
    ULONG cbRead = 0;
    BYTE chunk[kStreamChunk + 1];
    for (size_t i = 0;; ++i) {
        std::memset(chunk, 0, sizeof chunk);
        ULONG n = 0;
        pStream->Read(chunk, kStreamChunk, &n);
        if (n == 0)
            break;
        // A stream never delivers more than it was asked for; one that claims
        // to is held to the chunk.
        n = std::min(n, kStreamChunk);
        result.resize((i + 1) * kStreamChunk);
        std::memcpy(result.data() + i * kStreamChunk, chunk, kStreamChunk);
        cbRead += n;
    }
    pStream->Release();

    if (!result.empty()) {
        data = std::move(result);
        cbData += cbRead;
    }
    return hr;
}

void CPropValueArray::FormatProp(std::string& strText, UINT cchText, ULONG ulPropTag) const
{
    const SPropValue* pProp = Find(ulPropTag);
    if (!pProp)
        return;
    // A value the object could not give names nothing.
    if (PROP_TYPE(pProp->ulPropTag) == PT_ERROR)
        return;
    strText = PropValueToText(pProp, cchText);
}

BOOL CPropValueArray::GetPropText(ULONG ulPropTag, std::string& strText, UINT cchText) const
{
    strText.clear();
    if (!Find(ulPropTag))
        return 0;
    FormatProp(strText, cchText, ulPropTag);
    return 1;
}
