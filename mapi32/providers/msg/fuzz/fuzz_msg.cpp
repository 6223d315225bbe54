// Opens the input as a .msg image from memory and walks all of it through the
// provider: the message's values (large ones read through their streams),
// recipients, attachments with their data, embedded messages, and the named
// properties. A failure the provider reports is an expected outcome; a crash,
// a sanitizer report, a hang or an escaping exception is a finding.
#include "mapi32/providers/msg/tests/MsgWalk.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace dravik::mapi32;
    std::shared_ptr<msg_file::MsgFile> file;
    try {
        file = msg_file::Read(cfb::File::FromMemory({data, size}));
    } catch (const dravik::pst::Error&) {
        return 0;
    }
    LPMDB mdb = nullptr;
    if (FAILED(OpenMsgImage(file, "fuzz.msg", &mdb)))
        return 0;
    testing::Ref<IMsgStore> store(mdb);
    testing::Walk walk;
    testing::WalkedMessage m;
    walk.Store(store.get(), m);
    ULONG count = 0;
    LPMAPINAMEID* names = nullptr;
    LPSPropTagArray tags = nullptr;
    if (SUCCEEDED(store->GetNamesFromIDs(&tags, nullptr, 0, &count, &names))) {
        MAPIFreeBuffer(names);
        MAPIFreeBuffer(tags);
    }
    return 0;
}
