#include "props/PropValueArray.h"

#include "props/IniFile.h"
#include "props/PropText.h"
#include "props/tests/FakeMapi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

SPropValue Value(ULONG ulTag)
{
    SPropValue v;
    std::memset(&v, 0, sizeof v);
    v.ulPropTag = ulTag;
    return v;
}

// A message-like object: subject in Unicode, a long file name, an error value,
// a flag and a number.
struct MessageObject : fake::PropObject
{
    MessageObject()
    {
        SPropValue subject = Value(PR_SUBJECT_W);
        subject.Value.lpszW = const_cast<LPWSTR>(u"Quarterly report");
        SPropValue file = Value(PR_ATTACH_LONG_FILENAME_W);
        file.Value.lpszW = const_cast<LPWSTR>(u"report.pdf");
        SPropValue body = Value(PROP_TAG(PT_ERROR, PROP_ID(PR_BODY_W)));
        body.Value.err = MAPI_E_NOT_ENOUGH_MEMORY;
        SPropValue hasAttach = Value(PR_HASATTACH);
        hasAttach.Value.b = 1;
        SPropValue method = Value(PR_ATTACH_METHOD);
        method.Value.l = 5;
        values = {subject, file, body, hasAttach, method};
    }
};

TEST(CPropValueArray, StartsEmpty)
{
    CPropValueArray props;
    EXPECT_EQ(props.Count(), 0u);
    EXPECT_EQ(props.Values(), nullptr);
    EXPECT_EQ(props.Source(), nullptr);
    EXPECT_EQ(props.Find(PR_SUBJECT_A), nullptr);
    EXPECT_EQ(props.GetLong(PR_ATTACH_METHOD), -1);
    EXPECT_EQ(props.IsTrue(PR_HASATTACH), 0);
    std::string text = "keep";
    props.FormatProp(text, kListValueChars, PR_SUBJECT_A);
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(props.GetPropText(PR_SUBJECT_A, text, kListValueChars), 0);
    EXPECT_EQ(text, "");
}

TEST(CPropValueArray, LoadPropsReadsEveryValueAndLooksThemUpByIdOnly)
{
    MessageObject obj;
    CPropValueArray props;
    ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);
    EXPECT_EQ(props.Count(), 5u);
    EXPECT_EQ(props.Source(), &obj);
    EXPECT_EQ(props.At(0), props.Values());

    const SPropValue* subject = props.Find(PR_SUBJECT_A);
    ASSERT_NE(subject, nullptr) << "a PT_STRING8 tag finds the PT_UNICODE value";
    EXPECT_EQ(subject->ulPropTag, PR_SUBJECT_W);

    EXPECT_EQ(props.GetLong(PR_ATTACH_METHOD), 5);
    EXPECT_EQ(props.GetLong(PR_OBJECT_TYPE), -1) << "absent";
    EXPECT_EQ(props.IsTrue(PR_HASATTACH), 1);
    EXPECT_EQ(props.IsTrue(PR_ENTRYID), 0) << "absent";
}

TEST(CPropValueArray, IsTrueWantsExactlyOne)
{
    struct
    {
        unsigned short b;
        BOOL expected;
    } const cases[] = {{0, 0}, {1, 1}, {2, 0}, {0xFFFF, 0}};
    for (const auto& c : cases) {
        SPropValue v = Value(PR_HASATTACH);
        v.Value.b = c.b;
        CPropValueArray props;
        props.AttachValues(&v, 1);
        EXPECT_EQ(props.IsTrue(PR_HASATTACH), c.expected) << c.b;
    }
}

TEST(CPropValueArray, FindReturnsTheFirstValueOfAnId)
{
    SPropValue values[2] = {Value(PR_SUBJECT_A), Value(PR_SUBJECT_W)};
    values[0].Value.lpszA = const_cast<LPSTR>("first");
    values[1].Value.lpszW = const_cast<LPWSTR>(u"second");
    CPropValueArray props;
    props.AttachValues(values, 2);
    EXPECT_EQ(props.Find(PR_SUBJECT_W), &values[0]);
    std::string text;
    EXPECT_EQ(props.GetPropText(PR_SUBJECT_W, text, kListValueChars), 1);
    EXPECT_EQ(text, "first");
}

