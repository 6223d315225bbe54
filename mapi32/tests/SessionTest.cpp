#include "TestProfiles.h"

#include "mapi32/hooks.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"

#include <cstring>

using namespace dravik::mapi32;

namespace {

class Chooser : public IProfileChooser
{
public:
    HRESULT result = S_OK;
    std::string answer;
    std::vector<std::string> offered;
    HRESULT ChooseProfile(ULONG, const std::vector<std::string>& profiles, const std::string&, std::string& chosen) override
    {
        offered = profiles;
        chosen = answer;
        return result;
    }
};

struct HookGuard
{
    ~HookGuard() { SetProfileChooser(nullptr); }
};

class SessionTest : public ProfileFolderTest
{
protected:
    // A profile with the given services; store services point at a real sample store.
    void MakeProfile(std::string name, std::vector<std::string> services)
    {
        ASSERT_EQ(m_admin->CreateProfile(name.data(), nullptr, 0, 0), S_OK);
        LPSERVICEADMIN svc = nullptr;
        ASSERT_EQ(m_admin->AdminServices(name.data(), nullptr, 0, 0, &svc), S_OK);
        for (std::string& s : services) {
            ASSERT_EQ(svc->CreateMsgService(s.data(), nullptr, 0, 0), S_OK);
            LPMAPITABLE t = nullptr;
            ASSERT_EQ(svc->GetMsgServiceTable(0, &t), S_OK);
            LPSRowSet rows = nullptr;
            ASSERT_EQ(HrQueryAllRows(t, nullptr, nullptr, nullptr, 0, &rows), S_OK);
            MAPIUID uid{};
            std::memcpy(uid.ab, rows->aRow[rows->cRows - 1].lpProps[1].Value.bin.lpb, 16);  // newest: last
            FreeProws(rows);
            t->Release();
            std::string path = DRAVIK_SAMPLES_DIR "/pstsdk-sample1.pst", who = "jdoe";
            SPropValue v{};
            v.ulPropTag = s == "MSEMS" ? PR_PROFILE_UNRESOLVED_NAME : PR_PST_PATH;
            v.Value.lpszA = s == "MSEMS" ? who.data() : path.data();
            ASSERT_EQ(svc->ConfigureMsgService(&uid, 0, 0, 1, &v), S_OK);
        }
        svc->Release();
    }
};

std::vector<std::vector<SPropValue>> AllRows(LPMAPITABLE t, LPSRowSet& keep)
{
    ULONG count = 0;
    EXPECT_EQ(t->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    EXPECT_EQ(t->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(t->QueryRows(static_cast<LONG>(count), 0, &keep), S_OK);
    std::vector<std::vector<SPropValue>> out;
    for (ULONG i = 0; i < keep->cRows; ++i)
        out.emplace_back(keep->aRow[i].lpProps, keep->aRow[i].lpProps + keep->aRow[i].cValues);
    return out;
}

const SPropValue* Find(std::vector<SPropValue>& row, ULONG tag)
{
    return PpropFindProp(row.data(), static_cast<ULONG>(row.size()), tag);
}

} // namespace

TEST_F(SessionTest, LogonListsStoresAndStatusRowsThenLogsOff)
{
    MakeProfile("Two stores", {"MSPST MS", "MSPST MS"});
    std::string name = "Two stores";
    LPMAPISESSION session = nullptr;
    ASSERT_EQ(MAPILogonEx(0, name.data(), nullptr, MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE, &session), S_OK);

    LPMAPITABLE stores = nullptr;
    ASSERT_EQ(session->GetMsgStoresTable(0, &stores), S_OK);
    LPSRowSet keep = nullptr;
    auto rows = AllRows(stores, keep);
    ASSERT_EQ(rows.size(), 2u);
    for (ULONG tag : {PR_DEFAULT_STORE, PR_DISPLAY_NAME, PR_ENTRYID, PR_INSTANCE_KEY, PR_MDB_PROVIDER, PR_OBJECT_TYPE,
                      PR_PROVIDER_DISPLAY, PR_RECORD_KEY, PR_RESOURCE_FLAGS})
        EXPECT_NE(Find(rows[0], tag), nullptr) << std::hex << tag;
    EXPECT_EQ(Find(rows[0], PR_OBJECT_TYPE)->Value.ul, MAPI_STORE);
    EXPECT_TRUE(Find(rows[0], PR_DEFAULT_STORE)->Value.b);
    EXPECT_FALSE(Find(rows[1], PR_DEFAULT_STORE)->Value.b);
    // Each store's entry ID reaches its provider; a foreign one is refused.
    const SPropValue* eid = Find(rows[1], PR_ENTRYID);
    LPMDB store = nullptr;
    const HRESULT opened = session->OpenMsgStore(0, eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb),
                                                 nullptr, MAPI_BEST_ACCESS, &store);
    EXPECT_NE(opened, MAPI_E_INVALID_ENTRYID);
    if (store)
        store->Release();
    BYTE junk[36] = {};
    EXPECT_EQ(session->OpenMsgStore(0, sizeof junk, reinterpret_cast<LPENTRYID>(junk), nullptr, 0, &store),
              MAPI_E_INVALID_ENTRYID);
    FreeProws(keep);
    stores->Release();

    LPMAPITABLE status = nullptr;
    ASSERT_EQ(session->GetStatusTable(0, &status), S_OK);
    rows = AllRows(status, keep);
    ASSERT_EQ(rows.size(), 4u);  // subsystem, two stores, address book
    EXPECT_EQ(Find(rows[0], PR_RESOURCE_TYPE)->Value.ul, MAPI_SUBSYSTEM);
    EXPECT_EQ(Find(rows[1], PR_RESOURCE_TYPE)->Value.ul, MAPI_STORE_PROVIDER);
    EXPECT_EQ(Find(rows[3], PR_RESOURCE_TYPE)->Value.ul, MAPI_AB);
    for (auto& row : rows) {
        EXPECT_EQ(Find(row, PR_OBJECT_TYPE)->Value.ul, MAPI_STATUS);
        EXPECT_NE(Find(row, PR_PROVIDER_DISPLAY), nullptr);
        EXPECT_NE(Find(row, PR_DISPLAY_NAME), nullptr);
        EXPECT_NE(Find(row, PR_STATUS_CODE), nullptr);
    }
    FreeProws(keep);
    status->Release();

    // The address book's root container opens and has an empty hierarchy.
    LPADRBOOK ab = nullptr;
    ASSERT_EQ(session->OpenAddressBook(0, nullptr, 0, &ab), S_OK);
    ULONG type = 0;
    LPUNKNOWN unk = nullptr;
    ASSERT_EQ(ab->OpenEntry(0, nullptr, nullptr, 0, &type, &unk), S_OK);
    EXPECT_EQ(type, MAPI_ABCONT);
    auto* root = static_cast<IABContainer*>(unk);
    LPMAPITABLE hier = nullptr;
    ASSERT_EQ(root->GetHierarchyTable(0, &hier), S_OK);
    ULONG count = 99;
    ASSERT_EQ(hier->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 0u);
    hier->Release();
    root->Release();
    ab->Release();

    LPSERVICEADMIN svc = nullptr;
    ASSERT_EQ(session->AdminServices(0, &svc), S_OK);
    svc->Release();
    EXPECT_EQ(session->Logoff(0, MAPI_LOGOFF_UI, 0), S_OK);
    EXPECT_EQ(session->GetMsgStoresTable(0, &stores), MAPI_E_END_OF_SESSION);
    session->Release();
}

TEST_F(SessionTest, LogonRefusals)
{
    HookGuard guard;
    std::string missing = "Missing";
    LPMAPISESSION session = nullptr;
    EXPECT_EQ(MAPILogonEx(0, missing.data(), nullptr, 0, &session), MAPI_E_LOGON_FAILED);
    EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, 0, &session), MAPI_E_LOGON_FAILED);
    // Asking for a dialog with no hook fails at once.
    EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, MAPI_LOGON_UI, &session), MAPI_E_LOGON_FAILED);
    EXPECT_EQ(session, nullptr);

    MakeProfile("Pick me", {"MSPST MS"});
    Chooser chooser;
    SetProfileChooser(&chooser);
    chooser.result = MAPI_E_USER_CANCEL;
    EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, MAPI_LOGON_UI, &session), MAPI_E_USER_CANCEL);
    EXPECT_EQ(chooser.offered, std::vector<std::string>{"Pick me"});
    chooser.result = S_OK;
    chooser.answer = "Pick me";
    ASSERT_EQ(MAPILogonEx(0, nullptr, nullptr, MAPI_LOGON_UI, &session), S_OK);
    session->Logoff(0, 0, 0);
    session->Release();

    // Exchange cannot be reached here: the logon fails and leaves no session
    // behind, so the profile can be deleted at once.
    MakeProfile("Exchange", {"MSPST MS", "MSEMS"});
    std::string exch = "Exchange";
    session = nullptr;
    EXPECT_EQ(MAPILogonEx(0, exch.data(), nullptr, 0, &session), MAPI_E_NETWORK_ERROR);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(m_admin->DeleteProfile(exch.data(), 0), S_OK);
    EXPECT_FALSE(std::filesystem::exists(m_dir + "/Exchange.prof"));
}

