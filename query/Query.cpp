#include "query/Query.h"

#include "mapi32/table.h"
#include "props/DateText.h"
#include "props/IniFile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace dravik::query {
namespace {

struct TagName
{
    const char* name;
    ULONG tag;
};

// Every PR_ name of the MAPI headers with its tag (generated from mapitags.h).
const TagName kHeaderTags[] = {
#include "TagNames.inc"
};

struct SetName
{
    const char* name;
    GUID guid;
};

const SetName kPropertySets[] = {
    {"PS_MAPI", PS_MAPI},
    {"PS_PUBLIC_STRINGS", PS_PUBLIC_STRINGS},
    {"PS_INTERNET_HEADERS", PS_INTERNET_HEADERS},
    {"PSETID_Appointment", PSETID_Appointment},
    {"PSETID_Task", PSETID_Task},
    {"PSETID_Address", PSETID_Address},
    {"PSETID_Common", PSETID_Common},
    {"PSETID_Log", PSETID_Log},
    {"PSETID_Note", PSETID_Note},
    {"PSETID_Sharing", PSETID_Sharing},
    {"PSETID_Meeting", PSETID_Meeting},
    {"PSETID_AirSync", PSETID_AirSync},
    {"PSETID_UnifiedMessaging", PSETID_UnifiedMessaging},
    {"PS_UNIFIED_MESSAGING", PS_UNIFIED_MESSAGING},
};

struct TypeName
{
    const char* name;
    ULONG type;
};

const TypeName kTypes[] = {
    {"PT_I2", PT_I2},           {"PT_SHORT", PT_I2},          {"PT_LONG", PT_LONG},
    {"PT_I4", PT_LONG},         {"PT_R4", PT_R4},             {"PT_DOUBLE", PT_DOUBLE},
    {"PT_APPTIME", PT_APPTIME}, {"PT_CURRENCY", PT_CURRENCY}, {"PT_BOOLEAN", PT_BOOLEAN},
    {"PT_I8", PT_I8},           {"PT_STRING8", PT_STRING8},   {"PT_UNICODE", PT_UNICODE},
    {"PT_TSTRING", PT_UNICODE}, {"PT_SYSTIME", PT_SYSTIME},   {"PT_CLSID", PT_CLSID},
    {"PT_BINARY", PT_BINARY},   {"PT_MV_I2", PT_MV_I2},       {"PT_MV_LONG", PT_MV_LONG},
    {"PT_MV_I8", PT_MV_I8},     {"PT_MV_DOUBLE", PT_MV_DOUBLE}, {"PT_MV_STRING8", PT_MV_STRING8},
    {"PT_MV_UNICODE", PT_MV_UNICODE}, {"PT_MV_SYSTIME", PT_MV_SYSTIME}, {"PT_MV_BINARY", PT_MV_BINARY},
};

constexpr ULONG kTagRecipients = PROP_TAG(PT_OBJECT, 0x0E12);   // PR_MESSAGE_RECIPIENTS
constexpr ULONG kTagAttachments = PROP_TAG(PT_OBJECT, 0x0E13);  // PR_MESSAGE_ATTACHMENTS

bool IsString(ULONG type) { return type == PT_STRING8 || type == PT_UNICODE; }
bool IsInteger(ULONG type) { return type == PT_I2 || type == PT_LONG || type == PT_I8; }

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The tag of a property name: the headers' (strings as PT_UNICODE), else the
// dictionary's ID with PT_UNSPECIFIED. False when neither knows it.
bool TagOfName(const std::string& name, ULONG& tag)
{
    for (const TagName& t : kHeaderTags)
        if (name == t.name) {
            tag = IsString(PROP_TYPE(t.tag) & ~MV_FLAG)
                      ? CHANGE_PROP_TYPE(t.tag, (PROP_TYPE(t.tag) & MV_FLAG) | PT_UNICODE)
                      : t.tag;
            return true;
        }
    for (const auto& [key, value] : GetIniFile().Entries("PropIDs")) {
        if (value != name)
            continue;
        unsigned long id = 0;
        if (std::sscanf(key.c_str(), "0x%lx", &id) == 1 && id <= 0xFFFF) {
            tag = PROP_TAG(PT_UNSPECIFIED, id);
            return true;
        }
    }
    return false;
}

bool ParseGuid(const std::string& s, GUID& g)
{
    unsigned a, b, c, d[8];
    int n = 0;
    if (s.size() != 36 ||
        std::sscanf(s.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%n", &a, &b, &c, &d[0], &d[1], &d[2], &d[3], &d[4],
                    &d[5], &d[6], &d[7], &n) != 11 ||
        n != 36)
        return false;
    g.Data1 = a;
    g.Data2 = static_cast<unsigned short>(b);
    g.Data3 = static_cast<unsigned short>(c);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<unsigned char>(d[i]);
    return true;
}

// ---- Lexer ----------------------------------------------------------------

struct Token
{
    enum class Kind { End, Word, Number, String, Binary, Date, Guid, Symbol };
    Kind kind = Kind::End;
    std::string text;  // Word, Symbol: as written; String, Binary: the value; Date/Number: as written
    size_t offset = 0;
    size_t length = 0;
};

class Parser
{
public:
    explicit Parser(const std::string& text) : m_text(text) {}

