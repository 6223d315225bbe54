// A temporary MAPI profile "PROFILE%06d" holding one store service ("MSPST MS",
// or the .msg service for a .msg file) configured with a store file, as Dravik makes one to open a store file.
// The profile is deleted by Delete or, at the latest, by the destructor.
#pragma once

#include "props/Mapi.h"

#include <string>

class CTempProfile
{
public:
    CTempProfile() = default;
    ~CTempProfile() { Delete(); }
    CTempProfile(const CTempProfile&) = delete;
    CTempProfile& operator=(const CTempProfile&) = delete;

    // Creates the profile and configures its service with the store file's
    // path. A name that is taken, in this process or another, is drawn
    // again. On failure, strStep names the failing MAPI call and whatever was
    // created is deleted again.
    HRESULT Create(const std::string& strStorePath, std::string& strStep);

    // Deletes the profile if this object created it; the result is ignored.
    void Delete();

    const std::string& Name() const { return m_strName; }

private:
    HRESULT Configure(IProfAdmin* pAdmin, const std::string& strStorePath, std::string& strStep);

    std::string m_strName;
};

// The first store of a session logged on to such a profile, and its root folder
// (OpenEntry with no entry ID). S_OK, or the failure of the step that failed.
HRESULT OpenFirstStoreRoot(IMAPISession* pSession, IMsgStore** ppStore, IMAPIFolder** ppRoot);
