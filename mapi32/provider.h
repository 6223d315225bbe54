// The subsystem's small provider interface: the registry of message services.
//
// A message service is registered once by name (PR_SERVICE_NAME) with
//  - configure: checks the values given to IMsgServiceAdmin::ConfigureMsgService
//    and merges them into the service's stored configuration (ServiceProps);
//  - logon: opens one configured service for a session (a ProviderLogon);
//    ProviderLogon::OpenMsgStore is what IMAPISession::OpenMsgStore dispatches to
//    for a store service;
//  - the fixed values of its rows in the service, stores and status tables.
//
// Built-in services are registered by RegisterBuiltinServices(), which calls
// RegisterPstService() (mapi32/providers/pst/), RegisterEmsService()
// (mapi32/providers/ems/). The store-file provider keeps that entry point:
// it registers "MSPST MS" through RegisterMessageService.
#pragma once

#include "mapi32/mapidefs.h"
#include "mapi32/profiles.h"

#include <functional>
#include <memory>
#include <string>

namespace dravik::mapi32 {

class ProviderLogon
{
public:
    virtual ~ProviderLogon() = default;
    // Opens the store of a store service. Each call returns a new reference.
    virtual HRESULT OpenMsgStore(ULONG ulUIParam, LPCIID lpInterface, ULONG ulFlags, LPMDB* lppMDB) = 0;
    // PR_DISPLAY_NAME of the store (stores table and status table); "" keeps the service's display name.
    virtual std::string StoreDisplayName() const { return {}; }
    // PR_STATUS_CODE of the provider's status row.
    virtual ULONG StatusCode() const { return 1 /* STATUS_AVAILABLE */; }
};

struct MessageService
{
    std::string name;             // PR_SERVICE_NAME, e.g. "MSPST MS"
    std::string displayName;      // default PR_DISPLAY_NAME of a new service
    std::string providerDisplay;  // PR_PROVIDER_DISPLAY
    std::string dllName;          // PR_SERVICE_DLL_NAME
    std::string entryName;        // PR_SERVICE_ENTRY_NAME
    MAPIUID providerUid{};        // PR_MDB_PROVIDER of its store
    ULONG resourceType = 0;       // PR_RESOURCE_TYPE of its status row (MAPI_STORE_PROVIDER, ...)
    ULONG resourceFlags = 0;      // PR_RESOURCE_FLAGS of its service-table row
    bool isStore = false;         // gives a row in the session's stores table

    std::function<HRESULT(ULONG cValues, const SPropValue* lpProps, ServiceProps& props)> configure;
    std::function<HRESULT(const ServiceEntry& service, ULONG ulUIParam, ULONG ulFlags,
                          std::unique_ptr<ProviderLogon>& logon)>
        logon;
};

// Registers (or replaces) a service by name. Thread-safe.
void RegisterMessageService(MessageService service);
// The registered service, or null. Registers the built-in services on first use.
const MessageService* FindMessageService(const std::string& name);

void RegisterBuiltinServices();
void RegisterPstService();
void RegisterMsgService();  // mapi32/providers/msg/
void RegisterEmsService();

// Configuration helpers for services.
// The text of a PT_STRING8 or PT_UNICODE value (UTF-8); false for other types.
bool ConfigText(const SPropValue& value, std::string& text);
// Value of a text property of the configuration ("" if missing).
std::string ConfigString(const ServiceProps& props, ULONG tag);

// The entry ID of a session's store: our flags, a fixed provider UID, and the
// service's UID. OpenMsgStore accepts only these.
std::string MakeStoreEntryID(const MAPIUID& serviceUid);
bool ParseStoreEntryID(ULONG cb, const ENTRYID* eid, MAPIUID& serviceUid);

// CompareEntryIDs of an object whose entry IDs name the same entry only when
// they are the same bytes (the session's, the address book's).
HRESULT CompareEntryIdBytes(ULONG cb1, const ENTRYID* e1, ULONG cb2, const ENTRYID* e2, ULONG* lpulResult);

} // namespace dravik::mapi32
