#include "pst_store.h"

#include "mapi32/mapiguid.h"
#include "mapi32/table.h"
#include "mapi32/memstream.h"
#include "mapi32/utf.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>
#include <cstring>
#include <deque>

namespace dravik::mapi32::pst_provider {

HRESULT FromError(const pst::Error& e)
{
    switch (e.kind()) {
    case pst::ErrorKind::NotFound: return MAPI_E_NOT_FOUND;
    case pst::ErrorKind::Io: return MAPI_E_DISK_ERROR;
    default: return MAPI_E_CORRUPT_DATA;
    }
}

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

namespace {

// The code page of a table row's 8-bit strings: the user's choice, else the
// row's own declaration, else, for a message's row that has 8-bit text that
// is not ASCII, the message's, else the table's. Called under the store's lock.
uint32_t RowCodePage(const StoreContext& ctx, const pst::TableRowView& row, uint32_t fallback)
{
    if (ctx.userCodePage)
        return ctx.userCodePage;
    if (auto cp = OwnCodePage(row))
        return *cp;
    const bool needed = std::any_of(row.cells.begin(), row.cells.end(), [](const pst::TableRowView::Cell& p) {
        return (p.type & ~MV_FLAG) == PT_STRING8 &&
               std::any_of(p.raw.begin(), p.raw.end(), [](uint8_t b) { return b >= 0x80; });
    });
    if (!needed || !IsMessageNid(row.rowId))
        return fallback;
    if (auto known = ctx.messageCodePages.find(row.rowId); known != ctx.messageCodePages.end())
        return known->second;
    uint32_t cp = fallback;
    try {
        cp = ctx.CodePageOf(ctx.store->message(row.rowId).properties());
    } catch (const pst::Error&) {
    }
    ctx.messageCodePages.emplace(row.rowId, cp);
    return cp;
}

// A value of a property context, read in ranges as the stream is read, under
// the store's lock. The object the context belongs to is the stream's owner,
// which the stream keeps alive.
class PropertySource final : public StreamSource
{
public:
    PropertySource(Context ctx, const pst::PropertyContext& pc, const pst::PropEntry& entry)
        : m_ctx(std::move(ctx)), m_pc(pc), m_entry(entry)
    {
    }
    uint64_t Size() const override { return m_entry.size; }
    HRESULT ReadAt(uint64_t offset, void* dest, size_t n) const override
    {
        return Guarded([&]() -> HRESULT {
            std::lock_guard guard(m_ctx->lock);
            std::vector<uint8_t> bytes = m_pc.readRange(m_entry, offset, n);
            if (bytes.size() != n)
                return MAPI_E_CORRUPT_DATA;
            std::memcpy(dest, bytes.data(), n);
            return S_OK;
        });
    }

private:
    Context m_ctx;
    const pst::PropertyContext& m_pc;
    pst::PropEntry m_entry;
};

std::vector<uint8_t> Utf8Bytes(std::u16string_view text)
{
    std::string s = Utf16ToUtf8(text);
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

} // namespace

namespace {

// A table context's rows, each read from the file when the table needs it:
// its columns and cells in the file's order, with PR_ENTRYID (folders and
// messages), PR_INSTANCE_KEY and PR_OBJECT_TYPE added to every row. A row holds
// each string in both forms, so either tag finds it; the default columns name
// the form the caller asked for.
class TableRows final : public TableRowSource
{
public:
    TableRows(Context ctx, pst::TableContext tc, ULONG objectType, uint32_t codePage, ULONG strings)
        : m_ctx(std::move(ctx)), m_tc(std::move(tc)), m_objectType(objectType), m_codePage(codePage),
          m_strings(strings)
    {
        for (const pst::TableColumn& c : m_tc.columns())
            m_columns.push_back(IsStringType(c.type()) ? PROP_TAG((c.type() & MV_FLAG) | strings, c.id()) : c.tag);
        std::vector<ULONG> added = {PR_INSTANCE_KEY, PR_OBJECT_TYPE};
        if (objectType == MAPI_FOLDER || objectType == MAPI_MESSAGE)
            added.insert(added.begin(), PR_ENTRYID);
        if (objectType == MAPI_MESSAGE)
            added.push_back(PR_HASATTACH);  // what clients test before asking for attachments
        if (objectType == MAPI_ATTACH)
            added.push_back(PR_ATTACH_NUM);  // the row's position: what OpenAttach takes
        for (ULONG tag : added)
            if (std::find_if(m_columns.begin(), m_columns.end(),
                             [&](ULONG c) { return PROP_ID(c) == PROP_ID(tag); }) == m_columns.end())
                m_columns.push_back(tag);
    }
    const std::vector<ULONG>& Columns() const { return m_columns; }

