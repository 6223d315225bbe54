#include "mapi32/providers/ab/directory.h"

#include "mapi32/mapitags.h"
#include "mapi32/table.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <strings.h>

namespace dravik::mapi32::ab {

namespace {

// Address-book properties that mapitags.h does not name.
constexpr ULONG PR_ORIGINAL_ENTRYID_AB = PROP_TAG(PT_BINARY, 0x3A12);
constexpr ULONG PR_ORIGINAL_DISPLAY_NAME_AB = PROP_TAG(PT_STRING8, 0x3A13);
constexpr ULONG PR_TRANSMITABLE_DISPLAY_NAME_AB = PROP_TAG(PT_STRING8, 0x3A20);
constexpr ULONG kAbRecipients = 0x00000001;    // AB_RECIPIENTS
constexpr ULONG kAbUnmodifiable = 0x00000008;  // AB_UNMODIFIABLE

// Named properties of PSETID_Address that the address book reads (MS-OXPROPS).
// Email1..Email3 each: DisplayName, AddressType, EmailAddress, OriginalDisplayName, OriginalEntryId.
constexpr LONG kLids[] = {0x8080, 0x8082, 0x8083, 0x8084, 0x8085,   // Email1
                          0x8090, 0x8092, 0x8093, 0x8094, 0x8095,   // Email2
                          0x80A0, 0x80A2, 0x80A3, 0x80A4, 0x80A5,   // Email3
                          0x8053,                                   // PidLidDistributionListName
                          0x8054,                                   // PidLidDistributionListOneOffMembers
                          0x8055};                                  // PidLidDistributionListMembers
constexpr size_t kLidCount = sizeof kLids / sizeof kLids[0];
constexpr size_t kEmailDisplayName = 0, kEmailAddrType = 1, kEmailAddress = 2, kEmailOriginalName = 3,
                 kEmailOriginalEntryId = 4, kDlName = 15, kDlOneOffMembers = 16, kDlMembers = 17;

template <typename T>
class Ref
{
public:
    Ref() = default;
    explicit Ref(T* p) : m_p(p) {}
    ~Ref()
    {
        if (m_p)
            m_p->Release();
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* get() const { return m_p; }
    T** out() { return &m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

struct Rows
{
    LPSRowSet rows = nullptr;
    ~Rows() { FreeProws(rows); }
};

struct Buffer
{
    LPSPropValue values = nullptr;
    ULONG count = 0;
    ~Buffer() { MAPIFreeBuffer(values); }
};

const SPropValue* FindId(const SPropValue* values, ULONG count, ULONG id)
{
    for (ULONG i = 0; i < count; ++i)
        if (PROP_ID(values[i].ulPropTag) == id && PROP_TYPE(values[i].ulPropTag) != PT_ERROR)
            return &values[i];
    return nullptr;
}

std::string RowText(const SRow& row, ULONG tag)
{
    std::string s;
    if (const SPropValue* v = FindId(row.lpProps, row.cValues, PROP_ID(tag)))
        if (PROP_TYPE(v->ulPropTag) == PT_STRING8 || PROP_TYPE(v->ulPropTag) == PT_UNICODE)
            ValueText(*v, s);
    return s;
}

std::vector<uint8_t> RowBinary(const SRow& row, ULONG tag)
{
    const SPropValue* v = FindId(row.lpProps, row.cValues, PROP_ID(tag));
    if (!v || PROP_TYPE(v->ulPropTag) != PT_BINARY || !v->Value.bin.lpb)
        return {};
    return {v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb};
}

// A class or one below it in the dotted hierarchy ("IPF.Contact", "IPF.Contact.X").
bool IsClass(const std::string& value, const char* cls)
{
    const size_t n = std::strlen(cls);
    if (value.size() < n || strncasecmp(value.c_str(), cls, n) != 0)
        return false;
    return value.size() == n || value[n] == '.';
}

HRESULT NotFoundIfMissing(HRESULT hr)
{
    return hr == MAPI_E_INVALID_ENTRYID || hr == MAPI_E_UNKNOWN_ENTRYID ? MAPI_E_NOT_FOUND : hr;
}

template <typename T>
HRESULT Query(LPUNKNOWN unk, const IID& iid, T** out)
{
    return unk->QueryInterface(iid, reinterpret_cast<LPVOID*>(out));
}

// Values by property ID (0: a named property the store does not have).
std::string TextOr(const PropSet& p, ULONG id)
{
    const std::string* s = id ? p.Text(PROP_TAG(PT_UNSPECIFIED, id)) : nullptr;
    return s ? *s : std::string();
}

std::vector<std::vector<uint8_t>> MultiBinary(const PropSet& p, ULONG id)
{
    std::vector<std::vector<uint8_t>> out;
    const SPropValue* v = id ? p.Raw(PROP_TAG(PT_UNSPECIFIED, id)) : nullptr;
    if (!v || PROP_TYPE(v->ulPropTag) != PT_MV_BINARY || !v->Value.MVbin.lpbin)
        return out;
    for (ULONG i = 0; i < v->Value.MVbin.cValues; ++i) {
        const SBinary& b = v->Value.MVbin.lpbin[i];
        out.emplace_back(b.lpb, b.lpb + (b.lpb ? b.cb : 0));
    }
    return out;
}

void Address(PropSet& p, const std::vector<uint8_t>& entryId, const std::string& name, const std::string& type,
             const std::string& address, ULONG objectType)
{
    p.SetBinary(PR_ENTRYID, entryId);
    p.SetBinary(PR_RECORD_KEY, entryId);
    p.SetText(PR_DISPLAY_NAME, name);
    p.SetText(PR_ADDRTYPE, type);
    p.SetText(PR_EMAIL_ADDRESS, address);
    p.SetLong(PR_OBJECT_TYPE, objectType);
    p.SetLong(PR_DISPLAY_TYPE, objectType == MAPI_DISTLIST ? DT_DISTLIST : DT_MAILUSER);
    if (objectType == MAPI_MAILUSER)
        p.SetBinary(PR_SEARCH_KEY, SearchKey(type, address));
}

// A contact's e-mail address `index` (1..3) as a mail user; false when the contact has none there.
bool MailUser(const PropSet& contact, const std::vector<ULONG>& ids, uint8_t index, const AbEntryId& where,
              bool full, PropSet& out)
{
    const size_t base = (index - 1) * 5u;
    const std::string address = TextOr(contact, ids[base + kEmailAddress]);
    if (address.empty())
        return false;
    std::string type = TextOr(contact, ids[base + kEmailAddrType]);
    if (type.empty())
        type = "SMTP";
    std::string name = TextOr(contact, ids[base + kEmailDisplayName]);
    for (ULONG fallback : {PR_DISPLAY_NAME, PR_SUBJECT})
        if (name.empty())
            name = TextOr(contact, PROP_ID(fallback));
    if (name.empty())
        name = address;
    AbEntryId id = where;
    id.kind = AbKind::MailUser;
    id.emailIndex = index;
    Address(out, EncodeAbEntryId(id), name, type, address, MAPI_MAILUSER);
    if (!full)
        return true;
    out.SetText(PR_TRANSMITABLE_DISPLAY_NAME_AB, name);
    if (IsClass(type, "SMTP"))
        out.SetText(PR_SMTP_ADDRESS, address);
    const std::string original = TextOr(contact, ids[base + kEmailOriginalName]);
    if (!original.empty())
        out.SetText(PR_ORIGINAL_DISPLAY_NAME_AB, original);
    const ULONG originalId = ids[base + kEmailOriginalEntryId];
    if (const SPropValue* eid = originalId ? contact.Raw(PROP_TAG(PT_UNSPECIFIED, originalId)) : nullptr;
        eid && PROP_TYPE(eid->ulPropTag) == PT_BINARY) {
        SPropValue v = *eid;
        v.ulPropTag = PR_ORIGINAL_ENTRYID_AB;
        out.SetValue(v);
    }
    // The contact's own address-book properties: names, company, telephone numbers, addresses.
    out.Merge(contact, 0x3A00, 0x3AFF);
    return true;
}

PropSet DistList(const PropSet& message, const std::vector<ULONG>& ids, const AbEntryId& where, bool full)
{
    std::string name = TextOr(message, ids[kDlName]);
    for (ULONG fallback : {PR_DISPLAY_NAME, PR_SUBJECT})
        if (name.empty())
            name = TextOr(message, PROP_ID(fallback));
    AbEntryId id = where;
    id.kind = AbKind::DistList;
    id.emailIndex = 0;
    PropSet p;
    Address(p, EncodeAbEntryId(id), name, "MAPIPDL", "", MAPI_DISTLIST);
    if (full)
        p.SetLong(PR_CONTAINER_FLAGS, kAbRecipients | kAbUnmodifiable);
    return p;
}

} // namespace

struct Directory::NamedIds
{
    std::vector<ULONG> ids = std::vector<ULONG>(kLidCount, 0);  // property ID of each of kLids, 0 when the store has none
};

std::vector<uint8_t> ContainerInfo::EntryId() const
{
    return EncodeAbEntryId({AbKind::Container, 0, storeEntryId, folderEntryId});
}

Directory::Directory(IMAPISession* session) : m_session(session)
{
    if (m_session)
        m_session->AddRef();
}

Directory::~Directory()
{
    if (m_session)
        m_session->Release();
}

PropSet Directory::OneOffProps(const std::vector<uint8_t>& entryId, const OneOffEntry& entry)
{
    PropSet p;
    Address(p, entryId, entry.displayName, entry.addressType, entry.address, MAPI_MAILUSER);
    p.SetText(PR_TRANSMITABLE_DISPLAY_NAME_AB, entry.displayName);
    if (IsClass(entry.addressType, "SMTP"))
        p.SetText(PR_SMTP_ADDRESS, entry.address);
    return p;
}

HRESULT Directory::OpenStore(const std::vector<uint8_t>& storeEntryId, LPMDB* store)
{
    if (!m_session)
        return MAPI_E_END_OF_SESSION;
    HRESULT hr = m_session->OpenMsgStore(0, static_cast<ULONG>(storeEntryId.size()),
                                         reinterpret_cast<LPENTRYID>(const_cast<uint8_t*>(storeEntryId.data())),
                                         nullptr, MAPI_BEST_ACCESS, store);
    return NotFoundIfMissing(hr);
}

HRESULT Directory::Names(const std::vector<uint8_t>& storeEntryId, IMsgStore* store, NamedIds& out)
{
    {
        std::lock_guard lock(m_mutex);
        auto it = m_names.find(storeEntryId);
        if (it != m_names.end()) {
            out.ids = it->second;
            return S_OK;
        }
    }
    GUID set = PSETID_Address;
    MAPINAMEID names[kLidCount];
    LPMAPINAMEID pointers[kLidCount];
    for (size_t i = 0; i < kLidCount; ++i) {
        names[i] = MAPINAMEID{};
        names[i].lpguid = &set;
        names[i].ulKind = MNID_ID;
        names[i].Kind.lID = kLids[i];
        pointers[i] = &names[i];
    }
    LPSPropTagArray tags = nullptr;
    NamedIds result;
    if (FAILED(store->GetIDsFromNames(kLidCount, pointers, 0, &tags))) {
        out = std::move(result);  // a store that cannot name properties: contacts without addresses, lists without members
        return S_OK;
    }
    for (size_t i = 0; i < kLidCount && tags && i < tags->cValues; ++i)
        if (PROP_TYPE(tags->aulPropTag[i]) != PT_ERROR && PROP_ID(tags->aulPropTag[i]) >= 0x8000)
            result.ids[i] = PROP_ID(tags->aulPropTag[i]);
    MAPIFreeBuffer(tags);
    std::lock_guard lock(m_mutex);
    m_names[storeEntryId] = result.ids;
    out = std::move(result);
    return S_OK;
}

void Directory::Walk(IMAPIFolder* folder, const std::vector<uint8_t>& storeEntryId, int depth,
                     std::vector<std::vector<uint8_t>>& seen, std::vector<ContainerInfo>& out)
{
    if (depth > 64)
        return;  // deeper than any real store: a damaged hierarchy is not followed further
    Ref<IMAPITable> table;
    if (FAILED(folder->GetHierarchyTable(0, table.out())))
        return;
    Rows rows;
    if (FAILED(HrQueryAllRows(table.get(), nullptr, nullptr, nullptr, 0, &rows.rows)) || !rows.rows)
        return;
    for (ULONG i = 0; i < rows.rows->cRows; ++i) {
        const SRow& row = rows.rows->aRow[i];
        const std::vector<uint8_t> eid = RowBinary(row, PR_ENTRYID);
        if (eid.empty() || std::find(seen.begin(), seen.end(), eid) != seen.end())
            continue;  // a folder met twice (a damaged store): listed once
        seen.push_back(eid);
        const SPropValue* type = FindId(row.lpProps, row.cValues, PROP_ID(PR_FOLDER_TYPE));
        if (type && PROP_TYPE(type->ulPropTag) == PT_LONG && type->Value.ul == FOLDER_SEARCH)
            continue;  // a search folder only shows messages of other folders
        const SPropValue* sub = FindId(row.lpProps, row.cValues, PROP_ID(PR_SUBFOLDERS));
        const bool hasSubfolders = !sub || PROP_TYPE(sub->ulPropTag) != PT_BOOLEAN || sub->Value.b;
        const bool classInRow = FindId(row.lpProps, row.cValues, PROP_ID(PR_CONTAINER_CLASS)) != nullptr;
        std::string cls = RowText(row, PR_CONTAINER_CLASS);

        Ref<IMAPIFolder> child;
        if (hasSubfolders || !classInRow) {
            ULONG objType = 0;
            Ref<IUnknown> unk;
            if (SUCCEEDED(folder->OpenEntry(static_cast<ULONG>(eid.size()),
                                            reinterpret_cast<LPENTRYID>(const_cast<uint8_t*>(eid.data())), nullptr,
                                            MAPI_BEST_ACCESS, &objType, unk.out())) &&
                unk)
                Query(unk.get(), IID_IMAPIFolder, child.out());
        }
        if (!classInRow && child) {
            LPSPropValue v = nullptr;
            if (SUCCEEDED(HrGetOneProp(child.get(), PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_CONTAINER_CLASS)), &v)))
                ValueText(*v, cls);
            MAPIFreeBuffer(v);
        }
        if (IsClass(cls, "IPF.Contact"))
            out.push_back({storeEntryId, eid, RowText(row, PR_DISPLAY_NAME)});
        if (hasSubfolders && child)
            Walk(child.get(), storeEntryId, depth + 1, seen, out);
    }
}

HRESULT Directory::Containers(std::vector<ContainerInfo>& out)
{
    std::lock_guard lock(m_mutex);
    if (!m_session)
        return MAPI_E_END_OF_SESSION;
    // Asked every time, also when the containers are known: a session that has
    // logged off answers MAPI_E_END_OF_SESSION, and so does its address book.
    Ref<IMAPITable> stores;
    HRESULT hr = m_session->GetMsgStoresTable(0, stores.out());
    if (FAILED(hr))
        return hr;
    if (m_containers) {
        out = *m_containers;
        return S_OK;
    }
    Rows rows;
    hr = HrQueryAllRows(stores.get(), nullptr, nullptr, nullptr, 0, &rows.rows);
    if (FAILED(hr))
        return hr;
    std::vector<ContainerInfo> found;
    std::vector<std::string> storeNames;  // per container
    std::set<std::vector<uint8_t>> storesWithContacts;
    for (ULONG i = 0; rows.rows && i < rows.rows->cRows; ++i) {
        const SRow& row = rows.rows->aRow[i];
        const std::vector<uint8_t> storeEid = RowBinary(row, PR_ENTRYID);
        Ref<IMsgStore> store;
        if (storeEid.empty() || FAILED(OpenStore(storeEid, store.out())))
            continue;  // a store that cannot be opened contributes nothing
        ULONG objType = 0;
        Ref<IUnknown> unk;
        Ref<IMAPIFolder> root;
        if (FAILED(store->OpenEntry(0, nullptr, nullptr, MAPI_BEST_ACCESS, &objType, unk.out())) || !unk ||
            FAILED(Query(unk.get(), IID_IMAPIFolder, root.out())))
            continue;
        std::vector<std::vector<uint8_t>> seen;
        const size_t before = found.size();
        Walk(root.get(), storeEid, 0, seen, found);
        if (found.size() > before)
            storesWithContacts.insert(storeEid);
        storeNames.resize(found.size(), RowText(row, PR_DISPLAY_NAME));
    }
    // With contacts in several stores, each container says which store it is in.
    if (storesWithContacts.size() > 1)
        for (size_t i = 0; i < found.size(); ++i)
            if (!storeNames[i].empty())
                found[i].displayName += " (" + storeNames[i] + ")";
    m_containers = found;
    out = std::move(found);
    return S_OK;
}

HRESULT Directory::FindContainer(const AbEntryId& id, ContainerInfo& out)
{
    std::vector<ContainerInfo> all;
    HRESULT hr = Containers(all);
    if (FAILED(hr))
        return hr;
    for (ContainerInfo& c : all)
        if (c.storeEntryId == id.storeEntryId && c.folderEntryId == id.objectEntryId) {
            out = std::move(c);
            return S_OK;
        }
    return MAPI_E_NOT_FOUND;
}

HRESULT Directory::Contents(const ContainerInfo& container, std::vector<PropSet>& out)
{
    out.clear();
    Ref<IMsgStore> store;
    HRESULT hr = OpenStore(container.storeEntryId, store.out());
    if (FAILED(hr))
        return hr;
    NamedIds names;
    if (FAILED(hr = Names(container.storeEntryId, store.get(), names)))
        return hr;
    ULONG objType = 0;
    Ref<IUnknown> unk;
    Ref<IMAPIFolder> folder;
    hr = store->OpenEntry(static_cast<ULONG>(container.folderEntryId.size()),
                          reinterpret_cast<LPENTRYID>(const_cast<uint8_t*>(container.folderEntryId.data())), nullptr,
                          MAPI_BEST_ACCESS, &objType, unk.out());
    if (FAILED(hr))
        return NotFoundIfMissing(hr);
    if (!unk || FAILED(hr = Query(unk.get(), IID_IMAPIFolder, folder.out())))
        return MAPI_E_NOT_FOUND;
    Ref<IMAPITable> table;
    if (FAILED(hr = folder->GetContentsTable(0, table.out())))
        return hr;
    Rows rows;
    if (FAILED(hr = HrQueryAllRows(table.get(), nullptr, nullptr, nullptr, 0, &rows.rows)))
        return hr;
    for (ULONG i = 0; rows.rows && i < rows.rows->cRows; ++i) {
        const SRow& row = rows.rows->aRow[i];
        const std::vector<uint8_t> eid = RowBinary(row, PR_ENTRYID);
        const std::string rowClass = RowText(row, PR_MESSAGE_CLASS);
        if (eid.empty() || (!rowClass.empty() && !IsClass(rowClass, "IPM.Contact") && !IsClass(rowClass, "IPM.DistList")))
            continue;
        const AbEntryId where{AbKind::MailUser, 0, container.storeEntryId, eid};
        PropSet message;
        if (FAILED(ReadMessage(where, message, names)))
            continue;  // a contact that cannot be read is left out, the others stay
        const std::string cls = TextOr(message, PROP_ID(PR_MESSAGE_CLASS));
        if (IsClass(cls, "IPM.DistList")) {
            out.push_back(DistList(message, names.ids, where, false));
        } else if (IsClass(cls, "IPM.Contact")) {
            for (uint8_t index = 1; index <= 3; ++index) {
                PropSet user;
                if (MailUser(message, names.ids, index, where, false, user))
                    out.push_back(std::move(user));
            }
        }
    }
    return S_OK;
}

HRESULT Directory::ReadMessage(const AbEntryId& id, PropSet& message, NamedIds& names)
{
    Ref<IMsgStore> store;
    HRESULT hr = OpenStore(id.storeEntryId, store.out());
    if (FAILED(hr))
        return hr;
    if (FAILED(hr = Names(id.storeEntryId, store.get(), names)))
        return hr;
    ULONG objType = 0;
    Ref<IUnknown> unk;
    hr = store->OpenEntry(static_cast<ULONG>(id.objectEntryId.size()),
                          reinterpret_cast<LPENTRYID>(const_cast<uint8_t*>(id.objectEntryId.data())), nullptr,
                          MAPI_BEST_ACCESS, &objType, unk.out());
    if (FAILED(hr))
        return NotFoundIfMissing(hr);
    Ref<IMAPIProp> prop;
    if (!unk || objType != MAPI_MESSAGE || FAILED(Query(unk.get(), IID_IMAPIProp, prop.out())))
        return MAPI_E_NOT_FOUND;
    Buffer values;
    if (FAILED(hr = prop->GetProps(nullptr, 0, &values.count, &values.values)))
        return hr;
    for (ULONG i = 0; i < values.count; ++i)
        if (PROP_TYPE(values.values[i].ulPropTag) != PT_ERROR)
            message.SetValue(values.values[i]);
    return S_OK;
}

HRESULT Directory::Entry(const AbEntryId& id, PropSet& props)
{
    PropSet message;
    NamedIds names;
    HRESULT hr = ReadMessage(id, message, names);
    if (FAILED(hr))
        return hr;
    const std::string cls = TextOr(message, PROP_ID(PR_MESSAGE_CLASS));
    if (id.kind == AbKind::DistList && IsClass(cls, "IPM.DistList")) {
        props = DistList(message, names.ids, id, true);
        return S_OK;
    }
    if (id.kind == AbKind::MailUser && IsClass(cls, "IPM.Contact") &&
        MailUser(message, names.ids, id.emailIndex, id, true, props))
        return S_OK;
    return MAPI_E_NOT_FOUND;
}

HRESULT Directory::Members(const AbEntryId& list, std::vector<PropSet>& out)
{
    out.clear();
    PropSet message;
    NamedIds names;
    HRESULT hr = ReadMessage(list, message, names);
    if (FAILED(hr))
        return hr;
    if (!IsClass(TextOr(message, PROP_ID(PR_MESSAGE_CLASS)), "IPM.DistList"))
        return MAPI_E_NOT_FOUND;
    // The two lists are kept in step: entry i of each names the same member.
    const auto members = MultiBinary(message, names.ids[kDlMembers]);
    const auto oneOffs = MultiBinary(message, names.ids[kDlOneOffMembers]);
    for (size_t i = 0; i < std::max(members.size(), oneOffs.size()); ++i) {
        OneOffEntry oneOff;
        const bool haveOneOff = i < oneOffs.size() && DecodeOneOff(oneOffs[i].data(), oneOffs[i].size(), oneOff);
        const std::vector<uint8_t> member = i < members.size() ? members[i] : std::vector<uint8_t>();
        OneOffEntry direct;
        WrappedEntryId wrapped;
        if (DecodeOneOff(member.data(), member.size(), direct)) {
            out.push_back(OneOffProps(member, direct));
        } else if (DecodeWrapped(member.data(), member.size(), wrapped)) {
            const uint8_t kind = wrapped.EmbeddedKind();
            if (kind == kWrappedOneOff && DecodeOneOff(wrapped.embedded.data(), wrapped.embedded.size(), direct)) {
                out.push_back(OneOffProps(wrapped.embedded, direct));
            } else if ((kind == kWrappedContact && wrapped.EmailIndex()) || kind == kWrappedDistList) {
                // A contact's address or a list in this store: our own entry ID for it.
                const AbEntryId target{kind == kWrappedDistList ? AbKind::DistList : AbKind::MailUser,
                                       kind == kWrappedDistList ? uint8_t{0} : wrapped.EmailIndex(),
                                       list.storeEntryId, wrapped.embedded};
                const ULONG objectType = kind == kWrappedDistList ? MAPI_DISTLIST : MAPI_MAILUSER;
                PropSet row;
                PropSet targetProps;
                if (haveOneOff) {
                    Address(row, EncodeAbEntryId(target), oneOff.displayName, oneOff.addressType, oneOff.address,
                            objectType);
                } else if (SUCCEEDED(Entry(target, targetProps))) {
                    Address(row, EncodeAbEntryId(target), TextOr(targetProps, PROP_ID(PR_DISPLAY_NAME)),
                            TextOr(targetProps, PROP_ID(PR_ADDRTYPE)), TextOr(targetProps, PROP_ID(PR_EMAIL_ADDRESS)),
                            objectType);
                } else {
                    Address(row, EncodeAbEntryId(target), "", "", "", objectType);
                }
                out.push_back(std::move(row));
            } else if (haveOneOff) {
                out.push_back(OneOffProps(oneOffs[i], oneOff));  // a fax number or a directory entry: its one-off
            }
        } else if (haveOneOff) {
            out.push_back(OneOffProps(oneOffs[i], oneOff));
        }
    }
    return S_OK;
}

} // namespace dravik::mapi32::ab
