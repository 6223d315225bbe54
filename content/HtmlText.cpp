#include "content/HtmlText.h"

#include <cctype>
#include <cstdint>
#include <cstring>

namespace dravik::content {

namespace {

void AppendUtf8(std::string& out, uint32_t c)
{
    if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = 0xFFFD;
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

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(uint8_t(a[i])) != std::tolower(uint8_t(b[i])))
            return false;
    return true;
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

// The character a reference stands for; 0 when it is not one that is known.
uint32_t NamedEntity(std::string_view name)
{
    struct Entity
    {
        const char* name;
        uint32_t c;
    };
    static constexpr Entity kEntities[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xA0},
        {"copy", 0xA9}, {"reg", 0xAE}, {"trade", 0x2122}, {"hellip", 0x2026}, {"mdash", 0x2014},
        {"ndash", 0x2013}, {"lsquo", 0x2018}, {"rsquo", 0x2019}, {"ldquo", 0x201C}, {"rdquo", 0x201D},
        {"bull", 0x2022}, {"middot", 0xB7}, {"euro", 0x20AC}, {"pound", 0xA3}, {"yen", 0xA5},
        {"cent", 0xA2}, {"sect", 0xA7}, {"deg", 0xB0}, {"laquo", 0xAB}, {"raquo", 0xBB}, {"shy", 0xAD},
        {"times", 0xD7}, {"divide", 0xF7}, {"auml", 0xE4}, {"ouml", 0xF6}, {"uuml", 0xFC}, {"Auml", 0xC4},
        {"Ouml", 0xD6}, {"Uuml", 0xDC}, {"szlig", 0xDF}, {"eacute", 0xE9}, {"egrave", 0xE8}, {"agrave", 0xE0},
        {"aacute", 0xE1}, {"ccedil", 0xE7}, {"iexcl", 0xA1}, {"iquest", 0xBF}, {"ensp", 0x2002},
        {"emsp", 0x2003}, {"thinsp", 0x2009}, {"zwnj", 0x200C}, {"zwj", 0x200D},
    };
    for (const Entity& e : kEntities)
        if (name == e.name)
            return e.c;
    return 0;
}

// Elements whose start or end begins a new line.
bool IsBlock(std::string_view tag)
{
    static constexpr const char* kBlocks[] = {"p", "div", "br", "tr", "li", "h1", "h2", "h3", "h4", "h5", "h6",
                                              "table", "blockquote", "hr", "ul", "ol", "dl", "dt", "dd", "pre",
                                              "address", "center", "section", "article", "header", "footer"};
    for (const char* b : kBlocks)
        if (EqualsNoCase(tag, b))
            return true;
    return false;
}

} // namespace

