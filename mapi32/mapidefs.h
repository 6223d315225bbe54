// MAPI base types, property values, restrictions, tables and the interfaces,
// with the names, layouts, method names and argument order of the public MAPI
// reference (MS-OXCDATA for the wire values). PT_UNICODE text is UTF-16
// (WCHAR is char16_t); narrow text is UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

using ULONG = std::uint32_t;
using LONG = std::int32_t;
using BYTE = std::uint8_t;
using LPBYTE = BYTE*;
using BOOL = int;
using UINT = unsigned int;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPTSTR = LPSTR;
using LPVOID = void*;
using LPULONG = ULONG*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct GUID
{
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using LPGUID = GUID*;
using IID = GUID;
using CLSID = GUID;
using LPIID = IID*;
using LPCIID = const IID*;
using REFIID = const IID&;
using REFCLSID = const GUID&;
using REFGUID = const GUID&;

inline bool operator==(const GUID& a, const GUID& b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}
#define IsEqualGUID(a, b) ((a) == (b))
#define IsEqualIID(a, b) ((a) == (b))

struct FILETIME
{
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

union LARGE_INTEGER
{
    struct
    {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
};

union ULARGE_INTEGER
{
    struct
    {
        DWORD LowPart;
        DWORD HighPart;
    };
    std::uint64_t QuadPart;
};

union CURRENCY
{
    struct
    {
        ULONG Lo;
        LONG Hi;
    };
    LONGLONG int64;
};

// ---------------------------------------------------------------- identifiers

struct MAPIUID
{
    BYTE ab[16];
};
using LPMAPIUID = MAPIUID*;

struct ENTRYID
{
    BYTE abFlags[4];
    BYTE ab[1];
};
using LPENTRYID = ENTRYID*;
#define CbNewENTRYID(cb) (offsetof(ENTRYID, ab) + (cb))

// ---------------------------------------------------------------- property types

#define PT_UNSPECIFIED 0x0000u
#define PT_NULL 0x0001u
#define PT_I2 0x0002u
#define PT_SHORT PT_I2
#define PT_LONG 0x0003u
#define PT_I4 PT_LONG
#define PT_R4 0x0004u
#define PT_FLOAT PT_R4
#define PT_DOUBLE 0x0005u
#define PT_R8 PT_DOUBLE
#define PT_CURRENCY 0x0006u
#define PT_APPTIME 0x0007u
#define PT_ERROR 0x000Au
#define PT_BOOLEAN 0x000Bu
#define PT_OBJECT 0x000Du
#define PT_I8 0x0014u
#define PT_LONGLONG PT_I8
#define PT_STRING8 0x001Eu
#define PT_UNICODE 0x001Fu
#define PT_SYSTIME 0x0040u
#define PT_CLSID 0x0048u
#define PT_SVREID 0x00FBu
#define PT_SRESTRICTION 0x00FDu
#define PT_ACTIONS 0x00FEu
#define PT_BINARY 0x0102u
#define MV_FLAG 0x1000u
#define MV_INSTANCE 0x2000u
#define MVI_FLAG (MV_FLAG | MV_INSTANCE)
#define PT_MV_I2 (MV_FLAG | PT_I2)
#define PT_MV_SHORT PT_MV_I2
#define PT_MV_LONG (MV_FLAG | PT_LONG)
#define PT_MV_I4 PT_MV_LONG
#define PT_MV_R4 (MV_FLAG | PT_R4)
#define PT_MV_FLOAT PT_MV_R4
#define PT_MV_DOUBLE (MV_FLAG | PT_DOUBLE)
#define PT_MV_R8 PT_MV_DOUBLE
#define PT_MV_CURRENCY (MV_FLAG | PT_CURRENCY)
#define PT_MV_APPTIME (MV_FLAG | PT_APPTIME)
#define PT_MV_SYSTIME (MV_FLAG | PT_SYSTIME)
#define PT_MV_STRING8 (MV_FLAG | PT_STRING8)
#define PT_MV_BINARY (MV_FLAG | PT_BINARY)
#define PT_MV_UNICODE (MV_FLAG | PT_UNICODE)
#define PT_MV_CLSID (MV_FLAG | PT_CLSID)
#define PT_MV_I8 (MV_FLAG | PT_I8)
#define PT_MV_LONGLONG PT_MV_I8
#define PT_TSTRING PT_STRING8
#define PT_MV_TSTRING PT_MV_STRING8

#define PROP_TYPE_MASK 0x0000FFFFu
#define PROP_TYPE(ulPropTag) (static_cast<ULONG>(ulPropTag) & PROP_TYPE_MASK)
#define PROP_ID(ulPropTag) (static_cast<ULONG>(ulPropTag) >> 16)
#define PROP_TAG(ulPropType, ulPropID) ((static_cast<ULONG>(ulPropID) << 16) | static_cast<ULONG>(ulPropType))
#define CHANGE_PROP_TYPE(ulPropTag, ulPropType) ((static_cast<ULONG>(ulPropTag) & 0xFFFF0000u) | static_cast<ULONG>(ulPropType))
#define PROP_ID_NULL 0u
#define PROP_ID_INVALID 0xFFFFu
#define PR_NULL PROP_TAG(PT_NULL, PROP_ID_NULL)
#define MV_TAG(ulPropTag) (static_cast<ULONG>(ulPropTag) | MV_FLAG)

// ---------------------------------------------------------------- property values

struct SBinary
{
    ULONG cb;
    LPBYTE lpb;
};
using LPSBinary = SBinary*;

struct SShortArray { ULONG cValues; short int* lpi; };
struct SLongArray { ULONG cValues; LONG* lpl; };
struct SRealArray { ULONG cValues; float* lpflt; };
struct SDoubleArray { ULONG cValues; double* lpdbl; };
struct SCurrencyArray { ULONG cValues; CURRENCY* lpcur; };
struct SAppTimeArray { ULONG cValues; double* lpat; };
struct SDateTimeArray { ULONG cValues; FILETIME* lpft; };
struct SBinaryArray { ULONG cValues; SBinary* lpbin; };
struct SLPSTRArray { ULONG cValues; LPSTR* lppszA; };
struct SWStringArray { ULONG cValues; LPWSTR* lppszW; };
struct SGuidArray { ULONG cValues; GUID* lpguid; };
struct SLargeIntegerArray { ULONG cValues; LARGE_INTEGER* lpli; };
using SBinaryArrayPtr = SBinaryArray*;
using LPSBinaryArray = SBinaryArray*;
using ENTRYLIST = SBinaryArray;
using LPENTRYLIST = SBinaryArray*;

union _PV
{
    short int i;
    LONG l;
    ULONG ul;
    float flt;
    double dbl;
    unsigned short int b;
    CURRENCY cur;
    double at;
    FILETIME ft;
    LPSTR lpszA;
    SBinary bin;
    LPWSTR lpszW;
    LPGUID lpguid;
    LARGE_INTEGER li;
    SShortArray MVi;
    SLongArray MVl;
    SRealArray MVflt;
    SDoubleArray MVdbl;
    SCurrencyArray MVcur;
    SAppTimeArray MVat;
    SDateTimeArray MVft;
    SBinaryArray MVbin;
    SLPSTRArray MVszA;
    SWStringArray MVszW;
    SGuidArray MVguid;
    SLargeIntegerArray MVli;
    SCODE err;
    LONG x;
};

struct SPropValue
{
    ULONG ulPropTag;
    ULONG dwAlignPad;
    _PV Value;
};
using LPSPropValue = SPropValue*;

struct SPropTagArray
{
    ULONG cValues;
    ULONG aulPropTag[1];
};
using LPSPropTagArray = SPropTagArray*;
#define CbNewSPropTagArray(c) (offsetof(SPropTagArray, aulPropTag) + (c) * sizeof(ULONG))
#define CbSPropTagArray(p) CbNewSPropTagArray((p)->cValues)
#define SizedSPropTagArray(n, name) struct _SPropTagArray_##name { ULONG cValues; ULONG aulPropTag[n]; } name

struct SPropProblem
{
    ULONG ulIndex;
    ULONG ulPropTag;
    SCODE scode;
};
struct SPropProblemArray
{
    ULONG cProblem;
    SPropProblem aProblem[1];
};
using LPSPropProblemArray = SPropProblemArray*;
#define CbNewSPropProblemArray(c) (offsetof(SPropProblemArray, aProblem) + (c) * sizeof(SPropProblem))

struct SRow
{
    ULONG ulAdrEntryPad;
    ULONG cValues;
    LPSPropValue lpProps;
};
using LPSRow = SRow*;

struct SRowSet
{
    ULONG cRows;
    SRow aRow[1];
};
using LPSRowSet = SRowSet*;
#define CbNewSRowSet(c) (offsetof(SRowSet, aRow) + (c) * sizeof(SRow))

struct ADRENTRY
{
    ULONG ulReserved1;
    ULONG cValues;
    LPSPropValue rgPropVals;
};
using LPADRENTRY = ADRENTRY*;
struct ADRLIST
{
    ULONG cEntries;
    ADRENTRY aEntries[1];
};
using LPADRLIST = ADRLIST*;

struct FlagList
{
    ULONG cFlags;
    ULONG ulFlag[1];
};
using LPFlagList = FlagList*;

struct MAPIERROR
{
    ULONG ulVersion;
    LPSTR lpszError;
    LPSTR lpszComponent;
    ULONG ulLowLevelError;
    ULONG ulContext;
};
using LPMAPIERROR = MAPIERROR*;

// ---------------------------------------------------------------- named properties

struct MAPINAMEID
{
    LPGUID lpguid;
    ULONG ulKind;
    union
    {
        LONG lID;
        LPWSTR lpwstrName;
    } Kind;
};
using LPMAPINAMEID = MAPINAMEID*;
#define MNID_ID 0u
#define MNID_STRING 1u
#define MAPI_NO_IDS 0x00000004u
#define MAPI_NO_STRINGS 0x00000008u
#define MAPI_CREATE 0x00000002u

// ---------------------------------------------------------------- restrictions and sorting

#define RES_AND 0x00000000u
#define RES_OR 0x00000001u
#define RES_NOT 0x00000002u
#define RES_CONTENT 0x00000003u
#define RES_PROPERTY 0x00000004u
#define RES_COMPAREPROPS 0x00000005u
#define RES_BITMASK 0x00000006u
#define RES_SIZE 0x00000007u
#define RES_EXIST 0x00000008u
#define RES_SUBRESTRICTION 0x00000009u
#define RES_COMMENT 0x0000000Au
#define RES_COUNT 0x0000000Bu
#define RES_ANNOTATION 0x0000000Cu

#define FL_FULLSTRING 0x00000000u
#define FL_SUBSTRING 0x00000001u
#define FL_PREFIX 0x00000002u
#define FL_IGNORECASE 0x00010000u
#define FL_IGNORENONSPACE 0x00020000u
#define FL_LOOSE 0x00040000u

#define RELOP_LT 0u
#define RELOP_LE 1u
#define RELOP_GT 2u
#define RELOP_GE 3u
#define RELOP_EQ 4u
#define RELOP_NE 5u
#define RELOP_RE 6u

#define BMR_EQZ 0u
#define BMR_NEZ 1u

struct SRestriction;
using LPSRestriction = SRestriction*;

struct SAndRestriction { ULONG cRes; LPSRestriction lpRes; };
struct SOrRestriction { ULONG cRes; LPSRestriction lpRes; };
struct SNotRestriction { ULONG ulReserved; LPSRestriction lpRes; };
struct SContentRestriction { ULONG ulFuzzyLevel; ULONG ulPropTag; LPSPropValue lpProp; };
struct SPropertyRestriction { ULONG relop; ULONG ulPropTag; LPSPropValue lpProp; };
struct SComparePropsRestriction { ULONG relop; ULONG ulPropTag1; ULONG ulPropTag2; };
struct SBitMaskRestriction { ULONG relBMR; ULONG ulPropTag; ULONG ulMask; };
struct SSizeRestriction { ULONG relop; ULONG ulPropTag; ULONG cb; };
struct SExistRestriction { ULONG ulReserved1; ULONG ulPropTag; ULONG ulReserved2; };
struct SSubRestriction { ULONG ulSubObject; LPSRestriction lpRes; };
struct SCommentRestriction { ULONG cValues; LPSRestriction lpRes; LPSPropValue lpProp; };
struct SCountRestriction { ULONG ulCount; LPSRestriction lpRes; };

struct SRestriction
{
    ULONG rt;
    union
    {
        SComparePropsRestriction resCompareProps;
        SAndRestriction resAnd;
        SOrRestriction resOr;
        SNotRestriction resNot;
        SContentRestriction resContent;
        SPropertyRestriction resProperty;
        SBitMaskRestriction resBitMask;
        SSizeRestriction resSize;
        SExistRestriction resExist;
        SSubRestriction resSub;
        SCommentRestriction resComment;
        SCountRestriction resCount;
    } res;
};

#define TABLE_SORT_ASCEND 0x00000000u
#define TABLE_SORT_DESCEND 0x00000001u
#define TABLE_SORT_COMBINE 0x00000002u

struct SSortOrder
{
    ULONG ulPropTag;
    ULONG ulOrder;
};
using LPSSortOrder = SSortOrder*;
struct SSortOrderSet
{
    ULONG cSorts;
    ULONG cCategories;
    ULONG cExpanded;
    SSortOrder aSort[1];
};
using LPSSortOrderSet = SSortOrderSet*;
#define CbNewSSortOrderSet(c) (offsetof(SSortOrderSet, aSort) + (c) * sizeof(SSortOrder))

// ---------------------------------------------------------------- flags and object types

#define MAPI_STORE 0x00000001u
#define MAPI_ADDRBOOK 0x00000002u
#define MAPI_FOLDER 0x00000003u
#define MAPI_ABCONT 0x00000004u
#define MAPI_MESSAGE 0x00000005u
#define MAPI_MAILUSER 0x00000006u
#define MAPI_ATTACH 0x00000007u
#define MAPI_DISTLIST 0x00000008u
#define MAPI_PROFSECT 0x00000009u
#define MAPI_STATUS 0x0000000Au
#define MAPI_SESSION 0x0000000Bu
#define MAPI_FORMINFO 0x0000000Cu

#define MAPI_MODIFY 0x00000001u
#define MAPI_ACCESS_MODIFY 0x00000001u
#define MAPI_ACCESS_READ 0x00000002u
#define MAPI_ACCESS_DELETE 0x00000004u
#define MAPI_ACCESS_CREATE_HIERARCHY 0x00000008u
#define MAPI_ACCESS_CREATE_CONTENTS 0x00000010u
#define MAPI_ACCESS_CREATE_ASSOCIATED 0x00000020u
#define MAPI_UNICODE 0x80000000u
#define MAPI_BEST_ACCESS 0x00000010u
#define MAPI_DEFERRED_ERRORS 0x00000008u
#define MAPI_DIALOG 0x00000008u
#define MAPI_ASSOCIATED 0x00000040u
#define MAPI_NO_CACHE 0x00000200u
#define MAPI_CACHE_ONLY 0x00004000u
#define SHOW_SOFT_DELETES 0x00000002u
#define MDB_NO_DIALOG 0x00000001u
#define MDB_WRITE 0x00000004u
#define MDB_TEMPORARY 0x00000020u
#define MDB_NO_MAIL 0x00000080u
#define MAPI_DECLINE_OK 0x00000004u
#define STREAM_APPEND 0x00000004u
#define KEEP_OPEN_READONLY 0x00000001u
#define KEEP_OPEN_READWRITE 0x00000002u
#define FORCE_SAVE 0x00000004u
#define MAPI_MOVE 0x00000001u
#define MAPI_NOREPLACE 0x00000002u
#define MAPI_DECLINE_OK 0x00000004u
#define OPEN_IF_EXISTS 0x00000001u
#define DEL_FOLDERS 0x00000004u
#define DEL_MESSAGES 0x00000008u
#define FOLDER_GENERIC 1u
#define FOLDER_SEARCH 2u

// Table positioning and status.
using BOOKMARK = ULONG;
#define BOOKMARK_BEGINNING static_cast<BOOKMARK>(0)
#define BOOKMARK_CURRENT static_cast<BOOKMARK>(1)
#define BOOKMARK_END static_cast<BOOKMARK>(2)
#define TBL_ALL_COLUMNS 0x00000001u
#define TBL_NOWAIT 0x00000001u
#define TBL_ASYNC 0x00000001u
#define TBL_BATCH 0x00000002u
#define TBL_NOADVANCE 0x00000001u
#define DIR_BACKWARD 0x00000001u
#define TBLSTAT_COMPLETE 0u
#define TBLTYPE_SNAPSHOT 0u
#define TBLTYPE_KEYSET 1u
#define TBLTYPE_DYNAMIC 2u
#define TBL_LEAF_ROW 1u

// Logon and logoff (MAPILogonEx and IMAPISession::Logoff).
#define MAPI_LOGON_UI 0x00000001u
#define MAPI_NEW_SESSION 0x00000002u
#define MAPI_ALLOW_OTHERS 0x00000008u
#define MAPI_EXPLICIT_PROFILE 0x00000010u
#define MAPI_EXTENDED 0x00000020u
#define MAPI_FORCE_DOWNLOAD 0x00001000u
#define MAPI_SERVICE_UI_ALWAYS 0x00002000u
#define MAPI_NO_MAIL 0x00008000u
#define MAPI_NT_SERVICE 0x00010000u
#define MAPI_PASSWORD_UI 0x00020000u
#define MAPI_TIMEOUT_SHORT 0x00100000u
#define MAPI_USE_DEFAULT 0x00000040u
#define MAPI_LOGOFF_SHARED 0x00000001u
#define MAPI_LOGOFF_UI 0x00000002u

// Profile and service administration.
#define MAPI_DEFAULT_SERVICES 0x00000001u
#define SERVICE_UI_ALWAYS 0x00000002u
#define SERVICE_UI_ALLOWED 0x00000010u
#define MSG_SERVICE_UI_READ_ONLY 0x00000008u
#define UI_SERVICE 0x00000002u
#define UI_CURRENT_PROVIDER_FIRST 0x00000004u

// PR_RESOURCE_FLAGS values.
#define SERVICE_DEFAULT_STORE 0x00000001u
#define SERVICE_SINGLE_COPY 0x00000002u
#define SERVICE_CREATE_WITH_STORE 0x00000004u
#define SERVICE_PRIMARY_IDENTITY 0x00000008u
#define SERVICE_NO_PRIMARY_IDENTITY 0x00000020u
#define STATUS_DEFAULT_OUTBOUND 0x00000001u
#define STATUS_DEFAULT_STORE 0x00000002u
#define STATUS_PRIMARY_IDENTITY 0x00000004u
#define STATUS_SIMPLE_STORE 0x00000008u
#define STATUS_XP_PREFER_LAST 0x00000010u
#define STATUS_NO_PRIMARY_IDENTITY 0x00000020u
#define STATUS_NO_DEFAULT_STORE 0x00000040u
#define STATUS_TEMP_SECTION 0x00000080u
#define STATUS_OWN_STORE 0x00000100u
#define STATUS_NEED_IPM_TREE 0x00000800u
#define STATUS_PRIMARY_STORE 0x00001000u
#define STATUS_SECONDARY_STORE 0x00002000u

// PR_RESOURCE_TYPE values.
#define MAPI_STORE_PROVIDER 33u
#define MAPI_AB 34u
#define MAPI_AB_PROVIDER 35u
#define MAPI_TRANSPORT_PROVIDER 36u
#define MAPI_SPOOLER 37u
#define MAPI_PROFILE_PROVIDER 38u
#define MAPI_SUBSYSTEM 39u
#define MAPI_HOOK_PROVIDER 40u

// PR_STATUS_CODE values.
#define STATUS_AVAILABLE 0x00000001u
#define STATUS_OFFLINE 0x00000002u
#define STATUS_FAILURE 0x00000004u

// PR_DISPLAY_TYPE values.
#define DT_MAILUSER 0x00000000u
#define DT_DISTLIST 0x00000001u
#define DT_FOLDER 0x01000000u
#define DT_MODIFIABLE 0x00010000u
#define DT_GLOBAL 0x00020000u
#define DT_LOCAL 0x00030000u
#define DT_NOT_SPECIFIC 0x00050000u

// PR_STORE_SUPPORT_MASK bits.
#define STORE_ENTRYID_UNIQUE 0x00000001u
#define STORE_READONLY 0x00000002u
#define STORE_SEARCH_OK 0x00000004u
#define STORE_MODIFY_OK 0x00000008u
#define STORE_CREATE_OK 0x00000010u
#define STORE_ATTACH_OK 0x00000020u
#define STORE_OLE_OK 0x00000040u
#define STORE_UNICODE_OK 0x00040000u

// PR_ATTACH_METHOD values.
#define NO_ATTACHMENT 0u
#define ATTACH_BY_VALUE 1u
#define ATTACH_BY_REFERENCE 2u
#define ATTACH_BY_REF_RESOLVE 3u
#define ATTACH_BY_REF_ONLY 4u
#define ATTACH_EMBEDDED_MSG 5u
#define ATTACH_OLE 6u

// IStream.
#define STGM_READ 0x00000000u
#define STGM_WRITE 0x00000001u
#define STGM_READWRITE 0x00000002u
#define STREAM_SEEK_SET 0u
#define STREAM_SEEK_CUR 1u
#define STREAM_SEEK_END 2u
#define STATFLAG_DEFAULT 0u
#define STATFLAG_NONAME 1u
#define STGTY_STORAGE 1u
#define STGTY_STREAM 2u

struct STATSTG
{
    LPWSTR pwcsName;
    DWORD type;
    ULARGE_INTEGER cbSize;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode;
    DWORD grfLocksSupported;
    CLSID clsid;
    DWORD grfStateBits;
    DWORD reserved;
};

// ---------------------------------------------------------------- interfaces

// Interfaces are abstract classes. An object lives as long as it holds
// references; Release of the last one destroys it, so the destructor is not
// for callers.
class IUnknown
{
public:
    virtual HRESULT QueryInterface(REFIID riid, LPVOID* ppvObj) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

class ISequentialStream : public IUnknown
{
public:
    virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
    virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

protected:
    ~ISequentialStream() = default;
};

class IStream : public ISequentialStream
{
public:
    virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
    virtual HRESULT SetSize(ULARGE_INTEGER libNewSize) = 0;
    virtual HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                           ULARGE_INTEGER* pcbWritten) = 0;
    virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
    virtual HRESULT Revert() = 0;
    virtual HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
    virtual HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
    virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
    virtual HRESULT Clone(IStream** ppstm) = 0;

protected:
    ~IStream() = default;
};
using LPSTREAM = IStream*;

// A compound file's storage (OLE structured storage), as OpenProperty hands out
// an OLE object's data. STATSTG names from Stat and the enumerator are
// allocated with MAPIAllocateBuffer, for MAPIFreeBuffer.
class IEnumSTATSTG : public IUnknown
{
public:
    virtual HRESULT Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumSTATSTG** ppenum) = 0;

protected:
    ~IEnumSTATSTG() = default;
};

class IStorage : public IUnknown
{
public:
    virtual HRESULT CreateStream(const WCHAR* pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                                 IStream** ppstm) = 0;
    virtual HRESULT OpenStream(const WCHAR* pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2,
                               IStream** ppstm) = 0;
    virtual HRESULT CreateStorage(const WCHAR* pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                                  IStorage** ppstg) = 0;
    virtual HRESULT OpenStorage(const WCHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, WCHAR** snbExclude,
                                DWORD reserved, IStorage** ppstg) = 0;
    virtual HRESULT CopyTo(DWORD ciidExclude, const IID* rgiidExclude, WCHAR** snbExclude, IStorage* pstgDest) = 0;
    virtual HRESULT MoveElementTo(const WCHAR* pwcsName, IStorage* pstgDest, const WCHAR* pwcsNewName,
                                  DWORD grfFlags) = 0;
    virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
    virtual HRESULT Revert() = 0;
    virtual HRESULT EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** ppenum) = 0;
    virtual HRESULT DestroyElement(const WCHAR* pwcsName) = 0;
    virtual HRESULT RenameElement(const WCHAR* pwcsOldName, const WCHAR* pwcsNewName) = 0;
    virtual HRESULT SetElementTimes(const WCHAR* pwcsName, const FILETIME* pctime, const FILETIME* patime,
                                    const FILETIME* pmtime) = 0;
    virtual HRESULT SetClass(REFCLSID clsid) = 0;
    virtual HRESULT SetStateBits(DWORD grfStateBits, DWORD grfMask) = 0;
    virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;

protected:
    ~IStorage() = default;
};
using LPSTORAGE = IStorage*;

class IMAPIProgress;
using LPMAPIPROGRESS = IMAPIProgress*;
class IMAPIAdviseSink;
using LPMAPIADVISESINK = IMAPIAdviseSink*;
class IProfSect;
using LPPROFSECT = IProfSect*;
class IProviderAdmin;
using LPPROVIDERADMIN = IProviderAdmin*;
class IMAPIViewContext;
class IMAPIMessageSite;
using LPMAPIMESSAGESITE = IMAPIMessageSite*;
using LPMAPIVIEWCONTEXT = IMAPIViewContext*;

struct NOTIFICATION;
using LPNOTIFICATION = NOTIFICATION*;

class IMAPITable;
using LPMAPITABLE = IMAPITable*;

class IMAPIProp : public IUnknown
{
public:
    virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
    virtual HRESULT SaveChanges(ULONG ulFlags) = 0;
    virtual HRESULT GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                             LPSPropValue* lppPropArray) = 0;
    virtual HRESULT GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) = 0;
    virtual HRESULT OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                                 LPUNKNOWN* lppUnk) = 0;
    virtual HRESULT SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) = 0;
    virtual HRESULT DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) = 0;
    virtual HRESULT CopyTo(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps,
                           ULONG ulUIParam, LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj,
                           ULONG ulFlags, LPSPropProblemArray* lppProblems) = 0;
    virtual HRESULT CopyProps(LPSPropTagArray lpIncludeProps, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                              LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                              LPSPropProblemArray* lppProblems) = 0;
    virtual HRESULT GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                                    ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) = 0;
    virtual HRESULT GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                                    LPSPropTagArray* lppPropTags) = 0;

