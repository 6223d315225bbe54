// The text of MAPI property values and of named-property names.
//
// Every place that shows or writes a property value as text goes through
// PropValueToText: the property list's "Value" column, tree item texts and
// file names, the property viewer and the export. The rendering is raw:
// numbers in printf-style formats, strings as they are, binary data as
// hexadecimal digits cut at a size-dependent limit, dates as the user's date
// and time, and a fixed marker for values that have no textual form.
//
// Sizes are those of the caller's text buffer including its terminating zero
// (cchText): a result holds at most cchText - 1 bytes, cut after the last whole
// UTF-8 character.
#pragma once

#include "props/Mapi.h"

#include <string>
#include <vector>

// The text of one value. PT_ERROR and PT_CLSID values, and a null value, give
// no text; so does a buffer size of 0.
std::string PropValueToText(const SPropValue* pProp, UINT cchText);

// The same written into a caller's buffer of cchText bytes. For PT_ERROR and
// PT_CLSID values nothing is written: the buffer keeps what it held.
void PropValueToText(LPSTR szText, const SPropValue* pProp, UINT cchText);

// Buffer sizes the tool's callers use.
inline constexpr UINT kListValueChars = 1024;
inline constexpr UINT kViewerValueChars = 4096;
inline constexpr UINT kExportValueChars = 5000;
inline constexpr UINT kTreeItemChars = 255;
inline constexpr UINT kFileNameChars = 260;

// The four texts of a named-property name: ID, KIND, NAME and GUID.
struct CNamedPropText
{
    std::string strId;   // "0x%08x" of the numeric ID; empty for a string name
    std::string strKind; // "MNID_ID", "MNID_STRING" or "INVALID"
    std::string strName; // the string name (at most 254 bytes); empty otherwise
    std::string strGuid; // "{00020329-0000-0000-C000-000000000046}"
};

CNamedPropText FormatNamedProp(const MAPINAMEID* pName);

// The registry form of a GUID: braces, upper-case hexadecimal, 38 characters.
std::string GuidToString(const GUID& guid);

// The rows of the "Named Properties" listing of a message store: every name
// the store reports through GetNamesFromIDs (all names, no property set,
// flags 0), in the order the list shows them before any sort (the last name
// reported first). Returns the call's HRESULT; on failure rows is empty.
// A store without named properties succeeds with no rows.
HRESULT ListNamedPropTexts(IMAPIProp* pStore, std::vector<CNamedPropText>& rows);

class CPropValueArray;

// The five texts of one row of a property listing: TAG ("0x%08x" of the
// tag), TAG Name and Type (the dictionary's names, else their "0x%08x" keys),
// Named ID ("0x%08X" of the numeric ID of the tag's name, asked of pSource;
// empty without a source, without a name, and for a string name, which has
// no numeric ID) and Value (FormatProp into 1024 bytes;
// PR_OBJECT_TYPE gets " [object type name]" appended).
struct CPropRowText
{
    std::string strTag;
    std::string strName;
    std::string strNamedId;
    std::string strType;
    std::string strValue;
};

// The row of the value at index i (below props.Count()). pSource is the object
// the values came from, or null for a table row's values.
CPropRowText FormatPropRow(const CPropValueArray& props, ULONG i, IMAPIProp* pSource);
