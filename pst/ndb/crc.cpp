#include "pst/ndb/crc.h"

#include <array>

namespace dravik::pst {

namespace {
// Slicing-by-8 tables built from the reflected polynomial.
struct CrcTables {
    std::array<std::array<uint32_t, 256>, 8> t{};
    CrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
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
    auto word = [&data](size_t at) {
        return static_cast<uint32_t>(data[at]) | (static_cast<uint32_t>(data[at + 1]) << 8) |
               (static_cast<uint32_t>(data[at + 2]) << 16) | (static_cast<uint32_t>(data[at + 3]) << 24);
    };
    for (; i + 8 <= n; i += 8) {
        const uint32_t lo = crc ^ word(i);
        const uint32_t hi = word(i + 4);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; i + 4 <= n; i += 4) {
        crc ^= word(i);
        crc = t[3][crc & 0xFF] ^ t[2][(crc >> 8) & 0xFF] ^ t[1][(crc >> 16) & 0xFF] ^ t[0][crc >> 24];
    }
    for (; i < n; ++i) crc = t[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

}  // namespace dravik::pst
