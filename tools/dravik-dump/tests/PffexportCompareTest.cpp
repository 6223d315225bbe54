// Every sample store dumped by dravik-dump --props --json against what
// pffexport exports from the same file: the folder tree, the messages of each
// folder with their subjects, recipient counts and attachment names.
#include "DumpTestSupport.h"

#include "PffExport.h"

#include <algorithm>

using namespace dumptest;
namespace pff = dravik::pffexport;

namespace {

// A tree item's text is cut to 254 bytes: a longer subject matches on that part.
bool SameSubject(const std::string& exported, const std::string& ours)
{
    if (exported == ours)
        return true;
    return ours.size() >= 250 && exported.compare(0, ours.size(), ours) == 0;
}

// ---- the dump's side: its JSON lines, one store.

// An attachment's name as pffexport writes it: the long file name, else the
// short one, else the display name; "<embedded>" for an attached message.
std::string AttachmentName(const QJsonObject& o)
{
    if (PropValue(o, "0x3705") == "5")
        return pff::kEmbedded;
    for (const char* id : {"0x3707", "0x3704", "0x3001"})
        if (std::string v = PropValue(o, id); !v.empty())
            return v;
    return o["text"].toString().toStdString();
}

void ReadDump(const std::vector<QJsonObject>& lines, pff::Tree& tree)
{
    struct Level
    {
        int depth;
        std::string kind;
        std::string path;  // of a folder
    };
    std::vector<Level> stack;
    std::vector<pff::Message>* pItems = nullptr;
    pff::Message* pMessage = nullptr;
    std::string group;  // the message group we are in
    int messageDepth = -1;  // of pMessage; an embedded message's own groups lie deeper
    bool inStores = false;
    for (const QJsonObject& o : lines) {
        const int depth = o["depth"].toInt();
        const std::string kind = o["kind"].toString().toStdString();
        const std::string text = o["text"].toString().toStdString();
        while (!stack.empty() && stack.back().depth >= depth)
            stack.pop_back();
        if (depth == 0)
            inStores = text == "Message Stores";
        if (!inStores) {
            stack.push_back({depth, kind, ""});
            continue;
        }
        const std::string parentKind = stack.empty() ? "" : stack.back().kind;
        if (kind == "store") {
            tree[""];
        } else if (kind == "folder") {
            const std::string parentPath = parentKind == "folder" ? stack.back().path : "";
            const std::string path = pff::folderPath(parentPath, text);
            tree[path];
            stack.push_back({depth, kind, path});
            continue;
        } else if (kind == "message" && parentKind == "folder") {
            pItems = &tree[stack.back().path];
            pff::Message it;
            it.subject = pff::trim(text);
            it.messageClass = PropValue(o, "0x001a");
            it.where = "dump line " + std::to_string(&o - lines.data() + 1);
            pItems->push_back(std::move(it));
            pMessage = &pItems->back();
            messageDepth = depth;
        } else if (kind == "category" && parentKind == "message" && depth == messageDepth + 1) {
            group = text;
        } else if (depth != messageDepth + 2) {
            // inside an embedded message: pffexport counts it with its attachment
        } else if (kind == "attachment" && pMessage && group == "Attachments") {
            pMessage->attachments.push_back(AttachmentName(o));
            std::sort(pMessage->attachments.begin(), pMessage->attachments.end());
        } else if (kind == "recipient" && pMessage && group == "Recipients") {
            ++pMessage->recipients;
        }
        stack.push_back({depth, kind, ""});
    }
}

class PffexportComparison : public ::testing::TestWithParam<pff::Sample>
{
};

TEST_P(PffexportComparison, FoldersMessagesRecipientsAndAttachmentsAgree)
{
    const std::string sample = Sample(GetParam().file);
    ASSERT_TRUE(fs::exists(sample)) << sample;

    pff::Export exported;
    std::string error;
    ASSERT_TRUE(pff::run(sample, exported, error)) << error;

    CTempDir profiles;
    std::map<std::string, std::string> env;
    if (GetParam().password)
        env["DRAVIK_STORE_PASSWORD"] = GetParam().password;
    const CResult r = RunDump({"--props", "--json", "--file", sample}, profiles.Path(), env);
    EXPECT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(r.strErr, "");
    EXPECT_EQ(ProfileFiles(profiles.Path()), std::vector<std::string>{}) << "the temporary profile is left behind";
    const std::vector<QJsonObject> lines = JsonLines(r.strOut);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const QJsonObject& o) {
        return o["depth"].toInt() == 0 && o["text"].toString() == QStringLiteral("Address Book(s)");
    })) << "the walk did not reach the address book";
    // Without --props the walk is the same: the same objects with the same texts.
    const CResult plain = RunDump({"--json", "--file", sample}, profiles.Path(), env);
    EXPECT_EQ(plain.nExit, 0) << plain.strErr;
    const auto objects = [](const std::vector<QJsonObject>& json) {
        std::vector<std::string> list;
        for (const QJsonObject& o : json)  // the temporary profile's name is drawn anew each time
            if (o["kind"] != QStringLiteral("profile") && o["kind"] != QStringLiteral("service"))
                list.push_back(std::to_string(o["depth"].toInt()) + " " + o["kind"].toString().toStdString() +
                               ": " + o["text"].toString().toStdString());
        return list;
    };
    EXPECT_EQ(objects(JsonLines(plain.strOut)), objects(lines));

    pff::Tree ours;
    ReadDump(lines, ours);
    ASSERT_TRUE(ours.count("")) << "no store in the dump";

    const pff::Comparison c = pff::compare(exported, ours, "the dump", SameSubject);
    EXPECT_EQ(c.foldersOnlyInPff, std::vector<std::string>{}) << "folders only pffexport shows";
    EXPECT_EQ(c.foldersOnlyInOurs, std::vector<std::string>{}) << "folders only the dump shows";
    for (const std::string& d : c.messageDifferences)
        ADD_FAILURE() << d;
    RecordProperty("messagesCompared", static_cast<int>(c.messagesCompared));
}

INSTANTIATE_TEST_SUITE_P(Samples, PffexportComparison, ::testing::ValuesIn(pff::samples()),
                         [](const auto& info) { return pff::testName(info.param); });

} // namespace