TEST(CPropValueArray, FailedLoadLeavesItEmpty)
{
    MessageObject obj;
    obj.hrGetProps = MAPI_E_CALL_FAILED;
    CPropValueArray props;
    EXPECT_EQ(props.LoadProps(&obj, 1), MAPI_E_CALL_FAILED);
    EXPECT_EQ(props.Count(), 0u);
    EXPECT_EQ(props.Values(), nullptr);
    EXPECT_EQ(props.Find(PR_SUBJECT_A), nullptr);
}

TEST(CPropValueArray, WarningsAreSuccess)
{
    MessageObject obj;
    obj.hrGetProps = MAPI_W_ERRORS_RETURNED;
    CPropValueArray props;
    EXPECT_EQ(props.LoadProps(&obj, 1), MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(props.Count(), 5u);
}

// Run under AddressSanitizer or valgrind, these show that owned values are
// freed exactly once and borrowed ones never.
TEST(CPropValueArray, FreesOwnedValuesAndNeverBorrowedOnes)
{
    MessageObject obj;
    {
        CPropValueArray props;
        ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);
        ASSERT_EQ(props.LoadProps(&obj, 1), S_OK) << "the first load is freed by the second";
        props.Release();
        EXPECT_EQ(props.Count(), 0u);
        EXPECT_EQ(props.Source(), nullptr);
        props.Release();
        ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);
    } // destruction frees the last load

    SPropValue stackValues[2] = {Value(PR_ATTACH_METHOD), Value(PR_HASATTACH)};
    SRow row{0, 2, stackValues};
    {
        CPropValueArray props;
        props.AttachRow(row);
        EXPECT_EQ(props.Count(), 2u);
        EXPECT_EQ(props.Values(), stackValues);
        EXPECT_EQ(props.Source(), nullptr);
        props.AttachValues(stackValues, 1);
        EXPECT_EQ(props.Count(), 1u);
    } // a stack array freed here would crash

    {
        CPropValueArray props;
        ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);
        props.AttachRow(row); // frees the owned load, borrows the row
        EXPECT_EQ(props.Values(), stackValues);
    }
}

TEST(CPropValueArray, UnownedLoadIsLeftToTheCaller)
{
    MessageObject obj;
    SPropValue* pKept = nullptr;
    {
        CPropValueArray props;
        ASSERT_EQ(props.LoadProps(&obj, 0), S_OK);
        pKept = props.Values();
    }
    // Callers that keep pointers into an unowned load can still read it.
    ASSERT_NE(pKept, nullptr);
    EXPECT_EQ(pKept[4].Value.l, 5);
    MAPIFreeBuffer(pKept);
}

TEST(CPropValueArray, FormatPropAndGetPropText)
{
    MessageObject obj;
    CPropValueArray props;
    ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);

    std::string text;
    props.FormatProp(text, kFileNameChars, PR_ATTACH_LONG_FILENAME_A);
    EXPECT_EQ(text, "report.pdf") << "asked as PT_STRING8, stored as PT_UNICODE";

    text = "keep";
    props.FormatProp(text, kListValueChars, PR_ENTRYID);
    EXPECT_EQ(text, "keep") << "absent: untouched";
    props.FormatProp(text, kListValueChars, PR_BODY_A);
    EXPECT_EQ(text, "keep") << "an error value names nothing";

    EXPECT_EQ(props.GetPropText(PR_BODY_A, text, kListValueChars), 1) << "PT_ERROR is present";
    EXPECT_EQ(text, "");
    EXPECT_EQ(props.GetPropText(PR_ENTRYID, text, kListValueChars), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(props.GetPropText(PR_SUBJECT_A, text, 10), 1);
    EXPECT_EQ(text, "Quarterly") << "cut to the buffer";
    EXPECT_EQ(props.GetPropText(PR_ATTACH_METHOD, text, kListValueChars), 1);
    EXPECT_EQ(text, "5");
}

