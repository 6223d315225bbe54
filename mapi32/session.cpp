// Initialisation, profile and service administration, and sessions.
#include "mapi32/hooks.h"
#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"
#include "mapi32/profiles.h"
#include "mapi32/provider.h"
#include "mapi32/providers/ab/addrbook.h"
#include "mapi32/table.h"
#include "mapi32/unknown.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace dravik::mapi32 {
namespace {

std::atomic<int> g_initCount{0};

// Profiles in use by sessions of this process, and those deleted meanwhile,
// which go when their last session logs off.
std::mutex g_useMutex;
std::map<std::string, int> g_inUse;
std::map<std::string, bool> g_pendingDelete;

void AcquireProfile(const std::string& name)
{
    std::lock_guard lock(g_useMutex);
    ++g_inUse[name];
}

void ReleaseProfile(const std::string& name)
{
    bool remove = false;
    {
        std::lock_guard lock(g_useMutex);
        auto it = g_inUse.find(name);
        if (it == g_inUse.end())
            return;
        if (--it->second == 0) {
            g_inUse.erase(it);
            remove = g_pendingDelete.erase(name) > 0;
        }
    }
    if (remove)
        ProfileStore::Delete(name);
}

bool IsPendingDelete(const std::string& name)
{
    std::lock_guard lock(g_useMutex);
    return g_pendingDelete.count(name) > 0;
}

// Marks the profile for deletion if a session uses it; true if marked.
bool MarkIfInUse(const std::string& name)
{
    std::lock_guard lock(g_useMutex);
    if (!g_inUse.count(name))
        return false;
    g_pendingDelete[name] = true;
    return true;
}

// Values that point into storage owned by the builder, for building table rows.
class RowBuilder
{
public:
    RowBuilder() = default;
    RowBuilder(const RowBuilder&) = delete;  // values point into m_strings: never copied or moved
    RowBuilder& operator=(const RowBuilder&) = delete;

    std::vector<SPropValue> row;

    void Long(ULONG tag, ULONG v)
    {
        SPropValue p{};
        p.ulPropTag = tag;
        p.Value.ul = v;
        row.push_back(p);
    }
    void Bool(ULONG tag, bool v)
    {
        SPropValue p{};
        p.ulPropTag = tag;
        p.Value.b = v ? 1 : 0;
        row.push_back(p);
    }
    void Text(ULONG tag, const std::string& s)
    {
        m_strings.push_back(s);
        SPropValue p{};
        p.ulPropTag = tag;
        p.Value.lpszA = m_strings.back().data();
        row.push_back(p);
    }
    void Bin(ULONG tag, const std::string& bytes)
    {
        m_strings.push_back(bytes);
        SPropValue p{};
        p.ulPropTag = tag;
        p.Value.bin.cb = static_cast<ULONG>(bytes.size());
        p.Value.bin.lpb = reinterpret_cast<LPBYTE>(m_strings.back().data());
        row.push_back(p);
    }
    void Uid(ULONG tag, const MAPIUID& uid) { Bin(tag, std::string(reinterpret_cast<const char*>(uid.ab), 16)); }

private:
    std::deque<std::string> m_strings;  // stable addresses
};

HRESULT TableOf(std::deque<RowBuilder>& rows, const std::vector<ULONG>& columns, LPMAPITABLE* out)
{
    std::vector<std::vector<SPropValue>> values;
    for (RowBuilder& r : rows)
        values.push_back(r.row);
    return CreateMemoryTable(values, columns, out);
}

std::string IndexKey(ULONG i) { return std::string(reinterpret_cast<const char*>(&i), sizeof i); }

const char* NameArg(LPSTR s) { return s ? s : ""; }

// ---------------------------------------------------------------- IMsgServiceAdmin

const std::vector<ULONG> kServiceColumns = {PR_SERVICE_NAME, PR_SERVICE_UID, PR_DISPLAY_NAME, PR_RESOURCE_FLAGS,
                                            PR_INSTANCE_KEY, PR_SERVICE_DLL_NAME, PR_SERVICE_ENTRY_NAME};
const std::vector<ULONG> kProviderColumns = {PR_DISPLAY_NAME, PR_PROVIDER_DISPLAY, PR_RESOURCE_TYPE, PR_SERVICE_UID,
                                             PR_INSTANCE_KEY, PR_SERVICE_NAME};

class CMsgServiceAdmin final : public Unknown<IMsgServiceAdmin, IID_IMsgServiceAdmin>
{
public:
    explicit CMsgServiceAdmin(std::string profile) : m_profile(std::move(profile)) {}

