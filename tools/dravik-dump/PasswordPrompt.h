// A store's password: $DRAVIK_STORE_PASSWORD, else typed on the terminal
// without echo. An interrupt (the stop flag set by a signal handler) or no
// terminal cancels. Shared by the command-line tools that open store files.
#pragma once

#include "mapi32/hooks.h"

#include <csignal>
#include <string>

class CTerminalPasswordPrompt final : public dravik::mapi32::IStorePasswordPrompt
{
public:
    explicit CTerminalPasswordPrompt(volatile std::sig_atomic_t* pStop) : m_pStop(pStop) {}
    HRESULT AskStorePassword(ULONG, const std::string& strStore, const std::string& strPath,
                             std::string& strPassword) override;

private:
    volatile std::sig_atomic_t* m_pStop;
    bool m_bUsedEnvironment = false;
};
