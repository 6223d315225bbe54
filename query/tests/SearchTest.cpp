// The search against brute force: on every sample store, for a table of
// queries built from values of the store's own objects, the messages the
// search finds are exactly those that a plain predicate, written here without
// the evaluator, accepts when run over every message's properties.
#include "query/Search.h"

#include "TempProfile.h"
#include "mapi32/mapix.h"
#include "mapi32/table.h"
#include "props/IniFile.h"
#include "props/MapiRef.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

using namespace dravik::query;
namespace fs = std::filesystem;

namespace {

constexpr ULONG kSubject = 0x0037, kBody = 0x1000, kDelivery = 0x0E06, kSize = 0x0E08, kHasAttach = 0x0E1B,
                kFlags = 0x0E07, kEmail = 0x3003, kDisplayName = 0x3001, kLongFilename = 0x3707;

// One message as the brute force sees it.
struct Msg
{
    std::vector<BYTE> eid;
    std::map<ULONG, std::string> text;          // string values by ID (UTF-8), large ones read whole
    std::set<ULONG> present;                    // IDs with a value (a large one included)
    std::map<ULONG, std::int64_t> number;       // integers, booleans and times by ID
    std::map<ULONG, size_t> unicodeSize;        // bytes of a PT_UNICODE value with its terminator
    std::vector<std::map<ULONG, std::string>> recipients, attachments;  // string values of each row
    // The message's row in its folder's contents table: numbers and strings by ID.
    std::map<ULONG, std::string> row;
};

// Whether the contents table lists the message with a value its own properties do not have.
bool RowDisagrees(const Msg& m)
{
    for (const auto& [id, value] : m.row) {
        auto t = m.text.find(id);
        auto n = m.number.find(id);
        if (t != m.text.end() && t->second != value)
            return true;
        if (n != m.number.end() && std::to_string(n->second) != value)
            return true;
    }
    return false;
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Str(const SPropValue& v)
{
    std::string s;
    dravik::mapi32::ValueText(v, s);
    return s;
}

std::vector<std::map<ULONG, std::string>> Rows(IMAPITable* table)
{
    std::vector<std::map<ULONG, std::string>> out;
    LPSRowSet rows = nullptr;
    if (!table || FAILED(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows)))
        return out;
    for (ULONG r = 0; r < rows->cRows; ++r) {
        std::map<ULONG, std::string> row;
        for (ULONG i = 0; i < rows->aRow[r].cValues; ++i) {
            const SPropValue& v = rows->aRow[r].lpProps[i];
            if (PROP_TYPE(v.ulPropTag) == PT_UNICODE || PROP_TYPE(v.ulPropTag) == PT_STRING8)
                row[PROP_ID(v.ulPropTag)] = Str(v);
            else if (PROP_TYPE(v.ulPropTag) != PT_ERROR)
                row[PROP_ID(v.ulPropTag)];
        }
        out.push_back(std::move(row));
    }
    FreeProws(rows);
    return out;
}

void ReadMessage(IMessage* m, Msg& msg)
{
    ULONG n = 0;
    LPSPropValue props = nullptr;
    ASSERT_TRUE(SUCCEEDED(m->GetProps(nullptr, MAPI_UNICODE, &n, &props)));  // MAPI_W_ERRORS_RETURNED with error values
    for (ULONG i = 0; i < n; ++i) {
        const SPropValue& v = props[i];
        const ULONG id = PROP_ID(v.ulPropTag);
        switch (PROP_TYPE(v.ulPropTag)) {
        case PT_UNICODE: {
            msg.text[id] = Str(v);
            size_t units = 0;
            while (v.Value.lpszW[units])
                ++units;
            msg.unicodeSize[id] = (units + 1) * 2;
            break;
        }
        case PT_STRING8: msg.text[id] = Str(v); break;
        case PT_LONG: msg.number[id] = v.Value.l; break;
        case PT_BOOLEAN: msg.number[id] = v.Value.b ? 1 : 0; break;
        case PT_SYSTIME:
            msg.number[id] = static_cast<std::int64_t>((std::uint64_t(v.Value.ft.dwHighDateTime) << 32) | v.Value.ft.dwLowDateTime);
            break;
        case PT_ERROR:
            if (v.Value.err != MAPI_E_NOT_ENOUGH_MEMORY)
                continue;
            break;  // too large for GetProps, but there
        default: break;
        }
        msg.present.insert(id);
    }
    MAPIFreeBuffer(props);
    CRef<IMAPITable> t;
    if (SUCCEEDED(m->GetRecipientTable(MAPI_UNICODE, t.Out())))
        msg.recipients = Rows(t.Get());
    if (SUCCEEDED(m->GetAttachmentTable(MAPI_UNICODE, t.Out())))
        msg.attachments = Rows(t.Get());
}

void Walk(IMsgStore* store, IMAPIFolder* folder, std::vector<Msg>& out, int depth = 0)
{
    ASSERT_LT(depth, 64);
    CRef<IMAPITable> contents;
    if (SUCCEEDED(folder->GetContentsTable(MAPI_UNICODE, contents.Out()))) {
        LPSRowSet rows = nullptr;
        ASSERT_EQ(HrQueryAllRows(contents.Get(), nullptr, nullptr, nullptr, 0, &rows), S_OK);
        for (ULONG r = 0; r < rows->cRows; ++r) {
            const SPropValue* eid = PpropFindProp(rows->aRow[r].lpProps, rows->aRow[r].cValues, PR_ENTRYID);
            if (!eid)
                continue;
            ULONG type = 0;
            CRef<IUnknown> unk;
            if (FAILED(folder->OpenEntry(eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr,
                                         MAPI_BEST_ACCESS, &type, unk.Out())))
                continue;
            auto* m = dynamic_cast<IMessage*>(unk.Get());
            if (!m)
                continue;
            Msg msg;
            msg.eid.assign(eid->Value.bin.lpb, eid->Value.bin.lpb + eid->Value.bin.cb);
            for (ULONG i = 0; i < rows->aRow[r].cValues; ++i) {
                const SPropValue& v = rows->aRow[r].lpProps[i];
                const ULONG id = PROP_ID(v.ulPropTag);
                switch (PROP_TYPE(v.ulPropTag)) {
                case PT_UNICODE: msg.row[id] = Str(v); break;
                case PT_LONG: msg.row[id] = std::to_string(v.Value.l); break;
                case PT_BOOLEAN: msg.row[id] = v.Value.b ? "1" : "0"; break;
                case PT_SYSTIME:
                    msg.row[id] = std::to_string((std::uint64_t(v.Value.ft.dwHighDateTime) << 32) | v.Value.ft.dwLowDateTime);
                    break;
                default: break;
                }
            }
            ReadMessage(m, msg);
            out.push_back(std::move(msg));
        }
        FreeProws(rows);
    }
    CRef<IMAPITable> hierarchy;
    if (FAILED(folder->GetHierarchyTable(0, hierarchy.Out())))
        return;
    LPSRowSet rows = nullptr;
    ASSERT_EQ(HrQueryAllRows(hierarchy.Get(), nullptr, nullptr, nullptr, 0, &rows), S_OK);
    for (ULONG r = 0; r < rows->cRows; ++r) {
        const SPropValue* eid = PpropFindProp(rows->aRow[r].lpProps, rows->aRow[r].cValues, PR_ENTRYID);
        ULONG type = 0;
        CRef<IUnknown> unk;
        if (eid && SUCCEEDED(store->OpenEntry(eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr,
                                              MAPI_BEST_ACCESS, &type, unk.Out())))
            if (auto* sub = dynamic_cast<IMAPIFolder*>(unk.Get()))
                Walk(store, sub, out, depth + 1);
    }
    FreeProws(rows);
}

std::string Quote(const std::string& s)
{
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

std::string DateText(std::int64_t ft)
{
    SPropValue v{};
    v.ulPropTag = PR_MESSAGE_DELIVERY_TIME;
    v.Value.ft.dwLowDateTime = static_cast<DWORD>(ft);
    v.Value.ft.dwHighDateTime = static_cast<DWORD>(std::uint64_t(ft) >> 32);
    SRestriction r{};
    r.rt = RES_PROPERTY;
    r.res.resProperty.lpProp = &v;
    const std::string text = RestrictionText(&r);  // PROPERTY(0x... = YYYY-MM-DDThh:mm:ss)
    return text.substr(text.size() - 20, 19);
}

struct Case
{
    std::string query;
    std::function<bool(const Msg&)> oracle;
};


// The queries for one store, each from values its own messages hold.
std::vector<Case> CasesFor(const std::vector<Msg>& msgs, IMsgStore* store)
{
    std::vector<Case> cases;
    const auto has = [](const Msg& m, ULONG id) { return m.present.count(id) != 0; };
    const auto text = [](const Msg& m, ULONG id) {
        auto it = m.text.find(id);
        return it == m.text.end() ? std::optional<std::string>() : it->second;
    };
    const auto num = [](const Msg& m, ULONG id) {
        auto it = m.number.find(id);
        return it == m.number.end() ? std::optional<std::int64_t>() : it->second;
    };
    // Equality and substring on a real subject.
    for (const Msg& m : msgs) {
        const auto s = text(m, kSubject);
        if (!s || s->size() < 6 || s->find('\0') != std::string::npos)
            continue;
        cases.push_back({"PR_SUBJECT = " + Quote(*s), [=](const Msg& x) { return text(x, kSubject) == s; }});
        std::string needle = s->substr(s->size() / 2 - 2, 3);
        if (std::all_of(needle.begin(), needle.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); })) {
            for (char& c : needle)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            cases.push_back({"PR_SUBJECT contains " + Quote(needle), [=](const Msg& x) {
                                 const auto t = text(x, kSubject);
                                 return t && Lower(*t).find(Lower(needle)) != std::string::npos;
                             }});
        }
        break;
    }
    cases.push_back({"0x0037001F prefix \"RE:\"", [=](const Msg& x) {
                         const auto t = text(x, kSubject);
                         return t && Lower(t->substr(0, 3)) == "re:";
                     }});
    // A range of dates and of sizes around real values.
    for (const Msg& m : msgs)
        if (const auto d = num(m, kDelivery)) {
            const std::int64_t day = 864000000000ll;
            const std::int64_t from = *d - *d % day, to = from + 30 * day;
            cases.push_back({"PR_MESSAGE_DELIVERY_TIME >= " + DateText(from) + " and PR_MESSAGE_DELIVERY_TIME < " + DateText(to),
                             [=](const Msg& x) {
                                 const auto t = num(x, kDelivery);
                                 return t && *t >= from && *t < to;
                             }});
            cases.push_back({"PR_MESSAGE_DELIVERY_TIME < 2001-06-01", [=](const Msg& x) {
                                 const auto t = num(x, kDelivery);
                                 return t && *t < *FileTimeFromDate(2001, 6, 1, 0, 0, 0);
                             }});
            break;
        }
    for (const Msg& m : msgs)
        if (const auto size = num(m, kSize)) {
            cases.push_back({"PR_MESSAGE_SIZE >= " + std::to_string(*size) + " and PR_HASATTACH = true", [=](const Msg& x) {
                                 const auto s = num(x, kSize);
                                 const auto a = num(x, kHasAttach);
                                 return s && *s >= *size && a && *a == 1;
                             }});
            break;
        }
    cases.push_back({"size PR_SUBJECT > 40", [=](const Msg& x) {
                         auto it = x.unicodeSize.find(kSubject);
                         return it != x.unicodeSize.end() && it->second > 40;
                     }});
    cases.push_back({"PR_MESSAGE_FLAGS & 0x10 != 0", [=](const Msg& x) {
                         const auto f = num(x, kFlags);
                         return f && (*f & 0x10) != 0;
                     }});
    // Not, or, a body of any size.
    cases.push_back({"not exists PR_BODY", [=](const Msg& x) { return !has(x, kBody); }});
    cases.push_back({"PR_HASATTACH = true or not (exists PR_BODY and exists PR_SUBJECT)", [=](const Msg& x) {
                         const auto a = num(x, kHasAttach);
                         return (a && *a == 1) || !(has(x, kBody) && has(x, kSubject));
                     }});
    // A named property a real message holds, by its set and its ID or name.
    for (const Msg& m : msgs) {
        const auto named = std::find_if(m.present.begin(), m.present.end(), [](ULONG id) { return id >= 0x8000; });
        if (named == m.present.end())
            continue;
        const ULONG id = *named;
        SPropTagArray one{1, {PROP_TAG(PT_UNSPECIFIED, id)}};
        LPSPropTagArray tags = &one;
        ULONG count = 0;
        LPMAPINAMEID* names = nullptr;
        if (FAILED(store->GetNamesFromIDs(&tags, nullptr, 0, &count, &names)) || count != 1 || !names[0])
            continue;
        const MAPINAMEID& n = *names[0];
        char guid[40];
        std::snprintf(guid, sizeof guid, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", n.lpguid->Data1,
                      n.lpguid->Data2, n.lpguid->Data3, n.lpguid->Data4[0], n.lpguid->Data4[1], n.lpguid->Data4[2],
                      n.lpguid->Data4[3], n.lpguid->Data4[4], n.lpguid->Data4[5], n.lpguid->Data4[6], n.lpguid->Data4[7]);
        std::string key;
        if (n.ulKind == MNID_ID) {
            key = std::to_string(n.Kind.lID);
        } else {
            SPropValue v{};
            v.ulPropTag = PROP_TAG(PT_UNICODE, 1);
            v.Value.lpszW = n.Kind.lpwstrName;
            key = Quote(Str(v));
        }
        MAPIFreeBuffer(names);
        cases.push_back({std::string("exists {") + guid + ", " + key + "}", [=](const Msg& x) { return has(x, id); }});
        break;
    }
    // Recipients and attachments.
    for (const Msg& m : msgs)
        for (const auto& r : m.recipients) {
            auto it = r.find(kEmail);
            if (it == r.end() || it->second.size() < 4)
                continue;
            const std::string needle = it->second.substr(it->second.size() - 4);
            cases.push_back({"recipients(PR_EMAIL_ADDRESS contains " + Quote(needle) + ")", [=](const Msg& x) {
                                 return std::any_of(x.recipients.begin(), x.recipients.end(), [&](const auto& row) {
                                     auto e = row.find(kEmail);
                                     return e != row.end() && Lower(e->second).find(Lower(needle)) != std::string::npos;
                                 });
                             }});
            goto recipientsDone;
        }
recipientsDone:
    cases.push_back({"not recipients(exists PR_DISPLAY_NAME)", [=](const Msg& x) {
                         return std::none_of(x.recipients.begin(), x.recipients.end(),
                                             [&](const auto& row) { return row.count(kDisplayName) != 0; });
                     }});
    cases.push_back({"attachments(PR_ATTACH_LONG_FILENAME contains \".\")", [=](const Msg& x) {
                         return std::any_of(x.attachments.begin(), x.attachments.end(), [&](const auto& row) {
                             auto f = row.find(kLongFilename);
                             return f != row.end() && f->second.find('.') != std::string::npos;
                         });
                     }});
    return cases;
}

