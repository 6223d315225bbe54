// Builds the ledger of the input as a store and recovers what it holds outside its folders
// (from memory; CRC checks off so mutations reach the deeper layers, while the free-space
// scan keeps its own CRC check, as recovery uses nothing else). Any dravik::pst::Error is an
// expected outcome; anything else (a crash, a sanitizer report, another exception) is a
// finding.
#include "pst/messaging/recovery.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravik::pst;
    try {
        auto source = memorySource(std::vector<uint8_t>(data, data + size));
        auto store = Store::open(source, OpenOptions{.checkCrc = false});
        const Ledger ledger = buildLedger(*store);
        (void)ledger.summary();
        const Recovery r = recoverItems(source, ledger, OpenOptions{.checkCrc = false});
        for (const RecoveredItem& i : r.items) {
            (void)i.state();
            try {
                PropertyContext pc = r.properties(i);
                for (const auto& e : pc.entries()) (void)pc.read(e);
            } catch (const Error&) {
            }
        }
    } catch (const Error&) {
    }
    return 0;
}
