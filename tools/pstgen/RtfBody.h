// RTF bodies for generated messages: the text of a message as RTF that encapsulates
// it, as Outlook writes it (\fromtext: the text itself; \fromhtml1: HTML paragraphs of
// it, their tags in {\*\htmltag} groups and RTF-only markup between \htmlrtf and
// \htmlrtf0), compressed for PR_RTF_COMPRESSED.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pstgen {

enum class RtfBodyKind { Text, Html };

// The RTF of a text whose lines end in CRLF (ASCII, as pstgen's words are).
std::string rtfBody(std::string_view text, RtfBodyKind kind);

// The same, compressed ("LZFu").
std::vector<uint8_t> compressedRtfBody(std::string_view text, RtfBodyKind kind);

}  // namespace pstgen
