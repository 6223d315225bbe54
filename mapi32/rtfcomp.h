// Compressed RTF (MS-OXRTFCP), the form in which a message keeps its RTF body
// (PR_RTF_COMPRESSED): a 16-byte header, then either the RTF as it is ("MELA")
// or LZ77-style compressed ("LZFu") against a 4096-byte dictionary that starts
// out holding a fixed preload of common RTF words.
//
//   header: COMPSIZE  uint32  bytes that follow this field (12 + the data)
//           RAWSIZE   uint32  bytes of RTF once decompressed
//           COMPTYPE  uint32  "LZFu" or "MELA"
//           CRC       uint32  CRC of the data after the header ("LZFu"), 0 for "MELA"
//
// Widget-free and without MAPI types: the codec under WrapCompressedRTFStream,
// the message writers and the tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dravik::mapi32::rtfcomp {

inline constexpr uint32_t kCompressed = 0x75465A4C;    // "LZFu"
inline constexpr uint32_t kUncompressed = 0x414C454D;  // "MELA"
inline constexpr size_t kHeaderSize = 16;

struct Header
{
    uint32_t compSize = 0;
    uint32_t rawSize = 0;
    uint32_t compType = 0;
    uint32_t crc = 0;
};

// Why a stream is refused; the message says what, where, expected and found.
enum class Fault
{
    None,
    TooShort,        // fewer bytes than the header
    BadSize,         // COMPSIZE disagrees with the bytes the value holds
    UnknownType,     // COMPTYPE is neither "LZFu" nor "MELA"
    BadCrc,          // the CRC of the data is not the header's
    BadReference,    // a dictionary reference to a part of the dictionary never written
    Truncated,       // the data ends before its end marker
    WrongLength,     // the RTF is not RAWSIZE bytes long
};

struct Result
{
    Fault fault = Fault::None;
    std::string error;  // empty when fault is None
    explicit operator bool() const { return fault == Fault::None; }
};

// Reads the header of a stream; TooShort when there are fewer than 16 bytes.
Result ReadHeader(std::span<const uint8_t> stream, Header& header);

// Decompresses a whole stream (either form) into rtf. On failure rtf is left
// empty: a damaged stream never passes for a whole text. checkCrc false skips
// only the CRC comparison; every size and reference is checked always.
Result Decompress(std::span<const uint8_t> stream, std::vector<uint8_t>& rtf, bool checkCrc = true);

// The "LZFu" form of rtf, with its header and CRC.
std::vector<uint8_t> Compress(std::span<const uint8_t> rtf);

// The "MELA" form of rtf: the header and rtf as it is.
std::vector<uint8_t> StoreUncompressed(std::span<const uint8_t> rtf);

// The CRC that the header holds (MS-OXRTFCP's: CRC-32 without inversion).
uint32_t Crc(std::span<const uint8_t> data);

// A fault's short name ("bad CRC", ...), for reports.
const char* FaultName(Fault fault);

} // namespace dravik::mapi32::rtfcomp
