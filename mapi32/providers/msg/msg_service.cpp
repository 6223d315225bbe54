// The .msg service: a store whose root folder holds the one message of a .msg
// file (configured with PR_PST_PATH, as a store file is). The file is read
// whole at logon, read-only; the message, its recipients, attachments and
// embedded messages are read-only MAPI objects over what was read, with the
// store provider's value rules: strings held as UTF-16 and handed out in the
// form asked for, 8-bit strings in the code page the store provider's rules
// pick, values above 32 KiB read through OpenProperty, damage as PT_ERROR
// MAPI_E_CORRUPT_DATA. Tables come from the one table implementation.
#include "cfb_storage.h"
#include "msg_file.h"
#include "msg_service.h"

#include "mapi32/providers/pst/pst_store.h"

#include "mapi32/codepage.h"
#include "mapi32/mapiguid.h"
#include "mapi32/memstream.h"
#include "mapi32/propobject.h"
#include "mapi32/provider.h"
#include "mapi32/table.h"
#include "mapi32/utf.h"

#include <sys/stat.h>

#include <filesystem>
#include <functional>

namespace dravik::mapi32 {
namespace {

using namespace pst_provider;
using msg_file::Values;

constexpr uint32_t kRootId = 1;
constexpr uint32_t kMessageId = 2;

struct MsgContext
{
    std::shared_ptr<msg_file::MsgFile> msg;
    std::string path;
    std::string displayName;
    std::string storeEntryId;
    std::vector<uint8_t> recordKey;  // 16 bytes, from the file's path
    uint32_t codePage = pst_text::kDefaultCodePage;  // the message's own, or the user's choice
    uint32_t userCodePage = 0;

