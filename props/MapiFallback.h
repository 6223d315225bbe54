// Stand-in for the MAPI subsystem's public headers, used only while the build
// has no mapi32 library (props/Mapi.h chooses). It declares the subset of the
// public MAPI definitions that the property text needs, with MAPI's names,
// values and signatures, so that code written against it compiles unchanged
// against the real headers.
#pragma once

#include <cstdint>

using ULONG = std::uint32_t;
using LONG = std::int32_t;
using BYTE = std::uint8_t;
using LPBYTE = BYTE*;
using BOOL = int;
using UINT = unsigned int;
using USHORT = std::uint16_t;
using DWORD = std::uint32_t;
using LONGLONG = std::int64_t;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LPSTR = char*;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPVOID = void*;

struct GUID
{
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using LPGUID = GUID*;
using IID = GUID;
using LPCIID = const IID*;
using REFIID = const IID&;

struct FILETIME
{
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

union LARGE_INTEGER
{
    struct
    {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
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

struct SBinary
{
    ULONG cb;
    LPBYTE lpb;
};

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

struct SRow
{
    ULONG ulAdrEntryPad;
    ULONG cValues;
    LPSPropValue lpProps;
};

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

#define MNID_ID 0
#define MNID_STRING 1

#define PROP_TYPE(ulPropTag) (static_cast<ULONG>(ulPropTag) & 0xFFFFu)
#define PROP_ID(ulPropTag) (static_cast<ULONG>(ulPropTag) >> 16)
#define PROP_TAG(ulPropType, ulPropID) ((static_cast<ULONG>(ulPropID) << 16) | static_cast<ULONG>(ulPropType))
#define CHANGE_PROP_TYPE(ulPropTag, ulPropType) ((static_cast<ULONG>(ulPropTag) & 0xFFFF0000u) | (ulPropType))

#define PT_UNSPECIFIED 0x0000u
#define PT_NULL 0x0001u
#define PT_I2 0x0002u
#define PT_LONG 0x0003u
#define PT_R4 0x0004u
#define PT_DOUBLE 0x0005u
#define PT_CURRENCY 0x0006u
#define PT_APPTIME 0x0007u
#define PT_ERROR 0x000Au
#define PT_BOOLEAN 0x000Bu
#define PT_OBJECT 0x000Du
#define PT_I8 0x0014u
#define PT_STRING8 0x001Eu
#define PT_UNICODE 0x001Fu
#define PT_SYSTIME 0x0040u
#define PT_CLSID 0x0048u
#define PT_BINARY 0x0102u
#define MV_FLAG 0x1000u
#define PT_MV_LONG (MV_FLAG | PT_LONG)
#define PT_MV_STRING8 (MV_FLAG | PT_STRING8)

#define PR_SUBJECT_A PROP_TAG(PT_STRING8, 0x0037)
#define PR_SUBJECT_W PROP_TAG(PT_UNICODE, 0x0037)
#define PR_MESSAGE_DELIVERY_TIME PROP_TAG(PT_SYSTIME, 0x0E06)
#define PR_HASATTACH PROP_TAG(PT_BOOLEAN, 0x0E1B)
#define PR_BODY_A PROP_TAG(PT_STRING8, 0x1000)
#define PR_BODY_W PROP_TAG(PT_UNICODE, 0x1000)
#define PR_ENTRYID PROP_TAG(PT_BINARY, 0x0FFF)
#define PR_OBJECT_TYPE PROP_TAG(PT_LONG, 0x0FFE)
#define PR_ATTACH_DATA_BIN PROP_TAG(PT_BINARY, 0x3701)
#define PR_ATTACH_METHOD PROP_TAG(PT_LONG, 0x3705)
#define PR_ATTACH_LONG_FILENAME_A PROP_TAG(PT_STRING8, 0x3707)
#define PR_ATTACH_LONG_FILENAME_W PROP_TAG(PT_UNICODE, 0x3707)

#define S_OK static_cast<HRESULT>(0)
#define MAPI_E_NOT_ENOUGH_MEMORY static_cast<HRESULT>(0x8007000Eu)
#define MAPI_E_INVALID_PARAMETER static_cast<HRESULT>(0x80070057u)
#define MAPI_E_NOT_FOUND static_cast<HRESULT>(0x8004010Fu)
#define MAPI_E_NO_SUPPORT static_cast<HRESULT>(0x80040102u)
#define MAPI_E_CALL_FAILED static_cast<HRESULT>(0x80004005u)
#define MAPI_W_ERRORS_RETURNED static_cast<HRESULT>(0x00040380)
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

#define MAPI_BEST_ACCESS 0x00000010u

struct MAPIERROR;
using LPMAPIERROR = MAPIERROR*;
struct SPropProblemArray;
using LPSPropProblemArray = SPropProblemArray*;
class IMAPIProgress;
using LPMAPIPROGRESS = IMAPIProgress*;
struct STATSTG;
union ULARGE_INTEGER
{
    struct
    {
        DWORD LowPart;
        DWORD HighPart;
    };
    std::uint64_t QuadPart;
};

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

extern const IID IID_IStream;

SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer);
SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
ULONG MAPIFreeBuffer(LPVOID lpBuffer);
