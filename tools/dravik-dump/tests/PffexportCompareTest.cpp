// Every sample store dumped by dravik-dump --props --json against what
// pffexport exports from the same file: the folder tree, the messages of each
// folder with their subjects, recipient counts and attachment names.
#include "DumpTestSupport.h"

#include <algorithm>
#include <regex>
#include <set>

using namespace dumptest;

namespace {

struct Item
{
    std::string messageClass;  // the dump's side only
    std::string subject;       // empty when pffexport shows none
    size_t recipients = 0;
    std::vector<std::string> attachments;  // sorted; "<embedded>" for an attached message
    std::string where;
    // pffexport writes neither recipients nor attachments for meeting requests and responses.
    bool details = true;
};
using Tree = std::map<std::string, std::vector<Item>>;  // folder path -> its messages

std::string Describe(const Item& i)
{
    std::string s = "'" + i.subject + "' recipients=" + std::to_string(i.recipients) + " attachments=[";
    for (const auto& a : i.attachments)
        s += a + ";";
    return s + "] " + i.where;
}

std::string Trim(std::string s)
{
    const char* ws = " \t\r\n";
    s.erase(0, s.find_first_not_of(ws));
    const auto end = s.find_last_not_of(ws);
    s.erase(end == std::string::npos ? 0 : end + 1);
    return s;
}

// pffexport writes file names with characters such as '!', '&' and '~'
// replaced by '_', and shortens long ones with "..." in the middle.
std::string ExportedName(std::string n)
{
    for (auto& c : n)
        if (!(isalnum(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80 ||
              std::string_view(" .-_(),'[]{}+=@$^`;#").find(c) != std::string_view::npos))
            c = '_';
    return n;
}

bool SameName(const std::string& pff, std::string ours)
{
    if (pff == ours)
        return true;
    ours = ExportedName(ours);
    if (pff == ours)
        return true;
    const auto dots = pff.find("...");
    if (dots == std::string::npos)
        return false;
    const std::string head = pff.substr(0, dots), tail = pff.substr(dots + 3);
    return ours.size() >= head.size() + tail.size() && ours.compare(0, head.size(), head) == 0 &&
           ours.compare(ours.size() - tail.size(), tail.size(), tail) == 0;
}

// A tree item's text is cut to 254 bytes: a longer subject matches on that part.
bool SameSubject(const std::string& pff, const std::string& ours)
{
    if (pff == ours)
        return true;
    return ours.size() >= 250 && pff.compare(0, ours.size(), ours) == 0;
}

bool SameItem(const Item& pff, const Item& ours)
{
    if (!pff.details)
        return SameSubject(pff.subject, ours.subject);
    if (pff.recipients != ours.recipients || pff.attachments.size() != ours.attachments.size())
        return false;
    if (!pff.subject.empty() && !SameSubject(pff.subject, ours.subject))
        return false;
    std::vector<bool> used(ours.attachments.size());
    for (const auto& a : pff.attachments) {
        bool found = false;
        for (size_t i = 0; i < ours.attachments.size() && !found; ++i)
            if (!used[i] && SameName(a, ours.attachments[i]))
                used[i] = found = true;
        if (!found)
            return false;
    }
    return true;
}

// ---- pffexport's side: its export tree.

bool IsItemDir(const fs::path& p)
{
    static const std::regex itemName("[A-Za-z]+[0-9]{5}");
    if (!std::regex_match(p.filename().string(), itemName))
        return false;
    for (const auto& e : fs::directory_iterator(p))
        if (e.is_regular_file())
            return true;
    return false;
}

Item ReadPffItem(const fs::path& dir)
{
    Item it;
    it.where = dir.string();
    it.details = dir.filename().string().rfind("Meeting", 0) != 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file() || e.path().extension() != ".txt")
            continue;
        std::ifstream f(e.path());
        std::string line;
        const bool recipients = e.path().filename() == "Recipients.txt";
        while (std::getline(f, line)) {
            if (recipients && line.rfind("Display name:", 0) == 0)
                ++it.recipients;
            if (!recipients && it.subject.empty() && line.rfind("Subject:", 0) == 0)
                it.subject = Trim(line.substr(8));
        }
    }
    const fs::path att = dir / "Attachments";
    if (fs::is_directory(att)) {
        static const std::regex fileName("[0-9]+_(.*)");
        for (const auto& e : fs::directory_iterator(att)) {
            std::smatch m;
            const std::string n = e.path().filename().string();
            if (e.is_directory())
                it.attachments.push_back("<embedded>");
            else if (std::regex_match(n, m, fileName))
                it.attachments.push_back(m[1]);
            else
                it.attachments.push_back(n);
        }
    }
    std::sort(it.attachments.begin(), it.attachments.end());
    return it;
}

void ReadPffFolder(const fs::path& dir, const std::string& path, Tree& tree)
{
    auto& items = tree[path];
    for (const auto& e : fs::directory_iterator(dir)) {
        if (!e.is_directory())
            continue;
        if (IsItemDir(e.path()))
            items.push_back(ReadPffItem(e.path()));
        else
            ReadPffFolder(e.path(), path + "/" + e.path().filename().string(), tree);
    }
}

// ---- the dump's side: its JSON lines, one store.

// An attachment's name as pffexport writes it: the long file name, else the
// short one, else the display name; "<embedded>" for an attached message.
std::string AttachmentName(const QJsonObject& o)
{
    if (PropValue(o, "0x3705") == "5")
        return "<embedded>";
    for (const char* id : {"0x3707", "0x3704", "0x3001"})
        if (std::string v = PropValue(o, id); !v.empty())
            return v;
    return o["text"].toString().toStdString();
}

