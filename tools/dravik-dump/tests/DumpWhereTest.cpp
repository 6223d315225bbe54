// dravik-dump --where as a process: only the matching messages, each with its
// path, and a bad query refused with where and what.
#include "DumpTestSupport.h"

#include <QJsonArray>
#include <gtest/gtest.h>

using namespace dumptest;

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

TEST(DumpWhere, WritesOnlyTheMatchingMessagesWithTheirPaths)
{
    CTempDir profiles;
    // Every message the walk writes whose subject holds "Report" in any case, found by reading the walk.
    const CResult all = RunDump({"--json", "--file", Sample("pst-extractor-enron.pst")}, profiles.Path());
    ASSERT_EQ(all.nExit, 0) << all.strErr;
    size_t expected = 0;
    for (const QJsonObject& o : JsonLines(all.strOut))
        if (o["kind"] == QStringLiteral("message") && o["depth"].toInt() > 0 &&
            o["text"].toString().contains(QStringLiteral("report"), Qt::CaseInsensitive))
            ++expected;
    ASSERT_GT(expected, 0u);

    const CResult r = RunDump({"--where", "PR_SUBJECT contains \"REPORT\"", "--file", Sample("pst-extractor-enron.pst")},
                              profiles.Path());
    EXPECT_EQ(r.nExit, 0) << r.strErr;
    const std::vector<std::string> lines = Lines(r.strOut);
    EXPECT_EQ(lines.size(), expected) << r.strOut;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("message: Personal folders/Top of Personal Folders/", 0), 0u) << line;
        std::string lower = line;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_NE(lower.find("report", line.rfind('/')), std::string::npos) << line;
    }

    const CResult json = RunDump({"--json", "--props", "--where", "PR_MESSAGE_DELIVERY_TIME < 2001-06-01", "--file",
                                  Sample("pst-extractor-enron.pst")},
                                 profiles.Path());
    EXPECT_EQ(json.nExit, 0) << json.strErr;
    const std::vector<QJsonObject> found = JsonLines(json.strOut);
    EXPECT_FALSE(found.empty());
    for (const QJsonObject& o : found) {
        EXPECT_EQ(o["kind"].toString(), QStringLiteral("message"));
        EXPECT_FALSE(o["props"].toArray().isEmpty()) << "--props writes each match's properties";
    }
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{});
}

TEST(DumpWhere, RefusesABadQueryPointingAtIt)
{
    CTempDir profiles;
    const CResult r = RunDump({"--where", "PR_SUBJECT contains budget", "--file", Sample("pst-extractor-enron.pst")},
                              profiles.Path());
    EXPECT_EQ(r.nExit, 2);
    EXPECT_NE(r.strErr.find("bad query: column 21: expected a string in quotes or x\"hex\", found \"budget\""),
              std::string::npos)
        << r.strErr;
    EXPECT_EQ(r.strOut, "");
}

} // namespace
