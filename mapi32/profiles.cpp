#include "mapi32/profiles.h"

#include "mapi32/mapicode.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <dirent.h>

namespace dravik::mapi32 {
namespace {

constexpr const char* kSuffix = ".prof";
constexpr const char* kDefaultFile = ".default";
constexpr const char* kHeader = "DRAVIK-PROFILE 1";

std::string Hex(const std::string& s)
{
    static const char* d = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() * 2 + 1);
    out += '=';  // keeps empty values a visible token
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

bool Unhex(const std::string& s, std::string& out)
{
    out.clear();
    if (s.empty() || s[0] != '=' || (s.size() - 1) % 2)
        return false;
    auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 1; i < s.size(); i += 2) {
        int hi = nib(s[i]), lo = nib(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

bool ParseUid(const std::string& s, MAPIUID& uid)
{
    std::string raw;
    if (!Unhex(s, raw) || raw.size() != 16)
        return false;
    std::memcpy(uid.ab, raw.data(), 16);
    return true;
}

std::string UidToken(const MAPIUID& uid) { return Hex(std::string(reinterpret_cast<const char*>(uid.ab), 16)); }

bool EnsureFolder(const std::string& dir)
{
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        std::string prefix = dir.substr(0, pos);
        if (prefix.empty())
            continue;
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st{};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// How long a caller waits for another process to release the folder's lock.
constexpr std::chrono::milliseconds kLockWait{10000};
constexpr std::chrono::milliseconds kLockPoll{20};

// Holds the folder's lock file locked for the lifetime of the object: shared
// to read, exclusive to write. The wait for another process's lock is
// bounded (MAPI_E_TIMEOUT). A folder the user may only read can still be
// read: its existing lock file is locked through a read-only descriptor, and
// where there is none, nobody can be writing there.
class FolderLock
{
public:
    FolderLock(const std::string& dir, bool exclusive)
    {
        if (!EnsureFolder(dir)) {
            m_hr = MAPI_E_NO_ACCESS;
            return;
        }
        const std::string path = dir + "/.lock";
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0 && !exclusive && (errno == EACCES || errno == EROFS || errno == EPERM)) {
            m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (m_fd < 0 && errno == ENOENT) {
                m_hr = S_OK;
                return;
            }
        }
        if (m_fd < 0) {
            m_hr = MAPI_E_NO_ACCESS;
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        for (;;) {
            if (flock(m_fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) {
                m_hr = S_OK;
                return;
            }
            const int nError = errno;
            if (nError == EINTR)
                continue;
            if (nError != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
                m_hr = nError == EWOULDBLOCK ? MAPI_E_TIMEOUT : MAPI_E_NO_ACCESS;
                ::close(m_fd);
                m_fd = -1;
                return;
            }
            std::this_thread::sleep_for(kLockPoll);
        }
    }
    ~FolderLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);  // closing releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // S_OK once the folder may be used; MAPI_E_TIMEOUT or MAPI_E_NO_ACCESS otherwise.
    HRESULT Result() const { return m_hr; }

private:
    int m_fd = -1;
    HRESULT m_hr = MAPI_E_NO_ACCESS;
};

std::string PathOf(const std::string& dir, const std::string& name) { return dir + "/" + name + kSuffix; }

bool FileExists(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

std::atomic<bool> g_synced{true};

// Writes content to path atomically: a temporary file in the same folder,
// flushed to disk (unless the process turned that off), then renamed over the target.
HRESULT WriteAtomic(const std::string& dir, const std::string& path, const std::string& content)
{
    std::string tmpl = dir + "/.tmp.XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0)
        return MAPI_E_NO_ACCESS;
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmpl.c_str());
            return MAPI_E_DISK_ERROR;
        }
        done += static_cast<size_t>(n);
    }
    if ((g_synced.load(std::memory_order_relaxed) && fsync(fd) != 0) || ::close(fd) != 0) {
        ::unlink(tmpl.c_str());
        return MAPI_E_DISK_ERROR;
    }
    if (std::rename(tmpl.c_str(), path.c_str()) != 0) {
        ::unlink(tmpl.c_str());
        return MAPI_E_DISK_ERROR;
    }
    return S_OK;
}

std::string Serialize(const Profile& p)
{
    std::ostringstream o;
    o << kHeader << "\n";
    o << "NAME " << Hex(p.name) << "\n";
    for (const ServiceEntry& s : p.services) {
        o << "SERVICE " << UidToken(s.uid) << " " << Hex(s.service) << " " << Hex(s.displayName) << " "
          << s.resourceFlags << "\n";
        for (const auto& [tag, value] : s.props)
            o << "PROP " << UidToken(s.uid) << " " << tag << " " << Hex(value) << "\n";
    }
    o << "END\n";
    return o.str();
}

bool Parse(const std::string& text, Profile& p)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kHeader)
        return false;
    bool ended = false;
    while (std::getline(in, line)) {
        if (ended)
            return false;
        std::istringstream f(line);
        std::string kind;
        f >> kind;
        if (kind == "NAME") {
            std::string v;
            if (!(f >> v) || !Unhex(v, p.name))
                return false;
        } else if (kind == "SERVICE") {
            std::string uid, name, disp;
            ULONG flags = 0;
            ServiceEntry s;
            if (!(f >> uid >> name >> disp >> flags) || !ParseUid(uid, s.uid) || !Unhex(name, s.service) ||
                !Unhex(disp, s.displayName))
                return false;
            s.resourceFlags = flags;
            p.services.push_back(std::move(s));
        } else if (kind == "PROP") {
            std::string uid, value, raw;
            ULONG tag = 0;
            MAPIUID u;
            if (!(f >> uid >> tag >> value) || !ParseUid(uid, u) || !Unhex(value, raw))
                return false;
            bool found = false;
            for (ServiceEntry& s : p.services)
                if (std::memcmp(s.uid.ab, u.ab, 16) == 0) {
                    s.props[tag] = raw;
                    found = true;
                }
            if (!found)
                return false;
        } else if (kind == "END") {
            ended = true;
        } else {
            return false;
        }
        std::string rest;
        if (f >> rest)
            return false;
    }
    return ended;
}

HRESULT ReadLocked(const std::string& dir, const std::string& name, Profile& profile)
{
    const std::string path = PathOf(dir, name);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return FileExists(path) ? MAPI_E_NO_ACCESS : MAPI_E_NOT_FOUND;
    std::ostringstream ss;
    ss << in.rdbuf();
    Profile p;
    if (!Parse(ss.str(), p) || p.name != name)
        return MAPI_E_CORRUPT_DATA;
    profile = std::move(p);
    return S_OK;
}

std::string ReadDefaultLocked(const std::string& dir)
{
    std::ifstream in(dir + "/" + kDefaultFile, std::ios::binary);
    std::string hex, name;
    if (in && std::getline(in, hex) && Unhex(hex, name))
        return name;
    return {};
}

} // namespace

