#include "props/PropText.h"

#include "props/DateText.h"
#include "props/IniFile.h"
#include "props/PropValueArray.h"
#include "props/TextConv.h"


#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

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
    for (std::uint64_t i = 0; i < bin.cb && 3 * i < limit && bin.lpb; ++i) {
        text += kHex[bin.lpb[i] >> 4];
        text += kHex[bin.lpb[i] & 0x0F];
    }
    // The marker compares the full digit count with the buffer size.
    if (2ULL * bin.cb > cchText)
        text += " }etc";
    return text;
}

std::uint64_t FileTimeValue(const FILETIME& ft)
{
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// The low and the high 32 bits of a 64-bit value, each as a signed number.
std::string LowHighText(std::int64_t value)
{
    const auto u = static_cast<std::uint64_t>(value);
    char sz[32];
    std::snprintf(sz, sizeof sz, "%d %d", static_cast<std::int32_t>(static_cast<std::uint32_t>(u)),
                  static_cast<std::int32_t>(static_cast<std::uint32_t>(u >> 32)));
    return sz;
}

} // namespace

std::string PropValueToText(const SPropValue* pProp, UINT cchText)
{
    if (!pProp || cchText == 0)
        return std::string();

    const size_t cbMax = cchText - 1;
    char sz[64];
    switch (PROP_TYPE(pProp->ulPropTag)) {
    case PT_UNSPECIFIED:
        return CutNarrow("<UNSPECIFIED>", cbMax);
    case PT_NULL:
        return CutNarrow("<NULL>", cbMax);
    case PT_I2:
        std::snprintf(sz, sizeof sz, "%hd", static_cast<short>(pProp->Value.i));
        return CutNarrow(sz, cbMax);
    case PT_LONG:
        std::snprintf(sz, sizeof sz, "%d", static_cast<std::int32_t>(pProp->Value.l));
        return CutNarrow(sz, cbMax);
    case PT_R4:
        return CutNarrow(ScientificText(static_cast<double>(pProp->Value.flt)), cbMax);
    case PT_DOUBLE:
        return CutNarrow(ScientificText(pProp->Value.dbl), cbMax);
    case PT_APPTIME:
        return CutNarrow(ScientificText(pProp->Value.at), cbMax);
    case PT_CURRENCY:
        return CutNarrow(LowHighText(pProp->Value.cur.int64), cbMax);
    case PT_I8:
        return CutNarrow(LowHighText(pProp->Value.li.QuadPart), cbMax);
    case PT_ERROR:
    case PT_CLSID:
        return std::string();
    case PT_BOOLEAN:
        std::snprintf(sz, sizeof sz, "%u", static_cast<unsigned>(static_cast<std::uint16_t>(pProp->Value.b)));
        return CutNarrow(sz, cbMax);
    case PT_OBJECT:
        return CutNarrow("<OBJECT>", cbMax);
    case PT_STRING8:
        return pProp->Value.lpszA ? CutNarrow(pProp->Value.lpszA, cbMax) : CutNarrow("(null)", cbMax);
    case PT_UNICODE:
        return WideToNarrow(pProp->Value.lpszW, cbMax);
    case PT_SYSTIME:
        return CutNarrow(FileTimeToText(FileTimeValue(pProp->Value.ft)), cbMax);
    case PT_BINARY:
        return CutNarrow(BinaryText(pProp->Value.bin, cchText), cbMax);
    default:
        std::snprintf(sz, sizeof sz, "<Unknown Property Type: %08x>",
                      static_cast<unsigned>(PROP_TYPE(pProp->ulPropTag)));
        return CutNarrow(sz, cbMax);
    }
}

void PropValueToText(LPSTR szText, const SPropValue* pProp, UINT cchText)
{
    if (!szText || !pProp || cchText == 0)
        return;
    const ULONG ulType = PROP_TYPE(pProp->ulPropTag);
    if (ulType == PT_ERROR || ulType == PT_CLSID)
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
    // A string name has no numeric ID: Kind then holds a string pointer, whose
    // bits mean nothing, so the cell stays empty (the store's named-property
    // listing shows such names).
    if (ppNames && cNames >= 1 && ppNames[0] && ppNames[0]->ulKind == MNID_ID) {
        char sz[16];
        std::snprintf(sz, sizeof sz, "0x%08X", static_cast<unsigned>(ppNames[0]->Kind.lID));
        text = sz;
    }
    if (ppNames)
        MAPIFreeBuffer(ppNames);
    // The caller's one-tag array stays the caller's; a provider that answered
    // with an array of its own hands that over to be freed.
    if (pTags && pTags != reinterpret_cast<LPSPropTagArray>(&oneTag))
        MAPIFreeBuffer(pTags);
    return text;
}

} // namespace

CPropRowText FormatPropRow(const CPropValueArray& props, ULONG i, IMAPIProp* pSource)
{
    CPropRowText row;
    if (i >= props.Count())
        return row;
    const ULONG ulPropTag = props.At(i)->ulPropTag;
    char sz[16];
    std::snprintf(sz, sizeof sz, "0x%08x", static_cast<unsigned>(ulPropTag));
    row.strTag = sz;

    const std::string idKey = DictionaryKey(PROP_ID(ulPropTag));
    const std::string typeKey = DictionaryKey(PROP_TYPE(ulPropTag));
    props.FormatProp(row.strValue, kListValueChars, ulPropTag);
    if (!LookupName("PropIDs", idKey.c_str(), row.strName))
        row.strName = idKey;
    if (!LookupName("PropType", typeKey.c_str(), row.strType))
        row.strType = typeKey;
    row.strNamedId = NamedIdText(pSource, ulPropTag);

    if (ulPropTag == PROP_TAG(PT_LONG, 0x0FFE)) {
        std::string objName;
        const unsigned long number = static_cast<unsigned long>(LeadingNumber(row.strValue));
        LookupName("MAPIObjTypes", DictionaryKey(number).c_str(), objName);
        row.strValue += " [" + objName + "]";
    }
    return row;
}