std::vector<BYTE> Pattern(size_t n)
{
    std::vector<BYTE> data(n);
    for (size_t i = 0; i < n; ++i)
        data[i] = static_cast<BYTE>(i * 7 + 1);
    return data;
}

TEST(CPropValueArray, ReadStreamFillsWholeSlotsAndCountsTheBytes)
{
    MessageObject obj;
    const std::vector<BYTE> content = Pattern(2500);
    obj.streams[PROP_ID(PR_ATTACH_DATA_BIN)] = {content, 1024, S_OK};
    CPropValueArray props;
    ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);

    std::vector<BYTE> data;
    ULONG cbData = 10;
    ASSERT_EQ(props.ReadStream(PR_ATTACH_DATA_BIN, data, cbData), S_OK);
    EXPECT_TRUE(obj.lastOpenAskedForStream);
    EXPECT_EQ(obj.lastOpenFlags, MAPI_BEST_ACCESS);
    EXPECT_EQ(cbData, 2510u) << "grows by the byte count";
    ASSERT_EQ(data.size(), 3072u);
    EXPECT_TRUE(std::equal(content.begin(), content.end(), data.begin()));
    EXPECT_TRUE(std::all_of(data.begin() + 2500, data.end(), [](BYTE b) { return b == 0; }));
    EXPECT_EQ(obj.streamReleases, 1) << "the stream is released once";
}

TEST(CPropValueArray, ReadStreamGivesEveryShortReadItsOwnSlot)
{
    MessageObject obj;
    const std::vector<BYTE> content = Pattern(250);
    obj.streams[PROP_ID(PR_ATTACH_DATA_BIN)] = {content, 100, S_OK};
    CPropValueArray props;
    ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);

    std::vector<BYTE> data;
    ULONG cbData = 0;
    ASSERT_EQ(props.ReadStream(PR_ATTACH_DATA_BIN, data, cbData), S_OK);
    EXPECT_EQ(cbData, 250u);
    ASSERT_EQ(data.size(), 3072u);
    EXPECT_TRUE(std::equal(content.begin(), content.begin() + 100, data.begin()));
    EXPECT_TRUE(std::equal(content.begin() + 100, content.begin() + 200, data.begin() + 1024));
    EXPECT_TRUE(std::equal(content.begin() + 200, content.end(), data.begin() + 2048));
    EXPECT_EQ(data[100], 0);
    EXPECT_EQ(data[2048 + 50], 0);
}

TEST(CPropValueArray, ReadStreamFailuresAndEmptyStreamsLeaveTheOutputAlone)
{
    MessageObject obj;
    obj.streams[PROP_ID(PR_BODY_W)] = {{}, 1024, S_OK};
    obj.streams[PROP_ID(PR_ENTRYID)] = {Pattern(10), 1024, MAPI_E_CALL_FAILED};
    CPropValueArray props;

    std::vector<BYTE> data = {9, 9};
    ULONG cbData = 0;
    EXPECT_EQ(props.ReadStream(PR_BODY_W, data, cbData), MAPI_E_INVALID_PARAMETER) << "no source loaded";

    ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);
    EXPECT_EQ(props.ReadStream(PR_SUBJECT_W, data, cbData), MAPI_E_NOT_FOUND) << "OpenProperty's failure";
    EXPECT_EQ(props.ReadStream(PR_BODY_W, data, cbData), S_OK) << "empty stream: OpenProperty's result";
    EXPECT_EQ(props.ReadStream(PR_ENTRYID, data, cbData), S_OK) << "a failing read just ends the reading";
    EXPECT_EQ(data, (std::vector<BYTE>{9, 9}));
    EXPECT_EQ(cbData, 0u);
    EXPECT_EQ(obj.streamReleases, 2);
}

