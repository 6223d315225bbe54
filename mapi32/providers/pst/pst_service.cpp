// "MSPST MS": the store-file service, configured with PR_PST_PATH, and its store
// provider over the format library. The file is opened read-only at logon; the
// store, its folders and messages are read-only MAPI objects whose values and
// tables come straight from the file.
#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/propobject.h"
#include "mapi32/provider.h"
#include "mapi32/table.h"

#include "pst/messaging/store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

namespace dravik::mapi32 {
namespace {

// Values larger than this are not delivered by GetProps (PT_ERROR MAPI_E_NOT_ENOUGH_MEMORY).
constexpr uint64_t kMaxInlineValue = 0x8000;

HRESULT FromError(const pst::Error& e)
{
    switch (e.kind()) {
    case pst::ErrorKind::NotFound: return MAPI_E_NOT_FOUND;
    case pst::ErrorKind::Io: return MAPI_E_DISK_ERROR;
    default: return MAPI_E_CORRUPT_DATA;
    }
}

// Stores may keep PR_SUBJECT with a marker in front: the character 0x01 and a
// character holding the length of the subject's prefix ("RE: "). MAPI clients
// get the subject without those two characters.
void StripSubjectMarker(pst::Property& p)
{
    if (p.id != 0x0037)
        return;
    const size_t unit = p.type == PT_UNICODE ? 2 : p.type == PT_STRING8 ? 1 : 0;
    if (unit == 0 || p.raw.size() < 2 * unit || p.raw[0] != 0x01 || (unit == 2 && p.raw[1] != 0))
        return;
    p.raw.erase(p.raw.begin(), p.raw.begin() + static_cast<std::ptrdiff_t>(2 * unit));
}

// SPropValues over storage this builder owns; they are deep-copied by the
// objects and tables that take them, so the builder lives only while building.
class ValueBuilder
{
public:
    std::vector<SPropValue> values;