    bool Run(Node& root, QueryError& error)
    {
        if (!Next())
            return Fail(error);
        if (m_tok.kind == Token::Kind::End) {
            Expect("a condition");
            return Fail(error);
        }
        if (!Or(root))
            return Fail(error);
        if (m_tok.kind != Token::Kind::End) {
            Expect("\"and\", \"or\" or the end of the query");
            return Fail(error);
        }
        return true;
    }

private:
    bool Fail(QueryError& error)
    {
        error = m_error;
        return false;
    }

    std::string Found() const
    {
        switch (m_tok.kind) {
        case Token::Kind::End: return "the end of the query";
        case Token::Kind::String: return "\"" + m_text.substr(m_tok.offset + 1, m_tok.length > 2 ? m_tok.length - 2 : 0) + "\"";
        default: return "\"" + m_text.substr(m_tok.offset, m_tok.length) + "\"";
        }
    }

    bool ErrorAt(size_t offset, const std::string& message)
    {
        if (!m_bFailed) {
            m_error.offset = offset;
            m_error.message = "column " + std::to_string(offset + 1) + ": " + message;
            m_bFailed = true;
        }
        return false;
    }
    bool Expect(const std::string& what) { return ErrorAt(m_tok.offset, "expected " + what + ", found " + Found()); }

