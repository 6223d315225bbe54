// Decompresses the input as a compressed RTF stream, with the CRC checked and not (so
// mutations reach the decoder). A refusal is an expected outcome; a crash, a sanitizer
// report, or RTF that does not come back the same through the compressor is a finding.
#include "mapi32/rtfcomp.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace dravik::mapi32::rtfcomp;
    const std::span<const uint8_t> in(data, size);
    std::vector<uint8_t> rtf;
    (void)Decompress(in, rtf, true);
    if (Decompress(in, rtf, false)) {
        std::vector<uint8_t> back;
        if (!Decompress(Compress(rtf), back) || back != rtf)
            std::abort();
    }
    return 0;
}
