// Every stored value of every folder, message and recipient of the sample
// stores, as the store provider hands it out, against the raw values that
// `pffexport -d` dumps. Every difference fails, except those that pffexport's
// way of showing a store explains, all of them named here:
//  - values the provider computes (kComputed): pffexport shows only what the
//    file stores;
//  - table cells whose existence bit is clear: the provider has no value,
//    pffexport shows zero (KnownDifference);
//  - PR_SUBJECT stored with its prefix marker: the provider hands it out
//    without the marker (AsHandedOut);
//  - items of classes pffexport does not know are not exported (its log says
//    "Skipped item"): those messages are not compared;
//  - meeting requests and responses: pffexport writes no recipients of them;
//  - pffexport lists a folder's items in an order of its own: each of its
//    items is paired with the message that agrees with it most.
// 8-bit strings are compared as text, read in the code page the object names,
// else 1252 (the samples are Western stores).
#include "StoreLogon.h"
#include "../pst_codepage.h"
#include "../pst_text.h"

#include "mapi32/mapiguid.h"
#include "mapi32/utf.h"

#include "PffExport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

namespace {

using namespace dravik::mapi32;
namespace pff = dravik::pffexport;
using dravik::mapi32::testing::PasswordAnswer;
using dravik::mapi32::testing::StoreLogon;

// ---- the known differences, each with its reason.

// Values the provider computes (what MAPI clients rely on); pffexport shows
// only what the file stores.
const std::set<ULONG> kComputed = {
    PROP_ID(PR_ENTRYID),       PROP_ID(PR_RECORD_KEY),       PROP_ID(PR_PARENT_ENTRYID),
    PROP_ID(PR_OBJECT_TYPE),   PROP_ID(PR_STORE_ENTRYID),    PROP_ID(PR_STORE_RECORD_KEY),
    PROP_ID(PR_FOLDER_TYPE),   PROP_ID(PR_SUBFOLDERS),       PROP_ID(PR_CONTENT_COUNT),
    PROP_ID(PR_CONTENT_UNREAD), PROP_ID(PR_ASSOC_CONTENT_COUNT), PROP_ID(PR_HASATTACH),
    PROP_ID(PR_INSTANCE_KEY),
};

// The explanation of a difference that pffexport's way of showing the store
// accounts for, or nullopt. ours: the provider's value; stored: pffexport's.
std::optional<const char*> KnownDifference(ULONG id, const SPropValue* ours, const std::vector<uint8_t>& stored,
                                           bool tableRow)
{
    // A table cell whose existence bit is clear has no value; pffexport
    // shows the bytes of the row under it, zero.
    if (tableRow && ours && PROP_TYPE(ours->ulPropTag) == PT_ERROR && ours->Value.err == MAPI_E_NOT_FOUND &&
        std::all_of(stored.begin(), stored.end(), [](uint8_t b) { return b == 0; }))
        return "a table cell whose existence bit is clear: pffexport shows zero";
    (void)id;
    return std::nullopt;
}

// A stored text as the provider hands it out: PR_SUBJECT may be stored with a
// marker in front (0x01 and a character holding the length of its prefix,
// "RE: "), which MAPI clients do not get.
std::u16string AsHandedOut(ULONG id, std::u16string stored)
{
    if (id == 0x0037 && stored.size() >= 2 && stored[0] == 0x01)
        stored.erase(0, 2);
    return stored;
}

// ---- the provider's values as stored bytes.

// The elements of a stored multi-valued variable-size value (count, offsets,
// data), or nullopt when the layout does not hold.
std::optional<std::vector<std::vector<uint8_t>>> MvElements(const std::vector<uint8_t>& raw)
{
    const auto u32 = [&raw](size_t at) {
        return static_cast<uint32_t>(raw[at] | raw[at + 1] << 8 | raw[at + 2] << 16 | raw[at + 3] << 24);
    };
    std::vector<std::vector<uint8_t>> out;
    if (raw.size() < 4)
        return raw.empty() ? std::optional(out) : std::nullopt;
    const uint32_t count = u32(0);
    if (count > (raw.size() - 4) / 4)
        return std::nullopt;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t start = u32(4 + 4 * i);
        const uint32_t end = i + 1 < count ? u32(8 + 4 * i) : static_cast<uint32_t>(raw.size());
        if (start > end || end > raw.size())
            return std::nullopt;
        out.emplace_back(raw.begin() + start, raw.begin() + end);
    }
    return out;
}

