// Temporary entry points until sessions and profiles land.
#include "mapi32/mapicode.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"

HRESULT MAPIInitialize(LPVOID) { return S_OK; }
void MAPIUninitialize() {}
HRESULT MAPILogonEx(ULONG, LPSTR, LPSTR, ULONG, LPMAPISESSION* s)
{
    if (s)
        *s = nullptr;
    return MAPI_E_LOGON_FAILED;
}
HRESULT MAPIAdminProfiles(ULONG, LPPROFADMIN* p)
{
    if (p)
        *p = nullptr;
    return MAPI_E_NO_SUPPORT;
}
HRESULT HrQueryAllRows(LPMAPITABLE, LPSPropTagArray, LPSRestriction, LPSSortOrderSet, LONG, LPSRowSet* r)
{
    if (r)
        *r = nullptr;
    return MAPI_E_NO_SUPPORT;
}
