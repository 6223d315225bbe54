#include "pst/ndb/crc.h"

#include <zlib.h>

namespace dravik::pst {

// zlib's CRC-32 has the same polynomial with the register inverted before and
// after, so the register without inversion is ~crc32(~crc). zlib's is several
// times faster than a table per byte (every block read is checked).
uint32_t computeCrc(std::span<const uint8_t> data, uint32_t crc) {
    if (data.empty()) return crc;  // zlib answers 0 for no bytes, whatever the running value
    return ~static_cast<uint32_t>(crc32_z(~crc & 0xFFFFFFFFu, data.data(), data.size()));
}

}  // namespace dravik::pst
