#include "DumpWriter.h"

#include "props/IniFile.h"
#include "props/TextConv.h"

#include "mapi32/utf.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <climits>
#include <limits>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Length of the valid UTF-8 sequence at the start of s, or 0 when the first
// byte does not begin one (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF).
size_t Utf8SequenceLength(std::string_view s)
{
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c < 0x80)
        return 1;
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            lo = 0xA0;  // overlong
        if (c == 0xED)
            hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            lo = 0x90;  // overlong
        if (c == 0xF4)
            hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < n || b(1) < lo || b(1) > hi)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if (b(i) < 0x80 || b(i) > 0xBF)
            return 0;
    return n;
}

void AppendHex2(std::string& out, unsigned char c)
{
    static const char kDigits[] = "0123456789ABCDEF";
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
}

} // namespace

namespace {

// The printable ASCII bytes a JSON string holds as they are.
constexpr std::array<bool, 256> kJsonPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7F; ++c)
        plain[static_cast<size_t>(c)] = c != '"' && c != '\\';
    return plain;
}();

// Whether the eight bytes at p are all plain (kJsonPlain), tested at once: no
// byte below 0x20, none of 0x7F or above, no quote and no backslash.
bool PlainWord(const char* p)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    // Each test sets a byte's high bit where the byte is what it looks for
    // (and never sets one when no byte is).
    const auto zeroByte = [&](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    const std::uint64_t control = (x - 0x20 * kOnes) & ~x & kHighs;  // a byte below 0x20
    const std::uint64_t high = x & kHighs;                             // 0x80 or above
    return (control | high | zeroByte(x ^ (0x7F * kOnes)) | zeroByte(x ^ ('"' * kOnes)) |
            zeroByte(x ^ ('\\' * kOnes))) == 0;
}

// How many bytes at the start of bytes a JSON string holds as they are
// (kJsonPlain): sixteen at a time where the machine can, then eight, then one.
size_t JsonPlainRun(std::string_view bytes)
{
    const char* p = bytes.data();
    const size_t size = bytes.size();
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (; i + 16 <= size; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // A signed compare: bytes from 0x80 up are negative, below 0x20 too.
        const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(v, space), _mm_cmpeq_epi8(v, del)),
                                             _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
        if (const int mask = _mm_movemask_epi8(special); mask != 0)
            return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    while (i + 8 <= size && PlainWord(p + i))
        i += 8;
    while (i < size && kJsonPlain[static_cast<unsigned char>(p[i])])
        ++i;
    return i;
}

// Whether every byte of bytes is written into a JSON string as it is.
bool JsonPlain(std::string_view bytes)
{
    return JsonPlainRun(bytes) == bytes.size();
}

// Whether every byte of bytes is written into a text line as it is.
bool TextPlain(std::string_view bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char ch) {
        const unsigned char c = static_cast<unsigned char>(ch);
        return c >= 0x20 && c != 0x7F && c != '\\';
    });
}

// The letter of a byte's two-character escape in JSON ("\\n" for a line
// feed), or 0 for a byte escaped otherwise or not at all.
constexpr std::array<char, 256> kJsonEscapeLetter = [] {
    std::array<char, 256> letter{};
    letter['"'] = '"';
    letter['\\'] = '\\';
    letter['\n'] = 'n';
    letter['\r'] = 'r';
    letter['\t'] = 't';
    letter['\b'] = 'b';
    letter['\f'] = 'f';
    return letter;
}();

void AppendJsonString(std::string& out, std::string_view bytes)
{
    size_t i = JsonPlainRun(bytes);
    const size_t size = bytes.size();
    out += '"';
    size_t plain = 0;  // start of the run of bytes written as they are
    while (i < size) {
        i += JsonPlainRun(bytes.substr(i));
        if (i == size)
            break;
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) {
            if (const size_t n = Utf8SequenceLength(bytes.substr(i)); n != 0) {
                i += n;
                continue;
            }
        }
        out.append(bytes.substr(plain, i - plain));
        // The escape in one append: a body's line breaks make many of them.
        if (const char letter = kJsonEscapeLetter[c]; letter != 0) {
            const char escape[2] = {'\\', letter};
            out.append(escape, 2);
        } else if (c >= 0x80) {
            out.append("\\ufffd", 6);
        } else {
            static const char kDigits[] = "0123456789ABCDEF";
            const char escape[6] = {'\\', 'u', '0', '0', kDigits[c >> 4], kDigits[c & 0xF]};
            out.append(escape, 6);
        }
        plain = ++i;
    }
    out.append(bytes.substr(plain));
    out += '"';
}

