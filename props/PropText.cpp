#include "props/PropText.h"

#include "props/DateText.h"
#include "props/IniFile.h"
#include "props/MultiValueText.h"
#include "props/NamedPropNames.h"
#include "props/PropValueArray.h"
#include "props/TextConv.h"

#include "mapi32/errortext.h"


#include <algorithm>
#include <charconv>
#include <limits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Ends a text that was cut.
constexpr const char* kCutMarker = " }etc";

// "%e" of a double, independent of the process's numeric locale.
std::string ScientificText(double value)
{
    char sz[64];
    auto result = std::to_chars(sz, sz + sizeof sz, value, std::chars_format::scientific, 6);
    if (result.ec != std::errc())
        return std::string();
    return std::string(sz, result.ptr);
}

std::string BinaryText(const SBinary& bin, UINT cchText)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    // Three characters are counted per byte although two are written, and
    // sixteen are kept in reserve: a 1024-byte buffer shows at most 336 bytes.
    // A buffer of 16 bytes or less shows none.
    const std::uint64_t limit = cchText > 16 ? cchText - 16 : 0;
    std::uint64_t i = 0;
    for (; i < bin.cb && 3 * i < limit && bin.lpb; ++i) {
        text += kHex[bin.lpb[i] >> 4];
        text += kHex[bin.lpb[i] & 0x0F];
    }
    // Whenever bytes are left out the text says so, so a cut value never
    // looks whole.
    if (i < bin.cb)
        text += kCutMarker;
    return text;
}

// Every byte of a stream opened as ulPropTag on pSource. The result of
// OpenProperty when the stream cannot be opened; S_OK when it was read to its
// end; the failing read's error when it was not.
HRESULT ReadWholeStream(IMAPIProp* pSource, ULONG ulPropTag, std::string& bytes)
{
    LPSTREAM pStream = nullptr;
    HRESULT hr = pSource->OpenProperty(ulPropTag, &IID_IStream, 0, MAPI_BEST_ACCESS,
                                       reinterpret_cast<LPUNKNOWN*>(&pStream));
    if (FAILED(hr) || pStream == nullptr)
        return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
    char chunk[16384];
    for (;;) {
        ULONG n = 0;
        hr = pStream->Read(chunk, sizeof chunk, &n);
        if (FAILED(hr) || n == 0)
            break;
        bytes.append(chunk, std::min<size_t>(n, sizeof chunk));
    }
    pStream->Release();
    return FAILED(hr) ? hr : S_OK;
}

std::uint64_t FileTimeValue(const FILETIME& ft)
{
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// A number in decimal ("%d"), without the cost of a formatted print.
std::string DecimalText(std::int64_t value)
{
    char sz[24];
    const auto end = std::to_chars(sz, sz + sizeof sz, value).ptr;
    return std::string(sz, end);
}

// A currency amount: the value counts ten-thousandths of the unit, so it
// shows with four decimals ("1.0000", "-0.0001").
std::string CurrencyText(std::int64_t value)
{
    const bool bNegative = value < 0;
    // The magnitude as unsigned, so that the least 64-bit value has one too.
    const std::uint64_t magnitude =
        bNegative ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
    char sz[32];
    std::snprintf(sz, sizeof sz, "%s%llu.%04llu", bNegative ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 10000),
                  static_cast<unsigned long long>(magnitude % 10000));
    return sz;
}

} // namespace

