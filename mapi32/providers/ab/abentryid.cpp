#include "mapi32/providers/ab/abentryid.h"

#include "mapi32/propobject.h"

#include "pst/ltp/property.h"
#include "pst/util/reader.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <span>

namespace dravik::mapi32::ab {

const MAPIUID kAbProviderUid = {{0x44, 0x52, 0x56, 0x4B, 0x41, 0x42, 0x52, 0x54, 0x9A, 0x31, 0x27, 0x70, 0x0C, 0x11,
                                 0xEF, 0x03}};

namespace {

constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderSize = 32;

// MS-OXCDATA 2.2.5.1: the one-off provider UID and the Unicode bit of its flags word.
constexpr uint8_t kOneOffUid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                    0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
constexpr uint16_t kOneOffUnicode = 0x8000;
constexpr uint16_t kOneOffNoRichInfo = 0x0001;

// MS-OXOCNTC 2.2.2.2.4.1.1: the provider UID of wrapped entry IDs.
constexpr uint8_t kWrappedUid[16] = {0xC0, 0x91, 0xAD, 0xD3, 0x51, 0x9D, 0xCF, 0x11,
                                     0xA4, 0xA9, 0x00, 0xAA, 0x00, 0x47, 0xFA, 0xA4};

void PutU32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool HasUid(const uint8_t* bytes, size_t cb, const uint8_t* uid)
{
    return bytes && cb >= 20 && std::memcmp(bytes + 4, uid, 16) == 0;
}

bool ValidUtf8(const std::string& s)
{
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : SIZE_MAX;
        if (n == SIZE_MAX || n >= s.size() - i)
            return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n + 1;
    }
    return true;
}

// An 8-bit string of a one-off entry ID: UTF-8 when it reads as such, else Latin-1.
std::string NarrowToUtf8(const std::string& s)
{
    if (ValidUtf8(s))
        return s;
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A NUL-terminated string of one-off entry ID; throws when the terminator is missing.
std::string ReadOneOffString(pst::LeReader& r, bool unicode, const char* field)
{
    if (unicode) {
        const size_t start = r.pos();
        while (r.u16(field) != 0) {
        }
        const auto all = r.data();
        return pst::utf16ToUtf8(all.data() + start, r.pos() - start - 2);
    }
    std::string s;
    for (uint8_t c = r.u8(field); c != 0; c = r.u8(field))
        s += static_cast<char>(c);
    return NarrowToUtf8(s);
}

} // namespace

std::vector<uint8_t> EncodeAbEntryId(const AbEntryId& id)
{
    std::vector<uint8_t> out(4, 0);
    out.insert(out.end(), kAbProviderUid.ab, kAbProviderUid.ab + 16);
    out.push_back(kVersion);
    out.push_back(static_cast<uint8_t>(id.kind));
    out.push_back(id.emailIndex);
    out.push_back(0);
    PutU32(out, static_cast<uint32_t>(id.storeEntryId.size()));
    PutU32(out, static_cast<uint32_t>(id.objectEntryId.size()));
    out.insert(out.end(), id.storeEntryId.begin(), id.storeEntryId.end());
    out.insert(out.end(), id.objectEntryId.begin(), id.objectEntryId.end());
    return out;
}

EntryIdCheck DecodeAbEntryId(const uint8_t* bytes, size_t cb, AbEntryId& out)
{
    if (!HasUid(bytes, cb, kAbProviderUid.ab))
        return EntryIdCheck::Foreign;
    try {
        pst::LeReader r(std::span<const uint8_t>(bytes, cb), "address book entry ID");
        if (r.u32("abFlags") != 0 || (r.skip(16, "ProviderUID"), r.u8("Version")) != kVersion)
            return EntryIdCheck::Malformed;
        const uint8_t kind = r.u8("Kind");
        const uint8_t index = r.u8("EmailIndex");
        if (r.u8("Reserved") != 0 || kind > static_cast<uint8_t>(AbKind::DistList))
            return EntryIdCheck::Malformed;
        const uint32_t cbStore = r.u32("cbStore");
        const uint32_t cbObject = r.u32("cbObject");
        // Both sizes against what is left, before anything is taken or allocated.
        if (cbStore > r.remaining() || cbObject != r.remaining() - cbStore)
            return EntryIdCheck::Malformed;
        AbEntryId id;
        id.kind = static_cast<AbKind>(kind);
        id.emailIndex = index;
        const bool root = id.kind == AbKind::Root;
        if (root != (cbStore == 0) || root != (cbObject == 0))
            return EntryIdCheck::Malformed;
        if ((id.kind == AbKind::MailUser) != (index >= 1 && index <= 3) || (id.kind != AbKind::MailUser && index != 0))
            return EntryIdCheck::Malformed;
        auto store = r.bytes(cbStore, "store entry ID");
        auto object = r.bytes(cbObject, "object entry ID");
        id.storeEntryId.assign(store.begin(), store.end());
        id.objectEntryId.assign(object.begin(), object.end());
        out = std::move(id);
        return EntryIdCheck::Ours;
    } catch (const pst::Error&) {
        return EntryIdCheck::Malformed;
    }
}

std::vector<uint8_t> EncodeOneOff(const OneOffEntry& entry, bool unicode)
{
    std::vector<uint8_t> out(4, 0);
    out.insert(out.end(), kOneOffUid, kOneOffUid + 16);
    out.push_back(0);  // Version
    out.push_back(0);
    const uint16_t flags = kOneOffNoRichInfo | (unicode ? kOneOffUnicode : 0);
    out.push_back(static_cast<uint8_t>(flags));
    out.push_back(static_cast<uint8_t>(flags >> 8));
    for (const std::string* s : {&entry.displayName, &entry.addressType, &entry.address}) {
        if (unicode) {
            for (char16_t c : Utf8ToUtf16(*s)) {
                out.push_back(static_cast<uint8_t>(c));
                out.push_back(static_cast<uint8_t>(c >> 8));
            }
            out.push_back(0);
        } else {
            out.insert(out.end(), s->begin(), s->end());
        }
        out.push_back(0);
    }
    return out;
}

bool DecodeOneOff(const uint8_t* bytes, size_t cb, OneOffEntry& out)
{
    if (!HasUid(bytes, cb, kOneOffUid))
        return false;
    try {
        pst::LeReader r(std::span<const uint8_t>(bytes, cb), "one-off entry ID");
        if (r.u32("Flags") != 0)
            return false;
        r.skip(16, "ProviderUID");
        if (r.u16("Version") != 0)
            return false;
        const bool unicode = (r.u16("Flags") & kOneOffUnicode) != 0;
        OneOffEntry e;
        e.displayName = ReadOneOffString(r, unicode, "DisplayName");
        e.addressType = ReadOneOffString(r, unicode, "AddressType");
        e.address = ReadOneOffString(r, unicode, "EmailAddress");
        out = std::move(e);
        return true;
    } catch (const pst::Error&) {
        return false;
    }
}

uint8_t WrappedEntryId::EmailIndex() const
{
    // Bits 4-6 of a contact's wrapped entry ID: 0-2 the fax numbers, 4-6 Email1..Email3.
    const uint8_t n = (type >> 4) & 0x07;
    return EmbeddedKind() == kWrappedContact && n >= 4 && n <= 6 ? static_cast<uint8_t>(n - 3) : 0;
}

bool DecodeWrapped(const uint8_t* bytes, size_t cb, WrappedEntryId& out)
{
    if (!HasUid(bytes, cb, kWrappedUid) || cb < 21)
        return false;
    if (bytes[0] || bytes[1] || bytes[2] || bytes[3])
        return false;
    out.type = bytes[20];
    out.embedded.assign(bytes + 21, bytes + cb);
    return true;
}

std::vector<uint8_t> SearchKey(const std::string& addressType, const std::string& address)
{
    std::string s = addressType + ":" + address;
    std::transform(s.begin(), s.end(), s.begin(), [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    });
    std::vector<uint8_t> out(s.begin(), s.end());
    out.push_back(0);
    return out;
}

std::string Utf16leToUtf8(const uint8_t* bytes, size_t cb)
{
    return pst::utf16ToUtf8(bytes, cb & ~size_t{1});
}

} // namespace dravik::mapi32::ab
