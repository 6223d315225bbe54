// "MSPST MS": the store-file service, configured with PR_PST_PATH, and its store
// provider over the format library. The file is opened read-only at logon; the
// store, its folders, messages and attachments are read-only MAPI objects whose
// values and tables come straight from the file, with the computed properties
// MAPI clients rely on added.
//
// Strings: every object keeps its string values as UTF-16, 8-bit strings of the
// file decoded from the code page pst_codepage.h decides (the user's choice,
// the object's own, its locale's, the store's). GetProps, GetPropList and
// tables hand them out as PT_UNICODE with MAPI_UNICODE, and as PT_STRING8 in
// the narrow encoding of this subsystem, UTF-8, without it.
//
// Damage: a value, a table cell or a computed count that cannot be read
// because the file is damaged is PT_ERROR MAPI_E_CORRUPT_DATA, never left out
// and never the MAPI_E_NOT_ENOUGH_MEMORY of a value that is only large.
#include "pst_store.h"

#include "mapi32/providers/msg/cfb_storage.h"

#include "mapi32/codepage.h"
#include "mapi32/hooks.h"
#include "mapi32/mapiguid.h"
#include "mapi32/memstream.h"
#include "mapi32/provider.h"
#include "mapi32/propobject.h"
#include "mapi32/table.h"
#include "mapi32/utf.h"

#include "pst/ndb/crc.h"

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>

