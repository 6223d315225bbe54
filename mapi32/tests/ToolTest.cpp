// The profile tool, run as a separate process over a temporary profile folder.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

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

    ToolRun Tool(const std::string& args)
    {
        const std::string cmd = "DRAVIK_MAPI_PROFILES='" + m_dir + "' '" DRAVIK_BINARY_DIR
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
