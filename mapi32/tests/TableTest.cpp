#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace dravik::mapi32;

namespace {

struct Item
{
    const char* name;
    LONG size;
    const char16_t* wide;
};

// Five rows: PR_SERVICE_NAME (text), PR_ATTACH_SIZE (long), PR_DISPLAY_NAME_W (UTF-16);
// the last row lacks the size.
const Item kItems[] = {{"MSPST MS", 30, u"Personal"}, {"mspst ms", 10, u"lower"}, {"MSPST MS2", 50, u"Two"},
                       {"MSEMS", 20, u"Exchange"}, {"MSPST", -1, u"Short"}};

LPMAPITABLE MakeTable()
{
    std::vector<std::vector<SPropValue>> rows;
    for (const Item& it : kItems) {
        std::vector<SPropValue> row;
        SPropValue v{};
        v.ulPropTag = PR_SERVICE_NAME;
        v.Value.lpszA = const_cast<char*>(it.name);
        row.push_back(v);
        if (it.size >= 0) {
            v = {};
            v.ulPropTag = PR_ATTACH_SIZE;
            v.Value.l = it.size;
            row.push_back(v);
        }
        v = {};
        v.ulPropTag = PR_DISPLAY_NAME_W;
        v.Value.lpszW = const_cast<char16_t*>(it.wide);
        row.push_back(v);
        rows.push_back(row);
    }
    LPMAPITABLE t = nullptr;
    EXPECT_EQ(CreateMemoryTable(rows, {PR_SERVICE_NAME, PR_ATTACH_SIZE}, &t), S_OK);
    return t;
}

std::vector<std::string> Names(LPSRowSet rows)
{
    std::vector<std::string> out;
    for (ULONG i = 0; i < rows->cRows; ++i)
        out.push_back(rows->aRow[i].lpProps[0].Value.lpszA);
    return out;
}

SPropValue Str(ULONG tag, const char* s)
{
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.lpszA = const_cast<char*>(s);
    return v;
}

} // namespace

