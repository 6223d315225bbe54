// A complete walk of a store: every folder from the root, every message of every contents
// table with its properties, recipients and attachments, every attachment's data and every
// embedded message. A damaged object is counted and reported, and the walk goes on.
//   WalkStats s = walkStore(*store, [](const WalkEvent& e) { ... });   // callback optional
#pragma once

#include "pst/messaging/store.h"

#include <functional>
#include <string>
#include <vector>

namespace dravik::pst {

struct WalkEvent {
    enum class Kind { Folder, Message, Attachment, Error } kind;
    int depth = 0;                 // folder depth (root 0); messages and attachments below it
    uint32_t nid = 0;
    const Folder* folder = nullptr;
    const Message* message = nullptr;
    const Attachment* attachment = nullptr;
    std::string error;             // Kind::Error
};

struct WalkStats {
    uint64_t folders = 0;
    uint64_t messages = 0;
    uint64_t properties = 0;
    uint64_t recipients = 0;
    uint64_t attachments = 0;
    uint64_t bytes = 0;  // property and attachment bytes read
    uint64_t errors = 0;
};

WalkStats walkStore(Store& store, const std::function<void(const WalkEvent&)>& callback = {});

}  // namespace dravik::pst
