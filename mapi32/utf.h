// Conversions between the subsystem's narrow text (UTF-8) and MAPI's wide
// text (UTF-16 in char16_t units).
#pragma once

#include <string>
#include <string_view>

namespace dravik::mapi32 {

// UTF-16 (stops at a NUL) to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// The same conversion in two steps, for a caller that owns the memory: the
// number of bytes of the UTF-8 text (without a NUL), and the text written into
// out, which holds at least that many bytes.
size_t Utf8LengthOf(std::u16string_view text);
void Utf16ToUtf8Into(std::u16string_view text, char* out);

// The number of units of a NUL-terminated UTF-16 text before its NUL.
size_t Utf16Length(const char16_t* text);

// UTF-8 to UTF-16; each byte that starts no valid sequence (overlong forms and
// encoded surrogates included) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

} // namespace dravik::mapi32
