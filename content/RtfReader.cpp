#include "content/RtfReader.h"

#include "mapi32/providers/pst/pst_text.h"
#include "mapi32/utf.h"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace dravik::content {

namespace {

// What the reader does with the text of a group.
enum class Dest : uint8_t
{
    Normal,    // the document's text
    HtmlTag,   // {\*\htmltag}: encapsulated HTML, copied in HTML mode
    FontTable, // {\fonttbl}: font numbers and their charsets
    Skip,      // anything else that is not text (\*, \colortbl, \pict, ...)
};

struct State
{
    int font = -1;
    int uc = 1;  // characters that stand in for a \uN, skipped after it
    bool htmlrtf = false;
    Dest dest = Dest::Normal;
};

constexpr size_t kMaxDepth = 1024;  // deeper groups share the deepest state

bool IsLetter(uint8_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int HexValue(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (c >> 18)));
        out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

// What a control word does to the reader.
enum class Kw : uint8_t
{
    Unknown,
    SkippedDestination,  // a destination that holds no text of the document
    F, Fcharset, Cpg, Htmlrtf, Uc, U, Ansicpg, Fromhtml, Fromtext, Deff, Bin,
    Par, Line, Row, Page, Sect, Tab, Cell,
    Char,  // a word that stands for a character
};

struct KwInfo
{
    Kw kw = Kw::Unknown;
    char32_t c = 0;
};

const KwInfo& Keyword(std::string_view w)
{
    static const std::unordered_map<std::string_view, KwInfo> kTable = [] {
        std::unordered_map<std::string_view, KwInfo> t;
        for (std::string_view d :
             {"colortbl", "stylesheet", "info", "pict", "object", "header", "footer", "headerl", "headerr", "headerf",
              "footerl", "footerr", "footerf", "fldinst", "listtable", "listoverridetable", "revtbl", "rsidtbl",
              "generator", "xmlnstbl", "themedata", "colorschememapping", "latentstyles", "datastore", "filetbl",
              "pgdsctbl", "footnote", "annotation", "atnid", "atnauthor", "bkmkstart", "bkmkend", "field_code",
              "nonshppict", "shppict", "mhtmltag", "objdata", "objclass", "template", "private", "ftnsep", "ftnsepc",
              "ftncn", "aftnsep", "aftnsepc", "aftncn", "userprops", "docvar"})
            t[d] = {Kw::SkippedDestination, 0};
        const std::pair<std::string_view, Kw> words[] = {
            {"f", Kw::F}, {"fcharset", Kw::Fcharset}, {"cpg", Kw::Cpg}, {"htmlrtf", Kw::Htmlrtf}, {"uc", Kw::Uc},
            {"u", Kw::U}, {"ansicpg", Kw::Ansicpg}, {"fromhtml", Kw::Fromhtml}, {"fromtext", Kw::Fromtext},
            {"deff", Kw::Deff}, {"bin", Kw::Bin}, {"par", Kw::Par}, {"line", Kw::Line}, {"row", Kw::Row},
            {"page", Kw::Page}, {"sect", Kw::Sect}, {"tab", Kw::Tab}, {"cell", Kw::Cell}};
        for (const auto& [w, kw] : words)
            t[w] = {kw, 0};
        const std::pair<std::string_view, char32_t> chars[] = {
            {"lquote", U'\u2018'}, {"rquote", U'\u2019'}, {"ldblquote", U'\u201C'}, {"rdblquote", U'\u201D'},
            {"bullet", U'\u2022'}, {"endash", U'\u2013'}, {"emdash", U'\u2014'}, {"enspace", U'\u2002'},
            {"emspace", U'\u2003'}, {"qmspace", U'\u2005'}, {"zwj", U'\u200D'}, {"zwnj", U'\u200C'},
            {"ltrmark", U'\u200E'}, {"rtlmark", U'\u200F'}};
        for (const auto& [w, c] : chars)
            t[w] = {Kw::Char, c};
        return t;
    }();
    static const KwInfo kUnknown;
    const auto it = kTable.find(w);
    return it == kTable.end() ? kUnknown : it->second;
}

// Whether 8-bit text in this code page is one byte a character.
bool IsDoubleByte(uint32_t codePage)
{
    return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950 || codePage == 1361 ||
           codePage == 65001 || codePage == 54936;
}

// The characters of the bytes 0x80-0xFF of a single-byte code page, decoded once
// per process; null when it cannot be decoded byte for byte.
const std::array<char16_t, 128>* HighHalf(uint32_t codePage)
{
    static std::mutex lock;
    static std::unordered_map<uint32_t, std::unique_ptr<std::array<char16_t, 128>>> tables;
    std::lock_guard guard(lock);
    auto [it, added] = tables.try_emplace(codePage);
    if (added) {
        uint8_t bytes[128];
        for (int i = 0; i < 128; ++i)
            bytes[i] = uint8_t(0x80 + i);
        const std::u16string decoded = mapi32::pst_text::Decode(std::span<const uint8_t>(bytes, 128), codePage);
        if (decoded.size() == 128) {
            it->second = std::make_unique<std::array<char16_t, 128>>();
            std::copy(decoded.begin(), decoded.end(), it->second->begin());
        }
    }
    return it->second.get();
}

class Reader
{
public:
    Reader(std::string_view rtf, uint32_t codePage) : m_in(rtf), m_defaultCodePage(codePage ? codePage : 1252)
    {
        m_out.reserve(rtf.size() / 2);
    }

