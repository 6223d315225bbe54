// dravik-profiles: lists, creates and deletes MAPI profiles, adds store files
// to them and sets the default profile.
#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"
#include "mapi32/profiles.h"

#include "DravikVersion.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

constexpr int kDone = 0;
constexpr int kMapiFailure = 1;
constexpr int kUsage = 2;

const char* const kUsageText =
    "Usage: dravik-profiles COMMAND [ARGUMENTS]\n"
    "Manages the MAPI profiles of Dravik.\n"
    "\n"
    "Commands:\n"
    "  list                 print every profile, one a line; the default one is marked with '*'\n"
    "  create NAME          create an empty profile\n"
    "  delete NAME          delete a profile\n"
    "  add-store NAME PATH  add a store file (.pst or .ost) to a profile\n"
    "  default NAME         make a profile the default one\n"
    "  --help               show this text\n"
    "  --version            show the program's version\n"
    "\n"
    "Profiles are kept in $DRAVIK_MAPI_PROFILES, else $XDG_CONFIG_HOME/dravik/profiles.\n"
    "Exit status: 0 done, 1 MAPI failure, 2 bad usage.\n";

int Usage(const char* problem)
{
    std::fprintf(stderr, "dravik-profiles: %s\n%s", problem, kUsageText);
    return kUsage;
}

// Text from the command line or a profile as the user can read it: control
// characters (C0, DEL, C1) and the quote and backslash written as escapes.
std::string Printable(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        char hex[8];
        if (c < 0x20 || c == 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else if (c1) {
            std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned char>(text[++i]));
            out += hex;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool FolderWritable()
{
    return ::access(dravik::mapi32::ProfileStore::Folder().c_str(), W_OK) == 0;
}

// Why a profile command failed, in the words of what the user asked for.
const char* WhyProfileFailed(HRESULT hr)
{
    switch (hr) {
    case MAPI_E_NOT_FOUND: return "no such profile";
    case MAPI_E_NO_ACCESS:
        return FolderWritable() ? "it exists already or cannot be written" : "the profile folder cannot be written";
    case MAPI_E_INVALID_PARAMETER: return "invalid name or value";
    case MAPI_E_CORRUPT_DATA: return "the profile file is damaged";
    case MAPI_E_TIMEOUT: return "the profile folder stayed locked by another program";
    default: return nullptr;
    }
}

// Why a store file was refused.
const char* WhyStoreFailed(HRESULT hr)
{
    switch (hr) {
    case MAPI_E_NOT_FOUND: return "the store file does not exist";
    case MAPI_E_CORRUPT_DATA: return "the file is not a PST or OST store";
    case MAPI_E_NO_ACCESS:
        return FolderWritable() ? "the store file cannot be read" : "the profile folder cannot be written";
    default: return WhyProfileFailed(hr);
    }
}

int Fail(const char* what, const std::string& name, HRESULT hr, const char* why = nullptr)
{
    if (why == nullptr)
        why = WhyProfileFailed(hr);
    std::fprintf(stderr, "dravik-profiles: %s \"%s\" failed: error %08X%s%s%s\n", what, Printable(name).c_str(),
                 static_cast<unsigned>(hr), why != nullptr ? " (" : "", why != nullptr ? why : "",
                 why != nullptr ? ")" : "");
    return kMapiFailure;
}

struct Releaser
{
    IUnknown* p;
    ~Releaser()
    {
        if (p)
            p->Release();
    }
};

int List(IProfAdmin* admin)
{
    LPMAPITABLE table = nullptr;
    HRESULT hr = admin->GetProfileTable(0, &table);
    if (FAILED(hr))
        return Fail("list", "", hr);
    Releaser r{table};
    SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME, PR_DEFAULT_PROFILE}};
    LPSRowSet rows = nullptr;
    hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
    if (FAILED(hr))
        return Fail("list", "", hr);
    for (ULONG i = 0; i < rows->cRows; ++i) {
        const SPropValue* v = rows->aRow[i].lpProps;
        if (PROP_TYPE(v[0].ulPropTag) != PT_STRING8)
            continue;
        const bool def = v[1].ulPropTag == PR_DEFAULT_PROFILE && v[1].Value.b;
        std::printf("%s%s\n", v[0].Value.lpszA, def ? " *" : "");
    }
    FreeProws(rows);
    return kDone;
}

