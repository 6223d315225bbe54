#include "props/PropText.h"

#include "props/DateText.h"
#include "props/IniFile.h"
#include "props/MultiValueText.h"
#include "props/NamedPropNames.h"
#include "props/PropValueArray.h"
#include "props/TextConv.h"

#include "mapi32/errortext.h"
#include "mapi32/utf.h"


#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Ends a text that was cut.
constexpr const char* kCutMarker = " }etc";

// "%e" of a double, independent of the process's numeric locale.
void AppendScientific(std::string& out, double value)
{
    char sz[64];
    auto result = std::to_chars(sz, sz + sizeof sz, value, std::chars_format::scientific, 6);
    if (result.ec == std::errc())
        out.append(sz, result.ptr);
}

void AppendBinaryText(std::string& out, const SBinary& bin, UINT cchText)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    // Three characters are counted per byte although two are written, and
    // sixteen are kept in reserve: a 1024-byte buffer shows at most 336 bytes.
    // A buffer of 16 bytes or less shows none.
    const std::uint64_t limit = cchText > 16 ? cchText - 16 : 0;
    const std::uint64_t cShown = bin.lpb ? std::min<std::uint64_t>(bin.cb, (limit + 2) / 3) : 0;
    // Each byte's two digits, in one table: a byte is one copy.
    static constexpr std::array<char, 512> kPairs = [] {
        std::array<char, 512> pairs{};
        for (size_t b = 0; b < 256; ++b) {
            pairs[2 * b] = kHex[b >> 4];
            pairs[2 * b + 1] = kHex[b & 0x0F];
        }
        return pairs;
    }();
    const size_t start = out.size();
    out.resize(start + 2 * cShown);
    char* p = out.data() + start;
    const unsigned char* bytes = bin.lpb;
    std::uint64_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time where the machine can: each byte's two
    // nibbles side by side, each nibble its digit ('0' + n, seven more
    // from 10 on, to reach 'A').
    const __m128i lowNibbles = _mm_set1_epi8(0x0F);
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i letterStep = _mm_set1_epi8('A' - '0' - 10);
    const auto digits = [&](__m128i nibbles) {
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letterStep);
        return _mm_add_epi8(_mm_add_epi8(nibbles, zero), letters);
    };
    for (; i + 16 <= cShown; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), lowNibbles);
        const __m128i lo = _mm_and_si128(v, lowNibbles);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 2 * i), digits(_mm_unpacklo_epi8(hi, lo)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 2 * i + 16), digits(_mm_unpackhi_epi8(hi, lo)));
    }
#endif
    for (; i < cShown; ++i)
        std::memcpy(p + 2 * i, &kPairs[2 * size_t(bytes[i])], 2);
    // Whenever bytes are left out the text says so, so a cut value never
    // looks whole.
    if (cShown < bin.cb)
        out += kCutMarker;
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
void AppendDecimal(std::string& out, std::int64_t value)
{
    char sz[24];
    const auto end = std::to_chars(sz, sz + sizeof sz, value).ptr;
    out.append(sz, end);
}

// A currency amount: the value counts ten-thousandths of the unit, so it
// shows with four decimals ("1.0000", "-0.0001").
void AppendCurrency(std::string& out, std::int64_t value)
{
    const bool bNegative = value < 0;
    // The magnitude as unsigned, so that the least 64-bit value has one too.
    const std::uint64_t magnitude =
        bNegative ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
    char sz[32];
    std::snprintf(sz, sizeof sz, "%s%llu.%04llu", bNegative ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 10000),
                  static_cast<unsigned long long>(magnitude % 10000));
    out += sz;
}

} // namespace