    std::vector<uint8_t> EntryId(uint32_t id) const
    {
        std::vector<uint8_t> eid(4 + recordKey.size() + 4, 0);
        std::copy(recordKey.begin(), recordKey.end(), eid.begin() + 4);
        for (size_t i = 0; i < 4; ++i)
            eid[4 + recordKey.size() + i] = static_cast<uint8_t>(id >> (8 * i));
        return eid;
    }
    bool ParseEntryId(ULONG cb, const ENTRYID* lpEntryID, uint32_t& id) const
    {
        if (!lpEntryID || cb != 4 + recordKey.size() + 4)
            return false;
        const auto* p = reinterpret_cast<const uint8_t*>(lpEntryID);
        if (std::memcmp(p + 4, recordKey.data(), recordKey.size()) != 0)
            return false;
        const uint8_t* n = p + 4 + recordKey.size();
        id = n[0] | (n[1] << 8) | (n[2] << 16) | (static_cast<uint32_t>(n[3]) << 24);
        return id == kRootId || id == kMessageId;
    }
    uint32_t CodePageOf(const Values& v, uint32_t fallback) const
    {
        if (userCodePage)
            return userCodePage;
        if (auto cp = OwnCodePage([&v](uint16_t id) { return v.get(id); }))
            return *cp;
        return fallback;
    }
    void AddCommon(ValueBuilder& b, ULONG objectType) const
    {
        if (!b.has(PR_OBJECT_TYPE))
            b.addLong(PR_OBJECT_TYPE, objectType);
        if (!b.has(PR_STORE_ENTRYID))
            b.addBinary(PR_STORE_ENTRYID, std::vector<uint8_t>(storeEntryId.begin(), storeEntryId.end()));
        if (!b.has(PR_STORE_RECORD_KEY))
            b.addBinary(PR_STORE_RECORD_KEY, recordKey);
    }
};
using Ctx = std::shared_ptr<const MsgContext>;

// An object's values as the file holds them: large ones as MAPI_E_NOT_ENOUGH_MEMORY
// (read whole through OpenProperty), damaged ones as MAPI_E_CORRUPT_DATA.
void AddValues(ValueBuilder& b, const Values& v)
{
    for (const pst::Property& p : v.props) {
        if (pst::isVariableType(p.type) && p.raw.size() > kMaxInlineValue)
            b.addError(p.id, MAPI_E_NOT_ENOUGH_MEMORY);
        else
            b.add(p);
    }
    for (const auto& [id, what] : v.damaged)
        if (!b.has(PROP_TAG(PT_UNSPECIFIED, id)))
            b.addError(id, MAPI_E_CORRUPT_DATA);
}

void AddHasAttach(ValueBuilder& b, const msg_file::Message& m)
{
    if (b.has(PR_HASATTACH))
        return;
    const SPropValue* flags = b.find(kIdMessageFlags);
    if (flags && PROP_TYPE(flags->ulPropTag) == PT_LONG)
        b.addBool(PR_HASATTACH, (flags->Value.ul & kMsgFlagHasAttach) != 0);
    else
        b.addBool(PR_HASATTACH, !m.attachments.empty());
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

// IMAPIProp::OpenProperty as a stream over a value of the file: strings in the
// form the tag names (PT_STRING8 as UTF-8, PT_UNICODE as UTF-16LE), other
// variable-size values as their bytes.
HRESULT OpenStream(const Values& v, uint32_t codePage, ULONG tag, LPCIID iid, ULONG flags, LPUNKNOWN* out)
{
    if (!out || !iid)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (flags & (MAPI_MODIFY | MAPI_CREATE))
        return MAPI_E_NO_ACCESS;
    if (*iid != IID_IStream && *iid != IID_ISequentialStream)
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    const ULONG want = PROP_TYPE(tag);
    if (want & MV_FLAG)
        return MAPI_E_NO_SUPPORT;
    const uint16_t id = static_cast<uint16_t>(PROP_ID(tag));
    for (const auto& d : v.damaged)
        if (d.first == id)
            return MAPI_E_CORRUPT_DATA;
    const pst::Property* p = v.find(id);
    if (!p)
        return MAPI_E_NOT_FOUND;
    if ((p->type & MV_FLAG) || p->type == PT_OBJECT || !pst::isVariableType(p->type))
        return MAPI_E_NO_SUPPORT;
    std::vector<uint8_t> bytes;
    if (p->type == PT_UNICODE || p->type == PT_STRING8) {
        if (want != PT_UNICODE && want != PT_STRING8 && want != PT_UNSPECIFIED)
            return MAPI_E_NOT_FOUND;
        if (p->type == PT_UNICODE && want != PT_STRING8 && id != kIdSubject) {
            bytes = p->raw;  // as the file holds it, as the store provider streams a value of its file
        } else {
            std::u16string s =
                p->type == PT_UNICODE ? pst_text::FromUtf16Le(p->raw) : pst_text::Decode(p->raw, codePage);
            StripSubjectMarker(id, s);
            if (want == PT_STRING8) {
                const std::string narrow = Utf16ToUtf8(s);
                bytes.assign(narrow.begin(), narrow.end());
            } else {
                bytes = Utf16Bytes(s);
            }
        }
    } else {
        if (want != p->type && want != PT_UNSPECIFIED && want != PT_STRING8 && want != PT_BINARY)
            return MAPI_E_NOT_FOUND;
        bytes = p->raw;
    }
    LPSTREAM stream = nullptr;
    const HRESULT hr = CreateMemoryStream(std::move(bytes), &stream);
    *out = stream;
    return hr;
}

// A table of the given rows, each holding its strings in both forms; the
// default columns are the rows' tags, strings in the form flags ask for.
HRESULT MakeRowsTable(std::vector<ValueBuilder>& rows, ULONG flags, LPMAPITABLE* out)
{
    const ULONG strings = (flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8;
    const ULONG other = strings == PT_UNICODE ? PT_STRING8 : PT_UNICODE;
    StringForms forms;
    std::vector<std::vector<SPropValue>> table;
    std::vector<ULONG> columns;
    for (const ValueBuilder& b : rows) {
        std::vector<SPropValue>& row = table.emplace_back();
        for (const SPropValue& v : b.values) {
            row.push_back(forms.In(v, strings));
            if (IsStringType(PROP_TYPE(v.ulPropTag)))
                row.push_back(forms.In(v, other));
            const ULONG tag = row[row.size() - (IsStringType(PROP_TYPE(v.ulPropTag)) ? 2 : 1)].ulPropTag;
            if (std::find_if(columns.begin(), columns.end(),
                             [&](ULONG c) { return PROP_ID(c) == PROP_ID(tag); }) == columns.end())
                columns.push_back(PROP_TYPE(tag) == PT_ERROR ? CHANGE_PROP_TYPE(tag, PT_UNSPECIFIED) : tag);
        }
    }
    return CreateMemoryTable(table, columns, out);
}

template <typename Base, const IID&... Iids>
class MsgObject : public ReadOnlyProp<Base, Iids...>
{
public:
    HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) override
    {
        return Guarded([&] { return m_props.GetProps(tags, flags, count, out); });
    }
    HRESULT GetPropList(ULONG flags, LPSPropTagArray* out) override
    {
        return Guarded([&] { return m_props.GetPropList(flags, out); });
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG, ULONG* count, LPMAPINAMEID** names) override
    {
        if (!m_ctx->msg->namesError.empty()) {
            if (count)
                *count = 0;
            if (names)
                *names = nullptr;
            return MAPI_E_CORRUPT_DATA;
        }
        return NamesFromMap(m_ctx->msg->names, tags, guid, count, names);
    }
    HRESULT GetIDsFromNames(ULONG cNames, LPMAPINAMEID* lppNames, ULONG flags, LPSPropTagArray* out) override
    {
        if (!m_ctx->msg->namesError.empty()) {
            if (out)
                *out = nullptr;
            return MAPI_E_CORRUPT_DATA;
        }
        return IdsFromMap(m_ctx->msg->names, cNames, lppNames, flags, out);
    }

protected:
    MsgObject(ValueBuilder&& values, Ctx ctx) : m_props(std::move(values)), m_ctx(std::move(ctx)) {}
    PropertySet m_props;
    Ctx m_ctx;
};

HRESULT NewMessage(const Ctx& ctx, std::shared_ptr<const msg_file::Message> m, bool embedded, uint32_t fallbackCp,
                   LPMESSAGE* out);

class MsgAttach final : public MsgObject<IAttach, IID_IMAPIProp, IID_IAttachment>
{
public:
    MsgAttach(ValueBuilder&& values, Ctx ctx, std::shared_ptr<const msg_file::Message> owner,
              const msg_file::Attachment& attachment, uint32_t codePage)
        : MsgObject(std::move(values), std::move(ctx)), m_owner(std::move(owner)), m_attachment(attachment),
          m_codePage(codePage)
    {
    }
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        if (out && iid && *iid == IID_IMessage) {
            *out = nullptr;
            if (PROP_ID(tag) != kIdAttachData || (PROP_TYPE(tag) != PT_OBJECT && PROP_TYPE(tag) != PT_UNSPECIFIED))
                return MAPI_E_NOT_FOUND;
            if (flags & (MAPI_MODIFY | MAPI_CREATE))
                return MAPI_E_NO_ACCESS;
            if (!m_attachment.embeddedError.empty())
                return MAPI_E_CORRUPT_DATA;
            if (!m_attachment.embedded)
                return MAPI_E_NOT_FOUND;
            LPMESSAGE message = nullptr;
            const HRESULT hr = NewMessage(m_ctx, m_attachment.embedded, true, m_codePage, &message);
            if (SUCCEEDED(hr))
                *out = message;
            return hr;
        }
        if (out && iid && *iid == IID_IStorage) {
            *out = nullptr;
            if (PROP_ID(tag) != kIdAttachData || (PROP_TYPE(tag) != PT_OBJECT && PROP_TYPE(tag) != PT_UNSPECIFIED))
                return MAPI_E_NOT_FOUND;
            if (flags & (MAPI_MODIFY | MAPI_CREATE))
                return MAPI_E_NO_ACCESS;
            if (!m_attachment.storage)
                return MAPI_E_NOT_FOUND;
            LPSTORAGE storage = nullptr;
            const HRESULT hr = cfb::CreateReadOnlyStorage(*m_attachment.storage, &storage);
            *out = storage;
            return hr;
        }
        return Guarded([&] { return OpenStream(m_attachment.values, m_codePage, tag, iid, flags, out); });
    }

private:
    std::shared_ptr<const msg_file::Message> m_owner;  // keeps m_attachment alive
    const msg_file::Attachment& m_attachment;
    uint32_t m_codePage;
};

class MsgMessage final : public MsgObject<IMessage, IID_IMAPIProp, IID_IMessage>
{
public:
    MsgMessage(ValueBuilder&& values, Ctx ctx, std::shared_ptr<const msg_file::Message> message, uint32_t codePage)
        : MsgObject(std::move(values), std::move(ctx)), m_message(std::move(message)), m_codePage(codePage)
    {
    }
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        return Guarded([&] { return OpenStream(m_message->values, m_codePage, tag, iid, flags, out); });
    }
    HRESULT GetAttachmentTable(ULONG flags, LPMAPITABLE* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        return Guarded([&] {
            std::vector<ValueBuilder> rows;
            for (size_t i = 0; i < m_message->attachments.size(); ++i) {
                const msg_file::Attachment& a = m_message->attachments[i];
                ValueBuilder& b = rows.emplace_back(m_ctx->CodePageOf(a.values, m_codePage));
                AddValues(b, a.values);
                if (!a.values.error.empty())
                    b.addError(PROP_ID(PR_ATTACH_METHOD), MAPI_E_CORRUPT_DATA);
                AddRowKeys(b, i, MAPI_ATTACH);
                if (!b.has(PR_ATTACH_NUM))
                    b.addLong(PR_ATTACH_NUM, static_cast<ULONG>(i));
            }
            return MakeRowsTable(rows, flags, out);
        });
    }
    HRESULT GetRecipientTable(ULONG flags, LPMAPITABLE* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        return Guarded([&] {
            std::vector<ValueBuilder> rows;
            for (size_t i = 0; i < m_message->recipients.size(); ++i) {
                const msg_file::Recipient& r = m_message->recipients[i];
                ValueBuilder& b = rows.emplace_back(m_ctx->CodePageOf(r.values, m_codePage));
                AddValues(b, r.values);
                if (!r.values.error.empty())
                    b.addError(PROP_ID(PR_DISPLAY_NAME), MAPI_E_CORRUPT_DATA);
                AddRowKeys(b, i, MAPI_MAILUSER);
                if (!b.has(PR_ROWID))
                    b.addLong(PR_ROWID, static_cast<ULONG>(i));
            }
            return MakeRowsTable(rows, flags, out);
        });
    }
    HRESULT OpenAttach(ULONG ulAttachmentNum, LPCIID, ULONG ulFlags, LPATTACH* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (ulFlags & MAPI_MODIFY)
            return MAPI_E_NO_ACCESS;
        if (ulAttachmentNum >= m_message->attachments.size())
            return MAPI_E_NOT_FOUND;
        const msg_file::Attachment& a = m_message->attachments[ulAttachmentNum];
        if (!a.values.error.empty())
            return MAPI_E_CORRUPT_DATA;
        return Guarded([&] {
            const uint32_t cp = m_ctx->CodePageOf(a.values, m_codePage);
            ValueBuilder b(cp);
            AddValues(b, a.values);
            if (!b.has(PR_ATTACH_NUM))
                b.addLong(PR_ATTACH_NUM, ulAttachmentNum);
            if (a.embedded && !b.has(PR_ATTACH_DATA_OBJ))
                b.addError(kIdAttachData, MAPI_E_NO_SUPPORT);
            m_ctx->AddCommon(b, MAPI_ATTACH);
            *out = new MsgAttach(std::move(b), m_ctx, m_message, a, cp);
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
    static void AddRowKeys(ValueBuilder& b, size_t index, ULONG objectType)
    {
        if (!b.has(PR_INSTANCE_KEY)) {
            std::vector<uint8_t> key(4);
            for (int k = 0; k < 4; ++k)
                key[static_cast<size_t>(k)] = static_cast<uint8_t>(index >> (8 * k));
            b.addBinary(PR_INSTANCE_KEY, key);
        }
        if (!b.has(PR_OBJECT_TYPE))
            b.addLong(PR_OBJECT_TYPE, objectType);
    }

    std::shared_ptr<const msg_file::Message> m_message;
    uint32_t m_codePage;
};

// A message's values with the computed ones. An embedded message has no entry
// ID of its own and no parent folder.
void BuildMessageValues(const MsgContext& ctx, const msg_file::Message& m, bool embedded, uint32_t cp, ValueBuilder& b)
{
    AddValues(b, m.values);
    if (!embedded) {
        if (!b.has(PR_ENTRYID))
            b.addBinary(PR_ENTRYID, ctx.EntryId(kMessageId));
        if (!b.has(PR_RECORD_KEY))
            b.addBinary(PR_RECORD_KEY, ctx.EntryId(kMessageId));
        if (!b.has(PR_PARENT_ENTRYID))
            b.addBinary(PR_PARENT_ENTRYID, ctx.EntryId(kRootId));
    }
    ctx.AddCommon(b, MAPI_MESSAGE);
    AddHasAttach(b, m);
    (void)cp;
}

HRESULT NewMessage(const Ctx& ctx, std::shared_ptr<const msg_file::Message> m, bool embedded, uint32_t fallbackCp,
                   LPMESSAGE* out)
{
    return Guarded([&] {
        const uint32_t cp = ctx->CodePageOf(m->values, fallbackCp);
        ValueBuilder b(cp);
        BuildMessageValues(*ctx, *m, embedded, cp, b);
        *out = new MsgMessage(std::move(b), ctx, std::move(m), cp);
        return S_OK;
    });
}

std::shared_ptr<const msg_file::Message> TopMessage(const Ctx& ctx)
{
    return {ctx->msg, &ctx->msg->message};
}

class MsgFolder final : public ReadOnlyFolder<MsgObject<IMAPIFolder, IID_IMAPIProp, IID_IMAPIContainer, IID_IMAPIFolder>>
{
public:
    MsgFolder(ValueBuilder&& values, Ctx ctx) : ReadOnlyFolder(std::move(values), std::move(ctx)) {}
    HRESULT OpenProperty(ULONG, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        if (!out || !iid)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        return (flags & (MAPI_MODIFY | MAPI_CREATE)) ? MAPI_E_NO_ACCESS : MAPI_E_NOT_FOUND;
    }
    HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        return Guarded([&] {
            std::vector<ValueBuilder> rows;
            if (!(flags & MAPI_ASSOCIATED)) {
                const msg_file::Message& m = m_ctx->msg->message;
                ValueBuilder& b = rows.emplace_back(m_ctx->codePage);
                BuildMessageValues(*m_ctx, m, false, m_ctx->codePage, b);
                if (!b.has(PR_INSTANCE_KEY))
                    b.addBinary(PR_INSTANCE_KEY, std::vector<uint8_t>{kMessageId, 0, 0, 0});
            }
            return MakeRowsTable(rows, flags, out);
        });
    }
    HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        std::vector<ValueBuilder> rows;
        return MakeRowsTable(rows, flags, out);
    }
    HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override;
};

HRESULT OpenById(const Ctx& ctx, uint32_t id, ULONG* type, LPUNKNOWN* out)
{
    return Guarded([&]() -> HRESULT {
        if (id == kRootId) {
            ValueBuilder b(ctx->codePage);
            b.addString(PROP_ID(PR_DISPLAY_NAME), u"");
            b.addBinary(PR_ENTRYID, ctx->EntryId(kRootId));
            b.addBinary(PR_RECORD_KEY, ctx->EntryId(kRootId));
            b.addLong(PR_FOLDER_TYPE, kFolderRoot);
            b.addBool(PR_SUBFOLDERS, false);
            b.addLong(PR_CONTENT_COUNT, 1);
            const std::optional<uint32_t> flags = ctx->msg->message.values.u32(kIdMessageFlags);
            b.addLong(PR_CONTENT_UNREAD, flags && (*flags & kMsgFlagRead) ? 0 : 1);
            b.addLong(PR_ASSOC_CONTENT_COUNT, 0);
            ctx->AddCommon(b, MAPI_FOLDER);
            if (type)
                *type = MAPI_FOLDER;
            *out = static_cast<IMAPIFolder*>(new MsgFolder(std::move(b), ctx));
            return S_OK;
        }
        LPMESSAGE message = nullptr;
        const HRESULT hr = NewMessage(ctx, TopMessage(ctx), false, ctx->codePage, &message);
        if (FAILED(hr))
            return hr;
        if (type)
            *type = MAPI_MESSAGE;
        *out = message;
        return S_OK;
    });
}

HRESULT OpenEntryId(const Ctx& ctx, ULONG cb, LPENTRYID eid, ULONG flags, ULONG* type, LPUNKNOWN* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (flags & MAPI_MODIFY)
        return MAPI_E_NO_ACCESS;
    uint32_t id = kRootId;
    if (cb != 0 && eid && !ctx->ParseEntryId(cb, eid, id))
        return MAPI_E_INVALID_ENTRYID;
    return OpenById(ctx, id, type, out);
}

HRESULT MsgFolder::OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out)
{
    return OpenEntryId(m_ctx, cb, eid, flags, type, out);
}

class MsgStore final : public ReadOnlyMsgStore<MsgObject<IMsgStore, IID_IMAPIProp, IID_IMsgStore>>
{
public:
    MsgStore(ValueBuilder&& values, Ctx ctx) : ReadOnlyMsgStore(std::move(values), std::move(ctx)) {}
    HRESULT OpenProperty(ULONG, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        if (!out || !iid)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        return (flags & (MAPI_MODIFY | MAPI_CREATE)) ? MAPI_E_NO_ACCESS : MAPI_E_NOT_FOUND;
    }
    HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override
    {
        return OpenEntryId(m_ctx, cb, eid, flags, type, out);
    }
};

class MsgLogon final : public ProviderLogon
{
public:
    explicit MsgLogon(std::shared_ptr<MsgContext> ctx) : m_ctx(std::move(ctx)) {}
    HRESULT OpenMsgStore(ULONG, LPCIID, ULONG ulFlags, LPMDB* lppMDB) override
    {
        if (!lppMDB)
            return MAPI_E_INVALID_PARAMETER;
        *lppMDB = nullptr;
        if (ulFlags & MAPI_MODIFY)
            return MAPI_E_NO_ACCESS;
        return Guarded([&] {
            ValueBuilder b(m_ctx->codePage);
            b.addString(PROP_ID(PR_DISPLAY_NAME), Utf8ToUtf16(m_ctx->displayName));
            b.addBinary(PR_ENTRYID, std::vector<uint8_t>(m_ctx->storeEntryId.begin(), m_ctx->storeEntryId.end()));
            b.addBinary(PR_RECORD_KEY, m_ctx->recordKey);
            b.addLong(PR_STORE_SUPPORT_MASK, STORE_READONLY | STORE_UNICODE_OK | STORE_ENTRYID_UNIQUE);
            m_ctx->AddCommon(b, MAPI_STORE);
            *lppMDB = new MsgStore(std::move(b), m_ctx);
            return S_OK;
        });
    }
    std::string StoreDisplayName() const override { return m_ctx->displayName; }

private:
    std::shared_ptr<MsgContext> m_ctx;
};

HRESULT CheckPath(const std::string& path)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return MAPI_E_NOT_FOUND;
    if (!S_ISREG(st.st_mode))
        return MAPI_E_CORRUPT_DATA;
    return S_OK;
}

