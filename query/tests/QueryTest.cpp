// The query language: a table of queries and the restrictions they give, and
// of bad queries and the messages they give.
#include "query/Query.h"

#include "mapi32/table.h"
#include "props/IniFile.h"

#include <gtest/gtest.h>

using namespace dravik::query;

namespace {

struct Dictionary : ::testing::Environment
{
    void SetUp() override { GetIniFile().Load(DRAVIK_SOURCE_DIR "/Dravik.ini"); }
};
const auto* const kDictionary = ::testing::AddGlobalTestEnvironment(new Dictionary);

// Named properties resolve to IDs from 0x8001 in the order asked, as a store would number them.
std::string Compiled(const std::string& text, bool resolve = true)
{
    QueryError error;
    const std::optional<CQuery> q = CQuery::Parse(text, error);
    if (!q)
        return "error: " + error.message;
    ULONG next = 0x8001;
    const CQuery::NameResolver resolver = [&](const MAPINAMEID& name, ULONG& id) -> HRESULT {
        if (name.ulKind == MNID_STRING && std::u16string(name.Kind.lpwstrName) == u"Missing")
            return MAPI_E_NOT_FOUND;
        id = next++;
        return S_OK;
    };
    LPSRestriction res = nullptr;
    if (FAILED(q->Compile(resolve ? resolver : CQuery::NameResolver(), &res)))
        return "compile failed";
    RestrictionPtr owned(res);
    return RestrictionText(res);
}

TEST(QueryParse, GivesTheRestriction)
{
    const struct
    {
        const char* query;
        const char* restriction;
    } cases[] = {
        // The five forms the issue names, exactly as written.
        {"PR_SUBJECT contains \"budget\"", "CONTENT(0x0037001F, FL_SUBSTRING|FL_IGNORECASE, \"budget\")"},
        {"PR_MESSAGE_SIZE >= 100000 and PR_HASATTACH = true",
         "AND(PROPERTY(0x0E080003 >= 100000), PROPERTY(0x0E1B000B = true))"},
        {"0x0037001F prefix \"RE:\"", "CONTENT(0x0037001F, FL_PREFIX|FL_IGNORECASE, \"RE:\")"},
        {"not exists PR_BODY", "NOT(EXIST(0x1000001F))"},
        {"PR_MESSAGE_DELIVERY_TIME < 2001-06-01", "PROPERTY(0x0E060040 < 2001-06-01T00:00:00)"},
        // Content: fuzzy levels and their modifiers.
        {"PR_SUBJECT is case \"Budget\"", "CONTENT(0x0037001F, FL_FULLSTRING, \"Budget\")"},
        {"PR_SUBJECT contains loose nonspace \"resume\"",
         "CONTENT(0x0037001F, FL_SUBSTRING|FL_IGNORECASE|FL_IGNORENONSPACE|FL_LOOSE, \"resume\")"},
        {"PR_SUBJECT contains \"say \\\"hi\\\"\"", "CONTENT(0x0037001F, FL_SUBSTRING|FL_IGNORECASE, \"say \\\"hi\\\"\")"},
        {"PR_ENTRYID prefix x\"00 00 00 00\"", "CONTENT(0x0FFF0102, FL_PREFIX|FL_IGNORECASE, x\"00000000\")"},
        // Comparisons typed by the property.
        {"PR_SUBJECT != \"x\"", "PROPERTY(0x0037001F != \"x\")"},
        {"PR_IMPORTANCE <= 1", "PROPERTY(0x00170003 <= 1)"},
        {"PR_MESSAGE_FLAGS = 0xFFFFFFFF", "PROPERTY(0x0E070003 = -1)"},
        {"PR_MESSAGE_DELIVERY_TIME >= 2001-06-01T13:45:10", "PROPERTY(0x0E060040 >= 2001-06-01T13:45:10)"},
        {"PR_ENTRYID = x\"0A0b\"", "PROPERTY(0x0FFF0102 = x\"0A0B\")"},
        {"0x0E080014 > 5000000000", "PROPERTY(0x0E080014 > 5000000000)"},
        // A dictionary name without a type in the headers takes the literal's type.
        {"PR_INTERNET_MESSAGE_ID = \"<a@b>\"", "PROPERTY(0x1035001F = \"<a@b>\")"},
        {"PR_SUBJECT:PT_STRING8 = \"x\"", "PROPERTY(0x0037001E = \"x\")"},
        // Bitmask, size, exists.
        {"PR_MESSAGE_FLAGS & 0x10 != 0", "BITMASK(0x0E070003 & 0x00000010 != 0)"},
        {"PR_MESSAGE_FLAGS & 4 = 0", "BITMASK(0x0E070003 & 0x00000004 = 0)"},
        {"size PR_BODY > 1000", "SIZE(0x1000001F > 1000)"},
        {"exists 0x00370000", "EXIST(0x00370000)"},
        // not, and, or, parentheses: not binds tightest, then and, then or.
        {"exists PR_BODY or exists PR_SUBJECT and not exists PR_HASATTACH",
         "OR(EXIST(0x1000001F), AND(EXIST(0x0037001F), NOT(EXIST(0x0E1B000B))))"},
        {"(exists PR_BODY OR exists PR_SUBJECT) AND NOT NOT exists PR_HASATTACH",
         "AND(OR(EXIST(0x1000001F), EXIST(0x0037001F)), NOT(NOT(EXIST(0x0E1B000B))))"},
        // Named properties: a set by name or GUID, a numeric ID or a string name.
        {"{PSETID_Appointment, 0x8205} = 2", "PROPERTY(0x80010003 = 2)"},
        {"{PS_PUBLIC_STRINGS, \"Keywords\"} contains \"red\"", "CONTENT(0x8001001F, FL_SUBSTRING|FL_IGNORECASE, \"red\")"},
        {"{00062008-0000-0000-c000-000000000046, 0x8503}:PT_BOOLEAN = true", "PROPERTY(0x8001000B = true)"},
        {"exists {PSETID_Common, 0x8580}", "EXIST(0x80010000)"},
        // A named property the store lacks: its condition is false (an empty OR).
        {"exists {PS_PUBLIC_STRINGS, \"Missing\"} or not exists {PS_PUBLIC_STRINGS, \"Missing\"}", "OR(OR(), NOT(OR()))"},
        // Recipients and attachments.
        {"recipients(PR_EMAIL_ADDRESS contains \"@example.com\")",
         "SUB(PR_MESSAGE_RECIPIENTS, CONTENT(0x3003001F, FL_SUBSTRING|FL_IGNORECASE, \"@example.com\"))"},
        {"attachments(PR_ATTACH_LONG_FILENAME prefix \"report\" and size PR_ATTACH_DATA_BIN > 100)",
         "SUB(PR_MESSAGE_ATTACHMENTS, AND(CONTENT(0x3707001F, FL_PREFIX|FL_IGNORECASE, \"report\"), SIZE(0x37010102 > 100)))"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Compiled(c.query), c.restriction) << c.query;
    EXPECT_EQ(Compiled("exists {PS_PUBLIC_STRINGS, \"Keywords\"}", false), "OR()") << "no resolver: no store has it";
}

TEST(QueryParse, RefusesBadQueriesSayingWhereAndWhat)
{
    const struct
    {
        const char* query;
        const char* message;
    } cases[] = {
        {"", "column 1: expected a condition, found the end of the query"},
        {"PR_SUBJECT", "column 11: expected a comparison (=, !=, <, <=, >, >=), \"contains\", \"prefix\", \"is\" or \"&\", found the end of the query"},
        {"PR_SUBJEKT = \"x\"", "column 1: \"PR_SUBJEKT\" is not a property name of the dictionary"},
        {"PR_SUBJECT contains budget", "column 21: expected a string in quotes or x\"hex\", found \"budget\""},
        {"PR_SUBJECT contains \"budget", "column 21: this string has no closing quote"},
        {"PR_MESSAGE_SIZE >= \"big\"", "column 20: expected a whole number, found \"big\""},
        {"PR_HASATTACH = 1", "column 16: expected true or false, found \"1\""},
        {"PR_MESSAGE_DELIVERY_TIME < 2001-13-01", "column 28: expected a date YYYY-MM-DD or YYYY-MM-DDThh:mm[:ss] (UTC), found \"2001-13-01\""},
        {"PR_MESSAGE_SIZE contains \"1\"", "column 1: expected a string or binary property before \"contains\", \"prefix\" or \"is\""},
        {"PR_IMPORTANCE = 5000000000", "column 17: the number 5000000000 is too large for the property's type"},
        {"0x0037 = \"x\"", "column 1: expected a property tag of eight hexadecimal digits (0x0037001F), found \"0x0037\""},
        {"exists PR_BODY and", "column 19: expected a property: a name (PR_SUBJECT), a tag (0x0037001F) or a named property ({PS_PUBLIC_STRINGS, \"Keywords\"}), found the end of the query"},
        {"(exists PR_BODY", "column 16: expected \")\", found the end of the query"},
        {"exists PR_BODY exists PR_SUBJECT", "column 16: expected \"and\", \"or\" or the end of the query, found \"exists\""},
        {"{PS_NOWHERE, 1} = 1", "column 2: \"PS_NOWHERE\" is not a property set name (PS_PUBLIC_STRINGS, PSETID_Appointment, ...)"},
        {"{PS_PUBLIC_STRINGS \"x\"} = 1", "column 20: expected \",\" and then the named property's ID or name, found \"x\""},
        {"PR_MESSAGE_FLAGS & 4 = 1", "column 24: expected 0, found \"1\""},
        {"PR_SUBJECT:PT_NOTHING = 1", "column 12: expected a property type (PT_LONG, PT_UNICODE, PT_SYSTIME, ...), found \"PT_NOTHING\""},
        {"PR_SUBJECT = \"a\" ; drop", "column 18: unexpected character \";\""},
        {"recipients PR_BODY", "column 12: expected \"(\", found \"PR_BODY\""},
        {"PR_ENTRYID = x\"0A0\"", "column 14: expected an even number of hexadecimal digits in x\"...\""},
    };
    for (const auto& c : cases) {
        QueryError error;
        EXPECT_FALSE(CQuery::Parse(c.query, error).has_value()) << c.query;
        EXPECT_EQ(error.message, c.message) << c.query;
    }
}

// Nesting is bounded (a deep query once overflowed the parser's stack): 100 levels
// parse, the 101st is refused where it begins.
TEST(QueryParse, BoundsNesting)
{
    const auto nested = [](const std::string& open, const std::string& close, int levels) {
        std::string q;
        for (int i = 0; i < levels; ++i)
            q += open;
        q += "exists PR_BODY";
        for (int i = 0; i < levels; ++i)
            q += close;
        return q;
    };
    QueryError error;
    EXPECT_TRUE(CQuery::Parse(nested("(", ")", 99), error).has_value()) << error.message;
    EXPECT_TRUE(CQuery::Parse(nested("not ", "", 99), error).has_value()) << error.message;
    EXPECT_FALSE(CQuery::Parse(nested("(", ")", 100), error).has_value());
    EXPECT_EQ(error.message, "column 101: conditions nest deeper than 100 levels");
    EXPECT_FALSE(CQuery::Parse(nested("not ", "", 5000), error).has_value());
    EXPECT_EQ(error.message, "column 401: conditions nest deeper than 100 levels");
    EXPECT_FALSE(CQuery::Parse(nested("recipients(", ")", 100000), error).has_value());
    EXPECT_EQ(error.message, "column 1101: conditions nest deeper than 100 levels");
}

TEST(QueryParse, CompletionListsDictionaryAndHeaderNames)
{
    const std::vector<std::string> names = PropertyNames();
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    for (const char* name : {"PR_SUBJECT", "PR_INTERNET_MESSAGE_ID", "PR_MESSAGE_DELIVERY_TIME"})
        EXPECT_TRUE(std::binary_search(names.begin(), names.end(), name)) << name;
}

} // namespace