// The characters of the JSON string of a UTF-16 text's UTF-8 form, without
// the quotes: what AppendJsonString writes between them for the text
// AppendWideToNarrow makes, in one pass over the UTF-16 units. The UTF-8 form
// is always valid, so only ASCII is ever escaped.
void AppendJsonWide(std::string& out, std::u16string_view text)
{
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
        // A run of units written as one byte each, as they are.
        size_t end = i;
#if defined(__SSE2__)
        const __m128i space = _mm_set1_epi16(0x20);
        const __m128i tilde = _mm_set1_epi16(0x7E);
        const __m128i quote = _mm_set1_epi16('"');
        const __m128i backslash = _mm_set1_epi16('\\');
        for (; end + 8 <= size; end += 8) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + end));
            // Signed compares: units from 0x8000 up are negative, so below 0x20 too.
            const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi16(v, space), _mm_cmpgt_epi16(v, tilde)),
                                                 _mm_or_si128(_mm_cmpeq_epi16(v, quote), _mm_cmpeq_epi16(v, backslash)));
            if (const int mask = _mm_movemask_epi8(special); mask != 0) {
                end += static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask))) / 2;
                break;
            }
        }
#endif
        while (end < size && text[end] < 0x80 && kJsonPlain[text[end]])
            ++end;
        if (end > i) {
            const size_t at = out.size();
            out.resize(at + (end - i));
            char* p = out.data() + at;
            for (size_t k = i; k < end; ++k)
                *p++ = static_cast<char>(text[k]);
            i = end;
            if (i == size)
                break;
        }
        const char16_t u = text[i];
        if (u >= 0x80) {
            AppendUtf8(out, NextWideChar(text, i));
            continue;
        }
        if (const char letter = kJsonEscapeLetter[u]; letter != 0) {
            const char escape[2] = {'\\', letter};
            out.append(escape, 2);
        } else {
            static const char kDigits[] = "0123456789ABCDEF";
            const char escape[6] = {'\\', 'u', '0', '0', kDigits[u >> 4], kDigits[u & 0xF]};
            out.append(escape, 6);
        }
        ++i;
    }
}

// A PT_UNICODE value's whole text as a JSON string's characters, through
// AppendJsonWide; false (nothing written) for any other value, and for a text
// of more units than the whole value's limit allows, which goes the long way.
bool AppendJsonWideValue(std::string& out, const SPropValue& value)
{
    if (PROP_TYPE(value.ulPropTag) != PT_UNICODE || !value.Value.lpszW)
        return false;
    const std::u16string_view text(value.Value.lpszW, dravik::mapi32::Utf16Length(value.Value.lpszW));
    if (text.size() >= std::numeric_limits<UINT>::max() / 3)
        return false;
    AppendJsonWide(out, text);
    return true;
}

// TextLine(bytes) appended to out.
void AppendTextLine(std::string& out, std::string_view bytes)
{
    size_t plain = 0;  // start of the run of bytes written as they are
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c != 0x7F && c != '\\')
            continue;
        out.append(bytes.substr(plain, i - plain));
        plain = i + 1;
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\x";
            AppendHex2(out, c);
        }
    }
    out.append(bytes.substr(plain));
}

void AppendDecimal(std::string& out, int value)
{
    char sz[16];
    out.append(sz, std::to_chars(sz, sz + sizeof sz, value).ptr);
}

