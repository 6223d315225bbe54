// The block codec the writer needs: the MS-PST CRC and the data block encodings.
#pragma once

#include "StoreDescription.h"

#include <cstddef>
#include <cstdint>

namespace dravik::pst::writer {

uint32_t computeCrc(const uint8_t* data, size_t size);
// Encodes a data block's bytes in place; key is the block's BID (low 32 bits).
void encodeBlockData(Encoding method, uint32_t key, uint8_t* data, size_t size);

}  // namespace dravik::pst::writer
