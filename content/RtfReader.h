// What an RTF body holds, read for a person: the HTML that Outlook encapsulates
// in RTF (\fromhtml1: {\*\htmltag} groups and the text between them, without
// the \htmlrtf runs, MS-OXRTFEX), the text it encapsulates (\fromtext), or the
// text of any other RTF. Text comes out as UTF-8: \'hh bytes and 8-bit text in
// the code page of the current font (\fN with \fcharsetN or \cpgN in the font
// table), else the document's (\ansicpgN), else the caller's; \uN as Unicode.
//
// RTF is read leniently, as RTF readers do: unknown control words are ignored,
// unbalanced braces end the groups they can. Every byte is read once; nothing
// here allocates more than a small multiple of the input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dravik::content {

enum class RtfKind
{
    Rtf,   // formatted text of its own
    Html,  // encapsulated HTML (\fromhtml1)
    Text,  // encapsulated plain text (\fromtext)
};

struct RtfContent
{
    RtfKind kind = RtfKind::Rtf;
    std::string html;  // the encapsulated HTML (kind Html), UTF-8
    std::string text;  // the text (kinds Rtf and Text), UTF-8, lines ended by CRLF
    uint32_t codePage = 0;  // the document's default code page as used
};

// codePage: where the RTF declares none (\ansicpg), the code page of the
// message it belongs to.
RtfContent ReadRtf(std::string_view rtf, uint32_t codePage = 1252);

// The Windows code page of an RTF font charset (\fcharsetN); 0 for "the
// document's default".
uint32_t CharsetCodePage(int charset);

} // namespace dravik::content
