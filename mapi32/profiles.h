// The profile store: one file per profile in the profile folder
// ($DRAVIK_MAPI_PROFILES, else $XDG_CONFIG_HOME/dravik/profiles, else
// ~/.config/dravik/profiles). Every change is a read-modify-write under an
// exclusive lock on the folder's lock file, written to a temporary file and
// renamed into place, so a crash or a second process never leaves a
// half-written profile.
#pragma once

#include "mapi32/mapidefs.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace dravik::mapi32 {

// A service's configuration: tag -> value bytes. Text values are kept under
// their PT_STRING8 tag in UTF-8; PT_LONG as decimal text; PT_BOOLEAN "0"/"1";
// PT_BINARY as raw bytes.
using ServiceProps = std::map<ULONG, std::string>;

struct ServiceEntry
{
    MAPIUID uid{};
    std::string service;      // PR_SERVICE_NAME
    std::string displayName;  // PR_DISPLAY_NAME
    ULONG resourceFlags = 0;  // PR_RESOURCE_FLAGS
    ServiceProps props;
};

struct Profile
{
    std::string name;
    std::vector<ServiceEntry> services;
};

// S_OK, or MAPI_E_INVALID_PARAMETER for an empty name, one longer than 64
// characters (or 250 bytes, the limit of a file name with its suffix), one
// that is not UTF-8, or one with a path separator or a control character.
HRESULT ValidateProfileName(const char* name);

class ProfileStore
{
public:
    // The folder in effect now (the environment is read on every call).
    static std::string Folder();

    static HRESULT List(std::vector<std::string>& names, std::string& defaultName);
    // MAPI_E_NOT_FOUND if missing, MAPI_E_CORRUPT_DATA if it cannot be parsed.
    static HRESULT Read(const std::string& name, Profile& profile);
    // MAPI_E_NO_ACCESS if the name is taken.
    static HRESULT Create(const std::string& name);
    static HRESULT Delete(const std::string& name);
    // Reads, lets change modify, writes back if change succeeded; all under the lock.
    static HRESULT Update(const std::string& name, const std::function<HRESULT(Profile&)>& change);
    static HRESULT SetDefault(const std::string& name);

    // Whether a write is flushed to disk before it is renamed into place (the
    // default), so that a profile survives a power loss. A process whose
    // profiles are all temporary (made for one run and deleted at its end)
    // turns it off: such a profile is not worth the wait.
    static void SetSynced(bool synced);
};

std::string UidHex(const MAPIUID& uid);
MAPIUID NewUid();

} // namespace dravik::mapi32
