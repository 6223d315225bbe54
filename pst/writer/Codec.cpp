#include "Codec.h"

#include <array>
#include <stdexcept>

namespace dravik::pst::writer {

namespace {
// CRC-32 (polynomial 0xEDB88320) with a zero start value and no final inversion (MS-PST 5.3).
const std::array<uint32_t, 256>& crcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}
}  // namespace

uint32_t computeCrc(const uint8_t* data, size_t size) {
    const auto& t = crcTable();
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i) crc = t[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

void encodeBlockData(Encoding method, uint32_t, uint8_t*, size_t) {
    if (method != Encoding::None) throw std::invalid_argument("encoding not available yet");
}

}  // namespace dravik::pst::writer
