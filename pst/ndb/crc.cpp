#include "pst/ndb/crc.h"

#include <array>

namespace dravik::pst {

namespace {
// Slicing-by-4 tables built from the reflected polynomial.
struct CrcTables {
    std::array<std::array<uint32_t, 256>, 4> t{};
    CrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 4; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};
const CrcTables& tables() {
    static const CrcTables tabs;
    return tabs;
}
}  // namespace

uint32_t computeCrc(std::span<const uint8_t> data, uint32_t crc) {
    const auto& t = tables().t;
    size_t i = 0;
    const size_t n = data.size();
    for (; i + 4 <= n; i += 4) {
        crc ^= static_cast<uint32_t>(data[i]) | (static_cast<uint32_t>(data[i + 1]) << 8) |
               (static_cast<uint32_t>(data[i + 2]) << 16) | (static_cast<uint32_t>(data[i + 3]) << 24);
        crc = t[3][crc & 0xFF] ^ t[2][(crc >> 8) & 0xFF] ^ t[1][(crc >> 16) & 0xFF] ^ t[0][crc >> 24];
    }
    for (; i < n; ++i) crc = t[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

}  // namespace dravik::pst
