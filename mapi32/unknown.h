// The IUnknown every object of the subsystem is built on: a thread-safe
// reference count that destroys the object on the last Release, and
// QueryInterface answering IID_IUnknown and the interfaces listed.
//
//     class CMailUser final : public Unknown<IMailUser, IID_IMAPIProp, IID_IMailUser> { ... };
//
// Every interface of an object lies on one chain of single inheritance, so the
// pointer handed out is the same for each IID it answers to. Interfaces that
// declare GetLastError (IMAPIProp, IMAPITable, the administration and session
// interfaces) get the trivial one: no extended error information.
#pragma once

#include "mapi32/mapicode.h"
#include "mapi32/mapidefs.h"
#include "mapi32/mapiguid.h"

#include <atomic>

namespace dravik::mapi32 {

namespace detail {

template <typename Interface>
concept HasGetLastError = requires(Interface& i, LPMAPIERROR* e) { i.GetLastError(HRESULT{}, ULONG{}, e); };

template <typename Interface, bool = HasGetLastError<Interface>>
class LastError : public Interface
{
};

template <typename Interface>
class LastError<Interface, true> : public Interface
{
public:
    HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* lppMAPIError) override
    {
        if (lppMAPIError)
            *lppMAPIError = nullptr;
        return S_OK;
    }
};

} // namespace detail

template <typename Interface, const IID&... Iids>
class Unknown : public detail::LastError<Interface>
{
public:
    HRESULT QueryInterface(REFIID riid, LPVOID* ppvObj) override
    {
        if (!ppvObj)
            return MAPI_E_INVALID_PARAMETER;
        if (riid == IID_IUnknown || ((riid == Iids) || ...)) {
            AddRef();
            *ppvObj = static_cast<Interface*>(this);
            return S_OK;
        }
        *ppvObj = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        const ULONG refs = --m_refs;
        if (refs == 0)
            delete this;
        return refs;
    }

protected:
    Unknown() = default;  // holding the one reference its creator hands out
    Unknown(const Unknown&) = delete;
    Unknown& operator=(const Unknown&) = delete;
    virtual ~Unknown() = default;

private:
    std::atomic<ULONG> m_refs{1};
};

} // namespace dravik::mapi32
