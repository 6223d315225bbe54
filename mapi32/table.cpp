#include "mapi32/table.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapiutil.h"
#include "mapi32/unknown.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace dravik::mapi32 {
namespace {

struct BufferDeleter
{
    void operator()(SPropValue* p) const { MAPIFreeBuffer(p); }
};

struct Row
{
    std::unique_ptr<SPropValue, BufferDeleter> props;
    ULONG count = 0;
};

const SPropValue* FindValue(const SPropValue* props, ULONG count, ULONG tag)
{
    return PpropFindProp(const_cast<LPSPropValue>(props), count, tag);
}

} // namespace

bool ValueText(const SPropValue& v, std::string& out)
{
    out.clear();
    switch (PROP_TYPE(v.ulPropTag)) {
    case PT_STRING8:
        if (v.Value.lpszA)
            out = v.Value.lpszA;
        return true;
    case PT_UNICODE: {
        const WCHAR* s = v.Value.lpszW;
        if (!s)
            return true;
        for (size_t i = 0; s[i]; ++i) {
            char32_t c = s[i];
            if (c >= 0xD800 && c < 0xDC00 && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
                ++i;
            }
            if (c < 0x80) {
                out += char(c);
            } else if (c < 0x800) {
                out += char(0xC0 | (c >> 6));
                out += char(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out += char(0xE0 | (c >> 12));
                out += char(0x80 | ((c >> 6) & 0x3F));
                out += char(0x80 | (c & 0x3F));
            } else {
                out += char(0xF0 | (c >> 18));
                out += char(0x80 | ((c >> 12) & 0x3F));
                out += char(0x80 | ((c >> 6) & 0x3F));
                out += char(0x80 | (c & 0x3F));
            }
        }
        return true;
    }
    case PT_BINARY:
        if (v.Value.bin.lpb)
            out.assign(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
        return true;
    default:
        return false;
    }
}

namespace {

std::string Fold(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ContentMatches(const SContentRestriction& r, const SPropValue* props, ULONG count)
{
    if (!r.lpProp)
        return false;
    const SPropValue* v = FindValue(props, count, r.ulPropTag);
    std::string hay, needle;
    if (!v || !ValueText(*v, hay) || !ValueText(*r.lpProp, needle))
        return false;
    if (r.ulFuzzyLevel & (FL_IGNORECASE | FL_LOOSE)) {
        hay = Fold(hay);
        needle = Fold(needle);
    }
    switch (r.ulFuzzyLevel & 0xFFFFu) {
    case FL_FULLSTRING: return hay == needle;
    case FL_SUBSTRING: return hay.find(needle) != std::string::npos;
    case FL_PREFIX: return hay.compare(0, needle.size(), needle) == 0;
    default: return false;
    }
}

bool Relate(ULONG relop, LONG cmp)
{
    switch (relop) {
    case RELOP_LT: return cmp < 0;
    case RELOP_LE: return cmp <= 0;
    case RELOP_GT: return cmp > 0;
    case RELOP_GE: return cmp >= 0;
    case RELOP_EQ: return cmp == 0;
    case RELOP_NE: return cmp != 0;
    default: return false;
    }
}

ULONG ValueSize(const SPropValue& v)
{
    std::string s;
    if (ValueText(v, s))
        return static_cast<ULONG>(s.size());
    switch (PROP_TYPE(v.ulPropTag)) {
    case PT_I2: return 2;
    case PT_BOOLEAN: return 2;
    case PT_LONG: case PT_R4: case PT_ERROR: return 4;
    default: return 8;
    }
}

bool Matches(const SRestriction* r, const SPropValue* props, ULONG count, int depth)
{
    if (!r)
        return true;
    if (depth > 64)
        return false;  // deeper nesting than any caller builds: refuse rather than recurse without bound
    switch (r->rt) {
    case RES_AND:
        for (ULONG i = 0; i < r->res.resAnd.cRes; ++i)
            if (!r->res.resAnd.lpRes || !Matches(&r->res.resAnd.lpRes[i], props, count, depth + 1))
                return false;
        return true;
    case RES_OR:
        for (ULONG i = 0; i < r->res.resOr.cRes; ++i)
            if (r->res.resOr.lpRes && Matches(&r->res.resOr.lpRes[i], props, count, depth + 1))
                return true;
        return false;
    case RES_NOT:
        return r->res.resNot.lpRes && !Matches(r->res.resNot.lpRes, props, count, depth + 1);
    case RES_CONTENT:
        return ContentMatches(r->res.resContent, props, count);
    case RES_PROPERTY: {
        const SPropertyRestriction& p = r->res.resProperty;
        if (!p.lpProp)
            return false;
        const SPropValue* v = FindValue(props, count, p.ulPropTag);
        if (!v || PROP_TYPE(v->ulPropTag) != PROP_TYPE(p.lpProp->ulPropTag))
            return false;
        return Relate(p.relop, LPropCompareProp(const_cast<LPSPropValue>(v), p.lpProp));
    }
    case RES_COMPAREPROPS: {
        const SComparePropsRestriction& c = r->res.resCompareProps;
        const SPropValue* a = FindValue(props, count, c.ulPropTag1);
        const SPropValue* b = FindValue(props, count, c.ulPropTag2);
        if (!a || !b || PROP_TYPE(a->ulPropTag) != PROP_TYPE(b->ulPropTag))
            return false;
        return Relate(c.relop, LPropCompareProp(const_cast<LPSPropValue>(a), const_cast<LPSPropValue>(b)));
    }
    case RES_BITMASK: {
        const SBitMaskRestriction& b = r->res.resBitMask;
        const SPropValue* v = FindValue(props, count, b.ulPropTag);
        if (!v || PROP_TYPE(v->ulPropTag) != PT_LONG)
            return false;
        const bool zero = (v->Value.ul & b.ulMask) == 0;
        return b.relBMR == BMR_EQZ ? zero : !zero;
    }
    case RES_SIZE: {
        const SPropValue* v = FindValue(props, count, r->res.resSize.ulPropTag);
        if (!v)
            return false;
        const LONG cmp = ValueSize(*v) < r->res.resSize.cb ? -1 : (ValueSize(*v) > r->res.resSize.cb ? 1 : 0);
        return Relate(r->res.resSize.relop, cmp);
    }
    case RES_EXIST: {
        const SPropValue* v = FindValue(props, count, r->res.resExist.ulPropTag);
        return v && PROP_TYPE(v->ulPropTag) != PT_ERROR;
    }
    case RES_COMMENT:
        return Matches(r->res.resComment.lpRes, props, count, depth + 1);
    default:
        return false;  // sub-object restrictions: rows in memory have no sub-objects
    }
}

// Rows held in memory, as deep copies.
class MemoryRows final : public TableRowSource
{
public:
    explicit MemoryRows(std::vector<Row> rows) : m_rows(std::move(rows)) {}
    ULONG RowCount() const override { return static_cast<ULONG>(m_rows.size()); }
    HRESULT WithRow(ULONG index, const std::vector<ULONG>*, const RowUse& use) override
    {
        return use(m_rows[index].props.get(), m_rows[index].count);
    }
    std::vector<ULONG> AllColumns() override
    {
        std::vector<ULONG> all;
        for (const Row& row : m_rows)
            for (ULONG i = 0; i < row.count; ++i)
                if (std::find(all.begin(), all.end(), row.props.get()[i].ulPropTag) == all.end())
                    all.push_back(row.props.get()[i].ulPropTag);
        return all;
    }

private:
    std::vector<Row> m_rows;
};

class CTable final : public Unknown<IMAPITable, IID_IMAPITable>
{
public:
    CTable(std::shared_ptr<TableRowSource> source, std::vector<ULONG> columns)
        : m_source(std::move(source)), m_columns(std::move(columns)), m_rowCount(m_source->RowCount())
    {
    }

    HRESULT Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetStatus(ULONG* status, ULONG* type) override
    {
        if (!status || !type)
            return MAPI_E_INVALID_PARAMETER;
        *status = TBLSTAT_COMPLETE;
        *type = TBLTYPE_SNAPSHOT;
        return S_OK;
    }
    HRESULT SetColumns(LPSPropTagArray tags, ULONG) override
    {
        if (!tags)
            return MAPI_E_INVALID_PARAMETER;
        m_columns.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
        return S_OK;
    }
    HRESULT QueryColumns(ULONG flags, LPSPropTagArray* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (!(flags & TBL_ALL_COLUMNS))
            return CopyTagArray(m_columns, out);
        return CopyTagArray(m_source->AllColumns(), out);
    }
    HRESULT GetRowCount(ULONG, ULONG* count) override
    {
        if (!count)
            return MAPI_E_INVALID_PARAMETER;
        *count = ViewSize();
        return S_OK;
    }
    HRESULT SeekRow(BOOKMARK origin, LONG rows, LONG* sought) override
    {
        LONG base;
        const LONG size = static_cast<LONG>(ViewSize());
        if (origin == BOOKMARK_BEGINNING)
            base = 0;
        else if (origin == BOOKMARK_CURRENT)
            base = m_cursor;
        else if (origin == BOOKMARK_END)
            base = size;
        else {
            auto it = m_bookmarks.find(origin);
            if (it == m_bookmarks.end())
                return MAPI_E_INVALID_BOOKMARK;
            base = std::min<LONG>(it->second, size);
        }
        const std::int64_t target = std::clamp<std::int64_t>(std::int64_t(base) + rows, 0, size);
        if (sought)
            *sought = static_cast<LONG>(target - base);
        m_cursor = static_cast<LONG>(target);
        return S_OK;
    }
    HRESULT SeekRowApprox(ULONG num, ULONG den) override
    {
        if (den == 0)
            return MAPI_E_INVALID_PARAMETER;
        m_cursor = static_cast<LONG>(std::min<std::uint64_t>(std::uint64_t(ViewSize()) * num / den, ViewSize()));
        return S_OK;
    }
    HRESULT QueryPosition(ULONG* row, ULONG* num, ULONG* den) override
    {
        if (!row || !num || !den)
            return MAPI_E_INVALID_PARAMETER;
        *row = static_cast<ULONG>(m_cursor);
        *num = static_cast<ULONG>(m_cursor);
        *den = std::max<ULONG>(1, ViewSize());
        return S_OK;
    }
    HRESULT FindRow(LPSRestriction res, BOOKMARK origin, ULONG flags) override
    {
        if (!res)
            return MAPI_E_INVALID_PARAMETER;
        HRESULT hr = SeekRow(origin, 0, nullptr);
        if (FAILED(hr))
            return hr;
        const LONG start = m_cursor;
        const LONG n = static_cast<LONG>(ViewSize());
        const bool backward = (flags & DIR_BACKWARD) != 0;
        for (LONG i = backward ? std::min(start, n) - 1 : start; backward ? i >= 0 : i < n; i += backward ? -1 : 1) {
            bool match = false;
            hr = m_source->WithRow(RowAt(i), nullptr, [&](const SPropValue* props, ULONG count) {
                match = RestrictionMatches(res, props, count);
                return S_OK;
            });
            if (FAILED(hr))
                return hr;
            if (match) {
                m_cursor = i;
                return S_OK;
            }
        }
        return MAPI_E_NOT_FOUND;
    }
    HRESULT Restrict(LPSRestriction res, ULONG) override
    {
        // The restriction is applied now, as a list of the rows it keeps: rows never change.
        std::optional<std::vector<ULONG>> matching;
        if (res) {
            matching.emplace();
            for (ULONG i = 0; i < m_rowCount; ++i) {
                const HRESULT hr = m_source->WithRow(i, nullptr, [&](const SPropValue* props, ULONG count) {
                    if (RestrictionMatches(res, props, count))
                        matching->push_back(i);
                    return S_OK;
                });
                if (FAILED(hr))
                    return hr;
            }
        }
        return SetView(std::move(matching), m_sort);
    }
    HRESULT CreateBookmark(BOOKMARK* bk) override
    {
        if (!bk)
            return MAPI_E_INVALID_PARAMETER;
        *bk = m_nextBookmark++;
        m_bookmarks[*bk] = m_cursor;
        return S_OK;
    }
    HRESULT FreeBookmark(BOOKMARK bk) override
    {
        if (bk <= BOOKMARK_END)
            return S_OK;
        return m_bookmarks.erase(bk) ? S_OK : MAPI_E_INVALID_BOOKMARK;
    }
    HRESULT SortTable(LPSSortOrderSet sort, ULONG) override
    {
        if (!sort)
            return MAPI_E_INVALID_PARAMETER;
        return SetView(m_matching, std::vector<SSortOrder>(sort->aSort, sort->aSort + sort->cSorts));
    }
    HRESULT QuerySortOrder(LPSSortOrderSet* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        void* p = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSSortOrderSet(m_sort.size())), &p);
        if (FAILED(hr))
            return hr;
        auto* s = static_cast<LPSSortOrderSet>(p);
        s->cSorts = static_cast<ULONG>(m_sort.size());
        s->cCategories = 0;
        s->cExpanded = 0;
        std::copy(m_sort.begin(), m_sort.end(), s->aSort);
        *out = s;
        return S_OK;
    }
    HRESULT QueryRows(LONG count, ULONG flags, LPSRowSet* out) override
    {
        if (!out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        LONG first, n;
        if (count >= 0) {
            first = m_cursor;
            n = std::min<LONG>(count, static_cast<LONG>(ViewSize()) - m_cursor);
        } else {
            n = static_cast<LONG>(std::min<std::int64_t>(-std::int64_t(count), m_cursor));
            first = m_cursor - n;
        }
        void* p = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(n)), &p);
        if (FAILED(hr))
            return hr;
        auto* set = static_cast<LPSRowSet>(p);
        set->cRows = 0;
        for (LONG i = 0; i < n; ++i) {
            hr = m_source->WithRow(RowAt(first + i), &m_columns, [&](const SPropValue* props, ULONG cValues) {
                return BuildRow(props, cValues, set->aRow[i]);
            });
            if (FAILED(hr)) {
                FreeProws(set);
                return hr;
            }
            set->cRows = i + 1;
        }
        if (!(flags & TBL_NOADVANCE))
            m_cursor = count >= 0 ? first + n : first;
        *out = set;
        return S_OK;
    }
    HRESULT Abort() override { return S_OK; }
    HRESULT ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WaitForCompletion(ULONG, ULONG, ULONG* status) override
    {
        if (status)
            *status = TBLSTAT_COMPLETE;
        return S_OK;
    }
    HRESULT GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }

private:
    ~CTable() = default;

    // The view: every row in the source's order, or the rows a restriction
    // kept, or either sorted.
    ULONG ViewSize() const { return m_view ? static_cast<ULONG>(m_view->size()) : m_rowCount; }
    ULONG RowAt(LONG viewIndex) const { return m_view ? (*m_view)[static_cast<size_t>(viewIndex)] : ULONG(viewIndex); }

    // Takes a restriction's rows and a sort order, sorting the rows by the
    // sort keys read once from each; on failure the table is left as it was.
    HRESULT SetView(std::optional<std::vector<ULONG>> matching, std::vector<SSortOrder> sort)
    {
        std::optional<std::vector<ULONG>> view = matching;
        if (!sort.empty()) {
            if (!view) {
                view.emplace(m_rowCount);
                for (ULONG i = 0; i < m_rowCount; ++i)
                    (*view)[i] = i;
            }
            // keys[k * width + s]: the k-th row's value of sort column s, copied into one buffer per row.
            const size_t width = sort.size();
            std::vector<LPSPropValue> keys(view->size() * width, nullptr);
            std::vector<std::unique_ptr<SPropValue, BufferDeleter>> buffers(view->size());
            std::vector<ULONG> sortTags;
            for (const SSortOrder& s : sort)
                sortTags.push_back(s.ulPropTag);
            for (size_t k = 0; k < view->size(); ++k) {
                const HRESULT hr = m_source->WithRow((*view)[k], &sortTags, [&](const SPropValue* props, ULONG count) {
                    std::vector<SPropValue> found;
                    std::vector<size_t> where;
                    for (size_t s = 0; s < width; ++s)
                        if (const SPropValue* v = FindValue(props, count, sort[s].ulPropTag)) {
                            found.push_back(*v);
                            where.push_back(s);
                        }
                    if (found.empty())
                        return S_OK;
                    LPSPropValue dup = nullptr;
                    const HRESULT h = ScDupPropset(static_cast<int>(found.size()), found.data(), nullptr, &dup);
                    if (FAILED(h))
                        return h;
                    buffers[k].reset(dup);
                    for (size_t j = 0; j < where.size(); ++j)
                        keys[k * width + where[j]] = &dup[j];
                    return S_OK;
                });
                if (FAILED(hr))
                    return hr;
            }
            std::vector<size_t> order(view->size());
            for (size_t k = 0; k < order.size(); ++k)
                order[k] = k;
            std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
                for (size_t s = 0; s < width; ++s) {
                    const SPropValue* va = keys[a * width + s];
                    const SPropValue* vb = keys[b * width + s];
                    LONG c;
                    if (!va || !vb)
                        c = (va != nullptr) - (vb != nullptr);  // missing values sort first
                    else
                        c = LPropCompareProp(const_cast<LPSPropValue>(va), const_cast<LPSPropValue>(vb));
                    if (sort[s].ulOrder == TABLE_SORT_DESCEND)
                        c = -c;
                    if (c)
                        return c < 0;
                }
                return false;
            });
            std::vector<ULONG> sorted(order.size());
            for (size_t k = 0; k < order.size(); ++k)
                sorted[k] = (*view)[order[k]];
            view = std::move(sorted);
        }
        m_matching = std::move(matching);
        m_sort = std::move(sort);
        m_view = std::move(view);
        m_cursor = 0;
        m_bookmarks.clear();
        return S_OK;
    }

    HRESULT BuildRow(const SPropValue* props, ULONG count, SRow& dst)
    {
        dst.ulAdrEntryPad = 0;
        dst.cValues = static_cast<ULONG>(m_columns.size());
        dst.lpProps = nullptr;
        void* p = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * std::max<size_t>(1, m_columns.size())), &p);
        if (FAILED(hr))
            return hr;
        auto* vals = static_cast<LPSPropValue>(p);
        const bool errors = std::any_of(props, props + count, [](const SPropValue& v) {
            return PROP_TYPE(v.ulPropTag) == PT_ERROR;
        });
        for (size_t c = 0; c < m_columns.size(); ++c) {
            const ULONG tag = m_columns[c];
            const SPropValue* v = FindValue(props, count, tag);
            if (!v && errors && PROP_TYPE(tag) != PT_ERROR) {
                // A value the source could not read is PT_ERROR under the column's ID,
                // whatever the column's type: its error, not "not found", fills the column.
                if (const SPropValue* e = FindValue(props, count, CHANGE_PROP_TYPE(tag, PT_ERROR))) {
                    vals[c].ulPropTag = e->ulPropTag;
                    vals[c].dwAlignPad = 0;
                    vals[c].Value.err = e->Value.err;
                    continue;
                }
            }
            if (v) {
                hr = PropCopyMore(&vals[c], const_cast<LPSPropValue>(v), p);
                if (FAILED(hr)) {
                    MAPIFreeBuffer(p);
                    return hr;
                }
            } else {
                vals[c].ulPropTag = CHANGE_PROP_TYPE(tag, PT_ERROR);
                vals[c].dwAlignPad = 0;
                vals[c].Value.err = MAPI_E_NOT_FOUND;
            }
        }
        dst.lpProps = vals;
        return S_OK;
    }

    std::shared_ptr<TableRowSource> m_source;
    std::vector<ULONG> m_columns;
    const ULONG m_rowCount;
    std::optional<std::vector<ULONG>> m_matching;  // the rows a restriction keeps; none: every row
    std::vector<SSortOrder> m_sort;
    std::optional<std::vector<ULONG>> m_view;  // source rows, restricted and sorted; none: every row in order
    LONG m_cursor = 0;
    std::map<BOOKMARK, LONG> m_bookmarks;
    BOOKMARK m_nextBookmark = BOOKMARK_END + 1;
};

} // namespace

