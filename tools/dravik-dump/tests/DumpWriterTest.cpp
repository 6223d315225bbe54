// The output lines: JSON strings valid for any bytes, text lines that keep to
// one line, and the layout of objects and property rows.
#include "DumpWriter.h"

#include "props/IniFile.h"
#include "props/tests/FakeMapi.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace {

struct CEscapeCase
{
    const char* name;
    std::string bytes;
    std::string json;  // with its quotes
    std::string text;
};

void PrintTo(const CEscapeCase& c, std::ostream* os)
{
    *os << c.name;
}

class Escaping : public ::testing::TestWithParam<CEscapeCase>
{
};

TEST_P(Escaping, JsonAndText)
{
    EXPECT_EQ(JsonString(GetParam().bytes), GetParam().json);
    EXPECT_EQ(TextLine(GetParam().bytes), GetParam().text);
}

// The same inside plain text, at every place of the eight-byte groups the
// escaping scans at once.
TEST_P(Escaping, TheSameAtAnyPlaceInLongerText)
{
    const std::string& json = GetParam().json;
    const std::string inner = json.substr(1, json.size() - 2);
    // Every place within the groups of eight and of sixteen bytes the scan
    // takes at once, and across the boundary of two groups.
    for (size_t before = 0; before <= 33; ++before) {
        const std::string a(before, 'a');
        const std::string b(33 - before, 'b');
        EXPECT_EQ(JsonString(a + GetParam().bytes + b), "\"" + a + inner + b + "\"") << before;
        EXPECT_EQ(TextLine(a + GetParam().bytes + b), a + GetParam().text + b) << before;
    }
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Cases, Escaping,
    ::testing::Values(
        CEscapeCase{"Plain", "Inbox", "\"Inbox\"", "Inbox"},
        CEscapeCase{"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\"", "a\"b\\\\c"},
        CEscapeCase{"LineEndsAndTab", "a\r\n\tb", "\"a\\r\\n\\tb\"", "a\\r\\n\\tb"},
        CEscapeCase{"OtherControls", "\x01\x1f\x7f\b\f", "\"\\u0001\\u001F\\u007F\\b\\f\"", "\\x01\\x1F\\x7F\\x08\\x0C"},
        CEscapeCase{"NulInside", "a\0b"s, "\"a\\u0000b\"", "a\\x00b"},
        CEscapeCase{"Utf8Kept", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"",
                    "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        CEscapeCase{"StrayContinuation", "a\x80z", "\"a\\ufffdz\"", "a\x80z"},
        CEscapeCase{"Latin1Byte", "caf\xE9!", "\"caf\\ufffd!\"", "caf\xE9!"},
        CEscapeCase{"TruncatedAtEnd", "\xE2\x82", "\"\\ufffd\\ufffd\"", "\xE2\x82"},
        CEscapeCase{"Overlong", "\xC0\xAF\xE0\x80\xAF", "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\"",
                    "\xC0\xAF\xE0\x80\xAF"},
        CEscapeCase{"EncodedSurrogate", "\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\"", "\xED\xA0\x80"},
        CEscapeCase{"AboveUnicode", "\xF4\x90\x80\x80\xF5", "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\"",
                    "\xF4\x90\x80\x80\xF5"},
        CEscapeCase{"LastCodePoint", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\"", "\xF4\x8F\xBF\xBF"}),
    [](const auto& info) { return std::string(info.param.name); });

