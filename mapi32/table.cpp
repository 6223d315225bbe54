#include "mapi32/table.h"

#include "mapi32/alloc.h"
#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapiutil.h"
#include "mapi32/unknown.h"
#include "mapi32/utf.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
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

// ---- Restrictions ------------------------------------------------------------
//
// Each restriction type follows MAPI's rules:
// - a property the row lacks, or holds as an error value, never satisfies a
//   comparison, a content, bitmask or size restriction (NOT of one does);
// - PT_STRING8 and PT_UNICODE are the same text: the restriction's string
//   type finds the property in either, and they compare as Unicode text;
// - PT_UNSPECIFIED in a restriction's tag finds the property by its ID alone;
// - a multi-valued property satisfies a restriction on its single-valued
//   type when one of its values does;
// - integers of any width compare by value.

bool IsStringType(ULONG type) { return type == PT_STRING8 || type == PT_UNICODE; }
bool IsIntegerType(ULONG type) { return type == PT_I2 || type == PT_LONG || type == PT_I8; }

// Whether a value of type have can stand for the restriction's type want
// (both without MV_FLAG).
bool TypeFits(ULONG want, ULONG have)
{
    return want == PT_UNSPECIFIED || want == have || (IsStringType(want) && IsStringType(have)) ||
           (IsIntegerType(want) && IsIntegerType(have));
}

// The row's value for a restriction's tag (see above), or null.
const SPropValue* FindForRestriction(const SPropValue* props, ULONG count, ULONG tag)
{
    if (!props)
        return nullptr;
    if (const SPropValue* exact = FindValue(props, count, tag))
        return PROP_TYPE(exact->ulPropTag) == PT_ERROR ? nullptr : exact;
    const ULONG want = PROP_TYPE(tag) & ~MVI_FLAG;
    for (ULONG i = 0; i < count; ++i) {
        const ULONG have = PROP_TYPE(props[i].ulPropTag);
        if (PROP_ID(props[i].ulPropTag) == PROP_ID(tag) && have != PT_ERROR && TypeFits(want, have & ~MVI_FLAG))
            return &props[i];
    }
    return nullptr;
}

// The values of v: itself, or each value of a multi-valued property as a
// single value. use returns true to stop; the result is whether it did.
bool AnyValue(const SPropValue& v, const std::function<bool(const SPropValue&)>& use)
{
    const ULONG type = PROP_TYPE(v.ulPropTag);
    if (!(type & MV_FLAG))
        return use(v);
    SPropValue one{};
    one.ulPropTag = CHANGE_PROP_TYPE(v.ulPropTag, type & ~MVI_FLAG);
    const _PV& x = v.Value;
    const auto each = [&](ULONG n, auto&& set) {
        for (ULONG i = 0; i < n; ++i) {
            set(i);
            if (use(one))
                return true;
        }
        return false;
    };
    switch (type & ~MVI_FLAG) {
    case PT_I2: return x.MVi.lpi && each(x.MVi.cValues, [&](ULONG i) { one.Value.i = x.MVi.lpi[i]; });
    case PT_LONG: return x.MVl.lpl && each(x.MVl.cValues, [&](ULONG i) { one.Value.l = x.MVl.lpl[i]; });
    case PT_R4: return x.MVflt.lpflt && each(x.MVflt.cValues, [&](ULONG i) { one.Value.flt = x.MVflt.lpflt[i]; });
    case PT_DOUBLE: return x.MVdbl.lpdbl && each(x.MVdbl.cValues, [&](ULONG i) { one.Value.dbl = x.MVdbl.lpdbl[i]; });
    case PT_I8: return x.MVli.lpli && each(x.MVli.cValues, [&](ULONG i) { one.Value.li = x.MVli.lpli[i]; });
    case PT_SYSTIME: return x.MVft.lpft && each(x.MVft.cValues, [&](ULONG i) { one.Value.ft = x.MVft.lpft[i]; });
    case PT_STRING8: return x.MVszA.lppszA && each(x.MVszA.cValues, [&](ULONG i) { one.Value.lpszA = x.MVszA.lppszA[i]; });
    case PT_UNICODE: return x.MVszW.lppszW && each(x.MVszW.cValues, [&](ULONG i) { one.Value.lpszW = x.MVszW.lppszW[i]; });
    case PT_BINARY: return x.MVbin.lpbin && each(x.MVbin.cValues, [&](ULONG i) { one.Value.bin = x.MVbin.lpbin[i]; });
    case PT_CLSID: return x.MVguid.lpguid && each(x.MVguid.cValues, [&](ULONG i) { one.Value.lpguid = &x.MVguid.lpguid[i]; });
    default: return false;
    }
}

