// Where the format library gets its bytes from: a file opened read-only (pread, through a
// sixteen 64 KiB windows), or a buffer in memory (tests, the fuzzer). view() lets a reader
// check and decode bytes where they lie instead of copying them first.
//   auto src = dravik::pst::openFile("/path/x.pst");        // throws Error (I/O) on failure
//   auto mem = dravik::pst::memorySource(std::move(bytes));
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace dravik::pst {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t size() const = 0;
    // Fills out from offset; throws Error (corrupt) if the range lies beyond the end,
    // Error (I/O) if the read fails.
    virtual void read(uint64_t offset, std::span<uint8_t> out) const = 0;
    // The bytes [offset, offset + n): a view of the source's own buffer where it holds them
    // whole, valid until the next call on this source; else read into scratch (resized to
    // n) and a view of that. The same errors as read.
    virtual std::span<const uint8_t> view(uint64_t offset, size_t n, std::vector<uint8_t>& scratch) const;
};

std::shared_ptr<ByteSource> openFile(const std::string& path);
std::shared_ptr<ByteSource> memorySource(std::vector<uint8_t> bytes);

}  // namespace dravik::pst
