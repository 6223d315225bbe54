#include "TestProfiles.h"

#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/profiles.h"

#include <cstring>
#include <fstream>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace dravik::mapi32;

namespace {

std::vector<std::pair<std::string, bool>> ProfileRows(IProfAdmin* admin)
{
    LPMAPITABLE t = nullptr;
    EXPECT_EQ(admin->GetProfileTable(0, &t), S_OK);
    LPSRowSet rows = nullptr;
    SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME, PR_DEFAULT_PROFILE}};
    EXPECT_EQ(HrQueryAllRows(t, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
    std::vector<std::pair<std::string, bool>> out;
    for (ULONG i = 0; rows && i < rows->cRows; ++i)
        out.emplace_back(rows->aRow[i].lpProps[0].Value.lpszA, rows->aRow[i].lpProps[1].Value.b != 0);
    FreeProws(rows);
    t->Release();
    return out;
}

} // namespace

TEST_F(ProfileFolderTest, ProfileNamesAreCheckedAndNothingIsWrittenOutsideTheFolder)
{
    struct Case
    {
        std::string name;
        HRESULT expected;
    } cases[] = {
        {"", MAPI_E_INVALID_PARAMETER},
        {std::string(65, 'a'), MAPI_E_INVALID_PARAMETER},
        {std::string(64, 'a'), S_OK},
        {"../escape", MAPI_E_INVALID_PARAMETER},
        {"a\\b", MAPI_E_INVALID_PARAMETER},
        {"tab\there", MAPI_E_INVALID_PARAMETER},
        {"del\x7f", MAPI_E_INVALID_PARAMETER},
        {"bad\xff utf8", MAPI_E_INVALID_PARAMETER},
        {[] { std::string s; for (int i = 0; i < 63; ++i) s += "\xF0\x9F\x98\x80"; return s; }(),
         MAPI_E_INVALID_PARAMETER},  // 63 characters, but 252 bytes: too long for a file name
        {"..", S_OK},  // no separator: stays a file inside the folder
        {"Outlook Ünïcode", S_OK},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(m_admin->CreateProfile(c.name.data(), nullptr, 0, 0), c.expected);
    }
    EXPECT_EQ(m_admin->CreateProfile(nullptr, nullptr, 0, 0), MAPI_E_INVALID_PARAMETER);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(m_dir).parent_path() / "escape.prof"));
    const auto rows = ProfileRows(m_admin);
    ASSERT_EQ(rows.size(), 3u);
    std::set<std::string> names;
    for (auto& r : rows)
        names.insert(r.first);
    EXPECT_TRUE(names.count("..")) << ::testing::PrintToString(names);
    EXPECT_TRUE(names.count("Outlook Ünïcode"));
}

TEST_F(ProfileFolderTest, AdministrationRefusals)
{
    std::string work = "Work", missing = "Missing";
    ASSERT_EQ(m_admin->CreateProfile(work.data(), nullptr, 0, 0), S_OK);
    EXPECT_EQ(m_admin->CreateProfile(work.data(), nullptr, 0, 0), MAPI_E_NO_ACCESS);
    EXPECT_EQ(m_admin->DeleteProfile(missing.data(), 0), MAPI_E_NOT_FOUND);
    EXPECT_EQ(m_admin->SetDefaultProfile(missing.data(), 0), MAPI_E_NOT_FOUND);
    LPSERVICEADMIN svc = nullptr;
    EXPECT_EQ(m_admin->AdminServices(missing.data(), nullptr, 0, 0, &svc), MAPI_E_NOT_FOUND);
    ASSERT_EQ(m_admin->AdminServices(work.data(), nullptr, 0, 0, &svc), S_OK);
    std::string unknown = "NO SUCH SERVICE", ems = "MSEMS";
    EXPECT_EQ(svc->CreateMsgService(unknown.data(), nullptr, 0, 0), MAPI_E_NOT_FOUND);
    ASSERT_EQ(svc->CreateMsgService(ems.data(), nullptr, 0, 0), S_OK);
    EXPECT_EQ(svc->CreateMsgService(ems.data(), nullptr, 0, 0), MAPI_E_NO_ACCESS);  // one Exchange service a profile
    MAPIUID none{};
    EXPECT_EQ(svc->DeleteMsgService(&none), MAPI_E_NOT_FOUND);
    EXPECT_EQ(svc->ConfigureMsgService(&none, 0, 0, 0, nullptr), MAPI_E_NOT_FOUND);
    svc->Release();

    ASSERT_EQ(m_admin->SetDefaultProfile(work.data(), 0), S_OK);
    EXPECT_EQ(ProfileRows(m_admin), (std::vector<std::pair<std::string, bool>>{{"Work", true}}));
    ASSERT_EQ(m_admin->DeleteProfile(work.data(), 0), S_OK);
    EXPECT_TRUE(ProfileRows(m_admin).empty());
    EXPECT_EQ(m_admin->DeleteProfile(work.data(), 0), MAPI_E_NOT_FOUND);
}