    bool Next()
    {
        size_t i = m_pos;
        while (i < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[i])))
            ++i;
        Token t;
        t.offset = i;
        if (i >= m_text.size()) {
            t.kind = Token::Kind::End;
            m_tok = t;
            m_pos = i;
            return true;
        }
        const char c = m_text[i];
        const auto isWord = [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_'; };
        if (c == '"' || ((c == 'x' || c == 'X') && i + 1 < m_text.size() && m_text[i + 1] == '"')) {
            const bool binary = c != '"';
            size_t j = i + (binary ? 2 : 1);
            std::string value;
            for (;; ++j) {
                if (j >= m_text.size())
                    return ErrorAt(i, "this string has no closing quote");
                if (m_text[j] == '\\' && j + 1 < m_text.size()) {
                    value += m_text[++j];
                    continue;
                }
                if (m_text[j] == '"')
                    break;
                value += m_text[j];
            }
            t.length = j + 1 - i;
            if (binary) {
                std::string bytes, digits;
                for (char ch : value)
                    if (!std::isspace(static_cast<unsigned char>(ch)))
                        digits += ch;
                if (digits.size() % 2 != 0 ||
                    !std::all_of(digits.begin(), digits.end(), [](char ch) { return std::isxdigit(static_cast<unsigned char>(ch)); }))
                    return ErrorAt(i, "expected an even number of hexadecimal digits in x\"...\"");
                for (size_t k = 0; k < digits.size(); k += 2)
                    bytes += static_cast<char>(std::stoi(digits.substr(k, 2), nullptr, 16));
                value = bytes;
            }
            t.kind = binary ? Token::Kind::Binary : Token::Kind::String;
            t.text = value;
        } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                   (c == '-' && i + 1 < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[i + 1])))) {
            size_t j = i + 1;
            while (j < m_text.size() && (isWord(m_text[j]) || m_text[j] == '-' || m_text[j] == ':' || m_text[j] == '.'))
                ++j;
            t.text = m_text.substr(i, j - i);
            t.length = j - i;
            // A GUID (in a named property) or a date has dashes between digits; a number has none after its sign.
            if (t.text.size() == 36 && t.text[8] == '-')
                t.kind = Token::Kind::Guid;
            else if (t.text.find('-', 1) != std::string::npos)
                t.kind = Token::Kind::Date;
            else
                t.kind = Token::Kind::Number;
        } else if (isWord(c)) {
            size_t j = i;
            while (j < m_text.size() && isWord(m_text[j]))
                ++j;
            t.kind = Token::Kind::Word;
            t.text = m_text.substr(i, j - i);
            t.length = j - i;
            // A GUID may start with a letter.
            if (j < m_text.size() && m_text[j] == '-' && j - i == 8) {
                size_t k = i;
                while (k < m_text.size() && (std::isxdigit(static_cast<unsigned char>(m_text[k])) || m_text[k] == '-'))
                    ++k;
                if (k - i == 36) {
                    t.kind = Token::Kind::Guid;
                    t.text = m_text.substr(i, 36);
                    t.length = 36;
                }
            }
        } else {
            static const char* const kSymbols[] = {"<=", ">=", "!=", "<>", "==", "=", "<", ">", "(", ")", "{", "}", ",", ":", "&"};
            for (const char* sym : kSymbols)
                if (m_text.compare(i, std::strlen(sym), sym) == 0) {
                    t.kind = Token::Kind::Symbol;
                    t.text = sym;
                    t.length = std::strlen(sym);
                    break;
                }
            if (t.kind != Token::Kind::Symbol)
                return ErrorAt(i, "unexpected character \"" + std::string(1, c) + "\"");
        }
        m_pos = t.offset + t.length;
        m_tok = t;
        return true;
    }

    bool IsKeyword(const char* word) const { return m_tok.kind == Token::Kind::Word && Lower(m_tok.text) == word; }
    bool IsSymbol(const char* sym) const { return m_tok.kind == Token::Kind::Symbol && m_tok.text == sym; }

    bool Combine(Node::Kind kind, Node& out, bool (Parser::*part)(Node&), const char* keyword)
    {
        Node first;
        if (!(this->*part)(first))
            return false;
        if (!IsKeyword(keyword)) {
            out = std::move(first);
            return true;
        }
        out = Node{};
        out.kind = kind;
        out.children.push_back(std::move(first));
        while (IsKeyword(keyword)) {
            if (!Next())
                return false;
            Node next;
            if (!(this->*part)(next))
                return false;
            out.children.push_back(std::move(next));
        }
        return true;
    }
    bool Or(Node& out) { return Combine(Node::Kind::Or, out, &Parser::And, "or"); }
    bool And(Node& out) { return Combine(Node::Kind::And, out, &Parser::Unary, "and"); }

    // Every nesting (a "not", parentheses, a sub-query) passes here: the depth is
    // bounded, so that no query, however long, overflows the stack of the parser or
    // of what walks its tree afterwards.
    static constexpr int kMaxDepth = 100;

    bool Unary(Node& out)
    {
        if (m_depth == kMaxDepth)
            return ErrorAt(m_tok.offset, "conditions nest deeper than " + std::to_string(kMaxDepth) + " levels");
        ++m_depth;
        const bool ok = UnaryNested(out);
        --m_depth;
        return ok;
    }

    bool UnaryNested(Node& out)
    {
        if (IsKeyword("not")) {
            if (!Next())
                return false;
            out = Node{};
            out.kind = Node::Kind::Not;
            out.children.emplace_back();
            return Unary(out.children.back());
        }
        return Primary(out);
    }

    bool Group(Node& out)
    {
        if (!IsSymbol("("))
            return Expect("\"(\"");
        if (!Next() || !Or(out))
            return false;
        if (!IsSymbol(")"))
            return Expect("\")\"");
        return Next();
    }

    bool Primary(Node& out)
    {
        out = Node{};
        if (IsSymbol("("))
            return Group(out);
        if (IsKeyword("exists")) {
            out.kind = Node::Kind::Exist;
            return Next() && Property(out.prop);
        }
        if (IsKeyword("size")) {
            out.kind = Node::Kind::Size;
            if (!Next() || !Property(out.prop) || !Relop(out.ulOp))
                return false;
            std::int64_t n = 0;
            if (!UnsignedNumber(n))
                return false;
            out.ulNumber = static_cast<ULONG>(n);
            return true;
        }
        for (const char* word : {"recipients", "recipient", "attachments", "attachment"})
            if (IsKeyword(word)) {
                out.kind = Node::Kind::Sub;
                out.ulOp = word[0] == 'r' ? kTagRecipients : kTagAttachments;
                out.children.emplace_back();
                return Next() && Group(out.children.back());
            }
        if (!Property(out.prop))
            return false;
        const ULONG type = PROP_TYPE(out.prop.ulTag) & ~MVI_FLAG;
        if (IsKeyword("contains") || IsKeyword("prefix") || IsKeyword("is")) {
            out.kind = Node::Kind::Content;
            out.ulOp = (IsKeyword("contains") ? FL_SUBSTRING : IsKeyword("prefix") ? FL_PREFIX : FL_FULLSTRING) | FL_IGNORECASE;
            if (!Next())
                return false;
            for (;;) {
                if (IsKeyword("case"))
                    out.ulOp &= ~FL_IGNORECASE;
                else if (IsKeyword("loose"))
                    out.ulOp |= FL_LOOSE;
                else if (IsKeyword("nonspace"))
                    out.ulOp |= FL_IGNORENONSPACE;
                else
                    break;
                if (!Next())
                    return false;
            }
            if (type != PT_UNSPECIFIED && !IsString(type) && type != PT_BINARY)
                return ErrorAt(out.prop.offset, "expected a string or binary property before \"contains\", \"prefix\" or \"is\"");
            if (m_tok.kind != Token::Kind::String && m_tok.kind != Token::Kind::Binary)
                return Expect("a string in quotes or x\"hex\"");
            if (type == PT_BINARY && m_tok.kind != Token::Kind::Binary)
                return Expect("a binary value x\"hex\" for a PT_BINARY property");
            out.value.kind = m_tok.kind == Token::Kind::Binary ? Literal::Kind::Binary : Literal::Kind::String;
            out.value.text = m_tok.text;
            out.ulValueType = out.value.kind == Literal::Kind::Binary ? PT_BINARY : PT_UNICODE;
            return Next();
        }
        if (IsSymbol("&")) {
            out.kind = Node::Kind::Bitmask;
            if (type != PT_UNSPECIFIED && !IsInteger(type))
                return ErrorAt(out.prop.offset, "expected an integer property before \"&\"");
            if (type == PT_UNSPECIFIED)
                out.prop.ulTag = CHANGE_PROP_TYPE(out.prop.ulTag, PT_LONG);
            if (!Next())
                return false;
            std::int64_t mask = 0;
            if (!UnsignedNumber(mask))
                return false;
            out.ulNumber = static_cast<ULONG>(mask);
            if (!IsSymbol("=") && !IsSymbol("==") && !IsSymbol("!=") && !IsSymbol("<>"))
                return Expect("\"= 0\" or \"!= 0\" after the mask");
            out.ulOp = (IsSymbol("=") || IsSymbol("==")) ? BMR_EQZ : BMR_NEZ;
            if (!Next())
                return false;
            if (m_tok.kind != Token::Kind::Number || m_tok.text != "0")
                return Expect("0");
            return Next();
        }
        out.kind = Node::Kind::Compare;
        if (!Relop(out.ulOp))
            return false;
        return Value(out);
    }

    bool Relop(ULONG& op)
    {
        static const std::pair<const char*, ULONG> kOps[] = {{"=", RELOP_EQ}, {"==", RELOP_EQ}, {"!=", RELOP_NE}, {"<>", RELOP_NE},
                                                             {"<", RELOP_LT}, {"<=", RELOP_LE}, {">", RELOP_GT}, {">=", RELOP_GE}};
        for (const auto& [sym, relop] : kOps)
            if (IsSymbol(sym)) {
                op = relop;
                return Next();
            }
        return Expect("a comparison (=, !=, <, <=, >, >=), \"contains\", \"prefix\", \"is\" or \"&\"");
    }

    bool Integer(const std::string& text, std::int64_t& value) const
    {
        const bool negative = !text.empty() && text[0] == '-';
        const std::string digits = negative ? text.substr(1) : text;
        const bool hex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
        const std::string body = hex ? digits.substr(2) : digits;
        if (body.empty() || body.size() > (hex ? 16u : 19u) ||
            !std::all_of(body.begin(), body.end(), [hex](char ch) {
                return hex ? std::isxdigit(static_cast<unsigned char>(ch)) : std::isdigit(static_cast<unsigned char>(ch));
            }))
            return false;
        const unsigned long long u = std::stoull(body, nullptr, hex ? 16 : 10);
        value = negative ? -static_cast<std::int64_t>(u) : static_cast<std::int64_t>(u);
        return true;
    }

    bool UnsignedNumber(std::int64_t& value)
    {
        if (m_tok.kind != Token::Kind::Number || !Integer(m_tok.text, value) || value < 0 || value > 0xFFFFFFFFll)
            return Expect("a whole number from 0 to 0xFFFFFFFF");
        return Next();
    }

    bool Property(PropRef& prop)
    {
        prop = PropRef{};
        prop.offset = m_tok.offset;
        const size_t start = m_tok.offset;
        if (m_tok.kind == Token::Kind::Number) {
            std::int64_t tag = 0;
            if (m_tok.text.size() != 10 || !Integer(m_tok.text, tag) || m_tok.text[1] != 'x')
                return Expect("a property tag of eight hexadecimal digits (0x0037001F)");
            prop.ulTag = static_cast<ULONG>(tag);
            if (!Next())
                return false;
        } else if (m_tok.kind == Token::Kind::Word) {
            if (!TagOfName(m_tok.text, prop.ulTag))
                return ErrorAt(m_tok.offset, "\"" + m_tok.text + "\" is not a property name of the dictionary");
            if (!Next() || !TypeSuffix(prop))
                return false;
        } else if (IsSymbol("{")) {
            prop.bNamed = true;
            if (!Next())
                return false;
            if (m_tok.kind == Token::Kind::Guid) {
                if (!ParseGuid(m_tok.text, prop.guid))
                    return Expect("a GUID xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx");
            } else if (m_tok.kind == Token::Kind::Word) {
                const std::optional<GUID> set = PropertySetByName(m_tok.text);
                if (!set)
                    return ErrorAt(m_tok.offset, "\"" + m_tok.text + "\" is not a property set name (PS_PUBLIC_STRINGS, PSETID_Appointment, ...)");
                prop.guid = *set;
            } else {
                return Expect("a property set: a GUID or a name such as PS_PUBLIC_STRINGS");
            }
            if (!Next())
                return false;
            if (!IsSymbol(","))
                return Expect("\",\" and then the named property's ID or name");
            if (!Next())
                return false;
            if (m_tok.kind == Token::Kind::String) {
                prop.bStringName = true;
                prop.strName = m_tok.text;
            } else {
                std::int64_t id = 0;
                if (m_tok.kind != Token::Kind::Number || !Integer(m_tok.text, id) || id < 0 || id > 0xFFFFFFFFll)
                    return Expect("the named property's numeric ID or its name in quotes");
                prop.lID = static_cast<ULONG>(id);
            }
            if (!Next())
                return false;
            if (!IsSymbol("}"))
                return Expect("\"}\"");
            prop.ulTag = PROP_TAG(PT_UNSPECIFIED, 0);
            if (!Next() || !TypeSuffix(prop))
                return false;
        } else {
            return Expect("a property: a name (PR_SUBJECT), a tag (0x0037001F) or a named property ({PS_PUBLIC_STRINGS, \"Keywords\"})");
        }
        prop.strText = m_text.substr(start, m_tok.offset > start ? m_tok.offset - start : 0);
        while (!prop.strText.empty() && std::isspace(static_cast<unsigned char>(prop.strText.back())))
            prop.strText.pop_back();
        return true;
    }

    bool TypeSuffix(PropRef& prop)
    {
        if (!IsSymbol(":"))
            return true;
        if (!Next())
            return false;
        for (const TypeName& t : kTypes)
            if (m_tok.kind == Token::Kind::Word && m_tok.text == t.name) {
                prop.ulTag = CHANGE_PROP_TYPE(prop.ulTag, t.type);
                return Next();
            }
        return Expect("a property type (PT_LONG, PT_UNICODE, PT_SYSTIME, ...)");
    }

    bool Date(const std::string& text, std::int64_t& ft) const
    {
        int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, n = 0;
        const char* p = text.c_str();
        if (std::sscanf(p, "%4d-%2d-%2d%n", &y, &mo, &d, &n) != 3 || n != 10)
            return false;
        if (text.size() > 10) {
            int m = 0;
            if (std::sscanf(p + 10, "T%2d:%2d%n", &h, &mi, &m) != 2 || m != 6)
                return false;
            if (text.size() > 16) {
                int k = 0;
                if (std::sscanf(p + 16, ":%2d%n", &s, &k) != 1 || k != 3 || text.size() != 19)
                    return false;
            }
        }
        const std::optional<std::int64_t> value = FileTimeFromDate(y, mo, d, h, mi, s);
        if (!value)
            return false;
        ft = *value;
        return true;
    }

    // The literal after a comparison, typed by the property (or, when the
    // property's type is not known, typing it).
    bool Value(Node& node)
    {
        ULONG type = PROP_TYPE(node.prop.ulTag) & ~MVI_FLAG;
        Literal& v = node.value;
        const bool isTrue = IsKeyword("true"), isFalse = IsKeyword("false");
        if (type == PT_UNSPECIFIED) {
            switch (m_tok.kind) {
            case Token::Kind::String: type = PT_UNICODE; break;
            case Token::Kind::Binary: type = PT_BINARY; break;
            case Token::Kind::Date: type = PT_SYSTIME; break;
            case Token::Kind::Number: {
                std::int64_t n = 0;
                type = m_tok.text.find('.') != std::string::npos ? PT_DOUBLE
                       : (Integer(m_tok.text, n) && n >= INT32_MIN && n <= 0xFFFFFFFFll) ? PT_LONG
                                                                                       : PT_I8;
                break;
            }
            default:
                if (isTrue || isFalse)
                    type = PT_BOOLEAN;
                else
                    return Expect("a value: \"text\", a number, true, false, a date (2001-06-01) or x\"hex\"");
            }
        }
        node.ulValueType = type;
        if (IsString(type)) {
            if (m_tok.kind != Token::Kind::String)
                return Expect("a string in quotes");
            v.kind = Literal::Kind::String;
            v.text = m_tok.text;
            node.ulValueType = PT_UNICODE;
        } else if (IsInteger(type) || type == PT_CURRENCY) {
            if (m_tok.kind != Token::Kind::Number || !Integer(m_tok.text, v.integer))
                return Expect("a whole number");
            if ((type == PT_I2 && (v.integer < -32768 || v.integer > 0xFFFF)) ||
                (type == PT_LONG && (v.integer < INT32_MIN || v.integer > 0xFFFFFFFFll)))
                return ErrorAt(m_tok.offset, "the number " + m_tok.text + " is too large for the property's type");
            if (type == PT_LONG && v.integer > INT32_MAX)
                v.integer = static_cast<std::int32_t>(static_cast<std::uint32_t>(v.integer));
            v.kind = Literal::Kind::Integer;
        } else if (type == PT_DOUBLE || type == PT_R4 || type == PT_APPTIME) {
            if (m_tok.kind != Token::Kind::Number)
                return Expect("a number");
            try {
                size_t used = 0;
                v.real = std::stod(m_tok.text, &used);
                if (used != m_tok.text.size())
                    return Expect("a number");
            } catch (const std::exception&) {
                return Expect("a number");
            }
            v.kind = Literal::Kind::Double;
        } else if (type == PT_BOOLEAN) {
            if (!isTrue && !isFalse)
                return Expect("true or false");
            v.kind = Literal::Kind::Boolean;
            v.integer = isTrue ? 1 : 0;
        } else if (type == PT_SYSTIME) {
            if (m_tok.kind != Token::Kind::Date || !Date(m_tok.text, v.integer))
                return Expect("a date YYYY-MM-DD or YYYY-MM-DDThh:mm[:ss] (UTC)");
            v.kind = Literal::Kind::Date;
        } else if (type == PT_BINARY) {
            if (m_tok.kind != Token::Kind::Binary)
                return Expect("a binary value x\"hex\"");
            v.kind = Literal::Kind::Binary;
            v.text = m_tok.text;
        } else {
            return ErrorAt(node.prop.offset, "properties of this type cannot be compared");
        }
        return Next();
    }

    const std::string& m_text;
    size_t m_pos = 0;
    int m_depth = 0;  // Unary calls open
    Token m_tok;
    QueryError m_error;
    bool m_bFailed = false;
};