namespace dravik::mapi32 {
namespace {

using namespace pst_provider;

// What every object of the provider shares: reference counting, its values
// (handed out by GetProps and GetPropList with or without MAPI_UNICODE), names
// from the store's map, and refusal of every write.
template <typename Base, const IID&... Iids>
class PstObject : public ReadOnlyProp<Base, Iids...>
{
public:
    HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) override
    {
        return Guarded([&] { return Props().GetProps(tags, flags, count, out); });
    }
    HRESULT GetPropList(ULONG flags, LPSPropTagArray* out) override
    {
        return Guarded([&] { return Props().GetPropList(flags, out); });
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
    using MakeValues = std::function<void(std::optional<PropertySet>&)>;
    PstObject(ValueBuilder&& values, Context ctx)
        : m_props(std::in_place, std::move(values)), m_ctx(std::move(ctx))
    {
    }
    // Values made when first asked for, by make (which takes the store's lock):
    // the file is read-only, so they are the same whenever they are made.
    PstObject(MakeValues make, Context ctx) : m_make(std::move(make)), m_ctx(std::move(ctx)) {}

    // The object's values; throws what making them throws (std::bad_alloc).
    const PropertySet& Props()
    {
        // A plain lock rather than std::call_once: objects are made by the
        // thousand and each is asked once, where call_once's first call is slow.
        std::lock_guard guard(m_making);
        if (!m_props)
            m_make(m_props);
        return *m_props;
    }

    std::mutex m_making;
    MakeValues m_make;
    std::optional<PropertySet> m_props;
    Context m_ctx;
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

constexpr LONG kAttachOle = 6;  // ATTACH_OLE

// Whether an attachment is an OLE object whose PR_ATTACH_DATA_OBJ holds the
// bytes of its compound file.
bool IsOleObject(const pst::Attachment& a)
{
    const std::optional<int32_t> method = a.attachMethod();
    return method && *method == kAttachOle && a.hasEmbeddedMessage();
}

// An OLE object's data, as bytes: the compound file, listed as binary
// PR_ATTACH_DATA_OBJ (PR_ATTACH_DATA_BIN's tag), so that it reads and saves
// as an attached file's data does; above 32 KiB through OpenProperty.
void AddOleObjectBytes(ValueBuilder& b, const pst::Attachment& a)
{
    try {
        if (!IsOleObject(a))
            return;
    } catch (const pst::Error&) {
        return;
    }
    std::vector<SPropValue> kept;
    for (const SPropValue& v : b.values)
        if (PROP_ID(v.ulPropTag) != kIdAttachData)
            kept.push_back(v);
    b.values = std::move(kept);
    try {
        std::vector<uint8_t> bytes = a.readObjectData();
        if (bytes.size() > kMaxInlineValue)
            b.addError(kIdAttachData, MAPI_E_NOT_ENOUGH_MEMORY);
        else
            b.addBinary(PROP_TAG(PT_BINARY, kIdAttachData), std::move(bytes));
    } catch (const pst::Error&) {
        b.addError(kIdAttachData, MAPI_E_CORRUPT_DATA);
    }
}

class PstAttach final : public PstObject<IAttach, IID_IMAPIProp, IID_IAttachment>
{
public:
    // The values are made when first asked for: listing a message's
    // attachments opens each one but reads none of its values (the data of
    // an attachment among them).
    // rowMethod: PR_ATTACH_METHOD as the message's attachment table row holds it.
    PstAttach(Context ctx, pst::Attachment attachment, uint32_t codePage, ULONG attachNum,
              std::optional<int32_t> rowMethod)
        : PstObject(
              [this, attachNum, rowMethod](std::optional<PropertySet>& props) {
                  std::lock_guard guard(m_ctx->lock);
                  ValueBuilder b(m_codePage);
                  b.addContext(m_attachment.properties());
                  MarkMethodDisagreeing(b, rowMethod);
                  AddOleObjectBytes(b, m_attachment);
                  if (!b.has(PR_ATTACH_NUM))
                      b.addLong(PR_ATTACH_NUM, attachNum);
                  m_ctx->AddCommon(b, MAPI_ATTACH);
                  props.emplace(std::move(b));
              },
              std::move(ctx)),
          m_attachment(std::move(attachment)), m_codePage(codePage)
    {
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
        // An OLE object's compound file as a storage.
        if (out && iid && *iid == IID_IStorage) {
            *out = nullptr;
            if (PROP_ID(tag) != kIdAttachData || (PROP_TYPE(tag) != PT_OBJECT && PROP_TYPE(tag) != PT_UNSPECIFIED))
                return MAPI_E_NOT_FOUND;
            if (flags & (MAPI_MODIFY | MAPI_CREATE))
                return MAPI_E_NO_ACCESS;
            return Guarded([&]() -> HRESULT {
                std::vector<uint8_t> bytes;
                {
                    std::lock_guard guard(m_ctx->lock);
                    if (!IsOleObject(m_attachment))
                        return MAPI_E_NOT_FOUND;
                    bytes = m_attachment.readObjectData();
                }
                LPSTORAGE storage = nullptr;
                const HRESULT hr = cfb::CreateReadOnlyStorage(cfb::File::FromMemory(bytes)->Root(), &storage);
                *out = storage;
                return hr;
            });
        }
        // An OLE object's compound file, as a stream of its bytes.
        if (out && iid && (*iid == IID_IStream || *iid == IID_ISequentialStream) && PROP_ID(tag) == kIdAttachData &&
            (PROP_TYPE(tag) == PT_BINARY || PROP_TYPE(tag) == PT_OBJECT || PROP_TYPE(tag) == PT_UNSPECIFIED) &&
            !(flags & (MAPI_MODIFY | MAPI_CREATE))) {
            *out = nullptr;
            return Guarded([&]() -> HRESULT {
                std::vector<uint8_t> bytes;
                bool ole = false;
                {
                    std::lock_guard guard(m_ctx->lock);
                    ole = IsOleObject(m_attachment);
                    if (ole)
                        bytes = m_attachment.readObjectData();
                }
                if (!ole)
                    return OpenValueStream(m_ctx, this, m_attachment.properties(), Props(), m_codePage, tag, iid,
                                           flags, out);
                LPSTREAM stream = nullptr;
                const HRESULT hr = CreateMemoryStream(std::move(bytes), &stream);
                *out = stream;
                return hr;
            });
        }
        return Guarded([&] {
            return OpenValueStream(m_ctx, this, m_attachment.properties(), Props(), m_codePage, tag, iid, flags, out);
        });
    }

private:
    // The attachment table's row repeats the attachment's PR_ATTACH_METHOD, and the row's
    // value decides whether the attachment is listed as holding a message: when the two
    // disagree one of them is damaged, and the object's value says so.
    static void MarkMethodDisagreeing(ValueBuilder& b, std::optional<int32_t> rowMethod)
    {
        if (!rowMethod)
            return;
        for (SPropValue& v : b.values) {
            if (PROP_ID(v.ulPropTag) != PROP_ID(PR_ATTACH_METHOD))
                continue;
            if (PROP_TYPE(v.ulPropTag) == PT_LONG && v.Value.l != *rowMethod) {
                v.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(PR_ATTACH_METHOD));
                v.Value.err = MAPI_E_CORRUPT_DATA;
            }
            return;
        }
    }

    pst::Attachment m_attachment;
    uint32_t m_codePage;
};

class PstMessage final : public PstObject<IMessage, IID_IMAPIProp, IID_IMessage>
{
public:
    PstMessage(ValueBuilder&& values, Context ctx, pst::Message message, uint32_t codePage)
        : PstObject(std::move(values), std::move(ctx)), m_message(std::move(message)), m_codePage(codePage)
    {
    }
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        return OpenValueStream(m_ctx, this, m_message.properties(), Props(), m_codePage, tag, iid, flags, out);
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
            const pst::TableContext table = m_message.attachmentTable();
            if (ulAttachmentNum >= table.rowCount())
                return MAPI_E_NOT_FOUND;
            const uint32_t rowId = table.rowId(ulAttachmentNum);
            pst::Attachment attachment = m_message.attachment(rowId);
            const uint32_t codePage = m_ctx->CodePageOf(attachment.properties(), m_codePage);
            *out = new PstAttach(m_ctx, std::move(attachment), codePage, ulAttachmentNum,
                                 RowAttachMethod(table, ulAttachmentNum));
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
    // A row's PR_ATTACH_METHOD cell; nullopt when the row has none or it cannot be read
    // (a damaged cell is reported where the table's rows are read).
    static std::optional<int32_t> RowAttachMethod(const pst::TableContext& table, size_t row)
    {
        try {
            const std::optional<pst::Property> p = table.cell(row, PROP_ID(PR_ATTACH_METHOD));
            if (!p || p->type != PT_LONG)
                return std::nullopt;
            const std::optional<int64_t> v = p->int64();
            return v ? std::optional<int32_t>(static_cast<int32_t>(*v)) : std::nullopt;
        } catch (const pst::Error&) {
            return std::nullopt;
        }
    }

