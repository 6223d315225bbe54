// "MSEMS": the Exchange service. It is configured with the mailbox name and
// server; there is no Exchange transport on this platform, so logging on to it
// fails with MAPI_E_NETWORK_ERROR and keeps nothing.
#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/provider.h"

namespace dravik::mapi32 {

void RegisterEmsService()
{
    MessageService s;
    s.name = "MSEMS";
    s.displayName = "Microsoft Exchange";
    s.providerDisplay = "Microsoft Exchange Server";
    s.dllName = "dravik-mapi32";
    s.entryName = "EMSCfg";
    s.providerUid = {{0x44, 0x52, 0x56, 0x4B, 0x45, 0x4D, 0x53, 0x00, 0x9A, 0x31, 0x27, 0x70, 0x0C, 0x11, 0xEF, 0x02}};
    s.resourceType = MAPI_STORE_PROVIDER;
    s.resourceFlags = SERVICE_SINGLE_COPY | SERVICE_PRIMARY_IDENTITY;
    s.isStore = true;
    s.configure = [](ULONG c, const SPropValue* props, ServiceProps& out) -> HRESULT {
        ServiceProps next = out;
        for (ULONG i = 0; i < c; ++i) {
            const ULONG id = PROP_ID(props[i].ulPropTag);
            std::string text;
            if (id != PROP_ID(PR_PROFILE_UNRESOLVED_NAME) && id != PROP_ID(PR_PROFILE_UNRESOLVED_SERVER))
                return MAPI_E_INVALID_PARAMETER;
            if (!ConfigText(props[i], text) || text.empty())
                return MAPI_E_INVALID_PARAMETER;
            next[CHANGE_PROP_TYPE(props[i].ulPropTag, PT_STRING8)] = text;
        }
        out = std::move(next);
        return S_OK;
    };
    s.logon = [](const ServiceEntry&, ULONG, ULONG, std::unique_ptr<ProviderLogon>& logon) -> HRESULT {
        logon.reset();
        return MAPI_E_NETWORK_ERROR;
    };
    RegisterMessageService(std::move(s));
}

} // namespace dravik::mapi32
