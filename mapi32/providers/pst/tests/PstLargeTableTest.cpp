// A contents table over many row blocks and heap blocks, read as clients read it:
// in pages, by seeks and bookmarks, restricted, sorted, searched; and a damaged
// row block failing only the reads that reach it.
#include "StoreLogon.h"

#include "pst/messaging/store.h"
#include "StoreWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace dravik::mapi32;
using namespace dravik::pst::writer;
using dravik::mapi32::testing::StoreLogon;

constexpr ULONG kMessages = 4000;

// Message i's subject: a number that orders the messages differently from the file.
std::string Subject(ULONG i)
{
    const std::string n = std::to_string((i * 7919) % kMessages);
    return "m" + std::string(5 - n.size(), '0') + n;
}

class LargeTable : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/dravik-largetable-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        s_dir = tmpl;
        StoreDescription d;
        Folder inbox{"Inbox", "IPF.Note", {}, {}, {}, {}};
        for (ULONG i = 0; i < kMessages; ++i) {
            Message m;
            m.props.set(0x001A001F, PropValue::unicode("IPM.Note")).set(0x0037001F, PropValue::unicode(Subject(i)));
            inbox.messages.push_back(std::move(m));
        }
        d.ipmSubtree.folders.push_back(inbox);
        writeStore(s_dir + "/large.pst", d);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(s_dir); }

    // The Inbox's contents table of a logon on path.
    LPMAPITABLE Contents(StoreLogon& logon, const std::string& path)
    {
        EXPECT_EQ(logon.Open(path), S_OK);
        LPSPropValue ipm = nullptr;
        EXPECT_EQ(HrGetOneProp(logon.store, PR_IPM_SUBTREE_ENTRYID, &ipm), S_OK);
        LPMAPIFOLDER top = OpenFolder(logon.store, ipm->Value.bin);
        MAPIFreeBuffer(ipm);
        LPMAPITABLE hierarchy = nullptr;
        EXPECT_EQ(top->GetHierarchyTable(0, &hierarchy), S_OK);
        LPSRowSet folders = nullptr;
        EXPECT_EQ(HrQueryAllRows(hierarchy, nullptr, nullptr, nullptr, 0, &folders), S_OK);
        hierarchy->Release();
        top->Release();
        LPMAPIFOLDER inbox = nullptr;
        for (ULONG i = 0; i < folders->cRows; ++i) {
            const SRow& row = folders->aRow[i];
            const SPropValue* name = PpropFindProp(row.lpProps, row.cValues, PR_DISPLAY_NAME_A);
            if (name && std::string(name->Value.lpszA) == "Inbox")
                inbox = OpenFolder(logon.store, PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID)->Value.bin);
        }
        FreeProws(folders);
        if (!inbox) {
            ADD_FAILURE() << "no Inbox";
            return nullptr;
        }
        LPMAPITABLE table = nullptr;
        EXPECT_EQ(inbox->GetContentsTable(0, &table), S_OK);
        inbox->Release();
        SizedSPropTagArray(2, columns) = {2, {PR_SUBJECT_A, PR_ENTRYID}};
        EXPECT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0), S_OK);
        return table;
    }
    static LPMAPIFOLDER OpenFolder(LPMDB store, const SBinary& eid)
    {
        ULONG type = 0;
        LPUNKNOWN unk = nullptr;
        EXPECT_EQ(store->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, 0, &type, &unk), S_OK);
        return static_cast<LPMAPIFOLDER>(unk);
    }
    // The subjects of rows, in order; "<error>" for a subject that is no string.
    static std::vector<std::string> Subjects(LPSRowSet rows)
    {
        std::vector<std::string> out;
        for (ULONG i = 0; rows && i < rows->cRows; ++i)
            out.push_back(PROP_TYPE(rows->aRow[i].lpProps[0].ulPropTag) == PT_STRING8 ? rows->aRow[i].lpProps[0].Value.lpszA
                                                                                    : "<error>");
        FreeProws(rows);
        return out;
    }
    static std::vector<std::string> Query(LPMAPITABLE table, LONG count, HRESULT expected = S_OK)
    {
        LPSRowSet rows = nullptr;
        EXPECT_EQ(table->QueryRows(count, 0, &rows), expected);
        return Subjects(rows);
    }
    static std::vector<std::string> All(LPMAPITABLE table)
    {
        EXPECT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
        return Query(table, static_cast<LONG>(kMessages + 10));
    }

    static std::string s_dir;
};
std::string LargeTable::s_dir;