    RtfContent Run()
    {
        m_stack.reserve(64);
        m_stack.push_back(State{});
        const size_t n = m_in.size();
        while (m_pos < n && !m_ended) {
            const uint8_t c = uint8_t(m_in[m_pos]);
            if (c == '{') {
                ++m_pos;
                Open();
            } else if (c == '}') {
                ++m_pos;
                Close();
            } else if (c == '\\') {
                ControlWord();
            } else if (c == '\r' || c == '\n' || c == 0) {
                ++m_pos;
            } else {
                // A run of plain text: one byte at a time only where a \uN asks
                // for characters to be skipped.
                size_t end = m_pos + 1;
                while (end < n && m_in[end] != '{' && m_in[end] != '}' && m_in[end] != '\\' && m_in[end] != '\r' &&
                       m_in[end] != '\n' && m_in[end] != 0)
                    ++end;
                Text(m_in.substr(m_pos, end - m_pos));
                m_pos = end;
            }
        }
        Flush();
        RtfContent result;
        result.kind = m_kind;
        result.codePage = m_defaultCodePage;
        if (m_kind == RtfKind::Html)
            result.html = std::move(m_out);
        else
            result.text = std::move(m_out);
        return result;
    }

private:
    State& Top() { return m_stack.back(); }

    void Open()
    {
        if (m_stack.size() >= kMaxDepth)
            ++m_overflow;
        else
            m_stack.push_back(m_stack.back());
        m_groupStart = true;
        m_seenGroup = true;
        m_skipChars = 0;
    }

    void Close()
    {
        m_groupStart = false;
        m_skipChars = 0;
        if (m_overflow) {
            --m_overflow;
            return;
        }
        if (m_stack.size() > 1) {
            const bool wasFontTable = m_stack.back().dest == Dest::FontTable;
            m_stack.pop_back();
            if (wasFontTable && m_stack.back().dest != Dest::FontTable)
                m_fontDef = -1;
            // The document is its outermost group: what follows it (a writer's NUL) is not part of it.
            m_ended = m_stack.size() == 1 && m_seenGroup;
        }
    }

    // Whether text of the current group is output.
    bool Emitting()
    {
        const State& s = Top();
        switch (s.dest) {
        case Dest::HtmlTag: return m_kind == RtfKind::Html;
        case Dest::Normal: return !s.htmlrtf;
        default: return false;
        }
    }

    uint32_t CurrentCodePage()
    {
        const State& s = Top();
        if (s.dest == Dest::HtmlTag)  // encapsulated tags are in the document's code page
            return m_defaultCodePage;
        if (s.font >= 0)
            if (auto it = m_fontCodePages.find(s.font); it != m_fontCodePages.end() && it->second)
                return it->second;
        return m_defaultCodePage;
    }

