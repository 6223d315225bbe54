// The text of an HTML body as a person reads it: tags dropped, the head,
// styles, scripts and comments left out, character references decoded, white
// space collapsed as a browser does, and a line break for each block (a
// paragraph, a div, a line break, a table row, a list item). UTF-8 in and out.
#pragma once

#include <string>
#include <string_view>

namespace dravik::content {

std::string HtmlToText(std::string_view html);

// Text with every run of white space (and no-break spaces) made one space, and
// none at either end: for comparing texts that differ only in layout.
std::string CollapseWhiteSpace(std::string_view text);

} // namespace dravik::content