    bool has(ULONG tag) const
    {
        for (const SPropValue& v : values)
            if (PROP_ID(v.ulPropTag) == PROP_ID(tag))
                return true;
        return false;
    }
    void addLong(ULONG tag, ULONG value)
    {
        SPropValue v{};
        v.ulPropTag = tag;
        v.Value.ul = value;
        values.push_back(v);
    }
    void addError(ULONG id, SCODE code)
    {
        SPropValue v{};
        v.ulPropTag = PROP_TAG(PT_ERROR, id);
        v.Value.err = code;
        values.push_back(v);
    }
    void addBinary(ULONG tag, std::vector<uint8_t> bytes)
    {
        std::vector<uint8_t>& b = keep(std::move(bytes));
        SPropValue v{};
        v.ulPropTag = tag;
        v.Value.bin.cb = static_cast<ULONG>(b.size());
        v.Value.bin.lpb = b.data();
        values.push_back(v);
    }
    void add(pst::Property p)
    {
        StripSubjectMarker(p);
        SPropValue v{};
        v.ulPropTag = p.tag();
        const uint16_t type = p.type;
        if (type & MV_FLAG) {
            addMulti(p);
            return;
        }
        switch (type) {
        case PT_I2: case PT_LONG: case PT_R4: case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME:
        case PT_ERROR: case PT_I8: case PT_SYSTIME: {
            const unsigned size = pst::fixedTypeSize(type);
            if (p.raw.size() < size) {
                addError(p.id, MAPI_E_CORRUPT_DATA);
                return;
            }
            std::memcpy(&v.Value, p.raw.data(), size);  // little-endian host, like the file
            break;
        }
        case PT_BOOLEAN:
            v.Value.b = !p.raw.empty() && p.raw[0] != 0;
            break;
        case PT_CLSID: {
            if (p.raw.size() < sizeof(GUID)) {
                addError(p.id, MAPI_E_CORRUPT_DATA);
                return;
            }
            v.Value.lpguid = reinterpret_cast<LPGUID>(keep(p.raw).data());
            break;
        }
        case PT_STRING8: {
            std::vector<uint8_t> b = p.raw;
            b.push_back(0);
            v.Value.lpszA = reinterpret_cast<LPSTR>(keep(std::move(b)).data());
            break;
        }
        case PT_UNICODE:
            v.Value.lpszW = wide(p.raw);
            break;
        case PT_OBJECT:
            addError(p.id, MAPI_E_NO_SUPPORT);  // opened through OpenProperty, never a value
            return;
        default:  // binary, server IDs and types we do not interpret: their bytes
            addBinary(p.tag(), p.raw);
            return;
        }
        values.push_back(v);
    }

private:
    std::vector<uint8_t>& keep(std::vector<uint8_t> bytes)
    {
        m_bytes.push_back(std::move(bytes));
        return m_bytes.back();
    }
    LPWSTR wide(const std::vector<uint8_t>& raw)
    {
        std::vector<uint8_t> b(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(raw.size() & ~size_t{1}));
        b.push_back(0);
        b.push_back(0);
        return reinterpret_cast<LPWSTR>(keep(std::move(b)).data());
    }
    void addMulti(const pst::Property& p)
    {
        SPropValue v{};
        v.ulPropTag = p.tag();
        const uint16_t base = p.type & ~MV_FLAG;
        try {
            if (base == PT_STRING8 || base == PT_UNICODE || base == PT_BINARY) {
                auto items = p.multiValues();
                m_pointers.emplace_back();
                std::vector<void*>& ptrs = m_pointers.back();
                m_bins.emplace_back();
                std::vector<SBinary>& bins = m_bins.back();
                for (auto& item : items) {
                    if (base == PT_BINARY) {
                        std::vector<uint8_t>& b = keep(std::move(item));
                        bins.push_back(SBinary{static_cast<ULONG>(b.size()), b.data()});
                    } else if (base == PT_UNICODE) {
                        ptrs.push_back(wide(item));
                    } else {
                        item.push_back(0);
                        ptrs.push_back(keep(std::move(item)).data());
                    }
                }
                const ULONG n = static_cast<ULONG>(items.size());
                if (base == PT_BINARY)
                    v.Value.MVbin = SBinaryArray{n, bins.data()};
                else if (base == PT_UNICODE)
                    v.Value.MVszW = SWStringArray{n, reinterpret_cast<LPWSTR*>(ptrs.data())};
                else
                    v.Value.MVszA = SLPSTRArray{n, reinterpret_cast<LPSTR*>(ptrs.data())};
            } else {
                const unsigned size = pst::fixedTypeSize(base);
                if (size == 0 || p.raw.size() % size != 0) {
                    addError(p.id, size == 0 ? MAPI_E_NO_SUPPORT : MAPI_E_CORRUPT_DATA);
                    return;
                }
                // Every fixed-size array is a count and a pointer; the file holds the packed values.
                v.Value.MVl.cValues = static_cast<ULONG>(p.raw.size() / size);
                v.Value.MVl.lpl = reinterpret_cast<LONG*>(keep(p.raw).data());
            }
        } catch (const pst::Error&) {
            addError(p.id, MAPI_E_CORRUPT_DATA);
            return;
        }
        values.push_back(v);
    }
    std::deque<std::vector<uint8_t>> m_bytes;
    std::deque<std::vector<void*>> m_pointers;
    std::deque<std::vector<SBinary>> m_bins;
};

// The values of a property context; large ones and ones that cannot be read
// become PT_ERROR values, so one bad value fails only itself.
void AddContext(ValueBuilder& b, const pst::PropertyContext& pc)
{
    for (const pst::PropEntry& e : pc.entries()) {
        if (e.place == pst::PropEntry::Place::Missing) {
            b.addError(e.id, MAPI_E_CORRUPT_DATA);
            continue;
        }
        if (pst::isVariableType(e.type) && e.size > kMaxInlineValue) {
            b.addError(e.id, MAPI_E_NOT_ENOUGH_MEMORY);
            continue;
        }
        try {
            b.add(pc.read(e));
        } catch (const pst::Error&) {
            b.addError(e.id, MAPI_E_CORRUPT_DATA);
        }
    }
}

struct StoreContext
{
    std::shared_ptr<pst::Store> store;
    std::vector<uint8_t> recordKey;  // the store's PR_RECORD_KEY: 16 bytes of every entry ID
    std::string storeEntryId;
    // The library reads through one reader with caches: every read of the store is made under this.
    mutable std::mutex lock;