// ---- Compiling into SRestriction ------------------------------------------

class Compiler
{
public:
    Compiler(void* root, const CQuery::NameResolver& resolver) : m_root(root), m_resolver(resolver) {}

    HRESULT Build(const Node& n, SRestriction& r)
    {
        std::memset(&r, 0, sizeof r);
        switch (n.kind) {
        case Node::Kind::And:
        case Node::Kind::Or: {
            r.rt = n.kind == Node::Kind::And ? RES_AND : RES_OR;
            LPSRestriction kids = nullptr;
            HRESULT hr = More(sizeof(SRestriction) * n.children.size(), kids);
            if (FAILED(hr))
                return hr;
            for (size_t i = 0; i < n.children.size(); ++i)
                if (FAILED(hr = Build(n.children[i], kids[i])))
                    return hr;
            r.res.resAnd.cRes = static_cast<ULONG>(n.children.size());
            r.res.resAnd.lpRes = kids;
            return S_OK;
        }
        case Node::Kind::Not:
        case Node::Kind::Sub: {
            LPSRestriction kid = nullptr;
            HRESULT hr = More(sizeof(SRestriction), kid);
            if (FAILED(hr) || FAILED(hr = Build(n.children[0], *kid)))
                return hr;
            if (n.kind == Node::Kind::Not) {
                r.rt = RES_NOT;
                r.res.resNot.lpRes = kid;
            } else {
                r.rt = RES_SUBRESTRICTION;
                r.res.resSub.ulSubObject = n.ulOp;
                r.res.resSub.lpRes = kid;
            }
            return S_OK;
        }
        default:
            break;
        }
        ULONG tag = 0;
        if (!Resolve(n.prop, tag)) {
            r.rt = RES_OR;  // an empty OR: nothing in this store has the property
            return S_OK;
        }
        switch (n.kind) {
        case Node::Kind::Exist:
            r.rt = RES_EXIST;
            r.res.resExist.ulPropTag = tag;
            return S_OK;
        case Node::Kind::Size:
            r.rt = RES_SIZE;
            r.res.resSize.relop = n.ulOp;
            r.res.resSize.ulPropTag = tag;
            r.res.resSize.cb = n.ulNumber;
            return S_OK;
        case Node::Kind::Bitmask:
            r.rt = RES_BITMASK;
            r.res.resBitMask.relBMR = n.ulOp;
            r.res.resBitMask.ulPropTag = tag;
            r.res.resBitMask.ulMask = n.ulNumber;
            return S_OK;
        case Node::Kind::Content:
        case Node::Kind::Compare: {
            if (PROP_TYPE(tag) == PT_UNSPECIFIED)
                tag = CHANGE_PROP_TYPE(tag, n.ulValueType);
            LPSPropValue value = nullptr;
            HRESULT hr = MakeValue(n, PROP_TAG(n.ulValueType, PROP_ID(tag)), value);
            if (FAILED(hr))
                return hr;
            if (n.kind == Node::Kind::Content) {
                r.rt = RES_CONTENT;
                r.res.resContent.ulFuzzyLevel = n.ulOp;
                r.res.resContent.ulPropTag = tag;
                r.res.resContent.lpProp = value;
            } else {
                r.rt = RES_PROPERTY;
                r.res.resProperty.relop = n.ulOp;
                r.res.resProperty.ulPropTag = tag;
                r.res.resProperty.lpProp = value;
            }
            return S_OK;
        }
        default:
            return MAPI_E_INVALID_PARAMETER;
        }
    }

private:
    template <class T>
    HRESULT More(size_t cb, T*& out)
    {
        void* p = nullptr;
        const HRESULT hr = MAPIAllocateMore(static_cast<ULONG>(std::max<size_t>(cb, 1)), m_root, &p);
        if (SUCCEEDED(hr))
            std::memset(p, 0, std::max<size_t>(cb, 1));
        out = static_cast<T*>(p);
        return hr;
    }

