#include "props/MultiValueText.h"

#include "props/PropText.h"
#include "props/TextConv.h"

ULONG MultiValueCount(const SPropValue* pProp)
{
    if (!pProp || !(PROP_TYPE(pProp->ulPropTag) & MV_FLAG))
        return 0;
    // Every array of the union starts with its count.
    return pProp->Value.MVl.cValues;
}

BOOL MultiValueElement(const SPropValue* pProp, ULONG i, SPropValue& element)
{
    if (i >= MultiValueCount(pProp))
        return 0;
    const ULONG ulBase = PROP_TYPE(pProp->ulPropTag) & ~MV_FLAG;
    element = SPropValue{};
    element.ulPropTag = PROP_TAG(ulBase, PROP_ID(pProp->ulPropTag));
    const _PV& v = pProp->Value;
    switch (ulBase) {
    case PT_I2:
        if (!v.MVi.lpi)
            return 0;
        element.Value.i = v.MVi.lpi[i];
        return 1;
    case PT_LONG:
        if (!v.MVl.lpl)
            return 0;
        element.Value.l = v.MVl.lpl[i];
        return 1;
    case PT_R4:
        if (!v.MVflt.lpflt)
            return 0;
        element.Value.flt = v.MVflt.lpflt[i];
        return 1;
    case PT_DOUBLE:
        if (!v.MVdbl.lpdbl)
            return 0;
        element.Value.dbl = v.MVdbl.lpdbl[i];
        return 1;
    case PT_CURRENCY:
        if (!v.MVcur.lpcur)
            return 0;
        element.Value.cur = v.MVcur.lpcur[i];
        return 1;
    case PT_APPTIME:
        if (!v.MVat.lpat)
            return 0;
        element.Value.at = v.MVat.lpat[i];
        return 1;
    case PT_SYSTIME:
        if (!v.MVft.lpft)
            return 0;
        element.Value.ft = v.MVft.lpft[i];
        return 1;
    case PT_STRING8:
        if (!v.MVszA.lppszA)
            return 0;
        element.Value.lpszA = v.MVszA.lppszA[i];
        return 1;
    case PT_BINARY:
        if (!v.MVbin.lpbin)
            return 0;
        element.Value.bin = v.MVbin.lpbin[i];
        return 1;
    case PT_UNICODE:
        if (!v.MVszW.lppszW)
            return 0;
        element.Value.lpszW = v.MVszW.lppszW[i];
        return 1;
    case PT_CLSID:
        if (!v.MVguid.lpguid)
            return 0;
        element.Value.lpguid = &v.MVguid.lpguid[i];
        return 1;
    case PT_I8:
        if (!v.MVli.lpli)
            return 0;
        element.Value.li = v.MVli.lpli[i];
        return 1;
    default:
        return 0;
    }
}

std::string MultiValueLines(const SPropValue* pProp, UINT cchText)
{
    if (cchText == 0)
        return std::string();
    const size_t cbMax = cchText - 1;
    std::string text;
    const ULONG cValues = MultiValueCount(pProp);
    for (ULONG i = 0; i < cValues && text.size() <= cbMax; ++i) {
        SPropValue element;
        if (!MultiValueElement(pProp, i, element))
            break;
        if (i > 0)
            text += '\n';
        text += PropValueToText(&element, cchText);
    }
    return CutNarrow(text, cbMax);
}
