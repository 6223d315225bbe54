// The .msg service beside "MSPST MS": a .msg file opened as a store.
#pragma once

#include "mapi32/mapidefs.h"

#include <memory>
#include <string>

namespace dravik::mapi32 {

namespace msg_file {
struct MsgFile;
}

// PR_SERVICE_NAME of the .msg service.
inline constexpr const char* kMsgServiceName = "MSMSG MS";

// The store service that opens a file: the .msg service for a compound file
// (recognised by its content, whatever its name), else "MSPST MS".
const char* StoreServiceOfFile(const std::string& path);

// A store over a .msg already read, outside any session (the fuzzer and tests
// that read images from memory). name is the store's display name.
HRESULT OpenMsgImage(std::shared_ptr<msg_file::MsgFile> msg, const std::string& name, LPMDB* lppMDB);

} // namespace dravik::mapi32