// Whatever the bytes, the result is one valid JSON string that a strict
// parser reads back; valid UTF-8 comes back unchanged.
TEST(Escaping, AnyBytesGiveValidJson)
{
    std::mt19937 rng(7);
    for (int n = 0; n < 2000; ++n) {
        std::string bytes(rng() % 40, '\0');
        for (char& c : bytes)
            c = static_cast<char>(rng() % 4 == 0 ? rng() % 0x20 : rng() % 256);
        const std::string doc = "[" + JsonString(bytes) + "]";
        QJsonParseError error{};
        const QJsonDocument parsed = QJsonDocument::fromJson(QByteArray::fromStdString(doc), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << doc;
        const QString back = parsed.array().at(0).toString();
        const QString expected = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
        if (!expected.contains(QChar(0xFFFD))) {
            EXPECT_EQ(back, expected);
        }
        EXPECT_EQ(TextLine(bytes).find_first_of("\n\r\t"), std::string::npos);
    }
}

std::string Written(CDumpWriter::Format format, bool bProps, const std::function<void(CDumpWriter&)>& write)
{
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* f = ::open_memstream(&buffer, &size);
    {
        CDumpWriter writer(f, format, bProps);
        write(writer);
        EXPECT_TRUE(writer.Ok());
    }
    std::fclose(f);
    std::string out(buffer, size);
    std::free(buffer);
    return out;
}

const std::vector<CPropRowText> kRows = {{"0x0037001e", "PR_SUBJECT", "", "PT_STRING8", "Re: \"x\"\n"},
                                         {"0x8005000a", "0x00008005", "0x00008501", "PT_ERROR", ""}};
const std::vector<CNamedPropText> kNames = {{"0x00008501", "MNID_ID", "", "{00062008-0000-0000-C000-000000000046}"},
                                            {"", "MNID_STRING", "Keywords", "{00020329-0000-0000-C000-000000000046}"}};

TEST(Writer, TextLines)
{
    EXPECT_EQ(Written(CDumpWriter::Format::Text, false,
                      [](CDumpWriter& w) {
                          w.Write(0, "category", "Message Stores", kRows);
                          w.Write(3, "message", "Two\nlines", kRows);
                      }),
              "category: Message Stores\n"
              "      message: Two\\nlines\n");
    EXPECT_EQ(Written(CDumpWriter::Format::Text, true,
                      [](CDumpWriter& w) {
                          w.Write(1, "message", "Hi", kRows);
                          w.WriteNamed(2, "named-properties", "Named Properties", kNames);
                          w.Write(0, "category", "Profiles", {});
                      }),
              "  message: Hi\n"
              "    0x0037001e\tPR_SUBJECT\t\tPT_STRING8\tRe: \"x\"\\n\n"
              "    0x8005000a\t0x00008005\t0x00008501\tPT_ERROR\t\n"
              "    named-properties: Named Properties\n"
              "      0x00008501\tMNID_ID\t\t{00062008-0000-0000-C000-000000000046}\n"
              "      \tMNID_STRING\tKeywords\t{00020329-0000-0000-C000-000000000046}\n"
              "category: Profiles\n");
}

TEST(Writer, JsonLines)
{
    EXPECT_EQ(Written(CDumpWriter::Format::Json, false,
                      [](CDumpWriter& w) { w.Write(2, "folder", "In\"box", kRows); }),
              "{\"depth\":2,\"kind\":\"folder\",\"text\":\"In\\\"box\"}\n");
    EXPECT_EQ(Written(CDumpWriter::Format::Json, true,
                      [](CDumpWriter& w) {
                          w.Write(1, "message", "Hi", kRows);
                          w.Write(0, "category", "Services", {});
                          w.WriteNamed(2, "named-properties", "Named Properties", kNames);
                      }),
              "{\"depth\":1,\"kind\":\"message\",\"text\":\"Hi\",\"props\":["
              "{\"tag\":\"0x0037001e\",\"name\":\"PR_SUBJECT\",\"namedId\":\"\",\"type\":\"PT_STRING8\","
              "\"value\":\"Re: \\\"x\\\"\\n\"},"
              "{\"tag\":\"0x8005000a\",\"name\":\"0x00008005\",\"namedId\":\"0x00008501\",\"type\":\"PT_ERROR\","
              "\"value\":\"\"}]}\n"
              "{\"depth\":0,\"kind\":\"category\",\"text\":\"Services\",\"props\":[]}\n"
              "{\"depth\":2,\"kind\":\"named-properties\",\"text\":\"Named Properties\",\"props\":["
              "{\"id\":\"0x00008501\",\"kind\":\"MNID_ID\",\"name\":\"\","
              "\"guid\":\"{00062008-0000-0000-C000-000000000046}\"},"
              "{\"id\":\"\",\"kind\":\"MNID_STRING\",\"name\":\"Keywords\","
              "\"guid\":\"{00020329-0000-0000-C000-000000000046}\"}]}\n");
}

// A row's values are written straight into the line and escaped only when
// they need it: each reads as its own text escaped alone, whatever comes
// before it (an escaped value, a value cut in the text form).
TEST(Writer, RowValuesReadAsEachValueAlone)
{
    std::u16string plain = u"Quarterly report";
    std::u16string escaped = u"Re: \"x\"\r\n\tback\\slash";
    std::string latin1 = "caf\xE9 \\";
    std::string longText(1021, 'x');  // the text form cuts it before the last character
    longText += "\n\xC3\xA9";
    BYTE bytes[] = {0x00, 0x7F, 0xFF};
    std::vector<SPropValue> values(7);
    values[0].ulPropTag = PROP_TAG(PT_UNICODE, 0x0037);
    values[0].Value.lpszW = reinterpret_cast<LPWSTR>(plain.data());
    values[1].ulPropTag = PROP_TAG(PT_UNICODE, 0x0E1D);
    values[1].Value.lpszW = reinterpret_cast<LPWSTR>(escaped.data());
    values[2].ulPropTag = PROP_TAG(PT_STRING8, 0x0C1A);
    values[2].Value.lpszA = latin1.data();
    values[3].ulPropTag = PROP_TAG(PT_STRING8, 0x1000);
    values[3].Value.lpszA = longText.data();
    values[4].ulPropTag = PROP_TAG(PT_ERROR, 0x0E06);
    values[4].Value.err = MAPI_E_NOT_FOUND;
    values[5].ulPropTag = PROP_TAG(PT_BINARY, 0x0FFF);
    values[5].Value.bin = SBinary{sizeof bytes, bytes};
    values[6].ulPropTag = PROP_TAG(PT_LONG, 0x0E08);
    values[6].Value.l = -7;
    const SRow row{0, static_cast<ULONG>(values.size()), values.data()};

    std::string json = "{\"depth\":3,\"kind\":\"row\",\"values\":{";
    std::string text = "      row:";
    for (const SPropValue& v : values) {
        char key[16];
        std::snprintf(key, sizeof key, "\"0x%08X\":", static_cast<unsigned>(v.ulPropTag));
        json += (&v == values.data() ? "" : ",") + std::string(key) + JsonString(PropValueWholeText(&v, nullptr));
        std::string cut;
        AppendPropValueText(cut, &v, kListValueChars);
        text += "\t" + TextLine(cut);
    }
    json += "}}\n";
    text += "\n";
    EXPECT_EQ(Written(CDumpWriter::Format::Json, false, [&](CDumpWriter& w) { w.WriteRow(3, row); }), json);
    EXPECT_EQ(Written(CDumpWriter::Format::Text, false, [&](CDumpWriter& w) { w.WriteRow(3, row); }), text);
}

// A UTF-16 string is converted and escaped in one pass, in a row and in an
// object's properties: each kind of unit, at every place of the groups of
// eight units the pass scans at once, reads as the value's own text
// (conversion, then escaping) would.
TEST(Writer, RowStringsReadAsTheirTextEscaped)
{
    const std::u16string kinds[] = {
        u"\"", u"\\", u"\r\n", u"\x01", u"\x1F", u"\x7F", u"~", u" ",       // ASCII to escape or keep
        u"\x80", u"\xE9", u"\x07FF", u"\x65E5", u"\xFFFF",                     // two and three UTF-8 bytes
        u"\xD83D\xDE00", u"\xDBFF\xDFFF",                                        // surrogate pairs
        u"\xD800", u"\xDC00", u"\xDC00\xD800", u"\xD83Dz",                      // unpaired surrogates
    };
    for (const std::u16string& kind : kinds) {
        for (size_t before = 0; before <= 17; ++before) {
            std::u16string text = std::u16string(before, u'a') + kind + std::u16string(17 - before, u'b');
            SPropValue value{};
            value.ulPropTag = PROP_TAG(PT_UNICODE, 0x0037);
            value.Value.lpszW = reinterpret_cast<LPWSTR>(text.data());
            const SRow row{0, 1, &value};
            const std::string json = "{\"depth\":1,\"kind\":\"row\",\"values\":{\"0x0037001F\":" +
                                     JsonString(PropValueWholeText(&value, nullptr)) + "}}\n";
            EXPECT_EQ(Written(CDumpWriter::Format::Json, false, [&](CDumpWriter& w) { w.WriteRow(1, row); }), json)
                << "unit " << std::hex << static_cast<unsigned>(kind[0]) << " after " << std::dec << before;
            fake::PropObject obj;
            obj.values = {value};
            CPropValueArray props;
            ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);
            const std::vector<CPropRowText> rows = {FormatPropRow(props, 0, &obj, true)};
            EXPECT_EQ(Written(CDumpWriter::Format::Json, true,
                              [&](CDumpWriter& w) {
                                  std::vector<std::pair<ULONG, HRESULT>> failures;
                                  w.BeginObject(1, "message", "m");
                                  w.WriteProps(props, &obj, failures);
                                  w.EndObject();
                              }),
                      Written(CDumpWriter::Format::Json, true, [&](CDumpWriter& w) { w.Write(1, "message", "m", rows); }))
                << "unit " << std::hex << static_cast<unsigned>(kind[0]) << " after " << std::dec << before;
        }
    }
}

