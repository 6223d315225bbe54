// "MSPST MS": the store-file service, configured with PR_PST_PATH, and its store
// provider over the format library. The file is opened read-only at logon; the
// store, its folders, messages and attachments are read-only MAPI objects whose
// values and tables come straight from the file, with the computed properties
// MAPI clients rely on added.
//
// Strings: every object keeps its string values as UTF-16, 8-bit strings of the
// file decoded from the code page the object declares (PR_MESSAGE_CODEPAGE,
// PR_INTERNET_CPID) or else the store's. GetProps, GetPropList and tables hand
// them out as PT_UNICODE with MAPI_UNICODE, and as PT_STRING8 in the narrow
// encoding of this subsystem, UTF-8, without it.
#include "pst_text.h"

#include "mapi32/hooks.h"
#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/provider.h"
#include "mapi32/table.h"

#include "pst/messaging/store.h"
#include "pst/ndb/crc.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>

namespace dravik::mapi32 {
namespace {

// Values larger than this are not delivered by GetProps (PT_ERROR MAPI_E_NOT_ENOUGH_MEMORY);
// OpenProperty delivers them whole.
constexpr uint64_t kMaxInlineValue = 0x8000;

constexpr uint16_t kIdSubject = 0x0037;
constexpr uint16_t kIdMessageFlags = 0x0E07;
constexpr uint16_t kIdAttachData = 0x3701;
constexpr uint16_t kIdInternetCpid = 0x3FDE;    // PR_INTERNET_CPID
constexpr uint16_t kIdMessageCodepage = 0x3FFD; // PR_MESSAGE_CODEPAGE
constexpr uint16_t kIdCodePageId = 0x66C3;      // PR_CODE_PAGE_ID
constexpr ULONG kMsgFlagRead = 0x01;            // MSGFLAG_READ
constexpr ULONG kMsgFlagHasAttach = 0x10;       // MSGFLAG_HASATTACH
constexpr ULONG kFolderRoot = 0;                // FOLDER_ROOT

// MS-PST 2.4.3.2: the folders every PST holds, by NID (an OST names them otherwise).
constexpr uint32_t kNidIpmSubtree = 0x8022;
constexpr uint32_t kNidSearchRoot = 0x8042;
constexpr uint32_t kNidDeletedItems = 0x8062;

HRESULT FromError(const pst::Error& e)
{
    switch (e.kind()) {
    case pst::ErrorKind::NotFound: return MAPI_E_NOT_FOUND;
    case pst::ErrorKind::Io: return MAPI_E_DISK_ERROR;
    default: return MAPI_E_CORRUPT_DATA;
    }
}

// Runs f, turning the library's failures into MAPI's.
template <typename F>
HRESULT Guarded(F&& f)
{
    try {
        return f();
    } catch (const pst::Error& e) {
        return FromError(e);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    } catch (const std::length_error&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

bool IsStringType(ULONG type)
{
    const ULONG base = type & ~MV_FLAG;
    return base == PT_STRING8 || base == PT_UNICODE;
}

// Stores may keep PR_SUBJECT with a marker in front: the character 0x01 and a
// character holding the length of the subject's prefix ("RE: "). MAPI clients
// get the subject without those two characters.
void StripSubjectMarker(uint16_t id, std::u16string& text)
{
    if (id == kIdSubject && text.size() >= 2 && text[0] == 0x01)
        text.erase(0, 2);
}

// A code page declared by a value, if iconv can read it.
std::optional<uint32_t> DeclaredCodePage(const std::optional<pst::Property>& p)
{
    if (!p)
        return std::nullopt;
    auto v = p->int64();
    if (!v || *v <= 0 || *v > 0xFFFF || !pst_text::IsSupportedCodePage(static_cast<uint32_t>(*v)))
        return std::nullopt;
    return static_cast<uint32_t>(*v);
}

// SPropValues over storage this builder owns, every string as PT_UNICODE; they
// are deep-copied by the objects and tables that take them, so the builder lives
// only while building.
class ValueBuilder
{
public:
    explicit ValueBuilder(uint32_t codePage = pst_text::kDefaultCodePage) : m_codePage(codePage) {}

    std::vector<SPropValue> values;

    const SPropValue* find(ULONG id) const
    {
        for (const SPropValue& v : values)
            if (PROP_ID(v.ulPropTag) == id)
                return &v;
        return nullptr;
    }
    bool has(ULONG tag) const { return find(PROP_ID(tag)) != nullptr; }
    void addLong(ULONG tag, ULONG value)
    {
        SPropValue v{};
        v.ulPropTag = tag;
        v.Value.ul = value;
        values.push_back(v);
    }
    void addBool(ULONG tag, bool value)
    {
        SPropValue v{};
        v.ulPropTag = tag;
        v.Value.b = value ? 1 : 0;
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
    void addString(ULONG id, std::u16string text)
    {
        SPropValue v{};
        v.ulPropTag = PROP_TAG(PT_UNICODE, id);
        v.Value.lpszW = keepText(std::move(text));
        values.push_back(v);
    }
    // A value as the file holds it; one that cannot be read becomes PT_ERROR.
    void add(const pst::Property& p)
    {
        if (p.type & MV_FLAG) {
            addMulti(p);
            return;
        }
        SPropValue v{};
        v.ulPropTag = p.tag();
        switch (p.type) {
        case PT_I2: case PT_LONG: case PT_R4: case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME:
        case PT_ERROR: case PT_I8: case PT_SYSTIME: {
            const unsigned size = pst::fixedTypeSize(p.type);
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
        case PT_CLSID:
            if (p.raw.size() < sizeof(GUID)) {
                addError(p.id, MAPI_E_CORRUPT_DATA);
                return;
            }
            v.Value.lpguid = reinterpret_cast<LPGUID>(keep(p.raw).data());
            break;
        case PT_STRING8:
        case PT_UNICODE: {
            std::u16string text = decode(p.type, p.raw);
            StripSubjectMarker(p.id, text);
            addString(p.id, std::move(text));
            return;
        }
        case PT_OBJECT:
            addError(p.id, MAPI_E_NO_SUPPORT);  // opened through OpenProperty, never a value
            return;
        default:  // binary, server IDs and types we do not interpret: their bytes
            addBinary(p.tag(), p.raw);
            return;
        }
        values.push_back(v);
    }
    // The values of a property context; large ones and ones that cannot be read
    // become PT_ERROR values, so one bad value fails only itself.
    void addContext(const pst::PropertyContext& pc)
    {
        for (const pst::PropEntry& e : pc.entries()) {
            if (e.place == pst::PropEntry::Place::Missing) {
                addError(e.id, MAPI_E_CORRUPT_DATA);
                continue;
            }
            if (pst::isVariableType(e.type) && e.size > kMaxInlineValue) {
                addError(e.id, MAPI_E_NOT_ENOUGH_MEMORY);
                continue;
            }
            try {
                add(pc.read(e));
            } catch (const pst::Error&) {
                addError(e.id, MAPI_E_CORRUPT_DATA);
            }
        }
    }

private:
    std::u16string decode(uint16_t type, const std::vector<uint8_t>& raw) const
    {
        return type == PT_UNICODE ? pst_text::FromUtf16Le(raw) : pst_text::Decode(raw, m_codePage);
    }
    std::vector<uint8_t>& keep(std::vector<uint8_t> bytes)
    {
        m_bytes.push_back(std::move(bytes));
        return m_bytes.back();
    }
    LPWSTR keepText(std::u16string text)
    {
        m_texts.push_back(std::move(text));
        return m_texts.back().data();
    }
    void addMulti(const pst::Property& p)
    {
        SPropValue v{};
        const uint16_t base = p.type & ~MV_FLAG;
        v.ulPropTag = p.tag();
        try {
            if (base == PT_STRING8 || base == PT_UNICODE || base == PT_BINARY) {
                auto items = p.multiValues();
                const ULONG n = static_cast<ULONG>(items.size());
                if (base == PT_BINARY) {
                    std::vector<SBinary>& bins = m_bins.emplace_back();
                    for (auto& item : items) {
                        std::vector<uint8_t>& b = keep(std::move(item));
                        bins.push_back(SBinary{static_cast<ULONG>(b.size()), b.data()});
                    }
                    v.Value.MVbin = SBinaryArray{n, bins.data()};
                } else {
                    std::vector<void*>& ptrs = m_pointers.emplace_back();
                    for (auto& item : items)
                        ptrs.push_back(keepText(decode(base, item)));
                    v.ulPropTag = PROP_TAG(PT_MV_UNICODE, p.id);
                    v.Value.MVszW = SWStringArray{n, reinterpret_cast<LPWSTR*>(ptrs.data())};
                }
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

    uint32_t m_codePage;
    std::deque<std::vector<uint8_t>> m_bytes;
    std::deque<std::u16string> m_texts;
    std::deque<std::vector<void*>> m_pointers;
    std::deque<std::vector<SBinary>> m_bins;
};

// A value with its strings in the form asked for (PT_STRING8 as UTF-8 or
// PT_UNICODE); the converted text lives in this object.
class StringForms
{
public:
    SPropValue In(const SPropValue& v, ULONG stringType)
    {
        const ULONG type = PROP_TYPE(v.ulPropTag);
        if (!IsStringType(type) || (type & ~MV_FLAG) == stringType)
            return v;
        SPropValue out = v;
        out.ulPropTag = PROP_TAG((type & MV_FLAG) | stringType, PROP_ID(v.ulPropTag));
        if (type & MV_FLAG) {
            std::vector<void*>& ptrs = m_pointers.emplace_back();
            for (ULONG i = 0; i < v.Value.MVszW.cValues; ++i)
                ptrs.push_back(convert(v.Value.MVszW.lppszW[i], stringType));
            out.Value.MVszA = SLPSTRArray{v.Value.MVszA.cValues, reinterpret_cast<LPSTR*>(ptrs.data())};
        } else {
            out.Value.lpszA = static_cast<LPSTR>(convert(v.Value.lpszW, stringType));
        }
        return out;
    }

private:
    // Values held are PT_UNICODE; only the narrow form is ever made from them.
    void* convert(const void* text, ULONG stringType)
    {
        (void)stringType;
        const auto* w = static_cast<const char16_t*>(text);
        m_narrow.push_back(w ? pst_text::ToUtf8(w) : std::string());
        return m_narrow.back().data();
    }
    std::deque<std::string> m_narrow;
    std::deque<std::vector<void*>> m_pointers;
};

// Frees a MAPI buffer.
struct MapiFree
{
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};

// The values of one object, strings held as PT_UNICODE, handed out as IMAPIProp does.
class PropertySet
{
public:
    explicit PropertySet(const std::vector<SPropValue>& values)
    {
        LPSPropValue dup = nullptr;
        if (FAILED(ScDupPropset(static_cast<int>(values.size()), const_cast<LPSPropValue>(values.data()), nullptr, &dup)))
            throw std::bad_alloc();
        m_buffer.reset(dup);
        m_count = static_cast<ULONG>(values.size());
    }
    const SPropValue* Find(ULONG id) const
    {
        for (ULONG i = 0; i < m_count; ++i)
            if (PROP_ID(m_buffer.get()[i].ulPropTag) == id)
                return &m_buffer.get()[i];
        return nullptr;
    }
    HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) const
    {
        if (!count || !out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        *count = 0;
        const ULONG strings = (flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8;
        StringForms forms;
        std::vector<SPropValue> result;
        bool errors = false;
        if (!tags) {
            for (ULONG i = 0; i < m_count; ++i) {
                result.push_back(forms.In(m_buffer.get()[i], strings));
                errors = errors || PROP_TYPE(result.back().ulPropTag) == PT_ERROR;
            }
        } else {
            for (ULONG i = 0; i < tags->cValues; ++i) {
                const ULONG tag = tags->aulPropTag[i];
                const ULONG want = PROP_TYPE(tag);
                const SPropValue* v = Find(PROP_ID(tag));
                const ULONG have = v ? PROP_TYPE(v->ulPropTag) : PT_ERROR;
                if (v && have == PT_ERROR) {
                    SPropValue e = *v;
                    errors = true;
                    result.push_back(e);
                } else if (v && want == PT_UNSPECIFIED) {
                    result.push_back(forms.In(*v, strings));
                } else if (v && IsStringType(want) && IsStringType(have) && (want & MV_FLAG) == (have & MV_FLAG)) {
                    result.push_back(forms.In(*v, want & ~MV_FLAG));
                } else if (v && want == have) {
                    result.push_back(*v);
                } else {
                    SPropValue e{};
                    e.ulPropTag = CHANGE_PROP_TYPE(tag, PT_ERROR);
                    e.Value.err = MAPI_E_NOT_FOUND;
                    result.push_back(e);
                    errors = true;
                }
            }
        }
        HRESULT hr = ScDupPropset(static_cast<int>(result.size()), result.data(), nullptr, out);
        if (FAILED(hr))
            return hr;
        *count = static_cast<ULONG>(result.size());
        return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
    }
    HRESULT GetPropList(ULONG flags, LPSPropTagArray* out) const
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        void* p = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(m_count)), &p);
        if (FAILED(hr))
            return hr;
        auto* a = static_cast<LPSPropTagArray>(p);
        a->cValues = m_count;
        const ULONG strings = (flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8;
        for (ULONG i = 0; i < m_count; ++i) {
            const ULONG tag = m_buffer.get()[i].ulPropTag;
            a->aulPropTag[i] =
                IsStringType(PROP_TYPE(tag)) ? CHANGE_PROP_TYPE(tag, (PROP_TYPE(tag) & MV_FLAG) | strings) : tag;
        }
        *out = a;
        return S_OK;
    }

private:
    std::unique_ptr<SPropValue, MapiFree> m_buffer;
    ULONG m_count = 0;
};

struct StoreContext
{
    std::shared_ptr<pst::Store> store;
    std::string path;
    std::vector<uint8_t> recordKey;  // the store's PR_RECORD_KEY: 16 bytes of every entry ID
    std::string storeEntryId;        // the session's entry ID of the store
    std::string displayName;         // PR_DISPLAY_NAME of the store
    uint32_t codePage = pst_text::kDefaultCodePage;
    // The library reads through one reader with caches: every read of the store is made under this.
    mutable std::mutex lock;

    // MS-PST 2.2.1: rgbFlags (4 bytes, zero), the store's record key (uid), the NID.
    std::vector<uint8_t> EntryId(uint32_t nid) const
    {
        std::vector<uint8_t> eid(4 + recordKey.size() + 4, 0);
        std::copy(recordKey.begin(), recordKey.end(), eid.begin() + 4);
        for (size_t i = 0; i < 4; ++i)
            eid[4 + recordKey.size() + i] = static_cast<uint8_t>(nid >> (8 * i));
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
    std::vector<uint8_t> StoreEntryIdBytes() const { return {storeEntryId.begin(), storeEntryId.end()}; }
    // What every object of the store carries: its type and the store's identity.
    void AddCommon(ValueBuilder& b, ULONG objectType) const
    {
        if (!b.has(PR_OBJECT_TYPE))
            b.addLong(PR_OBJECT_TYPE, objectType);
        if (!b.has(PR_STORE_ENTRYID))
            b.addBinary(PR_STORE_ENTRYID, StoreEntryIdBytes());
        if (!b.has(PR_STORE_RECORD_KEY))
            b.addBinary(PR_STORE_RECORD_KEY, recordKey);
    }
    // A folder's or a message's identity: entry ID, record key, parent.
    void AddIdentity(ValueBuilder& b, uint32_t nid, uint32_t parentNid) const
    {
        if (!b.has(PR_ENTRYID))
            b.addBinary(PR_ENTRYID, EntryId(nid));
        if (!b.has(PR_RECORD_KEY))
            b.addBinary(PR_RECORD_KEY, EntryId(nid));
        if (parentNid != 0 && !b.has(PR_PARENT_ENTRYID))
            b.addBinary(PR_PARENT_ENTRYID, EntryId(parentNid));
    }
    // The code page of a message's 8-bit strings: its own, or the store's.
    uint32_t CodePageOf(const pst::PropertyContext& pc) const
    {
        if (auto cp = DeclaredCodePage(pc.get(kIdMessageCodepage)))
            return *cp;
        if (auto cp = DeclaredCodePage(pc.get(kIdInternetCpid)))
            return *cp;
        return codePage;
    }
};
using Context = std::shared_ptr<const StoreContext>;

bool IsFolderNid(uint32_t nid)
{
    const uint32_t type = nid & 0x1F;
    return type == pst::NID_TYPE_NORMAL_FOLDER || type == pst::NID_TYPE_SEARCH_FOLDER;
}

bool IsMessageNid(uint32_t nid)
{
    const uint32_t type = nid & 0x1F;
    return type == pst::NID_TYPE_NORMAL_MESSAGE || type == 0x08;  // NID_TYPE_ASSOC_MESSAGE
}

// The code page of a contents-table row's 8-bit strings: the row's own
// declaration, else, when the row has 8-bit text that is not ASCII, the
// message's, else the folder's. Called under the store's lock.
uint32_t RowCodePage(const StoreContext& ctx, const pst::TableRow& row, uint32_t fallback)
{
    for (uint16_t id : {kIdMessageCodepage, kIdInternetCpid})
        if (const pst::Property* p = row.find(id))
            if (auto cp = DeclaredCodePage(*p))
                return *cp;
    const bool needed = std::any_of(row.cells.begin(), row.cells.end(), [](const pst::Property& p) {
        return (p.type & ~MV_FLAG) == PT_STRING8 &&
               std::any_of(p.raw.begin(), p.raw.end(), [](uint8_t b) { return b >= 0x80; });
    });
    if (!needed || !IsMessageNid(row.rowId))
        return fallback;
    try {
        return ctx.CodePageOf(ctx.store->message(row.rowId).properties());
    } catch (const pst::Error&) {
        return fallback;
    }
}

// A table context as a memory table: its columns and cells in the file's order,
// with PR_ENTRYID (folders and messages), PR_INSTANCE_KEY and PR_OBJECT_TYPE
// added to every row. Rows hold each string in both forms, so either tag finds
// it; the default columns name the form the caller asked for.
HRESULT MakeTable(const Context& ctx, const pst::TableContext& tc, ULONG objectType, uint32_t codePage,
                  ULONG flags, LPMAPITABLE* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    const ULONG strings = (flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8;
    const ULONG other = strings == PT_UNICODE ? PT_STRING8 : PT_UNICODE;
    return Guarded([&]() -> HRESULT {
        std::vector<ULONG> columns;
        for (const pst::TableColumn& c : tc.columns())
            columns.push_back(IsStringType(c.type()) ? PROP_TAG((c.type() & MV_FLAG) | strings, c.id()) : c.tag);
        std::vector<ULONG> added = {PR_INSTANCE_KEY, PR_OBJECT_TYPE};
        if (objectType == MAPI_FOLDER || objectType == MAPI_MESSAGE)
            added.insert(added.begin(), PR_ENTRYID);
        if (objectType == MAPI_MESSAGE)
            added.push_back(PR_HASATTACH);  // what clients test before asking for attachments
        if (objectType == MAPI_ATTACH)
            added.push_back(PR_ATTACH_NUM);  // the row's position: what OpenAttach takes
        for (ULONG tag : added)
            if (std::find_if(columns.begin(), columns.end(), [&](ULONG c) { return PROP_ID(c) == PROP_ID(tag); }) ==
                columns.end())
                columns.push_back(tag);
        std::deque<ValueBuilder> builders;  // each row's storage, alive until the table has copied it
        std::deque<StringForms> forms;
        std::vector<std::vector<SPropValue>> rows;
        const size_t count = tc.rowCount();
        rows.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const pst::TableRow row = tc.row(i);
            const uint32_t cp = objectType == MAPI_MESSAGE ? RowCodePage(*ctx, row, codePage) : codePage;
            ValueBuilder& b = builders.emplace_back(cp);
            for (const pst::Property& cell : row.cells) {
                if (pst::isVariableType(cell.type) && cell.raw.size() > kMaxInlineValue)
                    b.addError(cell.id, MAPI_E_NOT_ENOUGH_MEMORY);
                else
                    b.add(cell);
            }
            if (objectType == MAPI_FOLDER || objectType == MAPI_MESSAGE) {
                if (!b.has(PR_ENTRYID))
                    b.addBinary(PR_ENTRYID, ctx->EntryId(row.rowId));
            }
            if (!b.has(PR_INSTANCE_KEY)) {
                std::vector<uint8_t> key(4);
                for (int k = 0; k < 4; ++k)
                    key[static_cast<size_t>(k)] = static_cast<uint8_t>(row.rowId >> (8 * k));
                b.addBinary(PR_INSTANCE_KEY, key);
            }
            if (!b.has(PR_OBJECT_TYPE))
                b.addLong(PR_OBJECT_TYPE, objectType);
            if (objectType == MAPI_MESSAGE && !b.has(PR_HASATTACH)) {
                const SPropValue* messageFlags = b.find(kIdMessageFlags);
                if (messageFlags && PROP_TYPE(messageFlags->ulPropTag) == PT_LONG)
                    b.addBool(PR_HASATTACH, (messageFlags->Value.ul & kMsgFlagHasAttach) != 0);
            }
            if (objectType == MAPI_ATTACH && !b.has(PR_ATTACH_NUM))
                b.addLong(PR_ATTACH_NUM, static_cast<ULONG>(i));
            StringForms& f = forms.emplace_back();
            std::vector<SPropValue>& values = rows.emplace_back();
            values.reserve(b.values.size() + 4);
            for (const SPropValue& v : b.values) {
                values.push_back(f.In(v, strings));
                if (IsStringType(PROP_TYPE(v.ulPropTag)))
                    values.push_back(f.In(v, other));
            }
        }
        return CreateMemoryTable(rows, columns, out);
    });
}

// Where a stream's bytes come from: a range-read value of a property context, or
// bytes made in memory (converted text, computed values).
class ValueStream final : public IStream
{
public:
    // A value of a property context, read in ranges; owner keeps the context alive.
    ValueStream(Context ctx, IUnknown* owner, const pst::PropertyContext& pc, const pst::PropEntry& entry)
        : m_ctx(std::move(ctx)), m_owner(owner), m_pc(&pc), m_entry(entry), m_size(entry.size)
    {
        if (m_owner)
            m_owner->AddRef();
    }
    explicit ValueStream(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)), m_size(m_bytes.size()) {}

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
        const uint64_t left = m_pos < m_size ? m_size - m_pos : 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(cb, left));
        if (n == 0)
            return S_OK;
        if (m_pc) {
            HRESULT hr = Guarded([&]() -> HRESULT {
                std::lock_guard guard(m_ctx->lock);
                std::vector<uint8_t> bytes = m_pc->readRange(m_entry, m_pos, n);
                if (bytes.size() != n)
                    return MAPI_E_CORRUPT_DATA;
                std::memcpy(pv, bytes.data(), n);
                return S_OK;
            });
            if (FAILED(hr))
                return hr;
        } else {
            std::memcpy(pv, m_bytes.data() + m_pos, n);
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
        case STREAM_SEEK_END: base = static_cast<int64_t>(m_size); break;
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
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = m_size;
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
    IUnknown* m_owner = nullptr;
    const pst::PropertyContext* m_pc = nullptr;
    pst::PropEntry m_entry;
    std::vector<uint8_t> m_bytes;
    uint64_t m_size = 0;
    uint64_t m_pos = 0;
};

std::vector<uint8_t> Utf8Bytes(std::u16string_view text)
{
    std::string s = pst_text::ToUtf8(text);
    return {s.begin(), s.end()};
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view text)
{
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2);
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

// IMAPIProp::OpenProperty as IID_IStream, read-only. The value comes from the
// object's values when it holds it, else, for a value too large for GetProps,
// from the file. Strings are delivered in the form the tag names: PT_STRING8 as
// UTF-8, PT_UNICODE as UTF-16LE; a binary value's bytes as they are for either
// PT_BINARY or PT_STRING8 (an 8-bit stream of bytes).
HRESULT OpenValueStream(const Context& ctx, IUnknown* owner, const pst::PropertyContext& pc, const PropertySet& values,
                        uint32_t codePage, ULONG tag, LPCIID iid, ULONG flags, LPUNKNOWN* out)
{
    if (!out || !iid)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (flags & (MAPI_MODIFY | MAPI_CREATE))
        return MAPI_E_NO_ACCESS;
    if (*iid != IID_IStream && *iid != IID_ISequentialStream)
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    const ULONG id = PROP_ID(tag);
    const ULONG want = PROP_TYPE(tag);
    if (want & MV_FLAG)
        return MAPI_E_NO_SUPPORT;
    auto deliver = [&](std::vector<uint8_t> bytes) {
        *out = static_cast<IStream*>(new ValueStream(std::move(bytes)));
        return S_OK;
    };
    auto text = [&](std::u16string s) {
        return deliver(want == PT_UNICODE || want == PT_UNSPECIFIED ? Utf16Bytes(s) : Utf8Bytes(s));
    };
    const SPropValue* v = values.Find(id);
    if (v && PROP_TYPE(v->ulPropTag) != PT_ERROR) {
        const ULONG have = PROP_TYPE(v->ulPropTag);
        if (have == PT_UNICODE && (want == PT_STRING8 || want == PT_UNICODE || want == PT_UNSPECIFIED))
            return Guarded([&] { return text(v->Value.lpszW ? std::u16string(v->Value.lpszW) : std::u16string()); });
        if (!IsStringType(have) && !pst::isVariableType(static_cast<uint16_t>(have)))
            return MAPI_E_NO_SUPPORT;  // fixed-size values have no stream
        if (have == PT_BINARY || (!IsStringType(have) && !(have & MV_FLAG))) {
            if (want != have && want != PT_UNSPECIFIED && want != PT_STRING8 && want != PT_BINARY)
                return MAPI_E_NOT_FOUND;
            return Guarded([&] { return deliver({v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb}); });
        }
        return MAPI_E_NO_SUPPORT;
    }
    return Guarded([&]() -> HRESULT {
        std::unique_lock guard(ctx->lock);
        const pst::PropEntry* e = pc.find(static_cast<uint16_t>(id));
        if (!e)
            return MAPI_E_NOT_FOUND;
        if (e->place == pst::PropEntry::Place::Missing)
            return MAPI_E_CORRUPT_DATA;
        if ((e->type & MV_FLAG) || e->type == PT_OBJECT || !pst::isVariableType(e->type))
            return MAPI_E_NO_SUPPORT;
        if (e->type == PT_UNICODE || e->type == PT_STRING8) {
            if (want != PT_UNICODE && want != PT_STRING8 && want != PT_UNSPECIFIED)
                return MAPI_E_NOT_FOUND;
            if (e->type == PT_UNICODE && want != PT_STRING8 && id != kIdSubject) {
                guard.unlock();
                *out = static_cast<IStream*>(new ValueStream(ctx, owner, pc, *e));
                return S_OK;
            }
            // A conversion: the whole value, converted in memory.
            pst::Property p = pc.read(*e);
            guard.unlock();
            std::u16string s =
                e->type == PT_UNICODE ? pst_text::FromUtf16Le(p.raw) : pst_text::Decode(p.raw, codePage);
            StripSubjectMarker(static_cast<uint16_t>(id), s);
            return text(std::move(s));
        }
        if (want != e->type && want != PT_UNSPECIFIED && want != PT_STRING8 && want != PT_BINARY)
            return MAPI_E_NOT_FOUND;
        guard.unlock();
        *out = static_cast<IStream*>(new ValueStream(ctx, owner, pc, *e));
        return S_OK;
    });
}

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
            // Only IDs from 0x8000 up are named; below, no name whatever the map holds.
            const pst::NamedProperty* np =
                PROP_ID(tags[i]) >= 0x8000 ? map.find(static_cast<uint16_t>(PROP_ID(tags[i]))) : nullptr;
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


// What every object of the provider shares: reference counting, its values
// (handed out by GetProps and GetPropList with or without MAPI_UNICODE), names
// from the store's map, and refusal of every write.
template <typename Base>
class PstObject : public Base
{
public:
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        ULONG r = --m_refs;
        if (r == 0)
            delete this;
        return r;
    }
    HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* e) override
    {
        if (e)
            *e = nullptr;
        return S_OK;
    }
    HRESULT SaveChanges(ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) override
    {
        return m_props.GetProps(tags, flags, count, out);
    }
    HRESULT GetPropList(ULONG flags, LPSPropTagArray* out) override { return m_props.GetPropList(flags, out); }
    HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray* problems) override
    {
        if (problems)
            *problems = nullptr;
        return MAPI_E_NO_ACCESS;
    }
    HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray* problems) override
    {
        if (problems)
            *problems = nullptr;
        return MAPI_E_NO_ACCESS;
    }
    HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                   LPSPropProblemArray* problems) override
    {
        if (problems)
            *problems = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray* problems) override
    {
        if (problems)
            *problems = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG, ULONG* count, LPMAPINAMEID** names) override
    {
        return NamesFromIds(m_ctx, tags, guid, count, names);
    }
    HRESULT GetIDsFromNames(ULONG cNames, LPMAPINAMEID* lppNames, ULONG flags, LPSPropTagArray* out) override
    {
        return IdsFromNames(m_ctx, cNames, lppNames, flags, out);
    }

protected:
    PstObject(const std::vector<SPropValue>& values, Context ctx) : m_props(values), m_ctx(std::move(ctx)) {}
    virtual ~PstObject() = default;

    PropertySet m_props;
    Context m_ctx;

private:
    std::atomic<ULONG> m_refs{1};
};

HRESULT OpenByNid(const Context& ctx, uint32_t nid, ULONG* type, LPUNKNOWN* out);

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

HRESULT NewMessage(const Context& ctx, pst::Message message, bool embedded, LPMESSAGE* out);

class PstAttach final : public PstObject<IAttach>
{
public:
    PstAttach(const std::vector<SPropValue>& values, Context ctx, pst::Attachment attachment, uint32_t codePage)
        : PstObject(values, std::move(ctx)), m_attachment(std::move(attachment)), m_codePage(codePage)
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
    // PR_ATTACH_DATA_OBJ opens as IID_IMessage when the attachment is an embedded message.
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        if (out && iid && *iid == IID_IMessage) {
            *out = nullptr;
            if (PROP_ID(tag) != kIdAttachData || (PROP_TYPE(tag) != PT_OBJECT && PROP_TYPE(tag) != PT_UNSPECIFIED))
                return MAPI_E_NOT_FOUND;
            if (flags & (MAPI_MODIFY | MAPI_CREATE))
                return MAPI_E_NO_ACCESS;
            return Guarded([&]() -> HRESULT {
                std::optional<pst::Message> embedded;
                {
                    std::lock_guard guard(m_ctx->lock);
                    if (!m_attachment.hasEmbeddedMessage())
                        return MAPI_E_NOT_FOUND;
                    embedded.emplace(m_attachment.embeddedMessage());
                }
                LPMESSAGE message = nullptr;
                HRESULT hr = NewMessage(m_ctx, std::move(*embedded), true, &message);
                if (SUCCEEDED(hr))
                    *out = message;
                return hr;
            });
        }
        return OpenValueStream(m_ctx, this, m_attachment.properties(), m_props, m_codePage, tag, iid, flags, out);
    }

private:
    pst::Attachment m_attachment;
    uint32_t m_codePage;
};

class PstMessage final : public PstObject<IMessage>
{
public:
    PstMessage(const std::vector<SPropValue>& values, Context ctx, pst::Message message, uint32_t codePage)
        : PstObject(values, std::move(ctx)), m_message(std::move(message)), m_codePage(codePage)
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
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        return OpenValueStream(m_ctx, this, m_message.properties(), m_props, m_codePage, tag, iid, flags, out);
    }
    HRESULT GetAttachmentTable(ULONG flags, LPMAPITABLE* out) override
    {
        return Guarded([&] {
            std::lock_guard guard(m_ctx->lock);
            return MakeTable(m_ctx, m_message.attachmentTable(), MAPI_ATTACH, m_codePage, flags, out);
        });
    }
    HRESULT GetRecipientTable(ULONG flags, LPMAPITABLE* out) override
    {
        return Guarded([&] {
            std::lock_guard guard(m_ctx->lock);
            return MakeTable(m_ctx, m_message.recipientTable(), MAPI_MAILUSER, m_codePage, flags, out);
        });
    }
    // ulAttachmentNum is PR_ATTACH_NUM of the attachment table: the row's position.
    HRESULT OpenAttach(ULONG ulAttachmentNum, LPCIID, ULONG ulFlags, LPATTACH* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (ulFlags & MAPI_MODIFY)
            return MAPI_E_NO_ACCESS;
        return Guarded([&]() -> HRESULT {
            std::lock_guard guard(m_ctx->lock);
            pst::TableContext table = m_message.attachmentTable();
            if (ulAttachmentNum >= table.rowCount())
                return MAPI_E_NOT_FOUND;
            pst::Attachment attachment = m_message.attachment(table.row(ulAttachmentNum).rowId);
            ValueBuilder b(m_codePage);
            b.addContext(attachment.properties());
            if (!b.has(PR_ATTACH_NUM))
                b.addLong(PR_ATTACH_NUM, ulAttachmentNum);
            m_ctx->AddCommon(b, MAPI_ATTACH);
            *out = new PstAttach(b.values, m_ctx, std::move(attachment), m_codePage);
            return S_OK;
        });
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
    pst::Message m_message;
    uint32_t m_codePage;
};

// A message's values with the computed ones. An embedded message has no entry
// ID of its own and no parent folder. Called under the store's lock.
HRESULT NewMessageLocked(const Context& ctx, pst::Message message, bool embedded, LPMESSAGE* out)
{
    const uint32_t codePage = ctx->CodePageOf(message.properties());
    ValueBuilder b(codePage);
    b.addContext(message.properties());
    if (!embedded) {
        const std::optional<pst::NodeRef> node = ctx->store->ndb().findNode(message.nid());
        ctx->AddIdentity(b, message.nid(), node ? node->nidParent : 0);
    }
    ctx->AddCommon(b, MAPI_MESSAGE);
    if (!b.has(PR_HASATTACH)) {
        const SPropValue* flags = b.find(kIdMessageFlags);
        bool hasAttach = false;
        if (flags && PROP_TYPE(flags->ulPropTag) == PT_LONG) {
            hasAttach = (flags->Value.ul & kMsgFlagHasAttach) != 0;
        } else {
            try {
                hasAttach = message.attachmentTable().rowCount() > 0;
            } catch (const pst::Error&) {
            }
        }
        b.addBool(PR_HASATTACH, hasAttach);
    }
    *out = new PstMessage(b.values, ctx, std::move(message), codePage);
    return S_OK;
}

HRESULT NewMessage(const Context& ctx, pst::Message message, bool embedded, LPMESSAGE* out)
{
    return Guarded([&] {
        std::lock_guard guard(ctx->lock);
        return NewMessageLocked(ctx, std::move(message), embedded, out);
    });
}

class PstFolder final : public PstObject<IMAPIFolder>
{
public:
    PstFolder(const std::vector<SPropValue>& values, Context ctx, pst::Folder folder)
        : PstObject(values, std::move(ctx)), m_folder(std::move(folder))
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
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        return OpenValueStream(m_ctx, this, m_folder.properties(), m_props, m_ctx->codePage, tag, iid, flags, out);
    }
    HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* out) override
    {
        return Guarded([&] {
            std::lock_guard guard(m_ctx->lock);
            return MakeTable(m_ctx,
                             (flags & MAPI_ASSOCIATED) ? m_folder.associatedContentsTable() : m_folder.contentsTable(),
                             MAPI_MESSAGE, m_ctx->codePage, flags, out);
        });
    }
    HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* out) override
    {
        return Guarded([&] {
            std::lock_guard guard(m_ctx->lock);
            return MakeTable(m_ctx, m_folder.hierarchyTable(), MAPI_FOLDER, m_ctx->codePage, flags, out);
        });
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
    pst::Folder m_folder;
};

