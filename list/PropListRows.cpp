#include "list/PropListRows.h"

#include "mapi/Prompts.h"
#include "tree/TreeNode.h"

#include <algorithm>

int ImageFromType(ULONG ulPropType)
{
    switch (ulPropType) {
    case PT_STRING8: return 0;
    case PT_APPTIME:
    case PT_SYSTIME: return 2;
    case PT_OBJECT: return 3;
    case PT_UNICODE: return 4;
    case PT_BINARY: return 5;
    case PT_BOOLEAN: return 6;
    case PT_CURRENCY: return 7;
    case PT_ERROR: return 8;
    default: return 1;
    }
}

IMAPIProp* EntryObject(const CTreeNode& node)
{
    switch (node.m_nKind) {
    case MAPI_STORE:
        return node.m_pStore ? node.m_pStore->Obj() : nullptr;
    case MAPI_FOLDER:
        return node.m_pContainer ? node.m_pContainer->Obj() : nullptr;
    case MAPI_ATTACH:
        return node.Attach();
    default:
        return node.Entry() ? dynamic_cast<IMAPIProp*>(node.Entry()->m_pObj) : nullptr;
    }
}

std::vector<CListRow> MakePropertyRows(const CPropValueArray& props, IMAPIProp* pSource)
{
    std::vector<CListRow> rows;
    rows.reserve(props.Count());
    for (ULONG i = props.Count(); i-- > 0;) {
        if (QuitRequested())
            break;
        CPropRowText text = FormatPropRow(props, i, pSource);
        CListRow row;
        row.texts = {std::move(text.strTag), std::move(text.strName), std::move(text.strNamedId),
                     std::move(text.strType), std::move(text.strValue)};
        row.nImage = ImageFromType(PROP_TYPE(props.At(i)->ulPropTag));
        row.item.pProp = props.At(i);
        rows.push_back(std::move(row));
    }
    return rows;
}

HRESULT MakeNamedPropertyRows(IMAPIProp* pStore, std::vector<CListRow>& rows)
{
    rows.clear();
    std::vector<CNamedPropText> names;
    const HRESULT hr = ListNamedPropTexts(pStore, names);
    if (FAILED(hr))
        return hr;
    rows.reserve(names.size());
    for (CNamedPropText& name : names) {
        CListRow row;
        row.texts = {std::move(name.strId), std::move(name.strKind), std::move(name.strName),
                     std::move(name.strGuid), std::move(name.strCanonical)};
        rows.push_back(std::move(row));
    }
    return hr;
}

void SortRows(std::vector<CListRow>& rows, int nColumn, bool bDescending)
{
    if (nColumn < 0 || nColumn >= kMaxColumns)
        return;
    for (CListRow& row : rows)
        row.item.strSortText = row.texts[static_cast<size_t>(nColumn)];
    // std::string compares its bytes as unsigned characters: a byte-wise,
    // case-sensitive order in which UTF-8 text sorts by code point.
    if (bDescending) {
        std::stable_sort(rows.begin(), rows.end(), [](const CListRow& a, const CListRow& b) {
            return b.item.strSortText < a.item.strSortText;
        });
    } else {
        std::stable_sort(rows.begin(), rows.end(), [](const CListRow& a, const CListRow& b) {
            return a.item.strSortText < b.item.strSortText;
        });
    }
}

std::string RowsAsText(const std::vector<const CListRow*>& rows, const std::vector<int>& columns)
{
    std::string text;
    for (const CListRow* pRow : rows) {
        bool bFirst = true;
        for (int nColumn : columns) {
            if (nColumn < 0 || nColumn >= kMaxColumns)
                continue;
            if (!bFirst)
                text += '\t';
            bFirst = false;
            for (char c : pRow->texts[static_cast<size_t>(nColumn)])
                text += c == '\t' || c == '\n' || c == '\r' ? ' ' : c;
        }
        text += '\n';
    }
    return text;
}
