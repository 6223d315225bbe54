// Reads the input as a message's transport headers (PR_TRANSPORT_MESSAGE_HEADERS)
// and checks the header block an export would write from what GMime hands back:
// a crash, a hang, a sanitizer report, a block far larger than the input, an
// empty line inside the block (which would end the headers early and turn the
// rest into body), a line that is neither a header (a name of printable ASCII,
// white space before the colon allowed) nor a continuation, or a
// Content-* header (the structure is made anew) is a finding.
#include "content/InternetMessage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool IsNameChar(unsigned char c)
{
    return c > ' ' && c < 0x7F && c != ':';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string in(reinterpret_cast<const char*>(data), size);
    const std::string block = dravik::content::TransportHeaderBlock(in);
    if (block.empty())
        return 0;
    // GMime writes raw values back as they came, folding long lines: a few bytes per input byte at most.
    if (block.size() > 2 * size + 64)
        std::abort();
    size_t start = 0;
    while (start < block.size()) {
        size_t end = block.find('\n', start);
        if (end == std::string::npos)
            end = block.size();
        const std::string line = block.substr(start, end - start);
        if (line.empty() && end + 1 < block.size())
            std::abort(); // an empty line before the end of the block
        if (!line.empty() && line[0] != ' ' && line[0] != '\t') {
            const size_t colon = line.find(':');
            if (colon == std::string::npos)
                std::abort();
            // White space before the colon is the obsolete form GMime keeps as it came.
            size_t nameEnd = colon;
            while (nameEnd > 0 && (line[nameEnd - 1] == ' ' || line[nameEnd - 1] == '\t'))
                --nameEnd;
            if (nameEnd == 0)
                std::abort();
            for (size_t i = 0; i < nameEnd; ++i)
                if (!IsNameChar(static_cast<unsigned char>(line[i])))
                    std::abort();
            std::string name = line.substr(0, nameEnd);
            for (char& c : name)
                c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
            if (name.rfind("content-", 0) == 0)
                std::abort();
        } else if (start == 0 && !line.empty()) {
            std::abort(); // a continuation with no header before it
        }
        start = end + 1;
    }
    return 0;
}
