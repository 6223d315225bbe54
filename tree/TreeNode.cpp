#include "tree/TreeNode.h"

#include "tree/TreeRules.h"

#include "mapi32/mapiutil.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What a message let go keeps of its row: what opens it and finds its row
// again, decides its groups, and names it in the Find window.
constexpr ULONG kKeptRowIds[] = {PROP_ID(PR_ENTRYID),      PROP_ID(PR_INSTANCE_KEY),  PROP_ID(PR_DISPLAY_NAME),
                                 PROP_ID(PR_SUBJECT),      PROP_ID(PR_MESSAGE_CLASS), PROP_ID(PR_MESSAGE_FLAGS),
                                 PROP_ID(PR_HASATTACH),    PROP_ID(PR_OBJECT_TYPE)};

// Each copied value's bytes start on an 8-byte boundary.
constexpr std::size_t Aligned(std::size_t cb)
{
    return (cb + 7) & ~std::size_t{7};
}

// The binary value that finds the row again: its instance key, else its entry ID.
const SPropValue* RowKey(const CPropValueArray& props)
{
    const SPropValue* p = props.Find(PR_INSTANCE_KEY);
    if (p != nullptr && p->ulPropTag == PR_INSTANCE_KEY && p->Value.bin.cb > 0 && p->Value.bin.lpb != nullptr)
        return p;
    return treerules::EntryIdOf(props);
}

bool RowHasKey(const LPSRowSet pRows, const SPropValue& key)
{
    if (pRows == nullptr || pRows->cRows != 1 || pRows->aRow[0].lpProps == nullptr)
        return false;
    const SRow& row = pRows->aRow[0];
    for (ULONG i = 0; i < row.cValues; ++i) {
        const SPropValue& v = row.lpProps[i];
        if (v.ulPropTag == key.ulPropTag)
            return v.Value.bin.cb == key.Value.bin.cb && v.Value.bin.lpb != nullptr &&
                   std::memcmp(v.Value.bin.lpb, key.Value.bin.lpb, key.Value.bin.cb) == 0;
    }
    return false;
}

} // namespace

void CTreeNode::Release()
{
    if (m_pAttach != nullptr && m_nKind == static_cast<int>(MAPI_ATTACH)) {
        if (*m_pAttach != nullptr)
            (*m_pAttach)->Release();
        delete m_pAttach;
    }
    m_pAttach = nullptr;
    if (m_bOwns && m_pEntry != nullptr)
        delete m_pEntry;  // the wrapper releases its object
    m_pEntry = nullptr;
    delete m_pProps;
    m_pProps = nullptr;
    if (m_pRowValues != nullptr) {
        MAPIFreeBuffer(m_pRowValues);
        m_pRowValues = nullptr;
    }
    if (m_pAddrBook != nullptr && m_nKind == NODE_ADDRBOOK_ROOT)
        delete m_pAddrBook;
    m_pAddrBook = nullptr;
    if (m_pStore != nullptr && m_bOwns && m_nKind == static_cast<int>(MAPI_STORE)) {
        LPMDB pStore = m_pStore->Obj();
        if (pStore != nullptr) {
            m_pStore->m_pObj = nullptr;
            LogoffStore(pStore);
        }
        delete m_pStore;
    }
    m_pStore = nullptr;
    delete m_pContainer;
    m_pContainer = nullptr;
}

void CTreeNode::LetGo()
{
    if (m_nKind == static_cast<int>(MAPI_ATTACH)) {
        if (m_pAttach == nullptr || *m_pAttach == nullptr)
            return;
        (*m_pAttach)->Release();
        *m_pAttach = nullptr;
    } else {
        if (m_pEntry == nullptr || !m_bOwns || m_nKind != static_cast<int>(MAPI_MESSAGE))
            return;
        delete m_pEntry;
        m_pEntry = nullptr;
        TrimRow();
    }
    m_bLetGo = TRUE;
}