    HRESULT GetMsgServiceTable(ULONG, LPMAPITABLE* out) override
    {
        return ServiceTable(kServiceColumns, out, [](const ServiceEntry& s, const MessageService* ms, RowBuilder& r) {
            r.Text(PR_SERVICE_NAME, s.service);
            r.Uid(PR_SERVICE_UID, s.uid);
            r.Text(PR_DISPLAY_NAME, s.displayName);
            r.Long(PR_RESOURCE_FLAGS, s.resourceFlags);
            r.Uid(PR_INSTANCE_KEY, s.uid);
            r.Text(PR_SERVICE_DLL_NAME, ms ? ms->dllName : std::string());
            r.Text(PR_SERVICE_ENTRY_NAME, ms ? ms->entryName : std::string());
        });
    }

    HRESULT CreateMsgService(LPSTR service, LPSTR display, ULONG, ULONG) override
    {
        if (!service || !*service)
            return MAPI_E_INVALID_PARAMETER;
        const MessageService* ms = FindMessageService(service);
        if (!ms)
            return MAPI_E_NOT_FOUND;
        return ProfileStore::Update(m_profile, [&](Profile& p) -> HRESULT {
            if (ms->resourceFlags & SERVICE_SINGLE_COPY)
                for (const ServiceEntry& s : p.services)
                    if (s.service == ms->name)
                        return MAPI_E_NO_ACCESS;
            ServiceEntry e;
            e.uid = NewUid();
            e.service = ms->name;
            e.displayName = display && *display ? display : ms->displayName;
            e.resourceFlags = ms->resourceFlags;
            p.services.push_back(std::move(e));
            return S_OK;
        });
    }

    HRESULT DeleteMsgService(LPMAPIUID uid) override
    {
        if (!uid)
            return MAPI_E_INVALID_PARAMETER;
        return UpdateService(*uid, [](Profile& p, ServiceIt it) -> HRESULT {
            p.services.erase(it);
            return S_OK;
        });
    }

    HRESULT CopyMsgService(LPMAPIUID, LPSTR, LPCIID, LPCIID, LPVOID, ULONG, ULONG) override { return MAPI_E_NO_SUPPORT; }

    HRESULT RenameMsgService(LPMAPIUID uid, ULONG, LPSTR display) override
    {
        if (!uid || !display || !*display)
            return MAPI_E_INVALID_PARAMETER;
        return UpdateService(*uid, [&](Profile&, ServiceIt it) -> HRESULT {
            it->displayName = display;
            return S_OK;
        });
    }

    HRESULT ConfigureMsgService(LPMAPIUID uid, ULONG, ULONG, ULONG cValues, LPSPropValue props) override
    {
        if (!uid || (cValues && !props))
            return MAPI_E_INVALID_PARAMETER;
        return UpdateService(*uid, [&](Profile&, ServiceIt it) -> HRESULT {
            const MessageService* ms = FindMessageService(it->service);
            if (!ms || !ms->configure)
                return MAPI_E_NOT_FOUND;
            return ms->configure(cValues, props, it->props);
        });
    }