// "%08X" of a tag.
void AppendHex8(std::string& out, std::uint32_t value)
{
    static const char kDigits[] = "0123456789ABCDEF";
    char sz[8];
    for (int i = 7; i >= 0; --i, value >>= 4)
        sz[i] = kDigits[value & 0xF];
    out.append(sz, 8);
}

} // namespace

std::string JsonString(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() + 2);
    AppendJsonString(out, bytes);
    return out;
}

std::string TextLine(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    AppendTextLine(out, bytes);
    return out;
}

CDumpWriter::CDumpWriter(std::FILE* out, Format format, bool bProps, const volatile std::sig_atomic_t* pStop)
    : m_pOut(out), m_format(format), m_bProps(bProps), m_pStop(pStop)
{
    // A regular file (or a block device) takes every write at once: no wait for room.
    struct stat st{};
    const int fd = out ? ::fileno(out) : -1;
    m_bMayBlock = !(fd >= 0 && ::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)));
}

void CDumpWriter::Head(std::string& line, int nDepth, std::string_view kind, std::string_view text)
{
    m_nDepth = nDepth;
    if (m_format == Format::Json) {
        line += "{\"depth\":";
        AppendDecimal(line, nDepth);
        line += ",\"kind\":";
        AppendJsonString(line, kind);
        line += ",\"text\":";
        AppendJsonString(line, text);
        if (m_bProps)
            line += ",\"props\":[";
    } else {
        line.append(static_cast<size_t>(nDepth) * 2, ' ');
        line.append(kind);
        line += ": ";
        AppendTextLine(line, text);
        line += '\n';
    }
}

void CDumpWriter::AppendBody(std::string& line, int nDepth, const dravik::content::MessageBody& body) const
{
    const std::pair<const char*, const std::optional<std::string>*> parts[] = {
        {"rtf", &body.rtf}, {"html", &body.html}, {"text", &body.text}};
    const std::optional<std::string> source =
        body.source.empty() ? std::nullopt : std::optional<std::string>(body.source);
    if (m_format == Format::Json) {
        line += ",\"body\":{";
        bool first = true;
        auto member = [&](const char* key, const std::optional<std::string>& value) {
            if (!value)
                return;
            line += first ? "\"" : ",\"";
            line += key;
            line += "\":";
            AppendJsonString(line, *value);
            first = false;
        };
        for (const auto& [key, value] : parts)
            member(key, *value);
        member("source", source);
        line += '}';
        return;
    }
    const std::string indent(static_cast<size_t>(nDepth + 1) * 2, ' ');
    auto row = [&](const char* key, const std::optional<std::string>& value) {
        if (!value)
            return;
        line += indent;
        line += "body.";
        line += key;
        line += '\t';
        AppendTextLine(line, *value);
        line += '\n';
    };
    for (const auto& [key, value] : parts)
        row(key, *value);
    row("source", source);
}

void CDumpWriter::BeginObject(int nDepth, std::string_view kind, std::string_view text)
{
    // One buffer for every line: a line with properties is long, and
    // allocating it anew for each object costs more than writing it. Lines
    // for a regular file gather in it until Emit writes them.
    Head(m_line, nDepth, kind, text);
}

void CDumpWriter::EndObject()
{
    std::string& line = m_line;
    if (m_format == Format::Json && m_bProps)
        line += ']';
    if (m_pNextBody) {
        // The depth of the object's rows is that of its line's indent.
        AppendBody(line, m_nDepth, *m_pNextBody);
        m_pNextBody = nullptr;
    }
    if (m_format == Format::Json)
        line += "}\n";
    Emit();
}

template <class Row, size_t N>
void CDumpWriter::WriteObject(int nDepth, std::string_view kind, std::string_view text, std::span<const Row> rows,
                              const CColumn<Row> (&columns)[N])
{
    std::string& line = m_line;
    BeginObject(nDepth, kind, text);
    if (m_bProps) {
        const size_t cIndent = static_cast<size_t>(nDepth + 1) * 2;
        bool first = true;
        for (const Row& r : rows) {
            if (m_format == Format::Json) {
                line += first ? "{" : ",{";
                for (size_t i = 0; i < N; ++i) {
                    line.append(columns[i].key.substr(i == 0 ? 1 : 0));
                    AppendJsonString(line, r.*columns[i].pText);
                }
                line += '}';
            } else {
                line.append(cIndent, ' ');
                for (size_t i = 0; i < N; ++i) {
                    if (i != 0)
                        line += '\t';
                    AppendTextLine(line, r.*columns[i].pText);
                }
                line += '\n';
            }
            first = false;
        }
    }
    EndObject();
}

