#include "mapi32/providers/ab/addrbook.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/provider.h"
#include "mapi32/providers/ab/abentryid.h"
#include "mapi32/providers/ab/abprops.h"
#include "mapi32/providers/ab/directory.h"

#include <cstring>
#include <memory>
#include <optional>

namespace dravik::mapi32 {
namespace {

using namespace ab;

constexpr ULONG kAbRecipients = 0x00000001;     // AB_RECIPIENTS
constexpr ULONG kAbSubcontainers = 0x00000002;  // AB_SUBCONTAINERS
constexpr ULONG kAbUnmodifiable = 0x00000008;   // AB_UNMODIFIABLE

const std::vector<ULONG> kHierarchyColumns = {PR_INSTANCE_KEY, PR_ENTRYID,    PR_DISPLAY_NAME,    PR_OBJECT_TYPE,
                                              PR_DISPLAY_TYPE, PR_CONTAINER_FLAGS, PR_DEPTH};
const std::vector<ULONG> kContentsColumns = {PR_INSTANCE_KEY, PR_ENTRYID,     PR_DISPLAY_NAME, PR_ADDRTYPE,
                                             PR_EMAIL_ADDRESS, PR_OBJECT_TYPE, PR_DISPLAY_TYPE, PR_RECORD_KEY,
                                             PR_SEARCH_KEY};

using DirectoryPtr = std::shared_ptr<Directory>;

HRESULT OpenAbEntry(const DirectoryPtr& dir, ULONG cb, LPENTRYID eid, LPCIID iid, ULONG flags, ULONG* type,
                    LPUNKNOWN* out);

void Provider(PropSet& p)
{
    p.SetBinary(PR_AB_PROVIDER_ID, std::vector<uint8_t>(kAbProviderUid.ab, kAbProviderUid.ab + 16));
}

PropSet RootProps()
{
    const std::vector<uint8_t> eid = EncodeAbEntryId({});
    PropSet p;
    p.SetBinary(PR_ENTRYID, eid);
    p.SetBinary(PR_RECORD_KEY, eid);
    p.SetText(PR_DISPLAY_NAME, "");
    p.SetLong(PR_OBJECT_TYPE, MAPI_ABCONT);
    p.SetLong(PR_DISPLAY_TYPE, DT_NOT_SPECIFIC);
    p.SetLong(PR_CONTAINER_FLAGS, kAbSubcontainers | kAbUnmodifiable);
    Provider(p);
    return p;
}

PropSet ContainerProps(const ContainerInfo& c)
{
    const std::vector<uint8_t> eid = c.EntryId();
    PropSet p;
    p.SetBinary(PR_ENTRYID, eid);
    p.SetBinary(PR_RECORD_KEY, eid);
    p.SetText(PR_DISPLAY_NAME, c.displayName);
    p.SetLong(PR_OBJECT_TYPE, MAPI_ABCONT);
    p.SetLong(PR_DISPLAY_TYPE, DT_NOT_SPECIFIC);
    p.SetLong(PR_CONTAINER_FLAGS, kAbRecipients | kAbUnmodifiable);
    p.SetBinary(PR_PARENT_ENTRYID, EncodeAbEntryId({}));
    Provider(p);
    return p;
}

HRESULT TableOf(const std::vector<PropSet>& sets, const std::vector<ULONG>& columns, ULONG flags, LPMAPITABLE* out)
{
    std::vector<const PropSet*> rows;
    for (const PropSet& s : sets)
        rows.push_back(&s);
    return MakeTable(rows, columns, (flags & MAPI_UNICODE) != 0, out);
}

// Hands out an entry ID in a buffer of its own.
HRESULT HandEntryId(const std::vector<uint8_t>& bytes, ULONG* cb, LPENTRYID* eid)
{
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(bytes.size()), &p);
    if (FAILED(hr))
        return hr;
    std::memcpy(p, bytes.data(), bytes.size());
    *cb = static_cast<ULONG>(bytes.size());
    *eid = static_cast<LPENTRYID>(p);
    return S_OK;
}

// Hands out a new object (holding one reference) as the interface asked for, or its own.
HRESULT Hand(LPUNKNOWN object, LPCIID iid, ULONG objectType, ULONG* type, LPUNKNOWN* out)
{
    if (iid) {
        void* p = nullptr;
        HRESULT hr = object->QueryInterface(*iid, &p);
        object->Release();
        if (FAILED(hr))
            return hr;
        object = static_cast<LPUNKNOWN>(p);
    }
    *type = objectType;
    *out = object;
    return S_OK;
}

// What the address book's containers share: entries open through the
// directory; they neither search nor change.
template <typename Base, const IID&... Iids>
class AbContainer : public PropObject<Base, Iids...>
{
public:
    HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID iid, ULONG flags, ULONG* type, LPUNKNOWN* out) override
    {
        return OpenAbEntry(m_dir, cb, eid, iid, flags, type, out);
    }
    HRESULT SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetSearchCriteria(ULONG, LPSRestriction* r, LPENTRYLIST* l, ULONG*) override
    {
        if (r)
            *r = nullptr;
        if (l)
            *l = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT CreateEntry(ULONG, LPENTRYID, ULONG, LPMAPIPROP* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_ACCESS;
    }
    HRESULT CopyEntries(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT DeleteEntries(LPENTRYLIST, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT ResolveNames(LPSPropTagArray, ULONG, LPADRLIST, LPFlagList) override { return MAPI_E_NO_SUPPORT; }

protected:
    AbContainer(PropSet props, DirectoryPtr dir) : PropObject<Base, Iids...>(std::move(props)), m_dir(std::move(dir)) {}

    DirectoryPtr m_dir;
};

class CABContainer final
    : public AbContainer<IABContainer, IID_IMAPIProp, IID_IMAPIContainer, IID_IABContainer>
{
public:
    // The root container without `info`, a contacts folder's container with it.
    CABContainer(DirectoryPtr dir, std::optional<ContainerInfo> info)
        : AbContainer(info ? ContainerProps(*info) : RootProps(), std::move(dir)), m_info(std::move(info))
    {
    }

    HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        std::vector<PropSet> rows;
        if (m_info) {
            HRESULT hr = m_dir->Contents(*m_info, rows);
            if (FAILED(hr))
                return hr;
        }
        return TableOf(rows, kContentsColumns, flags, out);  // the root holds containers only
    }
    HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        std::vector<PropSet> rows;
        if (!m_info) {
            std::vector<ContainerInfo> containers;
            HRESULT hr = m_dir->Containers(containers);
            if (FAILED(hr))
                return hr;
            for (const ContainerInfo& c : containers) {
                PropSet& row = rows.emplace_back(ContainerProps(c));
                row.SetLong(PR_DEPTH, 0);
            }
        }
        return TableOf(rows, kHierarchyColumns, flags, out);  // a contacts folder's container has none below it
    }

protected:
    HRESULT OpenObjectProperty(ULONG tag, REFIID iid, LPUNKNOWN* out) override
    {
        if (iid != IID_IMAPITable)
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        LPMAPITABLE table = nullptr;
        HRESULT hr = PROP_ID(tag) == PROP_ID(PR_CONTAINER_CONTENTS)    ? GetContentsTable(0, &table)
                     : PROP_ID(tag) == PROP_ID(PR_CONTAINER_HIERARCHY) ? GetHierarchyTable(0, &table)
                                                                       : MAPI_E_NOT_FOUND;
        *out = table;
        return hr;
    }

private:
    ~CABContainer() override = default;
    std::optional<ContainerInfo> m_info;
};

class CMailUser final : public PropObject<IMailUser, IID_IMAPIProp, IID_IMailUser>
{
public:
    explicit CMailUser(PropSet props) : PropObject(std::move(props)) {}

private:
    ~CMailUser() override = default;
};

class CDistList final : public AbContainer<IDistList, IID_IMAPIProp, IID_IMAPIContainer, IID_IDistList>
{
public:
    CDistList(DirectoryPtr dir, AbEntryId id, PropSet props)
        : AbContainer(std::move(props), std::move(dir)), m_id(std::move(id))
    {
    }

    HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        std::vector<PropSet> rows;
        HRESULT hr = m_dir->Members(m_id, rows);
        if (FAILED(hr))
            return hr;
        return TableOf(rows, kContentsColumns, flags, out);
    }
    HRESULT GetHierarchyTable(ULONG, LPMAPITABLE* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_SUPPORT;  // a distribution list has members, no containers
    }

protected:
    HRESULT OpenObjectProperty(ULONG tag, REFIID iid, LPUNKNOWN* out) override
    {
        if (iid != IID_IMAPITable || PROP_ID(tag) != PROP_ID(PR_CONTAINER_CONTENTS))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        LPMAPITABLE table = nullptr;
        HRESULT hr = GetContentsTable(0, &table);
        *out = table;
        return hr;
    }

private:
    ~CDistList() override = default;
    AbEntryId m_id;
};

HRESULT OpenAbEntry(const DirectoryPtr& dir, ULONG cb, LPENTRYID eid, LPCIID iid, ULONG flags, ULONG* type,
                    LPUNKNOWN* out)
{
    if (!type || !out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (flags & MAPI_MODIFY)
        return MAPI_E_NO_ACCESS;
    if (cb == 0 || !eid)
        return Hand(static_cast<IABContainer*>(new CABContainer(dir, std::nullopt)), iid, MAPI_ABCONT, type, out);
    const auto* bytes = reinterpret_cast<const uint8_t*>(eid);
    AbEntryId id;
    switch (DecodeAbEntryId(bytes, cb, id)) {
    case EntryIdCheck::Malformed:
        return MAPI_E_INVALID_ENTRYID;
    case EntryIdCheck::Foreign: {
        OneOffEntry oneOff;
        if (!DecodeOneOff(bytes, cb, oneOff))
            return MAPI_E_INVALID_ENTRYID;
        PropSet props = Directory::OneOffProps(std::vector<uint8_t>(bytes, bytes + cb), oneOff);
        return Hand(static_cast<IMailUser*>(new CMailUser(std::move(props))), iid, MAPI_MAILUSER, type, out);
    }
    case EntryIdCheck::Ours:
        break;
    }
    HRESULT hr = S_OK;
    switch (id.kind) {
    case AbKind::Root:
        return Hand(static_cast<IABContainer*>(new CABContainer(dir, std::nullopt)), iid, MAPI_ABCONT, type, out);
    case AbKind::Container: {
        ContainerInfo info;
        if (FAILED(hr = dir->FindContainer(id, info)))
            return hr;
        return Hand(static_cast<IABContainer*>(new CABContainer(dir, std::move(info))), iid, MAPI_ABCONT, type, out);
    }
    case AbKind::MailUser: {
        PropSet props;
        if (FAILED(hr = dir->Entry(id, props)))
            return hr;
        return Hand(static_cast<IMailUser*>(new CMailUser(std::move(props))), iid, MAPI_MAILUSER, type, out);
    }
    case AbKind::DistList: {
        PropSet props;
        if (FAILED(hr = dir->Entry(id, props)))
            return hr;
        return Hand(static_cast<IDistList*>(new CDistList(dir, std::move(id), std::move(props))), iid, MAPI_DISTLIST,
                    type, out);
    }
    }
    return MAPI_E_INVALID_ENTRYID;
}

PropSet AddressBookProps()
{
    PropSet p;
    p.SetLong(PR_OBJECT_TYPE, MAPI_ADDRBOOK);
    p.SetText(PR_DISPLAY_NAME, "Address Book");
    p.SetBinary(PR_AB_DEFAULT_DIR, EncodeAbEntryId({}));
    return p;
}

class CAddrBook final : public PropObject<IAddrBook, IID_IMAPIProp, IID_IAddrBook>
{
public:
    explicit CAddrBook(IMAPISession* session)
        : PropObject(AddressBookProps()), m_dir(std::make_shared<Directory>(session))
    {
    }

    HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID iid, ULONG flags, ULONG* type, LPUNKNOWN* out) override
    {
        return OpenAbEntry(m_dir, cb, eid, iid, flags, type, out);
    }
    HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override
    {
        return CompareEntryIdBytes(cb1, e1, cb2, e2, result);
    }
    HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
    // A Unicode one-off entry ID; the strings are UTF-16 with MAPI_UNICODE, else narrow (UTF-8).
    HRESULT CreateOneOff(LPSTR name, LPSTR addrType, LPSTR address, ULONG flags, ULONG* cb, LPENTRYID* eid) override
    {
        if (!name || !addrType || !address || !cb || !eid)
            return MAPI_E_INVALID_PARAMETER;
        auto text = [flags](LPSTR s) {
            if (!(flags & MAPI_UNICODE))
                return std::string(s);
            SPropValue v{};
            v.ulPropTag = PT_UNICODE;
            v.Value.lpszW = reinterpret_cast<LPWSTR>(s);
            PropSet p;
            p.SetValue(v);
            return *p.Text(0);
        };
        return HandEntryId(EncodeOneOff({text(name), text(addrType), text(address)}), cb, eid);
    }
    HRESULT NewEntry(ULONG, ULONG, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG*, LPENTRYID*) override
    {
        return MAPI_E_NO_ACCESS;
    }
    HRESULT ResolveName(ULONG, ULONG, LPSTR, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Address(ULONG*, LPADRPARM, LPADRLIST*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Details(ULONG*, LPFNDISMISS, LPVOID, ULONG, LPENTRYID, LPFNBUTTON, LPVOID, LPSTR, ULONG) override
    {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT RecipOptions(ULONG, ULONG, LPADRENTRY) override { return MAPI_E_NO_SUPPORT; }
    HRESULT QueryDefaultRecipOpt(LPSTR, ULONG, ULONG*, LPSPropValue*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetPAB(ULONG* cb, LPENTRYID* eid) override
    {
        if (cb)
            *cb = 0;
        if (eid)
            *eid = nullptr;
        return MAPI_E_NOT_FOUND;
    }
    HRESULT SetPAB(ULONG, LPENTRYID) override { return MAPI_E_NO_ACCESS; }
    HRESULT GetDefaultDir(ULONG* cb, LPENTRYID* eid) override
    {
        if (!cb || !eid)
            return MAPI_E_INVALID_PARAMETER;
        return HandEntryId(EncodeAbEntryId({}), cb, eid);
    }
    HRESULT SetDefaultDir(ULONG, LPENTRYID) override { return MAPI_E_NO_ACCESS; }
    HRESULT GetSearchPath(ULONG, LPSRowSet* rows) override
    {
        if (rows)
            *rows = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT SetSearchPath(ULONG, LPSRowSet) override { return MAPI_E_NO_ACCESS; }
    HRESULT PrepareRecips(ULONG, LPSPropTagArray, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }

private:
    ~CAddrBook() override = default;
    DirectoryPtr m_dir;
};

} // namespace

HRESULT CreateAddressBook(IMAPISession* session, LPADRBOOK* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = new CAddrBook(session);
    return S_OK;
}

} // namespace dravik::mapi32