TEST_F(LargeTable, PagesSeeksAndBookmarksGiveTheRowsOfOneQuery)
{
    StoreLogon logon;
    LPMAPITABLE table = Contents(logon, s_dir + "/large.pst");
    const std::vector<std::string> all = All(table);
    ASSERT_EQ(all.size(), kMessages);
    for (ULONG i = 0; i < kMessages; ++i)
        ASSERT_EQ(all[i], Subject(i)) << i;  // the file's order

    // forward in pages of 7, backward in pages of 5
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    std::vector<std::string> paged;
    for (std::vector<std::string> page; !(page = Query(table, 7)).empty();)
        paged.insert(paged.end(), page.begin(), page.end());
    EXPECT_EQ(paged, all);
    ASSERT_EQ(table->SeekRow(BOOKMARK_END, 0, nullptr), S_OK);
    std::vector<std::string> backward;
    for (std::vector<std::string> page; !(page = Query(table, -5)).empty();) {
        backward.insert(backward.begin(), page.begin(), page.end());
        ASSERT_EQ(table->SeekRow(BOOKMARK_CURRENT, 0, nullptr), S_OK);
    }
    EXPECT_EQ(backward, all);

    // seeks from each origin, a bookmark, an approximate position
    struct Seek
    {
        BOOKMARK origin;
        LONG rows;
        ULONG expected;
    };
    for (const Seek& k : {Seek{BOOKMARK_BEGINNING, 2999, 2999}, Seek{BOOKMARK_END, -1, kMessages - 1},
                          Seek{BOOKMARK_CURRENT, -2000, kMessages - 1 - 2000}, Seek{BOOKMARK_BEGINNING, 17, 17}}) {
        LONG sought = 0;
        ASSERT_EQ(table->SeekRow(k.origin, k.rows, &sought), S_OK);
        EXPECT_EQ(Query(table, 1), std::vector<std::string>{all[k.expected]}) << k.expected;
        ASSERT_EQ(table->SeekRow(BOOKMARK_CURRENT, -1, nullptr), S_OK);
    }
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 1234, nullptr), S_OK);
    BOOKMARK mark = 0;
    ASSERT_EQ(table->CreateBookmark(&mark), S_OK);
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 3900, nullptr), S_OK);
    ASSERT_EQ(table->SeekRow(mark, 2, nullptr), S_OK);
    EXPECT_EQ(Query(table, 2), (std::vector<std::string>{all[1236], all[1237]}));
    EXPECT_EQ(table->FreeBookmark(mark), S_OK);
    ASSERT_EQ(table->SeekRowApprox(3, 4), S_OK);
    EXPECT_EQ(Query(table, 1), std::vector<std::string>{all[3000]});
    table->Release();
}

