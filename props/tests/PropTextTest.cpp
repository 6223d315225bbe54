#include "props/PropText.h"
#include "props/NamedPropNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
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

struct TextCase
{
    const char* what;
    SPropValue value;
    UINT cch;
    std::string expected;
};

std::vector<TextCase> ScalarCases()
{
    std::vector<TextCase> cases;
    auto add = [&](const char* what, SPropValue v, std::string expected, UINT cch = kListValueChars) {
        cases.push_back({what, v, cch, std::move(expected)});
    };
    SPropValue v;

    add("PT_UNSPECIFIED", Value(PROP_TAG(PT_UNSPECIFIED, 0x1234)), "<UNSPECIFIED>");
    add("PT_NULL", Value(PROP_TAG(PT_NULL, 0x1234)), "<NULL>");
    v = Value(PROP_TAG(PT_I2, 0x1234));
    v.Value.i = -1;
    add("PT_I2 -1", v, "-1");
    v = Value(PR_ATTACH_METHOD);
    v.Value.l = static_cast<LONG>(0x80000000u);
    add("PT_LONG 0x80000000", v, "-2147483648");
    v.Value.l = 42;
    add("PT_LONG 42", v, "42");
    v = Value(PROP_TAG(PT_R4, 0x1234));
    v.Value.flt = 1.5f;
    add("PT_R4", v, "1.500000e+00");
    v = Value(PROP_TAG(PT_DOUBLE, 0x1234));
    v.Value.dbl = -12345.678;
    add("PT_DOUBLE", v, "-1.234568e+04");
    v = Value(PROP_TAG(PT_APPTIME, 0x1234));
    v.Value.at = 0.25;
    add("PT_APPTIME", v, "2.500000e-01");
    v = Value(PROP_TAG(PT_I8, 0x1234));
    v.Value.li.QuadPart = 4294967296LL;
    add("PT_I8 2^32 whole", v, "4294967296");
    v.Value.li.QuadPart = -2;
    add("PT_I8 -2", v, "-2");
    v.Value.li.QuadPart = INT64_MIN;
    add("PT_I8 least", v, "-9223372036854775808");
    v = Value(PROP_TAG(PT_CURRENCY, 0x1234));
    v.Value.cur.int64 = 10000;
    add("PT_CURRENCY 1.0000", v, "1.0000");
    v.Value.cur.int64 = -1;
    add("PT_CURRENCY -0.0001", v, "-0.0001");
    v.Value.cur.int64 = 123456789;
    add("PT_CURRENCY 12345.6789", v, "12345.6789");
    v.Value.cur.int64 = INT64_MIN;
    add("PT_CURRENCY least", v, "-922337203685477.5808");
    v = Value(PROP_TAG(PT_BOOLEAN, 0x1234));
    v.Value.b = 1;
    add("PT_BOOLEAN 1", v, "1");
    v.Value.b = 0xFFFF;
    add("PT_BOOLEAN 0xFFFF zero-extended", v, "65535");
    add("PT_OBJECT", Value(PROP_TAG(PT_OBJECT, 0x1234)), "<OBJECT>");
    v = Value(PR_SUBJECT_A);
    v.Value.lpszA = const_cast<LPSTR>("Hello %s");
    add("PT_STRING8 as it is", v, "Hello %s");
    v.Value.lpszA = nullptr;
    add("PT_STRING8 null", v, "(null)");
    v = Value(PR_SUBJECT_W);
    v.Value.lpszW = const_cast<LPWSTR>(u"\u041F\u0440\u0438\u0432\u0435\u0442");
    add("PT_UNICODE to UTF-8", v, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
    v.Value.lpszW = nullptr;
    add("PT_UNICODE null", v, "");
    static BYTE svreid[] = {0x01, 0x00, 0xDE, 0xAD};
    v = Value(PROP_TAG(PT_SVREID, 0x6750));
    v.Value.bin = {4, svreid};
    add("PT_SVREID is its bytes", v, "0100DEAD");
    add("PT_SRESTRICTION is unknown", Value(PROP_TAG(PT_SRESTRICTION, 0x1234)), "<Unknown Property Type: 000000fd>");
    add("a multi-valued PT_SVREID is unknown", Value(PROP_TAG(0x10FB, 0x1234)), "<Unknown Property Type: 000010fb>");
    v = Value(PR_MESSAGE_DELIVERY_TIME);
    v.Value.ft.dwHighDateTime = 0x01da6f06;
    v.Value.ft.dwLowDateTime = 0x696ba480;
    add("PT_SYSTIME", v, "2024-03-05 14:07:09");
    v.Value.ft.dwHighDateTime = 0x24c85a5e;
    v.Value.ft.dwLowDateTime = 0xd1c04000;
    add("PT_SYSTIME after year 9999", v, "Invalid DateTime");
    v = Value(PROP_TAG(PT_I2, 0x1234));
    v.Value.i = -32768;
    add("a number cut to a small buffer", v, "-32", 4);
    add("a marker cut to a small buffer", Value(PROP_TAG(PT_NULL, 0x1234)), "<NU", 4);
    add("a buffer of one byte holds the empty text", Value(PROP_TAG(PT_NULL, 0x1234)), "", 1);
    return cases;
}

class PropValueToTextTest : public ::testing::TestWithParam<TextCase>
{
};

TEST_P(PropValueToTextTest, RendersByType)
{
    const TextCase& c = GetParam();
    EXPECT_EQ(PropValueToText(&c.value, c.cch), c.expected) << c.what;
}

// Test names from the cases' descriptions.
std::string CaseName(const ::testing::TestParamInfo<TextCase>& info)
{
    std::string name = std::to_string(info.index) + "_";
    for (const char* p = info.param.what; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Scalars, PropValueToTextTest, ::testing::ValuesIn(ScalarCases()), CaseName);

TEST(PropValueToText, StringsAreCutAfterTheLastWholeCharacterBelowTheBuffer)
{
    std::string ascii(2000, 'x');
    SPropValue v = Value(PR_BODY_A);
    v.Value.lpszA = ascii.data();
    EXPECT_EQ(PropValueToText(&v, 1024), std::string(1023, 'x'));

    // 1022 ASCII bytes then a two-byte character: it does not fit in 1023.
    std::string utf8 = std::string(1022, 'x') + "\xC3\xA9" + "tail";
    v.Value.lpszA = utf8.data();
    EXPECT_EQ(PropValueToText(&v, 1024), std::string(1022, 'x'));

    std::u16string wide = std::u16string(1021, u'x') + u"\u20AC\u20AC";
    SPropValue w = Value(PR_BODY_W);
    w.Value.lpszW = wide.data();
    EXPECT_EQ(PropValueToText(&w, 1024), std::string(1021, 'x')) << "a 3-byte character does not fit in 2";
    EXPECT_EQ(PropValueToText(&w, 1025), std::string(1021, 'x') + "\xE2\x82\xAC");
}

struct BinaryCase
{
    ULONG cb;
    UINT cch;
    size_t digits;
    bool marker;
};

TEST(PropValueToText, BinaryShowsHexDigitsUpToTheSizeDependentLimits)
{
    SPropValue v = Value(PR_ENTRYID);
    BYTE small[] = {0x01, 0xAB, 0xFF};
    v.Value.bin.cb = 3;
    v.Value.bin.lpb = small;
    EXPECT_EQ(PropValueToText(&v, kListValueChars), "01ABFF");
    v.Value.bin.cb = 0;
    EXPECT_EQ(PropValueToText(&v, kListValueChars), "") << "zero length";
    v.Value.bin.lpb = nullptr;
    EXPECT_EQ(PropValueToText(&v, kListValueChars), "") << "zero length, no data";

    std::vector<BYTE> data(6000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(i);
    v.Value.bin.lpb = data.data();
    const BinaryCase cases[] = {
        // Whenever bytes are left out, the text ends with the marker.
        {600, 1024, 672, true},    {400, 1024, 672, true},   {337, 1024, 672, true},  {513, 1024, 672, true},
        {336, 1024, 672, false},   {335, 1024, 670, false},  {3000, 5000, 3324, true}, {1663, 5000, 3324, true},
        {1662, 5000, 3324, false}, {2049, 4096, 2720, true}, {1361, 4096, 2720, true}, {1360, 4096, 2720, false},
        {128, 255, 160, true},     {81, 255, 160, true},     {80, 255, 160, false},    {10, 16, 0, true},
        {10, 17, 2, true},         {100, 260, 164, true},    {82, 260, 164, false},
    };
    for (const auto& c : cases) {
        v.Value.bin.cb = c.cb;
        const std::string text = PropValueToText(&v, c.cch);
        const std::string marker = c.marker ? " }etc" : "";
        ASSERT_GE(text.size(), marker.size());
        EXPECT_EQ(text.size(), c.digits + marker.size()) << c.cb << " bytes in " << c.cch;
        EXPECT_EQ(text.substr(text.size() - marker.size()), marker) << c.cb << " bytes in " << c.cch;
        EXPECT_LT(text.size(), c.cch) << "always fits the buffer";
        const size_t shown = std::min<size_t>(6, c.digits);
        EXPECT_EQ(text.substr(0, shown), std::string("000102").substr(0, shown)) << "bytes in order";
    }
}

// Every byte value at every place of the groups of sixteen the digits are
// made in, and every length up to a few groups: two upper-case digits a byte.
TEST(PropValueToText, BinaryDigitsOfEveryByteAtEveryPlace)
{
    std::vector<BYTE> data(256 + 40);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(i * 7 + 3);
    for (size_t offset = 0; offset < 17; ++offset) {
        for (size_t cb = 0; offset + cb <= data.size(); cb += cb < 40 ? 1 : 37) {
            SPropValue v = Value(PR_ENTRYID);
            v.Value.bin.cb = static_cast<ULONG>(cb);
            v.Value.bin.lpb = data.data() + offset;
            std::string expected;
            for (size_t i = 0; i < cb; ++i) {
                char sz[3];
                std::snprintf(sz, sizeof sz, "%02X", data[offset + i]);
                expected += sz;
            }
            EXPECT_EQ(PropValueWholeText(&v, nullptr), expected) << offset << " " << cb;
        }
    }
}

// A row's value said to be plain holds only printable ASCII with no quote and
// no backslash, whatever the value; strings, dates and the object type's name
// are never said to be.
TEST(AppendPropRowValue, PlainOnlyWhereNoByteNeedsEscaping)
{
    BYTE bytes[] = {0x00, 0x22, 0x5C, 0x7F, 0xFF, 0x0A};
    GUID guid = {0xFFFFFFFF, 0, 0xABCD, {0x22, 0x5C, 0, 0, 0, 0, 0, 0xFF}};
    char quoted[] = "plain \"or\" not";
    char16_t wide[] = u"abc";
    const auto with = [](ULONG tag, auto set) {
        SPropValue v = Value(tag);
        set(v.Value);
        return v;
    };
    struct Case
    {
        const char* name;
        SPropValue value;
        bool bPlain;
    };
    const Case cases[] = {
        {"long", with(PROP_TAG(PT_LONG, 0x0E08), [](_PV& v) { v.l = -2147483647 - 1; }), true},
        {"short", with(PROP_TAG(PT_I2, 0x0E08), [](_PV& v) { v.i = -32768; }), true},
        {"double", with(PROP_TAG(PT_DOUBLE, 0x0E08), [](_PV& v) { v.dbl = -1.0 / 0.0; }), true},
        {"float", with(PROP_TAG(PT_R4, 0x0E08), [](_PV& v) { v.flt = 0.0f / 0.0f; }), true},
        {"currency", with(PROP_TAG(PT_CURRENCY, 0x0E08), [](_PV& v) { v.cur.int64 = INT64_MIN; }), true},
        {"i8", with(PROP_TAG(PT_I8, 0x0E08), [](_PV& v) { v.li.QuadPart = INT64_MIN; }), true},
        {"boolean", with(PROP_TAG(PT_BOOLEAN, 0x0E08), [](_PV& v) { v.b = 0xFFFF; }), true},
        {"binary", with(PROP_TAG(PT_BINARY, 0x0FFF), [&](_PV& v) { v.bin = SBinary{sizeof bytes, bytes}; }), true},
        {"guid", with(PROP_TAG(PT_CLSID, 0x0E08), [&](_PV& v) { v.lpguid = &guid; }), true},
        {"error", with(PROP_TAG(PT_ERROR, 0x0E08), [](_PV& v) { v.err = MAPI_E_NOT_FOUND; }), true},
        {"unnamed error", with(PROP_TAG(PT_ERROR, 0x0E08), [](_PV& v) { v.err = static_cast<SCODE>(0x8004FFFF); }),
         true},
        {"null", with(PROP_TAG(PT_NULL, 0x0E08), [](_PV&) {}), true},
        {"string", with(PROP_TAG(PT_STRING8, 0x0037), [&](_PV& v) { v.lpszA = quoted; }), false},
        {"unicode", with(PROP_TAG(PT_UNICODE, 0x0037), [&](_PV& v) { v.lpszW = wide; }), false},
        {"date", with(PROP_TAG(PT_SYSTIME, 0x0E06), [](_PV& v) { v.ft = FILETIME{1, 1}; }), false},
        {"object type", with(PROP_TAG(PT_LONG, 0x0FFE), [](_PV& v) { v.l = 5; }), false},
        {"several", with(PROP_TAG(PT_MV_LONG, 0x0E08), [](_PV& v) { v.MVl = SLongArray{0, nullptr}; }), false},
    };
    for (const Case& c : cases) {
        for (const bool bWhole : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (bWhole ? " whole" : " cut"));
            std::string text;
            bool bPlain = !c.bPlain;
            EXPECT_EQ(AppendPropRowValue(text, &c.value, c.value.ulPropTag, nullptr, bWhole, &bPlain), S_OK);
            EXPECT_EQ(bPlain, c.bPlain);
            if (bPlain)
                for (const char ch : text)
                    EXPECT_TRUE(ch >= 0x20 && ch < 0x7F && ch != '"' && ch != '\\') << text;
        }
    }
}

TEST(PropValueToText, BufferFormWritesTheTextCutToTheBuffer)
{
    char sz[16] = "keep";
    SPropValue l = Value(PR_ATTACH_METHOD);
    l.Value.l = 123456789;
    PropValueToText(sz, &l, 6);
    EXPECT_STREQ(sz, "12345");
    SPropValue err = Value(PROP_TAG(PT_ERROR, 0x0037));
    err.Value.err = MAPI_E_NOT_FOUND;
    PropValueToText(sz, &err, sizeof sz);
    EXPECT_STREQ(sz, "MAPI_E_NOT_FOUN");
}

// The texts of values the tool once showed as an unknown type or not at all:
// multi-valued types, GUIDs and error values.
std::vector<TextCase> NewTextCases()
{
    std::vector<TextCase> cases;
    auto add = [&](const char* what, SPropValue v, std::string expected, UINT cch = kListValueChars) {
        cases.push_back({what, v, cch, std::move(expected)});
    };
    static const GUID kGuid = {0x00020329, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    static GUID guids[] = {kGuid, {0xA1B2C3D4, 0xE5F6, 0x0718, {0x29, 0x3A, 0x4B, 0x5C, 0x6D, 0x7E, 0x8F, 0x90}}};
    static short shorts[] = {-1, 7};
    static LONG longs[] = {1, -2, 300};
    static float floats[] = {1.5f};
    static double doubles[] = {0.25, -2.0};
    static CURRENCY currencies[2];
    currencies[0].int64 = 10000;
    currencies[1].int64 = -2;
    static FILETIME times[] = {{0x696ba480, 0x01da6f06}, {0xd1c04000, 0x24c85a5e}};
    static char a[] = "Business", b[] = "", c[] = "x] [y";
    static LPSTR strings8[] = {a, b, c, nullptr};
    static char16_t wa[] = u"Stra\u00DFe", wb[] = u"Personal";
    static LPWSTR wides[] = {wa, wb, nullptr};
    static BYTE bytes[] = {0x01, 0xAB, 0xFF};
    static SBinary bins[] = {{3, bytes}, {0, nullptr}};
    static LARGE_INTEGER larges[] = {{}};
    larges[0].QuadPart = 4294967296LL;

    SPropValue v = Value(PROP_TAG(PT_CLSID, 0x1234));
    v.Value.lpguid = &guids[1];
    add("PT_CLSID in registry form", v, "{A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F90}");
    v.Value.lpguid = nullptr;
    add("PT_CLSID without a GUID", v, "(null)");

    v = Value(PROP_TAG(PT_ERROR, 0x1000));
    v.Value.err = MAPI_E_NOT_ENOUGH_MEMORY;
    add("PT_ERROR too large for GetProps", v, "MAPI_E_NOT_ENOUGH_MEMORY (0x8007000E)");
    v.Value.err = MAPI_E_CORRUPT_DATA;
    add("PT_ERROR unreadable", v, "MAPI_E_CORRUPT_DATA (0x8004011B)");
    v.Value.err = MAPI_E_NOT_FOUND;
    add("PT_ERROR absent column", v, "MAPI_E_NOT_FOUND (0x8004010F)");
    v.Value.err = MAPI_E_NO_SUPPORT;
    add("PT_ERROR not supported", v, "MAPI_E_NO_SUPPORT (0x80040102)");
    v.Value.err = MAPI_E_NO_ACCESS;
    add("PT_ERROR shared COM code takes the MAPI name", v, "MAPI_E_NO_ACCESS (0x80070005)");
    v.Value.err = static_cast<SCODE>(0x80041234u);
    add("PT_ERROR without a name", v, "Error (0x80041234)");
    v.Value.err = MAPI_W_ERRORS_RETURNED;
    add("PT_ERROR holding a warning", v, "MAPI_W_ERRORS_RETURNED (0x00040380)");

    v = Value(PROP_TAG(PT_MV_I2, 0x1234));
    v.Value.MVi = {2, shorts};
    add("PT_MV_I2", v, "2 values: [-1] [7]");
    v = Value(PROP_TAG(PT_MV_LONG, 0x1234));
    v.Value.MVl = {3, longs};
    add("PT_MV_LONG", v, "3 values: [1] [-2] [300]");
    v.Value.MVl = {1, longs};
    add("PT_MV_LONG of one value", v, "1 value: [1]");
    v.Value.MVl = {0, nullptr};
    add("PT_MV_LONG of no value", v, "0 values");
    v.Value.MVl = {2, nullptr};
    add("PT_MV_LONG with a count and no data", v, "2 values");
    v = Value(PROP_TAG(PT_MV_R4, 0x1234));
    v.Value.MVflt = {1, floats};
    add("PT_MV_R4", v, "1 value: [1.500000e+00]");
    v = Value(PROP_TAG(PT_MV_DOUBLE, 0x1234));
    v.Value.MVdbl = {2, doubles};
    add("PT_MV_DOUBLE", v, "2 values: [2.500000e-01] [-2.000000e+00]");
    v = Value(PROP_TAG(PT_MV_APPTIME, 0x1234));
    v.Value.MVat = {2, doubles};
    add("PT_MV_APPTIME", v, "2 values: [2.500000e-01] [-2.000000e+00]");
    v = Value(PROP_TAG(PT_MV_CURRENCY, 0x1234));
    v.Value.MVcur = {2, currencies};
    add("PT_MV_CURRENCY", v, "2 values: [1.0000] [-0.0002]");
    v = Value(PROP_TAG(PT_MV_SYSTIME, 0x1234));
    v.Value.MVft = {2, times};
    add("PT_MV_SYSTIME", v, "2 values: [2024-03-05 14:07:09] [Invalid DateTime]");
    v = Value(PROP_TAG(PT_MV_STRING8, 0x1234));
    v.Value.MVszA = {4, strings8};
    add("PT_MV_STRING8: empty and null strings stay visible", v, "4 values: [Business] [] [x] [y] [(null)]");
    v = Value(PROP_TAG(PT_MV_UNICODE, 0x1234));
    v.Value.MVszW = {3, wides};
    add("PT_MV_UNICODE", v, "3 values: [Stra\xC3\x9F" "e] [Personal] []");
    v = Value(PROP_TAG(PT_MV_BINARY, 0x1234));
    v.Value.MVbin = {2, bins};
    add("PT_MV_BINARY", v, "2 values: [01ABFF] []");
    v = Value(PROP_TAG(PT_MV_CLSID, 0x1234));
    v.Value.MVguid = {2, guids};
    add("PT_MV_CLSID", v,
        "2 values: [{00020329-0000-0000-C000-000000000046}] [{A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F90}]");
    v = Value(PROP_TAG(PT_MV_I8, 0x1234));
    v.Value.MVli = {1, larges};
    add("PT_MV_I8", v, "1 value: [4294967296]");
    v = Value(PROP_TAG(PT_MV_LONG, 0x1234));
    v.Value.MVl = {3, longs};
    add("a multi-valued text cut to the buffer ends with the marker", v, "3 values: [1] [-2 }etc", 23);

    v = Value(PROP_TAG(MVI_FLAG | PT_STRING8, 0x1234));
    v.Value.lpszA = a;
    add("one instance of a multi-valued property is its base type's value", v, "Business");
    return cases;
}

INSTANTIATE_TEST_SUITE_P(NewTexts, PropValueToTextTest, ::testing::ValuesIn(NewTextCases()), CaseName);

TEST(PropValueToText, MultiValuedTextsStayInTheBufferAndSayWhenCut)
{
    // Many long strings: the text fills the buffer and ends with the marker.
    std::string one(300, 's');
    std::vector<LPSTR> many(1000, one.data());
    SPropValue v = Value(PROP_TAG(PT_MV_STRING8, 0x1234));
    v.Value.MVszA = {static_cast<ULONG>(many.size()), many.data()};
    for (UINT cch : {kListValueChars, kViewerValueChars, kExportValueChars, kTreeItemChars}) {
        const std::string text = PropValueToText(&v, cch);
        EXPECT_EQ(text.size(), cch - 1) << cch;
        EXPECT_EQ(text.substr(0, 16), "1000 values: [ss") << cch;
        EXPECT_EQ(text.substr(text.size() - 5), " }etc") << cch;
    }

    // A binary value cut inside a multi-valued one keeps its own marker.
    std::vector<BYTE> data(600, 0xAB);
    SBinary bins[] = {{600, data.data()}};
    SPropValue b = Value(PROP_TAG(PT_MV_BINARY, 0x1234));
    b.Value.MVbin = {1, bins};
    const std::string text = PropValueToText(&b, kListValueChars);
    std::string digits;
    for (int i = 0; i < 336; ++i)
        digits += "AB";
    EXPECT_EQ(text, "1 value: [" + digits + " }etc]");
}

MAPINAMEID Name(const GUID* guid, ULONG kind)
{
    MAPINAMEID n;
    std::memset(&n, 0, sizeof n);
    n.lpguid = const_cast<LPGUID>(guid);
    n.ulKind = kind;
    return n;
}

TEST(FormatNamedProp, GivesTheFourTexts)
{
    // PS_PUBLIC_STRINGS
    const GUID guid = {0x00020329, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

    MAPINAMEID id = Name(&guid, MNID_ID);
    id.Kind.lID = 0x8501;
    CNamedPropText t = FormatNamedProp(&id);
    EXPECT_EQ(t.strId, "0x00008501");
    EXPECT_EQ(t.strKind, "MNID_ID");
    EXPECT_EQ(t.strName, "");
    EXPECT_EQ(t.strGuid, "{00020329-0000-0000-C000-000000000046}");

    MAPINAMEID str = Name(&guid, MNID_STRING);
    str.Kind.lpwstrName = const_cast<LPWSTR>(u"Keywords");
    t = FormatNamedProp(&str);
    EXPECT_EQ(t.strKind, "MNID_STRING");
    EXPECT_EQ(t.strName, "Keywords");
    EXPECT_EQ(t.strId, "") << "a string name has no numeric ID";

    str.Kind.lpwstrName = const_cast<LPWSTR>(u"100%s %d");
    EXPECT_EQ(FormatNamedProp(&str).strName, "100%s %d") << "copied as text";
    str.Kind.lpwstrName = nullptr;
    EXPECT_EQ(FormatNamedProp(&str).strName, "");

    std::u16string longName = std::u16string(253, u'n') + u"\u00E9\u00E9";
    str.Kind.lpwstrName = longName.data();
    EXPECT_EQ(FormatNamedProp(&str).strName, std::string(253, 'n')) << "cut at 254 bytes, whole characters";
    longName = std::u16string(300, u'n');
    str.Kind.lpwstrName = longName.data();
    EXPECT_EQ(FormatNamedProp(&str).strName.size(), 254u);

    MAPINAMEID bad = Name(&guid, 2);
    bad.Kind.lID = 7;
    t = FormatNamedProp(&bad);
    EXPECT_EQ(t.strKind, "INVALID");
    EXPECT_EQ(t.strName, "");
    EXPECT_EQ(t.strId, "0x00000007");

    MAPINAMEID noGuid = Name(nullptr, MNID_ID);
    EXPECT_EQ(FormatNamedProp(&noGuid).strGuid, "") << "no property set";
    EXPECT_EQ(FormatNamedProp(nullptr).strKind, "");
}

TEST(GuidToString, IsTheRegistryForm)
{
    const GUID guid = {0xA1B2C3D4, 0xE5F6, 0x0718, {0x29, 0x3A, 0x4B, 0x5C, 0x6D, 0x7E, 0x8F, 0x90}};
    EXPECT_EQ(GuidToString(guid), "{A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F90}");
    EXPECT_EQ(GuidToString(guid).size(), 38u);
}

} // namespace

// Named properties are named from the public property list: numeric and
// string names in the sets it knows, and nothing for a name it does not know.
TEST(NamedPropNames, CanonicalNamesAndSets)
{
    GUID appointment{0x00062002, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    GUID address{0x00062004, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    GUID publicStrings{0x00020329, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    GUID meeting{0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05}};
    GUID unknown{0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    std::u16string keywords = u"Keywords", other = u"Keywordz", empty = u"";
    const auto id = [](GUID* pGuid, LONG lId) {
        MAPINAMEID name{};
        name.lpguid = pGuid;
        name.ulKind = MNID_ID;
        name.Kind.lID = lId;
        return name;
    };
    const auto str = [](GUID* pGuid, std::u16string& s) {
        MAPINAMEID name{};
        name.lpguid = pGuid;
        name.ulKind = MNID_STRING;
        name.Kind.lpwstrName = s.data();
        return name;
    };
    struct Case
    {
        MAPINAMEID name;
        std::string strIdentity;
    };
    const Case cases[] = {
        {id(&appointment, 0x820D), "0x0000820D PidLidAppointmentStartWhole (PSETID_Appointment)"},
        {id(&appointment, 0x8205), "0x00008205 PidLidBusyStatus (PSETID_Appointment)"},
        {id(&address, 0x8083), "0x00008083 PidLidEmail1EmailAddress (PSETID_Address)"},
        {id(&meeting, 0x0003), "0x00000003 PidLidGlobalObjectId (PSETID_Meeting)"},
        {id(&appointment, 0x8FFF), "0x00008FFF PSETID_Appointment"},
        {id(&unknown, 0x8205), "0x00008205"},
        {id(nullptr, 0x8205), "0x00008205"},
        {str(&publicStrings, keywords), "\"Keywords\" PidNameKeywords (PS_PUBLIC_STRINGS)"},
        {str(&publicStrings, other), "\"Keywordz\" PS_PUBLIC_STRINGS"},
        {str(&publicStrings, empty), "\"\" PS_PUBLIC_STRINGS"},
        {str(&unknown, keywords), "\"Keywords\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NamedPropIdentity(c.name), c.strIdentity);
    EXPECT_STREQ(PropertySetName(meeting), "PSETID_Meeting");
    EXPECT_EQ(PropertySetName(unknown), nullptr);
    EXPECT_EQ(NamedPropCanonicalText(id(&unknown, 1)), "");
}