// Text of a stored string: UTF-16LE, or 8-bit in codePage; up to a NUL.
std::u16string StoredText(uint16_t type, const std::vector<uint8_t>& raw, uint32_t codePage)
{
    return type == PT_UNICODE ? pst_text::FromUtf16Le(raw) : pst_text::Decode(raw, codePage);
}

// Compares one stored value with the provider's; "" when equal, else what differs.
std::string Compare(const pff::RawValue& stored, const SPropValue& ours, uint32_t codePage)
{
    const uint16_t type = static_cast<uint16_t>(stored.tag & 0xFFFF);
    const ULONG have = PROP_TYPE(ours.ulPropTag);
    const auto fixed = [&](size_t n, const void* p) -> std::string {
        if (stored.bytes.size() != n || std::memcmp(stored.bytes.data(), p, n) != 0)
            return "other bytes";
        return "";
    };
    switch (type) {
    case PT_I2: return have == PT_I2 ? fixed(2, &ours.Value.i) : "other type";
    case PT_LONG: case PT_R4: case PT_ERROR:
        return have == type ? fixed(4, &ours.Value.l) : "other type";
    case PT_DOUBLE: case PT_APPTIME: case PT_CURRENCY: case PT_I8: case PT_SYSTIME:
        return have == type ? fixed(8, &ours.Value.li) : "other type";
    case PT_BOOLEAN:
        if (have != PT_BOOLEAN || stored.bytes.empty())
            return "other type";
        return (stored.bytes[0] != 0) == (ours.Value.b != 0) ? "" : "other truth value";
    case PT_CLSID: return have == PT_CLSID ? fixed(16, ours.Value.lpguid) : "other type";
    case PT_STRING8: case PT_UNICODE:
        if (have != PT_UNICODE)
            return "other type";
        return AsHandedOut(stored.tag >> 16, StoredText(type, stored.bytes, codePage)) == std::u16string(ours.Value.lpszW)
                   ? ""
                   : "other text";
    case PT_MV_STRING8: case PT_MV_UNICODE: case PT_MV_BINARY: {
        const auto items = MvElements(stored.bytes);
        if (!items)
            return "pffexport's value is no multi-valued layout";
        const bool binary = type == PT_MV_BINARY;
        if (have != (binary ? PT_MV_BINARY : PT_MV_UNICODE))
            return "other type";
        const ULONG n = binary ? ours.Value.MVbin.cValues : ours.Value.MVszW.cValues;
        if (n != items->size())
            return "other count";
        for (ULONG i = 0; i < n; ++i) {
            const bool same = binary ? (*items)[i] == std::vector<uint8_t>(ours.Value.MVbin.lpbin[i].lpb,
                                                                           ours.Value.MVbin.lpbin[i].lpb +
                                                                               ours.Value.MVbin.lpbin[i].cb)
                                     : StoredText(type & ~MV_FLAG, (*items)[i], codePage) ==
                                           std::u16string(ours.Value.MVszW.lppszW[i]);
            if (!same)
                return "other element " + std::to_string(i);
        }
        return "";
    }
    default:
        if (type & MV_FLAG) {  // fixed-size elements, packed
            if (have != type)
                return "other type";
            const unsigned size = dravik::pst::fixedTypeSize(type & ~MV_FLAG);
            return fixed(size * ours.Value.MVl.cValues, ours.Value.MVl.lpl);
        }
        if (have != type)
            return "other type";
        return fixed(ours.Value.bin.cb, ours.Value.bin.lpb);  // binary and every other variable type
    }
}

