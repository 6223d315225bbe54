#include "msg_file.h"

#include "pst/util/reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace dravik::mapi32::msg_file {

std::string ValueStreamName(uint32_t tag)
{
    char name[32];
    std::snprintf(name, sizeof name, "__substg1.0_%08X", tag);
    return name;
}

std::string MultiValueStreamName(uint32_t tag, uint32_t index)
{
    char name[48];
    std::snprintf(name, sizeof name, "__substg1.0_%08X-%08X", tag, index);
    return name;
}

std::string RecipientStorageName(uint32_t index)
{
    char name[48];
    std::snprintf(name, sizeof name, "__recip_version1.0_#%08X", index);
    return name;
}

std::string AttachmentStorageName(uint32_t index)
{
    char name[48];
    std::snprintf(name, sizeof name, "__attach_version1.0_#%08X", index);
    return name;
}

const pst::Property* Values::find(uint16_t id) const
{
    for (const pst::Property& p : props)
        if (p.id == id)
            return &p;
    return nullptr;
}

std::optional<pst::Property> Values::get(uint16_t id) const
{
    if (const pst::Property* p = find(id))
        return *p;
    return std::nullopt;
}

std::optional<uint32_t> Values::u32(uint16_t id) const
{
    const pst::Property* p = find(id);
    if (!p || p->type != 0x0003 || p->raw.size() != 4)
        return std::nullopt;
    return p->raw[0] | (p->raw[1] << 8) | (p->raw[2] << 16) | (static_cast<uint32_t>(p->raw[3]) << 24);
}

