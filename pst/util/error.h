// The one error type of the format library.
//
// Every failure is thrown as dravik::pst::Error. kind() tells not-found (a node, block or
// property that is simply absent) from corrupt (the file contradicts itself), I/O and
// unsupported. what() is a complete sentence for the user; the parts are also available:
//   try { ... } catch (const dravik::pst::Error& e) {
//       if (e.kind() == dravik::pst::ErrorKind::NotFound) ...
//       log(e.what());          // "corrupt: block trailer cb (at offset 0x4400, BID 0x24): expected <= 8176, actual 9000"
//   }
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace dravik::pst {

enum class ErrorKind { NotFound, Corrupt, Io, Unsupported };

const char* errorKindName(ErrorKind kind);

// Where in the store a fault was found. Zero fields are not shown.
struct Where {
    uint64_t offset = 0;  // byte offset in the file (or in a decoded block/stream)
    uint64_t nid = 0;
    uint64_t bid = 0;
    bool hasOffset = false;

    static Where at(uint64_t offset) { Where w; w.offset = offset; w.hasOffset = true; return w; }
    static Where node(uint64_t nid) { Where w; w.nid = nid; return w; }
    static Where block(uint64_t bid) { Where w; w.bid = bid; return w; }
    std::string text() const;
};

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, std::string what, Where where = {}, std::string expected = {},
          std::string actual = {});

    ErrorKind kind() const noexcept { return kind_; }
    const std::string& subject() const noexcept { return subject_; }
    const Where& where() const noexcept { return where_; }
    const std::string& expected() const noexcept { return expected_; }
    const std::string& actual() const noexcept { return actual_; }

    // Shorthands for the common cases; numbers are shown in hex.
    static Error corrupt(std::string what, Where where, uint64_t expected, uint64_t actual);
    static Error corrupt(std::string what, Where where = {});
    static Error notFound(std::string what, Where where = {});

private:
    ErrorKind kind_;
    std::string subject_;
    Where where_;
    std::string expected_;
    std::string actual_;
};

std::string hex(uint64_t value);

}  // namespace dravik::pst
