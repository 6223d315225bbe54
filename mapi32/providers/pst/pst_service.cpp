// "MSPST MS": the store-file service, configured with PR_PST_PATH. This is the
// configuration-only registration: logon succeeds and lists the store; opening
// the store is the store provider's.
#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/provider.h"

#include <sys/stat.h>

namespace dravik::mapi32 {
namespace {

class PstLogon final : public ProviderLogon
{
public:
    HRESULT OpenMsgStore(ULONG, LPCIID, ULONG, LPMDB* lppMDB) override
    {
        if (lppMDB)
            *lppMDB = nullptr;
        return MAPI_E_NOT_FOUND;
    }
};

} // namespace

void RegisterPstService()
{
    MessageService s;
    s.name = "MSPST MS";
    s.displayName = "Personal Folders";
    s.providerDisplay = "Personal Folders";
    s.dllName = "dravik-mapi32";
    s.entryName = "PSTServiceEntry";
    s.providerUid = {{0x44, 0x52, 0x56, 0x4B, 0x50, 0x53, 0x54, 0x00, 0x9A, 0x31, 0x27, 0x70, 0x0C, 0x11, 0xEF, 0x01}};
    s.resourceType = MAPI_STORE_PROVIDER;
    s.resourceFlags = 0;
    s.isStore = true;
    s.configure = [](ULONG c, const SPropValue* props, ServiceProps& out) -> HRESULT {
        ServiceProps next = out;
        for (ULONG i = 0; i < c; ++i) {
            std::string text;
            if (PROP_ID(props[i].ulPropTag) != PROP_ID(PR_PST_PATH) || !ConfigText(props[i], text) || text.empty())
                return MAPI_E_INVALID_PARAMETER;
            struct stat st{};
            if (stat(text.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                return MAPI_E_NOT_FOUND;  // the store file must exist: it is opened read-only, never created
            next[PR_PST_PATH] = text;
        }
        out = std::move(next);
        return S_OK;
    };
    s.logon = [](const ServiceEntry& service, ULONG, ULONG, std::unique_ptr<ProviderLogon>& logon) -> HRESULT {
        if (ConfigString(service.props, PR_PST_PATH).empty())
            return MAPI_E_UNCONFIGURED;
        logon = std::make_unique<PstLogon>();
        return S_OK;
    };
    RegisterMessageService(std::move(s));
}

} // namespace dravik::mapi32