int AddStore(IProfAdmin* admin, std::string name, std::string path)
{
    LPSERVICEADMIN svc = nullptr;
    HRESULT hr = admin->AdminServices(name.data(), nullptr, 0, 0, &svc);
    if (FAILED(hr))
        return Fail("add-store to", name, hr);
    Releaser r{svc};
    // The new service is the one whose UID was not there before.
    auto uids = [&](std::vector<std::string>& out) -> HRESULT {
        LPMAPITABLE t = nullptr;
        HRESULT h = svc->GetMsgServiceTable(0, &t);
        if (FAILED(h))
            return h;
        Releaser rt{t};
        SizedSPropTagArray(1, cols) = {1, {PR_SERVICE_UID}};
        LPSRowSet rows = nullptr;
        h = HrQueryAllRows(t, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
        if (FAILED(h))
            return h;
        for (ULONG i = 0; i < rows->cRows; ++i) {
            const SPropValue& v = rows->aRow[i].lpProps[0];
            if (v.ulPropTag == PR_SERVICE_UID)
                out.emplace_back(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
        }
        FreeProws(rows);
        return S_OK;
    };
    std::vector<std::string> before, after;
    if (FAILED(hr = uids(before)))
        return Fail("add-store to", name, hr);
    std::string service = "MSPST MS";
    if (FAILED(hr = svc->CreateMsgService(service.data(), nullptr, 0, 0)))
        return Fail("add-store to", name, hr);
    if (FAILED(hr = uids(after)))
        return Fail("add-store to", name, hr);
    MAPIUID uid{};
    bool found = false;
    for (const std::string& u : after)
        if (u.size() == 16 && std::find(before.begin(), before.end(), u) == before.end()) {
            std::memcpy(uid.ab, u.data(), 16);
            found = true;
        }
    if (!found)
        return Fail("add-store to", name, MAPI_E_NOT_FOUND);
    SPropValue value{};
    value.ulPropTag = PR_PST_PATH;
    value.Value.lpszA = path.data();
    hr = svc->ConfigureMsgService(&uid, 0, 0, 1, &value);
    if (FAILED(hr)) {
        svc->DeleteMsgService(&uid);  // no half-configured service stays behind
        return Fail("add-store to", name, hr, WhyStoreFailed(hr));
    }
    return kDone;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return Usage("no command given");
    const std::string& cmd = args[0];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsageText, stdout);
        return kDone;
    }
    if (cmd == "--version") {
        std::printf("dravik-profiles %s\n", DRAVIK_VERSION);
        return kDone;
    }
    struct Arity
    {
        const char* name;
        size_t args;
    };
    static const Arity kCommands[] = {{"list", 0}, {"create", 1}, {"delete", 1}, {"add-store", 2}, {"default", 1}};
    const Arity* found = nullptr;
    for (const Arity& a : kCommands)
        if (cmd == a.name)
            found = &a;
    if (!found)
        return Usage(("unknown command \"" + Printable(cmd) + "\"").c_str());
    if (args.size() - 1 != found->args)
        return Usage(("wrong number of arguments for \"" + Printable(cmd) + "\"").c_str());

    MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
    HRESULT hr = MAPIInitialize(&init);
    if (FAILED(hr))
        return Fail("initialize", "MAPI", hr);
    LPPROFADMIN admin = nullptr;
    hr = MAPIAdminProfiles(0, &admin);
    if (FAILED(hr)) {
        MAPIUninitialize();
        return Fail("open", "profile administration", hr);
    }
    int rc = kDone;
    std::string name = args.size() > 1 ? args[1] : std::string();
    if (cmd == "list") {
        rc = List(admin);
    } else if (cmd == "create") {
        hr = admin->CreateProfile(name.data(), nullptr, 0, 0);
        rc = FAILED(hr) ? Fail("create", name, hr) : kDone;
    } else if (cmd == "delete") {
        hr = admin->DeleteProfile(name.data(), 0);
        rc = FAILED(hr) ? Fail("delete", name, hr) : kDone;
    } else if (cmd == "default") {
        hr = admin->SetDefaultProfile(name.data(), 0);
        rc = FAILED(hr) ? Fail("default", name, hr) : kDone;
    } else if (cmd == "add-store") {
        rc = AddStore(admin, name, args[2]);
    }
    admin->Release();
    MAPIUninitialize();
    return rc;
}
