// A MAPI profile made of store files, for tests: one "MSPST MS" service per
// file, through profile and service administration as a user's tool makes it.
#pragma once

#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"

#include <algorithm>
#include <string>
#include <vector>

// Creates the profile strName with one "MSPST MS" service per file, in this
// order, each configured with the file's path. S_OK, or the first failure.
inline HRESULT CreateStoreProfile(const std::string& strName, const std::vector<std::string>& files)
{
    LPPROFADMIN pAdmin = nullptr;
    HRESULT hr = MAPIAdminProfiles(0, &pAdmin);
    if (FAILED(hr))
        return hr;
    std::string name = strName, service = "MSPST MS";
    LPSERVICEADMIN pServices = nullptr;
    hr = pAdmin->CreateProfile(name.data(), nullptr, 0, 0);
    if (SUCCEEDED(hr))
        hr = pAdmin->AdminServices(name.data(), nullptr, 0, 0, &pServices);
    for (const std::string& strFile : files) {
        if (FAILED(hr))
            break;
        hr = pServices->CreateMsgService(service.data(), nullptr, 0, 0);
        LPMAPITABLE pTable = nullptr;
        if (SUCCEEDED(hr))
            hr = pServices->GetMsgServiceTable(0, &pTable);
        LPSRowSet pRows = nullptr;
        if (SUCCEEDED(hr)) {
            hr = HrQueryAllRows(pTable, nullptr, nullptr, nullptr, 0, &pRows);
            pTable->Release();
        }
        if (FAILED(hr))
            break;
        // The service just made is the last row.
        const LPSPropValue pUid = pRows->cRows == 0 ? nullptr
                                                    : PpropFindProp(pRows->aRow[pRows->cRows - 1].lpProps,
                                                                    pRows->aRow[pRows->cRows - 1].cValues,
                                                                    PR_SERVICE_UID);
        MAPIUID uid{};
        if (pUid == nullptr || pUid->Value.bin.cb != sizeof(uid.ab)) {
            FreeProws(pRows);
            hr = MAPI_E_NOT_FOUND;
            break;
        }
        std::copy(pUid->Value.bin.lpb, pUid->Value.bin.lpb + sizeof(uid.ab), uid.ab);
        FreeProws(pRows);
        std::string strPath = strFile;
        SPropValue value{};
        value.ulPropTag = PR_PST_PATH;
        value.Value.lpszA = strPath.data();
        hr = pServices->ConfigureMsgService(&uid, 0, 0, 1, &value);
    }
    if (pServices != nullptr)
        pServices->Release();
    pAdmin->Release();
    return hr;
}
