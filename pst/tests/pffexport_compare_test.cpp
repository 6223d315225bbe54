// Every sample store read by this library against what pffexport exports from it: the
// folder tree with display names and message counts, and for each message its subject,
// recipient count and attachment names.
#include "pst/messaging/store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace dravik::pst;

namespace {

struct Item {
    std::string messageClass;  // this library's side only
    std::string subject;  // empty when pffexport shows none
    size_t recipients = 0;
    std::vector<std::string> attachments;  // sorted; "<embedded>" for an attached message
    std::string where;
    // pffexport writes neither recipients nor attachments for meeting requests and responses.
    bool details = true;
};
using Tree = std::map<std::string, std::vector<Item>>;  // folder path -> its messages

std::string describe(const Item& i) {
    std::string s = "'" + i.subject + "' recipients=" + std::to_string(i.recipients) + " attachments=[";
    for (auto& a : i.attachments) s += a + ";";
    return s + "] " + i.where;
}

std::string trim(std::string s) {
    const char* ws = " \t\r\n";
    s.erase(0, s.find_first_not_of(ws));
    auto end = s.find_last_not_of(ws);
    s.erase(end == std::string::npos ? 0 : end + 1);
    return s;
}

// ---- pffexport's side: its export tree.

bool isItemDir(const fs::path& p) {
    static const std::regex itemName("[A-Za-z]+[0-9]{5}");
    if (!std::regex_match(p.filename().string(), itemName)) return false;
    for (auto& e : fs::directory_iterator(p))
        if (e.is_regular_file()) return true;
    return false;
}

Item readPffItem(const fs::path& dir) {
    Item it;
    it.where = dir.string();
    it.details = dir.filename().string().rfind("Meeting", 0) != 0;
    for (auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file() || e.path().extension() != ".txt") continue;
        std::ifstream f(e.path());
        std::string line;
        const bool recipients = e.path().filename() == "Recipients.txt";
        while (std::getline(f, line)) {
            if (recipients && line.rfind("Display name:", 0) == 0) ++it.recipients;
            if (!recipients && it.subject.empty() && line.rfind("Subject:", 0) == 0) {
                it.subject = trim(line.substr(8));
            }
        }
    }
    fs::path att = dir / "Attachments";
    if (fs::is_directory(att)) {
        static const std::regex fileName("[0-9]+_(.*)");
        for (auto& e : fs::directory_iterator(att)) {
            std::smatch m;
            std::string n = e.path().filename().string();
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

void readPffFolder(const fs::path& dir, const std::string& path, Tree& tree) {
    auto& items = tree[path];
    for (auto& e : fs::directory_iterator(dir)) {
        if (!e.is_directory()) continue;
        if (isItemDir(e.path()))
            items.push_back(readPffItem(e.path()));
        else
            readPffFolder(e.path(), path + "/" + e.path().filename().string(), tree);
    }
}

std::string exportedName(std::string n);

// ---- this library's side.

std::string attachmentName(const Attachment& a) {
    if (a.attachMethod() == 5 || a.hasEmbeddedMessage()) return "<embedded>";
    for (uint16_t id : {0x3707, 0x3704, 0x3001})
        if (auto p = a.properties().get(id); p && !p->utf8().empty()) return p->utf8();
    return "";
}

void readOurFolder(Store& store, uint32_t nid, const std::string& path, Tree& tree, int depth) {
    ASSERT_LT(depth, 32);
    Folder f = store.folder(nid);
    auto& items = tree[path];
    TableContext contents = f.contentsTable();
    for (size_t i = 0; i < contents.rowCount(); ++i) {
        Message m = store.message(contents.row(i).rowId);
        Item it;
        it.where = "NID " + hex(m.nid());
        if (auto s = m.properties().get(0x0037)) {
            it.subject = s->utf8();
            if (!it.subject.empty() && it.subject[0] == '\x01') it.subject.erase(0, 2);  // subject prefix marker
            it.subject = trim(it.subject);
        }
        if (auto c = m.properties().get(0x001A)) it.messageClass = c->utf8();
        it.recipients = m.recipientTable().rowCount();
        TableContext at = m.attachmentTable();
        for (size_t k = 0; k < at.rowCount(); ++k) it.attachments.push_back(attachmentName(m.attachment(at.row(k).rowId)));
        std::sort(it.attachments.begin(), it.attachments.end());
        items.push_back(std::move(it));
    }
    TableContext h = f.hierarchyTable();
    for (size_t i = 0; i < h.rowCount(); ++i) {
        uint32_t child = h.row(i).rowId;
        Folder c = store.folder(child);
        auto name = c.properties().get(0x3001);
        readOurFolder(store, child, path + "/" + exportedName(name ? name->utf8() : std::string()), tree, depth + 1);
    }
}

// pffexport writes file names with characters such as '!', '&' and '~' replaced by '_', and
// shortens long ones with "..." in the middle.
std::string exportedName(std::string n) {
    for (auto& c : n)
        if (!(isalnum(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80 ||
              std::string_view(" .-_(),'[]{}+=@$^`;#").find(c) != std::string_view::npos))
            c = '_';
    return n;
}

bool sameName(const std::string& pff, std::string ours) {
    if (pff == ours) return true;
    ours = exportedName(ours);
    if (pff == ours) return true;
    auto dots = pff.find("...");
    if (dots == std::string::npos) return false;
    std::string head = pff.substr(0, dots), tail = pff.substr(dots + 3);
    return ours.size() >= head.size() + tail.size() && ours.compare(0, head.size(), head) == 0 &&
           ours.compare(ours.size() - tail.size(), tail.size(), tail) == 0;
}

bool sameItem(const Item& pff, const Item& ours) {
    if (!pff.details) return pff.subject == ours.subject;
    if (pff.recipients != ours.recipients || pff.attachments.size() != ours.attachments.size()) return false;
    if (!pff.subject.empty() && pff.subject != ours.subject) return false;
    std::vector<bool> used(ours.attachments.size());
    for (auto& a : pff.attachments) {
        bool found = false;
        for (size_t i = 0; i < ours.attachments.size() && !found; ++i)
            if (!used[i] && sameName(a, ours.attachments[i])) used[i] = found = true;
        if (!found) return false;
    }
    return true;
}

class PffExportComparison : public ::testing::TestWithParam<const char*> {};

TEST_P(PffExportComparison, FolderTreeMessagesRecipientsAndAttachmentsAgree) {
    const std::string sample = std::string(DRAVIK_SAMPLES_DIR) + "/" + GetParam();
    ASSERT_TRUE(fs::exists(sample)) << sample;
    ASSERT_EQ(std::system("command -v pffexport > /dev/null"), 0) << "pffexport (pff-tools) is not installed";
    fs::path tmp = fs::temp_directory_path() / ("dravik-pffcmp-" + std::to_string(::getpid()) + "-" + GetParam());
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    const fs::path log = tmp / "log.txt";
    std::string cmd = "pffexport -m all -f all -t '" + (tmp / "x").string() + "' '" + sample + "' > '" + log.string() + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    Tree pff;
    readPffFolder(tmp / "x.export", "", pff);
    // pffexport leaves out items of classes it does not know ("Skipped item 1 out of 1 of type: IPM.Post.").
    std::set<std::string> skippedClasses;
    {
        std::ifstream f(log);
        std::string line;
        static const std::regex skipped("Skipped item [0-9]+ out of [0-9]+ of type: (.*)\\.");
        std::smatch m;
        while (std::getline(f, line))
            if (std::regex_match(line, m, skipped)) skippedClasses.insert(m[1]);
    }
    fs::remove_all(tmp);

    auto store = Store::open(sample);
    Tree ours;
    readOurFolder(*store, store->rootFolderNid(), "", ours, 0);

    std::vector<std::string> pffFolders, ourFolders;
    for (auto& [k, v] : pff) pffFolders.push_back(k);
    for (auto& [k, v] : ours) ourFolders.push_back(k);
    std::vector<std::string> onlyPff, onlyOurs;
    std::set_difference(pffFolders.begin(), pffFolders.end(), ourFolders.begin(), ourFolders.end(), std::back_inserter(onlyPff));
    std::set_difference(ourFolders.begin(), ourFolders.end(), pffFolders.begin(), pffFolders.end(), std::back_inserter(onlyOurs));
    EXPECT_EQ(onlyPff, std::vector<std::string>{}) << "folders only pffexport shows";
    EXPECT_EQ(onlyOurs, std::vector<std::string>{}) << "folders only this library shows";

    size_t compared = 0;
    for (auto& [path, pffItems] : pff) {
        auto it = ours.find(path);
        if (it == ours.end()) continue;
        auto ourItems = it->second;
        std::erase_if(ourItems, [&](const Item& o) { return skippedClasses.count(o.messageClass) > 0; });
        EXPECT_EQ(pffItems.size(), ourItems.size()) << "message count of folder '" << path << "'";
        for (auto& p : pffItems) {
            auto m = std::find_if(ourItems.begin(), ourItems.end(), [&p](const Item& o) { return sameItem(p, o); });
            if (m == ourItems.end()) {
                std::string near;
                for (auto& o : ourItems)
                    if (o.subject == p.subject) near += "\n  this library: " + describe(o);
                ADD_FAILURE() << "no message matches pffexport's " << describe(p) << " in folder '" << path << "'" << near;
                continue;
            }
            ourItems.erase(m);
            ++compared;
        }
    }
    RecordProperty("messagesCompared", static_cast<int>(compared));
}

INSTANTIATE_TEST_SUITE_P(Samples, PffExportComparison,
                         ::testing::Values("pstsdk-sample1.pst", "pstsdk-sample2.pst", "pstsdk-test_ansi.pst",
                                           "pstsdk-test_unicode.pst", "pstsdk-submessage.pst",
                                           "java-libpst-dist-list.pst", "java-libpst-passworded.pst",
                                           "pst-extractor-enron.pst", "pst-extractor-outlookcom.ost"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (auto& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

}  // namespace
