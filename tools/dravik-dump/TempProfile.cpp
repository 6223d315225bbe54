#include "TempProfile.h"

#include "mapi/TempProfileOwners.h"
#include "MapiRef.h"

#include "mapi32/mapix.h"
#include "mapi32/providers/msg/msg_service.h"

#include <cstdio>
#include <ctime>
#include <random>
#include <unistd.h>

HRESULT CTempProfile::Create(const std::string& strStorePath, std::string& strStep)
{
    Delete();
    CRef<IProfAdmin> admin;
    strStep = "MAPIAdminProfiles";
    HRESULT hr = MAPIAdminProfiles(0, admin.Out());
    if (FAILED(hr))
        return hr;

    // CreateProfile refuses a name that is taken, atomically, so two
    // processes that draw the same name never share or delete one profile.
    std::mt19937 generator(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(::getpid()) ^
                           std::random_device{}());
    std::uniform_int_distribution<int> draw(0, 32767);
    strStep = "CreateProfile";
    hr = MAPI_E_NO_ACCESS;
    std::string strName;
    for (int nTry = 0; nTry < 1000 && hr == MAPI_E_NO_ACCESS; ++nTry) {
        char szName[256];
        std::snprintf(szName, sizeof szName, "PROFILE%06d", draw(generator));
        strName = szName;
        hr = admin->CreateProfile(strName.data(), nullptr, 0, 0);
    }
    if (FAILED(hr))
        return hr;
    m_strName = strName;
    // A dump killed outright leaves its profile to the next start of Dravik,
    // which sees that its owner is gone.
    tempprofiles::RecordOwner(m_strName);

    hr = Configure(admin.Get(), strStorePath, strStep);
    if (FAILED(hr))
        Delete();
    return hr;
}

HRESULT CTempProfile::Configure(IProfAdmin* pAdmin, const std::string& strStorePath, std::string& strStep)
{
    CRef<IMsgServiceAdmin> services;
    strStep = "AdminServices";
    HRESULT hr = pAdmin->AdminServices(m_strName.data(), nullptr, 0, 0, services.Out());
    if (FAILED(hr))
        return hr;
    // A .msg file (a compound file) opens through its own service, a store file through "MSPST MS".
    std::string strService = dravik::mapi32::StoreServiceOfFile(strStorePath);
    strStep = "CreateMsgService";
    hr = services->CreateMsgService(strService.data(), m_strName.data(), 0, SERVICE_UI_ALLOWED);
    if (FAILED(hr))
        return hr;

    // The service's UID, from its row in the service table.
    CRef<IMAPITable> table;
    strStep = "GetMsgServiceTable";
    hr = services->GetMsgServiceTable(0, table.Out());
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(2, columns) = {2, {PR_SERVICE_NAME, PR_SERVICE_UID}};
    SPropValue name{};
    name.ulPropTag = PR_SERVICE_NAME;
    name.Value.lpszA = strService.data();
    SRestriction restriction{};
    restriction.rt = RES_CONTENT;
    restriction.res.resContent.ulFuzzyLevel = FL_FULLSTRING;
    restriction.res.resContent.ulPropTag = PR_SERVICE_NAME;
    restriction.res.resContent.lpProp = &name;
    LPSRowSet pRows = nullptr;
    strStep = "HrQueryAllRows";
    hr = HrQueryAllRows(table.Get(), reinterpret_cast<LPSPropTagArray>(&columns), &restriction, nullptr, 0, &pRows);
    if (FAILED(hr))
        return hr;
    MAPIUID uid{};
    bool bFound = false;
    if (pRows && pRows->cRows > 0) {
        const SPropValue& v = pRows->aRow[0].lpProps[1];
        if (v.ulPropTag == PR_SERVICE_UID && v.Value.bin.cb == sizeof uid.ab) {
            for (size_t i = 0; i < sizeof uid.ab; ++i)
                uid.ab[i] = v.Value.bin.lpb[i];
            bFound = true;
        }
    }
    if (pRows)
        FreeProws(pRows);
    if (!bFound)
        return MAPI_E_NOT_FOUND;

    std::string strPath = strStorePath;
    SPropValue path{};
    path.ulPropTag = PR_PST_PATH;
    path.Value.lpszA = strPath.data();
    strStep = "ConfigureMsgService";
    return services->ConfigureMsgService(&uid, 0, 0, 1, &path);
}

void CTempProfile::Delete()
{
    if (m_strName.empty())
        return;
    CRef<IProfAdmin> admin;
    if (SUCCEEDED(MAPIAdminProfiles(0, admin.Out()))) {
        const HRESULT hr = admin->DeleteProfile(m_strName.data(), 0);
        if (SUCCEEDED(hr) || hr == MAPI_E_NOT_FOUND)
            tempprofiles::ForgetOwner(m_strName);
    }
    m_strName.clear();
}

HRESULT OpenFirstStoreRoot(IMAPISession* pSession, IMsgStore** ppStore, IMAPIFolder** ppRoot)
{
    *ppStore = nullptr;
    *ppRoot = nullptr;
    LPMAPITABLE pStores = nullptr;
    LPSRowSet pRows = nullptr;
    HRESULT hr = pSession->GetMsgStoresTable(0, &pStores);
    if (SUCCEEDED(hr))
        hr = HrQueryAllRows(pStores, nullptr, nullptr, nullptr, 0, &pRows);
    const SPropValue* pEid = nullptr;
    if (SUCCEEDED(hr))
        pEid = pRows->cRows > 0 ? PpropFindProp(pRows->aRow[0].lpProps, pRows->aRow[0].cValues, PR_ENTRYID) : nullptr;
    if (SUCCEEDED(hr) && pEid == nullptr)
        hr = MAPI_E_NOT_FOUND;
    if (SUCCEEDED(hr))
        hr = pSession->OpenMsgStore(0, pEid->Value.bin.cb, reinterpret_cast<LPENTRYID>(pEid->Value.bin.lpb), nullptr,
                                    MAPI_BEST_ACCESS, ppStore);
    ULONG ulType = 0;
    if (SUCCEEDED(hr))
        hr = (*ppStore)->OpenEntry(0, nullptr, nullptr, 0, &ulType, reinterpret_cast<LPUNKNOWN*>(ppRoot));
    if (FAILED(hr) && *ppStore != nullptr) {
        (*ppStore)->Release();
        *ppStore = nullptr;
    }
    if (pRows)
        FreeProws(pRows);
    if (pStores)
        pStores->Release();
    return hr;
}