    pst::Message m_message;
    uint32_t m_codePage;
};

// An object's identity, its parent from its node: a parent folder that does
// not list the object names no folder it is in, so its parent entry ID is
// damaged (the root folder is its own parent). known: the object's node when
// the caller holds it already, else it is looked up. Called under the store's lock.
void AddIdentityChecked(const Context& ctx, ValueBuilder& b, uint32_t nid, const pst::NodeRef* known = nullptr)
{
    const std::optional<pst::NodeRef> node = known ? *known : ctx->store->ndb().findNode(nid);
    const uint32_t parent = node ? node->nidParent : 0;
    if (parent != 0 && parent != nid && !b.has(PR_PARENT_ENTRYID) && !ctx->store->folderLists(parent, nid))
        b.addError(PROP_ID(PR_PARENT_ENTRYID), MAPI_E_CORRUPT_DATA);
    ctx->AddIdentity(b, nid, parent);
}

// A message's values with the computed ones. An embedded message has no entry
// ID of its own and no parent folder. Called under the store's lock.
// The provenance of a recovered object and its place below "Recovered Items".
void AddRecovered(const StoreContext& ctx, ValueBuilder& b, const pst::RecoveredItem& item)
{
    b.addString(PROP_ID(PR_DRAVIK_RECOVERED_FROM), Utf8ToUtf16(item.origin()));
    b.addString(PROP_ID(PR_DRAVIK_RECOVERED_BLOCKS), Utf8ToUtf16(item.offsets()));
    b.addString(PROP_ID(PR_DRAVIK_RECOVERED_STATE), Utf8ToUtf16(item.state()));
    const uint32_t nid = static_cast<uint32_t>(item.node.nid);
    ctx.AddIdentity(b, nid,
                    item.source == pst::RecoveredItem::Source::OrphanedNode ? kNidRecoveredOrphaned
                                                                            : kNidRecoveredDeleted);
}

HRESULT NewMessageLocked(const Context& ctx, pst::Message message, bool embedded, LPMESSAGE* out,
                         const pst::RecoveredItem* recovered = nullptr)
{
    const uint32_t codePage = ctx->CodePageOf(message.properties());
    ValueBuilder b(codePage);
    b.addContext(message.properties());
    if (recovered)
        AddRecovered(*ctx, b, *recovered);
    else if (!embedded)
        AddIdentityChecked(ctx, b, message.nid(), &message.node());  // its node is the one looked up
    ctx->AddCommon(b, MAPI_MESSAGE);
    if (!b.has(PR_HASATTACH)) {
        const SPropValue* flags = b.find(kIdMessageFlags);
        if (flags && PROP_TYPE(flags->ulPropTag) == PT_LONG) {
            b.addBool(PR_HASATTACH, (flags->Value.ul & kMsgFlagHasAttach) != 0);
        } else {
            try {
                b.addBool(PR_HASATTACH, message.attachmentTable().rowCount() > 0);
            } catch (const pst::Error&) {
                b.addError(PROP_ID(PR_HASATTACH), MAPI_E_CORRUPT_DATA);
            }
        }
    }
    *out = new PstMessage(std::move(b), ctx, std::move(message), codePage);
    return S_OK;
}

HRESULT NewMessage(const Context& ctx, pst::Message message, bool embedded, LPMESSAGE* out)
{
    return Guarded([&] {
        std::lock_guard guard(ctx->lock);
        return NewMessageLocked(ctx, std::move(message), embedded, out);
    });
}

class PstFolder final : public ReadOnlyFolder<PstObject<IMAPIFolder, IID_IMAPIProp, IID_IMAPIContainer, IID_IMAPIFolder>>
{
public:
    PstFolder(ValueBuilder&& values, Context ctx, pst::Folder folder, uint32_t codePage)
        : ReadOnlyFolder(std::move(values), std::move(ctx)), m_folder(std::move(folder)), m_codePage(codePage)
    {
    }
    // One of the folders of what was recovered (kNidRecovered*), which the file does not hold.
    PstFolder(ValueBuilder&& values, Context ctx, uint32_t recoveredNid)
        : ReadOnlyFolder(std::move(values), std::move(ctx)), m_recoveredNid(recoveredNid),
          m_codePage(pst_text::kDefaultCodePage)
    {
    }
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        if (!m_folder) {
            if (out)
                *out = nullptr;
            return MAPI_E_NO_SUPPORT;
        }
        return OpenValueStream(m_ctx, this, m_folder->properties(), Props(), m_codePage, tag, iid, flags, out);
    }
    HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* out) override
    {
        if (!m_folder)
            return RecoveredTable(false, flags, out);
        return Guarded([&] {
            std::lock_guard guard(m_ctx->lock);
            return MakeTable(m_ctx,
                             (flags & MAPI_ASSOCIATED) ? m_folder->associatedContentsTable() : m_folder->ownContentsTable(),
                             MAPI_MESSAGE, m_codePage, flags, out);
        });
    }
    HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* out) override
    {
        if (!m_folder)
            return RecoveredTable(true, flags, out);
        return Guarded([&] {
            std::lock_guard guard(m_ctx->lock);
            return MakeTable(m_ctx, m_folder->hierarchyTable(), MAPI_FOLDER, m_codePage, flags, out);
        });
    }
    HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override
    {
        return OpenEntryId(m_ctx, cb, eid, flags, type, out);
    }

