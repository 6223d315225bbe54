// The profile tool, run as a separate process over a temporary profile folder.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct ToolRun
{
    int code;
    std::string out;  // stdout and stderr together
};

class ToolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/dravik-profiles-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // Runs the tool; prefix goes before it (to run it as another user).
    ToolRun Tool(const std::string& args, const std::string& prefix = "")
    {
        const std::string cmd = "DRAVIK_MAPI_PROFILES='" + m_dir + "' " + prefix + " '" DRAVIK_BINARY_DIR
                                "/tools/dravik-profiles/dravik-profiles' " + args + " 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        ToolRun r{-1, {}};
        if (!p)
            return r;
        std::array<char, 512> buf;
        while (size_t n = fread(buf.data(), 1, buf.size(), p))
            r.out.append(buf.data(), n);
        const int status = pclose(p);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }
    std::string m_dir;
};

} // namespace

TEST_F(ToolTest, CreateAddStoreListDefaultDelete)
{
    EXPECT_EQ(Tool("create Work").code, 0);
    EXPECT_EQ(Tool("create 'Second one'").code, 0);
    EXPECT_EQ(Tool("add-store Work '" DRAVIK_SAMPLES_DIR "/pstsdk-sample1.pst'").code, 0);
    EXPECT_EQ(Tool("default Work").code, 0);
    ToolRun list = Tool("list");
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(list.out, "Second one\nWork *\n");
    EXPECT_EQ(Tool("delete Work").code, 0);
    EXPECT_EQ(Tool("list").out, "Second one\n");
}

TEST_F(ToolTest, ErrorsAndUsage)
{
    struct Case
    {
        std::string args;
        int code;
        std::string text;  // expected somewhere in the output
    } cases[] = {
        {"", 2, "Usage: dravik-profiles"},
        {"frobnicate", 2, "unknown command \"frobnicate\""},
        {"create", 2, "wrong number of arguments for \"create\""},
        {"add-store Work", 2, "wrong number of arguments"},
        {"--help", 0, "add-store NAME PATH"},
        {"delete Nobody", 1, "8004010F"},
        {"create 'a/b'", 1, "80070057"},
        {"add-store Nobody /tmp/x.pst", 1, "8004010F"},
        {"default Nobody", 1, "8004010F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        ToolRun r = Tool(c.args);
        EXPECT_EQ(r.code, c.code);
        EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
    }
    EXPECT_EQ(Tool("create Work").code, 0);
    ToolRun dup = Tool("create Work");
    EXPECT_EQ(dup.code, 1);
    EXPECT_NE(dup.out.find("80070005"), std::string::npos) << dup.out;
    // A store file that does not exist is refused and leaves no service behind.
    ToolRun missing = Tool("add-store Work /nonexistent/store.pst");
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.out.find("8004010F"), std::string::npos) << missing.out;
}

TEST_F(ToolTest, MessagesSayWhatIsWrong)
{
    ASSERT_EQ(Tool("create Work").code, 0);
    const std::string empty = m_dir + "/empty.pst";
    { std::FILE* f = std::fopen(empty.c_str(), "w"); ASSERT_NE(f, nullptr); std::fclose(f); }
    struct Case
    {
        std::string args;
        std::string text;
    } cases[] = {
        {"add-store Work /nonexistent/store.pst", "(the store file does not exist)"},
        {"add-store Work '" + empty + "'", "(the file is not a PST or OST store)"},
        {"add-store Nobody /nonexistent/store.pst", "(no such profile)"},
        {"create Work", "(it exists already or cannot be written)"},
        // A refused name comes back with its control characters escaped.
        {"create \"$(printf 'a\\001b\\033[31mc')\"", "\"a\\x01b\\x1B[31mc\""},
        {"\"$(printf 'x\\033y')\"", "unknown command \"x\\x1By\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const ToolRun r = Tool(c.args);
        EXPECT_NE(r.code, 0);
        EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find('\033'), std::string::npos) << "raw escape character in: " << r.out;
    }
}

// A folder the user may only read: listing works, changes are refused with a
// message that says so. As root, permissions do not bind, so the tool runs as
// the unprivileged user "nobody" over a folder it owns.
TEST_F(ToolTest, ReadOnlyFolderCanBeListed)
{
    ASSERT_EQ(Tool("create Work").code, 0);
    ASSERT_EQ(Tool("create Home").code, 0);
    ASSERT_EQ(Tool("default Home").code, 0);
    std::string prefix;
    if (::geteuid() == 0) {
        if (std::system("command -v setpriv >/dev/null") != 0)
            GTEST_SKIP() << "running as root without setpriv: permissions cannot be tested";
        ASSERT_EQ(std::system(("chown -R 65534:65534 '" + m_dir + "'").c_str()), 0);
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    }
    const std::string lock = m_dir + "/.lock";
    for (const char* lockState : {"no lock file", "read-only lock file"}) {
        SCOPED_TRACE(lockState);
        ::chmod(m_dir.c_str(), 0700);
        ::unlink(lock.c_str());
        if (std::string(lockState) == "read-only lock file") {
            const int fd = ::open(lock.c_str(), O_CREAT | O_WRONLY, 0444);
            ASSERT_GE(fd, 0);
            ::close(fd);
            if (::geteuid() == 0) {
                ASSERT_EQ(::chown(lock.c_str(), 65534, 65534), 0);
            }
        }
        ASSERT_EQ(::chmod(m_dir.c_str(), 0555), 0);
        const ToolRun list = Tool("list", prefix);
        EXPECT_EQ(list.code, 0) << list.out;
        EXPECT_EQ(list.out, "Home *\nWork\n");
        const ToolRun create = Tool("create Third", prefix);
        EXPECT_EQ(create.code, 1);
        EXPECT_NE(create.out.find("(the profile folder cannot be written)"), std::string::npos) << create.out;
    }
    ::chmod(m_dir.c_str(), 0700);
}

// Another program holding the folder's lock makes the tool give up after a
// bounded wait instead of waiting for ever.
TEST_F(ToolTest, LockWaitIsBounded)
{
    ASSERT_EQ(Tool("create Work").code, 0);
    const int fd = ::open((m_dir + "/.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const ToolRun list = Tool("list");
    ::close(fd);
    EXPECT_EQ(list.code, 1);
    EXPECT_NE(list.out.find("80040401"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("locked by another program"), std::string::npos) << list.out;
    EXPECT_EQ(Tool("list").out, "Work\n");
}