// UTF-8 to code points; a byte that does not start a valid sequence stands for itself.
std::u32string CodePoints(const std::string& s)
{
    std::u32string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) {
            out += char32_t(c);
            ++i;
            continue;
        }
        char32_t cp = n == 1 ? c : (c & (0x7F >> n));
        bool ok = true;
        for (size_t k = 1; k < n; ++k) {
            const unsigned char t = static_cast<unsigned char>(s[i + k]);
            ok = ok && (t >> 6) == 2;
            cp = (cp << 6) | (t & 0x3F);
        }
        if (!ok) {
            out += char32_t(c);
            ++i;
            continue;
        }
        out += cp;
        i += n;
    }
    return out;
}

// The lower case of the letters of Latin-1, Latin Extended-A, Greek and Cyrillic.
char32_t LowerCase(char32_t c)
{
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) || (c >= 0x410 && c <= 0x42F))
        return c + 0x20;
    if (c >= 0x400 && c <= 0x40F)
        return c + 0x50;
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
        const bool oddPairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        return oddPairs ? ((c & 1) ? c + 1 : c) : ((c & 1) ? c : c + 1);
    }
    return c;
}

// The letter without its accent, for the accented letters of Latin-1.
char32_t BaseLetter(char32_t c)
{
    static const char kUpper[] = "AAAAAAACEEEEIIIIDNOOOOO*OUUUUY";  // U+00C0..U+00DD
    static const char kLower[] = "aaaaaaaceeeeiiiidnooooo/ouuuuy";  // U+00E0..U+00FD
    if (c >= 0xC0 && c <= 0xDD && c != 0xD7 && c != 0xC6)
        return char32_t(kUpper[c - 0xC0]);
    if (c >= 0xE0 && c <= 0xFD && c != 0xF7 && c != 0xE6)
        return char32_t(kLower[c - 0xE0]);
    if (c == 0xFF)
        return 'y';
    return c;
}

// A string's text as the fuzzy level compares it: case folded with
// FL_IGNORECASE or FL_LOOSE, accents dropped with FL_IGNORENONSPACE or FL_LOOSE.
std::u32string Comparable(const std::string& utf8, ULONG fuzzy)
{
    std::u32string s = CodePoints(utf8);
    const bool nonspace = fuzzy & (FL_IGNORENONSPACE | FL_LOOSE);
    const bool nocase = fuzzy & (FL_IGNORECASE | FL_LOOSE);
    std::u32string out;
    out.reserve(s.size());
    for (char32_t c : s) {
        if (nonspace && c >= 0x300 && c <= 0x36F)
            continue;  // a combining mark
        if (nonspace)
            c = BaseLetter(c);
        if (nocase)
            c = LowerCase(c);
        out += c;
    }
    return out;
}