    bool Resolve(const PropRef& prop, ULONG& tag)
    {
        if (!prop.bNamed) {
            tag = prop.ulTag;
            return true;
        }
        if (!m_resolver)
            return false;
        MAPINAMEID name{};
        GUID guid = prop.guid;
        name.lpguid = &guid;
        std::u16string wide;
        if (prop.bStringName) {
            name.ulKind = MNID_STRING;
            wide = Utf16(prop.strName);
            name.Kind.lpwstrName = wide.data();
        } else {
            name.ulKind = MNID_ID;
            name.Kind.lID = static_cast<LONG>(prop.lID);
        }
        ULONG id = 0;
        if (FAILED(m_resolver(name, id)) || id == 0)
            return false;
        tag = PROP_TAG(PROP_TYPE(prop.ulTag), id);
        return true;
    }

    static std::u16string Utf16(const std::string& s)
    {
        std::u16string out;
        for (size_t i = 0; i < s.size();) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            char32_t cp = c;
            size_t n = 1;
            if (c >= 0xF0) { cp = c & 0x07; n = 4; }
            else if (c >= 0xE0) { cp = c & 0x0F; n = 3; }
            else if (c >= 0xC0) { cp = c & 0x1F; n = 2; }
            if (i + n > s.size()) { n = 1; cp = c; }
            for (size_t k = 1; k < n; ++k)
                cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
            i += n;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                out += char16_t(0xD800 + (cp >> 10));
                out += char16_t(0xDC00 + (cp & 0x3FF));
            } else {
                out += char16_t(cp);
            }
        }
        return out;
    }

    HRESULT MakeValue(const Node& n, ULONG tag, LPSPropValue& out)
    {
        HRESULT hr = More(sizeof(SPropValue), out);
        if (FAILED(hr))
            return hr;
        out->ulPropTag = tag;
        const Literal& v = n.value;
        switch (PROP_TYPE(tag)) {
        case PT_UNICODE: {
            const std::u16string w = Utf16(v.text);
            WCHAR* s = nullptr;
            if (FAILED(hr = More((w.size() + 1) * sizeof(WCHAR), s)))
                return hr;
            std::copy(w.begin(), w.end(), s);
            out->Value.lpszW = s;
            return S_OK;
        }
        case PT_BINARY: {
            BYTE* b = nullptr;
            if (FAILED(hr = More(v.text.size(), b)))
                return hr;
            std::memcpy(b, v.text.data(), v.text.size());
            out->Value.bin.cb = static_cast<ULONG>(v.text.size());
            out->Value.bin.lpb = b;
            return S_OK;
        }
        case PT_I2: out->Value.i = static_cast<short>(v.integer); return S_OK;
        case PT_LONG: out->Value.l = static_cast<LONG>(v.integer); return S_OK;
        case PT_I8: out->Value.li.QuadPart = v.integer; return S_OK;
        case PT_CURRENCY: out->Value.cur.int64 = v.integer * 10000; return S_OK;
        case PT_BOOLEAN: out->Value.b = static_cast<unsigned short>(v.integer); return S_OK;
        case PT_DOUBLE: case PT_APPTIME: out->Value.dbl = v.real; return S_OK;
        case PT_R4: out->Value.flt = static_cast<float>(v.real); return S_OK;
        case PT_SYSTIME:
            out->Value.ft.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(v.integer));
            out->Value.ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(v.integer) >> 32);
            return S_OK;
        default:
            return MAPI_E_INVALID_PARAMETER;
        }
    }

    void* m_root;
    const CQuery::NameResolver& m_resolver;
};

