// A fresh profile folder per test, named by DRAVIK_MAPI_PROFILES, and MAPI initialised.
#pragma once

#include "mapi32/mapicode.h"
#include "mapi32/mapix.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class ProfileFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/dravik-mapi32-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("DRAVIK_MAPI_PROFILES", m_dir.c_str(), 1);
        ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
        ASSERT_EQ(MAPIAdminProfiles(0, &m_admin), S_OK);
    }
    void TearDown() override
    {
        if (m_admin)
            m_admin->Release();
        MAPIUninitialize();
        std::filesystem::remove_all(m_dir);
    }
    std::string m_dir;
    LPPROFADMIN m_admin = nullptr;
};