void ReadDump(const std::vector<QJsonObject>& lines, Tree& tree)
{
    struct Level
    {
        int depth;
        std::string kind;
        std::string path;  // of a folder
    };
    std::vector<Level> stack;
    std::vector<Item>* pItems = nullptr;
    Item* pMessage = nullptr;
    std::string group;  // the message group we are in
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
            const std::string path = parentPath + "/" + ExportedName(text);
            tree[path];
            stack.push_back({depth, kind, path});
            continue;
        } else if (kind == "message" && parentKind == "folder") {
            pItems = &tree[stack.back().path];
            Item it;
            it.subject = Trim(text);
            it.messageClass = PropValue(o, "0x001a");
            it.where = "dump line " + std::to_string(&o - lines.data() + 1);
            pItems->push_back(std::move(it));
            pMessage = &pItems->back();
        } else if (kind == "category" && parentKind == "message") {
            group = text;
        } else if (kind == "attachment" && pMessage && group == "Attachments") {
            pMessage->attachments.push_back(AttachmentName(o));
            std::sort(pMessage->attachments.begin(), pMessage->attachments.end());
        } else if (kind == "recipient" && pMessage && group == "Recipients") {
            ++pMessage->recipients;
        }
        stack.push_back({depth, kind, ""});
    }
}

struct CSample
{
    const char* file;
    const char* password;  // for DRAVIK_STORE_PASSWORD, or null
};

void PrintTo(const CSample& sample, std::ostream* os)
{
    *os << sample.file;
}

class PffexportComparison : public ::testing::TestWithParam<CSample>
{
};

TEST_P(PffexportComparison, FoldersMessagesRecipientsAndAttachmentsAgree)
{
    const std::string sample = Sample(GetParam().file);
    ASSERT_TRUE(fs::exists(sample)) << sample;
    ASSERT_EQ(std::system("command -v pffexport > /dev/null"), 0) << "pffexport (pff-tools) is not installed";

    CTempDir tmp;
    const fs::path log = tmp.Path() / "log.txt";
    const std::string cmd = "pffexport -m all -f all -t '" + (tmp.Path() / "x").string() + "' '" + sample + "' > '" +
                            log.string() + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    Tree pff;
    ReadPffFolder(tmp.Path() / "x.export", "", pff);
    // pffexport leaves out items of classes it does not know ("Skipped item 1 out of 1 of type: IPM.Post.").
    std::set<std::string> skippedClasses;
    {
        std::ifstream f(log);
        std::string line;
        static const std::regex skipped("Skipped item [0-9]+ out of [0-9]+ of type: (.*)\\.");
        std::smatch m;
        while (std::getline(f, line))
            if (std::regex_match(line, m, skipped))
                skippedClasses.insert(m[1]);
    }

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

    Tree ours;
    ReadDump(lines, ours);
    ASSERT_TRUE(ours.count("")) << "no store in the dump";

    std::vector<std::string> pffFolders, ourFolders, onlyPff, onlyOurs;
    for (const auto& [k, v] : pff)
        pffFolders.push_back(k);
    for (const auto& [k, v] : ours)
        ourFolders.push_back(k);
    std::set_difference(pffFolders.begin(), pffFolders.end(), ourFolders.begin(), ourFolders.end(),
                        std::back_inserter(onlyPff));
    std::set_difference(ourFolders.begin(), ourFolders.end(), pffFolders.begin(), pffFolders.end(),
                        std::back_inserter(onlyOurs));
    EXPECT_EQ(onlyPff, std::vector<std::string>{}) << "folders only pffexport shows";
    EXPECT_EQ(onlyOurs, std::vector<std::string>{}) << "folders only the dump shows";

    size_t compared = 0;
    for (const auto& [path, pffItems] : pff) {
        const auto it = ours.find(path);
        if (it == ours.end())
            continue;
        auto ourItems = it->second;
        std::erase_if(ourItems, [&](const Item& o) { return skippedClasses.count(o.messageClass) > 0; });
        EXPECT_EQ(pffItems.size(), ourItems.size()) << "message count of folder '" << path << "'";
        for (const Item& p : pffItems) {
            const auto m =
                std::find_if(ourItems.begin(), ourItems.end(), [&p](const Item& o) { return SameItem(p, o); });
            if (m == ourItems.end()) {
                std::string near;
                for (const Item& o : ourItems)
                    if (SameSubject(p.subject, o.subject))
                        near += "\n  the dump: " + Describe(o);
                ADD_FAILURE() << "no message matches pffexport's " << Describe(p) << " in folder '" << path << "'"
                              << near;
                continue;
            }
            ourItems.erase(m);
            ++compared;
        }
    }
    RecordProperty("messagesCompared", static_cast<int>(compared));
}

// The password of test_ansi and test_unicode is "test". The passworded sample
// keeps only the CRC of its password, like every store: "a6xnjH" is a
// password with that CRC, which is all a store can check.
INSTANTIATE_TEST_SUITE_P(Samples, PffexportComparison,
                         ::testing::Values(CSample{"pstsdk-sample1.pst", nullptr}, CSample{"pstsdk-sample2.pst", nullptr},
                                           CSample{"pstsdk-test_ansi.pst", "test"},
                                           CSample{"pstsdk-test_unicode.pst", "test"},
                                           CSample{"pstsdk-submessage.pst", nullptr},
                                           CSample{"java-libpst-dist-list.pst", nullptr},
                                           CSample{"java-libpst-passworded.pst", "a6xnjH"},
                                           CSample{"pst-extractor-enron.pst", nullptr},
                                           CSample{"pst-extractor-outlookcom.ost", nullptr}),
                         [](const auto& info) {
                             std::string n = info.param.file;
                             for (auto& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return n;
                         });

} // namespace
