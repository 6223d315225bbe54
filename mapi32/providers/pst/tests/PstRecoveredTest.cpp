// The "Recovered Items" folder of a store: reached through the store's
// PR_DRAVIK_RECOVERED_ENTRYID only, never listed by the hierarchy, with
// "Orphaned" and "Deleted" below it whose messages open with their values,
// recipients, attachments and provenance. The store file is not changed.
#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"
#include "mapi32/table.h"
#include "StoreLogon.h"
#include "StoreWriter.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace dravik::pst;
using namespace dravik::mapi32;
namespace fs = std::filesystem;

constexpr ULONG PR_RECOVERED_ENTRYID = PROP_TAG(PT_BINARY, 0x67E3);
constexpr ULONG PR_RECOVERED_FROM = PROP_TAG(PT_UNICODE, 0x67E0);
constexpr ULONG PR_RECOVERED_BLOCKS = PROP_TAG(PT_UNICODE, 0x67E1);
constexpr ULONG PR_RECOVERED_STATE = PROP_TAG(PT_UNICODE, 0x67E2);

std::vector<char> FileBytes(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string OneText(LPMAPIPROP object, ULONG tag)
{
    LPSPropValue v = nullptr;
    if (FAILED(HrGetOneProp(object, tag, &v)))
        return "(none)";
    std::string s;
    ValueText(*v, s);
    MAPIFreeBuffer(v);
    return s;
}

// The rows of a table as their PR_DISPLAY_NAME or PR_SUBJECT text, and their entry IDs.
struct Rows {
    std::vector<std::string> names;
    std::vector<std::vector<uint8_t>> eids;
};
Rows ReadRows(LPMAPITABLE table)
{
    Rows out;
    LPSRowSet rows = nullptr;
    EXPECT_EQ(table->QueryRows(1000, 0, &rows), S_OK);
    for (ULONG r = 0; rows && r < rows->cRows; ++r) {
        std::string name;
        for (ULONG c = 0; c < rows->aRow[r].cValues; ++c) {
            const SPropValue& v = rows->aRow[r].lpProps[c];
            if (PROP_TYPE(v.ulPropTag) != PT_ERROR && (PROP_ID(v.ulPropTag) == PROP_ID(PR_DISPLAY_NAME) || PROP_ID(v.ulPropTag) == PROP_ID(PR_SUBJECT)))
                ValueText(v, name);
            if (v.ulPropTag == PR_ENTRYID)
                out.eids.emplace_back(v.Value.bin.lpb, v.Value.bin.lpb + v.Value.bin.cb);
        }
        out.names.push_back(name);
    }
    FreeProws(rows);
    table->Release();
    return out;
}

template <typename T>
T* Open(LPMDB store, const std::vector<uint8_t>& eid, ULONG expectedType)
{
    ULONG type = 0;
    LPUNKNOWN object = nullptr;
    EXPECT_EQ(store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(const_cast<uint8_t*>(eid.data())),
                               nullptr, 0, &type, &object),
              S_OK);
    EXPECT_EQ(type, expectedType);
    return static_cast<T*>(object);
}

writer::Message MessageWith(const std::string& subject)
{
    writer::Message m;
    m.props.set(0x0037001F, writer::PropValue::unicode(subject));
    m.props.set(0x001A001F, writer::PropValue::unicode("IPM.Note"));
    m.props.set(0x1000001F, writer::PropValue::unicode("body of " + subject));
    writer::Recipient r;
    r.props.set(0x3001001F, writer::PropValue::unicode("Recipient of " + subject));
    m.recipients.push_back(r);
    writer::Attachment a;
    a.props.set(0x3707001F, writer::PropValue::unicode(subject + ".bin"));
    a.data.assign(5000, 0x5A);
    m.attachments.push_back(a);
    return m;
}