protected:
    ~IMAPIProp() = default;
};
using LPMAPIPROP = IMAPIProp*;

class IMAPITable : public IUnknown
{
public:
    virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
    virtual HRESULT Advise(ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) = 0;
    virtual HRESULT Unadvise(ULONG ulConnection) = 0;
    virtual HRESULT GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) = 0;
    virtual HRESULT SetColumns(LPSPropTagArray lpPropTagArray, ULONG ulFlags) = 0;
    virtual HRESULT QueryColumns(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) = 0;
    virtual HRESULT GetRowCount(ULONG ulFlags, ULONG* lpulCount) = 0;
    virtual HRESULT SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) = 0;
    virtual HRESULT SeekRowApprox(ULONG ulNumerator, ULONG ulDenominator) = 0;
    virtual HRESULT QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) = 0;
    virtual HRESULT FindRow(LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags) = 0;
    virtual HRESULT Restrict(LPSRestriction lpRestriction, ULONG ulFlags) = 0;
    virtual HRESULT CreateBookmark(BOOKMARK* lpbkPosition) = 0;
    virtual HRESULT FreeBookmark(BOOKMARK bkPosition) = 0;
    virtual HRESULT SortTable(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) = 0;
    virtual HRESULT QuerySortOrder(LPSSortOrderSet* lppSortCriteria) = 0;
    virtual HRESULT QueryRows(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) = 0;
    virtual HRESULT Abort() = 0;
    virtual HRESULT ExpandRow(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulRowCount, ULONG ulFlags,
                              LPSRowSet* lppRows, ULONG* lpulMoreRows) = 0;
    virtual HRESULT CollapseRow(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulFlags, ULONG* lpulRowCount) = 0;
    virtual HRESULT WaitForCompletion(ULONG ulFlags, ULONG ulTimeout, ULONG* lpulTableStatus) = 0;
    virtual HRESULT GetCollapseState(ULONG ulFlags, ULONG cbInstanceKey, LPBYTE lpbInstanceKey, ULONG* lpcbCollapseState,
                                     LPBYTE* lppbCollapseState) = 0;
    virtual HRESULT SetCollapseState(ULONG ulFlags, ULONG cbCollapseState, LPBYTE pbCollapseState,
                                     BOOKMARK* lpbkLocation) = 0;

