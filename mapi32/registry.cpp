#include "mapi32/provider.h"

#include "mapi32/mapicode.h"
#include "mapi32/table.h"

#include <cstring>
#include <list>
#include <mutex>

namespace dravik::mapi32 {
namespace {

std::mutex& RegistryMutex()
{
    static std::mutex m;
    return m;
}

// A list: pointers handed out stay valid when more services are registered.
std::list<MessageService>& Services()
{
    static std::list<MessageService> s;
    return s;
}

void RegisterLocked(MessageService service)
{
    for (MessageService& s : Services())
        if (s.name == service.name) {
            s = std::move(service);
            return;
        }
    Services().push_back(std::move(service));
}

bool g_builtinsDone = false;

// Identifies our store entry IDs.
constexpr BYTE kStoreEidUid[16] = {0x44, 0x52, 0x56, 0x4B, 0x53, 0x54, 0x4F, 0x52,
                                   0x45, 0x9A, 0x31, 0x27, 0x70, 0x0C, 0x11, 0xEF};

} // namespace

void RegisterMessageService(MessageService service)
{
    std::lock_guard lock(RegistryMutex());
    RegisterLocked(std::move(service));
}

const MessageService* FindMessageService(const std::string& name)
{
    RegisterBuiltinServices();
    std::lock_guard lock(RegistryMutex());
    for (const MessageService& s : Services())
        if (s.name == name)
            return &s;
    return nullptr;
}

void RegisterBuiltinServices()
{
    {
        std::lock_guard lock(RegistryMutex());
        if (g_builtinsDone)
            return;
        g_builtinsDone = true;
    }
    RegisterPstService();
    RegisterMsgService();
    RegisterEmsService();
}

bool ConfigText(const SPropValue& value, std::string& text)
{
    const ULONG t = PROP_TYPE(value.ulPropTag);
    if (t != PT_STRING8 && t != PT_UNICODE)
        return false;
    return ValueText(value, text);
}

std::string ConfigString(const ServiceProps& props, ULONG tag)
{
    auto it = props.find(CHANGE_PROP_TYPE(tag, PT_STRING8));
    return it == props.end() ? std::string() : it->second;
}

std::string MakeStoreEntryID(const MAPIUID& serviceUid)
{
    std::string eid(4, '\0');
    eid.append(reinterpret_cast<const char*>(kStoreEidUid), 16);
    eid.append(reinterpret_cast<const char*>(serviceUid.ab), 16);
    return eid;
}

bool ParseStoreEntryID(ULONG cb, const ENTRYID* eid, MAPIUID& serviceUid)
{
    if (!eid || cb != 36)
        return false;
    const BYTE* p = reinterpret_cast<const BYTE*>(eid);
    if (std::memcmp(p + 4, kStoreEidUid, 16) != 0)
        return false;
    std::memcpy(serviceUid.ab, p + 20, 16);
    return true;
}

HRESULT CompareEntryIdBytes(ULONG cb1, const ENTRYID* e1, ULONG cb2, const ENTRYID* e2, ULONG* lpulResult)
{
    if (!lpulResult)
        return MAPI_E_INVALID_PARAMETER;
    *lpulResult = cb1 == cb2 && (cb1 == 0 || (e1 && e2 && std::memcmp(e1, e2, cb1) == 0));
    return S_OK;
}

} // namespace dravik::mapi32
