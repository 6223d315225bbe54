// Checked little-endian reader over a byte span.
//
// Every read is bounds-checked; reading past the end throws Error (corrupt) naming the
// field and its offset. Never casts the buffer to a struct.
//   LeReader r(bytes, "HNHDR");
//   uint16_t ibHnpm = r.u16("ibHnpm");
//   auto sub = r.bytes(n, "rgb");     // sub-span, checked
//   LeReader at = r.at(0x20);         // independent reader at an offset, checked
#pragma once

#include "pst/util/error.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace dravik::pst {

class LeReader {
public:
    LeReader(std::span<const uint8_t> data, const char* context = "data", uint64_t baseOffset = 0)
        : data_(data), context_(context), base_(baseOffset) {}

    size_t pos() const { return pos_; }
    size_t size() const { return data_.size(); }
    size_t remaining() const { return data_.size() - pos_; }
    std::span<const uint8_t> data() const { return data_; }

    void seek(size_t pos, const char* field = "position") {
        if (pos > data_.size()) fail(field, pos, 0);
        pos_ = pos;
    }
    void skip(size_t n, const char* field = "padding") { need(n, field); pos_ += n; }

    uint8_t u8(const char* field = "byte") { need(1, field); return data_[pos_++]; }
    uint16_t u16(const char* field = "WORD") {
        need(2, field);
        uint16_t v = static_cast<uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    uint32_t u32(const char* field = "DWORD") {
        need(4, field);
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | data_[pos_ + i];
        pos_ += 4;
        return v;
    }
    uint64_t u64(const char* field = "QWORD") {
        need(8, field);
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | data_[pos_ + i];
        pos_ += 8;
        return v;
    }
    std::span<const uint8_t> bytes(size_t n, const char* field = "bytes") {
        need(n, field);
        auto s = data_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    // A new reader over [offset, end), checked.
    LeReader at(size_t offset, const char* field = "offset") const {
        if (offset > data_.size()) fail(field, offset, 0);
        LeReader r(data_, context_, base_);
        r.pos_ = offset;
        return r;
    }

    // Reads a value of the given width at an absolute position without moving.
    static uint16_t u16At(std::span<const uint8_t> d, size_t off, const char* field = "WORD") {
        LeReader r(d); r.seek(off, field); return r.u16(field);
    }
    static uint32_t u32At(std::span<const uint8_t> d, size_t off, const char* field = "DWORD") {
        LeReader r(d); r.seek(off, field); return r.u32(field);
    }
    static uint64_t u64At(std::span<const uint8_t> d, size_t off, const char* field = "QWORD") {
        LeReader r(d); r.seek(off, field); return r.u64(field);
    }

private:
    void need(size_t n, const char* field) const {
        if (n > data_.size() - pos_) fail(field, pos_, n);
    }
    [[noreturn]] void fail(const char* field, size_t pos, size_t n) const {
        throw Error(ErrorKind::Corrupt, std::string(context_) + " field " + field + " runs past the end",
                    Where::at(base_ + pos), hex(data_.size()) + " bytes available",
                    hex(pos + n) + " needed");
    }

    std::span<const uint8_t> data_;
    const char* context_;
    uint64_t base_;
    size_t pos_ = 0;
};

}  // namespace dravik::pst