    // One 8-bit character of text (a byte of the input, or \'hh).
    void Byte(uint8_t b)
    {
        if (m_skipChars) {
            --m_skipChars;
            return;
        }
        if (Top().dest == Dest::FontTable)  // font names are not needed
            return;
        if (!Emitting())
            return;
        m_seenText = true;
        if (b < 0x80 && m_pending.empty()) {
            m_out.push_back(char(b));
            return;
        }
        const uint32_t cp = CurrentCodePage();
        if (!m_pending.empty() && cp != m_pendingCodePage)
            FlushBytes();
        if (m_pending.empty() && !IsDoubleByte(cp)) {
            if (b < 0x80) {
                m_out.push_back(char(b));
                return;
            }
            if (cp != m_tableCodePage) {
                m_table = HighHalf(cp);
                m_tableCodePage = cp;
            }
            if (m_table) {
                if (m_highSurrogate)
                    Flush();
                AppendUtf8(m_out, (*m_table)[b - 0x80]);
                return;
            }
        }
        m_pendingCodePage = cp;
        m_pending.push_back(b);
    }

    void Text(std::string_view run)
    {
        if (m_skipChars == 0 && Top().dest != Dest::FontTable) {
            if (!Emitting())
                return;
            m_seenText = true;
            size_t i = 0;
            if (m_pending.empty())
                for (; i < run.size() && uint8_t(run[i]) < 0x80; ++i) {
                }
            m_out.append(run.data(), i);
            for (; i < run.size(); ++i)
                Byte(uint8_t(run[i]));
            return;
        }
        for (char c : run)
            Byte(uint8_t(c));
    }

    // A Unicode character of the output (from \uN or a control word).
    void Unicode(char32_t c)
    {
        if (Top().dest == Dest::FontTable || !Emitting())
            return;
        m_seenText = true;
        FlushBytes();
        if (c >= 0xD800 && c <= 0xDBFF) {
            m_highSurrogate = c;
            return;
        }
        if (c >= 0xDC00 && c <= 0xDFFF) {
            if (m_highSurrogate) {
                c = 0x10000 + ((m_highSurrogate - 0xD800) << 10) + (c - 0xDC00);
                m_highSurrogate = 0;
            } else {
                c = 0xFFFD;
            }
        } else if (m_highSurrogate) {
            AppendUtf8(m_out, 0xFFFD);
            m_highSurrogate = 0;
        }
        AppendUtf8(m_out, c);
    }

    void Emit(std::string_view ascii)
    {
        if (!Emitting())
            return;
        Flush();
        m_out.append(ascii);
    }

    // Ends what is pending: a high surrogate without its pair, 8-bit bytes.
    void Flush()
    {
        if (m_highSurrogate) {
            AppendUtf8(m_out, 0xFFFD);
            m_highSurrogate = 0;
        }
        FlushBytes();
    }

    // Decodes the pending 8-bit bytes in their code page.
    void FlushBytes()
    {
        if (m_pending.empty())
            return;
        if (m_pendingCodePage == 65001) {
            m_out += mapi32::Utf16ToUtf8(mapi32::Utf8ToUtf16(
                std::string_view(reinterpret_cast<const char*>(m_pending.data()), m_pending.size())));
        } else {
            // Decode stops at a NUL: each NUL byte is passed through on its own.
            size_t start = 0;
            for (size_t i = 0; i <= m_pending.size(); ++i) {
                if (i < m_pending.size() && m_pending[i] != 0)
                    continue;
                if (i > start)
                    m_out += mapi32::Utf16ToUtf8(mapi32::pst_text::Decode(
                        std::span<const uint8_t>(m_pending.data() + start, i - start), m_pendingCodePage));
                start = i + 1;
            }
        }
        m_pending.clear();
    }