bool RestrictionMatches(const SRestriction* restriction, const SPropValue* props, ULONG count)
{
    return Matches(restriction, props, count, 0);
}

HRESULT CreateTable(std::shared_ptr<TableRowSource> source, const std::vector<ULONG>& defaultColumns,
                    LPMAPITABLE* lppTable)
{
    if (!lppTable || !source)
        return MAPI_E_INVALID_PARAMETER;
    *lppTable = new CTable(std::move(source), defaultColumns);
    return S_OK;
}

HRESULT CreateMemoryTable(const std::vector<std::vector<SPropValue>>& rows, const std::vector<ULONG>& defaultColumns,
                          LPMAPITABLE* lppTable)
{
    if (!lppTable)
        return MAPI_E_INVALID_PARAMETER;
    *lppTable = nullptr;
    std::vector<Row> copies;
    copies.reserve(rows.size());
    for (const auto& r : rows) {
        LPSPropValue dup = nullptr;
        HRESULT hr = ScDupPropset(static_cast<int>(r.size()), const_cast<LPSPropValue>(r.data()), nullptr, &dup);
        if (FAILED(hr))
            return hr;
        Row row;
        row.props.reset(dup);
        row.count = static_cast<ULONG>(r.size());
        copies.push_back(std::move(row));
    }
    return CreateTable(std::make_shared<MemoryRows>(std::move(copies)), defaultColumns, lppTable);
}