protected:
    ~IMAPITable() = default;
};

class IMAPIContainer : public IMAPIProp
{
public:
    virtual HRESULT GetContentsTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
    virtual HRESULT GetHierarchyTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
    virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                              ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
    virtual HRESULT SetSearchCriteria(LPSRestriction lpRestriction, LPENTRYLIST lpContainerList,
                                      ULONG ulSearchFlags) = 0;
    virtual HRESULT GetSearchCriteria(ULONG ulFlags, LPSRestriction* lppRestriction, LPENTRYLIST* lppContainerList,
                                      ULONG* lpulSearchState) = 0;

protected:
    ~IMAPIContainer() = default;
};
using LPMAPICONTAINER = IMAPIContainer*;

class IMessage;
using LPMESSAGE = IMessage*;
class IMAPIFolder;
using LPMAPIFOLDER = IMAPIFolder*;

class IMAPIFolder : public IMAPIContainer
{
public:
    virtual HRESULT CreateMessage(LPCIID lpInterface, ULONG ulFlags, LPMESSAGE* lppMessage) = 0;
    virtual HRESULT CopyMessages(LPENTRYLIST lpMsgList, LPCIID lpInterface, LPVOID lpDestFolder, ULONG ulUIParam,
                                 LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
    virtual HRESULT DeleteMessages(LPENTRYLIST lpMsgList, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                                   ULONG ulFlags) = 0;
    virtual HRESULT CreateFolder(ULONG ulFolderType, LPSTR lpszFolderName, LPSTR lpszFolderComment,
                                 LPCIID lpInterface, ULONG ulFlags, LPMAPIFOLDER* lppFolder) = 0;
    virtual HRESULT CopyFolder(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, LPVOID lpDestFolder,
                               LPSTR lpszNewFolderName, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                               ULONG ulFlags) = 0;
    virtual HRESULT DeleteFolder(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                                 ULONG ulFlags) = 0;
    virtual HRESULT SetReadFlags(LPENTRYLIST lpMsgList, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                                 ULONG ulFlags) = 0;
    virtual HRESULT GetMessageStatus(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags,
                                     ULONG* lpulMessageStatus) = 0;
    virtual HRESULT SetMessageStatus(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulNewStatus,
                                     ULONG ulNewStatusMask, ULONG* lpulOldStatus) = 0;
    virtual HRESULT SaveContentsSort(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) = 0;
    virtual HRESULT EmptyFolder(ULONG ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;

protected:
    ~IMAPIFolder() = default;
};

class IAttach : public IMAPIProp
{
protected:
    ~IAttach() = default;
};
using LPATTACH = IAttach*;

class IMessage : public IMAPIProp
{
public:
    virtual HRESULT GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
    virtual HRESULT OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) = 0;
    virtual HRESULT CreateAttach(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum,
                                 LPATTACH* lppAttach) = 0;
    virtual HRESULT DeleteAttach(ULONG ulAttachmentNum, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                                 ULONG ulFlags) = 0;
    virtual HRESULT GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
    virtual HRESULT ModifyRecipients(ULONG ulFlags, LPADRLIST lpMods) = 0;
    virtual HRESULT SubmitMessage(ULONG ulFlags) = 0;
    virtual HRESULT SetReadFlag(ULONG ulFlags) = 0;

protected:
    ~IMessage() = default;
};

class IMsgStore : public IMAPIProp
{
public:
    virtual HRESULT Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                           ULONG* lpulConnection) = 0;
    virtual HRESULT Unadvise(ULONG ulConnection) = 0;
    virtual HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                                    ULONG ulFlags, ULONG* lpulResult) = 0;
    virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                              ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
    virtual HRESULT SetReceiveFolder(LPSTR lpszMessageClass, ULONG ulFlags, ULONG cbEntryID,
                                     LPENTRYID lpEntryID) = 0;
    virtual HRESULT GetReceiveFolder(LPSTR lpszMessageClass, ULONG ulFlags, ULONG* lpcbEntryID,
                                     LPENTRYID* lppEntryID, LPSTR* lppszExplicitClass) = 0;
    virtual HRESULT GetReceiveFolderTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
    virtual HRESULT StoreLogoff(ULONG* lpulFlags) = 0;
    virtual HRESULT AbortSubmit(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags) = 0;
    virtual HRESULT GetOutgoingQueue(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
    virtual HRESULT SetLockState(LPMESSAGE lpMessage, ULONG ulLockState) = 0;
    virtual HRESULT FinishedMsg(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
    virtual HRESULT NotifyNewMail(LPNOTIFICATION lpNotification) = 0;

protected:
    ~IMsgStore() = default;
};
using LPMDB = IMsgStore*;

class IABContainer : public IMAPIContainer
{
public:
    virtual HRESULT CreateEntry(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulCreateFlags,
                                LPMAPIPROP* lppMAPIPropEntry) = 0;
    virtual HRESULT CopyEntries(LPENTRYLIST lpEntries, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                                ULONG ulFlags) = 0;
    virtual HRESULT DeleteEntries(LPENTRYLIST lpEntries, ULONG ulFlags) = 0;
    virtual HRESULT ResolveNames(LPSPropTagArray lpPropTagArray, ULONG ulFlags, LPADRLIST lpAdrList,
                                 LPFlagList lpFlagList) = 0;

protected:
    ~IABContainer() = default;
};
using LPABCONT = IABContainer*;

class IMailUser : public IMAPIProp
{
protected:
    ~IMailUser() = default;
};
using LPMAILUSER = IMailUser*;

class IDistList : public IMAPIContainer
{
public:
    virtual HRESULT CreateEntry(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulCreateFlags,
                                LPMAPIPROP* lppMAPIPropEntry) = 0;
    virtual HRESULT CopyEntries(LPENTRYLIST lpEntries, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                                ULONG ulFlags) = 0;
    virtual HRESULT DeleteEntries(LPENTRYLIST lpEntries, ULONG ulFlags) = 0;
    virtual HRESULT ResolveNames(LPSPropTagArray lpPropTagArray, ULONG ulFlags, LPADRLIST lpAdrList,
                                 LPFlagList lpFlagList) = 0;

protected:
    ~IDistList() = default;
};
using LPDISTLIST = IDistList*;

struct ADRPARM;
using LPADRPARM = ADRPARM*;
using LPFNDISMISS = void (*)(ULONG ulUIParam, LPVOID lpvContext);
using LPFNBUTTON = SCODE (*)(ULONG ulUIParam, LPVOID lpvContext, ULONG cbEntryID, LPENTRYID lpSelection,
                             ULONG ulFlags);

class IAddrBook : public IMAPIProp
{
public:
    virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                              ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
    virtual HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                                    ULONG ulFlags, ULONG* lpulResult) = 0;
    virtual HRESULT Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                           ULONG* lpulConnection) = 0;
    virtual HRESULT Unadvise(ULONG ulConnection) = 0;
    virtual HRESULT CreateOneOff(LPSTR lpszName, LPSTR lpszAdrType, LPSTR lpszAddress, ULONG ulFlags,
                                 ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
    virtual HRESULT NewEntry(ULONG ulUIParam, ULONG ulFlags, ULONG cbEIDContainer, LPENTRYID lpEIDContainer,
                             ULONG cbEIDNewEntryTpl, LPENTRYID lpEIDNewEntryTpl, ULONG* lpcbEIDNewEntry,
                             LPENTRYID* lppEIDNewEntry) = 0;
    virtual HRESULT ResolveName(ULONG ulUIParam, ULONG ulFlags, LPSTR lpszNewEntryTitle, LPADRLIST lpAdrList) = 0;
    virtual HRESULT Address(ULONG* lpulUIParam, LPADRPARM lpAdrParms, LPADRLIST* lppAdrList) = 0;
    virtual HRESULT Details(ULONG* lpulUIParam, LPFNDISMISS lpfnDismiss, LPVOID lpvDismissContext, ULONG cbEntryID,
                            LPENTRYID lpEntryID, LPFNBUTTON lpfButtonCallback, LPVOID lpvButtonContext,
                            LPSTR lpszButtonText, ULONG ulFlags) = 0;
    virtual HRESULT RecipOptions(ULONG ulUIParam, ULONG ulFlags, LPADRENTRY lpRecip) = 0;
    virtual HRESULT QueryDefaultRecipOpt(LPSTR lpszAdrType, ULONG ulFlags, ULONG* lpcValues,
                                         LPSPropValue* lppOptions) = 0;
    virtual HRESULT GetPAB(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
    virtual HRESULT SetPAB(ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
    virtual HRESULT GetDefaultDir(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
    virtual HRESULT SetDefaultDir(ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
    virtual HRESULT GetSearchPath(ULONG ulFlags, LPSRowSet* lppSearchPath) = 0;
    virtual HRESULT SetSearchPath(ULONG ulFlags, LPSRowSet lpSearchPath) = 0;
    virtual HRESULT PrepareRecips(ULONG ulFlags, LPSPropTagArray lpPropTagArray, LPADRLIST lpRecipList) = 0;

protected:
    ~IAddrBook() = default;
};
using LPADRBOOK = IAddrBook*;

class IMAPIStatus : public IMAPIProp
{
public:
    virtual HRESULT ValidateState(ULONG ulUIParam, ULONG ulFlags) = 0;
    virtual HRESULT SettingsDialog(ULONG ulUIParam, ULONG ulFlags) = 0;
    virtual HRESULT ChangePassword(LPSTR lpOldPass, LPSTR lpNewPass, ULONG ulFlags) = 0;
    virtual HRESULT FlushQueues(ULONG ulUIParam, ULONG cbTargetTransport, LPENTRYID lpTargetTransport,
                                ULONG ulFlags) = 0;

protected:
    ~IMAPIStatus() = default;
};
using LPMAPISTATUS = IMAPIStatus*;

class IMsgServiceAdmin : public IUnknown
{
public:
    virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
    virtual HRESULT GetMsgServiceTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
    virtual HRESULT CreateMsgService(LPSTR lpszService, LPSTR lpszDisplayName, ULONG ulUIParam, ULONG ulFlags) = 0;
    virtual HRESULT DeleteMsgService(LPMAPIUID lpUID) = 0;
    virtual HRESULT CopyMsgService(LPMAPIUID lpUID, LPSTR lpszDisplayName, LPCIID lpInterfaceToCopy,
                                   LPCIID lpInterfaceDst, LPVOID lpObjectDst, ULONG ulUIParam, ULONG ulFlags) = 0;
    virtual HRESULT RenameMsgService(LPMAPIUID lpUID, ULONG ulFlags, LPSTR lpszDisplayName) = 0;
    virtual HRESULT ConfigureMsgService(LPMAPIUID lpUID, ULONG ulUIParam, ULONG ulFlags, ULONG cValues,
                                        LPSPropValue lpProps) = 0;
    virtual HRESULT OpenProfileSection(LPMAPIUID lpUID, LPCIID lpInterface, ULONG ulFlags,
                                       LPPROFSECT* lppProfSect) = 0;
    virtual HRESULT MsgServiceTransportOrder(ULONG cUID, LPMAPIUID lpUIDList, ULONG ulFlags) = 0;
    virtual HRESULT AdminProviders(LPMAPIUID lpUID, ULONG ulFlags, LPPROVIDERADMIN* lppProviderAdmin) = 0;
    virtual HRESULT SetPrimaryIdentity(LPMAPIUID lpUID, ULONG ulFlags) = 0;
    virtual HRESULT GetProviderTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;

protected:
    ~IMsgServiceAdmin() = default;
};
using LPSERVICEADMIN = IMsgServiceAdmin*;

class IProfAdmin : public IUnknown
{
public:
    virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
    virtual HRESULT GetProfileTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
    virtual HRESULT CreateProfile(LPSTR lpszProfileName, LPSTR lpszPassword, ULONG ulUIParam, ULONG ulFlags) = 0;
    virtual HRESULT DeleteProfile(LPSTR lpszProfileName, ULONG ulFlags) = 0;
    virtual HRESULT ChangeProfilePassword(LPSTR lpszProfileName, LPSTR lpszOldPassword, LPSTR lpszNewPassword,
                                          ULONG ulFlags) = 0;
    virtual HRESULT CopyProfile(LPSTR lpszOldProfileName, LPSTR lpszOldPassword, LPSTR lpszNewProfileName,
                                ULONG ulUIParam, ULONG ulFlags) = 0;
    virtual HRESULT RenameProfile(LPSTR lpszOldProfileName, LPSTR lpszOldPassword, LPSTR lpszNewProfileName,
                                  ULONG ulUIParam, ULONG ulFlags) = 0;
    virtual HRESULT SetDefaultProfile(LPSTR lpszProfileName, ULONG ulFlags) = 0;
    virtual HRESULT AdminServices(LPSTR lpszProfileName, LPSTR lpszPassword, ULONG ulUIParam, ULONG ulFlags,
                                  LPSERVICEADMIN* lppServiceAdmin) = 0;

protected:
    ~IProfAdmin() = default;
};
using LPPROFADMIN = IProfAdmin*;

class IMAPISession : public IUnknown
{
public:
    virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
    virtual HRESULT GetMsgStoresTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
    virtual HRESULT OpenMsgStore(ULONG ulUIParam, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface,
                                 ULONG ulFlags, LPMDB* lppMDB) = 0;
    virtual HRESULT OpenAddressBook(ULONG ulUIParam, LPCIID lpInterface, ULONG ulFlags, LPADRBOOK* lppAdrBook) = 0;
    virtual HRESULT OpenProfileSection(LPMAPIUID lpUID, LPCIID lpInterface, ULONG ulFlags,
                                       LPPROFSECT* lppProfSect) = 0;
    virtual HRESULT GetStatusTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
    virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                              ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
    virtual HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                                    ULONG ulFlags, ULONG* lpulResult) = 0;
    virtual HRESULT Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                           ULONG* lpulConnection) = 0;
    virtual HRESULT Unadvise(ULONG ulConnection) = 0;
    virtual HRESULT MessageOptions(ULONG ulUIParam, ULONG ulFlags, LPSTR lpszAdrType, LPMESSAGE lpMessage) = 0;
    virtual HRESULT QueryDefaultMessageOpt(LPSTR lpszAdrType, ULONG ulFlags, ULONG* lpcValues,
                                           LPSPropValue* lppOptions) = 0;
    virtual HRESULT EnumAdrTypes(ULONG ulFlags, ULONG* lpcAdrTypes, LPSTR** lpppszAdrTypes) = 0;
    virtual HRESULT QueryIdentity(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
    virtual HRESULT Logoff(ULONG ulUIParam, ULONG ulFlags, ULONG ulReserved) = 0;
    virtual HRESULT SetDefaultStore(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
    virtual HRESULT AdminServices(ULONG ulFlags, LPSERVICEADMIN* lppServiceAdmin) = 0;
    virtual HRESULT ShowForm(ULONG ulUIParam, LPMDB lpMsgStore, LPMAPIFOLDER lpParentFolder, LPCIID lpInterface,
                             ULONG ulMessageToken, LPMESSAGE lpMessageSent, ULONG ulFlags, ULONG ulMessageStatus,
                             ULONG ulMessageFlags, ULONG ulAccess, LPSTR lpszMessageClass) = 0;
    virtual HRESULT PrepareForm(LPCIID lpInterface, LPMESSAGE lpMessage, ULONG* lpulMessageToken) = 0;

protected:
    ~IMAPISession() = default;
};
using LPMAPISESSION = IMAPISession*;