// A folder's values with the computed ones; counts the file does not keep are
// counted from the folder's tables. Called under the store's lock.
void AddFolderComputed(const Context& ctx, ValueBuilder& b, const pst::Folder& folder)
{
    const uint32_t nid = folder.nid();
    const std::optional<pst::NodeRef> node = ctx->store->ndb().findNode(nid);
    ctx->AddIdentity(b, nid, node ? node->nidParent : 0);
    ctx->AddCommon(b, MAPI_FOLDER);
    if (!b.has(PR_FOLDER_TYPE))
        b.addLong(PR_FOLDER_TYPE, nid == ctx->store->rootFolderNid()                      ? kFolderRoot
                                  : (nid & 0x1F) == pst::NID_TYPE_SEARCH_FOLDER ? FOLDER_SEARCH
                                                                                         : FOLDER_GENERIC);
    try {
        if (!b.has(PR_SUBFOLDERS))
            b.addBool(PR_SUBFOLDERS, folder.hierarchyTable().rowCount() > 0);
        if (!b.has(PR_CONTENT_COUNT) || !b.has(PR_CONTENT_UNREAD)) {
            const pst::TableContext contents = folder.contentsTable();
            if (!b.has(PR_CONTENT_COUNT))
                b.addLong(PR_CONTENT_COUNT, static_cast<ULONG>(contents.rowCount()));
            if (!b.has(PR_CONTENT_UNREAD)) {
                ULONG unread = 0;
                for (size_t i = 0; i < contents.rowCount(); ++i) {
                    const pst::TableRow row = contents.row(i);
                    const pst::Property* flags = row.find(kIdMessageFlags);
                    auto value = flags ? flags->int64() : std::nullopt;
                    if (!value || !(static_cast<ULONG>(*value) & kMsgFlagRead))
                        ++unread;
                }
                b.addLong(PR_CONTENT_UNREAD, unread);
            }
        }
        if (!b.has(PR_ASSOC_CONTENT_COUNT))
            b.addLong(PR_ASSOC_CONTENT_COUNT, static_cast<ULONG>(folder.associatedContentsTable().rowCount()));
    } catch (const pst::Error&) {
        // A damaged table fails the table's own calls; the folder still opens.
    }
}

