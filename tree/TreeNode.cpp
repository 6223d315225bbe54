#include "tree/TreeNode.h"

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
