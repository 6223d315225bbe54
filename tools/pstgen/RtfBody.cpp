#include "RtfBody.h"

#include "mapi32/rtfcomp.h"

namespace pstgen {

namespace {

void appendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        if (c == '\\' || c == '{' || c == '}') out += '\\';
        out += c;
    }
}

}  // namespace

std::string rtfBody(std::string_view text, RtfBodyKind kind) {
    std::string out = kind == RtfBodyKind::Html
                          ? "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}}\r\n"
                            "{\\*\\htmltag19 <html>}{\\*\\htmltag34 <head>}{\\*\\htmltag41 </head>}"
                            "{\\*\\htmltag50 <body>}\\htmlrtf \\f0\\fs20\\htmlrtf0 {\\*\\htmltag64}"
                          : "{\\rtf1\\ansi\\ansicpg1252\\fromtext \\deff0{\\fonttbl{\\f0\\fmodern Courier New;}}\r\n"
                            "\\f0\\fs20 ";
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find("\r\n", start);
        const std::string_view line = text.substr(start, end == std::string_view::npos ? text.npos : end - start);
        if (kind == RtfBodyKind::Html) {
            out += "{\\*\\htmltag64 <p>}";
            appendEscaped(out, line);
            out += "{\\*\\htmltag72 </p>}\\htmlrtf \\par\r\n\\htmlrtf0 ";
        } else {
            appendEscaped(out, line);
            if (end != std::string_view::npos) out += "\\par\r\n";
        }
        if (end == std::string_view::npos) break;
        start = end + 2;
    }
    if (kind == RtfBodyKind::Html) out += "{\\*\\htmltag58 </body>}{\\*\\htmltag27 </html>}";
    out += "}\r\n";
    return out;
}

std::vector<uint8_t> compressedRtfBody(std::string_view text, RtfBodyKind kind) {
    const std::string rtf = rtfBody(text, kind);
    return dravik::mapi32::rtfcomp::Compress(std::span(reinterpret_cast<const uint8_t*>(rtf.data()), rtf.size()));
}

}  // namespace pstgen