TEST(PstRecovered, RecoveredItemsAreReachedOutsideTheHierarchyAndOpenAsMessages)
{
    char tmpl[] = "/tmp/dravik-recovered-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    const fs::path dir = tmpl;
    const fs::path path = dir / "removed.pst";
    {
        writer::StoreWriter w(path.string(), writer::StoreOptions{});
        const auto inbox = w.addFolder(w.ipmSubtree(), "Inbox", "IPF.Note");
        std::vector<uint32_t> nids;
        for (const char* s : {"kept", "deleted one", "orphaned one"})
            nids.push_back(w.addMessage(inbox, MessageWith(s)));
        w.removeMessage(nids[1], writer::Removal::Deleted);
        w.removeMessage(nids[2], writer::Removal::Orphaned);
        w.finish();
    }
    const std::vector<char> before = FileBytes(path);
    {
        dravik::mapi32::testing::StoreLogon logon;
        ASSERT_EQ(logon.Open(path.string()), S_OK);
        LPSPropValue eid = nullptr;
        ASSERT_EQ(HrGetOneProp(logon.store, PR_RECOVERED_ENTRYID, &eid), S_OK);
        const std::vector<uint8_t> recoveredEid(eid->Value.bin.lpb, eid->Value.bin.lpb + eid->Value.bin.cb);
        MAPIFreeBuffer(eid);

        // The root folder's hierarchy does not list it.
        LPMAPIFOLDER root = Open<IMAPIFolder>(logon.store, {}, MAPI_FOLDER);
        ASSERT_TRUE(root);
        LPMAPITABLE table = nullptr;
        ASSERT_EQ(root->GetHierarchyTable(MAPI_UNICODE, &table), S_OK);
        for (const std::string& name : ReadRows(table).names)
            EXPECT_NE(name, "Recovered Items");
        root->Release();

        LPMAPIFOLDER recovered = Open<IMAPIFolder>(logon.store, recoveredEid, MAPI_FOLDER);
        ASSERT_TRUE(recovered);
        EXPECT_EQ(OneText(recovered, PR_DISPLAY_NAME), "Recovered Items");
        ASSERT_EQ(recovered->GetHierarchyTable(MAPI_UNICODE, &table), S_OK);
        const Rows below = ReadRows(table);
        ASSERT_EQ(below.names, (std::vector<std::string>{"Orphaned", "Deleted"}));
        recovered->Release();

        const std::pair<const char*, const char*> expected[] = {{"orphaned one", "orphaned node 0x"},
                                                                {"deleted one", "deleted: "}};
        for (size_t f = 0; f < 2; ++f) {
            SCOPED_TRACE(below.names[f]);
            LPMAPIFOLDER folder = Open<IMAPIFolder>(logon.store, below.eids[f], MAPI_FOLDER);
            ASSERT_TRUE(folder);
            LPSPropValue count = nullptr;
            ASSERT_EQ(HrGetOneProp(folder, PR_CONTENT_COUNT, &count), S_OK);
            EXPECT_EQ(count->Value.ul, 1u);
            MAPIFreeBuffer(count);
            ASSERT_EQ(folder->GetContentsTable(MAPI_UNICODE, &table), S_OK);
            const Rows messages = ReadRows(table);
            folder->Release();
            ASSERT_EQ(messages.names, std::vector<std::string>{expected[f].first});
            LPMESSAGE message = Open<IMessage>(logon.store, messages.eids[0], MAPI_MESSAGE);
            ASSERT_TRUE(message);
            EXPECT_EQ(OneText(message, PR_SUBJECT), expected[f].first);
            EXPECT_EQ(OneText(message, PR_BODY), std::string("body of ") + expected[f].first);
            EXPECT_EQ(OneText(message, PR_RECOVERED_FROM).rfind(expected[f].second, 0), 0u)
                << OneText(message, PR_RECOVERED_FROM);
            EXPECT_NE(OneText(message, PR_RECOVERED_BLOCKS), "(none)");
            EXPECT_EQ(OneText(message, PR_RECOVERED_STATE), "complete");
            ASSERT_EQ(message->GetRecipientTable(MAPI_UNICODE, &table), S_OK);
            EXPECT_EQ(ReadRows(table).names.size(), 1u);
            ASSERT_EQ(message->GetAttachmentTable(MAPI_UNICODE, &table), S_OK);
            EXPECT_EQ(ReadRows(table).names.size(), 1u);
            LPATTACH attach = nullptr;
            ASSERT_EQ(message->OpenAttach(0, nullptr, 0, &attach), S_OK);
            LPSPropValue data = nullptr;
            ASSERT_EQ(HrGetOneProp(attach, PR_ATTACH_DATA_BIN, &data), S_OK);
            EXPECT_EQ(data->Value.bin.cb, 5000u);
            MAPIFreeBuffer(data);
            attach->Release();
            message->Release();
        }
    }
    EXPECT_TRUE(FileBytes(path) == before) << "the store file changed";
    fs::remove_all(dir);
}

}  // namespace
