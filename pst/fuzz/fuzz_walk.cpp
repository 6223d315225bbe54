// Opens the input as a store (from memory, CRC checks off so mutations reach the deeper
// layers) and walks all of it, including the node B-tree and the name-to-ID map. Any
// dravik::pst::Error is an expected outcome; anything else (a crash, a sanitizer report,
// another exception) is a finding.
#include "pst/messaging/walk.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravik::pst;
    try {
        auto store = Store::open(memorySource(std::vector<uint8_t>(data, data + size)), OpenOptions{.checkCrc = false});
        try {
            for (const auto& np : store->nameMap().all()) (void)np;
        } catch (const Error&) {
        }
        try {
            auto& pc = store->properties();
            for (const auto& e : pc.entries()) {
                Property p = pc.read(e);
                if (p.type & kMvFlag) (void)p.multiValues();
            }
        } catch (const Error&) {
        }
        try {
            (void)store->ndb().allNodes();
        } catch (const Error&) {
        }
        walkStore(*store, [](const WalkEvent& e) {
            if (e.kind == WalkEvent::Kind::Attachment) {
                try {
                    (void)e.attachment->readData(1, 100);
                    // In pieces one after another (each going on where the last
                    // ended), then from the start again.
                    for (uint64_t at = 0; at < 4 * 9000; at += 9000)
                        if (e.attachment->readData(at, 9000).empty()) break;
                    (void)e.attachment->readData(0, 10);
                } catch (const Error&) {
                }
            }
        });
    } catch (const Error&) {
    }
    return 0;
}
