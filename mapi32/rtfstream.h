// Reading the RTF body of a message: PR_RTF_COMPRESSED opened as a stream and
// decompressed through the one codec (rtfcomp.h). WrapCompressedRTFStream, as
// MAPI declares it in mapiutil.h, is built on ReadCompressedRTF.
#pragma once

#include "mapi32/mapidefs.h"
#include "mapi32/rtfcomp.h"

#include <cstdint>
#include <vector>

#define STORE_UNCOMPRESSED_RTF 0x00008000u

// A stream that reads the decompressed RTF of lpCompressedRTFStream (read from
// its current position to its end). Only reading is offered: MAPI_MODIFY fails
// with MAPI_E_NO_SUPPORT (writers compress with rtfcomp::Compress). A damaged
// stream fails with MAPI_E_CORRUPT_DATA; ReadCompressedRTF says why.
HRESULT WrapCompressedRTFStream(LPSTREAM lpCompressedRTFStream, ULONG ulFlags, LPSTREAM* lpUncompressedRTFStream);

namespace dravik::mapi32 {

// Whether WrapCompressedRTFStream compares the CRC of the compressed data
// (on by default). Thread-safe.
void SetCompressedRTFCrcCheck(bool check);
bool GetCompressedRTFCrcCheck();

// Reads lpStream from its position to its end (at most maxBytes, else
// MAPI_E_NOT_ENOUGH_MEMORY) into bytes.
HRESULT ReadWholeStream(LPSTREAM lpStream, std::vector<uint8_t>& bytes, uint64_t maxBytes = uint64_t(1) << 32);

// The RTF of a compressed RTF stream. MAPI_E_CORRUPT_DATA with the codec's
// reason in *result when the stream is damaged; rtf is then empty.
HRESULT ReadCompressedRTF(LPSTREAM lpCompressedRTFStream, std::vector<uint8_t>& rtf, rtfcomp::Result* result = nullptr);

} // namespace dravik::mapi32