HRESULT CopyTagArray(const std::vector<ULONG>& tags, LPSPropTagArray* out)
{
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(tags.size())), &p);
    if (FAILED(hr))
        return hr;
    auto* a = static_cast<LPSPropTagArray>(p);
    a->cValues = static_cast<ULONG>(tags.size());
    std::copy(tags.begin(), tags.end(), a->aulPropTag);
    *out = a;
    return S_OK;
}

} // namespace dravik::mapi32

HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray tags, LPSRestriction res, LPSSortOrderSet sort,
                       LONG crowsMax, LPSRowSet* rows)
{
    if (!table || !rows)
        return MAPI_E_INVALID_PARAMETER;
    *rows = nullptr;
    HRESULT hr = S_OK;
    if (tags && FAILED(hr = table->SetColumns(tags, TBL_BATCH)))
        return hr;
    if (res && FAILED(hr = table->Restrict(res, TBL_BATCH)))
        return hr;
    if (sort && FAILED(hr = table->SortTable(sort, TBL_BATCH)))
        return hr;
    if (FAILED(hr = table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr)))
        return hr;
    ULONG count = 0;
    if (FAILED(hr = table->GetRowCount(0, &count)))
        return hr;
    if (crowsMax > 0 && count > static_cast<ULONG>(crowsMax))
        return MAPI_E_TABLE_TOO_BIG;
    return table->QueryRows(static_cast<LONG>(std::min<ULONG>(count, 0x7FFFFFFF)), 0, rows);
}