// An object's properties written straight from its values read exactly as
// the rows FormatPropRow makes, written as rows: in JSON (values whole) and
// in text (cut), for names and values that need escaping, named IDs, the
// object type's name, a property ID held twice, a value that cannot be read
// whole, and a dictionary that changes between two objects.
TEST(Writer, PropsFromValuesReadAsTheirRows)
{
    CIniFile& dictionary = GetIniFile();
    dictionary.Clear();
    for (std::string line : {"[PropType]", "0x0000001f=PT_UNICODE", "0x00000003=PT_LONG", "[MAPIObjTypes]",
                             "0x00000005=MAPI_MESSAGE", "[PropIDs]", "0x00000037=PR_SUBJECT",
                             "0x00000e1d=PR_\"odd\"\tname"})
        dictionary.ParseLine(line);

    const GUID common = {0x00062008, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    std::u16string subject = u"Quarterly report";
    std::u16string escaped = u"Re: \"x\"\r\n\tback\\slash";
    std::string longText(1030, 'x');
    fake::PropObject obj;
    obj.values.resize(9);
    obj.values[0].ulPropTag = PROP_TAG(PT_UNICODE, 0x0037);
    obj.values[0].Value.lpszW = reinterpret_cast<LPWSTR>(subject.data());
    obj.values[1].ulPropTag = PROP_TAG(PT_UNICODE, 0x0E1D);
    obj.values[1].Value.lpszW = reinterpret_cast<LPWSTR>(escaped.data());
    obj.values[2].ulPropTag = PROP_TAG(PT_LONG, 0x0FFE);
    obj.values[2].Value.l = 5;
    obj.values[3].ulPropTag = PROP_TAG(PT_LONG, 0x8501);
    obj.values[3].Value.l = 15;
    obj.values[4].ulPropTag = PROP_TAG(PT_STRING8, 0x8502);
    obj.values[4].Value.lpszA = longText.data();
    obj.values[5].ulPropTag = PROP_TAG(PT_LONG, 0x0037);  // the subject's ID again: its rows show the first value
    obj.values[5].Value.l = 1;
    obj.values[6].ulPropTag = PROP_TAG(PT_ERROR, 0x1000);  // too large, and its stream fails
    obj.values[6].Value.err = MAPI_E_NOT_ENOUGH_MEMORY;
    obj.values[7].ulPropTag = PROP_TAG(PT_LONG, 0x8503);  // no name
    obj.values[7].Value.l = 2;
    obj.values[8].ulPropTag = PROP_TAG(PT_ERROR, 0x1001);  // too large, read whole: a text to escape
    obj.values[8].Value.err = MAPI_E_NOT_ENOUGH_MEMORY;
    obj.streams[0x1001] = {{'"', 0, '\n', 0, 'z', 0}, 4, S_OK};
    obj.namesById[0x8501] = {common, MNID_ID, 0x8218, u""};
    obj.namesById[0x8502] = {common, MNID_STRING, 0, u"Key\"words\n"};
    obj.streams[0x1000] = {std::vector<BYTE>(100, 'a'), 40, MAPI_E_CORRUPT_DATA};
    CPropValueArray props;
    ASSERT_EQ(props.LoadProps(&obj, 1), S_OK);

    for (const auto format : {CDumpWriter::Format::Json, CDumpWriter::Format::Text}) {
        SCOPED_TRACE(format == CDumpWriter::Format::Json ? "JSON" : "text");
        const bool bWhole = format == CDumpWriter::Format::Json;
        // Each object with a source and without (a table row's values), at
        // two depths, the second pair after the dictionary names one more type.
        const auto rowsOf = [&](IMAPIProp* pSource) {
            std::vector<CPropRowText> rows;
            for (ULONG i = props.Count(); i-- > 0;)
                rows.push_back(FormatPropRow(props, i, pSource, bWhole));
            return rows;
        };
        std::string expected;
        std::string got;
        for (int pass = 0; pass < 2; ++pass) {
            expected += Written(format, true, [&](CDumpWriter& w) {
                w.Write(1, "message", "m", rowsOf(&obj));
                w.Write(3, "recipient", "r", rowsOf(nullptr));
            });
            got += Written(format, true, [&](CDumpWriter& w) {
                std::vector<std::pair<ULONG, HRESULT>> failures;
                w.BeginObject(1, "message", "m");
                w.WriteProps(props, &obj, failures);
                w.EndObject();
                EXPECT_EQ(failures.size(), bWhole ? 1U : 0U);
                if (bWhole && failures.size() == 1) {
                    EXPECT_EQ(failures[0].first, PROP_TAG(PT_ERROR, 0x1000));
                    EXPECT_EQ(failures[0].second, MAPI_E_CORRUPT_DATA);
                }
                failures.clear();
                w.BeginObject(3, "recipient", "r");
                w.WriteProps(props, nullptr, failures);
                w.EndObject();
                EXPECT_TRUE(failures.empty()) << "without a source nothing is read";
                if (pass == 0) {
                    // One writer across the change: what it kept is made anew.
                    std::string line = "0x00008501=PidLidFifteen";
                    dictionary.ParseLine(line);
                    w.BeginObject(0, "message", "after");
                    w.WriteProps(props, &obj, failures);
                    w.EndObject();
                }
            });
            if (pass == 0)
                expected += Written(format, true, [&](CDumpWriter& w) { w.Write(0, "message", "after", rowsOf(&obj)); });
        }
        EXPECT_EQ(got, expected);
        EXPECT_NE(expected.find("PidLidFifteen"), std::string::npos);
        EXPECT_NE(expected.find("MAPI_MESSAGE"), std::string::npos);
        EXPECT_NE(expected.find(bWhole ? "\\\"\\nz" : "MAPI_E_NOT_ENOUGH_MEMORY"), std::string::npos);
        EXPECT_NE(expected.find(bWhole ? "odd\\\"\\tname" : "odd\"\\tname"), std::string::npos) << "a name escaped";
    }
    dictionary.Clear();
}

// A regular file takes the lines of many objects in one write; whether the
// writer is flushed or destroyed, the file ends up with every line in order,
// the same bytes a stream gets line by line.
TEST(Writer, RegularFileGetsEveryLineInOrder)
{
    const auto writeMany = [](CDumpWriter& w) {
        std::vector<CPropRowText> rows = kRows;
        rows[0].strValue.assign(70000, 'v');  // a few objects make more than one write's worth
        for (int i = 0; i < 40; ++i)
            w.Write(i % 4, "message", "m" + std::to_string(i), rows);
    };
    const std::string expected = Written(CDumpWriter::Format::Json, true, writeMany);
    for (const bool bFlush : {true, false}) {
        SCOPED_TRACE(bFlush ? "flushed" : "destroyed");
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        {
            CDumpWriter writer(f, CDumpWriter::Format::Json, true);
            writeMany(writer);
            if (bFlush) {
                writer.Flush();
                EXPECT_TRUE(writer.Ok());
            }
        }
        std::string got;
        std::rewind(f);
        char buf[65536];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            got.append(buf, n);
        std::fclose(f);
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
    }
}

TEST(Writer, FailedWriteIsReported)
{
    std::FILE* f = std::fopen("/dev/full", "w");
    ASSERT_NE(f, nullptr);
    CDumpWriter writer(f, CDumpWriter::Format::Text, false);
    writer.Write(0, "category", "Message Stores", {});
    EXPECT_FALSE(writer.Ok());
    EXPECT_EQ(writer.Error(), ENOSPC);
    std::fclose(f);
}

} // namespace
