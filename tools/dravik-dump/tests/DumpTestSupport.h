// Running the built dravik-dump as a process, with a profile folder of its
// own, and reading what it wrote.
#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace dumptest {

namespace fs = std::filesystem;

inline std::string Sample(const std::string& name)
{
    return std::string(DRAVIK_SAMPLES_DIR) + "/" + name;
}

inline std::string ReadFile(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A fresh folder under the system's temporary folder, removed with the object.
class CTempDir
{
public:
    CTempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "dravik-dump-test.XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = tmpl;
    }
    ~CTempDir()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

// The profiles left in a profile folder: its files other than the lock and
// temporary files (which begin with a dot).
inline std::vector<std::string> ProfileFiles(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string()[0] != '.')
            names.push_back(e.path().filename().string());
    return names;
}

// One run of dravik-dump (or any program) with stdout and stderr in files.
class CProcess
{
public:
    // env: variables set on top of this process's environment.
    CProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
             const fs::path& outFile, const fs::path& errFile)
    {
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) {
            const std::string s = *e;
            const std::string key = s.substr(0, s.find('='));
            if (!env.count(key))
                envStrings.push_back(s);
        }
        for (const auto& [k, v] : env)
            envStrings.push_back(k + "=" + v);
        std::vector<char*> argv, envp;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (std::string& s : envStrings)
            envp.push_back(s.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // A new session: no controlling terminal, so nothing can ask on it.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
        if (posix_spawn(&m_pid, argv[0], &actions, &attr, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~CProcess()
    {
        if (m_pid > 0 && !m_bWaited) {
            ::kill(m_pid, SIGKILL);
            Wait();
        }
    }
    pid_t Pid() const { return m_pid; }
    bool Running()
    {
        if (m_bWaited || m_pid <= 0)
            return false;
        const pid_t r = ::waitpid(m_pid, &m_status, WNOHANG);
        if (r == m_pid)
            m_bWaited = true;
        return !m_bWaited;
    }
    // The exit status, or 256 + the signal that ended it.
    int Wait()
    {
        if (m_pid <= 0)
            return -1;
        if (!m_bWaited) {
            ::waitpid(m_pid, &m_status, 0);
            m_bWaited = true;
        }
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 256 + WTERMSIG(m_status);
    }

private:
    pid_t m_pid = -1;
    int m_status = 0;
    bool m_bWaited = false;
};

struct CResult
{
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

inline std::string DumpExe()
{
    return DRAVIK_DUMP_EXE;
}

// Runs dravik-dump with args, its profiles in profileDir, to its end.
inline CResult RunDump(const std::vector<std::string>& args, const fs::path& profileDir,
                       std::map<std::string, std::string> env = {})
{
    CTempDir out;
    env["DRAVIK_MAPI_PROFILES"] = profileDir.string();
    std::vector<std::string> argv{DumpExe()};
    argv.insert(argv.end(), args.begin(), args.end());
    CProcess p(argv, env, out.Path() / "out", out.Path() / "err");
    CResult r;
    r.nExit = p.Wait();
    r.strOut = ReadFile(out.Path() / "out");
    r.strErr = ReadFile(out.Path() / "err");
    return r;
}

// A store written by pstgen (args: its command, then its options) into dir;
// empty when pstgen is not built.
inline std::string WriteStore(const fs::path& dir, const std::string& name, const std::vector<std::string>& args)
{
#ifdef DRAVIK_PSTGEN_EXE
    const fs::path path = dir / name;
    std::vector<std::string> argv{DRAVIK_PSTGEN_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.begin() + 2, path.string());
    CProcess p(argv, {}, dir / (name + ".out"), dir / (name + ".err"));
    EXPECT_EQ(p.Wait(), 0) << ReadFile(dir / (name + ".err"));
    return path.string();
#else
    (void)dir, (void)name, (void)args;
    return std::string();
#endif
}

// The JSON lines of an output; a line that is not a JSON object fails.
inline std::vector<QJsonObject> JsonLines(const std::string& out)
{
    std::vector<QJsonObject> objects;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << "not JSON: " << line.substr(0, 300);
        EXPECT_TRUE(doc.isObject()) << line.substr(0, 300);
        objects.push_back(doc.object());
    }
    return objects;
}

// The value text of a property of a JSON line, by its tag's ID ("0x3707"),
// whatever its type; empty when absent.
inline std::string PropValue(const QJsonObject& o, const char* pszId)
{
    for (const QJsonValue& v : o["props"].toArray()) {
        const std::string tag = v.toObject()["tag"].toString().toStdString();
        if (tag.compare(0, 6, pszId) == 0)
            return v.toObject()["value"].toString().toStdString();
    }
    return std::string();
}

} // namespace dumptest