    ULONG RowCount() const override { return static_cast<ULONG>(m_tc.rowCount()); }
    std::vector<ULONG> AllColumns() override
    {
        std::vector<ULONG> all = m_columns;
        const ULONG other = m_strings == PT_UNICODE ? PT_STRING8 : PT_UNICODE;
        for (ULONG tag : m_columns)
            if (IsStringType(PROP_TYPE(tag)))
                all.push_back(PROP_TAG((PROP_TYPE(tag) & MV_FLAG) | other, PROP_ID(tag)));
        return all;
    }
    HRESULT WithRow(ULONG index, const std::vector<ULONG>* columns, const RowUse& use) override
    {
        ScratchHold hold(*this);
        const std::vector<SPropValue>* built = nullptr;
        const HRESULT hr = Guarded([&] {
            std::lock_guard guard(m_ctx->lock);
            built = &Build(index, columns, hold.s);
            return S_OK;
        });
        if (FAILED(hr))
            return hr;
        return use(built->data(), static_cast<ULONG>(built->size()));
    }
    // The rows are built one after another in the same memory, under one hold
    // of the store's lock: use (QueryRows copying each row out) runs under it,
    // and calls nothing of the store.
    HRESULT WithRows(std::span<const ULONG> indexes, const std::vector<ULONG>* columns, const RowsUse& use) override
    {
        ScratchHold hold(*this);
        // A row that cannot be read fails the call; so does one that use
        // fails (its failure is kept, not taken for the file's).
        HRESULT hrUse = S_OK;
        const HRESULT hr = Guarded([&] {
            std::lock_guard guard(m_ctx->lock);
            for (size_t k = 0; k < indexes.size(); ++k) {
                const std::vector<SPropValue>& built = Build(indexes[k], columns, hold.s);
                hrUse = use(k, built.data(), static_cast<ULONG>(built.size()));
                if (FAILED(hrUse))
                    return hrUse;
            }
            return S_OK;
        });
        return FAILED(hrUse) ? hrUse : hr;
    }

private:
    // What the rows for a set of columns need, worked out once for each set:
    // the indexes of the file's columns to read (theirs, and those the added
    // values and the code page of its strings are made from), and which forms
    // of the strings to hand out.
    struct Plan
    {
        std::vector<uint32_t> cells;
        bool ownWanted = true;    // the table's own form (or any: PT_UNSPECIFIED)
        bool otherWanted = true;  // the other form
        // Only PT_UNICODE strings, the form the values are built in: the
        // built values are handed out as they are.
        bool asBuilt = false;
        // Whether a cell read may hold 8-bit text, which alone needs the row's
        // code page.
        bool narrowCells = true;
    };
    bool NarrowCells(const std::vector<uint32_t>& cells) const
    {
        return std::any_of(cells.begin(), cells.end(), [&](uint32_t i) {
            return (m_tc.columns()[i].type() & ~MV_FLAG) == PT_STRING8;
        });
    }
    const Plan& PlanFor(const std::vector<ULONG>* columns) const
    {
        if (!columns) {
            if (m_allPlan.cells.empty() && !m_tc.columns().empty()) {
                for (size_t i = 0; i < m_tc.columns().size(); ++i)
                    m_allPlan.cells.push_back(static_cast<uint32_t>(i));
                m_allPlan.narrowCells = NarrowCells(m_allPlan.cells);
            }
            return m_allPlan;
        }
        if (!m_planValid || *columns != m_planColumns) {
            std::vector<uint16_t> ids = {kIdMessageFlags, kIdMessageCodepage, kIdInternetCpid,
                                         kIdCodePageId,   kIdMessageLocaleId, kIdLocaleId};
            for (ULONG tag : *columns)
                ids.push_back(static_cast<uint16_t>(PROP_ID(tag)));
            std::vector<bool> mask(m_tc.columns().size(), false);
            for (size_t i = 0; i < mask.size(); ++i)
                mask[i] = std::find(ids.begin(), ids.end(), m_tc.columns()[i].id()) != ids.end();
            m_plan.cells = m_tc.columnIndexes(mask);
            m_plan.narrowCells = NarrowCells(m_plan.cells);
            // Each form of a string is made only when the caller looks for it
            // (or for anything): a listing asks for one form and converts
            // nothing. A column of any type (PT_UNSPECIFIED) finds the table's
            // own form.
            const ULONG other = m_strings == PT_UNICODE ? PT_STRING8 : PT_UNICODE;
            m_plan.otherWanted = std::any_of(columns->begin(), columns->end(), [&](ULONG tag) {
                return IsStringType(PROP_TYPE(tag)) && (PROP_TYPE(tag) & ~MV_FLAG) == other;
            });
            m_plan.ownWanted = std::any_of(columns->begin(), columns->end(), [&](ULONG tag) {
                const ULONG type = PROP_TYPE(tag) & ~MVI_FLAG;
                return type == PT_UNSPECIFIED || type == m_strings;
            });
            const bool unicodeWanted = m_strings == PT_UNICODE ? m_plan.ownWanted : m_plan.otherWanted;
            const bool narrowWanted = m_strings == PT_UNICODE ? m_plan.otherWanted : m_plan.ownWanted;
            m_plan.asBuilt = unicodeWanted && !narrowWanted;
            m_planColumns = *columns;
            m_planValid = true;
        }
        return m_plan;
    }