bool AnyNode(const Node& n, const std::function<bool(const Node&)>& test)
{
    if (test(n))
        return true;
    return std::any_of(n.children.begin(), n.children.end(), [&](const Node& c) { return AnyNode(c, test); });
}

std::string Hex(ULONG v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
    return buf;
}

std::string TagText(ULONG tag, bool names)
{
    std::string s = Hex(tag);
    std::string name;
    if (names && LookupNumber("PropIDs", PROP_ID(tag), name))
        s = name + " " + s;
    return s;
}

std::string Quoted(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string ValueText(const SPropValue* v)
{
    if (!v)
        return "(null)";
    std::string text;
    char buf[64];
    switch (PROP_TYPE(v->ulPropTag)) {
    case PT_STRING8:
    case PT_UNICODE:
        mapi32::ValueText(*v, text);
        return Quoted(text);
    case PT_BINARY: {
        mapi32::ValueText(*v, text);
        std::string hex = "x\"";
        for (unsigned char c : text) {
            std::snprintf(buf, sizeof buf, "%02X", c);
            hex += buf;
        }
        return hex + "\"";
    }
    case PT_I2: return std::to_string(v->Value.i);
    case PT_LONG: return std::to_string(v->Value.l);
    case PT_I8: return std::to_string(v->Value.li.QuadPart);
    case PT_CURRENCY: return std::to_string(v->Value.cur.int64);
    case PT_BOOLEAN: return v->Value.b ? "true" : "false";
    case PT_DOUBLE: case PT_APPTIME: std::snprintf(buf, sizeof buf, "%g", v->Value.dbl); return buf;
    case PT_R4: std::snprintf(buf, sizeof buf, "%g", double(v->Value.flt)); return buf;
    case PT_SYSTIME: {
        const std::uint64_t ft = (std::uint64_t(v->Value.ft.dwHighDateTime) << 32) | v->Value.ft.dwLowDateTime;
        CDateTimeFields f;
        if (!FileTimeToFields(ft, f))
            return "?";
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", f.nYear, f.nMonth, f.nDay, f.nHour, f.nMinute,
                      f.nSecond);
        return buf;
    }
    default: return "?";
    }
}