void CDumpWriter::FinishText(size_t from, bool bPlain, std::string_view closing)
{
    std::string& line = m_line;
    if (m_format == Format::Json) {
        if (bPlain || JsonPlain(std::string_view(line).substr(from))) {
            line.append(closing);
            return;
        }
        m_value.assign(line, from);
        line.resize(from - 1);
        AppendJsonString(line, m_value);
        line.append(closing.substr(1));
        return;
    }
    if (!bPlain && !TextPlain(std::string_view(line).substr(from))) {
        m_value.assign(line, from);
        line.resize(from);
        AppendTextLine(line, m_value);
    }
    line.append(closing);
}

const CDumpWriter::CTagTexts& CDumpWriter::TagTexts(ULONG ulTag, unsigned long nGeneration)
{
    // A table of a few hundred tags: a store's messages share their tags, and
    // the few that meet in one place take turns.
    static constexpr size_t kSlots = 1024;
    if (m_tagTexts.empty())
        m_tagTexts.resize(kSlots);
    CTagTexts& texts = m_tagTexts[(ulTag * 2654435761U) >> 22 & (kSlots - 1)];
    if (texts.bMade && texts.ulTag == ulTag && texts.nGeneration == nGeneration)
        return texts;
    texts.ulTag = ulTag;
    texts.nGeneration = nGeneration;
    texts.bMade = true;
    texts.head.clear();
    texts.tail.clear();
    std::string& text = m_value;
    const auto column = [&](std::string& out, void (*append)(std::string&, ULONG)) {
        text.clear();
        append(text, ulTag);
        if (m_format == Format::Json)
            AppendJsonString(out, text);
        else
            AppendTextLine(out, text);
    };
    const bool bJson = m_format == Format::Json;
    texts.head += bJson ? ",{\"tag\":" : "";
    column(texts.head, [](std::string& out, ULONG tag) { AppendDictionaryKey(out, tag); });
    texts.head += bJson ? ",\"name\":" : "\t";
    column(texts.head, AppendPropRowName);
    texts.head += bJson ? ",\"namedId\":\"" : "\t";
    texts.tail += bJson ? "\",\"type\":" : "\t";
    column(texts.tail, AppendPropRowType);
    texts.tail += bJson ? ",\"value\":\"" : "\t";
    texts.whole = texts.head;
    texts.whole += texts.tail;
    return texts;
}

void CDumpWriter::WriteProps(const CPropValueArray& props, IMAPIProp* pSource,
                             std::vector<std::pair<ULONG, HRESULT>>& failures)
{
    if (!m_bProps)
        return;
    std::string& line = m_line;
    const bool bJson = m_format == Format::Json;
    const size_t cIndent = static_cast<size_t>(m_nDepth + 1) * 2;
    const unsigned long nGeneration = GetIniFile().Generation();
    props.FindEach(m_firstValues);
    // JSON: each row after the first begins with its comma.
    const size_t cSkip = bJson ? 1 : 0;
    const std::string_view rowEnd = bJson ? "\"}" : "\n";
    for (ULONG i = props.Count(); i-- > 0;) {
        const ULONG ulTag = props.At(i)->ulPropTag;
        const size_t cCut = i + 1 == props.Count() ? cSkip : 0;
        if (!bJson)
            line.append(cIndent, ' ');
        const CTagTexts& texts = TagTexts(ulTag, nGeneration);
        if (PropRowMayHaveNamedId(pSource, ulTag)) {
            line.append(texts.head, cCut);
            const size_t from = line.size();
            AppendPropRowNamedId(line, pSource, ulTag);
            FinishText(from, false, texts.tail);
        } else {
            line.append(texts.whole, cCut);
        }
        // A string is converted and escaped in one pass, as in a row.
        if (bJson && m_firstValues[i] && AppendJsonWideValue(line, *m_firstValues[i])) {
            line.append(rowEnd);
            continue;
        }
        const size_t from = line.size();
        bool bPlain = false;
        if (const HRESULT hr = AppendPropRowValue(line, m_firstValues[i], ulTag, pSource, bJson, &bPlain); FAILED(hr))
            failures.emplace_back(ulTag, hr);
        FinishText(from, bPlain, rowEnd);
    }
}