    void ControlWord()
    {
        const size_t n = m_in.size();
        ++m_pos;  // the backslash
        if (m_pos >= n)
            return;
        const uint8_t c = uint8_t(m_in[m_pos]);
        if (!IsLetter(c)) {
            ++m_pos;
            const bool groupStart = m_groupStart;
            m_groupStart = false;
            switch (c) {
            case '\'': {
                if (m_pos + 2 <= n) {
                    const int hi = HexValue(uint8_t(m_in[m_pos])), lo = HexValue(uint8_t(m_in[m_pos + 1]));
                    if (hi >= 0 && lo >= 0) {
                        m_pos += 2;
                        Byte(uint8_t(hi << 4 | lo));
                    }
                }
                return;
            }
            case '*':
                m_groupStart = groupStart;
                m_ignorable = groupStart;
                return;
            case '\\': case '{': case '}':
                Byte(c);
                return;
            case '~': Symbol(U'\u00A0'); return;
            case '_': Symbol(U'-'); return;
            case '-': return;  // an optional hyphen
            case '\r': case '\n': Word("par", false, 0); return;
            case '\t': Word("tab", false, 0); return;
            default: Skipped(); return;
            }
        }
        size_t start = m_pos;
        while (m_pos < n && IsLetter(uint8_t(m_in[m_pos])) && m_pos - start < 32)
            ++m_pos;
        const std::string_view word = m_in.substr(start, m_pos - start);
        while (m_pos < n && IsLetter(uint8_t(m_in[m_pos])))  // a word too long to be one: dropped
            ++m_pos;
        bool hasParam = false;
        bool negative = false;
        int64_t param = 0;
        if (m_pos < n && m_in[m_pos] == '-' && m_pos + 1 < n && m_in[m_pos + 1] >= '0' && m_in[m_pos + 1] <= '9') {
            negative = true;
            ++m_pos;
        }
        size_t digits = 0;
        while (m_pos < n && m_in[m_pos] >= '0' && m_in[m_pos] <= '9') {
            if (digits++ < 10)
                param = param * 10 + (m_in[m_pos] - '0');
            hasParam = true;
            ++m_pos;
        }
        if (negative)
            param = -param;
        if (m_pos < n && m_in[m_pos] == ' ')
            ++m_pos;
        const bool groupStart = m_groupStart;
        const bool ignorable = m_ignorable;
        m_groupStart = false;
        m_ignorable = false;
        if (groupStart && Destination(word, ignorable))
            return;
        Word(word, hasParam, param);
    }

    // A control word at the start of a group that may name a destination.
    // True when it did.
    bool Destination(std::string_view word, bool ignorable)
    {
        State& s = Top();
        if (word == "htmltag") {
            // The parameter (flags) is followed by the tag's text; a space between was the delimiter.
            s.dest = s.dest == Dest::Normal || s.dest == Dest::HtmlTag ? Dest::HtmlTag : Dest::Skip;
            return true;
        }
        if (word == "fonttbl") {
            s.dest = Dest::FontTable;
            return true;
        }
        if (ignorable || Keyword(word).kw == Kw::SkippedDestination) {
            SkipGroup();
            return true;
        }
        return false;
    }

    // Skips the rest of the current group and closes it.
    void SkipGroup()
    {
        const size_t n = m_in.size();
        int depth = 1;
        while (m_pos < n) {
            const char c = m_in[m_pos++];
            if (c == '\\') {
                if (m_pos < n && IsLetter(uint8_t(m_in[m_pos]))) {
                    // \binN: N bytes of data that may hold braces
                    if (m_in.substr(m_pos, 3) == "bin") {
                        size_t p = m_pos + 3;
                        uint64_t len = 0;
                        bool any = false;
                        while (p < n && m_in[p] >= '0' && m_in[p] <= '9' && len < n) {
                            len = len * 10 + uint64_t(m_in[p] - '0');
                            any = true;
                            ++p;
                        }
                        if (any && p < n && m_in[p] == ' ')
                            ++p;
                        m_pos = any ? size_t(std::min<uint64_t>(n, p + len)) : p;
                    }
                } else if (m_pos < n) {
                    ++m_pos;  // an escaped brace or backslash
                }
            } else if (c == '{') {
                ++depth;
            } else if (c == '}') {
                if (--depth == 0) {
                    Close();
                    return;
                }
            }
        }
    }

    void Symbol(char32_t c)
    {
        if (m_skipChars) {
            --m_skipChars;
            return;
        }
        Unicode(c);
    }

    void Skipped()
    {
        if (m_skipChars)
            --m_skipChars;
    }

