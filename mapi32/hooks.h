// MAPI's own dialogs, as hooks the application registers. The subsystem has no
// user interface: when a logon needs a dialog and no hook is registered it
// fails at once with MAPI_E_LOGON_FAILED and never waits.
#pragma once

#include "mapi32/mapidefs.h"

#include <string>
#include <vector>

namespace dravik::mapi32 {

// Chooses the profile for MAPILogonEx(MAPI_LOGON_UI) without a profile name.
class IProfileChooser
{
public:
    virtual ~IProfileChooser() = default;
    // profiles: the names to offer, in order; defaultProfile: the default one or "".
    // Returns S_OK with chosen set, or MAPI_E_USER_CANCEL when the user cancels.
    virtual HRESULT ChooseProfile(ULONG ulUIParam, const std::vector<std::string>& profiles,
                                  const std::string& defaultProfile, std::string& chosen) = 0;
};

// Asks for the password of a protected store file.
class IStorePasswordPrompt
{
public:
    virtual ~IStorePasswordPrompt() = default;
    // Returns S_OK with password set, or MAPI_E_USER_CANCEL.
    virtual HRESULT AskStorePassword(ULONG ulUIParam, const std::string& storeDisplayName,
                                     const std::string& storePath, std::string& password) = 0;
};

// Registration: the subsystem does not own the hooks; pass nullptr to remove one.
// Thread-safe.
void SetProfileChooser(IProfileChooser* chooser);
IProfileChooser* GetProfileChooser();
void SetStorePasswordPrompt(IStorePasswordPrompt* prompt);
IStorePasswordPrompt* GetStorePasswordPrompt();

} // namespace dravik::mapi32
