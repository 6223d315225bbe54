#include "pst/util/error.h"

#include <cstdio>

namespace dravik::pst {

std::string hex(uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
    return buf;
}

const char* errorKindName(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::NotFound: return "not found";
    case ErrorKind::Corrupt: return "corrupt";
    case ErrorKind::Io: return "I/O error";
    case ErrorKind::Unsupported: return "unsupported";
    }
    return "error";
}

std::string Where::text() const {
    std::string s;
    auto add = [&s](const char* name, uint64_t v) {
        if (!s.empty()) s += ", ";
        s += name;
        s += hex(v);
    };
    if (hasOffset) add("offset ", offset);
    if (nid) add("NID ", nid);
    if (bid) add("BID ", bid);
    return s;
}

namespace {
std::string compose(ErrorKind kind, const std::string& what, const Where& where,
                    const std::string& expected, const std::string& actual) {
    std::string s = errorKindName(kind);
    s += ": ";
    s += what;
    std::string w = where.text();
    if (!w.empty()) s += " (at " + w + ")";
    if (!expected.empty() || !actual.empty()) s += ": expected " + expected + ", actual " + actual;
    return s;
}
}  // namespace

Error::Error(ErrorKind kind, std::string what, Where where, std::string expected, std::string actual)
    : std::runtime_error(compose(kind, what, where, expected, actual)),
      kind_(kind), subject_(std::move(what)), where_(where), expected_(std::move(expected)),
      actual_(std::move(actual)) {}

Error Error::corrupt(std::string what, Where where, uint64_t expected, uint64_t actual) {
    return Error(ErrorKind::Corrupt, std::move(what), where, hex(expected), hex(actual));
}
Error Error::corrupt(std::string what, Where where) {
    return Error(ErrorKind::Corrupt, std::move(what), where);
}
Error Error::notFound(std::string what, Where where) {
    return Error(ErrorKind::NotFound, std::move(what), where);
}

}  // namespace dravik::pst
