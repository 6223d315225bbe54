#include "mapi32/rtfstream.h"

#include "mapi32/mapicode.h"
#include "mapi32/memstream.h"

#include <atomic>

namespace dravik::mapi32 {

namespace {
std::atomic<bool> g_checkCrc{true};
}

void SetCompressedRTFCrcCheck(bool check)
{
    g_checkCrc = check;
}

bool GetCompressedRTFCrcCheck()
{
    return g_checkCrc;
}

HRESULT ReadWholeStream(LPSTREAM lpStream, std::vector<uint8_t>& bytes, uint64_t maxBytes)
{
    bytes.clear();
    if (!lpStream)
        return MAPI_E_INVALID_PARAMETER;
    constexpr ULONG kChunk = 1 << 16;
    for (;;) {
        const size_t at = bytes.size();
        if (at >= maxBytes)
            return bytes.clear(), MAPI_E_NOT_ENOUGH_MEMORY;
        bytes.resize(at + kChunk);
        ULONG got = 0;
        const HRESULT hr = lpStream->Read(bytes.data() + at, kChunk, &got);
        bytes.resize(at + std::min<ULONG>(got, kChunk));
        if (FAILED(hr))
            return bytes.clear(), hr;
        if (got == 0)
            return S_OK;
    }
}

HRESULT ReadCompressedRTF(LPSTREAM lpCompressedRTFStream, std::vector<uint8_t>& rtf, rtfcomp::Result* result)
{
    rtf.clear();
    std::vector<uint8_t> compressed;
    if (HRESULT hr = ReadWholeStream(lpCompressedRTFStream, compressed); FAILED(hr))
        return hr;
    rtfcomp::Result r = rtfcomp::Decompress(compressed, rtf, GetCompressedRTFCrcCheck());
    const bool ok = bool(r);
    if (result)
        *result = std::move(r);
    return ok ? S_OK : MAPI_E_CORRUPT_DATA;
}

} // namespace dravik::mapi32

HRESULT WrapCompressedRTFStream(LPSTREAM lpCompressedRTFStream, ULONG ulFlags, LPSTREAM* lpUncompressedRTFStream)
{
    using namespace dravik::mapi32;
    if (!lpCompressedRTFStream || !lpUncompressedRTFStream)
        return MAPI_E_INVALID_PARAMETER;
    *lpUncompressedRTFStream = nullptr;
    if (ulFlags & ~(MAPI_MODIFY | STORE_UNCOMPRESSED_RTF))
        return MAPI_E_UNKNOWN_FLAGS;
    if (ulFlags & MAPI_MODIFY)
        return MAPI_E_NO_SUPPORT;
    std::vector<uint8_t> rtf;
    if (HRESULT hr = ReadCompressedRTF(lpCompressedRTFStream, rtf); FAILED(hr))
        return hr;
    return CreateMemoryStream(std::move(rtf), lpUncompressedRTFStream);
}