// A value too large for GetProps, read whole through OpenProperty as the
// stored type names it (strings as PT_UNICODE).
std::optional<SPropValue> ReadLarge(IMAPIProp* object, uint32_t tag, std::vector<uint8_t>& keep, std::u16string& text)
{
    const ULONG type = PROP_TYPE(tag);
    const bool string = type == PT_STRING8 || type == PT_UNICODE;
    LPUNKNOWN unk = nullptr;
    if (FAILED(object->OpenProperty(string ? PROP_TAG(PT_UNICODE, PROP_ID(tag)) : tag, &IID_IStream, 0, 0, &unk)))
        return std::nullopt;
    auto* stream = static_cast<IStream*>(unk);
    uint8_t chunk[65536];
    ULONG got = 0;
    keep.clear();
    do {
        if (FAILED(stream->Read(chunk, sizeof chunk, &got)))
            break;
        keep.insert(keep.end(), chunk, chunk + got);
    } while (got > 0);
    stream->Release();
    SPropValue v{};
    if (string) {
        text = pst_text::FromUtf16Le(keep);
        v.ulPropTag = PROP_TAG(PT_UNICODE, PROP_ID(tag));
        v.Value.lpszW = text.data();
    } else {
        v.ulPropTag = tag;
        v.Value.bin.cb = static_cast<ULONG>(keep.size());
        v.Value.bin.lpb = keep.data();
    }
    return v;
}

// ---- the comparison of one object or one row.

struct Tally
{
    size_t values = 0;
    std::vector<std::string> differences;
};

// stored: pffexport's values of the object; ours: the provider's; object: for
// values too large for GetProps (null for a table row).
void CompareValues(const std::string& where, const pff::RawValues& stored, const SPropValue* ours, ULONG count,
                   IMAPIProp* object, Tally& tally)
{
    // The code page pffexport's 8-bit strings are read in: the object's own, else the samples' 1252.
    const auto own = pst_provider::OwnCodePage([&stored](uint16_t id) -> std::optional<dravik::pst::Property> {
        for (const pff::RawValue& v : stored)
            if ((v.tag >> 16) == id)
                return dravik::pst::Property{id, static_cast<uint16_t>(v.tag & 0xFFFF), v.bytes};
        return std::nullopt;
    });
    const uint32_t codePage = own.value_or(pst_text::kDefaultCodePage);
    std::set<ULONG> seen;
    for (const pff::RawValue& s : stored) {
        const ULONG id = s.tag >> 16;
        seen.insert(id);
        ++tally.values;
        const SPropValue* v = PpropFindProp(const_cast<LPSPropValue>(ours), count, PROP_TAG(PT_UNSPECIFIED, id));
        std::vector<uint8_t> keep;
        std::u16string text;
        std::optional<SPropValue> large;
        if (v && PROP_TYPE(v->ulPropTag) == PT_ERROR && v->Value.err == MAPI_E_NOT_ENOUGH_MEMORY && object &&
            (large = ReadLarge(object, s.tag, keep, text)))
            v = &*large;
        if (KnownDifference(id, v, s.bytes, object == nullptr))
            continue;
        char tag[16];
        std::snprintf(tag, sizeof tag, "0x%08x", s.tag);
        if (!v) {
            tally.differences.push_back(where + ": " + tag + " only pffexport shows");
            continue;
        }
        const std::string d = Compare(s, *v, codePage);
        if (!d.empty())
            tally.differences.push_back(where + ": " + tag + ": " + d);
    }
    for (ULONG i = 0; i < count; ++i) {
        const ULONG id = PROP_ID(ours[i].ulPropTag);
        if (!seen.count(id) && !kComputed.count(id)) {
            char tag[16];
            std::snprintf(tag, sizeof tag, "0x%08x", static_cast<unsigned>(ours[i].ulPropTag));
            tally.differences.push_back(where + ": " + tag + " only the provider shows");
        }
    }
}

// ---- the walk of the provider's store.

struct Rows
{
    LPSRowSet rows = nullptr;
    ~Rows()
    {
        if (rows)
            FreeProws(rows);
    }
};