namespace {

// "MAPI_E_NOT_FOUND (0x8004010F)"; a code without a name "Error (0x80041234)".
std::string ErrorText(SCODE sc)
{
    char sz[80];
    const char* pszName = ErrorCodeName(sc);
    std::snprintf(sz, sizeof sz, "%s (0x%08X)", pszName ? pszName : "Error", static_cast<unsigned>(sc));
    return sz;
}

// The text of one value of a single-valued type, before it is cut to the
// buffer (binary digits are already limited by cchText). Unknown types give
// the unknown-type marker of ulType.
std::string SingleValueText(ULONG ulType, const _PV& v, UINT cchText, ULONG ulShownType)
{
    const size_t cbMax = cchText - 1;
    char sz[64];
    switch (ulType) {
    case PT_UNSPECIFIED:
        return "<UNSPECIFIED>";
    case PT_NULL:
        return "<NULL>";
    case PT_I2:
        return DecimalText(static_cast<short>(v.i));
    case PT_LONG:
        return DecimalText(static_cast<std::int32_t>(v.l));
    case PT_R4:
        return ScientificText(static_cast<double>(v.flt));
    case PT_DOUBLE:
        return ScientificText(v.dbl);
    case PT_APPTIME:
        return ScientificText(v.at);
    case PT_CURRENCY:
        return CurrencyText(v.cur.int64);
    case PT_I8:
        return DecimalText(v.li.QuadPart);
    case PT_ERROR:
        return ErrorText(v.err);
    case PT_CLSID:
        return v.lpguid ? GuidToString(*v.lpguid) : std::string("(null)");
    case PT_BOOLEAN:
        return DecimalText(static_cast<std::uint16_t>(v.b));
    case PT_OBJECT:
        return "<OBJECT>";
    case PT_STRING8:
        return v.lpszA ? CutNarrow(v.lpszA, cbMax) : std::string("(null)");
    case PT_UNICODE:
        return WideToNarrow(v.lpszW, cbMax);
    case PT_SYSTIME:
        return FileTimeToText(FileTimeValue(v.ft));
    case PT_BINARY:
    case PT_SVREID: // a server entry ID: bytes, held as a binary value
        return BinaryText(v.bin, cchText);
    default:
        std::snprintf(sz, sizeof sz, "<Unknown Property Type: %08x>", static_cast<unsigned>(ulShownType));
        return sz;
    }
}

// The base types MAPI defines multi-valued forms of.
bool IsMultiValueBase(ULONG ulBase)
{
    switch (ulBase) {
    case PT_I2: case PT_LONG: case PT_R4: case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME: case PT_SYSTIME:
    case PT_STRING8: case PT_BINARY: case PT_UNICODE: case PT_CLSID: case PT_I8:
        return true;
    default:
        return false;
    }
}

// The values of a multi-valued property: the count, then each value in the
// text of its base type, in brackets: 2 values: [Business] [Personal].
// A text too long for the buffer is cut and ends with the cut marker.
std::string MultiValuedText(const SPropValue& prop, UINT cchText)
{
    const ULONG ulType = PROP_TYPE(prop.ulPropTag);
    if (!IsMultiValueBase(ulType & ~MV_FLAG)) {
        char sz[64];
        std::snprintf(sz, sizeof sz, "<Unknown Property Type: %08x>", static_cast<unsigned>(ulType));
        return sz;
    }
    const size_t cbMax = cchText - 1;
    const ULONG cValues = MultiValueCount(&prop);
    std::string text = std::to_string(cValues) + (cValues == 1 ? " value" : " values");
    SPropValue element;
    for (ULONG i = 0; i < cValues && text.size() <= cbMax && MultiValueElement(&prop, i, element); ++i) {
        text += i == 0 ? ": [" : " [";
        text += SingleValueText(PROP_TYPE(element.ulPropTag), element.Value, cchText, ulType);
        text += ']';
    }
    if (text.size() > cbMax) {
        const size_t cbMarker = std::strlen(kCutMarker);
        text = CutNarrow(text, cbMax > cbMarker ? cbMax - cbMarker : 0) + kCutMarker;
    }
    return text;
}

} // namespace

