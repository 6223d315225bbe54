// Writes any message (of any store provider) as a .msg file (MS-OXMSG):
// every value the message, its recipients and its attachments hold, embedded
// messages to any depth, named properties with their names, every string as
// Unicode. The file appears only when complete: the message is written to a
// temporary file beside the target, which then replaces the target.
#pragma once

#include "mapi32/mapidefs.h"

#include <string>
#include <vector>

namespace dravik::mapi32 {

struct MsgSaveReport
{
    // Values that could not be written, each with where and why (a damaged
    // value, a large value of a table row, a named property without a name).
    std::vector<std::string> skipped;
};

// Saves the message to path. Fails with the MAPI error of what could not be
// read, or MAPI_E_DISK_ERROR when the file cannot be written; the target is
// then untouched.
HRESULT SaveMessageAsMsg(IMessage* message, const std::string& path, MsgSaveReport* report = nullptr);

} // namespace dravik::mapi32
