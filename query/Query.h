// The query language of Find and dravik-dump --where, compiled into MAPI
// restrictions (SRestriction).
//
//   query      := or
//   or         := and { "or" and }
//   and        := unary { "and" unary }
//   unary      := "not" unary | primary
//   primary    := "(" query ")"
//               | "exists" property
//               | "size" property relop integer
//               | ("recipients" | "attachments") "(" query ")"
//               | property relop literal
//               | property ("contains" | "prefix" | "is") { "case" | "loose" | "nonspace" } text
//               | property "&" integer ("=" | "!=") "0"
//   property   := PR_NAME [":" PT_TYPE]               a name of the tag dictionary
//               | 0xHHHHHHHH                          a whole property tag
//               | "{" set "," (integer | string) "}" [":" PT_TYPE]   a named property
//   set        := a GUID {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx} without braces,
//                 or a well-known set name: PS_PUBLIC_STRINGS, PSETID_Appointment, ...
//   relop      := "=" | "!=" | "<" | "<=" | ">" | ">="
//   literal    := "text" | integer | decimal | true | false | YYYY-MM-DD[Thh:mm[:ss]] | x"hex"
//
// Keywords are case-insensitive; property names are not. "contains",
// "prefix" and "is" (the whole string) ignore case unless "case" follows;
// "=" and the other comparisons compare strings exactly. A comparison, a
// content, size or bitmask restriction on a property an object lacks is false.
#pragma once

#include "props/Mapi.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace dravik::query {

// A property as the query names it. A named property has no ID until it is
// resolved against a store.
struct PropRef
{
    ULONG ulTag = 0;  // the tag (PT_UNSPECIFIED: the type is the literal's); for a named property, its type only
    bool bNamed = false;
    GUID guid{};
    bool bStringName = false;
    ULONG lID = 0;
    std::string strName;  // the string name of a named property (UTF-8)
    std::string strText;  // as written in the query
    size_t offset = 0;    // where it starts in the query
};

struct Literal
{
    enum class Kind { String, Integer, Double, Boolean, Date, Binary };
    Kind kind = Kind::String;
    std::string text;           // String: UTF-8; Binary: bytes
    std::int64_t integer = 0;   // Integer, Boolean (0/1), Date (FILETIME)
    double real = 0;
};

struct Node
{
    enum class Kind { And, Or, Not, Content, Compare, Exist, Bitmask, Size, Sub };
    Kind kind = Kind::And;
    std::vector<Node> children;  // And, Or: two or more; Not, Sub: one
    PropRef prop;
    ULONG ulOp = 0;              // relop, fuzzy level, BMR_EQZ/BMR_NEZ, or the sub-object's tag
    ULONG ulNumber = 0;          // mask, size
    Literal value;               // the value compared against (typed by the property)
    ULONG ulValueType = 0;       // the type of the restriction's value
};

struct QueryError
{
    size_t offset = 0;     // byte offset in the query where the error is
    std::string message;   // "column N: expected ..., found ..."
};

// A parsed query: its tree, compiled into a restriction per store.
class CQuery
{
public:
    // Parses text; on error returns nothing and fills error.
    static std::optional<CQuery> Parse(const std::string& text, QueryError& error);

    const Node& Root() const { return m_root; }
    bool HasNamedProperties() const;
    bool HasSubRestrictions() const;

    // Resolves a named property to its property ID in a store: S_OK or an error
    // (MAPI_E_NOT_FOUND: the store has no such property).
    using NameResolver = std::function<HRESULT(const MAPINAMEID& name, ULONG& ulPropId)>;

    // The restriction, in one buffer to free with MAPIFreeBuffer. A named
    // property that cannot be resolved (or with no resolver) makes its
    // condition false: nothing in that store has it.
    HRESULT Compile(const NameResolver& resolver, LPSRestriction* out) const;

private:
    Node m_root;
};

// Owns a restriction made by Compile.
struct RestrictionDeleter
{
    void operator()(SRestriction* p) const { MAPIFreeBuffer(p); }
};
using RestrictionPtr = std::unique_ptr<SRestriction, RestrictionDeleter>;

// The restriction as text, as the trace and the tests show it, e.g.
// AND(CONTENT(0x0037001F, FL_SUBSTRING|FL_IGNORECASE, "budget"), EXIST(0x1000001F)).
// Tags are written in hexadecimal, with their dictionary name when nameTags.
std::string RestrictionText(const SRestriction* res, bool nameTags = false);

// The names of the tag dictionary and of the MAPI headers, sorted, for completion.
std::vector<std::string> PropertyNames();

// The property set GUID of a well-known set name (PS_PUBLIC_STRINGS, PSETID_Appointment, ...).
std::optional<GUID> PropertySetByName(const std::string& name);

// A FILETIME from calendar fields in UTC; nothing when the date does not exist.
std::optional<std::int64_t> FileTimeFromDate(int year, int month, int day, int hour, int minute, int second);

} // namespace dravik::query