HRESULT OpenByNid(const Context& ctx, uint32_t nid, ULONG* type, LPUNKNOWN* out)
{
    if (!IsFolderNid(nid) && !IsMessageNid(nid))
        return MAPI_E_INVALID_ENTRYID;
    return Guarded([&]() -> HRESULT {
        std::lock_guard guard(ctx->lock);
        if (IsFolderNid(nid)) {
            pst::Folder folder = ctx->store->folder(nid);
            ValueBuilder b(ctx->codePage);
            b.addContext(folder.properties());
            AddFolderComputed(ctx, b, folder);
            if (type)
                *type = MAPI_FOLDER;
            *out = static_cast<IMAPIFolder*>(new PstFolder(b.values, ctx, std::move(folder)));
            return S_OK;
        }
        LPMESSAGE message = nullptr;
        HRESULT hr = NewMessageLocked(ctx, ctx->store->message(nid), false, &message);
        if (FAILED(hr))
            return hr;
        if (type)
            *type = MAPI_MESSAGE;
        *out = message;
        return S_OK;
    });
}

class PstMsgStore final : public PstObject<IMsgStore>
{
public:
    PstMsgStore(const std::vector<SPropValue>& values, Context ctx) : PstObject(values, std::move(ctx)) {}
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
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        return OpenValueStream(m_ctx, this, m_ctx->store->properties(), m_props, m_ctx->codePage, tag, iid, flags,
                               out);
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
        return Guarded([&]() -> HRESULT {
            std::lock_guard guard(m_ctx->lock);
            ValueBuilder b(m_ctx->codePage);
            b.addContext(m_ctx->store->properties());
            const std::vector<uint8_t> eid = m_ctx->StoreEntryIdBytes();
            if (!b.has(PR_ENTRYID))
                b.addBinary(PR_ENTRYID, eid);
            m_ctx->AddCommon(b, MAPI_STORE);
            const SPropValue* name = b.find(PROP_ID(PR_DISPLAY_NAME));
            if (!name || PROP_TYPE(name->ulPropTag) != PT_UNICODE || !name->Value.lpszW || !name->Value.lpszW[0]) {
                std::vector<SPropValue> kept;
                for (const SPropValue& v : b.values)
                    if (PROP_ID(v.ulPropTag) != PROP_ID(PR_DISPLAY_NAME))
                        kept.push_back(v);
                b.values = std::move(kept);
                b.addString(PROP_ID(PR_DISPLAY_NAME), pst_text::FromUtf8(m_ctx->displayName));
            }
            // The special folders MS-PST gives fixed NIDs, where the file does not name them.
            if (!m_ctx->store->info().ost) {
                const std::pair<ULONG, uint32_t> special[] = {{PR_IPM_SUBTREE_ENTRYID, kNidIpmSubtree},
                                                              {PR_IPM_WASTEBASKET_ENTRYID, kNidDeletedItems},
                                                              {PR_FINDER_ENTRYID, kNidSearchRoot}};
                for (const auto& [tag, nid] : special)
                    if (!b.has(tag) && m_ctx->store->ndb().findNode(nid))
                        b.addBinary(tag, m_ctx->EntryId(nid));
            }
            *lppMDB = new PstMsgStore(b.values, m_ctx);
            return S_OK;
        });
    }
    std::string StoreDisplayName() const override { return m_ctx->displayName; }

