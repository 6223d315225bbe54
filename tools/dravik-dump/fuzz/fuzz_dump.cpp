// libFuzzer target through the "MSPST MS" provider and dravik-dump's walk: each input is
// a store image whose CRCs are made right first (so that mutations reach the layers
// behind them), held in a file on a memory file system, opened through one MAPI profile
// and walked with properties, as `dravik-dump --props --json` does. Damage reports are
// expected outcomes; a crash, a hang, a leak or a sanitizer report is a finding. Give it
// good stores as seeds: the profile is made for the first one.
#include "DumpWalker.h"
#include "DumpWriter.h"
#include "TempProfile.h"

#include "Corrupters.h"

#include "mapi32/mapix.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
std::string g_path;
std::string g_profile;
std::FILE* g_null = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/dev/shm/dravik-fuzz-dump.XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    const std::string base = dir;
    ::mkdir((base + "/profiles").c_str(), 0700);
    ::setenv("DRAVIK_MAPI_PROFILES", (base + "/profiles").c_str(), 1);
    g_path = base + "/store.pst";
    MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
    if (FAILED(MAPIInitialize(&init))) {
        std::fprintf(stderr, "MAPIInitialize failed\n");
        std::abort();
    }
    g_null = std::fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    dravik::pst::corrupters::resignAll(bytes);
    {
        std::ofstream out(g_path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    if (g_profile.empty()) {
        // The profile is made for the first input that is a good store (a seed); every
        // input after it takes its store's place.
        static CTempProfile profile;  // lives as long as the process
        std::string step;
        if (FAILED(profile.Create(g_path, step))) return 0;
        g_profile = profile.Name();
    }
    LPMAPISESSION session = nullptr;
    if (FAILED(MAPILogonEx(0, g_profile.data(), nullptr, MAPI_EXTENDED | MAPI_NEW_SESSION, &session)))
        return 0;
    {
        CDumpWriter writer(g_null, CDumpWriter::Format::Json, true);
        CDumpWalker walker(session, writer);
        (void)walker.Run();
    }
    session->Logoff(0, 0, 0);
    session->Release();
    return 0;
}