class SearchVersusBruteForce : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/dravik-query-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_profiles = dir;
        ASSERT_EQ(::setenv("DRAVIK_MAPI_PROFILES", dir, 1), 0);
        GetIniFile().Load(DRAVIK_SOURCE_DIR "/Dravik.ini");
        MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
        ASSERT_EQ(MAPIInitialize(&init), S_OK);
    }
    void TearDown() override
    {
        MAPIUninitialize();
        std::error_code ec;
        fs::remove_all(m_profiles, ec);
    }
    fs::path m_profiles;
};

TEST_F(SearchVersusBruteForce, FindsWhatEvaluatingEveryMessageFinds)
{
    int stores = 0, queries = 0, outOfDate = 0;
    size_t matches = 0;
    for (const auto& entry : fs::directory_iterator(DRAVIK_SAMPLES_DIR)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".pst" && ext != ".ost")
            continue;
        const std::string name = entry.path().filename().string();
        CTempProfile profile;
        std::string step;
        ASSERT_EQ(profile.Create(entry.path().string(), step), S_OK) << name << ": " << step;
        LPMAPISESSION raw = nullptr;
        if (FAILED(MAPILogonEx(0, const_cast<char*>(profile.Name().c_str()), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL, &raw)))
            continue;  // a store with a password: no prompt here
        CRef<IMAPISession> session(raw);
        // Every message of every store of the session, read directly.
        std::vector<Msg> msgs;
        CRef<IMsgStore> store;
        {
            CRef<IMAPITable> storesTable;
            ASSERT_EQ(session->GetMsgStoresTable(0, storesTable.Out()), S_OK);
            LPSRowSet rows = nullptr;
            ASSERT_EQ(HrQueryAllRows(storesTable.Get(), nullptr, nullptr, nullptr, 0, &rows), S_OK);
            ASSERT_EQ(rows->cRows, 1u) << name;
            const SPropValue* eid = PpropFindProp(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_ENTRYID);
            ASSERT_NE(eid, nullptr);
            ASSERT_EQ(session->OpenMsgStore(0, eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr,
                                            MAPI_BEST_ACCESS, store.Out()),
                      S_OK);
            FreeProws(rows);
            ULONG type = 0;
            CRef<IUnknown> root;
            ASSERT_EQ(store->OpenEntry(0, nullptr, nullptr, MAPI_BEST_ACCESS, &type, root.Out()), S_OK);
            Walk(store.Get(), dynamic_cast<IMAPIFolder*>(root.Get()), msgs);
        }
        ++stores;
        for (const Case& c : CasesFor(msgs, store.Get())) {
            SCOPED_TRACE(name + ": " + c.query);
            QueryError error;
            const std::optional<CQuery> q = CQuery::Parse(c.query, error);
            ASSERT_TRUE(q) << error.message;
            std::multiset<std::vector<BYTE>> expected;
            for (const Msg& m : msgs)
                if (c.oracle(m))
                    expected.insert(m.eid);
            for (const bool everyMessage : {true, false}) {
                SCOPED_TRACE(everyMessage ? "opening every message" : "through the contents tables where they can");
                std::multiset<std::vector<BYTE>> found;
                CSearch::Callbacks cb;
                cb.onResult = [&](const SearchResult& r) { found.insert(r.entryId); };
                SearchStart start;
                start.bOpenEveryMessage = everyMessage;
                CSearch search(session.Get(), *q, start, cb);
                EXPECT_EQ(search.Run(), S_OK);
                EXPECT_EQ(search.Errors(), 0);
                EXPECT_EQ(search.Examined(), msgs.size());
                if (everyMessage) {
                    EXPECT_EQ(found.size(), expected.size());
                    EXPECT_TRUE(found == expected);
                    matches += found.size();
                    continue;
                }
                // A table answers from its rows: it may differ only on a message its row is out of date with.
                for (const Msg& m : msgs)
                    if (found.count(m.eid) != expected.count(m.eid)) {
                        EXPECT_TRUE(RowDisagrees(m)) << "message " << (m.text.count(kSubject) ? m.text.at(kSubject) : "");
                        ++outOfDate;
                    }
            }
            ++queries;
        }
        session->Logoff(0, 0, 0);
    }
    EXPECT_GT(stores, 0);
    EXPECT_GT(matches, 0u);
    std::printf("%d stores, %d queries, %zu matches; %d answers from a table out of date with its message\n", stores,
                queries, matches, outOfDate);
}

