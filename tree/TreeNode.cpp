#include "tree/TreeNode.h"

#include "tree/TreeRules.h"

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
    }
    m_bLetGo = TRUE;
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
