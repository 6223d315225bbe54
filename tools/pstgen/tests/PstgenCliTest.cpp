// pstgen's command line, run as a process: help and version on every
// command, unknown options and bad values refused with status 2 and named,
// and a store written only when the line is good.
#include "DravikVersion.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct CliCase
{
    const char* name;
    std::string args;     // after "pstgen"; OUT stands for the store to write
    int status;
    const char* out;      // in standard output ("" for nothing asked)
    const char* err;      // in standard error
    bool writesStore;
};

std::ostream& operator<<(std::ostream& os, const CliCase& c) { return os << c.name; }

const CliCase kCases[] = {
    {"help", "--help", 0, "usage: pstgen demo OUT.pst", "", false},
    {"help after a command", "scale --help", 0, "usage: pstgen demo", "", false},
    {"help after the store", "scale OUT --folders 1 --help", 0, "usage:", "", false},
    {"help of codepage", "codepage -h", 0, "usage:", "", false},
    {"version", "--version", 0, "pstgen " DRAVIK_VERSION "\n", "", false},
    {"version after a command", "demo --version", 0, "pstgen " DRAVIK_VERSION, "", false},
    {"no command", "", 2, "", "pstgen: no command given", false},
    {"unknown command", "make OUT", 2, "", "pstgen: unknown command make", false},
    {"unknown option alone", "--frobnicate", 2, "", "pstgen: unknown option --frobnicate", false},
    {"option in place of the store", "scale --folders 2", 2, "", "pstgen: unknown option --folders", false},
    {"store missing", "demo", 2, "", "pstgen: demo needs OUT.pst", false},
    {"unknown option of scale", "scale OUT --bogus 3", 2, "", "pstgen: unknown option --bogus", false},
    {"unknown option of demo", "demo OUT --folders 3", 2, "", "pstgen: unknown option --folders", false},
    {"extra argument of demo", "demo OUT extra", 2, "", "pstgen: unexpected argument extra", false},
    {"unknown option of codepage", "codepage OUT --script cyrillic --declare locale --x", 2, "",
     "pstgen: unknown option --x", false},
    {"value missing", "scale OUT --folders", 2, "", "pstgen: --folders needs a value", false},
    {"bad number", "scale OUT --messages many", 2, "", "pstgen: bad value --messages many", false},
    {"negative number", "scale OUT --messages -1", 2, "", "pstgen: bad value --messages -1", false},
    {"bad encoding", "scale OUT --encoding rot13", 2, "", "pstgen: unknown --encoding rot13", false},
    {"attachments on no message", "scale OUT --attach-every 0", 2, "", "pstgen: bad value --attach-every 0", false},
    {"share over 100 %", "scale OUT --delete 101", 2, "", "pstgen: --delete takes a percentage (0 to 100)", false},
    {"truth without a file", "scale OUT --truth", 2, "", "pstgen: --truth needs a value", false},
    {"codepage without script", "codepage OUT", 2, "", "pstgen: codepage needs --script", false},
    {"bad script", "codepage OUT --script klingon", 2, "", "pstgen: unknown script klingon", false},
    {"demo", "demo OUT", 0, "", "", true},
    {"scale", "scale OUT --folders 1 --messages 2 --attachments 0 --encoding cyclic", 0, "bytes", "", true},
    {"scale, attachments on one message in five", "scale OUT --folders 1 --messages 6 --attach-every 5", 0, "bytes", "",
     true},
    {"codepage", "codepage OUT --script hebrew --declare internet", 0, "", "", true},
};

class PstgenCli : public ::testing::TestWithParam<CliCase>
{
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("dravik-pstgen-cli-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    static std::string Read(const fs::path& p)
    {
        std::ifstream in(p);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    fs::path m_dir;
};

TEST_P(PstgenCli, ExitStatusAndMessages)
{
    const CliCase& c = GetParam();
    const fs::path store = m_dir / "out.pst";
    std::string args = c.args;
    for (size_t at; (at = args.find("OUT")) != std::string::npos;)
        args.replace(at, 3, "'" + store.string() + "'");
    const std::string cmd = std::string("'" DRAVIK_PSTGEN_EXE "' ") + args + " > '" + (m_dir / "stdout").string() +
                            "' 2> '" + (m_dir / "stderr").string() + "'";
    const int raw = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(raw)) << cmd;
    const std::string out = Read(m_dir / "stdout"), err = Read(m_dir / "stderr");
    EXPECT_EQ(WEXITSTATUS(raw), c.status) << "stdout: " << out << "\nstderr: " << err;
    EXPECT_NE(out.find(c.out), std::string::npos) << out;
    EXPECT_NE(err.find(c.err), std::string::npos) << err;
    if (c.status != 0)
        EXPECT_NE(err.find("usage: pstgen"), std::string::npos) << "bad usage shows the usage";
    else
        EXPECT_TRUE(err.empty()) << err;
    // Nothing is written for help, version or a bad line: no file named
    // after an option either.
    EXPECT_EQ(fs::exists(store), c.writesStore);
    size_t nFiles = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_dir))
        ++nFiles;
    EXPECT_EQ(nFiles, 2u + (c.writesStore ? 1u : 0u));
}

INSTANTIATE_TEST_SUITE_P(Table, PstgenCli, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CliCase>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

} // namespace