const char* RelopText(ULONG relop)
{
    static const char* const kText[] = {"<", "<=", ">", ">=", "=", "!=", "~"};
    return relop < 7 ? kText[relop] : "?";
}

std::string FuzzyText(ULONG fuzzy)
{
    std::string s = (fuzzy & 0xFFFF) == FL_SUBSTRING ? "FL_SUBSTRING" : (fuzzy & 0xFFFF) == FL_PREFIX ? "FL_PREFIX" : "FL_FULLSTRING";
    if (fuzzy & FL_IGNORECASE)
        s += "|FL_IGNORECASE";
    if (fuzzy & FL_IGNORENONSPACE)
        s += "|FL_IGNORENONSPACE";
    if (fuzzy & FL_LOOSE)
        s += "|FL_LOOSE";
    return s;
}

void AppendText(const SRestriction* r, bool names, std::string& out, int depth)
{
    if (!r) {
        out += "(null)";
        return;
    }
    if (depth > 64) {
        out += "...";
        return;
    }
    switch (r->rt) {
    case RES_AND:
    case RES_OR:
        out += r->rt == RES_AND ? "AND(" : "OR(";
        for (ULONG i = 0; i < r->res.resAnd.cRes && r->res.resAnd.lpRes; ++i) {
            if (i)
                out += ", ";
            AppendText(&r->res.resAnd.lpRes[i], names, out, depth + 1);
        }
        out += ")";
        return;
    case RES_NOT:
        out += "NOT(";
        AppendText(r->res.resNot.lpRes, names, out, depth + 1);
        out += ")";
        return;
    case RES_CONTENT:
        out += "CONTENT(" + TagText(r->res.resContent.ulPropTag, names) + ", " + FuzzyText(r->res.resContent.ulFuzzyLevel) +
               ", " + ValueText(r->res.resContent.lpProp) + ")";
        return;
    case RES_PROPERTY:
        out += "PROPERTY(" + TagText(r->res.resProperty.ulPropTag, names) + " " + RelopText(r->res.resProperty.relop) + " " +
               ValueText(r->res.resProperty.lpProp) + ")";
        return;
    case RES_COMPAREPROPS:
        out += "COMPAREPROPS(" + TagText(r->res.resCompareProps.ulPropTag1, names) + " " +
               RelopText(r->res.resCompareProps.relop) + " " + TagText(r->res.resCompareProps.ulPropTag2, names) + ")";
        return;
    case RES_BITMASK:
        out += "BITMASK(" + TagText(r->res.resBitMask.ulPropTag, names) + " & " + Hex(r->res.resBitMask.ulMask) +
               (r->res.resBitMask.relBMR == BMR_EQZ ? " = 0)" : " != 0)");
        return;
    case RES_SIZE:
        out += "SIZE(" + TagText(r->res.resSize.ulPropTag, names) + " " + RelopText(r->res.resSize.relop) + " " +
               std::to_string(r->res.resSize.cb) + ")";
        return;
    case RES_EXIST:
        out += "EXIST(" + TagText(r->res.resExist.ulPropTag, names) + ")";
        return;
    case RES_SUBRESTRICTION:
        out += std::string("SUB(") +
               (r->res.resSub.ulSubObject == kTagRecipients   ? "PR_MESSAGE_RECIPIENTS"
                : r->res.resSub.ulSubObject == kTagAttachments ? "PR_MESSAGE_ATTACHMENTS"
                                                               : Hex(r->res.resSub.ulSubObject).c_str()) +
               ", ";
        AppendText(r->res.resSub.lpRes, names, out, depth + 1);
        out += ")";
        return;
    case RES_COMMENT:
        out += "COMMENT(";
        AppendText(r->res.resComment.lpRes, names, out, depth + 1);
        out += ")";
        return;
    default:
        out += "RES(" + Hex(r->rt) + ")";
    }
}

} // namespace

