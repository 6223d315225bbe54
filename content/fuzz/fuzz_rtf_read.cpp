// Reads the input as an RTF body (in a single-byte and a double-byte default code page) and
// the HTML it yields as text. Any input is valid RTF to a lenient reader: a crash, a hang, a
// sanitizer report or output far larger than the input is a finding.
#include "content/HtmlText.h"
#include "content/RtfReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace dravik::content;
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    for (uint32_t cp : {1252u, 932u}) {
        const RtfContent c = ReadRtf(in, cp);
        // Each input byte yields at most a few bytes of UTF-8 (a \'hh or \uN, or a word such as \emdash).
        if (c.html.size() + c.text.size() > 4 * size + 16)
            std::abort();
        (void)HtmlToText(c.html);
        (void)HtmlToText(in);
    }
    return 0;
}
