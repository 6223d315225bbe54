// Entry IDs of the address book: our own, and the public forms that contacts
// and distribution lists keep in a store (one-off and wrapped entry IDs).
//
// Our entry IDs, all little-endian:
//
//   offset  size      field
//   0       4         abFlags: 0 (long-term)
//   4       16        ProviderUID: kAbProviderUid
//   20      1         Version: 1
//   21      1         Kind: 0 root container, 1 container (a contacts folder),
//                     2 mail user (one e-mail address of a contact), 3 distribution list
//   22      1         EmailIndex: 1, 2 or 3 (Email1..Email3) for a mail user, else 0
//   23      1         Reserved: 0
//   24      4         cbStore: size of the store's entry ID (0 for the root)
//   28      4         cbObject: size of the object's entry ID (0 for the root)
//   32      cbStore   the store's entry ID as the session's stores table gives it
//   32+cbStore cbObject the folder's (container) or the message's (mail user,
//                     distribution list) entry ID as that store gives it
//
// So an entry ID names its object through MAPI alone: IMAPISession::OpenMsgStore
// of the store's entry ID, then IMsgStore::OpenEntry of the object's.
#pragma once

#include "mapi32/mapidefs.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dravik::mapi32::ab {

extern const MAPIUID kAbProviderUid;

enum class AbKind : uint8_t { Root = 0, Container = 1, MailUser = 2, DistList = 3 };

struct AbEntryId
{
    AbKind kind = AbKind::Root;
    uint8_t emailIndex = 0;
    std::vector<uint8_t> storeEntryId;
    std::vector<uint8_t> objectEntryId;
};

enum class EntryIdCheck
{
    Ours,       // decoded
    Foreign,    // another provider's entry ID
    Malformed,  // our provider UID, but the rest does not hold together
};

std::vector<uint8_t> EncodeAbEntryId(const AbEntryId& id);
EntryIdCheck DecodeAbEntryId(const uint8_t* bytes, size_t cb, AbEntryId& out);

// One-off entry ID (MS-OXCDATA 2.2.5.1): an address carried in the entry ID itself.
struct OneOffEntry
{
    std::string displayName;  // UTF-8
    std::string addressType;
    std::string address;
};
// Unicode (MAPI_ONE_OFF_UNICODE) unless told otherwise; strings are UTF-8 in, UTF-16LE out.
std::vector<uint8_t> EncodeOneOff(const OneOffEntry& entry, bool unicode = true);
// False when the bytes are not a one-off entry ID or one cut short.
bool DecodeOneOff(const uint8_t* bytes, size_t cb, OneOffEntry& out);

// Wrapped entry ID of a distribution-list member (MS-OXOCNTC 2.2.2.2.4.1.1).
struct WrappedEntryId
{
    uint8_t type = 0;  // low 4 bits: what is embedded; bits 4-6: the e-mail address of a contact
    std::vector<uint8_t> embedded;

    uint8_t EmbeddedKind() const { return type & 0x0F; }
    // 1..3 for a contact's Email1..Email3; 0 for anything else (a fax address, no contact).
    uint8_t EmailIndex() const;
};
constexpr uint8_t kWrappedOneOff = 0, kWrappedContact = 3, kWrappedDistList = 4;
bool DecodeWrapped(const uint8_t* bytes, size_t cb, WrappedEntryId& out);

// PR_SEARCH_KEY of an address as MAPI forms it: "ADDRTYPE:ADDRESS", upper-cased, NUL-terminated.
std::vector<uint8_t> SearchKey(const std::string& addressType, const std::string& address);

// Text conversions used by the address book (UTF-8 inside).
std::string Utf16leToUtf8(const uint8_t* bytes, size_t cb);

} // namespace dravik::mapi32::ab