namespace {

constexpr uint16_t kPtClsid = 0x0048;
constexpr uint16_t kPtBinary = 0x0102;
constexpr uint16_t kPtObject = 0x000D;

void PutU32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Whether a value of this type lives in the 8 bytes of its entry (a fixed-size
// single value other than a GUID) rather than in a stream of its own.
bool Inline(uint16_t type)
{
    return !(type & pst::kMvFlag) && type != kPtClsid && pst::fixedTypeSize(type) > 0;
}

// A multi-valued value of variable-size elements: the lengths stream names the
// elements, each in a stream of its own; kept in a store file's layout (a
// count, the offsets, the elements).
std::vector<uint8_t> ReadMultiVariable(const cfb::Storage& s, uint32_t tag, uint16_t base)
{
    const std::vector<uint8_t> lengths = s.ReadStream(ValueStreamName(tag));
    const size_t entry = base == kPtBinary ? 8 : 4;
    if (lengths.size() % entry != 0)
        throw pst::Error::corrupt("lengths stream " + ValueStreamName(tag) + " size", pst::Where{},
                                  lengths.size() / entry * entry, lengths.size());
    const size_t count = lengths.size() / entry;
    std::vector<std::vector<uint8_t>> items;
    items.reserve(count);
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        items.push_back(s.ReadStream(MultiValueStreamName(tag, static_cast<uint32_t>(i))));
        total += items.back().size();
        if (total > s.Owner().Size())
            throw pst::Error::corrupt("multi-valued " + ValueStreamName(tag) + " size", pst::Where{}, s.Owner().Size(),
                                      total);
    }
    std::vector<uint8_t> raw;
    raw.reserve(4 + 4 * count + total);
    PutU32(raw, static_cast<uint32_t>(count));
    uint32_t offset = static_cast<uint32_t>(4 + 4 * count);
    for (const auto& item : items) {
        PutU32(raw, offset);
        offset += static_cast<uint32_t>(item.size());
    }
    for (const auto& item : items)
        raw.insert(raw.end(), item.begin(), item.end());
    return raw;
}

// The values of the storage's property stream, whose entries follow a header
// of headerSize bytes. headerOut receives the header.
void ReadValues(const cfb::Storage& s, size_t headerSize, Values& out, std::vector<uint8_t>* headerOut = nullptr)
{
    std::vector<uint8_t> stream;
    try {
        stream = s.ReadStream(kPropertiesStream);
    } catch (const pst::Error& e) {
        out.error = e.what();
        return;
    }
    if (stream.size() < headerSize) {
        out.error = pst::Error::corrupt("property stream " + s.Path() + "/" + kPropertiesStream +
                                            " is shorter than its header",
                                        pst::Where{}, headerSize, stream.size())
                        .what();
        return;
    }
    if ((stream.size() - headerSize) % 16 != 0) {
        out.error = pst::Error::corrupt("property stream " + s.Path() + "/" + kPropertiesStream +
                                            " ends inside an entry",
                                        pst::Where::at(stream.size()),
                                        (stream.size() - headerSize) / 16 * 16 + headerSize, stream.size())
                        .what();
        return;
    }
    if (headerOut)
        headerOut->assign(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(headerSize));
    pst::LeReader r(stream, "property stream");
    r.seek(headerSize, "header");
    while (r.remaining() >= 16) {
        const uint32_t tag = r.u32("PropertyTag");
        r.u32("Flags");
        const std::span<const uint8_t> value = r.bytes(8, "Value");
        pst::Property p;
        p.id = static_cast<uint16_t>(tag >> 16);
        p.type = static_cast<uint16_t>(tag & 0xFFFF);
        if (p.type == kPtObject) {
            // An embedded message or an OLE storage: opened, never read as a value.
            out.props.push_back(std::move(p));
            continue;
        }
        if (p.type == 0x0000 || p.type == 0x0001) {
            out.props.push_back(std::move(p));
            continue;
        }
        if (Inline(p.type)) {
            p.raw.assign(value.begin(), value.begin() + pst::fixedTypeSize(p.type));
            out.props.push_back(std::move(p));
            continue;
        }
        try {
            const uint16_t base = p.type & ~pst::kMvFlag;
            if ((p.type & pst::kMvFlag) && !pst::fixedTypeSize(base))
                p.raw = ReadMultiVariable(s, tag, base);
            else
                p.raw = s.ReadStream(ValueStreamName(tag));
            if (p.type == kPtClsid && p.raw.size() != 16)
                throw pst::Error::corrupt("GUID stream " + s.Path() + "/" + ValueStreamName(tag) + " size",
                                          pst::Where{}, 16, p.raw.size());
            out.props.push_back(std::move(p));
        } catch (const pst::Error& e) {
            out.damaged.emplace_back(p.id, e.what());
        }
    }
}

// The indices of a storage's children named prefix + 8 hex digits, in order.
std::vector<std::pair<uint32_t, std::string>> Numbered(const std::vector<cfb::Storage::Entry>& children,
                                                       const std::string& prefix)
{
    std::vector<std::pair<uint32_t, std::string>> out;
    for (const cfb::Storage::Entry& c : children) {
        if (!c.storage || c.name.size() != prefix.size() + 8 || c.name.compare(0, prefix.size(), prefix) != 0)
            continue;
        uint32_t n = 0;
        bool ok = true;
        for (size_t i = prefix.size(); i < c.name.size() && ok; ++i) {
            const char ch = c.name[i];
            const int d = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                          : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : -1;
            ok = d >= 0;
            n = n * 16 + static_cast<uint32_t>(d < 0 ? 0 : d);
        }
        if (ok)
            out.emplace_back(n, c.name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

void ReadMessage(const cfb::Storage& s, size_t headerSize, int depth, Message& m)
{
    if (depth > kMaxDepth)
        throw pst::Error::corrupt("embedded messages nested deeper than " + std::to_string(kMaxDepth) + " at " +
                                  s.Path());
    ReadValues(s, headerSize, m.values);
    const std::vector<cfb::Storage::Entry> children = s.Children();
    for (const auto& [n, name] : Numbered(children, "__recip_version1.0_#")) {
        Recipient& r = m.recipients.emplace_back();
        ReadValues(s.Child(name), kSubHeader, r.values);
    }
    for (const auto& [n, name] : Numbered(children, "__attach_version1.0_#")) {
        Attachment& a = m.attachments.emplace_back();
        const cfb::Storage as = s.Child(name);
        ReadValues(as, kSubHeader, a.values);
        if (!as.HasStorage(kEmbeddedStorage))
            continue;
        const cfb::Storage data = as.Child(kEmbeddedStorage);
        const std::optional<uint32_t> method = a.values.u32(kIdAttachMethod);
        if (method && *method == kAttachOle) {
            // The object's storage, and its bytes as a compound file of its own:
            // binary PR_ATTACH_DATA_OBJ, as a store file's OLE attachment reads.
            a.storage = data;
            try {
                cfb::Writer w;
                w.SetRootClassId(data.ClassId());
                uint64_t budget = s.Owner().Size();
                w.Root().CopyFrom(data, budget);
                w.Close();
                pst::Property p;
                p.id = kIdAttachDataObj;
                p.type = kPtBinary;
                p.raw = w.Bytes();
                std::erase_if(a.values.props, [](const pst::Property& v) { return v.id == kIdAttachDataObj; });
                a.values.props.push_back(std::move(p));
            } catch (const pst::Error& e) {
                a.values.damaged.emplace_back(kIdAttachDataObj, e.what());
            }
            continue;
        }
        auto embedded = std::make_shared<Message>();
        try {
            ReadMessage(data, kEmbeddedHeader, depth + 1, *embedded);
            if (!embedded->values.error.empty())
                a.embeddedError = embedded->values.error;
            else
                a.embedded = std::move(embedded);
        } catch (const pst::Error& e) {
            a.embeddedError = e.what();
        }
    }
}

} // namespace

std::shared_ptr<MsgFile> Read(std::shared_ptr<cfb::File> file)
{
    auto msg = std::make_shared<MsgFile>();
    msg->file = std::move(file);
    const cfb::Storage root = msg->file->Root();
    ReadMessage(root, kTopHeader, 0, msg->message);
    if (!msg->message.values.error.empty())
        throw pst::Error::corrupt(msg->message.values.error);
    if (root.HasStorage(kNameIdStorage)) {
        try {
            const cfb::Storage names = root.Child(kNameIdStorage);
            auto stream = [&names](uint32_t tag) {
                const std::string name = ValueStreamName(tag);
                return names.HasStream(name) ? names.ReadStream(name) : std::vector<uint8_t>{};
            };
            msg->names = pst::NameMap(stream(0x00020102), stream(0x00030102), stream(0x00040102));
        } catch (const pst::Error& e) {
            msg->namesError = e.what();
        }
    }
    return msg;
}

std::shared_ptr<MsgFile> ReadFile(const std::string& path)
{
    return Read(cfb::File::Open(path));
}

} // namespace dravik::mapi32::msg_file