namespace {

// Whether a value's text is ASCII without quotes, backslashes or control
// characters whatever the value: numbers, error names and codes, and the
// hexadecimal digits of bytes. Other texts are checked before they are kept.
bool AlwaysPlain(ULONG ulPropTag)
{
    switch (PROP_TYPE(ulPropTag)) {
    case PT_I2: case PT_LONG: case PT_I8: case PT_BOOLEAN: case PT_ERROR: case PT_BINARY: case PT_SVREID:
        return true;
    default:
        return false;
    }
}

} // namespace

void CDumpWriter::RowKeys(int nDepth, const SRow& row)
{
    bool same = m_nRowDepth == nDepth && m_rowTags.size() == row.cValues;
    for (ULONG i = 0; same && i < row.cValues; ++i)
        same = m_rowTags[i] == row.lpProps[i].ulPropTag;
    if (same)
        return;
    m_nRowDepth = nDepth;
    m_rowTags.resize(row.cValues);
    m_rowKeys.clear();
    m_rowKeyEnds.clear();
    if (m_format == Format::Json) {
        m_rowKeys += "{\"depth\":";
        AppendDecimal(m_rowKeys, nDepth);
        m_rowKeys += ",\"kind\":\"row\",\"values\":{";
    } else {
        m_rowKeys.append(static_cast<size_t>(nDepth) * 2, ' ');
        m_rowKeys += "row:";
    }
    m_rowKeyEnds.push_back(m_rowKeys.size());
    for (ULONG i = 0; i < row.cValues; ++i) {
        m_rowTags[i] = row.lpProps[i].ulPropTag;
        if (m_format == Format::Json) {
            // The value before ends with its closing quote; this one starts with its opening one.
            m_rowKeys += i == 0 ? "\"0x" : "\",\"0x";
            AppendHex8(m_rowKeys, m_rowTags[i]);
            m_rowKeys += "\":\"";
        } else {
            m_rowKeys += '\t';
        }
        m_rowKeyEnds.push_back(m_rowKeys.size());
    }
}

void CDumpWriter::WriteRow(int nDepth, const SRow& row)
{
    // The line's fixed parts (its start and each column's key) are made once
    // for the rows of one set of columns; each value's text goes straight
    // into the line, and only a text that needs escaping is moved aside and
    // escaped back in.
    RowKeys(nDepth, row);
    const auto key = [&](size_t i) {
        return std::string_view(m_rowKeys).substr(i == 0 ? 0 : m_rowKeyEnds[i - 1],
                                                  m_rowKeyEnds[i] - (i == 0 ? 0 : m_rowKeyEnds[i - 1]));
    };
    std::string& line = m_line;
    line += key(0);
    if (m_format == Format::Json) {
        // Each key holds the quotes between two values; the line's end the last one's closing quote.
        for (ULONG i = 0; i < row.cValues; ++i) {
            const SPropValue& value = row.lpProps[i];
            line += key(i + 1);
            const size_t from = line.size();
            // The whole value: a row's value is never one read from a stream.
            // A string is converted and escaped in one pass.
            if (AppendJsonWideValue(line, value))
                continue;
            AppendPropValueText(line, &value, std::numeric_limits<UINT>::max());
            if (!AlwaysPlain(value.ulPropTag) && !JsonPlain(std::string_view(line).substr(from))) {
                m_value.assign(line, from);
                line.resize(from - 1);
                AppendJsonString(line, m_value);
                line.pop_back();
            }
        }
        line += row.cValues ? "\"}}\n" : "}}\n";
    } else {
        for (ULONG i = 0; i < row.cValues; ++i) {
            const SPropValue& value = row.lpProps[i];
            line += key(i + 1);
            const size_t from = line.size();
            AppendPropValueText(line, &value, kListValueChars);
            if (!AlwaysPlain(value.ulPropTag) && !TextPlain(std::string_view(line).substr(from))) {
                m_value.assign(line, from);
                line.resize(from);
                AppendTextLine(line, m_value);
            }
        }
        line += '\n';
    }
    Emit();
}

