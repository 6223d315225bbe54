// Read-only IStream over bytes in memory, or over a source that reads its bytes
// when asked (a large value of a store file, read in ranges).
//
// Read copies what lies between the position and the end (nothing past the
// end, and S_OK); Seek moves anywhere from 0 up, past the end too, and refuses
// a position below 0 or beyond the largest LONGLONG (STG_E_INVALIDFUNCTION);
// Stat gives the size, as a stream opened for reading. Write, SetSize and Commit fail with STG_E_ACCESSDENIED.
// A clone shares the bytes, keeps the owner alive too, and starts at the
// position of the stream it was cloned from.
#pragma once

#include "mapi32/mapidefs.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace dravik::mapi32 {

// Where a stream's bytes come from. Reads may come from several threads.
class StreamSource
{
public:
    virtual ~StreamSource() = default;
    virtual uint64_t Size() const = 0;
    // Copies the n bytes at offset to dest; offset + n never exceeds Size().
    // A failure fails the Read that asked, which then moves nothing.
    virtual HRESULT ReadAt(uint64_t offset, void* dest, size_t n) const = 0;
};

// A stream over a copy of bytes.
HRESULT CreateMemoryStream(std::vector<uint8_t> bytes, LPSTREAM* lppStream);

// A stream over a source. owner, when given, is the object the source reads
// from: the stream holds a reference to it until it (and every clone) is gone.
HRESULT CreateSourceStream(std::shared_ptr<const StreamSource> source, IUnknown* owner, LPSTREAM* lppStream);

} // namespace dravik::mapi32
