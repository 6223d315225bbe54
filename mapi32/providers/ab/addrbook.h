// The session's address book: IAddrBook whose OpenEntry with no entry ID
// opens the root container. The root's hierarchy comes from a
// HierarchySource, so the containers of the session's stores can be listed
// there; without one the hierarchy is empty.
#pragma once

#include "mapi32/mapidefs.h"

#include <functional>
#include <memory>
#include <vector>

namespace dravik::mapi32 {

// Rows of the root container's hierarchy table for a session. Each row should
// hold at least PR_ENTRYID, PR_DISPLAY_NAME, PR_OBJECT_TYPE (MAPI_ABCONT),
// PR_DISPLAY_TYPE and PR_CONTAINER_FLAGS; keepAlive owns the memory the
// values point into until the table has copied them. Containers below the root are opened
// by the source too.
struct AddressBookSource
{
    std::function<HRESULT(IMAPISession* session, std::vector<std::vector<SPropValue>>& rows,
                          std::shared_ptr<void>& keepAlive)>
        hierarchy;
    std::function<HRESULT(IMAPISession* session, ULONG cbEntryID, LPENTRYID lpEntryID, ULONG* lpulObjType,
                          LPUNKNOWN* lppUnk)>
        openEntry;
};
void SetAddressBookSource(AddressBookSource source);

// A new address book over a session (which it keeps a reference to).
HRESULT CreateAddressBook(IMAPISession* session, LPADRBOOK* lppAdrBook);

} // namespace dravik::mapi32