void CDumpWriter::Write(int nDepth, std::string_view kind, std::string_view text,
                        std::span<const CPropRowText> rows)
{
    static constexpr CColumn<CPropRowText> kColumns[] = {{",\"tag\":", &CPropRowText::strTag},
                                                         {",\"name\":", &CPropRowText::strName},
                                                         {",\"namedId\":", &CPropRowText::strNamedId},
                                                         {",\"type\":", &CPropRowText::strType},
                                                         {",\"value\":", &CPropRowText::strValue}};
    WriteObject(nDepth, kind, text, rows, kColumns);
}

void CDumpWriter::WriteNamed(int nDepth, std::string_view kind, std::string_view text,
                             const std::vector<CNamedPropText>& rows)
{
    static constexpr CColumn<CNamedPropText> kColumns[] = {{",\"id\":", &CNamedPropText::strId},
                                                           {",\"kind\":", &CNamedPropText::strKind},
                                                           {",\"name\":", &CNamedPropText::strName},
                                                           {",\"guid\":", &CNamedPropText::strGuid}};
    WriteObject(nDepth, kind, text, std::span<const CNamedPropText>(rows), kColumns);
}

CDumpWriter::~CDumpWriter()
{
    Flush();
}

void CDumpWriter::Flush()
{
    if (!m_line.empty())
        Send(m_line);
    m_line.clear();
}

void CDumpWriter::Emit()
{
    // A regular file takes the lines of many objects in one write: a write a
    // line cost a fifth of a dump's time. Pipes and terminals get each line
    // as it is made, so that a reader sees every object at once.
    static constexpr size_t kBatch = 256 * 1024;
    if (!m_bMayBlock && m_bOk && m_line.size() < kBatch)
        return;
    Flush();
}

void CDumpWriter::Send(const std::string& line)
{
    if (!m_bOk)
        return;
    const int fd = ::fileno(m_pOut);
    if (fd < 0) {
        errno = 0;
        if (std::fwrite(line.data(), 1, line.size(), m_pOut) != line.size() || std::fflush(m_pOut) != 0) {
            m_bOk = false;
            m_nErrno = errno != 0 ? errno : EIO;
        }
        return;
    }
    // Straight to the descriptor, in pieces that a writable pipe takes without
    // blocking, waiting for room in short polls: a reader that stops reading
    // cannot hold the dump past a stop signal (stdio would retry the write).
    // A stop signal ends the output between lines; a line already begun
    // (a whole value can make it longer than one piece) is finished while the
    // reader takes it, and cut only when the reader has stopped reading.
    const size_t kPiece = m_bMayBlock ? PIPE_BUF : line.size();
    size_t done = 0;
    bool bStalled = false;
    while (done < line.size()) {
        const bool bStop = m_pStop != nullptr && *m_pStop;
        if (bStop && (done == 0 || line[done - 1] == '\n' || bStalled)) {
            m_bOk = false;
            m_nErrno = EINTR;
            return;
        }
        pollfd pfd{fd, POLLOUT, 0};
        const int nReady = m_bMayBlock ? ::poll(&pfd, 1, 100) : 1;
        bStalled = nReady == 0;
        if (nReady == 0 || (nReady < 0 && errno == EINTR))
            continue;
        const ssize_t n = nReady < 0 ? -1 : ::write(fd, line.data() + done, std::min(kPiece, line.size() - done));
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        m_bOk = false;
        m_nErrno = n < 0 ? errno : EIO;
        return;
    }
}
