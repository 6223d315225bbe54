#include "mapi32/errortext.h"

#include "mapi32/mapicode.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace dravik::mapi32 {

namespace {

struct CErrorName
{
    SCODE sc;
    const char* pszName;
};

// Where MAPI and COM give one code two names, the MAPI name is the one shown.
const CErrorName kErrorNames[] = {
    {S_OK, "S_OK"},
    {MAPI_E_CALL_FAILED, "MAPI_E_CALL_FAILED"},
    {MAPI_E_NOT_ENOUGH_MEMORY, "MAPI_E_NOT_ENOUGH_MEMORY"},
    {MAPI_E_INVALID_PARAMETER, "MAPI_E_INVALID_PARAMETER"},
    {MAPI_E_INTERFACE_NOT_SUPPORTED, "MAPI_E_INTERFACE_NOT_SUPPORTED"},
    {MAPI_E_NO_ACCESS, "MAPI_E_NO_ACCESS"},
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_POINTER, "E_POINTER"},
    {E_ABORT, "E_ABORT"},
    {E_UNEXPECTED, "E_UNEXPECTED"},
    {STG_E_INVALIDFUNCTION, "STG_E_INVALIDFUNCTION"},
    {STG_E_ACCESSDENIED, "STG_E_ACCESSDENIED"},
    {STG_E_INVALIDPOINTER, "STG_E_INVALIDPOINTER"},
    {MAPI_E_NO_SUPPORT, "MAPI_E_NO_SUPPORT"},
    {MAPI_E_BAD_CHARWIDTH, "MAPI_E_BAD_CHARWIDTH"},
    {MAPI_E_STRING_TOO_LONG, "MAPI_E_STRING_TOO_LONG"},
    {MAPI_E_UNKNOWN_FLAGS, "MAPI_E_UNKNOWN_FLAGS"},
    {MAPI_E_INVALID_ENTRYID, "MAPI_E_INVALID_ENTRYID"},
    {MAPI_E_INVALID_OBJECT, "MAPI_E_INVALID_OBJECT"},
    {MAPI_E_OBJECT_CHANGED, "MAPI_E_OBJECT_CHANGED"},
    {MAPI_E_OBJECT_DELETED, "MAPI_E_OBJECT_DELETED"},
    {MAPI_E_BUSY, "MAPI_E_BUSY"},
    {MAPI_E_NOT_ENOUGH_DISK, "MAPI_E_NOT_ENOUGH_DISK"},
    {MAPI_E_NOT_ENOUGH_RESOURCES, "MAPI_E_NOT_ENOUGH_RESOURCES"},
    {MAPI_E_NOT_FOUND, "MAPI_E_NOT_FOUND"},
    {MAPI_E_VERSION, "MAPI_E_VERSION"},
    {MAPI_E_LOGON_FAILED, "MAPI_E_LOGON_FAILED"},
    {MAPI_E_SESSION_LIMIT, "MAPI_E_SESSION_LIMIT"},
    {MAPI_E_USER_CANCEL, "MAPI_E_USER_CANCEL"},
    {MAPI_E_UNABLE_TO_ABORT, "MAPI_E_UNABLE_TO_ABORT"},
    {MAPI_E_NETWORK_ERROR, "MAPI_E_NETWORK_ERROR"},
    {MAPI_E_DISK_ERROR, "MAPI_E_DISK_ERROR"},
    {MAPI_E_TOO_COMPLEX, "MAPI_E_TOO_COMPLEX"},
    {MAPI_E_BAD_COLUMN, "MAPI_E_BAD_COLUMN"},
    {MAPI_E_EXTENDED_ERROR, "MAPI_E_EXTENDED_ERROR"},
    {MAPI_E_COMPUTED, "MAPI_E_COMPUTED"},
    {MAPI_E_CORRUPT_DATA, "MAPI_E_CORRUPT_DATA"},
    {MAPI_E_UNCONFIGURED, "MAPI_E_UNCONFIGURED"},
    {MAPI_E_FAILONEPROVIDER, "MAPI_E_FAILONEPROVIDER"},
    {MAPI_E_UNKNOWN_CPID, "MAPI_E_UNKNOWN_CPID"},
    {MAPI_E_UNKNOWN_LCID, "MAPI_E_UNKNOWN_LCID"},
    {MAPI_E_PASSWORD_CHANGE_REQUIRED, "MAPI_E_PASSWORD_CHANGE_REQUIRED"},
    {MAPI_E_PASSWORD_EXPIRED, "MAPI_E_PASSWORD_EXPIRED"},
    {MAPI_E_INVALID_WORKSTATION_ACCOUNT, "MAPI_E_INVALID_WORKSTATION_ACCOUNT"},
    {MAPI_E_INVALID_ACCESS_TIME, "MAPI_E_INVALID_ACCESS_TIME"},
    {MAPI_E_ACCOUNT_DISABLED, "MAPI_E_ACCOUNT_DISABLED"},
    {MAPI_E_END_OF_SESSION, "MAPI_E_END_OF_SESSION"},
    {MAPI_E_UNKNOWN_ENTRYID, "MAPI_E_UNKNOWN_ENTRYID"},
    {MAPI_E_MISSING_REQUIRED_COLUMN, "MAPI_E_MISSING_REQUIRED_COLUMN"},
    {MAPI_E_BAD_VALUE, "MAPI_E_BAD_VALUE"},
    {MAPI_E_INVALID_TYPE, "MAPI_E_INVALID_TYPE"},
    {MAPI_E_TYPE_NO_SUPPORT, "MAPI_E_TYPE_NO_SUPPORT"},
    {MAPI_E_UNEXPECTED_TYPE, "MAPI_E_UNEXPECTED_TYPE"},
    {MAPI_E_TOO_BIG, "MAPI_E_TOO_BIG"},
    {MAPI_E_DECLINE_COPY, "MAPI_E_DECLINE_COPY"},
    {MAPI_E_UNEXPECTED_ID, "MAPI_E_UNEXPECTED_ID"},
    {MAPI_E_UNABLE_TO_COMPLETE, "MAPI_E_UNABLE_TO_COMPLETE"},
    {MAPI_E_TIMEOUT, "MAPI_E_TIMEOUT"},
    {MAPI_E_TABLE_EMPTY, "MAPI_E_TABLE_EMPTY"},
    {MAPI_E_TABLE_TOO_BIG, "MAPI_E_TABLE_TOO_BIG"},
    {MAPI_E_INVALID_BOOKMARK, "MAPI_E_INVALID_BOOKMARK"},
    {MAPI_E_WAIT, "MAPI_E_WAIT"},
    {MAPI_E_CANCEL, "MAPI_E_CANCEL"},
    {MAPI_E_NOT_ME, "MAPI_E_NOT_ME"},
    {MAPI_E_CORRUPT_STORE, "MAPI_E_CORRUPT_STORE"},
    {MAPI_E_NOT_IN_QUEUE, "MAPI_E_NOT_IN_QUEUE"},
    {MAPI_E_NO_SUPPRESS, "MAPI_E_NO_SUPPRESS"},
    {MAPI_E_COLLISION, "MAPI_E_COLLISION"},
    {MAPI_E_NOT_INITIALIZED, "MAPI_E_NOT_INITIALIZED"},
    {MAPI_E_NON_STANDARD, "MAPI_E_NON_STANDARD"},
    {MAPI_E_NO_RECIPIENTS, "MAPI_E_NO_RECIPIENTS"},
    {MAPI_E_SUBMITTED, "MAPI_E_SUBMITTED"},
    {MAPI_E_HAS_FOLDERS, "MAPI_E_HAS_FOLDERS"},
    {MAPI_E_HAS_MESSAGES, "MAPI_E_HAS_MESSAGES"},
    {MAPI_E_FOLDER_CYCLE, "MAPI_E_FOLDER_CYCLE"},
    {MAPI_E_AMBIGUOUS_RECIP, "MAPI_E_AMBIGUOUS_RECIP"},
    {MAPI_W_NO_SERVICE, "MAPI_W_NO_SERVICE"},
    {MAPI_W_ERRORS_RETURNED, "MAPI_W_ERRORS_RETURNED"},
    {MAPI_W_POSITION_CHANGED, "MAPI_W_POSITION_CHANGED"},
    {MAPI_W_APPROX_COUNT, "MAPI_W_APPROX_COUNT"},
    {MAPI_W_CANCEL_MESSAGE, "MAPI_W_CANCEL_MESSAGE"},
    {MAPI_W_PARTIAL_COMPLETION, "MAPI_W_PARTIAL_COMPLETION"},
};

