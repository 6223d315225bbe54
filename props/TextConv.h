// Conversions to the narrow text that the tool shows and writes.
//
// Narrow text is UTF-8. Wide MAPI text (PT_UNICODE values, string names) is
// UTF-16 in char16_t units. A text cut to a byte limit is cut after the last
// whole character that fits, never inside a multi-byte sequence.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The character written for a UTF-16 sequence that has no UTF-8 form
// (an unpaired surrogate).
inline constexpr char kDefaultChar = '?';

// Converts the UTF-16 text (up to its terminating zero) to UTF-8 and keeps at
// most cbMax bytes of the result. A null pointer gives the empty text.
std::string WideToNarrow(const char16_t* pwsz, size_t cbMax = std::string::npos);

// The same for a UTF-16 text of known length.
std::string WideToNarrow(std::u16string_view text, size_t cbMax = std::string::npos);

// The same appended to out: at most cbMax bytes are added.
void AppendWideToNarrow(std::string& out, std::u16string_view text, size_t cbMax = std::string::npos);

// The conversion's rule, for a caller that writes the UTF-8 text its own way
// (escaping some of it as it goes): the character at text[i] (a surrogate
// pair as one; an unpaired surrogate as kDefaultChar), with i moved past it,
// and a character's UTF-8 bytes appended to out.
char32_t NextWideChar(std::u16string_view text, size_t& i);
void AppendUtf8(std::string& out, char32_t cp);

// The number of bytes of text to keep so that at most cbMax bytes remain and
// no UTF-8 sequence is cut in two.
size_t Utf8CutLength(std::string_view text, size_t cbMax);

// Narrow text cut to at most cbMax bytes at a character boundary.
std::string CutNarrow(std::string_view text, size_t cbMax);