std::string PropValueWholeText(const SPropValue* pProp, IMAPIProp* pSource, HRESULT* phrRead)
{
    if (phrRead != nullptr)
        *phrRead = S_OK;
    if (pProp == nullptr)
        return std::string();
    if (PROP_TYPE(pProp->ulPropTag) == PT_ERROR && pProp->Value.err == MAPI_E_NOT_ENOUGH_MEMORY && pSource) {
        // A string as its text; a value that is no string (the provider
        // says it has no such string) as its bytes.
        std::string bytes;
        HRESULT hr = ReadWholeStream(pSource, CHANGE_PROP_TYPE(pProp->ulPropTag, PT_UNICODE), bytes);
        bool bText = hr != MAPI_E_NOT_FOUND;
        if (!bText) {
            bytes.clear();
            hr = ReadWholeStream(pSource, CHANGE_PROP_TYPE(pProp->ulPropTag, PT_BINARY), bytes);
        }
        if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) {
            // The value is there but cannot be read whole: never a part of it
            // passed off as the whole.
            if (phrRead != nullptr)
                *phrRead = hr;
            return ErrorText(hr);
        }
        if (SUCCEEDED(hr) && bText) {
            std::u16string text(bytes.size() / 2, u'\0');
            for (size_t i = 0; i < text.size(); ++i)
                text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                                (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
            return WideToNarrow(std::u16string_view(text));
        }
        if (SUCCEEDED(hr)) {
            SPropValue value{};
            value.ulPropTag = CHANGE_PROP_TYPE(pProp->ulPropTag, PT_BINARY);
            value.Value.bin = SBinary{static_cast<ULONG>(bytes.size()), reinterpret_cast<LPBYTE>(bytes.data())};
            return PropValueToText(&value, std::numeric_limits<UINT>::max());
        }
    }
    return PropValueToText(pProp, std::numeric_limits<UINT>::max());
}

std::string ErrorInPlainWords(SCODE sc)
{
    const char* pszMeaning = ErrorMeaning(sc);
    std::string text = pszMeaning ? pszMeaning : "error";
    char sz[80];
    if (const char* pszName = ErrorCodeName(sc))
        std::snprintf(sz, sizeof sz, " [%s]", pszName);
    else
        std::snprintf(sz, sizeof sz, " [0x%08X]", static_cast<unsigned>(sc));
    return text + sz;
}

const char* ErrorCodeName(SCODE sc)
{
    return dravik::mapi32::ErrorName(sc);
}

const char* ErrorMeaning(SCODE sc)
{
    return dravik::mapi32::ErrorMeaning(sc);
}

std::string PropValueToText(const SPropValue* pProp, UINT cchText)
{
    if (!pProp || cchText == 0)
        return std::string();
    const ULONG ulType = PROP_TYPE(pProp->ulPropTag);
    std::string text;
    if ((ulType & MVI_FLAG) == MVI_FLAG) {
        // One instance of a multi-valued property, as a table row expanded
        // on it holds it: a single value of the base type.
        text = SingleValueText(ulType & ~MVI_FLAG, pProp->Value, cchText, ulType);
    } else if (ulType & MV_FLAG) {
        text = MultiValuedText(*pProp, cchText);
    } else {
        text = SingleValueText(ulType, pProp->Value, cchText, ulType);
    }
    return CutNarrow(text, cchText - 1);
}

void PropValueToText(LPSTR szText, const SPropValue* pProp, UINT cchText)
{
    if (!szText || !pProp || cchText == 0)
        return;
    const std::string text = PropValueToText(pProp, cchText);
    std::memcpy(szText, text.c_str(), text.size() + 1);
}

