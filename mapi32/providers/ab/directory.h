// What the address book shows, read from the session's stores through MAPI
// only (GetMsgStoresTable, OpenMsgStore, OpenEntry, GetHierarchyTable,
// GetContentsTable, GetIDsFromNames, GetProps), so it works over any store
// provider:
//  - a container per contacts folder (PR_CONTAINER_CLASS "IPF.Contact" or a
//    class below it) anywhere in a store's folder tree;
//  - in a container, a mail user per e-mail address of each contact
//    (IPM.Contact: Email1..Email3 of PSETID_Address) and a distribution list
//    per IPM.DistList message;
//  - a distribution list's members from PidLidDistributionListMembers and
//    PidLidDistributionListOneOffMembers.
// A store, folder or message that cannot be read is left out; the rest stays.
#pragma once

#include "mapi32/providers/ab/abentryid.h"
#include "mapi32/providers/ab/abprops.h"

#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace dravik::mapi32::ab {

struct ContainerInfo
{
    std::vector<uint8_t> storeEntryId;
    std::vector<uint8_t> folderEntryId;
    std::string displayName;  // the folder's name, with the store's in brackets when several stores have contacts
    std::vector<uint8_t> EntryId() const;
};

// One address-book session's view of the stores; shared by the address book
// and every object opened from it. Keeps a reference to the session.
class Directory
{
public:
    explicit Directory(IMAPISession* session);
    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // The contacts folders of the session's stores, in store and folder order (read once).
    HRESULT Containers(std::vector<ContainerInfo>& out);
    // The container of an entry ID, or MAPI_E_NOT_FOUND.
    HRESULT FindContainer(const AbEntryId& id, ContainerInfo& out);
    // The rows of a container's contents table.
    HRESULT Contents(const ContainerInfo& container, std::vector<PropSet>& rows);
    // All properties of a mail user or a distribution list.
    HRESULT Entry(const AbEntryId& id, PropSet& props);
    // The rows of a distribution list's contents table: its members.
    HRESULT Members(const AbEntryId& list, std::vector<PropSet>& rows);

    // Properties of an address carried by a one-off entry ID.
    static PropSet OneOffProps(const std::vector<uint8_t>& entryId, const OneOffEntry& entry);

private:
    struct NamedIds;
    HRESULT OpenStore(const std::vector<uint8_t>& storeEntryId, LPMDB* store);
    HRESULT Names(const std::vector<uint8_t>& storeEntryId, IMsgStore* store, NamedIds& out);
    HRESULT ReadMessage(const AbEntryId& id, PropSet& message, NamedIds& names);
    void Walk(IMAPIFolder* folder, const std::vector<uint8_t>& storeEntryId, int depth,
              std::vector<std::vector<uint8_t>>& seen, std::vector<ContainerInfo>& out);

    IMAPISession* m_session;
    std::mutex m_mutex;
    std::optional<std::vector<ContainerInfo>> m_containers;
    std::map<std::vector<uint8_t>, std::vector<ULONG>> m_names;  // store entry ID -> property IDs of kLids
};

} // namespace dravik::mapi32::ab