TEST(ListNamedPropTexts, ListsTheStoresNamesLastFirst)
{
    const GUID common = {0x00062008, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    const GUID strings = {0x00020329, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    fake::PropObject store;
    store.names = {{common, MNID_ID, 0x8501, u""}, {strings, MNID_STRING, 0, u"Keywords"}, {common, MNID_ID, 0x8580, u""}};

    std::vector<CNamedPropText> rows;
    ASSERT_EQ(ListNamedPropTexts(&store, rows), S_OK);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].strId, "0x00008580");
    EXPECT_EQ(rows[1].strKind, "MNID_STRING");
    EXPECT_EQ(rows[1].strName, "Keywords");
    EXPECT_EQ(rows[1].strGuid, "{00020329-0000-0000-C000-000000000046}");
    EXPECT_EQ(rows[2].strId, "0x00008501");
    EXPECT_EQ(rows[2].strGuid, "{00062008-0000-0000-C000-000000000046}");

    store.names.clear();
    EXPECT_EQ(ListNamedPropTexts(&store, rows), S_OK);
    EXPECT_TRUE(rows.empty()) << "no names: the caller reports it";

    store.hrGetNames = MAPI_E_NO_SUPPORT;
    EXPECT_EQ(ListNamedPropTexts(&store, rows), MAPI_E_NO_SUPPORT);
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(ListNamedPropTexts(nullptr, rows), MAPI_E_INVALID_PARAMETER);
}

} // namespace

namespace {

// An object with a value of each kind a listing row treats apart: a string, a
// numeric and a string name, the object type, an unknown type, a value too
// large for GetProps.
fake::PropObject ListingObject()
{
    const GUID common = {0x00062008, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    fake::PropObject obj;
    SPropValue subject = Value(PR_SUBJECT_W);
    subject.Value.lpszW = const_cast<LPWSTR>(u"Hello");
    SPropValue named = Value(PROP_TAG(PT_LONG, 0x8501));
    named.Value.l = 15;
    SPropValue objType = Value(PROP_TAG(PT_LONG, 0x0FFE));
    objType.Value.l = 5;
    SPropValue oddType = Value(PROP_TAG(0x1234, 0x0E07));
    SPropValue stringNamed = Value(PROP_TAG(PT_LONG, 0x8502));
    stringNamed.Value.l = 7;
    SPropValue tooLarge = Value(PROP_TAG(PT_ERROR, PROP_ID(PR_BODY_W)));
    tooLarge.Value.err = MAPI_E_NOT_ENOUGH_MEMORY;
    obj.values = {subject, named, objType, oddType, stringNamed, tooLarge};
    obj.namesById[0x8501] = {common, MNID_ID, 0x8218, u""};
    obj.namesById[0x8502] = {common, MNID_STRING, 0, u"Keywords"};
    return obj;
}

TEST(FormatPropRow, GivesTheListingsColumns)
{
    GetIniFile().Clear();
    ASSERT_EQ(GetIniFile().Load(std::string(DRAVIK_SOURCE_DIR) + "/Dravik.ini"), 1);

    fake::PropObject obj = ListingObject();
    CPropValueArray props;
    ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);

    CPropRowText row = FormatPropRow(props, 0, &obj);
    EXPECT_EQ(row.strTag, "0x0037001f");
    EXPECT_EQ(row.strName, "PR_SUBJECT");
    EXPECT_EQ(row.strType, "PT_UNICODE");
    EXPECT_EQ(row.strNamedId, "") << "no name for an ID below 0x8000";
    EXPECT_EQ(row.strValue, "Hello");

    row = FormatPropRow(props, 1, &obj);
    EXPECT_EQ(row.strTag, "0x85010003");
    EXPECT_EQ(row.strName, "0x00008501") << "no dictionary name: the key";
    EXPECT_EQ(row.strNamedId, "0x00008218 PSETID_Common") << "upper-case digits of the name's ID, and its set";
    EXPECT_EQ(row.strType, "PT_LONG");
    EXPECT_EQ(row.strValue, "15");
    EXPECT_EQ(FormatPropRow(props, 1, nullptr).strNamedId, "") << "row values have no object to ask";

    EXPECT_EQ(FormatPropRow(props, 2, &obj).strValue, "5 [MAPI_MESSAGE]");
    props.At(2)->Value.l = 42;
    EXPECT_EQ(FormatPropRow(props, 2, &obj).strValue, "42 []");

    row = FormatPropRow(props, 3, &obj);
    EXPECT_EQ(row.strName, "PR_MESSAGE_FLAGS");
    EXPECT_EQ(row.strType, "0x00001234");
    EXPECT_EQ(row.strValue, "<Unknown Property Type: 00001234>");

    EXPECT_EQ(FormatPropRow(props, 4, &obj).strNamedId, "\"Keywords\" PSETID_Common") << "a string name in quotes";
    row = FormatPropRow(props, 5, &obj);
    EXPECT_EQ(row.strType, "PT_ERROR");
    EXPECT_EQ(row.strValue, "MAPI_E_NOT_ENOUGH_MEMORY (0x8007000E)") << "the list says which error";
    EXPECT_EQ(FormatPropRow(props, 6, &obj).strTag, "") << "past the end";
    GetIniFile().Clear();
}

TEST(FormatPropRow, ARowReusedHoldsNothingOfTheRowBefore)
{
    GetIniFile().Clear();
    ASSERT_EQ(GetIniFile().Load(std::string(DRAVIK_SOURCE_DIR) + "/Dravik.ini"), 1);
    fake::PropObject obj = ListingObject();
    CPropValueArray props;
    ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);