    // MS-PST 2.2.1: rgbFlags (4 bytes, zero), the store's record key, the NID.
    std::vector<uint8_t> EntryId(uint32_t nid) const
    {
        std::vector<uint8_t> eid(4, 0);
        eid.insert(eid.end(), recordKey.begin(), recordKey.end());
        for (int i = 0; i < 4; ++i)
            eid.push_back(static_cast<uint8_t>(nid >> (8 * i)));
        return eid;
    }
    bool ParseEntryId(ULONG cb, const ENTRYID* lpEntryID, uint32_t& nid) const
    {
        if (!lpEntryID || cb != 4 + recordKey.size() + 4)
            return false;
        const auto* p = reinterpret_cast<const uint8_t*>(lpEntryID);
        if (std::memcmp(p + 4, recordKey.data(), recordKey.size()) != 0)
            return false;
        const uint8_t* n = p + 4 + recordKey.size();
        nid = n[0] | (n[1] << 8) | (n[2] << 16) | (static_cast<uint32_t>(n[3]) << 24);
        return true;
    }
    void AddIdentity(ValueBuilder& b, uint32_t nid, ULONG objectType) const
    {
        if (!b.has(PR_ENTRYID))
            b.addBinary(PR_ENTRYID, EntryId(nid));
        if (!b.has(PR_INSTANCE_KEY)) {
            std::vector<uint8_t> key(4);
            for (int i = 0; i < 4; ++i)
                key[i] = static_cast<uint8_t>(nid >> (8 * i));
            b.addBinary(PR_INSTANCE_KEY, key);
        }
        if (!b.has(PR_OBJECT_TYPE))
            b.addLong(PR_OBJECT_TYPE, objectType);
    }
};
using Context = std::shared_ptr<const StoreContext>;

bool IsFolderNid(uint32_t nid)
{
    const uint32_t type = nid & 0x1F;
    return type == 0x02 || type == 0x03;  // NID_TYPE_NORMAL_FOLDER, NID_TYPE_SEARCH_FOLDER
}

// A table context as a memory table: its columns and cells in the file's order,
// with PR_ENTRYID, PR_INSTANCE_KEY and PR_OBJECT_TYPE added to every row.
HRESULT MakeTable(const Context& ctx, const pst::TableContext& tc, ULONG objectType, LPMAPITABLE* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    try {
        std::vector<ULONG> columns;
        for (const pst::TableColumn& c : tc.columns())
            columns.push_back(c.tag);
        std::vector<ULONG> added = {PR_ENTRYID, PR_INSTANCE_KEY, PR_OBJECT_TYPE};
        if (objectType == MAPI_ATTACH)
            added.push_back(PR_ATTACH_NUM);  // the row's position: what OpenAttach takes
        for (ULONG tag : added)
            if (std::find_if(columns.begin(), columns.end(), [&](ULONG c) { return PROP_ID(c) == PROP_ID(tag); }) ==
                columns.end())
                columns.push_back(tag);
        std::deque<ValueBuilder> builders;  // each row's storage, alive until the table has copied it
        std::vector<std::vector<SPropValue>> rows;
        for (const pst::TableRow& row : tc.rows()) {
            ValueBuilder& b = builders.emplace_back();
            for (const pst::Property& cell : row.cells)
                b.add(cell);
            if (objectType == MAPI_FOLDER || objectType == MAPI_MESSAGE)
                ctx->AddIdentity(b, row.rowId, objectType);
            else if (!b.has(PR_OBJECT_TYPE))
                b.addLong(PR_OBJECT_TYPE, objectType);
            if (objectType == MAPI_ATTACH && !b.has(PR_ATTACH_NUM))
                b.addLong(PR_ATTACH_NUM, static_cast<ULONG>(rows.size()));
            rows.push_back(b.values);
        }
        HRESULT hr = CreateMemoryTable(rows, columns, out);
        return hr;
    } catch (const pst::Error& e) {
        return FromError(e);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

HRESULT OpenByNid(const Context& ctx, uint32_t nid, ULONG* type, LPUNKNOWN* out);

// A read-only stream over one value of a property context, read from the file
// in ranges: how values too large for GetProps are delivered whole. It keeps
// the object that owns the property context alive.
class ValueStream final : public IStream
{
public:
    ValueStream(Context ctx, IUnknown* owner, const pst::PropertyContext& pc, const pst::PropEntry& entry)
        : m_ctx(std::move(ctx)), m_owner(owner), m_pc(pc), m_entry(entry)
    {
        if (m_owner)
            m_owner->AddRef();
    }
    HRESULT QueryInterface(REFIID riid, LPVOID* ppv) override
    {
        if (!ppv)
            return MAPI_E_INVALID_PARAMETER;
        if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream) {
            AddRef();
            *ppv = static_cast<IStream*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        ULONG r = --m_refs;
        if (r == 0)
            delete this;
        return r;
    }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override
    {
        if (pcbRead)
            *pcbRead = 0;
        if (!pv && cb)
            return STG_E_INVALIDPOINTER;
        const uint64_t left = m_pos < m_entry.size ? m_entry.size - m_pos : 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(cb, left));
        if (n == 0)
            return S_OK;
        try {
            std::lock_guard guard(m_ctx->lock);
            std::vector<uint8_t> bytes = m_pc.readRange(m_entry, m_pos, n);
            if (bytes.size() != n)
                return MAPI_E_CORRUPT_DATA;
            std::memcpy(pv, bytes.data(), n);
        } catch (const pst::Error& e) {
            return FromError(e);
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        m_pos += n;
        if (pcbRead)
            *pcbRead = static_cast<ULONG>(n);
        return S_OK;
    }
    HRESULT Write(const void*, ULONG, ULONG* written) override
    {
        if (written)
            *written = 0;
        return STG_E_ACCESSDENIED;
    }
    HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPos) override
    {
        int64_t base = 0;
        switch (origin) {
        case STREAM_SEEK_SET: base = 0; break;
        case STREAM_SEEK_CUR: base = static_cast<int64_t>(m_pos); break;
        case STREAM_SEEK_END: base = static_cast<int64_t>(m_entry.size); break;
        default: return STG_E_INVALIDFUNCTION;
        }
        const int64_t target = base + move.QuadPart;
        if (target < 0)
            return STG_E_INVALIDFUNCTION;
        m_pos = static_cast<uint64_t>(target);
        if (newPos)
            newPos->QuadPart = m_pos;
        return S_OK;
    }
    HRESULT SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Commit(DWORD) override { return STG_E_ACCESSDENIED; }
    HRESULT Revert() override { return S_OK; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return MAPI_E_NO_SUPPORT; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Stat(STATSTG* stat, DWORD) override
    {
        if (!stat)
            return STG_E_INVALIDPOINTER;
        *stat = STATSTG{};
        stat->type = 2;  // STGTY_STREAM
        stat->cbSize.QuadPart = m_entry.size;
        stat->grfMode = STGM_READ;
        return S_OK;
    }
    HRESULT Clone(IStream** out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_SUPPORT;
    }

private:
    ~ValueStream()
    {
        if (m_owner)
            m_owner->Release();
    }
    std::atomic<ULONG> m_refs{1};
    Context m_ctx;
    IUnknown* m_owner;
    const pst::PropertyContext& m_pc;
    pst::PropEntry m_entry;
    uint64_t m_pos = 0;
};

// IMAPIProp::GetNamesFromIDs over the store's named-property map. With no tag
// list, every named property (of one property set, if given) is returned along
// with its tags.
HRESULT NamesFromIds(const Context& ctx, LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG* count,
                     LPMAPINAMEID** names)
{
    if (!count || !names || !lppPropTags)
        return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *names = nullptr;
    try {
        std::lock_guard guard(ctx->lock);
        const pst::NameMap& map = ctx->store->nameMap();
        std::vector<ULONG> tags;
        const bool all = *lppPropTags == nullptr;
        if (all) {
            for (const pst::NamedProperty& np : map.all())
                if (!lpPropSetGuid || std::memcmp(lpPropSetGuid, np.guid.data(), 16) == 0)
                    tags.push_back(PROP_TAG(PT_UNSPECIFIED, np.propId));
        } else {
            tags.assign((*lppPropTags)->aulPropTag, (*lppPropTags)->aulPropTag + (*lppPropTags)->cValues);
        }
        void* root = nullptr;
        if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(sizeof(LPMAPINAMEID) * std::max<size_t>(tags.size(), 1)), &root)))
            return MAPI_E_NOT_ENOUGH_MEMORY;
        auto* out = static_cast<LPMAPINAMEID*>(root);
        bool missing = false;
        for (size_t i = 0; i < tags.size(); ++i) {
            out[i] = nullptr;
            const pst::NamedProperty* np = map.find(static_cast<uint16_t>(PROP_ID(tags[i])));
            if (!np) {
                missing = true;
                continue;
            }
            void* p = nullptr;
            if (FAILED(MAPIAllocateMore(sizeof(MAPINAMEID), root, &p))) {
                MAPIFreeBuffer(root);
                return MAPI_E_NOT_ENOUGH_MEMORY;
            }
            auto* id = static_cast<LPMAPINAMEID>(p);
            *id = MAPINAMEID{};
            if (FAILED(MAPIAllocateMore(sizeof(GUID), root, &p))) {
                MAPIFreeBuffer(root);
                return MAPI_E_NOT_ENOUGH_MEMORY;
            }
            std::memcpy(p, np->guid.data(), 16);  // the file's order is the in-memory order here
            id->lpguid = static_cast<LPGUID>(p);
            if (np->kind == pst::NamedProperty::Kind::Id) {
                id->ulKind = MNID_ID;
                id->Kind.lID = static_cast<LONG>(np->lid);
            } else {
                id->ulKind = MNID_STRING;
                const size_t bytes = (np->nameUtf16.size() & ~size_t{1}) + 2;
                if (FAILED(MAPIAllocateMore(static_cast<ULONG>(bytes), root, &p))) {
                    MAPIFreeBuffer(root);
                    return MAPI_E_NOT_ENOUGH_MEMORY;
                }
                std::memset(p, 0, bytes);
                std::memcpy(p, np->nameUtf16.data(), bytes - 2);
                id->Kind.lpwstrName = static_cast<LPWSTR>(p);
            }
            out[i] = id;
        }
        if (all) {
            void* t = nullptr;
            if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(tags.size())), &t))) {
                MAPIFreeBuffer(root);
                return MAPI_E_NOT_ENOUGH_MEMORY;
            }
            auto* a = static_cast<LPSPropTagArray>(t);
            a->cValues = static_cast<ULONG>(tags.size());
            std::copy(tags.begin(), tags.end(), a->aulPropTag);
            *lppPropTags = a;
        }
        *count = static_cast<ULONG>(tags.size());
        *names = out;
        return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
    } catch (const pst::Error& e) {
        return FromError(e);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

// IMAPIProp::GetIDsFromNames over the store's map; names it does not hold give
// PT_ERROR tags. The map is never extended: the store is read-only.
HRESULT IdsFromNames(const Context& ctx, ULONG cNames, LPMAPINAMEID* lppNames, ULONG flags, LPSPropTagArray* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (flags & MAPI_CREATE)
        return MAPI_E_NO_ACCESS;
    if (cNames == 0 || !lppNames)
        return MAPI_E_NO_SUPPORT;  // listing every ID of the store: GetNamesFromIDs does that
    try {
        std::lock_guard guard(ctx->lock);
        const pst::NameMap& map = ctx->store->nameMap();
        void* t = nullptr;
        if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(cNames)), &t)))
            return MAPI_E_NOT_ENOUGH_MEMORY;
        auto* a = static_cast<LPSPropTagArray>(t);
        a->cValues = cNames;
        bool missing = false;
        for (ULONG i = 0; i < cNames; ++i) {
            std::optional<uint16_t> id;
            const MAPINAMEID* name = lppNames[i];
            if (name && name->lpguid) {
                pst::Guid guid{};
                std::memcpy(guid.data(), name->lpguid, 16);
                if (name->ulKind == MNID_ID) {
                    id = map.idOf(guid, static_cast<uint32_t>(name->Kind.lID));
                } else if (name->ulKind == MNID_STRING && name->Kind.lpwstrName) {
                    std::u16string w(name->Kind.lpwstrName);
                    id = map.idOf(guid, pst::utf16ToUtf8(reinterpret_cast<const uint8_t*>(w.data()), w.size() * 2));
                }
            }
            a->aulPropTag[i] = id ? PROP_TAG(PT_UNSPECIFIED, *id) : PROP_TAG(PT_ERROR, 0);
            missing = missing || !id;
        }
        *out = a;
        return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
    } catch (const pst::Error& e) {
        return FromError(e);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

// IMAPIProp::OpenProperty of a stored value as IID_IStream (read-only).
HRESULT OpenValueStream(const Context& ctx, IUnknown* owner, const pst::PropertyContext& pc, ULONG tag, LPCIID iid,
                        ULONG flags, LPUNKNOWN* out)
{
    if (!out || !iid)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (flags & (MAPI_MODIFY | MAPI_CREATE))
        return MAPI_E_NO_ACCESS;
    if (*iid != IID_IStream && *iid != IID_ISequentialStream)
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    std::lock_guard guard(ctx->lock);
    const pst::PropEntry* e = pc.find(static_cast<uint16_t>(PROP_ID(tag)));
    if (!e || (PROP_TYPE(tag) != PT_UNSPECIFIED && e->type != PROP_TYPE(tag)))
        return MAPI_E_NOT_FOUND;
    if (!pst::isVariableType(e->type) || (e->type & MV_FLAG) || e->type == PT_OBJECT)
        return MAPI_E_NO_SUPPORT;
    if (e->place == pst::PropEntry::Place::Missing)
        return MAPI_E_CORRUPT_DATA;
    *out = static_cast<IStream*>(new ValueStream(ctx, owner, pc, *e));
    return S_OK;
}

HRESULT OpenEntryId(const Context& ctx, ULONG cb, LPENTRYID eid, ULONG flags, ULONG* type, LPUNKNOWN* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (flags & MAPI_MODIFY)
        return MAPI_E_NO_ACCESS;
    uint32_t nid = 0;
    if (cb == 0 || !eid)
        nid = ctx->store->rootFolderNid();
    else if (!ctx->ParseEntryId(cb, eid, nid))
        return MAPI_E_INVALID_ENTRYID;
    return OpenByNid(ctx, nid, type, out);
}

class PstAttach final : public PropObject<IAttach>
{
public:
    PstAttach(const std::vector<SPropValue>& values, Context ctx, pst::Attachment attachment)
        : PropObject(values), m_ctx(std::move(ctx)), m_attachment(std::move(attachment))
    {
    }
    HRESULT QueryInterface(REFIID riid, LPVOID* ppv) override
    {
        if (!ppv)
            return MAPI_E_INVALID_PARAMETER;
        if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IAttachment) {
            AddRef();
            *ppv = static_cast<IAttach*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override
    {
        (void)options;
        return OpenValueStream(m_ctx, this, m_attachment.properties(), tag, iid, flags, out);
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG, ULONG* count, LPMAPINAMEID** names) override
    {
        return NamesFromIds(m_ctx, tags, guid, count, names);
    }
    HRESULT GetIDsFromNames(ULONG cNames, LPMAPINAMEID* lppNames, ULONG flags, LPSPropTagArray* out) override
    {
        return IdsFromNames(m_ctx, cNames, lppNames, flags, out);
    }

private:
    Context m_ctx;
    pst::Attachment m_attachment;
};

class PstMessage final : public PropObject<IMessage>
{
public:
    PstMessage(const std::vector<SPropValue>& values, Context ctx, pst::Message message)
        : PropObject(values), m_ctx(std::move(ctx)), m_message(std::move(message))
    {
    }
    HRESULT QueryInterface(REFIID riid, LPVOID* ppv) override
    {
        if (!ppv)
            return MAPI_E_INVALID_PARAMETER;
        if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IMessage) {
            AddRef();
            *ppv = static_cast<IMessage*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override
    {
        (void)options;
        return OpenValueStream(m_ctx, this, m_message.properties(), tag, iid, flags, out);
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG, ULONG* count, LPMAPINAMEID** names) override
    {
        return NamesFromIds(m_ctx, tags, guid, count, names);
    }
    HRESULT GetIDsFromNames(ULONG cNames, LPMAPINAMEID* lppNames, ULONG flags, LPSPropTagArray* out) override
    {
        return IdsFromNames(m_ctx, cNames, lppNames, flags, out);
    }
    HRESULT GetAttachmentTable(ULONG, LPMAPITABLE* out) override
    {
        try {
            std::lock_guard guard(m_ctx->lock);
            return MakeTable(m_ctx, m_message.attachmentTable(), MAPI_ATTACH, out);
        } catch (const pst::Error& e) {
            return FromError(e);
        }
    }
    HRESULT GetRecipientTable(ULONG, LPMAPITABLE* out) override
    {
        try {
            std::lock_guard guard(m_ctx->lock);
            return MakeTable(m_ctx, m_message.recipientTable(), MAPI_MAILUSER, out);
        } catch (const pst::Error& e) {
            return FromError(e);
        }
    }
    // ulAttachmentNum is PR_ATTACH_NUM of the attachment table: the row's position.
    HRESULT OpenAttach(ULONG ulAttachmentNum, LPCIID, ULONG ulFlags, LPATTACH* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (ulFlags & MAPI_MODIFY)
            return MAPI_E_NO_ACCESS;
        try {
            std::lock_guard guard(m_ctx->lock);
            pst::TableContext table = m_message.attachmentTable();
            if (ulAttachmentNum >= table.rowCount())
                return MAPI_E_NOT_FOUND;
            pst::Attachment attachment = m_message.attachment(table.row(ulAttachmentNum).rowId);
            ValueBuilder b;
            AddContext(b, attachment.properties());
            if (!b.has(PR_ATTACH_NUM))
                b.addLong(PR_ATTACH_NUM, ulAttachmentNum);
            if (!b.has(PR_OBJECT_TYPE))
                b.addLong(PR_OBJECT_TYPE, MAPI_ATTACH);
            *out = new PstAttach(b.values, m_ctx, std::move(attachment));
            return S_OK;
        } catch (const pst::Error& e) {
            return FromError(e);
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }
    HRESULT CreateAttach(LPCIID, ULONG, ULONG*, LPATTACH* out) override
    {
        if (out)
            *out = nullptr;
        return MAPI_E_NO_ACCESS;
    }
    HRESULT DeleteAttach(ULONG, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT ModifyRecipients(ULONG, LPADRLIST) override { return MAPI_E_NO_ACCESS; }
    HRESULT SubmitMessage(ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT SetReadFlag(ULONG) override { return MAPI_E_NO_ACCESS; }

private:
    Context m_ctx;
    pst::Message m_message;
};

class PstFolder final : public PropObject<IMAPIFolder>
{
public:
    PstFolder(const std::vector<SPropValue>& values, Context ctx, pst::Folder folder)
        : PropObject(values), m_ctx(std::move(ctx)), m_folder(std::move(folder))
    {
    }
    HRESULT QueryInterface(REFIID riid, LPVOID* ppv) override
    {
        if (!ppv)
            return MAPI_E_INVALID_PARAMETER;
        if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IMAPIContainer || riid == IID_IMAPIFolder) {
            AddRef();
            *ppv = static_cast<IMAPIFolder*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override
    {
        (void)options;
        return OpenValueStream(m_ctx, this, m_folder.properties(), tag, iid, flags, out);
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG, ULONG* count, LPMAPINAMEID** names) override
    {
        return NamesFromIds(m_ctx, tags, guid, count, names);
    }
    HRESULT GetIDsFromNames(ULONG cNames, LPMAPINAMEID* lppNames, ULONG flags, LPSPropTagArray* out) override
    {
        return IdsFromNames(m_ctx, cNames, lppNames, flags, out);
    }
    HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* out) override
    {
        try {
            std::lock_guard guard(m_ctx->lock);
            return MakeTable(m_ctx,
                             (flags & MAPI_ASSOCIATED) ? m_folder.associatedContentsTable() : m_folder.contentsTable(),
                             MAPI_MESSAGE, out);
        } catch (const pst::Error& e) {
            return FromError(e);
        }
    }
    HRESULT GetHierarchyTable(ULONG, LPMAPITABLE* out) override
    {
        try {
            std::lock_guard guard(m_ctx->lock);
            return MakeTable(m_ctx, m_folder.hierarchyTable(), MAPI_FOLDER, out);
        } catch (const pst::Error& e) {
            return FromError(e);
        }
    }
    HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override
    {
        return OpenEntryId(m_ctx, cb, eid, flags, type, out);
    }
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

private:
    Context m_ctx;
    pst::Folder m_folder;
};

HRESULT OpenByNid(const Context& ctx, uint32_t nid, ULONG* type, LPUNKNOWN* out)
{
    try {
        std::lock_guard guard(ctx->lock);
        ValueBuilder b;
        if (IsFolderNid(nid)) {
            pst::Folder folder = ctx->store->folder(nid);
            AddContext(b, folder.properties());
            ctx->AddIdentity(b, nid, MAPI_FOLDER);
            if (type)
                *type = MAPI_FOLDER;
            *out = static_cast<IMAPIFolder*>(new PstFolder(b.values, ctx, std::move(folder)));
            return S_OK;
        }
        const uint32_t kind = nid & 0x1F;
        if (kind != 0x04 && kind != 0x08)  // NID_TYPE_NORMAL_MESSAGE, NID_TYPE_ASSOC_MESSAGE
            return MAPI_E_INVALID_ENTRYID;
        pst::Message message = ctx->store->message(nid);
        AddContext(b, message.properties());
        ctx->AddIdentity(b, nid, MAPI_MESSAGE);
        if (type)
            *type = MAPI_MESSAGE;
        *out = static_cast<IMessage*>(new PstMessage(b.values, ctx, std::move(message)));
        return S_OK;
    } catch (const pst::Error& e) {
        return FromError(e);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

class PstMsgStore final : public PropObject<IMsgStore>
{
public:
    PstMsgStore(const std::vector<SPropValue>& values, Context ctx) : PropObject(values), m_ctx(std::move(ctx)) {}
    HRESULT QueryInterface(REFIID riid, LPVOID* ppv) override
    {
        if (!ppv)
            return MAPI_E_INVALID_PARAMETER;
        if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IMsgStore) {
            AddRef();
            *ppv = static_cast<IMsgStore*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override
    {
        (void)options;
        return OpenValueStream(m_ctx, this, m_ctx->store->properties(), tag, iid, flags, out);
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG, ULONG* count, LPMAPINAMEID** names) override
    {
        return NamesFromIds(m_ctx, tags, guid, count, names);
    }
    HRESULT GetIDsFromNames(ULONG cNames, LPMAPINAMEID* lppNames, ULONG flags, LPSPropTagArray* out) override
    {
        return IdsFromNames(m_ctx, cNames, lppNames, flags, out);
    }
    HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override
    {
        if (!result)
            return MAPI_E_INVALID_PARAMETER;
        uint32_t a = 0, b = 0;
        if (!m_ctx->ParseEntryId(cb1, e1, a) || !m_ctx->ParseEntryId(cb2, e2, b))
            return MAPI_E_INVALID_ENTRYID;
        *result = a == b;
        return S_OK;
    }
    HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override
    {
        return OpenEntryId(m_ctx, cb, eid, flags, type, out);
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

private:
    Context m_ctx;
};

class PstLogon final : public ProviderLogon
{
public:
    explicit PstLogon(std::shared_ptr<StoreContext> ctx) : m_ctx(std::move(ctx)) {}

    HRESULT OpenMsgStore(ULONG, LPCIID, ULONG ulFlags, LPMDB* lppMDB) override
    {
        if (!lppMDB)
            return MAPI_E_INVALID_PARAMETER;
        *lppMDB = nullptr;
        if (ulFlags & MAPI_MODIFY)
            return MAPI_E_NO_ACCESS;
        try {
            std::lock_guard guard(m_ctx->lock);
            ValueBuilder b;
            AddContext(b, m_ctx->store->properties());
            std::vector<uint8_t> eid(m_ctx->storeEntryId.begin(), m_ctx->storeEntryId.end());
            if (!b.has(PR_ENTRYID))
                b.addBinary(PR_ENTRYID, eid);
            if (!b.has(PR_STORE_ENTRYID))
                b.addBinary(PR_STORE_ENTRYID, eid);
            if (!b.has(PR_STORE_RECORD_KEY))
                b.addBinary(PR_STORE_RECORD_KEY, m_ctx->recordKey);
            if (!b.has(PR_OBJECT_TYPE))
                b.addLong(PR_OBJECT_TYPE, MAPI_STORE);
            *lppMDB = new PstMsgStore(b.values, m_ctx);
            return S_OK;
        } catch (const pst::Error& e) {
            return FromError(e);
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }
    std::string StoreDisplayName() const override
    {
        try {
            std::lock_guard guard(m_ctx->lock);
            if (auto name = m_ctx->store->properties().get(0x3001))  // PR_DISPLAY_NAME
                return name->utf8();
        } catch (const pst::Error&) {
        }
        return {};
    }

private:
    std::shared_ptr<StoreContext> m_ctx;
};

} // namespace

void RegisterPstService()
{
    MessageService s;
    s.name = "MSPST MS";
    s.displayName = "Personal Folders";
    s.providerDisplay = "Personal Folders";
    s.dllName = "dravik-mapi32";
    s.entryName = "PSTServiceEntry";
    s.providerUid = {{0x44, 0x52, 0x56, 0x4B, 0x50, 0x53, 0x54, 0x00, 0x9A, 0x31, 0x27, 0x70, 0x0C, 0x11, 0xEF, 0x01}};
    s.resourceType = MAPI_STORE_PROVIDER;
    s.resourceFlags = 0;
    s.isStore = true;
    s.configure = [](ULONG c, const SPropValue* props, ServiceProps& out) -> HRESULT {
        ServiceProps next = out;
        for (ULONG i = 0; i < c; ++i) {
            std::string text;
            if (PROP_ID(props[i].ulPropTag) != PROP_ID(PR_PST_PATH) || !ConfigText(props[i], text) || text.empty())
                return MAPI_E_INVALID_PARAMETER;
            struct stat st{};
            if (stat(text.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                return MAPI_E_NOT_FOUND;  // the store file must exist: it is opened read-only, never created
            next[PR_PST_PATH] = text;
        }
        out = std::move(next);
        return S_OK;
    };
    s.logon = [](const ServiceEntry& service, ULONG, ULONG, std::unique_ptr<ProviderLogon>& logon) -> HRESULT {
        const std::string path = ConfigString(service.props, PR_PST_PATH);
        if (path.empty())
            return MAPI_E_UNCONFIGURED;
        auto ctx = std::make_shared<StoreContext>();
        try {
            ctx->store = pst::Store::open(path);
            ctx->recordKey = ctx->store->recordKey();
        } catch (const pst::Error& e) {
            return FromError(e);
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        if (ctx->recordKey.size() != 16)
            return MAPI_E_CORRUPT_DATA;  // entry IDs are made of it: a store without one cannot name its objects
        ctx->storeEntryId = MakeStoreEntryID(service.uid);
        logon = std::make_unique<PstLogon>(std::move(ctx));
        return S_OK;
    };
    RegisterMessageService(std::move(s));
}

} // namespace dravik::mapi32