    HRESULT OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT MsgServiceTransportOrder(ULONG, LPMAPIUID, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT AdminProviders(LPMAPIUID, ULONG, LPPROVIDERADMIN* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT SetPrimaryIdentity(LPMAPIUID, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetProviderTable(ULONG, LPMAPITABLE* out) override
    {
        return ServiceTable(kProviderColumns, out, [](const ServiceEntry& s, const MessageService* ms, RowBuilder& r) {
            r.Text(PR_DISPLAY_NAME, s.displayName);
            r.Text(PR_PROVIDER_DISPLAY, ms ? ms->providerDisplay : std::string());
            r.Long(PR_RESOURCE_TYPE, ms ? ms->resourceType : 0);
            r.Uid(PR_SERVICE_UID, s.uid);
            r.Uid(PR_INSTANCE_KEY, s.uid);
            r.Text(PR_SERVICE_NAME, s.service);
        });
    }

private:
    using ServiceIt = std::vector<ServiceEntry>::iterator;

    ~CMsgServiceAdmin() = default;

    // Changes the profile's service of this UID as change does; MAPI_E_NOT_FOUND when it has none.
    template <typename Change>
    HRESULT UpdateService(const MAPIUID& uid, Change change) const
    {
        return ProfileStore::Update(m_profile, [&](Profile& p) -> HRESULT {
            auto it = std::find_if(p.services.begin(), p.services.end(),
                                   [&](const ServiceEntry& s) { return std::memcmp(s.uid.ab, uid.ab, 16) == 0; });
            if (it == p.services.end())
                return MAPI_E_NOT_FOUND;
            return change(p, it);
        });
    }

    // A table with one row per service of the profile, as fill makes it from
    // the service and its registered MessageService (null when unknown).
    template <typename Fill>
    HRESULT ServiceTable(const std::vector<ULONG>& columns, LPMAPITABLE* out, Fill fill) const
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        Profile p;
        HRESULT hr = ProfileStore::Read(m_profile, p);
        if (FAILED(hr))
            return hr;
        std::deque<RowBuilder> rows(p.services.size());
        for (size_t i = 0; i < p.services.size(); ++i)
            fill(p.services[i], FindMessageService(p.services[i].service), rows[i]);
        return TableOf(rows, columns, out);
    }

    std::string m_profile;
};

// ---------------------------------------------------------------- IProfAdmin

class CProfAdmin final : public Unknown<IProfAdmin, IID_IProfAdmin>
{
public:
    HRESULT GetProfileTable(ULONG, LPMAPITABLE* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        std::vector<std::string> names;
        std::string def;
        HRESULT hr = ProfileStore::List(names, def);
        if (FAILED(hr))
            return hr;
        std::deque<RowBuilder> rows;
        for (size_t i = 0; i < names.size(); ++i) {
            if (IsPendingDelete(names[i]))
                continue;
            RowBuilder& r = rows.emplace_back();
            r.Text(PR_DISPLAY_NAME, names[i]);
            r.Bool(PR_DEFAULT_PROFILE, names[i] == def);
            r.Bin(PR_INSTANCE_KEY, IndexKey(static_cast<ULONG>(i)));
        }
        return TableOf(rows, {PR_DISPLAY_NAME, PR_DEFAULT_PROFILE, PR_INSTANCE_KEY}, out);
    }

    HRESULT CreateProfile(LPSTR name, LPSTR, ULONG, ULONG) override
    {
        return ProfileStore::Create(NameArg(name));
    }

    HRESULT DeleteProfile(LPSTR name, ULONG) override
    {
        const std::string n = NameArg(name);
        if (HRESULT hr = ValidateProfileName(n.c_str()); FAILED(hr))
            return hr;
        if (IsPendingDelete(n))
            return MAPI_E_NOT_FOUND;
        Profile p;
        HRESULT hr = ProfileStore::Read(n, p);
        if (hr == MAPI_E_NOT_FOUND)
            return hr;
        if (MarkIfInUse(n))
            return S_OK;
        return ProfileStore::Delete(n);
    }

    HRESULT ChangeProfilePassword(LPSTR, LPSTR, LPSTR, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT CopyProfile(LPSTR, LPSTR, LPSTR, ULONG, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT RenameProfile(LPSTR, LPSTR, LPSTR, ULONG, ULONG) override { return MAPI_E_NO_SUPPORT; }

    HRESULT SetDefaultProfile(LPSTR name, ULONG) override
    {
        if (name && IsPendingDelete(name))
            return MAPI_E_NOT_FOUND;
        return ProfileStore::SetDefault(NameArg(name));
    }

    HRESULT AdminServices(LPSTR name, LPSTR, ULONG, ULONG, LPSERVICEADMIN* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        const std::string n = NameArg(name);
        if (IsPendingDelete(n))
            return MAPI_E_NOT_FOUND;
        Profile p;
        HRESULT hr = ProfileStore::Read(n, p);
        if (FAILED(hr))
            return hr;
        *out = new CMsgServiceAdmin(n);
        return S_OK;
    }

private:
    ~CProfAdmin() = default;
};

// ---------------------------------------------------------------- IMAPISession

struct LoggedOnService
{
    ServiceEntry entry;
    const MessageService* service = nullptr;
    std::unique_ptr<ProviderLogon> logon;
};

constexpr BYTE kSubsystemUid[16] = {0x44, 0x52, 0x56, 0x4B, 0x4D, 0x41, 0x50, 0x49,
                                    0x9A, 0x31, 0x27, 0x70, 0x0C, 0x11, 0xEF, 0x00};
constexpr BYTE kAddressBookUid[16] = {0x44, 0x52, 0x56, 0x4B, 0x41, 0x42, 0x4B, 0x00,
                                      0x9A, 0x31, 0x27, 0x70, 0x0C, 0x11, 0xEF, 0x04};

const std::vector<ULONG> kStoreColumns = {PR_DEFAULT_STORE, PR_DISPLAY_NAME, PR_ENTRYID, PR_INSTANCE_KEY,
                                          PR_MDB_PROVIDER, PR_OBJECT_TYPE, PR_PROVIDER_DISPLAY, PR_RECORD_KEY,
                                          PR_RESOURCE_FLAGS};
const std::vector<ULONG> kStatusColumns = {PR_DISPLAY_NAME, PR_PROVIDER_DISPLAY, PR_RESOURCE_TYPE,
                                           PR_STATUS_CODE, PR_OBJECT_TYPE, PR_RESOURCE_METHODS,
                                           PR_RESOURCE_FLAGS, PR_STATUS_STRING, PR_ENTRYID, PR_INSTANCE_KEY,
                                           PR_ROWID, PR_PROVIDER_DLL_NAME};

class CMAPISession final : public Unknown<IMAPISession, IID_IMAPISession>
{
public:
    CMAPISession(std::string profile, std::vector<LoggedOnService> services)
        : m_profile(std::move(profile)), m_services(std::move(services))
    {
    }

    HRESULT GetMsgStoresTable(ULONG, LPMAPITABLE* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        std::lock_guard lock(m_mutex);
        if (m_loggedOff)
            return MAPI_E_END_OF_SESSION;
        const LoggedOnService* def = DefaultStore();
        std::deque<RowBuilder> rows;
        for (const LoggedOnService& s : m_services) {
            if (!s.service->isStore)
                continue;
            const bool isDefault = def == &s;
            RowBuilder& r = rows.emplace_back();
            r.Bool(PR_DEFAULT_STORE, isDefault);
            r.Text(PR_DISPLAY_NAME, StoreName(s));
            r.Bin(PR_ENTRYID, MakeStoreEntryID(s.entry.uid));
            r.Uid(PR_INSTANCE_KEY, s.entry.uid);
            r.Uid(PR_MDB_PROVIDER, s.service->providerUid);
            r.Long(PR_OBJECT_TYPE, MAPI_STORE);
            r.Text(PR_PROVIDER_DISPLAY, s.service->providerDisplay);
            r.Uid(PR_RECORD_KEY, s.entry.uid);
            r.Long(PR_RESOURCE_FLAGS, isDefault ? STATUS_DEFAULT_STORE : 0);
            r.Uid(PR_SERVICE_UID, s.entry.uid);
            r.Text(PR_SERVICE_NAME, s.entry.service);
        }
        return TableOf(rows, kStoreColumns, out);
    }

    HRESULT OpenMsgStore(ULONG ui, ULONG cb, LPENTRYID eid, LPCIID iface, ULONG flags, LPMDB* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        MAPIUID uid;
        if (!ParseStoreEntryID(cb, eid, uid))
            return MAPI_E_INVALID_ENTRYID;
        std::lock_guard lock(m_mutex);
        if (m_loggedOff)
            return MAPI_E_END_OF_SESSION;
        for (LoggedOnService& s : m_services)
            if (std::memcmp(s.entry.uid.ab, uid.ab, 16) == 0 && s.service->isStore && s.logon)
                return s.logon->OpenMsgStore(ui, iface, flags, out);
        return MAPI_E_NOT_FOUND;
    }

    HRESULT OpenAddressBook(ULONG, LPCIID, ULONG, LPADRBOOK* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (LoggedOff())
            return MAPI_E_END_OF_SESSION;
        return CreateAddressBook(this, out);
    }

    HRESULT OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_SUPPORT;
    }

    HRESULT GetStatusTable(ULONG, LPMAPITABLE* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        std::lock_guard lock(m_mutex);
        if (m_loggedOff)
            return MAPI_E_END_OF_SESSION;
        std::deque<RowBuilder> rows;
        ULONG rowid = 0;
        // No status object can be opened, so no IMAPIStatus method is offered (PR_RESOURCE_METHODS 0).
        auto add = [&](const std::string& display, const std::string& provider, ULONG type, ULONG code,
                       const BYTE* uid, ULONG flags) {
            RowBuilder& r = rows.emplace_back();
            r.Text(PR_DISPLAY_NAME, display);
            r.Text(PR_PROVIDER_DISPLAY, provider);
            r.Long(PR_RESOURCE_TYPE, type);
            r.Long(PR_STATUS_CODE, code);
            r.Long(PR_OBJECT_TYPE, MAPI_STATUS);
            r.Long(PR_RESOURCE_METHODS, 0);
            r.Long(PR_RESOURCE_FLAGS, flags);
            r.Text(PR_STATUS_STRING, code & STATUS_AVAILABLE ? "Available" : "Not available");
            std::string eid(4, '\0');
            eid.append(reinterpret_cast<const char*>(uid), 16);
            r.Bin(PR_ENTRYID, eid);
            r.Bin(PR_INSTANCE_KEY, IndexKey(rowid));
            r.Long(PR_ROWID, rowid++);
            r.Text(PR_PROVIDER_DLL_NAME, "dravik-mapi32");
        };
        add("MAPI Subsystem", "MAPI Subsystem", MAPI_SUBSYSTEM, STATUS_AVAILABLE, kSubsystemUid, 0);
        const LoggedOnService* def = DefaultStore();
        for (const LoggedOnService& s : m_services)
            add(StoreName(s), s.service->providerDisplay, s.service->resourceType,
                s.logon ? s.logon->StatusCode() : STATUS_FAILURE, s.entry.uid.ab,
                &s == def ? STATUS_DEFAULT_STORE : 0);
        add("Address Book", "Address Book", MAPI_AB, STATUS_AVAILABLE, kAddressBookUid, 0);
        return TableOf(rows, kStatusColumns, out);
    }

    HRESULT OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override
    {
        return CompareEntryIdBytes(cb1, e1, cb2, e2, result);
    }
    HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT MessageOptions(ULONG, ULONG, LPSTR, LPMESSAGE) override { return MAPI_E_NO_SUPPORT; }
    HRESULT QueryDefaultMessageOpt(LPSTR, ULONG, ULONG*, LPSPropValue*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT EnumAdrTypes(ULONG, ULONG*, LPSTR**) override { return MAPI_E_NO_SUPPORT; }
    HRESULT QueryIdentity(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }

    HRESULT Logoff(ULONG, ULONG, ULONG) override
    {
        std::vector<LoggedOnService> services;
        {
            std::lock_guard lock(m_mutex);
            if (m_loggedOff)
                return S_OK;
            m_loggedOff = true;
            services.swap(m_services);
        }
        services.clear();  // providers log off
        ReleaseProfile(m_profile);
        return S_OK;
    }

    HRESULT SetDefaultStore(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }

    HRESULT AdminServices(ULONG, LPSERVICEADMIN* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (LoggedOff())
            return MAPI_E_END_OF_SESSION;
        *out = new CMsgServiceAdmin(m_profile);
        return S_OK;
    }

    HRESULT ShowForm(ULONG, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG, ULONG, LPSTR) override
    {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT PrepareForm(LPCIID, LPMESSAGE, ULONG*) override { return MAPI_E_NO_SUPPORT; }

private:
    ~CMAPISession()
    {
        Logoff(0, 0, 0);  // a session released without Logoff still gives its profile back
    }

    bool LoggedOff()
    {
        std::lock_guard lock(m_mutex);
        return m_loggedOff;
    }

    // The default store: the one flagged so, else the first store. Called under m_mutex.
    const LoggedOnService* DefaultStore() const
    {
        const LoggedOnService* first = nullptr;
        const LoggedOnService* flagged = nullptr;
        for (const LoggedOnService& s : m_services) {
            if (!s.service->isStore)
                continue;
            if (s.entry.resourceFlags & SERVICE_DEFAULT_STORE)
                flagged = &s;
            if (!first)
                first = &s;
        }
        return flagged ? flagged : first;
    }

    static std::string StoreName(const LoggedOnService& s)
    {
        std::string n = s.logon ? s.logon->StoreDisplayName() : std::string();
        return n.empty() ? s.entry.displayName : n;
    }

    std::mutex m_mutex;
    std::string m_profile;
    std::vector<LoggedOnService> m_services;
    bool m_loggedOff = false;
};

} // namespace
} // namespace dravik::mapi32

using namespace dravik::mapi32;

HRESULT MAPIInitialize(LPVOID lpMapiInit)
{
    if (lpMapiInit) {
        const auto* init = static_cast<const MAPIINIT_0*>(lpMapiInit);
        if (init->ulVersion > MAPI_INIT_VERSION)
            return MAPI_E_VERSION;
    }
    RegisterBuiltinServices();
    ++g_initCount;
    return S_OK;
}

void MAPIUninitialize()
{
    int n = g_initCount.load();
    while (n > 0 && !g_initCount.compare_exchange_weak(n, n - 1)) {
    }
}

HRESULT MAPIAdminProfiles(ULONG, LPPROFADMIN* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (g_initCount.load() <= 0)
        return MAPI_E_NOT_INITIALIZED;
    *out = new CProfAdmin();
    return S_OK;
}

HRESULT MAPILogonEx(ULONG ui, LPSTR profileName, LPSTR, ULONG flags, LPMAPISESSION* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (g_initCount.load() <= 0)
        return MAPI_E_NOT_INITIALIZED;

    std::string name = profileName ? profileName : "";
    if (name.empty()) {
        std::vector<std::string> names;
        std::string def;
        HRESULT hr = ProfileStore::List(names, def);
        if (FAILED(hr))
            return MAPI_E_LOGON_FAILED;
        names.erase(std::remove_if(names.begin(), names.end(), IsPendingDelete), names.end());
        if (flags & MAPI_USE_DEFAULT && !def.empty() && !IsPendingDelete(def)) {
            name = def;
        } else if (flags & MAPI_LOGON_UI) {
            IProfileChooser* chooser = GetProfileChooser();
            if (!chooser)
                return MAPI_E_LOGON_FAILED;
            std::string chosen;
            hr = chooser->ChooseProfile(ui, names, def, chosen);
            if (FAILED(hr))
                return hr;
            if (chosen.empty())
                return MAPI_E_USER_CANCEL;
            name = chosen;
        } else {
            return MAPI_E_LOGON_FAILED;
        }
    }
    if (HRESULT hr = ValidateProfileName(name.c_str()); FAILED(hr))
        return hr;
    if (IsPendingDelete(name))
        return MAPI_E_LOGON_FAILED;

    Profile profile;
    HRESULT hr = ProfileStore::Read(name, profile);
    if (hr == MAPI_E_NOT_FOUND)
        return MAPI_E_LOGON_FAILED;
    if (FAILED(hr))
        return hr;

    std::vector<LoggedOnService> services;
    for (const ServiceEntry& e : profile.services) {
        const MessageService* ms = FindMessageService(e.service);
        if (!ms || !ms->logon)
            continue;  // a service this build does not know: left out of the session
        LoggedOnService s;
        s.entry = e;
        s.service = ms;
        hr = ms->logon(e, ui, flags, s.logon);
        if (FAILED(hr))
            return hr;  // the services logged on so far log off as `services` goes
        services.push_back(std::move(s));
    }
    AcquireProfile(name);
    *out = new CMAPISession(name, std::move(services));
    return S_OK;
}