// 16 bytes that name the file: a hash of its path.
std::vector<uint8_t> RecordKeyOf(const std::string& path)
{
    std::vector<uint8_t> key(16);
    uint64_t h1 = 1469598103934665603ull, h2 = 0x9E3779B97F4A7C15ull;
    for (unsigned char c : path) {
        h1 = (h1 ^ c) * 1099511628211ull;
        h2 = (h2 ^ c) * 0x100000001B3ull + 0x2545F491;
    }
    for (int i = 0; i < 8; ++i) {
        key[static_cast<size_t>(i)] = static_cast<uint8_t>(h1 >> (8 * i));
        key[static_cast<size_t>(8 + i)] = static_cast<uint8_t>(h2 >> (8 * i));
    }
    return key;
}

HRESULT FailureOf(HRESULT hr)
{
    return hr == MAPI_E_NOT_FOUND ? MAPI_E_CORRUPT_DATA : hr;  // a compound file without a message is no .msg
}

} // namespace

HRESULT OpenMsgImage(std::shared_ptr<msg_file::MsgFile> msg, const std::string& name, LPMDB* lppMDB)
{
    auto ctx = std::make_shared<MsgContext>();
    ctx->msg = std::move(msg);
    ctx->path = name;
    ctx->displayName = name;
    ctx->recordKey = RecordKeyOf(name);
    ctx->storeEntryId = MakeStoreEntryID(MAPIUID{});
    ctx->codePage = ctx->CodePageOf(ctx->msg->message.values, pst_text::kDefaultCodePage);
    MsgLogon logon(ctx);
    return logon.OpenMsgStore(0, nullptr, 0, lppMDB);
}