HRESULT ValidateProfileName(const char* name)
{
    if (!name || !*name)
        return MAPI_E_INVALID_PARAMETER;
    size_t chars = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(name);
    for (size_t i = 0; s[i];) {
        unsigned char c = s[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0)
            return MAPI_E_INVALID_PARAMETER;
        for (size_t k = 1; k < len; ++k)
            if ((s[i + k] & 0xC0) != 0x80)
                return MAPI_E_INVALID_PARAMETER;
        if (len == 1 && (c < 0x20 || c == 0x7F || c == '/' || c == '\\'))
            return MAPI_E_INVALID_PARAMETER;
        if (len == 2 && c == 0xC2 && s[i + 1] < 0xA0)
            return MAPI_E_INVALID_PARAMETER;  // C1 control characters
        i += len;
        if (++chars > 64)
            return MAPI_E_INVALID_PARAMETER;
    }
    // The name is the profile's file name: it must fit the file system's limit with its suffix.
    if (std::strlen(name) + std::strlen(kSuffix) > 255)
        return MAPI_E_INVALID_PARAMETER;
    return S_OK;
}

std::string ProfileStore::Folder()
{
    if (const char* d = std::getenv("DRAVIK_MAPI_PROFILES"); d && *d)
        return d;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        return std::string(x) + "/dravik/profiles";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.config/dravik/profiles";
}