bool ContentMatches(const SContentRestriction& r, const SPropValue* props, ULONG count)
{
    if (!r.lpProp)
        return false;
    const SPropValue* v = FindForRestriction(props, count, r.ulPropTag);
    std::string needleBytes;
    if (!v || !ValueText(*r.lpProp, needleBytes))
        return false;
    const bool binary = PROP_TYPE(r.lpProp->ulPropTag) == PT_BINARY;
    const std::u32string needle = binary ? std::u32string() : Comparable(needleBytes, r.ulFuzzyLevel);
    return AnyValue(*v, [&](const SPropValue& one) {
        std::string hayBytes;
        if (!ValueText(one, hayBytes) || (PROP_TYPE(one.ulPropTag) == PT_BINARY) != binary)
            return false;
        const auto test = [&](const auto& hay, const auto& n) {
            switch (r.ulFuzzyLevel & 0xFFFFu) {
            case FL_FULLSTRING: return hay == n;
            case FL_SUBSTRING: return hay.find(n) != hay.npos;
            case FL_PREFIX: return hay.compare(0, n.size(), n) == 0;
            default: return false;
            }
        };
        return binary ? test(hayBytes, needleBytes) : test(Comparable(hayBytes, r.ulFuzzyLevel), needle);
    });
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

std::int64_t IntegerValue(const SPropValue& v)
{
    switch (PROP_TYPE(v.ulPropTag)) {
    case PT_I2: return v.Value.i;
    case PT_LONG: return v.Value.l;
    default: return v.Value.li.QuadPart;
    }
}

// Compares two single values of fitting types; false when they cannot be compared.
bool CompareValues(const SPropValue& a, const SPropValue& b, LONG& cmp)
{
    const ULONG ta = PROP_TYPE(a.ulPropTag), tb = PROP_TYPE(b.ulPropTag);
    if (IsStringType(ta) && IsStringType(tb)) {
        std::string x, y;
        ValueText(a, x);
        ValueText(b, y);
        const int r = x.compare(y);  // UTF-8 bytes order as code points do
        cmp = r < 0 ? -1 : (r > 0 ? 1 : 0);
        return true;
    }
    if (IsIntegerType(ta) && IsIntegerType(tb)) {
        const std::int64_t x = IntegerValue(a), y = IntegerValue(b);
        cmp = x < y ? -1 : (x > y ? 1 : 0);
        return true;
    }
    if (ta != tb)
        return false;
    cmp = LPropCompareProp(const_cast<LPSPropValue>(&a), const_cast<LPSPropValue>(&b));
    return true;
}

// The size in bytes of a value as MAPI holds it: a string with its terminator.
ULONG ValueSize(const SPropValue& v)
{
    const ULONG type = PROP_TYPE(v.ulPropTag);
    if (type & MV_FLAG) {
        ULONG total = 0;
        AnyValue(v, [&](const SPropValue& one) {
            total += ValueSize(one);
            return false;
        });
        return total;
    }
    switch (type) {
    case PT_STRING8: return v.Value.lpszA ? static_cast<ULONG>(std::strlen(v.Value.lpszA) + 1) : 0;
    case PT_UNICODE: {
        ULONG n = 0;
        if (v.Value.lpszW)
            while (v.Value.lpszW[n])
                ++n;
        return v.Value.lpszW ? (n + 1) * 2 : 0;
    }
    case PT_BINARY: return v.Value.bin.cb;
    case PT_I2: return 2;
    case PT_BOOLEAN: return 2;
    case PT_LONG: case PT_R4: case PT_ERROR: return 4;
    case PT_CLSID: return 16;
    default: return 8;
    }
}

bool Matches(const SRestriction* r, const SPropValue* props, ULONG count, const SubObjectMatcher* subs, int depth)
{
    if (!r)
        return true;
    if (depth > 64)
        return false;  // deeper nesting than any caller builds: refuse rather than recurse without bound
    switch (r->rt) {
    case RES_AND:
        for (ULONG i = 0; i < r->res.resAnd.cRes; ++i)
            if (!r->res.resAnd.lpRes || !Matches(&r->res.resAnd.lpRes[i], props, count, subs, depth + 1))
                return false;
        return true;
    case RES_OR:
        for (ULONG i = 0; i < r->res.resOr.cRes; ++i)
            if (r->res.resOr.lpRes && Matches(&r->res.resOr.lpRes[i], props, count, subs, depth + 1))
                return true;
        return false;
    case RES_NOT:
        return r->res.resNot.lpRes && !Matches(r->res.resNot.lpRes, props, count, subs, depth + 1);
    case RES_CONTENT:
        return ContentMatches(r->res.resContent, props, count);
    case RES_PROPERTY: {
        const SPropertyRestriction& p = r->res.resProperty;
        if (!p.lpProp)
            return false;
        const SPropValue* v = FindForRestriction(props, count, p.ulPropTag);
        if (!v)
            return false;
        return AnyValue(*v, [&](const SPropValue& one) {
            LONG cmp = 0;
            return CompareValues(one, *p.lpProp, cmp) && Relate(p.relop, cmp);
        });
    }
    case RES_COMPAREPROPS: {
        const SComparePropsRestriction& c = r->res.resCompareProps;
        const SPropValue* a = FindForRestriction(props, count, c.ulPropTag1);
        const SPropValue* b = FindForRestriction(props, count, c.ulPropTag2);
        LONG cmp = 0;
        return a && b && !(PROP_TYPE(a->ulPropTag) & MV_FLAG) && !(PROP_TYPE(b->ulPropTag) & MV_FLAG) &&
               CompareValues(*a, *b, cmp) && Relate(c.relop, cmp);
    }
    case RES_BITMASK: {
        const SBitMaskRestriction& b = r->res.resBitMask;
        const SPropValue* v = FindForRestriction(props, count, b.ulPropTag);
        if (!v || !IsIntegerType(PROP_TYPE(v->ulPropTag)))
            return false;
        const bool zero = (static_cast<std::uint64_t>(IntegerValue(*v)) & b.ulMask) == 0;
        return b.relBMR == BMR_EQZ ? zero : !zero;
    }
    case RES_SIZE: {
        const SPropValue* v = FindForRestriction(props, count, r->res.resSize.ulPropTag);
        if (!v)
            return false;
        const ULONG size = ValueSize(*v);
        return Relate(r->res.resSize.relop, size < r->res.resSize.cb ? -1 : (size > r->res.resSize.cb ? 1 : 0));
    }
    case RES_EXIST:
        return FindForRestriction(props, count, r->res.resExist.ulPropTag) != nullptr;
    case RES_SUBRESTRICTION:
        // Rows of a table have no sub-objects; an object's caller says how to reach its own.
        return subs && *subs && r->res.resSub.lpRes && (*subs)(r->res.resSub.ulSubObject, r->res.resSub.lpRes);
    case RES_COMMENT:
        return Matches(r->res.resComment.lpRes, props, count, subs, depth + 1);
    default:
        return false;
    }
}

void CollectTags(const SRestriction* r, std::vector<ULONG>& tags, int depth)
{
    if (!r || depth > 64)
        return;
    const auto add = [&](ULONG tag) { tags.push_back(tag); };
    switch (r->rt) {
    case RES_AND: case RES_OR:
        if (r->res.resAnd.lpRes)
            for (ULONG i = 0; i < r->res.resAnd.cRes; ++i)
                CollectTags(&r->res.resAnd.lpRes[i], tags, depth + 1);
        break;
    case RES_NOT: CollectTags(r->res.resNot.lpRes, tags, depth + 1); break;
    case RES_COMMENT: CollectTags(r->res.resComment.lpRes, tags, depth + 1); break;
    case RES_CONTENT: add(r->res.resContent.ulPropTag); break;
    case RES_PROPERTY: add(r->res.resProperty.ulPropTag); break;
    case RES_COMPAREPROPS: add(r->res.resCompareProps.ulPropTag1); add(r->res.resCompareProps.ulPropTag2); break;
    case RES_BITMASK: add(r->res.resBitMask.ulPropTag); break;
    case RES_SIZE: add(r->res.resSize.ulPropTag); break;
    case RES_EXIST: add(r->res.resExist.ulPropTag); break;
    default: break;  // a sub-restriction names the sub-object's properties, not the row's
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
        m_shapeValid = false;
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
        const std::vector<ULONG> tags = RestrictionTags(res);
        m_abort.store(false);
        for (LONG i = backward ? std::min(start, n) - 1 : start; backward ? i >= 0 : i < n; i += backward ? -1 : 1) {
            if (m_abort.load(std::memory_order_relaxed))
                return MAPI_E_USER_CANCEL;
            bool match = false;
            hr = m_source->WithRow(RowAt(i), &tags, [&](const SPropValue* props, ULONG count) {
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
            const std::vector<ULONG> tags = RestrictionTags(res);
            m_abort.store(false);
            for (ULONG i = 0; i < m_rowCount; ++i) {
                if (m_abort.load(std::memory_order_relaxed))
                    return MAPI_E_USER_CANCEL;
                const HRESULT hr = m_source->WithRow(i, &tags, [&](const SPropValue* props, ULONG count) {
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
        // The rows are asked for at once: a source reads many rows for the
        // cost of one call.
        m_rowIndexes.resize(static_cast<size_t>(n));
        for (LONG i = 0; i < n; ++i)
            m_rowIndexes[static_cast<size_t>(i)] = RowAt(first + i);
        // The rows' buffers carved from shared chunks: one allocation for many
        // rows. Two pointers captured: small enough for the function to hold
        // without allocating.
        struct
        {
            LPSRowSet set;
            CBufferRun run;
        } page{set, {}};
        hr = m_source->WithRows(m_rowIndexes, &m_columns, [this, &page](size_t k, const SPropValue* props, ULONG cValues) {
            const HRESULT built = BuildRow(props, cValues, page.set->aRow[k], page.run);
            if (SUCCEEDED(built))
                page.set->cRows = static_cast<ULONG>(k + 1);
            return built;
        });
        if (FAILED(hr)) {
            FreeProws(set);
            return hr;
        }
        if (!(flags & TBL_NOADVANCE))
            m_cursor = count >= 0 ? first + n : first;
        *out = set;
        return S_OK;
    }
    // Stops a FindRow or Restrict running on another thread: it fails with
    // MAPI_E_USER_CANCEL, leaving the table as it was.
    HRESULT Abort() override
    {
        m_abort.store(true);
        return S_OK;
    }
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

    // The bytes a value's data takes when it is copied into the row's own
    // buffer: a string with its terminator, a binary value's bytes; 0 for a
    // value without data; SIZE_MAX for one copied by PropCopyMore instead
    // (GUIDs and multi-valued types, rare in a row).
    static size_t InlineBytes(const SPropValue& v)
    {
        switch (PROP_TYPE(v.ulPropTag)) {
        case PT_STRING8:
            return v.Value.lpszA ? std::strlen(v.Value.lpszA) + 1 : 0;
        case PT_UNICODE: {
            if (!v.Value.lpszW)
                return 0;
            return (Utf16Length(v.Value.lpszW) + 1) * sizeof(WCHAR);
        }
        case PT_BINARY:
        case PT_SVREID:
            return v.Value.bin.cb;
        case PT_CLSID:
            return SIZE_MAX;
        default:
            return (PROP_TYPE(v.ulPropTag) & MV_FLAG) ? SIZE_MAX : 0;
        }
    }

    // Which of a row's values fills each column (SIZE_MAX: none), as BuildRow
    // finds them: the first value with the column's tag, else (a value the
    // source could not read) the first PT_ERROR value under the column's ID.
    // A table's rows mostly hold the same tags in the same order: the answer
    // is worked out again only when a row's tags differ from the last row's.
    const std::vector<size_t>& ColumnValues(const SPropValue* props, ULONG count)
    {
        bool same = m_shapeValid && m_shape.size() == count;
        for (ULONG i = 0; same && i < count; ++i)
            same = m_shape[i] == props[i].ulPropTag;
        if (same)
            return m_found;
        m_shape.resize(count);
        bool errors = false;
        for (ULONG i = 0; i < count; ++i) {
            m_shape[i] = props[i].ulPropTag;
            errors = errors || PROP_TYPE(props[i].ulPropTag) == PT_ERROR;
        }
        m_found.assign(m_columns.size(), SIZE_MAX);
        for (size_t c = 0; c < m_columns.size(); ++c) {
            const ULONG tag = m_columns[c];
            const SPropValue* v = FindValue(props, count, tag);
            if (!v && errors && PROP_TYPE(tag) != PT_ERROR) {
                // A value the source could not read is PT_ERROR under the column's ID,
                // whatever the column's type: its error, not "not found", fills the column.
                v = FindValue(props, count, CHANGE_PROP_TYPE(tag, PT_ERROR));
            }
            if (v)
                m_found[c] = static_cast<size_t>(v - props);
        }
        m_shapeValid = true;
        return m_found;
    }

    // A row in the caller's buffer: one MAPIAllocateBuffer holds the values and
    // the data of their strings and binary values (freed with the row by one
    // MAPIFreeBuffer); anything else is chained onto it by PropCopyMore. The
    // buffer is sized in one pass over the columns and filled in the next.
    HRESULT BuildRow(const SPropValue* props, ULONG count, SRow& dst, CBufferRun& run)
    {
        dst.ulAdrEntryPad = 0;
        dst.cValues = static_cast<ULONG>(m_columns.size());
        dst.lpProps = nullptr;
        const std::vector<size_t>& found = ColumnValues(props, count);
        const size_t cColumns = m_columns.size();
        m_inline.resize(cColumns);
        const size_t cbValues = sizeof(SPropValue) * std::max<size_t>(1, cColumns);
        std::uint64_t cbTotal = cbValues;
        for (size_t c = 0; c < cColumns; ++c) {
            const size_t cb = found[c] == SIZE_MAX ? 0 : InlineBytes(props[found[c]]);
            m_inline[c] = cb;
            if (cb != SIZE_MAX)
                cbTotal += (cb + 7) & ~size_t(7);
        }
        if (cbTotal > 0xFFFFFFFFu)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        // Not zeroed first: every byte is written below (each value whole, each
        // value's data with the zeros that pad it to eight bytes).
        void* p = nullptr;
        HRESULT hr = run.Allocate(static_cast<ULONG>(cbTotal), &p);
        if (FAILED(hr))
            return hr;
        auto* vals = static_cast<LPSPropValue>(p);
        if (cColumns == 0)
            std::memset(vals, 0, sizeof(SPropValue));
        char* data = static_cast<char*>(p) + cbValues;
        for (size_t c = 0; c < cColumns; ++c) {
            if (found[c] == SIZE_MAX) {
                vals[c].ulPropTag = CHANGE_PROP_TYPE(m_columns[c], PT_ERROR);
                vals[c].dwAlignPad = 0;
                std::memset(&vals[c].Value, 0, sizeof(vals[c].Value));
                vals[c].Value.err = MAPI_E_NOT_FOUND;
                continue;
            }
            const SPropValue* v = &props[found[c]];
            const size_t cb = m_inline[c];
            if (cb == SIZE_MAX) {
                hr = PropCopyMore(&vals[c], const_cast<LPSPropValue>(v), p);
                if (FAILED(hr)) {
                    MAPIFreeBuffer(p);
                    return hr;
                }
                continue;
            }
            vals[c] = *v;
            if (PROP_TYPE(v->ulPropTag) == PT_ERROR)
                vals[c].dwAlignPad = 0;
            // What PropCopyMore makes: no data, no pointer; else a copy (zeros
            // for a binary value without bytes).
            void* pCopy = cb == 0 ? nullptr : data;
            const size_t cbPadded = (cb + 7) & ~size_t(7);
            if (cbPadded != 0)
                std::memset(data + cbPadded - 8, 0, 8);  // the padding after the copy
            switch (PROP_TYPE(v->ulPropTag)) {
            case PT_STRING8:
                if (cb)
                    std::memcpy(data, v->Value.lpszA, cb);
                vals[c].Value.lpszA = static_cast<LPSTR>(pCopy);
                break;
            case PT_UNICODE:
                if (cb)
                    std::memcpy(data, v->Value.lpszW, cb);
                vals[c].Value.lpszW = static_cast<LPWSTR>(pCopy);
                break;
            case PT_BINARY:
            case PT_SVREID:
                if (cb && v->Value.bin.lpb)
                    std::memcpy(data, v->Value.bin.lpb, cb);
                else if (cb)
                    std::memset(data, 0, cb);
                vals[c].Value.bin.lpb = static_cast<LPBYTE>(pCopy);
                break;
            default:
                break;
            }
            data += cbPadded;
        }
        dst.lpProps = vals;
        return S_OK;
    }

    // BuildRow's columns' values by index into the last row's values, for rows
    // of the tags in m_shape (valid while m_shapeValid); the bytes each
    // column's data takes.
    std::vector<size_t> m_found;
    std::vector<ULONG> m_shape;
    bool m_shapeValid = false;
    std::vector<size_t> m_inline;
    std::vector<ULONG> m_rowIndexes;  // QueryRows' rows of the source, kept for the next call
    std::shared_ptr<TableRowSource> m_source;
    std::vector<ULONG> m_columns;
    const ULONG m_rowCount;
    std::optional<std::vector<ULONG>> m_matching;  // the rows a restriction keeps; none: every row
    std::vector<SSortOrder> m_sort;
    std::optional<std::vector<ULONG>> m_view;  // source rows, restricted and sorted; none: every row in order
    LONG m_cursor = 0;
    std::map<BOOKMARK, LONG> m_bookmarks;
    BOOKMARK m_nextBookmark = BOOKMARK_END + 1;
    std::atomic<bool> m_abort{false};
};

} // namespace

std::vector<ULONG> RestrictionTags(const SRestriction* restriction)
{
    std::vector<ULONG> tags;
    CollectTags(restriction, tags, 0);
    return tags;
}

bool RestrictionMatches(const SRestriction* restriction, const SPropValue* props, ULONG count,
                        const SubObjectMatcher* subObjects)
{
    return Matches(restriction, props, count, subObjects, 0);
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