    // Rows in a mixed order, in one reused row, each as it is made anew; past the
    // end empties it.
    for (const bool bWhole : {false, true}) {
        CPropRowText reused;
        for (const ULONG i : {0u, 1u, 2u, 3u, 4u, 5u, 0u, 5u, 6u, 2u, 1u, 4u, 0u, 6u}) {
            FormatPropRow(reused, props, i, &obj, bWhole);
            const CPropRowText fresh = FormatPropRow(props, i, &obj, bWhole);
            EXPECT_EQ(reused.strTag, fresh.strTag) << i;
            EXPECT_EQ(reused.strName, fresh.strName) << i;
            EXPECT_EQ(reused.strNamedId, fresh.strNamedId) << i;
            EXPECT_EQ(reused.strType, fresh.strType) << i;
            EXPECT_EQ(reused.strValue, fresh.strValue) << i;
            EXPECT_EQ(reused.hrValue, fresh.hrValue) << i;
        }
        EXPECT_EQ(reused.strValue, "");
    }
    GetIniFile().Clear();
}

TEST(AppendPropValueText, AppendsWhatTheStringFormGivesAndCutsOnlyItsOwnText)
{
    SPropValue subject = Value(PR_SUBJECT_W);
    subject.Value.lpszW = const_cast<LPWSTR>(u"caf\u00e9 au lait");
    SPropValue error = Value(PROP_TAG(PT_ERROR, 0x0037));
    error.Value.err = static_cast<SCODE>(0x80041234);
    SPropValue count = Value(PROP_TAG(PT_MV_LONG, 0x3001));
    LONG longs[] = {1, -2, 3};
    count.Value.MVl = {3, longs};
    for (const SPropValue* pValue : {&subject, &error, &count}) {
        for (const UINT cch : {1u, 5u, 6u, 12u, 1024u}) {
            std::string text = "prefix:";
            AppendPropValueText(text, pValue, cch);
            EXPECT_EQ(text, "prefix:" + PropValueToText(pValue, cch)) << cch;
        }
    }
    EXPECT_EQ(PropValueToText(&subject, 5), "caf") << "not inside the two bytes of \u00e9";
    EXPECT_EQ(PropValueToText(&error, 1024), "Error (0x80041234)");
    EXPECT_EQ(PropValueToText(&count, 1024), "3 values: [1] [-2] [3]");
}

} // namespace
