// Test helper: the top-level streams of a .msg compound file, read with libgsf, for the
// body tests (the compressed RTF, PR_BODY) without a .msg reader of our own.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dravik::content::test {

// Stream name -> bytes, for the streams directly below the root storage. Nullopt when the
// file cannot be opened as a compound file.
std::optional<std::map<std::string, std::vector<uint8_t>>> ReadMsgStreams(const std::string& path);

} // namespace dravik::content::test