std::optional<CQuery> CQuery::Parse(const std::string& text, QueryError& error)
{
    CQuery q;
    Parser parser(text);
    if (!parser.Run(q.m_root, error))
        return std::nullopt;
    return q;
}

bool CQuery::HasNamedProperties() const
{
    return AnyNode(m_root, [](const Node& n) { return n.prop.bNamed; });
}

bool CQuery::HasSubRestrictions() const
{
    return AnyNode(m_root, [](const Node& n) { return n.kind == Node::Kind::Sub; });
}

HRESULT CQuery::Compile(const NameResolver& resolver, LPSRestriction* out) const
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    void* root = nullptr;
    HRESULT hr = MAPIAllocateBuffer(sizeof(SRestriction), &root);
    if (FAILED(hr))
        return hr;
    Compiler compiler(root, resolver);
    hr = compiler.Build(m_root, *static_cast<LPSRestriction>(root));
    if (FAILED(hr)) {
        MAPIFreeBuffer(root);
        return hr;
    }
    *out = static_cast<LPSRestriction>(root);
    return S_OK;
}

std::string RestrictionText(const SRestriction* res, bool nameTags)
{
    std::string out;
    AppendText(res, nameTags, out, 0);
    return out;
}

std::vector<std::string> PropertyNames()
{
    std::set<std::string> names;
    for (const TagName& t : kHeaderTags)
        names.insert(t.name);
    for (const auto& entry : GetIniFile().Entries("PropIDs"))
        if (entry.second.rfind("PR_", 0) == 0)
            names.insert(entry.second);
    return {names.begin(), names.end()};
}

std::optional<GUID> PropertySetByName(const std::string& name)
{
    for (const SetName& s : kPropertySets)
        if (name == s.name)
            return s.guid;
    return std::nullopt;
}

std::optional<std::int64_t> FileTimeFromDate(int year, int month, int day, int hour, int minute, int second)
{
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59 ||
        hour < 0 || minute < 0 || second < 0)
        return std::nullopt;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap))
        return std::nullopt;
    // Days since 1970-01-01 of the civil date, then moved to 1601-01-01.
    const int y = year - (month <= 2);
    const int era = y / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = std::int64_t(era) * 146097 + doe - 719468 + 134774;
    return ((days * 86400 + hour * 3600 + minute * 60 + second) * 10000000ll);
}

} // namespace dravik::query
