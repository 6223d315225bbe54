// Owners of temporary profiles: a record names this process while it runs;
// a record of a process that is gone (or of an older process with the same
// ID) lets its profile be deleted at the next start.
#include "mapi/TempProfileOwners.h"
#include "mapi32/mapicode.h"
#include "mapi32/profiles.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using dravik::mapi32::ProfileStore;

TEST(TempProfileOwners, LiveOwnersStayStaleOnesGo)
{
    char szDir[] = "/tmp/dravik-owners-XXXXXX";
    ASSERT_NE(::mkdtemp(szDir), nullptr);
    ASSERT_EQ(::setenv("DRAVIK_MAPI_PROFILES", szDir, 1), 0);

    ASSERT_EQ(ProfileStore::Create("PROFILE000001"), S_OK);
    ASSERT_EQ(ProfileStore::Create("PROFILE000002"), S_OK);
    ASSERT_EQ(ProfileStore::Create("PROFILE000003"), S_OK);
    tempprofiles::RecordOwner("PROFILE000001");
    EXPECT_EQ(tempprofiles::LiveOwner("PROFILE000001"), ::getpid());

    // A child that records itself and ends: its profile's owner is gone.
    const pid_t child = ::fork();
    if (child == 0) {
        tempprofiles::RecordOwner("PROFILE000002");
        std::_Exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(tempprofiles::LiveOwner("PROFILE000002"), 0);
    // A record naming this process's ID with another start time: a process
    // that had the ID before.
    std::ofstream(fs::path(szDir) / ".owners" / "PROFILE000003") << ::getpid() << " 1\n";
    EXPECT_EQ(tempprofiles::LiveOwner("PROFILE000003"), 0);
    EXPECT_EQ(tempprofiles::LiveOwner("PROFILE000004"), 0) << "no record";

    const std::vector<std::string> deleted = tempprofiles::DeleteStale();
    EXPECT_EQ(deleted.size(), 2u);
    dravik::mapi32::Profile profile;
    EXPECT_EQ(ProfileStore::Read("PROFILE000001", profile), S_OK);
    EXPECT_EQ(ProfileStore::Read("PROFILE000002", profile), MAPI_E_NOT_FOUND);
    EXPECT_EQ(ProfileStore::Read("PROFILE000003", profile), MAPI_E_NOT_FOUND);

    // A profile deleted by its owner leaves no record behind.
    EXPECT_EQ(ProfileStore::Delete("PROFILE000001"), S_OK);
    tempprofiles::ForgetOwner("PROFILE000001");
    EXPECT_FALSE(fs::exists(fs::path(szDir) / ".owners" / "PROFILE000001"));
    fs::remove_all(szDir);
}
