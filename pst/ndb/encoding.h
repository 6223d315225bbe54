// Data block encodings (MS-PST 5.1). Only the payload of data blocks (not internal
// blocks, not the trailer) is encoded. The cyclic key is the low 32 bits of the block's BID,
// for 32-bit and 64-bit BIDs alike.
//   decodeBlock(header.crypt, span, bid);   // in place
//   decodeBlock(header.crypt, fileBytes, out, bid);   // from one span into another of its size
//   encodeBlock(CryptMethod::Cyclic, span, bid);
#pragma once

#include <cstdint>
#include <span>

namespace dravik::pst {

// bCryptMethod values of the header.
enum class CryptMethod : uint8_t { None = 0x00, Permute = 0x01, Cyclic = 0x02 };

void permuteEncode(std::span<uint8_t> data);
void permuteDecode(std::span<uint8_t> data);
// The portable table walk, whatever the processor offers (the reference
// the faster paths are tested against).
void permuteDecodePortable(std::span<const uint8_t> src, std::span<uint8_t> dst);
// The cyclic transform is its own inverse.
void cyclicCrypt(std::span<uint8_t> data, uint32_t key);
void cyclicCrypt(std::span<const uint8_t> src, std::span<uint8_t> dst, uint32_t key);

void decodeBlock(CryptMethod method, std::span<uint8_t> data, uint64_t bid);
// src and dst have the same size and are the same span or do not overlap; throws
// std::invalid_argument if the sizes differ.
void decodeBlock(CryptMethod method, std::span<const uint8_t> src, std::span<uint8_t> dst, uint64_t bid);
void encodeBlock(CryptMethod method, std::span<uint8_t> data, uint64_t bid);

}  // namespace dravik::pst