TEST(Table, OneQueryOfRowCountRowsFromTheBeginningGivesEveryRow)
{
    LPMAPITABLE t = MakeTable();
    LPSRowSet first = nullptr;
    ASSERT_EQ(t->QueryRows(2, 0, &first), S_OK);  // move the cursor first
    FreeProws(first);
    ASSERT_EQ(t->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    ULONG count = 0;
    ASSERT_EQ(t->GetRowCount(0, &count), S_OK);
    ASSERT_EQ(count, 5u);
    LPSRowSet rows = nullptr;
    ASSERT_EQ(t->QueryRows(static_cast<LONG>(count), 0, &rows), S_OK);
    EXPECT_EQ(Names(rows), (std::vector<std::string>{"MSPST MS", "mspst ms", "MSPST MS2", "MSEMS", "MSPST"}));
    // Default columns in order; a column the row lacks is PT_ERROR MAPI_E_NOT_FOUND.
    ASSERT_EQ(rows->aRow[4].cValues, 2u);
    EXPECT_EQ(rows->aRow[4].lpProps[1].ulPropTag, CHANGE_PROP_TYPE(PR_ATTACH_SIZE, PT_ERROR));
    EXPECT_EQ(rows->aRow[4].lpProps[1].Value.err, MAPI_E_NOT_FOUND);
    FreeProws(rows);
    // At the end: an empty row set, not a failure.
    ASSERT_EQ(t->QueryRows(10, 0, &rows), S_OK);
    EXPECT_EQ(rows->cRows, 0u);
    FreeProws(rows);
    t->Release();
}

TEST(Table, SeekRowFromEachOriginAndBookmarks)
{
    LPMAPITABLE t = MakeTable();
    LONG sought = 0;
    ASSERT_EQ(t->SeekRow(BOOKMARK_END, -2, &sought), S_OK);
    EXPECT_EQ(sought, -2);
    BOOKMARK bk = 0;
    ASSERT_EQ(t->CreateBookmark(&bk), S_OK);
    ASSERT_EQ(t->SeekRow(BOOKMARK_CURRENT, 100, &sought), S_OK);
    EXPECT_EQ(sought, 2);  // stops at the end
    ASSERT_EQ(t->SeekRow(bk, 0, nullptr), S_OK);
    LPSRowSet rows = nullptr;
    ASSERT_EQ(t->QueryRows(1, 0, &rows), S_OK);
    EXPECT_EQ(Names(rows), std::vector<std::string>{"MSEMS"});
    FreeProws(rows);
    ASSERT_EQ(t->SeekRow(BOOKMARK_BEGINNING, -3, &sought), S_OK);
    EXPECT_EQ(sought, 0);
    EXPECT_EQ(t->FreeBookmark(bk), S_OK);
    EXPECT_EQ(t->SeekRow(bk, 0, nullptr), MAPI_E_INVALID_BOOKMARK);
    t->Release();
}

TEST(Table, Restrictions)
{
    SPropValue full = Str(PR_SERVICE_NAME, "MSPST MS");
    SPropValue wideNeedle{};
    wideNeedle.ulPropTag = PR_SERVICE_NAME_W;
    wideNeedle.Value.lpszW = const_cast<char16_t*>(u"MSPST MS");
    SPropValue twenty{};
    twenty.ulPropTag = PR_ATTACH_SIZE;
    twenty.Value.l = 20;

    auto content = [](SPropValue* v, ULONG fuzzy) {
        SRestriction r{};
        r.rt = RES_CONTENT;
        r.res.resContent = {fuzzy, PR_SERVICE_NAME, v};
        return r;
    };
    auto prop = [](SPropValue* v, ULONG relop) {
        SRestriction r{};
        r.rt = RES_PROPERTY;
        r.res.resProperty = {relop, PR_ATTACH_SIZE, v};
        return r;
    };
    SRestriction exist{};
    exist.rt = RES_EXIST;
    exist.res.resExist = {0, PR_ATTACH_SIZE, 0};
    SRestriction notExist{};
    notExist.rt = RES_NOT;
    notExist.res.resNot = {0, &exist};
    SRestriction both[] = {content(&full, FL_PREFIX), prop(&twenty, RELOP_GT)};
    SRestriction andRes{};
    andRes.rt = RES_AND;
    andRes.res.resAnd = {2, both};
    SRestriction either[] = {content(&full, FL_FULLSTRING), notExist};
    SRestriction orRes{};
    orRes.rt = RES_OR;
    orRes.res.resOr = {2, either};
    SRestriction bit{};
    bit.rt = RES_BITMASK;
    bit.res.resBitMask = {BMR_NEZ, PR_ATTACH_SIZE, 0x10};

    struct Case
    {
        const char* what;
        SRestriction res;
        std::vector<std::string> expected;
    } cases[] = {
        {"full string is exact and case-sensitive", content(&full, FL_FULLSTRING), {"MSPST MS"}},
        {"UTF-16 needle against 8-bit value", content(&wideNeedle, FL_FULLSTRING), {"MSPST MS"}},
        {"full string ignoring case", content(&full, FL_FULLSTRING | FL_IGNORECASE), {"MSPST MS", "mspst ms"}},
        {"prefix", content(&full, FL_PREFIX), {"MSPST MS", "MSPST MS2"}},
        {"substring ignoring case", content(&full, FL_SUBSTRING | FL_IGNORECASE), {"MSPST MS", "mspst ms", "MSPST MS2"}},
        {"property less than", prop(&twenty, RELOP_LT), {"mspst ms"}},
        {"property equal", prop(&twenty, RELOP_EQ), {"MSEMS"}},
        {"property not equal skips rows without it", prop(&twenty, RELOP_NE), {"MSPST MS", "mspst ms", "MSPST MS2"}},
        {"exist", exist, {"MSPST MS", "mspst ms", "MSPST MS2", "MSEMS"}},
        {"not exist", notExist, {"MSPST"}},
        {"and", andRes, {"MSPST MS", "MSPST MS2"}},
        {"or", orRes, {"MSPST MS", "MSPST"}},
        {"bitmask", bit, {"MSPST MS", "MSPST MS2", "MSEMS"}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        LPMAPITABLE t = MakeTable();
        ASSERT_EQ(t->Restrict(&c.res, 0), S_OK);
        ULONG count = 0;
        ASSERT_EQ(t->GetRowCount(0, &count), S_OK);
        EXPECT_EQ(count, c.expected.size());
        LPSRowSet rows = nullptr;
        ASSERT_EQ(t->QueryRows(100, 0, &rows), S_OK);
        EXPECT_EQ(Names(rows), c.expected);
        FreeProws(rows);
        // Removing the restriction brings every row back.
        ASSERT_EQ(t->Restrict(nullptr, 0), S_OK);
        ASSERT_EQ(t->GetRowCount(0, &count), S_OK);
        EXPECT_EQ(count, 5u);
        t->Release();
    }
}

TEST(Table, SortAndFindRow)
{
    LPMAPITABLE t = MakeTable();
    SSortOrderSet desc{1, 0, 0, {{PR_ATTACH_SIZE, TABLE_SORT_DESCEND}}};
    ASSERT_EQ(t->SortTable(&desc, 0), S_OK);
    LPSRowSet rows = nullptr;
    ASSERT_EQ(t->QueryRows(5, 0, &rows), S_OK);
    EXPECT_EQ(Names(rows), (std::vector<std::string>{"MSPST MS2", "MSPST MS", "MSEMS", "mspst ms", "MSPST"}));
    FreeProws(rows);

    SPropValue ems = Str(PR_SERVICE_NAME, "MSEMS");
    SRestriction r{};
    r.rt = RES_CONTENT;
    r.res.resContent = {FL_FULLSTRING, PR_SERVICE_NAME, &ems};
    ASSERT_EQ(t->FindRow(&r, BOOKMARK_BEGINNING, 0), S_OK);
    ASSERT_EQ(t->QueryRows(1, 0, &rows), S_OK);
    EXPECT_EQ(Names(rows), std::vector<std::string>{"MSEMS"});
    FreeProws(rows);
    EXPECT_EQ(t->FindRow(&r, BOOKMARK_CURRENT, 0), MAPI_E_NOT_FOUND);  // nothing after it
    EXPECT_EQ(t->FindRow(&r, BOOKMARK_END, DIR_BACKWARD), S_OK);
    ULONG row = 0, num = 0, den = 0;
    ASSERT_EQ(t->QueryPosition(&row, &num, &den), S_OK);
    EXPECT_EQ(row, 2u);
    t->Release();
}

TEST(Table, HrQueryAllRowsWithColumnsRestrictionSortAndLimit)
{
    LPMAPITABLE t = MakeTable();
    SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME_W, PR_SERVICE_NAME}};
    SPropValue needle = Str(PR_SERVICE_NAME, "MSPST");
    SRestriction r{};
    r.rt = RES_CONTENT;
    r.res.resContent = {FL_PREFIX | FL_IGNORECASE, PR_SERVICE_NAME, &needle};
    SSortOrderSet byName{1, 0, 0, {{PR_SERVICE_NAME, TABLE_SORT_ASCEND}}};
    LPSRowSet rows = nullptr;
    ASSERT_EQ(t->SeekRow(BOOKMARK_END, 0, nullptr), S_OK);  // HrQueryAllRows starts from the beginning anyway
    ASSERT_EQ(HrQueryAllRows(t, reinterpret_cast<LPSPropTagArray>(&cols), &r, &byName, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 4u);
    EXPECT_EQ(rows->aRow[0].lpProps[0].ulPropTag, PR_DISPLAY_NAME_W);
    EXPECT_EQ(std::u16string(rows->aRow[0].lpProps[0].Value.lpszW), u"Short");
    std::vector<std::string> names;
    for (ULONG i = 0; i < rows->cRows; ++i)
        names.push_back(rows->aRow[i].lpProps[1].Value.lpszA);
    EXPECT_EQ(names, (std::vector<std::string>{"MSPST", "MSPST MS", "MSPST MS2", "mspst ms"}));
    FreeProws(rows);
    EXPECT_EQ(HrQueryAllRows(t, nullptr, nullptr, nullptr, 3, &rows), MAPI_E_TABLE_TOO_BIG);
    EXPECT_EQ(rows, nullptr);
    ASSERT_EQ(HrQueryAllRows(t, nullptr, nullptr, nullptr, 4, &rows), S_OK);
    EXPECT_EQ(rows->cRows, 4u);
    FreeProws(rows);
    t->Release();
}

// A row comes back as a deep copy of every kind of value, whatever the length
// of its strings and binary values (each copy aligned for its type), freed
// with the row.
TEST(Table, RowsCopyEveryKindOfValue)
{
    static char16_t wide[] = u"Wide text";
    static char narrow[] = "odd";
    static BYTE bytes[] = {1, 2, 3, 4, 5};
    static GUID guid = {0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    static LONG longs[] = {7, -8};
    static LPWSTR wides[] = {wide, wide + 5};
    std::vector<SPropValue> row(9);
    row[0].ulPropTag = PROP_TAG(PT_STRING8, 0x6001);
    row[0].Value.lpszA = narrow;
    row[1].ulPropTag = PROP_TAG(PT_UNICODE, 0x6002);
    row[1].Value.lpszW = wide;
    row[2].ulPropTag = PROP_TAG(PT_BINARY, 0x6003);
    row[2].Value.bin = {sizeof bytes, bytes};
    row[3].ulPropTag = PROP_TAG(PT_BINARY, 0x6004);  // empty
    row[4].ulPropTag = PROP_TAG(PT_CLSID, 0x6005);
    row[4].Value.lpguid = &guid;
    row[5].ulPropTag = PROP_TAG(PT_MV_LONG, 0x6006);
    row[5].Value.MVl = {2, longs};
    row[6].ulPropTag = PROP_TAG(PT_MV_UNICODE, 0x6007);
    row[6].Value.MVszW = {2, wides};
    row[7].ulPropTag = PROP_TAG(PT_LONG, 0x6008);
    row[7].Value.l = 42;
    row[8].ulPropTag = PROP_TAG(PT_UNICODE, 0x6009);  // no text at all
    std::vector<ULONG> columns;
    for (const SPropValue& v : row)
        columns.push_back(v.ulPropTag);
    columns.insert(columns.begin() + 3, PROP_TAG(PT_LONG, 0x600A));  // not in the row
    LPMAPITABLE t = nullptr;
    ASSERT_EQ(CreateMemoryTable({row, row}, columns, &t), S_OK);
    LPSRowSet rows = nullptr;
    ASSERT_EQ(t->QueryRows(2, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 2u);
    for (ULONG r = 0; r < rows->cRows; ++r) {
        const SRow& got = rows->aRow[r];
        ASSERT_EQ(got.cValues, columns.size());
        for (ULONG c = 0; c < got.cValues; ++c) {
            SPropValue& v = got.lpProps[c];
            if (c == 3) {
                EXPECT_EQ(v.ulPropTag, PROP_TAG(PT_ERROR, 0x600A));
                EXPECT_EQ(v.Value.err, MAPI_E_NOT_FOUND);
                continue;
            }
            SPropValue& want = row[c < 3 ? c : c - 1];
            EXPECT_EQ(v.ulPropTag, want.ulPropTag) << c;
            EXPECT_EQ(LPropCompareProp(&v, &want), 0) << c;
        }
        EXPECT_STREQ(got.lpProps[0].Value.lpszA, "odd");
        EXPECT_NE(got.lpProps[0].Value.lpszA, narrow) << "a copy";
        EXPECT_EQ(std::u16string(got.lpProps[1].Value.lpszW), u"Wide text");
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(got.lpProps[1].Value.lpszW) % alignof(char16_t), 0u);
        EXPECT_EQ(std::vector<BYTE>(got.lpProps[2].Value.bin.lpb, got.lpProps[2].Value.bin.lpb + 5),
                  std::vector<BYTE>(bytes, bytes + 5));
        EXPECT_EQ(got.lpProps[4].Value.bin.cb, 0u);
        EXPECT_EQ(got.lpProps[4].Value.bin.lpb, nullptr) << "no bytes, no pointer";
        EXPECT_EQ(std::u16string(got.lpProps[7].Value.MVszW.lppszW[1]), u"text");
        EXPECT_EQ(got.lpProps[9].Value.lpszW, nullptr);
    }
    FreeProws(rows);
    t->Release();
}
