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

// The text of one value:
// - numbers, strings, dates and markers as the tool always showed them,
//   except PT_I8 as one signed 64-bit decimal number and PT_CURRENCY as the
//   amount with four decimals ("12.5000");
// - binary values (and PT_SVREID, a server entry ID held as bytes) as
//   hexadecimal digits up to a limit set by the buffer size; whenever bytes
//   are left out the text ends with " }etc";
// - PT_CLSID as the GUID's registry form with braces;
// - PT_ERROR as the error's name and its code, "MAPI_E_NOT_FOUND
//   (0x8004010F)", or "Error (0x80041234)" for a code without a name;
// - a multi-valued type as its count and then each value in the text of its
//   base type in brackets: "2 values: [Business] [Personal]", "1 value: [7]",
//   "0 values"; a text longer than the buffer is cut and ends with " }etc".
// A null value and a buffer size of 0 give no text.
std::string PropValueToText(const SPropValue* pProp, UINT cchText);

// The whole text of a value, never cut: every character of a string, every
// byte of a binary value as hexadecimal digits, every value of a multi-valued
// one. A value too large for GetProps (PT_ERROR MAPI_E_NOT_ENOUGH_MEMORY) is
// read whole through pSource's stream when pSource is given: a string as its
// text, anything else as hexadecimal digits; without a stream it is the
// error's text.
// When the stream opens but cannot be read to its end (a damaged value), the
// text is the error's and *phrRead (when given) receives it.
std::string PropValueWholeText(const SPropValue* pProp, IMAPIProp* pSource, HRESULT* phrRead = nullptr);

// The same written into a caller's buffer of cchText bytes.
void PropValueToText(LPSTR szText, const SPropValue* pProp, UINT cchText);

// PropValueToText and PropValueWholeText appended to out, without a string of
// their own: the forms above are these. A listing that writes many values
// reuses one buffer.
void AppendPropValueText(std::string& out, const SPropValue* pProp, UINT cchText);
void AppendPropValueWholeText(std::string& out, const SPropValue* pProp, IMAPIProp* pSource,
                              HRESULT* phrRead = nullptr);

// The name of an error or warning code (MAPI_E_..., MAPI_W_..., the COM
// codes MAPI uses), or null when it has none.
const char* ErrorCodeName(SCODE sc);

// What an error code means, in plain words for a person ("wrong password",
// "not a PST or OST file, or damaged"), or null for a code without a plain
// meaning of its own.
const char* ErrorMeaning(SCODE sc);

// "<meaning> [MAPI_E_NAME]" for a report: the plain meaning (or "error" for
// a code without one) and the error's name in brackets (or its number when
// it has no name).
std::string ErrorInPlainWords(SCODE sc);

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
    // "PidNameKeywords (PS_PUBLIC_STRINGS)": the canonical name and the set's
    // name where known, the set alone, or empty.
    std::string strCanonical;
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
// Named ID (the name of the tag asked of pSource: "0x%08X" of a numeric ID or
// the string name in quotes, followed by the canonical name and the property
// set where known, "0x00008205 PidLidBusyStatus (PSETID_Appointment)"; empty
// without a source or without a name) and Value (the text of the first value with the tag's
// property ID, into 1024 bytes; PR_OBJECT_TYPE gets " [object type name]"
// appended).
struct CPropRowText
{
    std::string strTag;
    std::string strName;
    std::string strNamedId;
    std::string strType;
    std::string strValue;
    // With a whole value: S_OK, or why the value could not be read whole.
    HRESULT hrValue = S_OK;
};

// The row of the value at index i (below props.Count()). pSource is the object
// the values came from, or null for a table row's values.
// With bWholeValue the Value is whole (PropValueWholeText) instead.
CPropRowText FormatPropRow(const CPropValueArray& props, ULONG i, IMAPIProp* pSource, bool bWholeValue = false);

// The columns of a row one at a time, appended to out: FormatPropRow puts
// these together, and a listing that writes its rows straight into its output
// calls them. TAG is AppendDictionaryKey of the tag.
// TAG Name and Type.
void AppendPropRowName(std::string& out, ULONG ulPropTag);
void AppendPropRowType(std::string& out, ULONG ulPropTag);
// Named ID: nothing unless PropRowMayHaveNamedId.
void AppendPropRowNamedId(std::string& out, IMAPIProp* pSource, ULONG ulPropTag);
// Whether the Named ID of the tag is asked of pSource: when it is not, the
// row's texts but its Value depend on the tag alone.
bool PropRowMayHaveNamedId(IMAPIProp* pSource, ULONG ulPropTag);
// Value: pValue is the first value with the tag's property ID. Returns the
// row's hrValue. *pbPlain (when given) is set true when the text is known,
// by the value's type, to be printable ASCII with no quote and no backslash
// (numbers, binary digits, error names, markers), false when it may hold
// anything (strings, dates, a dictionary's names).
HRESULT AppendPropRowValue(std::string& out, const SPropValue* pValue, ULONG ulPropTag, IMAPIProp* pSource,
                           bool bWholeValue, bool* pbPlain = nullptr);
// The same into a row the caller keeps, its strings reused.
void FormatPropRow(CPropRowText& row, const CPropValueArray& props, ULONG i, IMAPIProp* pSource,
                   bool bWholeValue = false);