HRESULT AllRows(LPMAPITABLE table, Rows& out)
{
    const HRESULT hr = HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &out.rows);
    table->Release();
    return hr;
}

template <class I>
I* Open(IMAPIContainer* through, const SRow& row)
{
    const SPropValue* eid = PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID);
    if (!eid)
        return nullptr;
    LPUNKNOWN unk = nullptr;
    ULONG type = 0;
    if (FAILED(through->OpenEntry(eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr, 0,
                                  &type, &unk)))
        return nullptr;
    return static_cast<I*>(unk);
}

void CompareObject(const std::string& where, const pff::RawValues& stored, IMAPIProp* object, Tally& tally)
{
    ULONG count = 0;
    LPSPropValue values = nullptr;
    if (FAILED(object->GetProps(nullptr, MAPI_UNICODE, &count, &values))) {
        tally.differences.push_back(where + ": GetProps failed");
        return;
    }
    CompareValues(where, stored, values, count, object, tally);
    MAPIFreeBuffer(values);
}

void CompareMessage(const pff::RawItem& item, IMessage* message, Tally& tally)
{
    CompareObject(item.where, item.values, message, tally);
    if (!item.recipientsShown)
        return;  // pffexport writes no recipients of meeting requests and responses
    LPMAPITABLE table = nullptr;
    Rows recipients;
    if (FAILED(message->GetRecipientTable(MAPI_UNICODE, &table)) || FAILED(AllRows(table, recipients))) {
        tally.differences.push_back(item.where + ": the recipients cannot be read");
        return;
    }
    if (recipients.rows->cRows != item.recipients.size()) {
        tally.differences.push_back(item.where + ": " + std::to_string(recipients.rows->cRows) +
                                    " recipients, pffexport " + std::to_string(item.recipients.size()));
        return;
    }
    for (ULONG i = 0; i < recipients.rows->cRows; ++i)
        CompareValues(item.where + " recipient " + std::to_string(i), item.recipients[i],
                      recipients.rows->aRow[i].lpProps, recipients.rows->aRow[i].cValues, nullptr, tally);
}

// How many of pffexport's values of an item the provider's values of a
// message hold as they are: how well the two stand for the same message.
size_t Agreement(const pff::RawValues& stored, const SPropValue* ours, ULONG count)
{
    size_t n = 0;
    for (const pff::RawValue& s : stored)
        if (const SPropValue* v = PpropFindProp(const_cast<LPSPropValue>(ours), count, PROP_TAG(PT_UNSPECIFIED, s.tag >> 16)))
            n += Compare(s, *v, pst_text::kDefaultCodePage).empty();
    return n;
}

// pffexport lists a folder's items in an order of its own: each item is
// compared with the message of the folder that agrees with it most.
void CompareItems(const std::string& path, IMAPIFolder* folder, const Rows& contents,
                  const std::vector<pff::RawItem>& items, const std::set<std::string>& skipped, Tally& tally)
{
    struct Ours
    {
        IMessage* message = nullptr;
        LPSPropValue values = nullptr;
        ULONG count = 0;
        bool used = false;
    };
    std::vector<Ours> ours;
    for (ULONG i = 0; i < contents.rows->cRows; ++i) {
        const SRow& row = contents.rows->aRow[i];
        const SPropValue* cls = PpropFindProp(row.lpProps, row.cValues, PR_MESSAGE_CLASS_W);
        if (cls && PROP_TYPE(cls->ulPropTag) == PT_UNICODE && skipped.count(Utf16ToUtf8(cls->Value.lpszW)))
            continue;  // a class pffexport leaves out
        Ours& o = ours.emplace_back();
        o.message = Open<IMessage>(folder, row);
        if (o.message)
            o.message->GetProps(nullptr, MAPI_UNICODE, &o.count, &o.values);
    }
    if (items.size() != ours.size())
        tally.differences.push_back(path + ": pffexport shows " +
                                    std::to_string(items.size()) + " items, the provider " +
                                    std::to_string(ours.size()) + " messages");
    for (const pff::RawItem& item : items) {
        Ours* best = nullptr;
        size_t bestScore = 0;
        for (Ours& o : ours) {
            if (o.used || !o.values)
                continue;
            const size_t score = Agreement(item.values, o.values, o.count);
            if (!best || score > bestScore)
                best = &o, bestScore = score;
        }
        if (!best) {
            tally.differences.push_back(item.where + ": no message of the provider is left for it");
            continue;
        }
        best->used = true;
        CompareMessage(item, best->message, tally);
    }
    for (Ours& o : ours) {
        if (o.values)
            MAPIFreeBuffer(o.values);
        if (o.message)
            o.message->Release();
    }
}