    // What a row is built in: its cells as read, its values, the other form
    // of its strings, and the values handed out.
    struct RowScratch
    {
        pst::TableRowView row;
        ValueBuilder b;
        StringForms forms;
        std::vector<SPropValue> values;
        std::vector<uint8_t> entryId;
    };

    // The memory a call builds its rows in: the source's own, kept from one
    // call to the next, or, for a call made while that is in use (from within
    // a use, or by another thread), memory of its own.
    struct ScratchHold
    {
        explicit ScratchHold(TableRows& rows)
            : pBusy(rows.m_scratchBusy.exchange(true, std::memory_order_acquire) ? nullptr : &rows.m_scratchBusy),
              s(pBusy ? rows.m_scratch : own.emplace())
        {
        }
        ~ScratchHold()
        {
            if (pBusy)
                pBusy->store(false, std::memory_order_release);
        }
        ScratchHold(const ScratchHold&) = delete;
        ScratchHold& operator=(const ScratchHold&) = delete;
        std::atomic<bool>* pBusy;
        std::optional<RowScratch> own;
        RowScratch& s;
    };

    // The values of row index for columns, built in s from the row's cells as
    // the file holds them. Called under the store's lock.
    const std::vector<SPropValue>& Build(ULONG index, const std::vector<ULONG>* columns, RowScratch& s) const
    {
        const Plan& plan = PlanFor(columns);
        m_tc.row(index, plan.cells, s.row);
        const pst::TableRowView& row = s.row;
        ValueBuilder& b = s.b;
        // A row without 8-bit text has no use for a code page: none is looked for.
        b.Reset(plan.narrowCells ? RowCodePage(*m_ctx, row, m_codePage) : m_codePage);
        for (const pst::TableRowView::Cell& cell : row.cells) {
            if (pst::isVariableType(cell.type) && cell.raw.size() > kMaxInlineValue)
                b.addError(cell.id, MAPI_E_NOT_ENOUGH_MEMORY);
            else
                b.add(cell.id, cell.type, cell.raw);
        }
        for (uint32_t tag : row.damaged)
            b.addError(PROP_ID(tag), MAPI_E_CORRUPT_DATA);
        // A folder's or a message's row names an object of that kind; a row ID of
        // another kind was damaged, and its entry ID would open something else.
        if ((m_objectType == MAPI_FOLDER && !IsFolderNid(row.rowId)) ||
            (m_objectType == MAPI_MESSAGE && !IsMessageNid(row.rowId)))
            b.addError(PROP_ID(PR_ENTRYID), MAPI_E_CORRUPT_DATA);
        // The values the row adds where its cells do not hold them, found in
        // one pass over what it holds.
        bool hasEntryId = false, hasInstanceKey = false, hasObjectType = false, hasHasAttach = false,
             hasAttachNum = false;
        const SPropValue* messageFlags = nullptr;
        for (const SPropValue& v : b.values) {
            switch (PROP_ID(v.ulPropTag)) {
            case PROP_ID(PR_ENTRYID): hasEntryId = true; break;
            case PROP_ID(PR_INSTANCE_KEY): hasInstanceKey = true; break;
            case PROP_ID(PR_OBJECT_TYPE): hasObjectType = true; break;
            case PROP_ID(PR_HASATTACH): hasHasAttach = true; break;
            case PROP_ID(PR_ATTACH_NUM): hasAttachNum = true; break;
            case kIdMessageFlags:
                if (!messageFlags)
                    messageFlags = &v;
                break;
            default: break;
            }
        }
        // Read before the values below are added (which may move them).
        const bool bFlags = messageFlags && PROP_TYPE(messageFlags->ulPropTag) == PT_LONG;
        const ULONG ulFlags = bFlags ? messageFlags->Value.ul : 0;
        if ((m_objectType == MAPI_FOLDER || m_objectType == MAPI_MESSAGE) && !hasEntryId) {
            m_ctx->EntryIdInto(row.rowId, s.entryId);
            b.addBinary(PR_ENTRYID, s.entryId);
        }
        if (!hasInstanceKey) {
            std::array<uint8_t, 4> key;
            for (int k = 0; k < 4; ++k)
                key[static_cast<size_t>(k)] = static_cast<uint8_t>(row.rowId >> (8 * k));
            b.addBinary(PR_INSTANCE_KEY, key);
        }
        if (!hasObjectType)
            b.addLong(PR_OBJECT_TYPE, m_objectType);
        if (m_objectType == MAPI_MESSAGE && !hasHasAttach && bFlags)
            b.addBool(PR_HASATTACH, (ulFlags & kMsgFlagHasAttach) != 0);
        if (m_objectType == MAPI_ATTACH && !hasAttachNum)
            b.addLong(PR_ATTACH_NUM, index);
        // The values hold every string as PT_UNICODE: when that is the only
        // form asked for, they are handed out as they are.
        if (plan.asBuilt)
            return b.values;
        StringForms& forms = s.forms;
        std::vector<SPropValue>& values = s.values;
        forms.Reset();
        values.clear();
        const ULONG other = m_strings == PT_UNICODE ? PT_STRING8 : PT_UNICODE;
        values.reserve(b.values.size() + 4);
        for (const SPropValue& v : b.values) {
            const bool bString = IsStringType(PROP_TYPE(v.ulPropTag));
            if (!bString || plan.ownWanted)
                values.push_back(forms.In(v, m_strings));
            if (plan.otherWanted && bString)
                values.push_back(forms.In(v, other));
        }
        return values;
    }