private:
    // The tables of a recovered folder: "Recovered Items" lists "Orphaned" and
    // "Deleted"; they list the recovered messages of their kind.
    HRESULT RecoveredTable(bool hierarchy, ULONG flags, LPMAPITABLE* out);

    std::optional<pst::Folder> m_folder;
    uint32_t m_recoveredNid = 0;
    uint32_t m_codePage;
};

// A folder's values with the computed ones; counts the file does not keep are
// counted from the folder's tables. Called under the store's lock.
void AddFolderComputed(const Context& ctx, ValueBuilder& b, const pst::Folder& folder)
{
    const uint32_t nid = folder.nid();
    AddIdentityChecked(ctx, b, nid);
    ctx->AddCommon(b, MAPI_FOLDER);
    if (!b.has(PR_FOLDER_TYPE))
        b.addLong(PR_FOLDER_TYPE, nid == ctx->store->rootFolderNid()                      ? kFolderRoot
                                  : (nid & 0x1F) == pst::NID_TYPE_SEARCH_FOLDER ? FOLDER_SEARCH
                                                                                         : FOLDER_GENERIC);
    // A count that cannot be made because its table is damaged is a PT_ERROR
    // MAPI_E_CORRUPT_DATA value, never left out.
    auto computed = [&b](ULONG tag, auto&& make) {
        if (b.has(tag))
            return;
        try {
            make();
        } catch (const pst::Error&) {
            b.addError(PROP_ID(tag), MAPI_E_CORRUPT_DATA);
        }
    };
    // A normal folder's stored count of messages is the number of rows of its contents
    // table (in every sample store and every store pstgen writes); a table of another
    // size is another folder's, reached through a damaged reference: the count is damaged.
    if ((nid & 0x1F) == pst::NID_TYPE_NORMAL_FOLDER) {
        for (SPropValue& v : b.values) {
            if (v.ulPropTag != PR_CONTENT_COUNT)
                continue;
            bool agrees = true;  // a table that cannot be read fails on its own; the count stays
            try {
                agrees = folder.contentsTable().rowCount() == v.Value.ul;
            } catch (const pst::Error&) {
            }
            if (!agrees) {
                v.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(PR_CONTENT_COUNT));
                v.Value.err = MAPI_E_CORRUPT_DATA;
            }
        }
    }
    computed(PR_SUBFOLDERS, [&] { b.addBool(PR_SUBFOLDERS, folder.hierarchyTable().rowCount() > 0); });
    if (!b.has(PR_CONTENT_COUNT) || !b.has(PR_CONTENT_UNREAD)) {
        std::optional<pst::TableContext> contents;
        computed(PR_CONTENT_COUNT, [&] {
            contents.emplace(folder.contentsTable());
            b.addLong(PR_CONTENT_COUNT, static_cast<ULONG>(contents->rowCount()));
        });
        computed(PR_CONTENT_UNREAD, [&] {
            if (!contents)
                contents.emplace(folder.contentsTable());
            ULONG unread = 0;
            for (size_t i = 0; i < contents->rowCount(); ++i) {
                const std::optional<pst::Property> flags = contents->cell(i, kIdMessageFlags);
                auto value = flags ? flags->int64() : std::nullopt;
                if (!value || !(static_cast<ULONG>(*value) & kMsgFlagRead))
                    ++unread;
            }
            b.addLong(PR_CONTENT_UNREAD, unread);
        });
    }
    computed(PR_ASSOC_CONTENT_COUNT, [&] {
        b.addLong(PR_ASSOC_CONTENT_COUNT, static_cast<ULONG>(folder.associatedContentsTable().rowCount()));
    });
}

