// Round trip: every message of every sample store and every .msg sample saved
// as .msg and opened again through the .msg provider gives the same values,
// recipients, attachments and embedded messages, named properties by name;
// and msgconvert reads every file saved.
//
// Known differences, each left out of the comparison:
//  - PR_ENTRYID, PR_PARENT_ENTRYID, PR_RECORD_KEY, PR_STORE_ENTRYID,
//    PR_STORE_RECORD_KEY, PR_OBJECT_TYPE, PR_INSTANCE_KEY, PR_ATTACH_NUM: the
//    identity a provider gives the object it opened, made anew by the store
//    the saved file is (the writer does not save them);
//  - PR_STORE_SUPPORT_MASK on the saved message: the writer adds it to say its
//    strings are Unicode;
//  - PT_STRING8 values come back as PT_UNICODE (the walk asks for Unicode on
//    both sides, so the text compares equal);
//  - named properties get new IDs in the saved file's own map: they compare by name;
//  - values the source cannot read (damage) cannot be saved: the writer lists them.
#include "MsgWalk.h"

#include "mapi32/providers/msg/msg_writer.h"
#include "mapi32/providers/pst/tests/StoreLogon.h"

#include <gtest/gtest.h>

#include <functional>

namespace dravik::mapi32::testing {
namespace {

bool Ignored(ULONG tag)
{
    switch (PROP_ID(tag)) {
    case PROP_ID(PR_ENTRYID):
    case PROP_ID(PR_PARENT_ENTRYID):
    case PROP_ID(PR_RECORD_KEY):
    case PROP_ID(PR_STORE_ENTRYID):
    case PROP_ID(PR_STORE_RECORD_KEY):
    case PROP_ID(PR_OBJECT_TYPE):
    case PROP_ID(PR_INSTANCE_KEY):
    case PROP_ID(PR_ATTACH_NUM):
    case PROP_ID(PR_STORE_SUPPORT_MASK):
        return true;
    default:
        return PROP_TYPE(tag) == PT_ERROR;
    }
}

void Diff(const WalkedObject& a, const WalkedObject& b, const std::string& where, std::vector<std::string>& out)
{
    for (const auto& [tag, text] : a.props) {
        if (Ignored(tag))
            continue;
        auto it = b.props.find(tag);
        if (it == b.props.end())
            out.push_back(where + ": " + std::to_string(tag) + " lost");
        else if (it->second != text)
            out.push_back(where + ": " + std::to_string(tag) + " was " + text.substr(0, 80) + ", is " +
                          it->second.substr(0, 80));
    }
    for (const auto& [tag, text] : b.props)
        if (!Ignored(tag) && !a.props.count(tag))
            out.push_back(where + ": " + std::to_string(tag) + " added");
    for (const auto& [name, text] : a.named) {
        auto it = b.named.find(name);
        if (it == b.named.end() || it->second != text)
            out.push_back(where + ": named " + name + (it == b.named.end() ? " lost" : " was " + text.substr(0, 120) + ", is " + it->second.substr(0, 120)));
    }
    if (a.named.size() != b.named.size())
        out.push_back(where + ": named properties " + std::to_string(a.named.size()) + " -> " +
                      std::to_string(b.named.size()));
}

void DiffMessage(const WalkedMessage& a, const WalkedMessage& b, const std::string& where, std::vector<std::string>& out)
{
    Diff(a, b, where, out);
    if (a.recipients.size() != b.recipients.size() || a.attachments.size() != b.attachments.size()) {
        out.push_back(where + ": recipients or attachments differ in number");
        return;
    }
    for (size_t i = 0; i < a.recipients.size(); ++i)
        Diff(a.recipients[i], b.recipients[i], where + "/recipient " + std::to_string(i), out);
    for (size_t i = 0; i < a.attachments.size(); ++i) {
        const std::string at = where + "/attachment " + std::to_string(i);
        Diff(a.attachments[i], b.attachments[i], at, out);
        if (a.attachments[i].data != b.attachments[i].data)
            out.push_back(at + ": data differs");
        if (!!a.attachments[i].embedded != !!b.attachments[i].embedded)
            out.push_back(at + ": embedded message lost");
        else if (a.attachments[i].embedded)
            DiffMessage(*a.attachments[i].embedded, *b.attachments[i].embedded, at + "/message", out);
    }
}

class RoundTrip
{
public:
    RoundTrip()
    {
        char tmpl[] = "/tmp/dravik-msgroundtrip-XXXXXX";
        EXPECT_TRUE(mkdtemp(tmpl));
        dir = tmpl;
    }
    ~RoundTrip() { std::filesystem::remove_all(dir); }

    // Saves the message, opens the saved file and compares.
    void Check(IMessage* message, const std::string& where)
    {
        Walk before;
        before.resolveNames = true;
        WalkedMessage a;
        before.Message(message, a, where);
        const std::string path = dir + "/" + std::to_string(++saved) + ".msg";
        MsgSaveReport report;
        ASSERT_EQ(SaveMessageAsMsg(message, path, &report), S_OK) << where;
        // What the source could not read is all the writer may leave out.
        EXPECT_EQ(report.skipped.size(), before.failures.size()) << where;
        Walk after;
        after.resolveNames = true;
        WalkedMessage b;
        ASSERT_EQ(WalkMsgFile(path, b, after), "") << where;
        EXPECT_TRUE(after.failures.empty()) << where << ": " << (after.failures.empty() ? "" : after.failures[0]);
        std::vector<std::string> diffs;
        DiffMessage(a, b, where, diffs);
        EXPECT_TRUE(diffs.empty()) << diffs.size() << " differences, first: " << (diffs.empty() ? "" : diffs[0]);
    }

