#include "PffExport.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string_view>
#include <unistd.h>

namespace fs = std::filesystem;

namespace dravik::pffexport {
namespace {

// pffexport writes file names with characters such as '!', '&' and '~' replaced by '_'.
std::string exportedName(std::string n) {
    for (auto& c : n)
        if (!(isalnum(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80 ||
              std::string_view(" .-_(),'[]{}+=@$^`;#").find(c) != std::string_view::npos))
            c = '_';
    return n;
}

// An attachment's file name as pffexport writes it against the other side's: the same, the
// same with characters replaced, or shortened with "..." in the middle.
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

bool sameItem(const Message& pff, const Message& ours, const SubjectMatch& sameSubject) {
    if (!pff.details) return sameSubject(pff.subject, ours.subject);
    if (pff.recipients != ours.recipients || pff.attachments.size() != ours.attachments.size()) return false;
    if (!pff.subject.empty() && !sameSubject(pff.subject, ours.subject)) return false;
    std::vector<bool> used(ours.attachments.size());
    for (auto& a : pff.attachments) {
        bool found = false;
        for (size_t i = 0; i < ours.attachments.size() && !found; ++i)
            if (!used[i] && sameName(a, ours.attachments[i])) used[i] = found = true;
        if (!found) return false;
    }
    return true;
}

// ---- the export folder: a folder per folder, a folder per item ("Message00001") holding
// its text files and its "Attachments" folder.

bool isItemDir(const fs::path& p) {
    static const std::regex itemName("[A-Za-z]+[0-9]{5}");
    if (!std::regex_match(p.filename().string(), itemName)) return false;
    for (auto& e : fs::directory_iterator(p))
        if (e.is_regular_file()) return true;
    return false;
}

Message readItem(const fs::path& dir) {
    Message it;
    it.where = dir.string();
    it.details = dir.filename().string().rfind("Meeting", 0) != 0;
    for (auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file() || e.path().extension() != ".txt") continue;
        std::ifstream f(e.path());
        std::string line;
        const bool recipients = e.path().filename() == "Recipients.txt";
        while (std::getline(f, line)) {
            if (recipients && line.rfind("Display name:", 0) == 0) ++it.recipients;
            if (!recipients && it.subject.empty() && line.rfind("Subject:", 0) == 0) it.subject = trim(line.substr(8));
        }
    }
    fs::path att = dir / "Attachments";
    if (fs::is_directory(att)) {
        static const std::regex fileName("[0-9]+_(.*)");
        for (auto& e : fs::directory_iterator(att)) {
            std::smatch m;
            std::string n = e.path().filename().string();
            if (e.is_directory())
                it.attachments.push_back(kEmbedded);
            else if (std::regex_match(n, m, fileName))
                it.attachments.push_back(m[1]);
            else
                it.attachments.push_back(n);
        }
    }
    std::sort(it.attachments.begin(), it.attachments.end());
    return it;
}

void readFolder(const fs::path& dir, const std::string& path, Tree& tree) {
    auto& items = tree[path];
    for (auto& e : fs::directory_iterator(dir)) {
        if (!e.is_directory()) continue;
        if (isItemDir(e.path()))
            items.push_back(readItem(e.path()));
        else
            readFolder(e.path(), path + "/" + e.path().filename().string(), tree);
    }
}

// The classes of the items pffexport left out, from its log.
std::set<std::string> skippedClasses(const fs::path& log) {
    std::set<std::string> classes;
    std::ifstream f(log);
    std::string line;
    static const std::regex skipped("Skipped item [0-9]+ out of [0-9]+ of type: (.*)\\.");
    std::smatch m;
    while (std::getline(f, line))
        if (std::regex_match(line, m, skipped)) classes.insert(m[1]);
    return classes;
}

std::string shellQuoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string lastLines(const fs::path& file, size_t count) {
    std::ifstream f(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(f, line);) lines.push_back(line);
    std::string s;
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) s += lines[i] + "\n";
    return s;
}

// A folder removed with all it holds when this goes.
struct RemovedOnExit {
    fs::path dir;
    ~RemovedOnExit() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// Every hex byte of a dump line "0x00000000: 53 00 61 00 6d 00 70 00  6c 00 ...   S.a.m.p. l...":
// sixteen columns at fixed places, the text after them.
void appendHexLine(const std::string& line, std::vector<uint8_t>& out) {
    const auto hexDigit = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    for (size_t i = 0; i < 16; ++i) {
        const size_t at = 12 + 3 * i + (i >= 8 ? 1 : 0);
        if (at + 2 > line.size() || !hexDigit(line[at]) || !hexDigit(line[at + 1]) ||
            (at + 2 < line.size() && line[at + 2] != ' '))
            return;
        out.push_back(static_cast<uint8_t>(std::stoul(line.substr(at, 2), nullptr, 16)));
    }
}

void readValuesFolder(const fs::path& dir, const std::string& path, RawTree& tree) {
    RawFolder& folder = tree.folders[path];
    folder.where = dir.string();
    if (fs::exists(dir / "ItemValues.txt")) {
        auto sets = readItemValues((dir / "ItemValues.txt").string());
        if (!sets.empty()) folder.values = std::move(sets[0]);
    }
    std::vector<fs::path> children;
    for (auto& e : fs::directory_iterator(dir))
        if (e.is_directory()) children.push_back(e.path());
    // Message00001, Contact00002, ...: the number is the item's place in the folder.
    const auto number = [](const fs::path& p) {
        const std::string n = p.filename().string();
        return n.size() >= 5 ? n.substr(n.size() - 5) : n;
    };
    std::sort(children.begin(), children.end(),
              [&](const fs::path& a, const fs::path& b) { return number(a) < number(b); });
    for (const fs::path& child : children) {
        if (isItemDir(child)) {
            RawItem item;
            item.where = child.string();
            item.recipientsShown = child.filename().string().rfind("Meeting", 0) != 0;
            if (fs::exists(child / "ItemValues.txt")) {
                auto sets = readItemValues((child / "ItemValues.txt").string());
                if (!sets.empty()) item.values = std::move(sets[0]);
            }
            if (fs::exists(child / "RecipientsItemValues.txt"))
                item.recipients = readItemValues((child / "RecipientsItemValues.txt").string());
            folder.items.push_back(std::move(item));
        } else {
            readValuesFolder(child, path + "/" + child.filename().string(), tree);
        }
    }
}

// Runs pffexport with options on the store file into a temporary folder, hands its export
// folder and its log to read, and removes the folder again. False with the reason in error
// when pffexport is not installed or fails.
bool runPffexport(const std::string& options, const std::string& storePath, std::string& error,
                  const std::function<void(const fs::path& exported, const fs::path& log)>& read) {
    if (std::system("command -v pffexport > /dev/null") != 0) {
        error = "pffexport (pff-tools) is not installed";
        return false;
    }
    std::string dirName = (fs::temp_directory_path() / "dravik-pffexport.XXXXXX").string();
    if (::mkdtemp(dirName.data()) == nullptr) {
        error = "no temporary folder for pffexport's export";
        return false;
    }
    const RemovedOnExit removed{dirName};
    const fs::path& dir = removed.dir;
    const fs::path log = dir / "log.txt";
    const std::string cmd = "pffexport " + options + " -t " + shellQuoted((dir / "x").string()) + " " +
                            shellQuoted(storePath) + " > " + shellQuoted(log.string()) + " 2>&1";
    if (const int status = std::system(cmd.c_str()); status != 0) {
        error = cmd + " ended with status " + std::to_string(status) + ":\n" + lastLines(log, 20);
        return false;
    }
    read(dir / "x.export", log);
    return true;
}

}  // namespace

std::vector<RawValues> readItemValues(const std::string& file) {
    std::vector<RawValues> sets;
    std::ifstream f(file);
    std::string line;
    RawValue* value = nullptr;
    bool inValue = false;
    const auto field = [&line](const char* name) -> std::optional<unsigned long> {
        if (line.rfind(name, 0) != 0) return std::nullopt;
        return std::stoul(trim(line.substr(std::strlen(name))), nullptr, 0);
    };
    while (std::getline(f, line)) {
        if (auto set = field("Set:")) {
            if (*set >= sets.size()) sets.resize(*set + 1);
            inValue = false;
        } else if (auto type = field("Entry type:"); type && !sets.empty()) {
            sets.back().push_back(RawValue{static_cast<uint32_t>(*type << 16), {}});
            value = &sets.back().back();
            inValue = false;
        } else if (auto vt = field("Value type:"); vt && value) {
            value->tag |= static_cast<uint32_t>(*vt & 0xFFFF);
        } else if (line == "Value:") {
            inValue = value != nullptr;
        } else if (inValue && line.rfind("0x", 0) == 0) {
            appendHexLine(line, value->bytes);
        } else {
            inValue = false;
        }
    }
    return sets;
}

bool runValues(const std::string& storePath, RawTree& out, std::string& error) {
    return runPffexport("-d -m items -f text", storePath, error, [&out](const fs::path& exported, const fs::path& log) {
        out = RawTree{};
        for (auto& e : fs::directory_iterator(exported))
            if (e.is_directory()) readValuesFolder(e.path(), folderPath("", e.path().filename().string()), out);
        out.skippedClasses = skippedClasses(log);
    });
}

const std::vector<Sample>& samples() {
    static const std::vector<Sample> all = {
        {"pstsdk-sample1.pst", nullptr},        {"pstsdk-sample2.pst", nullptr},
        {"pstsdk-test_ansi.pst", "test"},       {"pstsdk-test_unicode.pst", "test"},
        {"pstsdk-submessage.pst", nullptr},     {"java-libpst-dist-list.pst", nullptr},
        {"java-libpst-passworded.pst", "a6xnjH"}, {"pst-extractor-enron.pst", nullptr},
        {"pst-extractor-outlookcom.ost", nullptr}};
    return all;
}

std::string testName(const Sample& sample) {
    std::string n = sample.file;
    for (auto& c : n)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
}

std::string folderPath(const std::string& parentPath, const std::string& displayName) {
    return parentPath + "/" + exportedName(displayName);
}

std::string trim(std::string s) {
    const char* ws = " \t\r\n";
    s.erase(0, s.find_first_not_of(ws));
    auto end = s.find_last_not_of(ws);
    s.erase(end == std::string::npos ? 0 : end + 1);
    return s;
}

std::string describe(const Message& m) {
    std::string s = "'" + m.subject + "' recipients=" + std::to_string(m.recipients) + " attachments=[";
    for (auto& a : m.attachments) s += a + ";";
    return s + "] " + m.where;
}

bool run(const std::string& storePath, Export& out, std::string& error) {
    return runPffexport("-m all -f all", storePath, error, [&out](const fs::path& exported, const fs::path& log) {
        out = Export{};
        readFolder(exported, "", out.folders);
        out.skippedClasses = skippedClasses(log);
    });
}

Comparison compare(const Export& pff, const Tree& ours, const std::string& oursName, const SubjectMatch& sameSubject) {
    const SubjectMatch equal = [](const std::string& a, const std::string& b) { return a == b; };
    const SubjectMatch& subjects = sameSubject ? sameSubject : equal;
    Comparison c;

    std::vector<std::string> pffFolders, ourFolders;
    for (auto& [k, v] : pff.folders) pffFolders.push_back(k);
    for (auto& [k, v] : ours) ourFolders.push_back(k);
    std::set_difference(pffFolders.begin(), pffFolders.end(), ourFolders.begin(), ourFolders.end(),
                        std::back_inserter(c.foldersOnlyInPff));
    std::set_difference(ourFolders.begin(), ourFolders.end(), pffFolders.begin(), pffFolders.end(),
                        std::back_inserter(c.foldersOnlyInOurs));

    for (auto& [path, pffItems] : pff.folders) {
        auto it = ours.find(path);
        if (it == ours.end()) continue;
        auto ourItems = it->second;
        std::erase_if(ourItems, [&](const Message& o) { return pff.skippedClasses.count(o.messageClass) > 0; });
        if (pffItems.size() != ourItems.size())
            c.messageDifferences.push_back("message count of folder '" + path + "': pffexport " +
                                           std::to_string(pffItems.size()) + ", " + oursName + " " +
                                           std::to_string(ourItems.size()));
        for (auto& p : pffItems) {
            auto m = std::find_if(ourItems.begin(), ourItems.end(),
                                  [&](const Message& o) { return sameItem(p, o, subjects); });
            if (m == ourItems.end()) {
                std::string near;
                for (auto& o : ourItems)
                    if (subjects(p.subject, o.subject)) near += "\n  " + oursName + ": " + describe(o);
                c.messageDifferences.push_back("no message matches pffexport's " + describe(p) + " in folder '" +
                                               path + "'" + near);
                continue;
            }
            ourItems.erase(m);
            ++c.messagesCompared;
        }
    }
    return c;
}

bool hasRtfBodyFile(const std::string& messageClass) {
    return messageClass.rfind("IPM.Appointment", 0) != 0 && messageClass != kAppointmentException;
}

bool runRtfBodies(const std::string& storePath, std::vector<std::vector<uint8_t>>& out, std::string& error) {
    return runPffexport("-m all -f all", storePath, error, [&out](const fs::path& exported, const fs::path&) {
        out.clear();
        for (auto& e : fs::recursive_directory_iterator(exported)) {
            if (!e.is_regular_file() || e.path().filename() != "Message.rtf") continue;
            std::ifstream f(e.path(), std::ios::binary);
            out.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
            if (!out.back().empty() && out.back().back() == 0) out.back().pop_back();
        }
        std::sort(out.begin(), out.end());
    });
}

}  // namespace dravik::pffexport