void CTreeNode::TrimRow()
{
    if (m_pRowFolder == nullptr || m_bRowTrimmed || m_pProps == nullptr || m_pRowValues == nullptr)
        return;
    // One buffer of its exact size: the values, then the bytes of their
    // binaries and strings (a chained copy would start a pool of its own,
    // several times the size of these few values, for every message).
    std::vector<const SPropValue*> kept;
    std::size_t cbData = 0;
    for (ULONG i = 0; i < m_pProps->Count(); ++i) {
        const SPropValue* v = m_pProps->At(i);
        if (std::find(std::begin(kKeptRowIds), std::end(kKeptRowIds), PROP_ID(v->ulPropTag)) == std::end(kKeptRowIds))
            continue;
        switch (PROP_TYPE(v->ulPropTag)) {
        case PT_BINARY: cbData += v->Value.bin.lpb ? Aligned(v->Value.bin.cb) : 0; break;
        case PT_STRING8: cbData += v->Value.lpszA ? Aligned(std::strlen(v->Value.lpszA) + 1) : 0; break;
        case PT_UNICODE:
            if (v->Value.lpszW != nullptr)
                cbData += Aligned((std::char_traits<WCHAR>::length(v->Value.lpszW) + 1) * sizeof(WCHAR));
            break;
        case PT_LONG:
        case PT_I2:
        case PT_BOOLEAN:
        case PT_ERROR:
        case PT_I8:
        case PT_SYSTIME: break;
        default: continue;  // not a type these properties are kept in
        }
        kept.push_back(v);
    }
    const std::size_t cbValues = sizeof(SPropValue) * std::max<std::size_t>(kept.size(), 1);
    LPSPropValue pValues = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(cbValues + cbData), reinterpret_cast<LPVOID*>(&pValues)) != S_OK)
        return;  // the whole row stays
    char* pData = reinterpret_cast<char*>(pValues) + cbValues;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const SPropValue& v = *kept[i];
        SPropValue& out = pValues[i];
        out = v;
        switch (PROP_TYPE(v.ulPropTag)) {
        case PT_BINARY:
            if (v.Value.bin.lpb != nullptr) {
                std::memcpy(pData, v.Value.bin.lpb, v.Value.bin.cb);
                out.Value.bin.lpb = reinterpret_cast<LPBYTE>(pData);
                pData += Aligned(v.Value.bin.cb);
            }
            break;
        case PT_STRING8:
            if (v.Value.lpszA != nullptr) {
                const std::size_t cb = std::strlen(v.Value.lpszA) + 1;
                std::memcpy(pData, v.Value.lpszA, cb);
                out.Value.lpszA = pData;
                pData += Aligned(cb);
            }
            break;
        case PT_UNICODE:
            if (v.Value.lpszW != nullptr) {
                const std::size_t cb = (std::char_traits<WCHAR>::length(v.Value.lpszW) + 1) * sizeof(WCHAR);
                std::memcpy(pData, v.Value.lpszW, cb);
                out.Value.lpszW = reinterpret_cast<LPWSTR>(pData);
                pData += Aligned(cb);
            }
            break;
        default: break;
        }
    }
    m_pProps->AttachValues(pValues, static_cast<ULONG>(kept.size()));
    MAPIFreeBuffer(m_pRowValues);
    m_pRowValues = pValues;
    m_bRowTrimmed = TRUE;
}

bool CTreeNode::ReadRowAgain()
{
    if (!m_bRowTrimmed)
        return true;
    const SPropValue* pKey = m_pProps ? RowKey(*m_pProps) : nullptr;
    if (pKey == nullptr || m_pRowFolder == nullptr || m_pRowFolder->Obj() == nullptr)
        return false;
    CTableRef table;
    if (FAILED(m_pRowFolder->GetContentsTable(table)) || table.Get() == nullptr)
        return false;
    LPMAPITABLE pTable = table.Get();
    CRowSet rows(TRUE);
    // A store's tables keep their order: the row is where it was listed,
    // unless the folder changed since.
    if (FAILED(pTable->SeekRow(BOOKMARK_BEGINNING, static_cast<LONG>(m_ulRowNum), nullptr)) ||
        FAILED(pTable->QueryRows(1, 0, &rows.m_pRows)) || !RowHasKey(rows.Rows(), *pKey)) {
        rows.Release();
        SRestriction res{};
        res.rt = RES_PROPERTY;
        res.res.resProperty.relop = RELOP_EQ;
        res.res.resProperty.ulPropTag = pKey->ulPropTag;
        res.res.resProperty.lpProp = const_cast<LPSPropValue>(pKey);
        if (FAILED(pTable->FindRow(&res, BOOKMARK_BEGINNING, 0)) || FAILED(pTable->QueryRows(1, 0, &rows.m_pRows)) ||
            !RowHasKey(rows.Rows(), *pKey))
            return false;
    }
    SRow& row = rows.Rows()->aRow[0];
    m_pProps->AttachRow(row);
    MAPIFreeBuffer(m_pRowValues);
    m_pRowValues = row.lpProps;
    row.lpProps = nullptr;
    m_bRowTrimmed = FALSE;
    return true;
}

bool CTreeNode::OpenAgain()
{
    if (!m_bLetGo)
        return true;
    m_bLetGo = FALSE;
    if (m_nKind == static_cast<int>(MAPI_ATTACH)) {
        // The attachment is opened through its message, which the caller
        // has opened again first.
        IMessage* pMessage = m_pMessageNode ? m_pMessageNode->Message() : nullptr;
        if (pMessage == nullptr || m_pAttach == nullptr || m_pProps == nullptr)
            return false;
        CMessageWrapper message;
        message.Attach(pMessage, m_pMessageNode->m_pEntry->m_ppTrace);
        const HRESULT hr = message.OpenAttach(static_cast<ULONG>(m_pProps->GetLong(PR_ATTACH_NUM)), *m_pAttach);
        message.m_pObj = nullptr;  // borrowed
        return SUCCEEDED(hr) && *m_pAttach != nullptr;
    }
    const SPropValue* pEid = m_pProps ? treerules::EntryIdOf(*m_pProps) : nullptr;
    if (pEid == nullptr || m_pStore == nullptr)
        return false;
    m_pEntry = new CMAPIWrapper;
    m_pStore->OpenEntry(*pEid, *m_pEntry, 0);
    return m_pEntry->m_pObj != nullptr;
}
