#include "msg_writer.h"

#include "cfb.h"
#include "msg_file.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"

#include <zlib.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>

namespace dravik::mapi32 {
namespace {

using Bytes = std::vector<uint8_t>;

// The CLSID of a message's storage: {00020D0B-0000-0000-C000-000000000046}.
const Bytes kMessageClsid = {0x0B, 0x0D, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint32_t kPropAttrReadWrite = 0x00000006;  // PROPATTR_READABLE | PROPATTR_WRITABLE
constexpr uint32_t kStoreUnicodeOk = 0x00040000;     // STORE_UNICODE_OK

struct Release
{
    void operator()(IUnknown* p) const
    {
        if (p)
            p->Release();
    }
};
template <class T>
using Ref = std::unique_ptr<T, Release>;
struct FreeBuffer
{
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};

void PutU16(Bytes& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Utf16(const char16_t* s)
{
    Bytes b;
    for (; s && *s; ++s)
        PutU16(b, static_cast<uint16_t>(*s));
    return b;
}

Bytes ReadStreamOf(IMAPIProp* obj, ULONG tag, HRESULT& hr)
{
    Bytes out;
    LPUNKNOWN unk = nullptr;
    hr = obj->OpenProperty(tag, &IID_IStream, 0, 0, &unk);
    if (FAILED(hr))
        return out;
    Ref<IStream> stream(static_cast<IStream*>(unk));
    std::vector<uint8_t> buf(1 << 20);
    for (;;) {
        ULONG n = 0;
        hr = stream->Read(buf.data(), static_cast<ULONG>(buf.size()), &n);
        if (FAILED(hr))
            return out;
        if (n == 0)
            break;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    hr = S_OK;
    return out;
}

// The named-property map of the file being written: the names met in the
// message and its parts, each given the next ID from 0x8000 up.
class NameMapOut
{
public:
    // The new ID of a name; 0 when the map is full.
    uint16_t IdOf(const MAPINAMEID& name)
    {
        Key key;
        std::memcpy(key.guid.data(), name.lpguid, 16);
        key.isString = name.ulKind == MNID_STRING;
        if (key.isString)
            key.name = name.Kind.lpwstrName ? std::u16string(name.Kind.lpwstrName) : std::u16string();
        else
            key.lid = static_cast<uint32_t>(name.Kind.lID);
        auto it = m_ids.find(key);
        if (it != m_ids.end())
            return it->second;
        if (m_keys.size() >= 0x7FFE)
            return 0;
        const uint16_t id = static_cast<uint16_t>(0x8000 + m_keys.size());
        m_ids.emplace(key, id);
        m_keys.push_back(key);
        return id;
    }
    bool Empty() const { return m_keys.empty(); }

    // The __nameid_version1.0 storage: GUID, entry and string streams, and
    // the ID-to-name streams that map a hash of each name to its entry.
    void Write(cfb::Writer::Dir& root) const
    {
        static const std::array<uint8_t, 16> psMapi = {0x28, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
        static const std::array<uint8_t, 16> psPublic = {0x29, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
        Bytes guids, entries, strings;
        std::map<std::array<uint8_t, 16>, uint16_t> guidIndex;
        std::map<uint32_t, Bytes> buckets;
        for (size_t i = 0; i < m_keys.size(); ++i) {
            const Key& k = m_keys[i];
            uint16_t gi = 0;
            if (k.guid == psMapi) {
                gi = 1;
            } else if (k.guid == psPublic) {
                gi = 2;
            } else {
                auto it = guidIndex.find(k.guid);
                if (it == guidIndex.end()) {
                    it = guidIndex.emplace(k.guid, static_cast<uint16_t>(3 + guidIndex.size())).first;
                    guids.insert(guids.end(), k.guid.begin(), k.guid.end());
                }
                gi = it->second;
            }
            uint32_t idOrOffset = k.lid;
            uint32_t hash = k.lid;
            if (k.isString) {
                idOrOffset = static_cast<uint32_t>(strings.size());
                const Bytes name = Utf16(k.name.c_str());
                PutU32(strings, static_cast<uint32_t>(name.size()));
                strings.insert(strings.end(), name.begin(), name.end());
                while (strings.size() % 4)
                    strings.push_back(0);
                hash = static_cast<uint32_t>(crc32(0, name.data(), static_cast<uInt>(name.size())));
            }
            const uint16_t kindAndGuid = static_cast<uint16_t>((gi << 1) | (k.isString ? 1 : 0));
            PutU32(entries, idOrOffset);
            PutU16(entries, kindAndGuid);
            PutU16(entries, static_cast<uint16_t>(i));
            const uint32_t stream = 0x1000 + ((hash ^ kindAndGuid) % 0x1F);
            Bytes& bucket = buckets[stream];
            PutU32(bucket, hash);
            PutU16(bucket, kindAndGuid);
            PutU16(bucket, static_cast<uint16_t>(i));
        }
        cfb::Writer::Dir dir = root.AddStorage(msg_file::kNameIdStorage);
        dir.AddStream(msg_file::ValueStreamName(0x00020102), guids);
        dir.AddStream(msg_file::ValueStreamName(0x00030102), entries);
        dir.AddStream(msg_file::ValueStreamName(0x00040102), strings);
        for (const auto& [stream, bytes] : buckets)
            dir.AddStream(msg_file::ValueStreamName((stream << 16) | 0x0102), bytes);
    }

private:
    struct Key
    {
        std::array<uint8_t, 16> guid{};
        bool isString = false;
        uint32_t lid = 0;
        std::u16string name;
        bool operator<(const Key& o) const
        {
            return std::tie(guid, isString, lid, name) < std::tie(o.guid, o.isString, o.lid, o.name);
        }
    };
    std::map<Key, uint16_t> m_ids;
    std::vector<Key> m_keys;
};

// Tags a provider computes for the object it opened (its identity in the store
// it came from), never written: the saved file is a store of its own.
bool Computed(ULONG tag)
{
    switch (PROP_ID(tag)) {
    case PROP_ID(PR_ENTRYID):
    case PROP_ID(PR_PARENT_ENTRYID):
    case PROP_ID(PR_STORE_ENTRYID):
    case PROP_ID(PR_STORE_RECORD_KEY):
    case PROP_ID(PR_RECORD_KEY):
    case PROP_ID(PR_OBJECT_TYPE):
    case PROP_ID(PR_INSTANCE_KEY):
    case PROP_ID(PR_ATTACH_NUM):
        return true;
    default:
        return false;
    }
}

class Saver
{
public:
    Saver(NameMapOut& names, MsgSaveReport& report) : m_names(names), m_report(report) {}

    // A message into a storage: its values, recipients and attachments.
    HRESULT Message(IMessage* m, cfb::Writer::Dir& dir, bool top, const std::string& where)
    {
        LPMAPITABLE t = nullptr;
        std::vector<std::vector<SPropValue>> recipients;
        std::vector<std::unique_ptr<SRowSet, void (*)(LPSRowSet)>> keepRows;
        HRESULT hr = m->GetRecipientTable(MAPI_UNICODE, &t);
        if (FAILED(hr))
            return hr;
        {
            Ref<IMAPITable> table(t);
            LPSRowSet rows = nullptr;
            hr = HrQueryAllRows(table.get(), nullptr, nullptr, nullptr, 0, &rows);
            if (FAILED(hr))
                return hr;
            keepRows.emplace_back(rows, [](LPSRowSet r) { FreeProws(r); });
            for (ULONG i = 0; i < rows->cRows; ++i) {
                cfb::Writer::Dir r = dir.AddStorage(msg_file::RecipientStorageName(i));
                std::vector<SPropValue> values(rows->aRow[i].lpProps, rows->aRow[i].lpProps + rows->aRow[i].cValues);
                hr = Object(m, values, nullptr, r, msg_file::kSubHeader, {}, where + "/recipient " + std::to_string(i));
                if (FAILED(hr))
                    return hr;
            }
            recipients.resize(rows->cRows);
        }
        hr = m->GetAttachmentTable(MAPI_UNICODE, &t);
        if (FAILED(hr))
            return hr;
        std::vector<ULONG> nums;
        {
            Ref<IMAPITable> table(t);
            SizedSPropTagArray(1, cols) = {1, {PR_ATTACH_NUM}};
            LPSRowSet rows = nullptr;
            hr = HrQueryAllRows(table.get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
            if (FAILED(hr))
                return hr;
            for (ULONG i = 0; i < rows->cRows; ++i)
                if (rows->aRow[i].cValues > 0 && rows->aRow[i].lpProps[0].ulPropTag == PR_ATTACH_NUM)
                    nums.push_back(rows->aRow[i].lpProps[0].Value.ul);
            FreeProws(rows);
        }
        for (size_t i = 0; i < nums.size(); ++i) {
            LPATTACH a = nullptr;
            hr = m->OpenAttach(nums[i], nullptr, 0, &a);
            if (FAILED(hr))
                return hr;
            Ref<IAttach> attach(a);
            cfb::Writer::Dir ad = dir.AddStorage(msg_file::AttachmentStorageName(static_cast<uint32_t>(i)));
            hr = Attachment(attach.get(), ad, where + "/attachment " + std::to_string(i));
            if (FAILED(hr))
                return hr;
        }
        // The message's own values, with the counts its header gives.
        Bytes header(8, 0);
        const uint32_t nRecip = static_cast<uint32_t>(recipients.size());
        const uint32_t nAttach = static_cast<uint32_t>(nums.size());
        PutU32(header, nRecip);
        PutU32(header, nAttach);
        PutU32(header, nRecip);
        PutU32(header, nAttach);
        if (top)
            header.resize(msg_file::kTopHeader, 0);
        std::vector<SPropValue> extra;
        SPropValue mask{};
        mask.ulPropTag = PR_STORE_SUPPORT_MASK;
        mask.Value.ul = kStoreUnicodeOk;
        if (top)
            extra.push_back(mask);
        return Values(m, dir, header, extra, where);
    }

    // The values GetProps gives, with large ones read through their streams.
    HRESULT Values(IMAPIProp* obj, cfb::Writer::Dir& dir, const Bytes& header, const std::vector<SPropValue>& extra,
                   const std::string& where)
    {
        ULONG count = 0;
        LPSPropValue raw = nullptr;
        HRESULT hr = obj->GetProps(nullptr, MAPI_UNICODE, &count, &raw);
        if (FAILED(hr))
            return hr;
        std::unique_ptr<SPropValue, FreeBuffer> keep(raw);
        // What the file must hold comes first and wins over the object's own value.
        std::vector<SPropValue> values = extra;
        values.insert(values.end(), raw, raw + count);
        // The real types of values too large for GetProps.
        LPSPropTagArray list = nullptr;
        if (SUCCEEDED(obj->GetPropList(MAPI_UNICODE, &list)) && list) {
            std::unique_ptr<SPropTagArray, FreeBuffer> keepList(list);
            m_types.clear();
            for (ULONG i = 0; i < list->cValues; ++i)
                m_types[PROP_ID(list->aulPropTag[i])] = PROP_TYPE(list->aulPropTag[i]);
        }
        return Object(obj, values, obj, dir, header.size(), header, where);
    }

    HRESULT Attachment(IAttach* a, cfb::Writer::Dir& dir, const std::string& where)
    {
        LPUNKNOWN unk = nullptr;
        HRESULT hr = a->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, &unk);
        if (SUCCEEDED(hr)) {
            Ref<IMessage> embedded(static_cast<IMessage*>(unk));
            cfb::Writer::Dir sub = dir.AddStorage(msg_file::kEmbeddedStorage, kMessageClsid);
            hr = Message(embedded.get(), sub, false, where + "/message");
            if (FAILED(hr))
                return hr;
            SPropValue obj{};
            obj.ulPropTag = PR_ATTACH_DATA_OBJ;
            return Values(a, dir, Bytes(msg_file::kSubHeader, 0), {obj}, where);
        }
        return Values(a, dir, Bytes(msg_file::kSubHeader, 0), {}, where);
    }

private:
    // Writes values into dir's property stream and value streams. obj, when
    // given, is asked for large values and for names.
    HRESULT Object(IMAPIProp* owner, std::vector<SPropValue>& values, IMAPIProp* obj, cfb::Writer::Dir& dir,
                   size_t headerSize, const Bytes& header, const std::string& where)
    {
        Bytes stream = header;
        stream.resize(headerSize, 0);
        std::map<ULONG, bool> written;
        for (const SPropValue& v : values) {
            ULONG tag = v.ulPropTag;
            ULONG type = PROP_TYPE(tag);
            const ULONG id = PROP_ID(tag);
            if (Computed(tag) || written[id] || type == PT_NULL || type == PT_UNSPECIFIED)
                continue;
            Bytes large;
            if (type == PT_ERROR) {
                if (v.Value.err != MAPI_E_NOT_ENOUGH_MEMORY || !obj) {
                    if (v.Value.err != MAPI_E_NOT_FOUND)
                        m_report.skipped.push_back(where + ": " + Hex(tag) + " cannot be read");
                    continue;
                }
                // GetPropList may name a large value's type, or only its error:
                // then the stream is asked for as text, then as bytes.
                auto it = m_types.find(id);
                std::vector<ULONG> types;
                if (it != m_types.end() && it->second != PT_ERROR && it->second != PT_UNSPECIFIED)
                    types.push_back(it->second);
                types.insert(types.end(), {PT_UNICODE, PT_BINARY});
                HRESULT hr = MAPI_E_NOT_FOUND;
                for (ULONG t : types) {
                    large = ReadStreamOf(obj, PROP_TAG(t, id), hr);
                    if (SUCCEEDED(hr)) {
                        type = t;
                        break;
                    }
                }
                if (FAILED(hr)) {
                    m_report.skipped.push_back(where + ": " + Hex(tag) + " cannot be read whole");
                    continue;
                }
                tag = PROP_TAG(type, id);
            }
            // A named property gets the ID of its name in the file's map.
            if (id >= 0x8000) {
                const uint16_t newId = NewId(owner, tag);
                if (!newId) {
                    m_report.skipped.push_back(where + ": " + Hex(tag) + " has no name");
                    continue;
                }
                tag = PROP_TAG(type, newId);
            }
            written[id] = true;
            Bytes value;
            if (type == PT_OBJECT) {
                PutU32(value, 0xFFFFFFFF);
                PutU32(value, 0);
            } else if (!(type & MV_FLAG) && type != PT_CLSID && FixedSize(type)) {
                Bytes inl(8, 0);
                std::memcpy(inl.data(), &v.Value, FixedSize(type));
                if (type == PT_BOOLEAN) {
                    std::fill(inl.begin(), inl.end(), 0);
                    inl[0] = v.Value.b ? 1 : 0;
                }
                value = inl;
            } else {
                const uint32_t size = Streams(v, tag, large, dir);
                PutU32(value, size);
                PutU32(value, 0);
            }
            PutU32(stream, tag);
            PutU32(stream, kPropAttrReadWrite);
            stream.insert(stream.end(), value.begin(), value.end());
        }
        dir.AddStream(msg_file::kPropertiesStream, stream);
        return S_OK;
    }

    static unsigned FixedSize(ULONG type)
    {
        switch (type) {
        case PT_I2: return 2;
        case PT_LONG: case PT_R4: case PT_ERROR: return 4;
        case PT_BOOLEAN: return 2;
        case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME: case PT_I8: case PT_SYSTIME: return 8;
        case PT_CLSID: return 16;
        default: return 0;
        }
    }

    // The value's stream(s); returns the size its entry gives.
    uint32_t Streams(const SPropValue& v, ULONG tag, const Bytes& large, cfb::Writer::Dir& dir)
    {
        const ULONG type = PROP_TYPE(tag);
        const std::string name = msg_file::ValueStreamName(tag);
        if (!large.empty() || PROP_TYPE(v.ulPropTag) == PT_ERROR) {
            dir.AddStream(name, large);
            return static_cast<uint32_t>(large.size() + (type == PT_UNICODE ? 2 : 0));
        }
        switch (type) {
        case PT_UNICODE: {
            const Bytes b = Utf16(reinterpret_cast<const char16_t*>(v.Value.lpszW));
            dir.AddStream(name, b);
            return static_cast<uint32_t>(b.size() + 2);
        }
        case PT_STRING8: {
            const size_t n = v.Value.lpszA ? std::strlen(v.Value.lpszA) : 0;
            dir.AddStream(name, {reinterpret_cast<const uint8_t*>(v.Value.lpszA), n});
            return static_cast<uint32_t>(n + 1);
        }
        case PT_CLSID:
            dir.AddStream(name, {reinterpret_cast<const uint8_t*>(v.Value.lpguid), 16});
            return 16;
        case PT_MV_UNICODE: {
            Bytes lengths;
            for (ULONG i = 0; i < v.Value.MVszW.cValues; ++i) {
                Bytes item = Utf16(reinterpret_cast<const char16_t*>(v.Value.MVszW.lppszW[i]));
                item.push_back(0);
                item.push_back(0);
                PutU32(lengths, static_cast<uint32_t>(item.size()));
                dir.AddStream(msg_file::MultiValueStreamName(tag, i), item);
            }
            dir.AddStream(name, lengths);
            return static_cast<uint32_t>(lengths.size());
        }
        case PT_MV_STRING8: {
            Bytes lengths;
            for (ULONG i = 0; i < v.Value.MVszA.cValues; ++i) {
                const char* s = v.Value.MVszA.lppszA[i];
                Bytes item(reinterpret_cast<const uint8_t*>(s), reinterpret_cast<const uint8_t*>(s) + (s ? std::strlen(s) : 0));
                item.push_back(0);
                PutU32(lengths, static_cast<uint32_t>(item.size()));
                dir.AddStream(msg_file::MultiValueStreamName(tag, i), item);
            }
            dir.AddStream(name, lengths);
            return static_cast<uint32_t>(lengths.size());
        }
        case PT_MV_BINARY: {
            Bytes lengths;
            for (ULONG i = 0; i < v.Value.MVbin.cValues; ++i) {
                const SBinary& b = v.Value.MVbin.lpbin[i];
                PutU32(lengths, b.cb);
                PutU32(lengths, 0);
                dir.AddStream(msg_file::MultiValueStreamName(tag, i), {b.lpb, b.cb});
            }
            dir.AddStream(name, lengths);
            return static_cast<uint32_t>(lengths.size());
        }
        default:
            if (type & MV_FLAG) {
                const unsigned size = FixedSize(type & ~MV_FLAG);
                const size_t n = v.Value.MVl.cValues;
                dir.AddStream(name, {reinterpret_cast<const uint8_t*>(v.Value.MVl.lpl), n * size});
                return static_cast<uint32_t>(n * size);
            }
            // Binary and every other variable-size value: its bytes.
            dir.AddStream(name, {v.Value.bin.lpb, v.Value.bin.cb});
            return v.Value.bin.cb;
        }
    }

    uint16_t NewId(IMAPIProp* owner, ULONG tag)
    {
        SizedSPropTagArray(1, one) = {1, {tag}};
        LPSPropTagArray asked = reinterpret_cast<LPSPropTagArray>(&one);
        ULONG count = 0;
        LPMAPINAMEID* names = nullptr;
        if (FAILED(owner->GetNamesFromIDs(&asked, nullptr, 0, &count, &names)) || !names)
            return 0;
        std::unique_ptr<LPMAPINAMEID, FreeBuffer> keep(names);
        if (count != 1 || !names[0] || !names[0]->lpguid)
            return 0;
        return m_names.IdOf(*names[0]);
    }

    static std::string Hex(ULONG tag)
    {
        char b[16];
        std::snprintf(b, sizeof b, "0x%08X", tag);
        return b;
    }

    NameMapOut& m_names;
    MsgSaveReport& m_report;
    std::map<ULONG, ULONG> m_types;
};

} // namespace

HRESULT SaveMessageAsMsg(IMessage* message, const std::string& path, MsgSaveReport* report)
{
    if (!message || path.empty())
        return MAPI_E_INVALID_PARAMETER;
    MsgSaveReport local;
    MsgSaveReport& r = report ? *report : local;
    // The temporary file lives beside the target, so that the rename replaces it in one step.
    const std::filesystem::path target(path);
    std::mt19937 gen(std::random_device{}());
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%06u.tmp", static_cast<unsigned>(gen() % 1000000));
    const std::string temp = path + suffix;
    try {
        HRESULT hr = S_OK;
        {
            cfb::Writer w(temp);
            w.SetRootClassId(kMessageClsid);
            NameMapOut names;
            Saver saver(names, r);
            hr = saver.Message(message, w.Root(), true, "message");
            if (SUCCEEDED(hr)) {
                names.Write(w.Root());
                w.Close();
            }
        }
        if (FAILED(hr)) {
            std::remove(temp.c_str());
            return hr;
        }
        if (std::rename(temp.c_str(), path.c_str()) != 0) {
            std::remove(temp.c_str());
            return MAPI_E_DISK_ERROR;
        }
        return S_OK;
    } catch (const pst::Error&) {
        std::remove(temp.c_str());
        return MAPI_E_DISK_ERROR;
    } catch (const std::bad_alloc&) {
        std::remove(temp.c_str());
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

} // namespace dravik::mapi32
