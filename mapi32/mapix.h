// Initialisation, logon and profile administration entry points.
#pragma once

#include "mapi32/mapidefs.h"

struct MAPIINIT_0
{
    ULONG ulVersion;
    ULONG ulFlags;
};
using LPMAPIINIT_0 = MAPIINIT_0*;
using MAPIINIT = MAPIINIT_0;
using LPMAPIINIT = MAPIINIT*;

#define MAPI_INIT_VERSION 0u
#define MAPI_MULTITHREAD_NOTIFICATIONS 0x00000001u
#define MAPI_NO_COINIT 0x00000008u

// Initialises the subsystem; lpMapiInit may be null or point to a MAPIINIT_0.
// Calling it again succeeds; each call is balanced by one MAPIUninitialize.
HRESULT MAPIInitialize(LPVOID lpMapiInit);
void MAPIUninitialize();

// Logs on to the named profile (UTF-8). With MAPI_LOGON_UI and no name the
// registered profile chooser (mapi32/hooks.h) picks one; without a chooser the
// call fails at once with MAPI_E_LOGON_FAILED.
HRESULT MAPILogonEx(ULONG ulUIParam, LPSTR lpszProfileName, LPSTR lpszPassword, ULONG ulFlags,
                    LPMAPISESSION* lppSession);

HRESULT MAPIAdminProfiles(ULONG ulFlags, LPPROFADMIN* lppProfAdmin);