    void Word(std::string_view w, bool hasParam, int64_t param)
    {
        State& s = Top();
        const KwInfo& k = Keyword(w);
        const bool header = m_stack.size() <= 2 && !m_seenText;
        switch (k.kw) {
        // State that applies whatever is emitted.
        case Kw::F:
            if (s.dest == Dest::FontTable) {
                m_fontDef = int(param);
            } else if (hasParam) {
                Flush();
                s.font = int(param);
            }
            return;
        case Kw::Fcharset:
        case Kw::Cpg:
            // \cpgN names the code page itself and wins over the charset's.
            if (s.dest == Dest::FontTable && m_fontDef >= 0 && hasParam) {
                if (k.kw == Kw::Cpg)
                    m_fontCodePages[m_fontDef] =
                        mapi32::pst_text::IsSupportedCodePage(uint32_t(param)) ? uint32_t(param) : 0;
                else
                    m_fontCodePages.emplace(m_fontDef, CharsetCodePage(int(param)));
            }
            return;
        case Kw::Htmlrtf:
            Flush();
            s.htmlrtf = !hasParam || param != 0;
            return;
        case Kw::Uc:
            if (hasParam && param >= 0 && param <= 16)
                s.uc = int(param);
            return;
        case Kw::U:
            if (!hasParam)
                break;
            if (m_skipChars) {
                --m_skipChars;
                return;
            }
            if (int64_t v = param < 0 ? param + 65536 : param; v >= 0 && v <= 0xFFFF)
                Unicode(char32_t(v));
            m_skipChars = s.uc;
            return;
        case Kw::Ansicpg:
            if (header && hasParam && param > 0 && mapi32::pst_text::IsSupportedCodePage(uint32_t(param))) {
                m_defaultCodePage = uint32_t(param);
                return;
            }
            break;
        case Kw::Fromhtml:
            if (header) {
                m_kind = RtfKind::Html;
                return;
            }
            break;
        case Kw::Fromtext:
            if (header) {
                if (m_kind != RtfKind::Html)
                    m_kind = RtfKind::Text;
                return;
            }
            break;
        case Kw::Deff:
            if (header && hasParam) {
                m_stack.front().font = int(param);
                s.font = int(param);
                return;
            }
            break;
        case Kw::Bin:
            if (hasParam) {  // binary data outside any skipped group: dropped
                const uint64_t len = param > 0 ? uint64_t(param) : 0;
                m_pos = size_t(std::min<uint64_t>(m_in.size(), m_pos + len));
                return;
            }
            break;
        default:
            break;
        }
        if (m_skipChars) {
            --m_skipChars;
            return;
        }
        // Words that stand for characters.
        const bool html = m_kind == RtfKind::Html;
        switch (k.kw) {
        case Kw::Par:
        case Kw::Line:
            Emit("\r\n");
            return;
        case Kw::Row:
        case Kw::Page:
        case Kw::Sect:
            if (!html)
                Emit("\r\n");
            return;
        case Kw::Tab:
            Emit("\t");
            return;
        case Kw::Cell:
            if (!html)
                Emit("\t");
            return;
        case Kw::Char:
            Unicode(k.c);
            return;
        default:
            return;
        }
    }

    std::string_view m_in;
    size_t m_pos = 0;
    std::vector<State> m_stack;
    size_t m_overflow = 0;
    bool m_groupStart = false;
    bool m_ignorable = false;
    bool m_seenText = false;
    bool m_seenGroup = false;
    bool m_ended = false;
    int m_skipChars = 0;
    int m_fontDef = -1;
    RtfKind m_kind = RtfKind::Rtf;
    uint32_t m_defaultCodePage;
    std::unordered_map<int, uint32_t> m_fontCodePages;
    std::vector<uint8_t> m_pending;
    uint32_t m_pendingCodePage = 0;
    const std::array<char16_t, 128>* m_table = nullptr;  // the high half of m_tableCodePage
    uint32_t m_tableCodePage = 0;
    char32_t m_highSurrogate = 0;
    std::string m_out;
};

} // namespace

uint32_t CharsetCodePage(int charset)
{
    switch (charset) {
    case 0: return 0;  // ANSI: the document's ANSI code page
    case 1: return 0;  // default
    case 2: return 0;  // symbol: the document's
    case 77: return 10000;
    case 128: return 932;
    case 129: return 949;
    case 130: return 1361;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 163: return 1258;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 222: return 874;
    case 238: return 1250;
    case 254: return 437;
    case 255: return 850;
    default: return 0;
    }
}

RtfContent ReadRtf(std::string_view rtf, uint32_t codePage)
{
    return Reader(rtf, codePage).Run();
}

} // namespace dravik::content