private:
    std::shared_ptr<StoreContext> m_ctx;
};

// The store's display name: its PR_DISPLAY_NAME, or the file's name when it has none.
std::string DisplayNameOf(pst::Store& store, const std::string& path, uint32_t codePage)
{
    try {
        if (auto name = store.properties().get(PROP_ID(PR_DISPLAY_NAME))) {
            std::u16string text = name->type == PT_UNICODE ? pst_text::FromUtf16Le(name->raw)
                                  : name->type == PT_STRING8 ? pst_text::Decode(name->raw, codePage)
                                                             : std::u16string();
            if (!text.empty())
                return pst_text::ToUtf8(text);
        }
    } catch (const pst::Error&) {
    }
    return std::filesystem::path(path).filename().string();
}

// A protected store asks for its password through the application's hook,
// only when the logon may show a dialog. The file keeps the CRC of the password.
HRESULT CheckPassword(pst::Store& store, const std::string& path, const std::string& displayName, ULONG ulUIParam,
                      ULONG ulFlags)
{
    if (store.info().ost)
        return S_OK;  // an offline store has no password of its own
    const std::optional<uint32_t> crc = store.passwordCrc();
    if (!crc || *crc == 0)
        return S_OK;
    IStorePasswordPrompt* prompt = GetStorePasswordPrompt();
    if (!(ulFlags & (MAPI_LOGON_UI | MAPI_PASSWORD_UI)) || !prompt)
        return MAPI_E_LOGON_FAILED;
    std::string password;
    HRESULT hr = prompt->AskStorePassword(ulUIParam, displayName, path, password);
    if (FAILED(hr))
        return hr;
    const auto* bytes = reinterpret_cast<const uint8_t*>(password.data());
    if (pst::computeCrc(std::span<const uint8_t>(bytes, password.size())) == *crc)
        return S_OK;
    // Outlook keeps the CRC of the password in the ANSI code page; try that form of a non-ASCII password.
    std::u16string wide = pst_text::FromUtf8(password);
    std::vector<uint8_t> latin;
    for (char16_t c : wide)
        latin.push_back(c < 0x100 ? static_cast<uint8_t>(c) : '?');
    if (latin.size() != password.size() && pst::computeCrc(latin) == *crc)
        return S_OK;
    return MAPI_E_LOGON_FAILED;
}

