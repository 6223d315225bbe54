// Test helper: a profile of its own (in a temporary profile folder) with one
// "MSPST MS" service on a store file, a session logged on to it and its store.
#pragma once

#include "mapi32/hooks.h"
#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace dravik::mapi32::testing {

// Answers the store password dialog; counts the questions.
class PasswordAnswer final : public IStorePasswordPrompt
{
public:
    PasswordAnswer(std::string password, HRESULT result = S_OK) : m_password(std::move(password)), m_result(result) {}
    HRESULT AskStorePassword(ULONG, const std::string& name, const std::string& path, std::string& password) override
    {
        ++asked;
        lastName = name;
        lastPath = path;
        password = m_password;
        return m_result;
    }
    int asked = 0;
    std::string lastName, lastPath;

private:
    std::string m_password;
    HRESULT m_result;
};

class StoreLogon
{
public:
    // A fresh profile folder; MAPI initialised.
    StoreLogon()
    {
        char tmpl[] = "/tmp/dravik-pstprov-XXXXXX";
        if (!mkdtemp(tmpl))
            ADD_FAILURE() << "mkdtemp";
        dir = tmpl;
        setenv("DRAVIK_MAPI_PROFILES", (dir + "/profiles").c_str(), 1);
        std::filesystem::create_directories(dir + "/profiles");
        EXPECT_EQ(MAPIInitialize(nullptr), S_OK);
    }
    ~StoreLogon()
    {
        Logoff();
        SetStorePasswordPrompt(nullptr);
        MAPIUninitialize();
        std::filesystem::remove_all(dir);
    }
    StoreLogon(const StoreLogon&) = delete;
    StoreLogon& operator=(const StoreLogon&) = delete;

    // Creates the profile "Store" (once) and configures its service with the path.
    HRESULT Configure(const std::string& path)
    {
        LPPROFADMIN admin = nullptr;
        HRESULT hr = MAPIAdminProfiles(0, &admin);
        if (FAILED(hr))
            return hr;
        std::string name = "Store";
        LPSERVICEADMIN svc = nullptr;
        if (!m_created) {
            EXPECT_EQ(admin->CreateProfile(name.data(), nullptr, 0, 0), S_OK);
            EXPECT_EQ(admin->AdminServices(name.data(), nullptr, 0, 0, &svc), S_OK);
            std::string service = "MSPST MS";
            EXPECT_EQ(svc->CreateMsgService(service.data(), nullptr, 0, 0), S_OK);
            m_created = true;
        } else {
            EXPECT_EQ(admin->AdminServices(name.data(), nullptr, 0, 0, &svc), S_OK);
        }
        LPMAPITABLE t = nullptr;
        EXPECT_EQ(svc->GetMsgServiceTable(0, &t), S_OK);
        LPSRowSet rows = nullptr;
        EXPECT_EQ(HrQueryAllRows(t, nullptr, nullptr, nullptr, 0, &rows), S_OK);
        MAPIUID uid{};
        const SPropValue* uidValue = PpropFindProp(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_SERVICE_UID);
        if (uidValue)
            std::memcpy(uid.ab, uidValue->Value.bin.lpb, 16);
        FreeProws(rows);
        t->Release();
        SPropValue v{};
        v.ulPropTag = PR_PST_PATH;
        std::string p = path;
        v.Value.lpszA = p.data();
        hr = svc->ConfigureMsgService(&uid, 0, 0, 1, &v);
        svc->Release();
        admin->Release();
        return hr;
    }

    // Logs on to the profile and opens its store.
    HRESULT Logon(ULONG flags = MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE)
    {
        std::string name = "Store";
        HRESULT hr = MAPILogonEx(0, name.data(), nullptr, flags, &session);
        if (FAILED(hr))
            return hr;
        LPMAPITABLE stores = nullptr;
        EXPECT_EQ(session->GetMsgStoresTable(0, &stores), S_OK);
        LPSRowSet rows = nullptr;
        EXPECT_EQ(HrQueryAllRows(stores, nullptr, nullptr, nullptr, 0, &rows), S_OK);
        EXPECT_EQ(rows->cRows, 1u);
        const SPropValue* eid = PpropFindProp(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_ENTRYID);
        hr = eid ? session->OpenMsgStore(0, eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb),
                                         nullptr, MAPI_BEST_ACCESS, &store)
                 : MAPI_E_NOT_FOUND;
        FreeProws(rows);
        stores->Release();
        return hr;
    }
    HRESULT Open(const std::string& path, ULONG flags = MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE)
    {
        HRESULT hr = Configure(path);
        return FAILED(hr) ? hr : Logon(flags);
    }
    void Logoff()
    {
        if (store)
            store->Release();
        store = nullptr;
        if (session) {
            session->Logoff(0, 0, 0);
            session->Release();
        }
        session = nullptr;
    }

    std::string dir;
    LPMAPISESSION session = nullptr;
    LPMDB store = nullptr;

private:
    bool m_created = false;
};

} // namespace dravik::mapi32::testing
