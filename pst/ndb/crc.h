// The CRC of MS-PST 5.3 (CRC-32, reflected polynomial 0xEDB88320, no pre/post inversion,
// start value 0 unless a running value is passed).
//   uint32_t crc = dravik::pst::computeCrc(bytes);
#pragma once

#include <cstdint>
#include <span>

namespace dravik::pst {

uint32_t computeCrc(std::span<const uint8_t> data, uint32_t crc = 0);

}  // namespace dravik::pst
