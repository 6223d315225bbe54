// Read-only IMAPIProp objects.
//
// ReadOnlyProp<Base, Iids...> is the IMAPIProp of an object nobody may change:
// SaveChanges, SetProps and DeleteProps fail with MAPI_E_NO_ACCESS, CopyTo and
// CopyProps with MAPI_E_NO_SUPPORT. A provider whose objects hold their values
// in their own form builds on it.
//
// PropObject<Base, Iids...> adds the rest over a PropSet, values held in memory:
// GetProps, GetPropList, OpenProperty as a stream, and no named properties.
// Text is kept as UTF-8 and handed out as MAPI asks for it: PT_UNICODE with
// MAPI_UNICODE (or when that type is asked for by tag), PT_STRING8 otherwise.
#pragma once

#include "mapi32/mapicode.h"
#include "mapi32/mapidefs.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapiutil.h"
#include "mapi32/unknown.h"

#include "mapi32/utf.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace dravik::mapi32 {


class PropSet
{
public:
    // Each setter replaces a value of the same property ID.
    void SetText(ULONG tag, const std::string& utf8);
    void SetLong(ULONG tag, ULONG value);
    void SetBool(ULONG tag, bool value);
    void SetBinary(ULONG tag, const std::vector<uint8_t>& bytes);
    // Any value; single-valued strings become text, everything else is deep-copied.
    void SetValue(const SPropValue& value);
    // Adds the values of `from` whose IDs lie in [firstId, lastId] and that this set lacks.
    void Merge(const PropSet& from, ULONG firstId, ULONG lastId);

    bool Has(ULONG tag) const { return Find(PROP_ID(tag)) != nullptr; }
    const std::string* Text(ULONG tag) const;  // by property ID; null unless text
    const SPropValue* Raw(ULONG tag) const;    // by property ID; null for text or absent

    // Every value, strings as PT_UNICODE when wide. The values point into this
    // set and into `keep`, which must outlive them.
    std::vector<SPropValue> Values(bool wide, std::deque<std::u16string>& keep) const;
    // The value for a requested tag: PT_UNSPECIFIED gives the natural type, a
    // string type gives text in that type; false when absent or of another type.
    bool Value(ULONG tag, bool wide, std::deque<std::u16string>& keep, SPropValue& out) const;
    // The value's bytes for a stream: text as UTF-8 (PT_STRING8) or UTF-16LE
    // (PT_UNICODE), binary as is. False for absent values and other types.
    bool StreamBytes(ULONG tag, std::vector<uint8_t>& out) const;

    // IMAPIProp::GetProps and GetPropList over the set.
    HRESULT GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                     LPSPropValue* lppPropArray) const;
    HRESULT GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) const;
    // IMAPIProp::OpenProperty as IID_IStream or IID_ISequentialStream: the
    // value's bytes; MAPI_E_NOT_FOUND when absent, MAPI_E_INTERFACE_NOT_SUPPORTED
    // for a value that has no stream.
    HRESULT OpenStream(ULONG ulPropTag, LPUNKNOWN* lppUnk) const;

private:
    struct Free
    {
        void operator()(SPropValue* p) const { MAPIFreeBuffer(p); }
    };
    struct Entry
    {
        ULONG id = 0;
        bool isText = false;
        std::string text;
        std::shared_ptr<SPropValue> value;  // one MAPI allocation, for every other type
    };
    Entry* Find(ULONG id);
    const Entry* Find(ULONG id) const;
    Entry& Slot(ULONG id);
    std::vector<Entry> m_entries;
};

// IMAPIProp::GetNamesFromIDs and GetIDsFromNames of an object without named
// properties: each ID asked for gets a NULL name (with no tag list, there are
// none to list), each name a PT_ERROR tag; MAPI_CREATE fails with MAPI_E_NO_ACCESS.
HRESULT NoNamesFromIds(LPSPropTagArray* lppPropTags, ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames);
HRESULT NoIdsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags, LPSPropTagArray* lppPropTags);

template <typename Base, const IID&... Iids>
class ReadOnlyProp : public Unknown<Base, Iids...>
{
public:
    HRESULT SaveChanges(ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray* lppProblems) override
    {
        return Refuse(lppProblems, MAPI_E_NO_ACCESS);
    }
    HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray* lppProblems) override
    {
        return Refuse(lppProblems, MAPI_E_NO_ACCESS);
    }
    HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                   LPSPropProblemArray* lppProblems) override
    {
        return Refuse(lppProblems, MAPI_E_NO_SUPPORT);
    }
    HRESULT CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray* lppProblems) override
    {
        return Refuse(lppProblems, MAPI_E_NO_SUPPORT);
    }

private:
    static HRESULT Refuse(LPSPropProblemArray* lppProblems, HRESULT hr)
    {
        if (lppProblems)
            *lppProblems = nullptr;
        return hr;
    }
};