std::string GuidToString(const GUID& guid)
{
    char sz[64];
    std::snprintf(sz, sizeof sz, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                  static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return sz;
}

CNamedPropText FormatNamedProp(const MAPINAMEID* pName)
{
    CNamedPropText text;
    if (!pName)
        return text;

    char sz[16];
    switch (pName->ulKind) {
    case MNID_ID:
        text.strKind = "MNID_ID";
        break;
    case MNID_STRING:
        text.strKind = "MNID_STRING";
        // At most 254 bytes: the name buffer holds 255 with its zero.
        text.strName = WideToNarrow(pName->Kind.lpwstrName, 254);
        break;
    default:
        text.strKind = "INVALID";
        break;
    }
    // A string name has no numeric ID; its union holds the string's address.
    if (pName->ulKind != MNID_STRING) {
        std::snprintf(sz, sizeof sz, "0x%08x", static_cast<unsigned>(pName->Kind.lID));
        text.strId = sz;
    }
    if (pName->lpguid)
        text.strGuid = GuidToString(*pName->lpguid);
    text.strCanonical = NamedPropCanonicalText(*pName);
    return text;
}

HRESULT ListNamedPropTexts(IMAPIProp* pStore, std::vector<CNamedPropText>& rows)
{
    rows.clear();
    if (!pStore)
        return MAPI_E_INVALID_PARAMETER;

    LPSPropTagArray pTags = nullptr;
    ULONG cNames = 0;
    LPMAPINAMEID* ppNames = nullptr;
    const HRESULT hr = pStore->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames);
    if (SUCCEEDED(hr) && ppNames) {
        rows.reserve(cNames);
        // The list inserts every row at the top, so the last name comes first.
        for (ULONG i = cNames; i-- > 0;)
            rows.push_back(FormatNamedProp(ppNames[i]));
    }
    if (ppNames)
        MAPIFreeBuffer(ppNames);
    if (pTags)
        MAPIFreeBuffer(pTags);
    return hr;
}

namespace {

// The numeric text's value as the C library's atoi reads it: optional blanks
// and sign, then decimal digits up to the first other character.
long LeadingNumber(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\v' ||
                               text[i] == '\f' || text[i] == '\r'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 0xFFFFFFFFLL)
            break;
    }
    return static_cast<long>(negative ? -value : value);
}

std::string NamedIdText(IMAPIProp* pSource, ULONG ulPropTag)
{
    // IDs below 0x8000 never have a name, so they are not asked about.
    if (!pSource || PROP_ID(ulPropTag) < 0x8000)
        return std::string();
    SizedSPropTagArray(1, oneTag) = {1, {ulPropTag}};
    LPSPropTagArray pTags = reinterpret_cast<LPSPropTagArray>(&oneTag);
    ULONG cNames = 0;
    LPMAPINAMEID* ppNames = nullptr;
    pSource->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames);
    std::string text;
    // The numeric ID or the string name, with the canonical name and the
    // property set where the table of names knows them.
    if (ppNames && cNames >= 1 && ppNames[0])
        text = NamedPropIdentity(*ppNames[0]);
    if (ppNames)
        MAPIFreeBuffer(ppNames);
    // The caller's one-tag array stays the caller's; a provider that answered
    // with an array of its own hands that over to be freed.
    if (pTags && pTags != reinterpret_cast<LPSPropTagArray>(&oneTag))
        MAPIFreeBuffer(pTags);
    return text;
}

} // namespace

CPropRowText FormatPropRow(const CPropValueArray& props, ULONG i, IMAPIProp* pSource, bool bWholeValue)
{
    CPropRowText row;
    if (i >= props.Count())
        return row;
    const ULONG ulPropTag = props.At(i)->ulPropTag;
    row.strTag = DictionaryKey(ulPropTag);  // the same form: "0x%08x"

    // The first value with this property ID, as the array is searched by ID.
    row.strValue = bWholeValue ? PropValueWholeText(props.Find(ulPropTag), pSource, &row.hrValue)
                               : PropValueToText(props.Find(ulPropTag), kListValueChars);
    if (!LookupNumber("PropIDs", PROP_ID(ulPropTag), row.strName))
        row.strName = DictionaryKey(PROP_ID(ulPropTag));
    if (!LookupNumber("PropType", PROP_TYPE(ulPropTag), row.strType))
        row.strType = DictionaryKey(PROP_TYPE(ulPropTag));
    row.strNamedId = NamedIdText(pSource, ulPropTag);

    if (ulPropTag == PROP_TAG(PT_LONG, 0x0FFE)) {
        std::string objName;
        const unsigned long number = static_cast<unsigned long>(LeadingNumber(row.strValue));
        LookupNumber("MAPIObjTypes", number, objName);
        row.strValue += " [" + objName + "]";
    }
    return row;
}
