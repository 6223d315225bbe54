// dravik-dump --bodies as a process: every message of every sample store gets a body
// object whose parts are whole, a pstgen store with RTF bodies reads back as its text, and
// a damaged RTF body fails the dump with the message's path.
#include "DumpTestSupport.h"

#include "PffExport.h"
#include "content/HtmlText.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

using namespace dumptest;

namespace {

std::string Member(const QJsonObject& body, const char* key)
{
    return body[key].toString().toStdString();
}

} // namespace

TEST(DumpBodies, EverySampleMessageHasItsBody)
{
    int messages = 0, withBody = 0;
    for (auto& e : fs::directory_iterator(DRAVIK_SAMPLES_DIR)) {
        const auto ext = e.path().extension();
        if (ext != ".pst" && ext != ".ost")
            continue;
        SCOPED_TRACE(e.path().string());
        std::map<std::string, std::string> env;
        for (const auto& s : dravik::pffexport::samples())
            if (s.password && e.path().filename() == s.file)
                env["DRAVIK_STORE_PASSWORD"] = s.password;
        CTempDir profiles;
        const CResult r = RunDump({"--bodies", "--json", "--file", e.path().string()}, profiles.Path(), env);
        ASSERT_EQ(r.nExit, 0) << r.strErr;
        for (const QJsonObject& o : JsonLines(r.strOut)) {
            if (o["kind"].toString() != "message") {
                EXPECT_FALSE(o.contains("body"));
                continue;
            }
            ++messages;
            ASSERT_TRUE(o["body"].isObject()) << o["text"].toString().toStdString();
            const QJsonObject body = o["body"].toObject();
            const std::string source = Member(body, "source");
            if (source.empty()) {
                EXPECT_FALSE(body.contains("html") || body.contains("text") || body.contains("rtf"));
                continue;
            }
            ++withBody;
            // The RTF is given whole, and its text is the text shown.
            if (body.contains("rtf")) {
                const std::string rtf = Member(body, "rtf");
                EXPECT_EQ(rtf.rfind("{\\rtf1", 0), 0u) << rtf.substr(0, 40);
            }
            EXPECT_TRUE(body.contains("text")) << source;
            EXPECT_EQ(Member(body, "text").find("\xEF\xBF\xBD"), std::string::npos);
        }
    }
    EXPECT_GT(messages, 0);
    EXPECT_GT(withBody, 0);
}

TEST(DumpBodies, RtfBodiesOfAGeneratedStoreAndADamagedOne)
{
    CTempDir dir;
    const std::string store =
        WriteStore(dir.Path(), "rtf.pst", {"scale", "--folders", "1", "--messages", "4", "--attachments", "0",
                                           "--body", "html-rtf", "--damaged-rtf"});
    if (store.empty())
        GTEST_SKIP() << "pstgen is not built";
    const CResult r = RunDump({"--bodies", "--json", "--file", store}, dir.Path());
    EXPECT_EQ(r.nExit, 1);
    EXPECT_NE(r.strErr.find("a damaged body: \"Message Stores/pstgen scale store/Top of Personal Folders/Folder 1/Message 1.1 "),
              std::string::npos)
        << r.strErr;
    EXPECT_NE(r.strErr.find("CRC"), std::string::npos) << r.strErr;
    int good = 0;
    for (const QJsonObject& o : JsonLines(r.strOut)) {
        if (o["kind"].toString() != "message")
            continue;
        const QJsonObject body = o["body"].toObject();
        if (o["text"].toString().startsWith("Message 1.1 ")) {
            EXPECT_FALSE(body.contains("rtf"));  // a damaged RTF is never passed off as whole
            EXPECT_EQ(Member(body, "source"), "PR_BODY");
            continue;
        }
        ++good;
        EXPECT_EQ(Member(body, "source"), "PR_RTF_COMPRESSED");
        EXPECT_EQ(dravik::content::CollapseWhiteSpace(dravik::content::HtmlToText(Member(body, "html"))),
                  dravik::content::CollapseWhiteSpace(Member(body, "text")));
    }
    EXPECT_EQ(good, 3);

    // The text output: one row per part.
    const CResult t = RunDump({"--bodies", "--file", store}, dir.Path());
    EXPECT_NE(t.strOut.find(" body.html\t<html><head></head><body><p>"), std::string::npos) << t.strOut.substr(0, 2000);
    EXPECT_NE(t.strOut.find(" body.source\tPR_RTF_COMPRESSED\n"), std::string::npos);
}
