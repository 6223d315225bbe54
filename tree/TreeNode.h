// The record behind one item of the object tree: what kind of MAPI object the
// item stands for, and the MAPI objects and property values behind it. The
// property list, the named-property list and the attachment command read the
// record of the document's current node. Qt-free.
//
// Ownership: a store node opens its store and owns it (logged off when the
// node goes); every node below it holds a copy of that pointer. The
// address-book root owns the address book; its containers copy it. A message
// node owns its message; its "Attachments" and "Recipients" groups copy it.
// Owned objects are released exactly once, by Release (also run by the
// destructor). The owning node is always an ancestor of the nodes that copy
// its pointers, so it outlives them.
#pragma once

#include "mapi/MAPIWrappers.h"
#include "props/PropValueArray.h"

// The tree's own node kinds beside the MAPI object types (MAPI_STORE ...
// MAPI_STATUS keep their MAPI values).
inline constexpr int NODE_ADDRBOOK_ROOT = 14;
inline constexpr int NODE_NAMED_PROPS = 17;

class CTreeNode
{
public:
    CTreeNode() = default;
    ~CTreeNode() { Release(); }
    CTreeNode(const CTreeNode&) = delete;
    CTreeNode& operator=(const CTreeNode&) = delete;

    // Releases what the node owns, in this order: the attachment (attachment
    // nodes), the entry (when m_bOwns), the property values, the address book
    // (address-book root), the store (store node owning it: StoreLogoff, then
    // release), the container; then clears those pointers. Running it twice
    // releases nothing twice.
    void Release();

    // TRUE once the node's children were loaded by its first expansion; set
    // from the start on nodes that never load anything.
    BOOL m_bChildrenLoaded = FALSE;
    // A MAPI object type (PR_OBJECT_TYPE), NODE_ADDRBOOK_ROOT or
    // NODE_NAMED_PROPS; -1 for category roots, groups and rows without a type.
    int m_nKind = -1;
    // The values of the row the node was made from (for the address-book root
    // and an embedded message: all properties of the object; a message let
    // go: part of its row, see m_bRowTrimmed). Null on the category roots
    // and the groups. Owned.
    CPropValueArray* m_pProps = nullptr;
    // The store the node lies in; owned by the store node only.
    CMsgStoreWrapper* m_pStore = nullptr;
    // The container whose hierarchy and contents tables give the children;
    // null when the node cannot load children. Always owned.
    CFolderWrapper* m_pContainer = nullptr;
    // The address book; owned by the address-book root only.
    CAddrBookWrapper* m_pAddrBook = nullptr;
    // Attachment nodes: a cell holding the opened attachment (null in the
    // cell when it could not be opened). Owned.
    LPATTACH* m_pAttach = nullptr;
    // The object opened for the row (folder, message, mail user, recipient,
    // address-book container); on message nodes an IMessage. Owned when
    // m_bOwns; the groups hold their message node's pointer.
    CMAPIWrapper* m_pEntry = nullptr;
    // The node owns m_pEntry and, on a store node, m_pStore.
    BOOL m_bOwns = FALSE;

    // Beyond the fields the views read: the row's own value block from the
    // table (m_pProps borrows it), freed with the node. Null when m_pProps
    // owns its values.
    LPSPropValue m_pRowValues = nullptr;
    // How many embedded messages lie between this node and its store's
    // folder (0 for ordinary nodes); bounds nesting in a damaged store.
    int m_nEmbedDepth = 0;

    // A message listed from a folder's contents, and each of its attachments
    // that holds no embedded message, let their opened objects go once listed:
    // a large folder keeps its rows' values, not every opened message. The
    // node opens its object again (through its store, from the row's entry
    // ID; an attachment through its message and its attachment number) while
    // it is current. TRUE while the object is let go.
    BOOL m_bLetGo = FALSE;
    // A message let go whose "Attachments" and "Recipients" groups went
    // with it once listed: they are listed again when the message is
    // expanded.
    BOOL m_bGroupsLater = FALSE;
    // Groups and attachments below a message: that message's node. A group
    // shows its message's entry (Entry()).
    CTreeNode* m_pMessageNode = nullptr;
    // A message listed from a folder's contents table: that folder (the
    // container of the folder's node, which outlives this node) and the
    // row's position in the table. Null for every other node.
    CFolderWrapper* m_pRowFolder = nullptr;
    ULONG m_ulRowNum = 0;
    // TRUE while such a message, let go, keeps only the values of its row
    // that the tree and the Find window read without making it current (its
    // entry ID, instance key, names, class, flags); ReadRowAgain reads the
    // whole row again.
    BOOL m_bRowTrimmed = FALSE;
    // Releases the object the node can open again (no-op on other nodes);
    // a message listed from a contents table also trims its row.
    void LetGo();
    // Keeps only those values of the row (see m_bRowTrimmed).
    void TrimRow();
    // Reads a trimmed row again from its folder's contents table, with the
    // columns of the listing: the row at its position, or else the row whose
    // instance key (or entry ID) is the same. FALSE, the row staying
    // trimmed, when it is not found.
    bool ReadRowAgain();
    // Opens the object let go again; FALSE when it could not be opened (the
    // node then holds none, as a row that failed to open at listing does).
    bool OpenAgain();

    // The entry the node shows: its own, or for a group its message's.
    CMAPIWrapper* Entry() const
    {
        return m_pMessageNode != nullptr && m_nKind == -1 ? m_pMessageNode->m_pEntry : m_pEntry;
    }
    // The entry as a message, or null when the node holds none.
    IMessage* Message() const
    {
        CMAPIWrapper* pEntry = Entry();
        return pEntry ? dynamic_cast<IMessage*>(pEntry->m_pObj) : nullptr;
    }
    // The attachment, or null.
    IAttach* Attach() const { return m_pAttach ? *m_pAttach : nullptr; }
};
