// Text conversions of the store provider: 8-bit strings of a store file from
// their Windows code page to UTF-16 (glibc iconv), and UTF-16 to the narrow
// encoding of this subsystem, UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace dravik::mapi32::pst_text {

// Code page used when neither the object nor the store declares one.
constexpr uint32_t kDefaultCodePage = 1252;

// Whether iconv can convert from this Windows code page.
bool IsSupportedCodePage(uint32_t codePage);

// 8-bit text in a Windows code page (1252, 1255, 932, 65001, ...) as UTF-16.
// A code page iconv does not know is read as 1252; bytes that are not valid in
// the code page become U+FFFD each. Stops at a terminating NUL.
std::u16string Decode(std::span<const uint8_t> bytes, uint32_t codePage);

// UTF-16LE bytes as stored in a file (odd trailing byte dropped, stops at a NUL).
std::u16string FromUtf16Le(std::span<const uint8_t> bytes);

} // namespace dravik::mapi32::pst_text