// Stop from another thread ends a search at once, also inside a long table call.
TEST_F(SearchVersusBruteForce, StopEndsTheSearch)
{
    const fs::path store = fs::path(DRAVIK_SAMPLES_DIR) / "pst-extractor-enron.pst";
    if (!fs::exists(store))
        GTEST_SKIP() << "no " << store;
    CTempProfile profile;
    std::string step;
    ASSERT_EQ(profile.Create(store.string(), step), S_OK) << step;
    LPMAPISESSION raw = nullptr;
    ASSERT_EQ(MAPILogonEx(0, const_cast<char*>(profile.Name().c_str()), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL, &raw), S_OK);
    CRef<IMAPISession> session(raw);
    QueryError error;
    const std::optional<CQuery> q = CQuery::Parse("exists PR_SUBJECT", error);
    ASSERT_TRUE(q);
    int results = 0;
    CSearch* self = nullptr;
    CSearch::Callbacks cb;
    cb.onResult = [&](const SearchResult&) {
        if (++results == 3)
            self->Stop();
    };
    CSearch search(session.Get(), *q, SearchStart{}, cb);
    self = &search;
    EXPECT_EQ(search.Run(), MAPI_E_USER_CANCEL);
    EXPECT_EQ(results, 3);
    session->Logoff(0, 0, 0);
}

} // namespace