// Whether a path names a file that may be opened as a store: a directory or a
// missing path is no file; a device or a pipe (opening one could block) is no store.
HRESULT CheckStorePath(const std::string& path)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return MAPI_E_NOT_FOUND;
    if (!S_ISREG(st.st_mode))
        return MAPI_E_CORRUPT_DATA;
    return S_OK;
}

// Opens a store file, as logon and configuration do.
std::shared_ptr<pst::Store> OpenStore(const std::string& path)
{
    auto store = pst::Store::open(path);
    store->properties();  // the message store object: a file without one is no store
    return store;
}

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
    // The path must name an existing store file, recognised by its content (a
    // .pst and an .ost alike); nothing is created.
    s.configure = [](ULONG c, const SPropValue* props, ServiceProps& out) -> HRESULT {
        ServiceProps next = out;
        for (ULONG i = 0; i < c; ++i) {
            std::string text;
            if (PROP_ID(props[i].ulPropTag) != PROP_ID(PR_PST_PATH) || !ConfigText(props[i], text) || text.empty())
                return MAPI_E_INVALID_PARAMETER;
            HRESULT hr = CheckStorePath(text);
            if (FAILED(hr))
                return hr;
            hr = Guarded([&] {
                OpenStore(text);
                return S_OK;
            });
            if (hr == MAPI_E_NOT_FOUND)
                hr = MAPI_E_CORRUPT_DATA;  // a file without the nodes of a store is not a store file
            if (FAILED(hr))
                return hr;
            next[PR_PST_PATH] = text;
        }
        out = std::move(next);
        return S_OK;
    };
    s.logon = [](const ServiceEntry& service, ULONG ulUIParam, ULONG ulFlags,
                 std::unique_ptr<ProviderLogon>& logon) -> HRESULT {
        const std::string path = ConfigString(service.props, PR_PST_PATH);
        if (path.empty())
            return MAPI_E_UNCONFIGURED;
        HRESULT hr = CheckStorePath(path);
        if (FAILED(hr))
            return hr;
        auto ctx = std::make_shared<StoreContext>();
        ctx->path = path;
        hr = Guarded([&]() -> HRESULT {
            ctx->store = OpenStore(path);
            ctx->recordKey = ctx->store->recordKey();
            const pst::PropertyContext& pc = ctx->store->properties();
            if (auto cp = DeclaredCodePage(pc.get(kIdMessageCodepage)))
                ctx->codePage = *cp;
            else if (auto cp2 = DeclaredCodePage(pc.get(kIdInternetCpid)))
                ctx->codePage = *cp2;
            else if (auto cp3 = DeclaredCodePage(pc.get(kIdCodePageId)))
                ctx->codePage = *cp3;
            ctx->displayName = DisplayNameOf(*ctx->store, path, ctx->codePage);
            return CheckPassword(*ctx->store, path, ctx->displayName, ulUIParam, ulFlags);
        });
        if (hr == MAPI_E_NOT_FOUND)
            hr = MAPI_E_CORRUPT_DATA;  // the file no longer holds a store
        if (FAILED(hr))
            return hr;
        if (ctx->recordKey.size() != 16)
            return MAPI_E_CORRUPT_DATA;  // entry IDs are made of it: a store without one cannot name its objects
        ctx->storeEntryId = MakeStoreEntryID(service.uid);
        logon = std::make_unique<PstLogon>(std::move(ctx));
        return S_OK;
    };
    RegisterMessageService(std::move(s));
}

} // namespace dravik::mapi32