    // msgconvert reads every file saved (one run over all of them).
    void CheckMsgconvert()
    {
        if (saved == 0)
            return;
        const std::string command = "cd '" + dir + "' && msgconvert *.msg >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        int emls = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            emls += e.path().extension() == ".eml" && std::filesystem::file_size(e.path()) > 0;
        EXPECT_EQ(emls, saved);
    }

    std::string dir;
    int saved = 0;
};

// Every message under a folder, recursively.
void EachMessage(IMsgStore* store, IMAPIFolder* folder, const std::string& where,
                 const std::function<void(IMessage*, const std::string&)>& f)
{
    LPMAPITABLE t = nullptr;
    if (SUCCEEDED(folder->GetContentsTable(0, &t))) {
        Ref<IMAPITable> table(t);
        LPSRowSet rows = nullptr;
        SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
        ASSERT_EQ(HrQueryAllRows(table.get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
        for (ULONG i = 0; i < rows->cRows; ++i) {
            const SPropValue& eid = rows->aRow[i].lpProps[0];
            if (eid.ulPropTag != PR_ENTRYID)
                continue;
            ULONG type = 0;
            LPUNKNOWN unk = nullptr;
            if (FAILED(store->OpenEntry(eid.Value.bin.cb, reinterpret_cast<LPENTRYID>(eid.Value.bin.lpb), nullptr, 0,
                                        &type, &unk)))
                continue;
            Ref<IMessage> m(static_cast<IMessage*>(unk));
            f(m.get(), where + "/" + std::to_string(i));
        }
        FreeProws(rows);
    }
    if (SUCCEEDED(folder->GetHierarchyTable(0, &t))) {
        Ref<IMAPITable> table(t);
        LPSRowSet rows = nullptr;
        SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
        ASSERT_EQ(HrQueryAllRows(table.get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
        for (ULONG i = 0; i < rows->cRows; ++i) {
            const SPropValue& eid = rows->aRow[i].lpProps[0];
            if (eid.ulPropTag != PR_ENTRYID)
                continue;
            ULONG type = 0;
            LPUNKNOWN unk = nullptr;
            if (FAILED(store->OpenEntry(eid.Value.bin.cb, reinterpret_cast<LPENTRYID>(eid.Value.bin.lpb), nullptr, 0,
                                        &type, &unk)))
                continue;
            Ref<IMAPIFolder> sub(static_cast<IMAPIFolder*>(unk));
            EachMessage(store, sub.get(), where + "/f" + std::to_string(i), f);
        }
        FreeProws(rows);
    }
}

TEST(MsgRoundTrip, EveryMsgSample)
{
    RoundTrip rt;
    for (const std::string& path : MsgSamples()) {
        SCOPED_TRACE(path);
        auto file = msg_file::ReadFile(path);
        LPMDB mdb = nullptr;
        ASSERT_EQ(OpenMsgImage(file, "sample", &mdb), S_OK);
        Ref<IMsgStore> store(mdb);
        ULONG type = 0;
        LPUNKNOWN unk = nullptr;
        ASSERT_EQ(store->OpenEntry(0, nullptr, nullptr, 0, &type, &unk), S_OK);
        Ref<IMAPIFolder> root(static_cast<IMAPIFolder*>(unk));
        EachMessage(store.get(), root.get(), std::filesystem::path(path).filename().string(),
                    [&](IMessage* m, const std::string& where) { rt.Check(m, where); });
    }
    rt.CheckMsgconvert();
}

TEST(MsgRoundTrip, EveryMessageOfEverySampleStore)
{
    std::vector<std::string> stores;
    for (const auto& e : std::filesystem::directory_iterator(DRAVIK_SAMPLES_DIR))
        if (e.path().extension() == ".pst" || e.path().extension() == ".ost")
            stores.push_back(e.path().string());
    std::sort(stores.begin(), stores.end());
    ASSERT_FALSE(stores.empty());
    int messages = 0;
    for (const std::string& path : stores) {
        SCOPED_TRACE(path);
        RoundTrip rt;
        StoreLogon logon;
        const HRESULT hr = logon.Open(path);
        if (hr == MAPI_E_LOGON_FAILED)
            continue;  // a store with a password nobody told us
        ASSERT_EQ(hr, S_OK);
        ULONG type = 0;
        LPUNKNOWN unk = nullptr;
        ASSERT_EQ(logon.store->OpenEntry(0, nullptr, nullptr, 0, &type, &unk), S_OK);
        Ref<IMAPIFolder> root(static_cast<IMAPIFolder*>(unk));
        EachMessage(logon.store, root.get(), std::filesystem::path(path).filename().string(),
                    [&](IMessage* m, const std::string& where) {
                        rt.Check(m, where);
                        ++messages;
                    });
        rt.CheckMsgconvert();
    }
    EXPECT_GT(messages, 100);
}

} // namespace
} // namespace dravik::mapi32::testing