// The values of a recovered folder. Called under the store's lock.
ValueBuilder RecoveredFolderValues(const Context& ctx, uint32_t nid)
{
    const char16_t* name = nid == kNidRecoveredItems ? u"Recovered Items"
                           : nid == kNidRecoveredOrphaned ? u"Orphaned"
                                                          : u"Deleted";
    ValueBuilder b;
    b.addString(PROP_ID(PR_DISPLAY_NAME), name);
    ctx->AddIdentity(b, nid, nid == kNidRecoveredItems ? nid : kNidRecoveredItems);
    ctx->AddCommon(b, MAPI_FOLDER);
    b.addLong(PR_FOLDER_TYPE, FOLDER_GENERIC);
    // "Recovered Items" itself holds no messages: opening it runs no recovery.
    ULONG count = 0;
    if (nid != kNidRecoveredItems)
        for (const pst::RecoveredItem& item : ctx->Recovered().items)
            if (item.kind == pst::RecoveredItem::Kind::Message &&
                (item.source == pst::RecoveredItem::Source::OrphanedNode) == (nid == kNidRecoveredOrphaned))
                ++count;
    b.addBool(PR_SUBFOLDERS, nid == kNidRecoveredItems);
    b.addLong(PR_CONTENT_COUNT, nid == kNidRecoveredItems ? 0 : count);
    b.addLong(PR_CONTENT_UNREAD, 0);
    b.addLong(PR_ASSOC_CONTENT_COUNT, 0);
    b.addString(PROP_ID(PR_DRAVIK_RECOVERED_FROM),
                nid == kNidRecoveredItems ? u"recovered from outside the folder hierarchy"
                : nid == kNidRecoveredOrphaned ? u"orphaned nodes"
                                               : u"deleted: free space");
    return b;
}