TEST_F(SessionTest, ProfileInUseIsRemovedWhenItsLastSessionLogsOff)
{
    MakeProfile("Busy", {"MSPST MS"});
    std::string busy = "Busy";
    LPMAPISESSION a = nullptr, b = nullptr;
    ASSERT_EQ(MAPILogonEx(0, busy.data(), nullptr, 0, &a), S_OK);
    ASSERT_EQ(MAPILogonEx(0, busy.data(), nullptr, 0, &b), S_OK);
    ASSERT_EQ(m_admin->DeleteProfile(busy.data(), 0), S_OK);
    EXPECT_TRUE(std::filesystem::exists(m_dir + "/Busy.prof"));
    LPMAPITABLE t = nullptr;
    ASSERT_EQ(m_admin->GetProfileTable(0, &t), S_OK);
    ULONG count = 9;
    t->GetRowCount(0, &count);
    EXPECT_EQ(count, 0u);  // marked: no longer listed
    t->Release();
    LPMAPISESSION c = nullptr;
    EXPECT_EQ(MAPILogonEx(0, busy.data(), nullptr, 0, &c), MAPI_E_LOGON_FAILED);
    a->Logoff(0, 0, 0);
    a->Release();
    EXPECT_TRUE(std::filesystem::exists(m_dir + "/Busy.prof"));
    b->Release();  // released without Logoff: still gives the profile back
    EXPECT_FALSE(std::filesystem::exists(m_dir + "/Busy.prof"));
    ASSERT_EQ(m_admin->CreateProfile(busy.data(), nullptr, 0, 0), S_OK);  // the name is free again
}

TEST(Initialisation, RepeatableAndRequired)
{
    LPPROFADMIN admin = nullptr;
    EXPECT_EQ(MAPIAdminProfiles(0, &admin), MAPI_E_NOT_INITIALIZED);
    MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_MULTITHREAD_NOTIFICATIONS};
    EXPECT_EQ(MAPIInitialize(&init), S_OK);
    EXPECT_EQ(MAPIInitialize(&init), S_OK);
    MAPIINIT_0 future{7, 0};
    EXPECT_EQ(MAPIInitialize(&future), MAPI_E_VERSION);
    MAPIUninitialize();
    ASSERT_EQ(MAPIAdminProfiles(0, &admin), S_OK);  // one initialisation still stands
    admin->Release();
    MAPIUninitialize();
}