template <typename Base, const IID&... Iids>
class PropObject : public ReadOnlyProp<Base, Iids...>
{
public:
    HRESULT GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                     LPSPropValue* lppPropArray) override
    {
        return m_props.GetProps(lpPropTagArray, ulFlags, lpcValues, lppPropArray);
    }
    HRESULT GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override
    {
        return m_props.GetPropList(ulFlags, lppPropTagArray);
    }
    HRESULT OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG, ULONG ulFlags, LPUNKNOWN* lppUnk) override
    {
        if (!lppUnk || !lpiid)
            return MAPI_E_INVALID_PARAMETER;
        *lppUnk = nullptr;
        if (ulFlags & (MAPI_MODIFY | MAPI_CREATE))
            return MAPI_E_NO_ACCESS;
        if (*lpiid != IID_IStream && *lpiid != IID_ISequentialStream)
            return OpenObjectProperty(ulPropTag, *lpiid, lppUnk);
        return m_props.OpenStream(ulPropTag, lppUnk);
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID, ULONG, ULONG* lpcPropNames,
                            LPMAPINAMEID** lpppPropNames) override
    {
        return NoNamesFromIds(lppPropTags, lpcPropNames, lpppPropNames);
    }
    HRESULT GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                            LPSPropTagArray* lppPropTags) override
    {
        return NoIdsFromNames(cPropNames, lppPropNames, ulFlags, lppPropTags);
    }

protected:
    explicit PropObject(PropSet props) : m_props(std::move(props)) {}
    // OpenProperty with an interface other than a stream.
    virtual HRESULT OpenObjectProperty(ULONG, REFIID, LPUNKNOWN*) { return MAPI_E_INTERFACE_NOT_SUPPORTED; }

    PropSet m_props;
};

// The IMsgStore of a store file that is only read: no receive folders, no
// outgoing queue, no submission, no notifications; every change refused.
// Base is the provider's object class; its m_ctx compares the store's entry
// IDs (ParseEntryId gives the object a valid ID names).
template <class Base>
class ReadOnlyMsgStore : public Base
{
public:
    using Base::Base;
    HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override
    {
        if (!result)
            return MAPI_E_INVALID_PARAMETER;
        uint32_t a = 0, b = 0;
        if (!this->m_ctx->ParseEntryId(cb1, e1, a) || !this->m_ctx->ParseEntryId(cb2, e2, b))
            return MAPI_E_INVALID_ENTRYID;
        *result = a == b;
        return S_OK;
    }
    HRESULT SetReceiveFolder(LPSTR, ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_ACCESS; }
    HRESULT GetReceiveFolder(LPSTR, ULONG, ULONG* cb, LPENTRYID* eid, LPSTR* cls) override
    {
        if (cb)
            *cb = 0;
        if (eid)
            *eid = nullptr;
        if (cls)
            *cls = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT GetReceiveFolderTable(ULONG, LPMAPITABLE* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT StoreLogoff(ULONG*) override { return S_OK; }
    HRESULT AbortSubmit(ULONG, LPENTRYID, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT GetOutgoingQueue(ULONG, LPMAPITABLE* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT SetLockState(LPMESSAGE, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT FinishedMsg(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_ACCESS; }
    HRESULT NotifyNewMail(LPNOTIFICATION) override { return MAPI_E_NO_ACCESS; }
};

// The changes of an IMAPIFolder in a store that is only read, all refused,
// and its search criteria, which no folder of such a store has. Base is the
// provider's folder object class, which gives the tables and OpenEntry.
template <class Base>
class ReadOnlyFolder : public Base
{
public:
    using Base::Base;
    HRESULT SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT GetSearchCriteria(ULONG, LPSRestriction* r, LPENTRYLIST* l, ULONG*) override
    {
        if (r)
            *r = nullptr;
        if (l)
            *l = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT CreateMessage(LPCIID, ULONG, LPMESSAGE* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_ACCESS;
    }
    HRESULT CopyMessages(LPENTRYLIST, LPCIID, LPVOID, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT DeleteMessages(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT CreateFolder(ULONG, LPSTR, LPSTR, LPCIID, ULONG, LPMAPIFOLDER* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_ACCESS;
    }
    HRESULT CopyFolder(ULONG, LPENTRYID, LPCIID, LPVOID, LPSTR, ULONG, LPMAPIPROGRESS, ULONG) override
    {
        return MAPI_E_NO_ACCESS;
    }
    HRESULT DeleteFolder(ULONG, LPENTRYID, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT SetReadFlags(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT GetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT SetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG, ULONG*) override { return MAPI_E_NO_ACCESS; }
    HRESULT SaveContentsSort(LPSSortOrderSet, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT EmptyFolder(ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_ACCESS; }
};

} // namespace dravik::mapi32