// The row of a recovered message in its folder's contents table: the values a
// contents table lists, its identity and its provenance. Under the store's lock.
void RecoveredRow(const Context& ctx, const pst::Recovery& recovery, const pst::RecoveredItem& item, ValueBuilder& b)
{
    static constexpr uint16_t kListed[] = {0x001A /* PR_MESSAGE_CLASS */, kIdSubject, 0x0039 /* submit time */,
                                           0x0042 /* PR_SENT_REPRESENTING_NAME */, 0x0C1A /* PR_SENDER_NAME */,
                                           0x0E06 /* delivery time */, kIdMessageFlags, 0x0E08 /* size */};
    try {
        const pst::PropertyContext pc = recovery.properties(item);
        for (uint16_t id : kListed)
            if (auto p = pc.get(id))
                b.add(*p);
    } catch (const pst::Error&) {
        b.addError(kIdSubject, MAPI_E_CORRUPT_DATA);
    }
    AddRecovered(*ctx, b, item);
    std::vector<uint8_t> key(4);
    for (int k = 0; k < 4; ++k)
        key[static_cast<size_t>(k)] = static_cast<uint8_t>(item.node.nid >> (8 * k));
    b.addBinary(PR_INSTANCE_KEY, key);
    ctx->AddCommon(b, MAPI_MESSAGE);
    const SPropValue* flags = b.find(kIdMessageFlags);
    if (flags && PROP_TYPE(flags->ulPropTag) == PT_LONG)
        b.addBool(PR_HASATTACH, (flags->Value.ul & kMsgFlagHasAttach) != 0);
}