    Context m_ctx;
    pst::TableContext m_tc;
    ULONG m_objectType;
    uint32_t m_codePage;
    ULONG m_strings;
    std::vector<ULONG> m_columns;
    // Under the lock: the plan for the columns m_planColumns (when
    // m_planValid), and the plan for rows of every column.
    mutable std::vector<ULONG> m_planColumns;
    mutable Plan m_plan;
    mutable bool m_planValid = false;
    mutable Plan m_allPlan;
    RowScratch m_scratch;
    std::atomic<bool> m_scratchBusy{false};
};

} // namespace

HRESULT MakeTable(const Context& ctx, pst::TableContext tc, ULONG objectType, uint32_t codePage, ULONG flags,
                  LPMAPITABLE* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    return Guarded([&]() -> HRESULT {
        const ULONG strings = (flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8;
        auto rows = std::make_shared<TableRows>(ctx, std::move(tc), objectType, codePage, strings);
        const std::vector<ULONG> columns = rows->Columns();
        return CreateTable(std::move(rows), columns, out);
    });
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
        LPSTREAM stream = nullptr;
        HRESULT hr = CreateMemoryStream(std::move(bytes), &stream);
        *out = stream;
        return hr;
    };
    auto fromFile = [&](const pst::PropEntry& e) {
        LPSTREAM stream = nullptr;
        HRESULT hr = CreateSourceStream(std::make_shared<PropertySource>(ctx, pc, e), owner, &stream);
        *out = stream;
        return hr;
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
                return fromFile(*e);
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
        return fromFile(*e);
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
        return NamesFromMap(ctx->store->nameMap(), lppPropTags, lpPropSetGuid, count, names);
    } catch (const pst::Error& e) {
        return FromError(e);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

HRESULT NamesFromMap(const pst::NameMap& map, LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG* count,
                     LPMAPINAMEID** names)
{
    if (!count || !names || !lppPropTags)
        return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *names = nullptr;
    try {
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
                if (bytes > 2)  // an empty name has no bytes to copy (and may have no buffer)
                    std::memcpy(p, np->nameUtf16.data(), bytes - 2);
                id->Kind.lpwstrName = static_cast<LPWSTR>(p);
            }
            out[i] = id;
        }
        if (all && FAILED(CopyTagArray(tags, lppPropTags))) {
            MAPIFreeBuffer(root);
            return MAPI_E_NOT_ENOUGH_MEMORY;
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
        return IdsFromMap(ctx->store->nameMap(), cNames, lppNames, flags, out);
    } catch (const pst::Error& e) {
        return FromError(e);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

HRESULT IdsFromMap(const pst::NameMap& map, ULONG cNames, LPMAPINAMEID* lppNames, ULONG flags, LPSPropTagArray* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (flags & MAPI_CREATE)
        return MAPI_E_NO_ACCESS;
    if (cNames == 0 || !lppNames)
        return MAPI_E_NO_SUPPORT;
    try {
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

} // namespace dravik::mapi32::pst_provider
