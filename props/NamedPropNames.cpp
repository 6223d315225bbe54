#include "props/NamedPropNames.h"

#include "props/TextConv.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

struct CPropertySet
{
    const char* pszName;
    GUID guid;
};

struct CNamedName
{
    unsigned nSet;         // index into kPropertySets
    ULONG ulLid;           // the numeric name; 0 for a string name
    const char* pszName;   // the string name, or null for a numeric name
    const char* pszCanonical;
};

#include "props/NamedPropNames.inc"

const CPropertySet kPropertySets[] = {DRAVIK_PROPERTY_SETS};
// Sorted by set, numeric names before string names, then by LID or name.
const CNamedName kNamedNames[] = {DRAVIK_NAMED_NAMES};

bool SameGuid(const GUID& a, const GUID& b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

int SetIndex(const GUID& guid)
{
    for (size_t i = 0; i < std::size(kPropertySets); ++i) {
        if (SameGuid(kPropertySets[i].guid, guid))
            return static_cast<int>(i);
    }
    return -1;
}

// A wide string name compared with an ASCII one: <0, 0, >0.
int CompareName(const char* pszAscii, LPCWSTR pwszName)
{
    for (size_t i = 0;; ++i) {
        const unsigned a = static_cast<unsigned char>(pszAscii[i]);
        const unsigned w = pwszName[i];
        if (a != w)
            return a < w ? -1 : 1;
        if (a == 0)
            return 0;
    }
}

const CNamedName* Find(const MAPINAMEID& name)
{
    if (name.lpguid == nullptr || (name.ulKind != MNID_ID && name.ulKind != MNID_STRING))
        return nullptr;
    const int nSet = SetIndex(*name.lpguid);
    if (nSet < 0)
        return nullptr;
    const bool bString = name.ulKind == MNID_STRING;
    if (bString && name.Kind.lpwstrName == nullptr)
        return nullptr;
    const auto less = [&](const CNamedName& entry) {
        // Is the entry before the name sought?
        if (entry.nSet != static_cast<unsigned>(nSet))
            return entry.nSet < static_cast<unsigned>(nSet);
        if ((entry.pszName != nullptr) != bString)
            return entry.pszName == nullptr;
        if (!bString)
            return entry.ulLid < static_cast<ULONG>(name.Kind.lID);
        return CompareName(entry.pszName, name.Kind.lpwstrName) < 0;
    };
    const CNamedName* pEnd = std::end(kNamedNames);
    const CNamedName* p = std::partition_point(std::begin(kNamedNames), pEnd, less);
    if (p == pEnd || p->nSet != static_cast<unsigned>(nSet) || (p->pszName != nullptr) != bString)
        return nullptr;
    if (bString ? CompareName(p->pszName, name.Kind.lpwstrName) != 0 : p->ulLid != static_cast<ULONG>(name.Kind.lID))
        return nullptr;
    return p;
}

} // namespace

const char* PropertySetName(const GUID& guid)
{
    const int nSet = SetIndex(guid);
    return nSet < 0 ? nullptr : kPropertySets[nSet].pszName;
}

const char* CanonicalNamedPropName(const MAPINAMEID& name)
{
    const CNamedName* pEntry = Find(name);
    return pEntry != nullptr ? pEntry->pszCanonical : nullptr;
}

std::string NamedPropCanonicalText(const MAPINAMEID& name)
{
    const char* pszSet = name.lpguid != nullptr ? PropertySetName(*name.lpguid) : nullptr;
    const char* pszCanonical = CanonicalNamedPropName(name);
    if (pszSet == nullptr)
        return std::string();
    return pszCanonical != nullptr ? std::string(pszCanonical) + " (" + pszSet + ")" : std::string(pszSet);
}

std::string NamedPropIdentity(const MAPINAMEID& name)
{
    std::string text;
    if (name.ulKind == MNID_ID) {
        char sz[16];
        std::snprintf(sz, sizeof sz, "0x%08X", static_cast<unsigned>(name.Kind.lID));
        text = sz;
    } else if (name.ulKind == MNID_STRING && name.Kind.lpwstrName != nullptr) {
        text = "\"" + WideToNarrow(name.Kind.lpwstrName, 254) + "\"";
    } else {
        return text;
    }
    const std::string strCanonical = NamedPropCanonicalText(name);
    if (!strCanonical.empty())
        text += " " + strCanonical;
    return text;
}