std::string HtmlToText(std::string_view html)
{
    std::string out;
    out.reserve(html.size() / 2);
    bool pendingSpace = false;  // white space seen since the last character written
    int pre = 0;
    // Whether the text ends with k line breaks.
    auto endsWithBreaks = [&](int k) {
        const size_t need = size_t(k) * 2;
        if (out.size() < need)
            return false;
        for (size_t at = out.size() - need; at < out.size(); at += 2)
            if (out.compare(at, 2, "\r\n") != 0)
                return false;
        return true;
    };
    // Ends the line (blank: and leaves an empty line), unless that is done.
    auto newline = [&](bool blank) {
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        pendingSpace = false;
        if (out.empty())
            return;
        while (!endsWithBreaks(blank ? 2 : 1))
            out += "\r\n";
    };
    auto put = [&](auto&& append) {
        if (pendingSpace && !out.empty() && out.back() != '\n')
            out.push_back(' ');
        pendingSpace = false;
        append();
    };
    const size_t n = html.size();
    size_t i = 0;
    while (i < n) {
        const char c = html[i];
        if (c == '<') {
            if (html.compare(i, 4, "<!--") == 0) {
                const size_t end = html.find("-->", i + 4);
                i = end == std::string_view::npos ? n : end + 3;
                continue;
            }
            if (i + 1 < n && (html[i + 1] == '!' || html[i + 1] == '?')) {
                const size_t end = html.find('>', i);
                i = end == std::string_view::npos ? n : end + 1;
                continue;
            }
            size_t j = i + 1;
            const bool closing = j < n && html[j] == '/';
            if (closing)
                ++j;
            const size_t nameStart = j;
            while (j < n && (std::isalnum(uint8_t(html[j])) || html[j] == ':' || html[j] == '-'))
                ++j;
            const std::string_view name = html.substr(nameStart, j - nameStart);
            if (name.empty()) {  // a '<' that starts no tag is text
                put([&] { out.push_back('<'); });
                ++i;
                continue;
            }
            // The end of the tag, past quoted attribute values.
            char quote = 0;
            while (j < n && (quote || html[j] != '>')) {
                if (quote ? html[j] == quote : (html[j] == '"' || html[j] == '\''))
                    quote = quote ? 0 : html[j];
                ++j;
            }
            i = j < n ? j + 1 : n;
            if (!closing) {
                // Elements whose content is no text: skipped to their end tag.
                for (const char* skipped : {"head", "style", "script", "title", "xml"}) {
                    if (EqualsNoCase(name, skipped)) {
                        const std::string end = std::string("</") + skipped;
                        size_t k = i;
                        for (; k + end.size() <= n; ++k)
                            if (html[k] == '<' && EqualsNoCase(html.substr(k, end.size()), end))
                                break;
                        const size_t close = k + end.size() <= n ? html.find('>', k) : std::string_view::npos;
                        i = close == std::string_view::npos ? n : close + 1;
                        break;
                    }
                }
            }
            if (EqualsNoCase(name, "pre"))
                pre = closing ? (pre > 0 ? pre - 1 : 0) : pre + 1;
            if (EqualsNoCase(name, "td") || EqualsNoCase(name, "th")) {
                if (closing)
                    pendingSpace = true;
            } else if (IsBlock(name)) {
                newline(EqualsNoCase(name, "p"));
            }
            continue;
        }
        if (c == '&') {
            size_t j = i + 1;
            uint32_t ch = 0;
            if (j < n && html[j] == '#') {
                ++j;
                const bool hex = j < n && (html[j] == 'x' || html[j] == 'X');
                if (hex)
                    ++j;
                const size_t start = j;
                uint64_t v = 0;
                while (j < n && j - start < 8 &&
                       (hex ? std::isxdigit(uint8_t(html[j])) : std::isdigit(uint8_t(html[j])))) {
                    const char d = html[j];
                    v = v * (hex ? 16 : 10) + uint64_t(std::isdigit(uint8_t(d)) ? d - '0' : std::tolower(uint8_t(d)) - 'a' + 10);
                    ++j;
                }
                if (j > start)
                    ch = uint32_t(v > 0x10FFFF ? 0xFFFD : v);
            } else {
                const size_t start = j;
                while (j < n && j - start < 10 && std::isalnum(uint8_t(html[j])))
                    ++j;
                ch = NamedEntity(html.substr(start, j - start));
            }
            if (ch) {
                if (j < n && html[j] == ';')
                    ++j;
                i = j;
                if (ch == 0xA0)
                    put([&] { out += "\xC2\xA0"; });
                else
                    put([&] { AppendUtf8(out, ch); });
                continue;
            }
            put([&] { out.push_back('&'); });
            ++i;
            continue;
        }
        if (IsSpace(c)) {
            if (pre) {
                if (c == '\n')
                    out += "\r\n";
                else if (c != '\r')
                    out.push_back(c);
            } else {
                pendingSpace = true;
            }
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < n && html[j] != '<' && html[j] != '&' && !IsSpace(html[j]))
            ++j;
        put([&] { out.append(html.data() + i, j - i); });
        i = j;
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

std::string CollapseWhiteSpace(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    bool space = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool nbsp = uint8_t(c) == 0xC2 && i + 1 < text.size() && uint8_t(text[i + 1]) == 0xA0;
        if (IsSpace(c) || c == '\v' || nbsp) {
            space = true;
            if (nbsp)
                ++i;
            continue;
        }
        if (space && !out.empty())
            out.push_back(' ');
        space = false;
        out.push_back(c);
    }
    return out;
}

} // namespace dravik::content