namespace {

// "MAPI_E_NOT_FOUND (0x8004010F)"; a code without a name "Error (0x80041234)".
// Without a formatted print: a recipient's row alone holds several errors.
void AppendErrorText(std::string& out, SCODE sc)
{
    // A listing writes the same error again and again (MAPI_E_NOT_FOUND for
    // each column a row lacks): each thread keeps the text of the last one.
    thread_local SCODE lastCode = 0;
    thread_local size_t cchLast = 0;  // 0: none kept
    thread_local char szLast[80];
    if (cchLast != 0 && lastCode == sc) {
        out.append(szLast, cchLast);
        return;
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const char* pszName = ErrorCodeName(sc);
    const size_t start = out.size();
    out += pszName ? pszName : "Error";
    char sz[] = " (0x00000000)";
    auto code = static_cast<std::uint32_t>(sc);
    for (int i = 11; i >= 4; --i, code >>= 4)
        sz[i] = kDigits[code & 0xF];
    out.append(sz, sizeof sz - 1);
    if (const size_t cch = out.size() - start; cch <= sizeof szLast) {
        std::memcpy(szLast, out.data() + start, cch);
        cchLast = cch;
        lastCode = sc;
    }
}

void AppendUnknownType(std::string& out, ULONG ulShownType)
{
    char sz[64];
    std::snprintf(sz, sizeof sz, "<Unknown Property Type: %08x>", static_cast<unsigned>(ulShownType));
    out += sz;
}

// The text of one value of a single-valued type appended to out, before it is
// cut to the buffer (binary digits are already limited by cchText). Unknown
// types give the unknown-type marker of ulType.
void AppendSingleValueText(std::string& out, ULONG ulType, const _PV& v, UINT cchText, ULONG ulShownType)
{
    const size_t cbMax = cchText - 1;
    switch (ulType) {
    case PT_UNSPECIFIED:
        out += "<UNSPECIFIED>";
        return;
    case PT_NULL:
        out += "<NULL>";
        return;
    case PT_I2:
        return AppendDecimal(out, static_cast<short>(v.i));
    case PT_LONG:
        return AppendDecimal(out, static_cast<std::int32_t>(v.l));
    case PT_R4:
        return AppendScientific(out, static_cast<double>(v.flt));
    case PT_DOUBLE:
        return AppendScientific(out, v.dbl);
    case PT_APPTIME:
        return AppendScientific(out, v.at);
    case PT_CURRENCY:
        return AppendCurrency(out, v.cur.int64);
    case PT_I8:
        return AppendDecimal(out, v.li.QuadPart);
    case PT_ERROR:
        return AppendErrorText(out, v.err);
    case PT_CLSID:
        out += v.lpguid ? GuidToString(*v.lpguid) : std::string("(null)");
        return;
    case PT_BOOLEAN:
        return AppendDecimal(out, static_cast<std::uint16_t>(v.b));
    case PT_OBJECT:
        out += "<OBJECT>";
        return;
    case PT_STRING8:
        if (v.lpszA) {
            const std::string_view text(v.lpszA);
            out.append(text.substr(0, Utf8CutLength(text, cbMax)));
        } else {
            out += "(null)";
        }
        return;
    case PT_UNICODE:
        if (v.lpszW)
            AppendWideToNarrow(out, std::u16string_view(v.lpszW, dravik::mapi32::Utf16Length(v.lpszW)), cbMax);
        return;
    case PT_SYSTIME:
        out += FileTimeToText(FileTimeValue(v.ft));
        return;
    case PT_BINARY:
    case PT_SVREID: // a server entry ID: bytes, held as a binary value
        return AppendBinaryText(out, v.bin, cchText);
    default:
        return AppendUnknownType(out, ulShownType);
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
void AppendMultiValuedText(std::string& out, const SPropValue& prop, UINT cchText)
{
    const ULONG ulType = PROP_TYPE(prop.ulPropTag);
    if (!IsMultiValueBase(ulType & ~MV_FLAG))
        return AppendUnknownType(out, ulType);
    const size_t start = out.size();
    const size_t cbMax = cchText - 1;
    const ULONG cValues = MultiValueCount(&prop);
    AppendDecimal(out, static_cast<std::int64_t>(cValues));
    out += cValues == 1 ? " value" : " values";
    SPropValue element;
    for (ULONG i = 0; i < cValues && out.size() - start <= cbMax && MultiValueElement(&prop, i, element); ++i) {
        out += i == 0 ? ": [" : " [";
        AppendSingleValueText(out, PROP_TYPE(element.ulPropTag), element.Value, cchText, ulType);
        out += ']';
    }
    if (out.size() - start > cbMax) {
        const size_t cbMarker = std::strlen(kCutMarker);
        const std::string_view text = std::string_view(out).substr(start);
        out.resize(start + Utf8CutLength(text, cbMax > cbMarker ? cbMax - cbMarker : 0));
        out += kCutMarker;
    }
}

} // namespace

void AppendPropValueWholeText(std::string& out, const SPropValue* pProp, IMAPIProp* pSource, HRESULT* phrRead)
{
    if (phrRead != nullptr)
        *phrRead = S_OK;
    if (pProp == nullptr)
        return;
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
            return AppendErrorText(out, hr);
        }
        if (SUCCEEDED(hr) && bText) {
            std::u16string text(bytes.size() / 2, u'\0');
            for (size_t i = 0; i < text.size(); ++i)
                text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                                (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
            return AppendWideToNarrow(out, std::u16string_view(text));
        }
        if (SUCCEEDED(hr)) {
            SPropValue value{};
            value.ulPropTag = CHANGE_PROP_TYPE(pProp->ulPropTag, PT_BINARY);
            value.Value.bin = SBinary{static_cast<ULONG>(bytes.size()), reinterpret_cast<LPBYTE>(bytes.data())};
            return AppendPropValueText(out, &value, std::numeric_limits<UINT>::max());
        }
    }
    AppendPropValueText(out, pProp, std::numeric_limits<UINT>::max());
}

std::string PropValueWholeText(const SPropValue* pProp, IMAPIProp* pSource, HRESULT* phrRead)
{
    std::string text;
    AppendPropValueWholeText(text, pProp, pSource, phrRead);
    return text;
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

void AppendPropValueText(std::string& out, const SPropValue* pProp, UINT cchText)
{
    if (!pProp || cchText == 0)
        return;
    const ULONG ulType = PROP_TYPE(pProp->ulPropTag);
    const size_t start = out.size();
    if ((ulType & MVI_FLAG) == MVI_FLAG) {
        // One instance of a multi-valued property, as a table row expanded
        // on it holds it: a single value of the base type.
        AppendSingleValueText(out, ulType & ~MVI_FLAG, pProp->Value, cchText, ulType);
    } else if (ulType & MV_FLAG) {
        AppendMultiValuedText(out, *pProp, cchText);
    } else {
        AppendSingleValueText(out, ulType, pProp->Value, cchText, ulType);
    }
    out.resize(start + Utf8CutLength(std::string_view(out).substr(start), cchText - 1));
}

std::string PropValueToText(const SPropValue* pProp, UINT cchText)
{
    std::string text;
    AppendPropValueText(text, pProp, cchText);
    return text;
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
long LeadingNumber(std::string_view text)
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

} // namespace

bool PropRowMayHaveNamedId(IMAPIProp* pSource, ULONG ulPropTag)
{
    // IDs below 0x8000 never have a name, so they are not asked about.
    return pSource != nullptr && PROP_ID(ulPropTag) >= 0x8000;
}

void AppendPropRowNamedId(std::string& out, IMAPIProp* pSource, ULONG ulPropTag)
{
    if (!PropRowMayHaveNamedId(pSource, ulPropTag))
        return;
    SizedSPropTagArray(1, oneTag) = {1, {ulPropTag}};
    LPSPropTagArray pTags = reinterpret_cast<LPSPropTagArray>(&oneTag);
    ULONG cNames = 0;
    LPMAPINAMEID* ppNames = nullptr;
    pSource->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames);
    // The numeric ID or the string name, with the canonical name and the
    // property set where the table of names knows them.
    if (ppNames && cNames >= 1 && ppNames[0])
        out += NamedPropIdentity(*ppNames[0]);
    if (ppNames)
        MAPIFreeBuffer(ppNames);
    // The caller's one-tag array stays the caller's; a provider that answered
    // with an array of its own hands that over to be freed.
    if (pTags && pTags != reinterpret_cast<LPSPropTagArray>(&oneTag))
        MAPIFreeBuffer(pTags);
}

namespace {

// The dictionary's name of number in the section, else the key it is looked up by.
void AppendDictionaryName(std::string& out, const char* pszSection, unsigned long number)
{
    const std::string* pName = GetIniFile().FindNumber(pszSection, number);
    if (pName && !pName->empty())
        out += *pName;
    else
        AppendDictionaryKey(out, number);
}

} // namespace

void AppendPropRowName(std::string& out, ULONG ulPropTag)
{
    AppendDictionaryName(out, "PropIDs", PROP_ID(ulPropTag));
}

void AppendPropRowType(std::string& out, ULONG ulPropTag)
{
    AppendDictionaryName(out, "PropType", PROP_TYPE(ulPropTag));
}

namespace {

// Whether every text AppendSingleValueText makes of a value of this type is
// printable ASCII with no quote and no backslash.
bool PlainTextType(ULONG ulType)
{
    switch (ulType) {
    case PT_UNSPECIFIED: case PT_NULL: case PT_I2: case PT_LONG: case PT_R4: case PT_DOUBLE: case PT_APPTIME:
    case PT_CURRENCY: case PT_I8: case PT_ERROR: case PT_CLSID: case PT_BOOLEAN: case PT_OBJECT: case PT_BINARY:
    case PT_SVREID:
        return true;
    default:
        return false;
    }
}

} // namespace

HRESULT AppendPropRowValue(std::string& out, const SPropValue* pValue, ULONG ulPropTag, IMAPIProp* pSource,
                           bool bWholeValue, bool* pbPlain)
{
    const size_t start = out.size();
    HRESULT hrValue = S_OK;
    if (bWholeValue)
        AppendPropValueWholeText(out, pValue, pSource, &hrValue);
    else
        AppendPropValueText(out, pValue, kListValueChars);
    if (pbPlain != nullptr) {
        // A value too large for GetProps may be read whole as a string.
        const bool bReadWhole = bWholeValue && pSource && pValue && PROP_TYPE(pValue->ulPropTag) == PT_ERROR &&
                                pValue->Value.err == MAPI_E_NOT_ENOUGH_MEMORY;
        *pbPlain = !pValue || (PlainTextType(PROP_TYPE(pValue->ulPropTag)) && !bReadWhole &&
                               ulPropTag != PROP_TAG(PT_LONG, 0x0FFE));
    }
    if (ulPropTag == PROP_TAG(PT_LONG, 0x0FFE)) {
        const unsigned long number = static_cast<unsigned long>(LeadingNumber(std::string_view(out).substr(start)));
        const std::string* pObjName = GetIniFile().FindNumber("MAPIObjTypes", number);
        out += " [";
        if (pObjName)
            out += *pObjName;
        out += ']';
    }
    return hrValue;
}

void FormatPropRow(CPropRowText& row, const CPropValueArray& props, ULONG i, IMAPIProp* pSource, bool bWholeValue)
{
    // Every text is emptied, not made anew: a caller that formats row after
    // row into the same CPropRowText allocates nothing once its strings have
    // grown.
    row.strTag.clear();
    row.strName.clear();
    row.strNamedId.clear();
    row.strType.clear();
    row.strValue.clear();
    row.hrValue = S_OK;
    if (i >= props.Count())
        return;
    const ULONG ulPropTag = props.At(i)->ulPropTag;
    AppendDictionaryKey(row.strTag, ulPropTag);
    // The first value with this property ID, as the array is searched by ID.
    row.hrValue = AppendPropRowValue(row.strValue, props.Find(ulPropTag), ulPropTag, pSource, bWholeValue);
    AppendPropRowName(row.strName, ulPropTag);
    AppendPropRowType(row.strType, ulPropTag);
    AppendPropRowNamedId(row.strNamedId, pSource, ulPropTag);
}

CPropRowText FormatPropRow(const CPropValueArray& props, ULONG i, IMAPIProp* pSource, bool bWholeValue)
{
    CPropRowText row;
    FormatPropRow(row, props, i, pSource, bWholeValue);
    return row;
}