struct CErrorMeaning
{
    SCODE sc;
    const char* pszMeaning;
};

// The errors a person meets when opening and reading stores and profiles.
const CErrorMeaning kErrorMeanings[] = {
    {MAPI_E_NOT_FOUND, "no such file, profile or object"},
    {MAPI_E_CORRUPT_DATA, "not a PST or OST file, or damaged"},
    {MAPI_E_CORRUPT_STORE, "the store is damaged"},
    {MAPI_E_LOGON_FAILED, "logon refused: wrong password, or no password given"},
    {MAPI_E_USER_CANCEL, "cancelled"},
    {MAPI_E_NO_ACCESS, "access denied, or read-only"},
    {MAPI_E_DISK_ERROR, "the file cannot be read"},
    {MAPI_E_NETWORK_ERROR, "the server cannot be reached"},
    {MAPI_E_NOT_ENOUGH_MEMORY, "not enough memory, or the value is too large"},
    {MAPI_E_NO_SUPPORT, "not supported"},
    {MAPI_E_INVALID_ENTRYID, "the entry ID is not valid"},
    {MAPI_E_UNKNOWN_ENTRYID, "the entry ID is unknown"},
    {MAPI_E_INVALID_PARAMETER, "an argument is not valid"},
    {MAPI_E_INTERFACE_NOT_SUPPORTED, "the object does not offer what was asked"},
    {MAPI_E_UNCONFIGURED, "the message service is not configured"},
    {MAPI_E_UNKNOWN_CPID, "unknown code page"},
    {MAPI_E_NOT_INITIALIZED, "MAPI is not initialised"},
    {MAPI_E_CALL_FAILED, "the call failed"},
    {MAPI_E_TOO_BIG, "too large"},
    {MAPI_E_TIMEOUT, "timed out"},
    {MAPI_E_BUSY, "busy: in use elsewhere"},
    {E_ABORT, "stopped"},
};

} // namespace

const char* ErrorName(SCODE sc)
{
    // The names by code, made once: a listing asks for a name in every row that
    // lacks a column. A stable sort keeps the first of two names for one code.
    static const std::vector<CErrorName> byCode = [] {
        std::vector<CErrorName> v(std::begin(kErrorNames), std::end(kErrorNames));
        std::stable_sort(v.begin(), v.end(), [](const CErrorName& a, const CErrorName& b) {
            return static_cast<ULONG>(a.sc) < static_cast<ULONG>(b.sc);
        });
        return v;
    }();
    const auto it = std::lower_bound(byCode.begin(), byCode.end(), static_cast<ULONG>(sc),
                                     [](const CErrorName& e, ULONG code) { return static_cast<ULONG>(e.sc) < code; });
    return it != byCode.end() && it->sc == sc ? it->pszName : nullptr;
}

const char* ErrorMeaning(SCODE sc)
{
    for (const CErrorMeaning& meaning : kErrorMeanings) {
        if (meaning.sc == sc)
            return meaning.pszMeaning;
    }
    return nullptr;
}

} // namespace dravik::mapi32
