// The store provider's view of one opened store file: the library's store
// under one lock, entry IDs, code page, and the helpers its objects share for
// tables, property streams and named properties.
#pragma once

#include "pst_values.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"

#include "pst/messaging/recovery.h"
#include "pst/messaging/store.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace dravik::mapi32::pst_provider {

// What the store recovered from outside its hierarchy, as properties in the
// provider's own range: where an item came from, the file offsets of its
// blocks, and "complete" or "partial: ...". The store's
// PR_DRAVIK_RECOVERED_ENTRYID is the entry ID of its "Recovered Items"
// folder, which no hierarchy table lists.
constexpr ULONG PR_DRAVIK_RECOVERED_FROM = PROP_TAG(PT_UNICODE, 0x67E0);
constexpr ULONG PR_DRAVIK_RECOVERED_BLOCKS = PROP_TAG(PT_UNICODE, 0x67E1);
constexpr ULONG PR_DRAVIK_RECOVERED_STATE = PROP_TAG(PT_UNICODE, 0x67E2);
constexpr ULONG PR_DRAVIK_RECOVERED_ENTRYID = PROP_TAG(PT_BINARY, 0x67E3);

// The folders of what was recovered: made-up folder NIDs with the highest
// indexes, which no store comes near (recovered messages count down from
// pst::kRecoveredNidBase, a message NID type).
constexpr uint32_t kNidRecoveredItems = 0xFFFFFFE2u;
constexpr uint32_t kNidRecoveredOrphaned = 0xFFFFFFC2u;
constexpr uint32_t kNidRecoveredDeleted = 0xFFFFFFA2u;
inline bool IsRecoveredFolderNid(uint32_t nid)
{
    return nid == kNidRecoveredItems || nid == kNidRecoveredOrphaned || nid == kNidRecoveredDeleted;
}

// The HRESULT of a failure of the format library.
HRESULT FromError(const pst::Error& e);

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

// One store file opened by a logon, shared by every object of that store.
struct StoreContext
{
    std::shared_ptr<pst::Store> store;
    std::string path;
    std::vector<uint8_t> recordKey;  // the store's PR_RECORD_KEY: 16 bytes of every entry ID
    std::string storeEntryId;        // the session's entry ID of the store
    std::string displayName;         // PR_DISPLAY_NAME of the store
    uint32_t codePage = pst_text::kDefaultCodePage;  // the store's own (or the user's choice)
    uint32_t userCodePage = 0;  // the user's choice for every 8-bit string, 0 for none
    // The library reads through one reader with caches: every read of the store is made under this.
    mutable std::mutex lock;
    // The code pages of messages read for contents-table rows, by NID (under the lock).
    mutable std::unordered_map<uint32_t, uint32_t> messageCodePages;

    // What recovery found, made when a recovered folder is first opened (a walk
    // of the hierarchy never makes it). Under the lock.
    mutable std::optional<pst::Recovery> recovery;
    const pst::Recovery& Recovered() const
    {
        if (!recovery) {
            const pst::Ledger ledger = pst::buildLedger(*store);
            recovery.emplace(pst::recoverItems(pst::openFile(path), ledger));
        }
        return *recovery;
    }
    // The recovered message behind nid, if recovery has run and found one. Under the lock.
    const pst::RecoveredItem* RecoveredMessage(uint32_t nid) const
    {
        if (!recovery)
            return nullptr;
        for (const pst::RecoveredItem& item : recovery->items)
            if (item.kind == pst::RecoveredItem::Kind::Message && item.node.nid == nid)
                return &item;
        return nullptr;
    }

    // MS-PST 2.2.1: rgbFlags (4 bytes, zero), the store's record key (uid), the NID.
    std::vector<uint8_t> EntryId(uint32_t nid) const
    {
        std::vector<uint8_t> eid;
        EntryIdInto(nid, eid);
        return eid;
    }
    // The same in eid, reusing its memory (a table builds one for every row).
    void EntryIdInto(uint32_t nid, std::vector<uint8_t>& eid) const
    {
        eid.assign(4 + recordKey.size() + 4, 0);
        std::copy(recordKey.begin(), recordKey.end(), eid.begin() + 4);
        for (size_t i = 0; i < 4; ++i)
            eid[4 + recordKey.size() + i] = static_cast<uint8_t>(nid >> (8 * i));
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
    // The code page of an object's 8-bit strings: the user's choice, else
    // the object's own or its locale's, else fallback (its message's, or the
    // store's).
    uint32_t CodePageOf(const pst::PropertyContext& pc, std::optional<uint32_t> fallback = std::nullopt) const
    {
        if (userCodePage)
            return userCodePage;
        if (auto cp = OwnCodePage(pc))
            return *cp;
        return fallback ? *fallback : codePage;
    }
};
using Context = std::shared_ptr<const StoreContext>;

bool IsFolderNid(uint32_t nid);
bool IsMessageNid(uint32_t nid);

// A table context as a table whose rows are read from the file as they are
// asked for: its columns and cells in the file's order, with PR_ENTRYID
// (folders and messages), PR_INSTANCE_KEY, PR_OBJECT_TYPE, PR_HASATTACH
// (messages) and PR_ATTACH_NUM (attachments) added to every row. Rows hold each
// string in both forms, so either tag finds it; the default columns name the
// form flags ask for (MAPI_UNICODE). The table keeps the store open.
HRESULT MakeTable(const Context& ctx, pst::TableContext tc, ULONG objectType, uint32_t codePage, ULONG flags,
                  LPMAPITABLE* out);

// IMAPIProp::OpenProperty as IID_IStream, read-only, of an object whose file
// values are pc and whose values are `values`; owner is kept alive by the stream.
HRESULT OpenValueStream(const Context& ctx, IUnknown* owner, const pst::PropertyContext& pc, const PropertySet& values,
                        uint32_t codePage, ULONG tag, LPCIID iid, ULONG flags, LPUNKNOWN* out);

// IMAPIProp::GetNamesFromIDs and GetIDsFromNames over the store's name-to-ID map.
HRESULT NamesFromIds(const Context& ctx, LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG* count,
                     LPMAPINAMEID** names);
HRESULT IdsFromNames(const Context& ctx, ULONG cNames, LPMAPINAMEID* lppNames, ULONG flags, LPSPropTagArray* out);
// The same over a map at hand (a .msg file's).
HRESULT NamesFromMap(const pst::NameMap& map, LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG* count,
                     LPMAPINAMEID** names);
HRESULT IdsFromMap(const pst::NameMap& map, ULONG cNames, LPMAPINAMEID* lppNames, ULONG flags, LPSPropTagArray* out);

} // namespace dravik::mapi32::pst_provider