HRESULT ProfileStore::List(std::vector<std::string>& names, std::string& defaultName)
{
    names.clear();
    defaultName.clear();
    const std::string dir = Folder();
    FolderLock lock(dir, false);
    if (FAILED(lock.Result()))
        return lock.Result();
    DIR* d = opendir(dir.c_str());
    if (!d)
        return MAPI_E_NO_ACCESS;
    const size_t sl = std::strlen(kSuffix);
    while (dirent* e = readdir(d)) {
        std::string f = e->d_name;
        if (f.size() > sl && f.compare(f.size() - sl, sl, kSuffix) == 0) {
            std::string name = f.substr(0, f.size() - sl);
            if (ValidateProfileName(name.c_str()) == S_OK)
                names.push_back(name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    defaultName = ReadDefaultLocked(dir);
    return S_OK;
}

namespace {

// Runs f on the folder, locked (shared to read, exclusive to write), once the
// profile's name has been checked.
template <typename F>
HRESULT WithFolderLocked(const std::string& name, bool exclusive, F f)
{
    if (HRESULT hr = ValidateProfileName(name.c_str()); FAILED(hr))
        return hr;
    const std::string dir = ProfileStore::Folder();
    FolderLock lock(dir, exclusive);
    if (FAILED(lock.Result()))
        return lock.Result();
    return f(dir);
}

} // namespace

HRESULT ProfileStore::Read(const std::string& name, Profile& profile)
{
    return WithFolderLocked(name, false, [&](const std::string& dir) { return ReadLocked(dir, name, profile); });
}

HRESULT ProfileStore::Create(const std::string& name)
{
    return WithFolderLocked(name, true, [&](const std::string& dir) {
        const std::string path = PathOf(dir, name);
        if (FileExists(path))
            return MAPI_E_NO_ACCESS;
        Profile p;
        p.name = name;
        return WriteAtomic(dir, path, Serialize(p));
    });
}

HRESULT ProfileStore::Delete(const std::string& name)
{
    return WithFolderLocked(name, true, [&](const std::string& dir) -> HRESULT {
        if (::unlink(PathOf(dir, name).c_str()) != 0)
            return errno == ENOENT ? MAPI_E_NOT_FOUND : MAPI_E_NO_ACCESS;
        if (ReadDefaultLocked(dir) == name)
            ::unlink((dir + "/" + kDefaultFile).c_str());
        return S_OK;
    });
}

HRESULT ProfileStore::Update(const std::string& name, const std::function<HRESULT(Profile&)>& change)
{
    return WithFolderLocked(name, true, [&](const std::string& dir) {
        Profile p;
        HRESULT hr = ReadLocked(dir, name, p);
        if (FAILED(hr))
            return hr;
        hr = change(p);
        if (FAILED(hr))
            return hr;
        HRESULT w = WriteAtomic(dir, PathOf(dir, name), Serialize(p));
        return FAILED(w) ? w : hr;
    });
}

HRESULT ProfileStore::SetDefault(const std::string& name)
{
    return WithFolderLocked(name, true, [&](const std::string& dir) {
        if (!FileExists(PathOf(dir, name)))
            return MAPI_E_NOT_FOUND;
        return WriteAtomic(dir, dir + "/" + kDefaultFile, Hex(name) + "\n");
    });
}

void ProfileStore::SetSynced(bool synced)
{
    g_synced.store(synced, std::memory_order_relaxed);
}

std::string UidHex(const MAPIUID& uid)
{
    return UidToken(uid).substr(1);
}

MAPIUID NewUid()
{
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    MAPIUID u;
    for (int i = 0; i < 16; i += 8) {
        std::uint64_t r = rng();
        std::memcpy(u.ab + i, &r, 8);
    }
    return u;
}

} // namespace dravik::mapi32
