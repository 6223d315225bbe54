#include "pst/ndb/crc.h"

#include <libdeflate.h>

namespace dravik::pst {

// libdeflate's CRC-32 has the same polynomial with the register inverted before
// and after (zlib's convention), so the register without inversion is ~crc32(~crc).
// It folds with carry-less multiplication where the processor has it: every block
// read is checked, so this is on the path of every walk.
uint32_t computeCrc(std::span<const uint8_t> data, uint32_t crc) {
    if (data.empty()) return crc;
    return ~libdeflate_crc32(~crc, data.data(), data.size());
}

}  // namespace dravik::pst
