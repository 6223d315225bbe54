#include "mapi/TempProfileOwners.h"

#include "mapi32/mapicode.h"
#include "mapi32/profiles.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace tempprofiles {

namespace {

fs::path OwnersFolder()
{
    return fs::path(dravik::mapi32::ProfileStore::Folder()) / ".owners";
}

// The start time of a process in clock ticks since boot (field 22 of
// /proc/PID/stat), or 0 when there is no such process.
unsigned long long StartTime(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold blanks: the fields after it
    // are counted from its closing parenthesis.
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    for (int n = 3; n <= 22 && fields >> field; ++n) {
        if (n == 22)
            return std::strtoull(field.c_str(), nullptr, 10);
    }
    return 0;
}

bool ValidName(const std::string& strProfile)
{
    return !strProfile.empty() && strProfile.find('/') == std::string::npos && strProfile[0] != '.';
}

} // namespace

void RecordOwner(const std::string& strProfile)
{
    if (!ValidName(strProfile))
        return;
    std::error_code ec;
    fs::create_directories(OwnersFolder(), ec);
    const pid_t pid = ::getpid();
    std::ofstream out(OwnersFolder() / strProfile, std::ios::trunc);
    out << pid << ' ' << StartTime(pid) << '\n';
}

void ForgetOwner(const std::string& strProfile)
{
    if (!ValidName(strProfile))
        return;
    std::error_code ec;
    fs::remove(OwnersFolder() / strProfile, ec);
}

pid_t LiveOwner(const std::string& strProfile)
{
    if (!ValidName(strProfile))
        return 0;
    std::ifstream in(OwnersFolder() / strProfile);
    long long pid = 0;
    unsigned long long started = 0;
    if (!(in >> pid >> started) || pid <= 0)
        return 0;
    const unsigned long long now = StartTime(static_cast<pid_t>(pid));
    return now != 0 && now == started ? static_cast<pid_t>(pid) : 0;
}

std::vector<std::string> DeleteStale()
{
    std::vector<std::string> deleted;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(OwnersFolder(), ec)) {
        const std::string strName = entry.path().filename().string();
        if (!entry.is_regular_file(ec) || LiveOwner(strName) != 0)
            continue;
        const HRESULT hr = dravik::mapi32::ProfileStore::Delete(strName);
        if (SUCCEEDED(hr) || hr == MAPI_E_NOT_FOUND) {
            ForgetOwner(strName);
            if (SUCCEEDED(hr))
                deleted.push_back(strName);
        }
    }
    return deleted;
}

} // namespace tempprofiles