TEST_F(LargeTable, RestrictionSortAndFindRow)
{
    StoreLogon logon;
    LPMAPITABLE table = Contents(logon, s_dir + "/large.pst");
    const std::vector<std::string> all = All(table);
    ASSERT_EQ(all.size(), kMessages);

    // subjects holding "77"
    SPropValue needle{};
    needle.ulPropTag = PR_SUBJECT_A;
    needle.Value.lpszA = const_cast<LPSTR>("77");
    SRestriction res{};
    res.rt = RES_CONTENT;
    res.res.resContent = {FL_SUBSTRING, PR_SUBJECT_A, &needle};
    std::vector<std::string> expected;
    std::copy_if(all.begin(), all.end(), std::back_inserter(expected),
                 [](const std::string& s) { return s.find("77") != std::string::npos; });
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(table->Restrict(&res, 0), S_OK);
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, expected.size());
    EXPECT_EQ(All(table), expected);

    // sorted by subject, descending, within the restriction, then without it
    SSortOrderSet descending{1, 0, 0, {{PR_SUBJECT_A, TABLE_SORT_DESCEND}}};
    ASSERT_EQ(table->SortTable(&descending, 0), S_OK);
    std::sort(expected.rbegin(), expected.rend());
    EXPECT_EQ(All(table), expected);
    ASSERT_EQ(table->Restrict(nullptr, 0), S_OK);
    std::vector<std::string> sorted = all;
    std::sort(sorted.rbegin(), sorted.rend());
    EXPECT_EQ(All(table), sorted);

    // FindRow forward from the start and backward from the end, in the sorted view
    SPropValue wanted{};
    wanted.ulPropTag = PR_SUBJECT_A;
    wanted.Value.lpszA = const_cast<LPSTR>("m01000");
    SRestriction equal{};
    equal.rt = RES_PROPERTY;
    equal.res.resProperty = {RELOP_EQ, PR_SUBJECT_A, &wanted};
    const LONG position = static_cast<LONG>(std::find(sorted.begin(), sorted.end(), "m01000") - sorted.begin());
    for (const auto& [origin, flags] : {std::pair{BOOKMARK_BEGINNING, 0u}, std::pair{BOOKMARK_END, DIR_BACKWARD}}) {
        ASSERT_EQ(table->FindRow(&equal, origin, flags), S_OK);
        ULONG row = 0, num = 0, den = 0;
        ASSERT_EQ(table->QueryPosition(&row, &num, &den), S_OK);
        EXPECT_EQ(static_cast<LONG>(row), position);
    }
    wanted.Value.lpszA = const_cast<LPSTR>("absent");
    EXPECT_EQ(table->FindRow(&equal, BOOKMARK_BEGINNING, 0), MAPI_E_NOT_FOUND);
    table->Release();
}

TEST_F(LargeTable, DamagedRowBlockFailsOnlyTheReadsThatReachIt)
{
    const std::string path = s_dir + "/damaged.pst";
    std::filesystem::copy_file(s_dir + "/large.pst", path, std::filesystem::copy_options::overwrite_existing);
    // The Inbox's contents table: its row matrix's third block is overwritten.
    size_t rowsPerBlock = 0;
    uint64_t offset = 0;
    {
        auto store = dravik::pst::Store::open(path);
        dravik::pst::Folder top = store->folder(store->rootFolderNid());
        bool found = false;
        for (const auto& sub : top.hierarchyTable().rows())
            for (const auto& folder : store->folder(sub.rowId).hierarchyTable().rows()) {
                const dravik::pst::TableContext contents = store->folder(folder.rowId).contentsTable();
                if (contents.rowCount() != kMessages)
                    continue;
                ASSERT_GT(contents.rowMatrixBlocks(), 4u);
                rowsPerBlock = contents.rowsPerBlock();
                offset = store->ndb().block(contents.rowMatrixBlockIds()[2]).ib;
                found = true;
            }
        ASSERT_TRUE(found);
    }
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(offset + 16));
        const std::string junk(32, '\x5A');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    const ULONG first = static_cast<ULONG>(2 * rowsPerBlock), end = static_cast<ULONG>(3 * rowsPerBlock);

    StoreLogon logon;
    LPMAPITABLE table = Contents(logon, path);
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);  // opening and counting read no row block
    EXPECT_EQ(count, kMessages);
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    EXPECT_EQ(Query(table, static_cast<LONG>(first)).size(), first);  // every row before the block
    EXPECT_TRUE(Query(table, 1, MAPI_E_CORRUPT_DATA).empty());        // its first row
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, static_cast<LONG>(first - 3), nullptr), S_OK);
    EXPECT_TRUE(Query(table, 10, MAPI_E_CORRUPT_DATA).empty());  // a page that reaches it
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, static_cast<LONG>(end), nullptr), S_OK);
    const std::vector<std::string> after = Query(table, static_cast<LONG>(kMessages));
    ASSERT_EQ(after.size(), kMessages - end);  // every row after it
    EXPECT_EQ(after.front(), Subject(end));
    table->Release();
}

} // namespace
