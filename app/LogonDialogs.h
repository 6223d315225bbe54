// MAPI's own logon dialogs, registered with the MAPI subsystem: choosing a
// profile and asking for a store password.
#pragma once

#include "mapi32/hooks.h"

class CProfileChooser : public dravik::mapi32::IProfileChooser
{
public:
    HRESULT ChooseProfile(ULONG ulUIParam, const std::vector<std::string>& profiles,
                          const std::string& defaultProfile, std::string& chosen) override;
};

class CStorePasswordPrompt : public dravik::mapi32::IStorePasswordPrompt
{
public:
    HRESULT AskStorePassword(ULONG ulUIParam, const std::string& storeDisplayName, const std::string& storePath,
                             std::string& password) override;
};