void RegisterMsgService()
{
    MessageService s;
    s.name = kMsgServiceName;
    s.displayName = "Message File";
    s.providerDisplay = "Message File";
    s.dllName = "dravik-mapi32";
    s.entryName = "MSGServiceEntry";
    s.providerUid = {{0x44, 0x52, 0x56, 0x4B, 0x4D, 0x53, 0x47, 0x00, 0x9A, 0x31, 0x27, 0x70, 0x0C, 0x11, 0xEF, 0x02}};
    s.resourceType = MAPI_STORE_PROVIDER;
    s.resourceFlags = 0;
    s.isStore = true;
    s.configure = [](ULONG c, const SPropValue* props, ServiceProps& out) -> HRESULT {
        ServiceProps next = out;
        for (ULONG i = 0; i < c; ++i) {
            std::string text;
            if (PROP_ID(props[i].ulPropTag) != PROP_ID(PR_PST_PATH) || !ConfigText(props[i], text) || text.empty())
                return MAPI_E_INVALID_PARAMETER;
            HRESULT hr = CheckPath(text);
            if (FAILED(hr))
                return hr;
            hr = FailureOf(Guarded([&] {
                msg_file::ReadFile(text);
                return S_OK;
            }));
            if (FAILED(hr))
                return hr;
            next[PR_PST_PATH] = text;
        }
        out = std::move(next);
        return S_OK;
    };
    s.logon = [](const ServiceEntry& service, ULONG, ULONG, std::unique_ptr<ProviderLogon>& logon) -> HRESULT {
        const std::string path = ConfigString(service.props, PR_PST_PATH);
        if (path.empty())
            return MAPI_E_UNCONFIGURED;
        HRESULT hr = CheckPath(path);
        if (FAILED(hr))
            return hr;
        auto ctx = std::make_shared<MsgContext>();
        ctx->path = path;
        hr = FailureOf(Guarded([&] {
            ctx->msg = msg_file::ReadFile(path);
            return S_OK;
        }));
        if (FAILED(hr))
            return hr;
        if (const uint32_t chosen = GetStoreCodePage(); chosen && IsKnownCodePage(chosen))
            ctx->userCodePage = AnsiCodePageOf(chosen);
        ctx->codePage = ctx->CodePageOf(ctx->msg->message.values, pst_text::kDefaultCodePage);
        ctx->displayName = std::filesystem::path(path).filename().string();
        ctx->recordKey = RecordKeyOf(std::filesystem::absolute(path).string());
        ctx->storeEntryId = MakeStoreEntryID(service.uid);
        logon = std::make_unique<MsgLogon>(std::move(ctx));
        return S_OK;
    };
    RegisterMessageService(std::move(s));
}

const char* StoreServiceOfFile(const std::string& path)
{
    return cfb::FileHasSignature(path) ? kMsgServiceName : "MSPST MS";
}

} // namespace dravik::mapi32
