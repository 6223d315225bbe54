// The session's address book (IAddrBook), read-only, over the contacts of the
// session's stores:
//  - OpenEntry with no entry ID gives the root container (MAPI_ABCONT); its
//    hierarchy table lists one container per contacts folder of the stores;
//  - a container's contents table lists each contact's e-mail addresses
//    (Email1..Email3) as MAPI_MAILUSER rows and each distribution list as a
//    MAPI_DISTLIST row;
//  - OpenEntry of a row's PR_ENTRYID (on the address book or a container)
//    gives an IABContainer, IMailUser or IDistList; a distribution list's
//    contents table lists its members; a one-off entry ID opens as a mail user.
// Unknown or malformed entry IDs fail with MAPI_E_INVALID_ENTRYID, entry IDs
// of objects that are gone with MAPI_E_NOT_FOUND; every write with MAPI_E_NO_ACCESS.
// With MAPI_UNICODE, tables and GetProps give strings as PT_UNICODE.
// The entry ID layout is described in abentryid.h.
#pragma once

#include "mapi32/mapidefs.h"

namespace dravik::mapi32 {

// A new address book over a session (which it keeps a reference to).
HRESULT CreateAddressBook(IMAPISession* session, LPADRBOOK* lppAdrBook);

} // namespace dravik::mapi32