void CompareFolder(LPMDB store, IMAPIFolder* folder, const std::string& path, const pff::RawTree& exported,
                   std::set<std::string>& compared, Tally& tally)
{
    LPMAPITABLE table = nullptr;
    Rows children;
    if (FAILED(folder->GetHierarchyTable(MAPI_UNICODE, &table)) || FAILED(AllRows(table, children))) {
        tally.differences.push_back(path + ": the subfolders cannot be read");
        return;
    }
    for (ULONG i = 0; i < children.rows->cRows; ++i) {
        const SRow& row = children.rows->aRow[i];
        const SPropValue* name = PpropFindProp(row.lpProps, row.cValues, PR_DISPLAY_NAME_W);
        const std::string childPath =
            pff::folderPath(path, name && PROP_TYPE(name->ulPropTag) == PT_UNICODE ? Utf16ToUtf8(name->Value.lpszW) : "");
        auto* child = Open<IMAPIFolder>(folder, row);
        if (!child) {
            tally.differences.push_back(childPath + ": the folder cannot be opened");
            continue;
        }
        const auto it = exported.folders.find(childPath);
        if (it != exported.folders.end()) {
            compared.insert(childPath);
            CompareObject(it->second.where, it->second.values, child, tally);
            Rows contents;
            if (FAILED(child->GetContentsTable(MAPI_UNICODE, &table)) || FAILED(AllRows(table, contents))) {
                tally.differences.push_back(childPath + ": the contents cannot be read");
            } else {
                CompareItems(childPath, child, contents, it->second.items, exported.skippedClasses, tally);
            }
        }
        CompareFolder(store, child, childPath, exported, compared, tally);
        child->Release();
    }
}

class PffValues : public ::testing::TestWithParam<pff::Sample>
{
};

TEST_P(PffValues, EveryStoredValueOfFoldersMessagesAndRecipientsAgrees)
{
    const std::string path = std::string(DRAVIK_SAMPLES_DIR) + "/" + GetParam().file;
    pff::RawTree exported;
    std::string error;
    ASSERT_TRUE(pff::runValues(path, exported, error)) << error;

    StoreLogon logon;
    PasswordAnswer answer(GetParam().password ? GetParam().password : "");
    SetStorePasswordPrompt(&answer);
    ASSERT_EQ(logon.Open(path, MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE | MAPI_LOGON_UI), S_OK);
    LPUNKNOWN unk = nullptr;
    ULONG type = 0;
    ASSERT_EQ(logon.store->OpenEntry(0, nullptr, nullptr, 0, &type, &unk), S_OK);
    auto* root = static_cast<IMAPIFolder*>(unk);
    Tally tally;
    std::set<std::string> compared;
    CompareFolder(logon.store, root, "", exported, compared, tally);
    root->Release();
    for (const auto& [folder, values] : exported.folders)
        if (!compared.count(folder))
            tally.differences.push_back(folder + ": a folder only pffexport shows");
    for (const std::string& d : tally.differences)
        ADD_FAILURE() << d;
    EXPECT_GT(tally.values, 0u);
    RecordProperty("valuesCompared", static_cast<int>(tally.values));
    std::printf("%s: %zu values compared\n", GetParam().file, tally.values);
}

INSTANTIATE_TEST_SUITE_P(Samples, PffValues, ::testing::ValuesIn(pff::samples()),
                         [](const auto& info) { return pff::testName(info.param); });

} // namespace