HRESULT PstFolder::RecoveredTable(bool hierarchy, ULONG flags, LPMAPITABLE* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    return Guarded([&]() -> HRESULT {
        std::lock_guard guard(m_ctx->lock);
        const ULONG strings = (flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8;
        const ULONG other = strings == PT_UNICODE ? PT_STRING8 : PT_UNICODE;
        std::vector<ValueBuilder> builders;
        if (hierarchy && m_recoveredNid == kNidRecoveredItems) {
            for (uint32_t nid : {kNidRecoveredOrphaned, kNidRecoveredDeleted}) {
                builders.push_back(RecoveredFolderValues(m_ctx, nid));
                std::vector<uint8_t> key(4);
                for (int k = 0; k < 4; ++k)
                    key[static_cast<size_t>(k)] = static_cast<uint8_t>(nid >> (8 * k));
                builders.back().addBinary(PR_INSTANCE_KEY, key);
            }
        } else if (!hierarchy && !(flags & MAPI_ASSOCIATED) && m_recoveredNid != kNidRecoveredItems) {
            const pst::Recovery& recovery = m_ctx->Recovered();
            const bool orphaned = m_recoveredNid == kNidRecoveredOrphaned;
            for (const pst::RecoveredItem& item : recovery.items)
                if (item.kind == pst::RecoveredItem::Kind::Message &&
                    (item.source == pst::RecoveredItem::Source::OrphanedNode) == orphaned) {
                    builders.emplace_back();
                    RecoveredRow(m_ctx, recovery, item, builders.back());
                }
        }
        std::vector<ULONG> columns = {PR_ENTRYID, PR_INSTANCE_KEY, PR_OBJECT_TYPE};
        StringForms forms;
        std::vector<std::vector<SPropValue>> rows;
        for (const ValueBuilder& b : builders) {
            std::vector<SPropValue>& row = rows.emplace_back();
            for (const SPropValue& v : b.values) {
                row.push_back(forms.In(v, strings));
                if (IsStringType(PROP_TYPE(v.ulPropTag)))
                    row.push_back(forms.In(v, other));
                const ULONG tag = row[row.size() - (IsStringType(PROP_TYPE(v.ulPropTag)) ? 2 : 1)].ulPropTag;
                if (PROP_TYPE(tag) != PT_ERROR &&
                    std::find_if(columns.begin(), columns.end(),
                                 [&](ULONG c) { return PROP_ID(c) == PROP_ID(tag); }) == columns.end())
                    columns.push_back(tag);
            }
        }
        return CreateMemoryTable(rows, columns, out);
    });
}

HRESULT OpenByNid(const Context& ctx, uint32_t nid, ULONG* type, LPUNKNOWN* out)
{
    if (!IsFolderNid(nid) && !IsMessageNid(nid))
        return MAPI_E_INVALID_ENTRYID;
    return Guarded([&]() -> HRESULT {
        std::lock_guard guard(ctx->lock);
        if (IsRecoveredFolderNid(nid)) {
            ValueBuilder b = RecoveredFolderValues(ctx, nid);
            if (type)
                *type = MAPI_FOLDER;
            *out = static_cast<IMAPIFolder*>(new PstFolder(std::move(b), ctx, nid));
            return S_OK;
        }
        if (const pst::RecoveredItem* item = ctx->RecoveredMessage(nid)) {
            LPMESSAGE message = nullptr;
            HRESULT hr = NewMessageLocked(ctx, ctx->recovery->message(*item), false, &message, item);
            if (FAILED(hr))
                return hr;
            if (type)
                *type = MAPI_MESSAGE;
            *out = message;
            return S_OK;
        }
        if (IsFolderNid(nid)) {
            pst::Folder folder = ctx->store->folder(nid);
            const uint32_t codePage = ctx->CodePageOf(folder.properties());
            ValueBuilder b(codePage);
            b.addContext(folder.properties());
            AddFolderComputed(ctx, b, folder);
            if (type)
                *type = MAPI_FOLDER;
            *out = static_cast<IMAPIFolder*>(new PstFolder(std::move(b), ctx, std::move(folder), codePage));
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

class PstMsgStore final : public ReadOnlyMsgStore<PstObject<IMsgStore, IID_IMAPIProp, IID_IMsgStore>>
{
public:
    PstMsgStore(ValueBuilder&& values, Context ctx) : ReadOnlyMsgStore(std::move(values), std::move(ctx)) {}
    HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override
    {
        return OpenValueStream(m_ctx, this, m_ctx->store->properties(), Props(), m_ctx->codePage, tag, iid, flags,
                               out);
    }
    HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override
    {
        return OpenEntryId(m_ctx, cb, eid, flags, type, out);
    }
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
                b.addString(PROP_ID(PR_DISPLAY_NAME), Utf8ToUtf16(m_ctx->displayName));
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
            // What was recovered is reached only through this entry ID: no
            // hierarchy table lists it, and opening it is what runs recovery.
            if (!b.has(PR_DRAVIK_RECOVERED_ENTRYID))
                b.addBinary(PR_DRAVIK_RECOVERED_ENTRYID, m_ctx->EntryId(kNidRecoveredItems));
            *lppMDB = new PstMsgStore(std::move(b), m_ctx);
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
                return Utf16ToUtf8(text);
        }
    } catch (const pst::Error&) {
    }
    return std::filesystem::path(path).filename().string();
}

// A protected store asks for its password through the application's hook,
// only when the logon may show a dialog. The file keeps the CRC of the
// password; what the header claims the file to be does not matter. No value,
// 0, and the 0xFFFFFFFF that offline stores hold mean no password.
HRESULT CheckPassword(pst::Store& store, const std::string& path, const std::string& displayName, ULONG ulUIParam,
                      ULONG ulFlags)
{
    const std::optional<uint32_t> crc = store.passwordCrc();
    if (!crc || *crc == 0 || *crc == 0xFFFFFFFFu)
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
    std::u16string wide = Utf8ToUtf16(password);
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
            if (const uint32_t chosen = GetStoreCodePage(); chosen && IsKnownCodePage(chosen))
                ctx->userCodePage = AnsiCodePageOf(chosen);
            ctx->codePage = ctx->userCodePage ? ctx->userCodePage : StoreCodePage(*ctx->store);
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