TEST_F(ProfileFolderTest, ServicesAreConfiguredAndValidatedByTheirProvider)
{
    std::string work = "Work", pst = "MSPST MS", ems = "MSEMS";
    ASSERT_EQ(m_admin->CreateProfile(work.data(), nullptr, 0, 0), S_OK);
    LPSERVICEADMIN svc = nullptr;
    ASSERT_EQ(m_admin->AdminServices(work.data(), nullptr, 0, 0, &svc), S_OK);
    ASSERT_EQ(svc->CreateMsgService(pst.data(), nullptr, 0, 0), S_OK);
    ASSERT_EQ(svc->CreateMsgService(ems.data(), nullptr, 0, 0), S_OK);

    // Find each service the way the program does: an exact match on PR_SERVICE_NAME.
    auto uidOf = [&](std::string name) {
        LPMAPITABLE t = nullptr;
        EXPECT_EQ(svc->GetMsgServiceTable(0, &t), S_OK);
        SPropValue v{};
        v.ulPropTag = PR_SERVICE_NAME;
        v.Value.lpszA = name.data();
        SRestriction r{};
        r.rt = RES_CONTENT;
        r.res.resContent = {FL_FULLSTRING, PR_SERVICE_NAME, &v};
        SizedSPropTagArray(4, cols) = {4, {PR_SERVICE_UID, PR_SERVICE_NAME, PR_DISPLAY_NAME, PR_RESOURCE_FLAGS}};
        LPSRowSet rows = nullptr;
        EXPECT_EQ(HrQueryAllRows(t, reinterpret_cast<LPSPropTagArray>(&cols), &r, nullptr, 0, &rows), S_OK);
        EXPECT_EQ(rows->cRows, 1u);
        MAPIUID uid{};
        EXPECT_EQ(rows->aRow[0].lpProps[0].Value.bin.cb, 16u);
        std::memcpy(uid.ab, rows->aRow[0].lpProps[0].Value.bin.lpb, 16);
        FreeProws(rows);
        t->Release();
        return uid;
    };
    MAPIUID pstUid = uidOf(pst), emsUid = uidOf(ems);

    std::string sample = DRAVIK_SAMPLES_DIR "/pstsdk-sample1.pst", nowhere = "/nonexistent/x.pst";
    SPropValue path{};
    path.ulPropTag = PR_PST_PATH;
    path.Value.lpszA = nowhere.data();
    EXPECT_EQ(svc->ConfigureMsgService(&pstUid, 0, 0, 1, &path), MAPI_E_NOT_FOUND);
    SPropValue wrong{};
    wrong.ulPropTag = PR_PROFILE_UNRESOLVED_NAME;
    wrong.Value.lpszA = sample.data();
    EXPECT_EQ(svc->ConfigureMsgService(&pstUid, 0, 0, 1, &wrong), MAPI_E_INVALID_PARAMETER);
    path.Value.lpszA = sample.data();
    EXPECT_EQ(svc->ConfigureMsgService(&pstUid, 0, 0, 1, &path), S_OK);

    char16_t mailbox[] = u"jdoe", server[] = u"mail.example.com";
    SPropValue exch[2]{};
    exch[0].ulPropTag = PR_PROFILE_UNRESOLVED_NAME_W;
    exch[0].Value.lpszW = mailbox;
    exch[1].ulPropTag = PR_PROFILE_UNRESOLVED_SERVER_W;
    exch[1].Value.lpszW = server;
    EXPECT_EQ(svc->ConfigureMsgService(&emsUid, 0, 0, 1, &path), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(svc->ConfigureMsgService(&emsUid, 0, 0, 2, exch), S_OK);
    svc->Release();

    Profile p;
    ASSERT_EQ(ProfileStore::Read("Work", p), S_OK);
    ASSERT_EQ(p.services.size(), 2u);
    EXPECT_EQ(p.services[0].props.at(PR_PST_PATH), sample);
    EXPECT_EQ(p.services[1].props.at(PR_PROFILE_UNRESOLVED_SERVER), "mail.example.com");

    ASSERT_EQ(m_admin->AdminServices(work.data(), nullptr, 0, 0, &svc), S_OK);
    ASSERT_EQ(svc->DeleteMsgService(&emsUid), S_OK);
    svc->Release();
    ASSERT_EQ(ProfileStore::Read("Work", p), S_OK);
    EXPECT_EQ(p.services.size(), 1u);
}

TEST_F(ProfileFolderTest, DamagedProfileFailsAloneAndLeftoversAreIgnored)
{
    std::string good = "Good", bad = "Bad";
    ASSERT_EQ(m_admin->CreateProfile(good.data(), nullptr, 0, 0), S_OK);
    ASSERT_EQ(m_admin->CreateProfile(bad.data(), nullptr, 0, 0), S_OK);
    // A profile cut short (no END line), and a temporary file a crash left behind.
    std::string text;
    {
        std::ifstream in(m_dir + "/Bad.prof");
        std::getline(in, text);
    }
    std::ofstream(m_dir + "/Bad.prof", std::ios::trunc) << text << "\nNAME =426164\n";
    std::ofstream(m_dir + "/.tmp.ABC123") << "half written";

    LPSERVICEADMIN svc = nullptr;
    EXPECT_EQ(m_admin->AdminServices(bad.data(), nullptr, 0, 0, &svc), MAPI_E_CORRUPT_DATA);
    LPMAPISESSION session = nullptr;
    EXPECT_EQ(MAPILogonEx(0, bad.data(), nullptr, 0, &session), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(session, nullptr);
    ASSERT_EQ(MAPILogonEx(0, good.data(), nullptr, 0, &session), S_OK);
    session->Logoff(0, 0, 0);
    session->Release();
    EXPECT_EQ(ProfileRows(m_admin).size(), 2u);
    EXPECT_EQ(m_admin->DeleteProfile(bad.data(), 0), S_OK);  // a damaged profile can still be removed
}

// Several processes create, change and delete profiles at once. Every update
// of the shared profile must survive (no lost writes) and every file must
// stay whole, also beside processes that do not sync their writes (a tool
// with a temporary profile next to the window).
TEST_F(ProfileFolderTest, ConcurrentProcessesNeverCorruptOrLoseUpdates)
{
    constexpr int kProcesses = 4;
    constexpr int kRounds = 25;
    ASSERT_EQ(ProfileStore::Create("Shared"), S_OK);
    std::vector<pid_t> children;
    for (int c = 0; c < kProcesses; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (c % 2)
                ProfileStore::SetSynced(false);
            int failures = 0;
            for (int i = 0; i < kRounds; ++i) {
                const std::string own = "p" + std::to_string(c) + "-" + std::to_string(i);
                failures += ProfileStore::Create(own) != S_OK;
                failures += ProfileStore::Update("Shared", [&](Profile& p) {
                    ServiceEntry e;
                    e.uid = NewUid();
                    e.service = "MSPST MS";
                    e.displayName = own;
                    p.services.push_back(e);
                    return S_OK;
                }) != S_OK;
                ProfileStore::Create("Contended");  // either result is right while others race for it
                ProfileStore::Delete("Contended");
                if (i % 2)
                    failures += ProfileStore::Delete(own) != S_OK;
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Profile shared;
    ASSERT_EQ(ProfileStore::Read("Shared", shared), S_OK);
    EXPECT_EQ(shared.services.size(), size_t(kProcesses * kRounds));
    std::vector<std::string> names;
    std::string def;
    ASSERT_EQ(ProfileStore::List(names, def), S_OK);
    EXPECT_EQ(names.size(), size_t(1 + kProcesses * (kRounds - kRounds / 2)));
    for (const std::string& n : names) {
        Profile p;
        EXPECT_EQ(ProfileStore::Read(n, p), S_OK) << n;
    }
}
