#include "ReadBack.h"

#include "pst/messaging/store.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace dravik::pst::writer::test {

namespace {

std::string quote(const fs::path& p) {
    std::string s = "'";
    for (char c : p.string()) s += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return s + "'";
}

void run(const std::string& cmd) {
    const int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
    if (rc != 0) throw std::runtime_error("command failed (" + std::to_string(rc) + "): " + cmd);
}

std::string fileText(const fs::path& p) {
    auto b = fileBytes(p);
    return {b.begin(), b.end()};
}

// Value of the first line "<key><blanks or tabs><value>".
std::vector<std::string> values(const std::string& text, const std::string& key) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(key, 0) == 0) {
            size_t v = key.size();
            while (v < line.size() && (line[v] == '\t' || line[v] == ' ')) ++v;
            out.push_back(line.substr(v));
        }
        pos = end + 1;
    }
    return out;
}

// pffexport names an item's folder after its kind and a five-digit number: "Message00001"
// (an attachment's folder too: "Attachment00001").
bool isItemFolder(const std::string& name) {
    return name.size() > 5 && name.rfind("Attachment", 0) != 0 && std::all_of(name.end() - 5, name.end(), ::isdigit) &&
           std::all_of(name.begin(), name.end() - 5, ::isalpha);
}

}  // namespace

TempDir::TempDir() {
    // Memory-backed when there is one: the readers write thousands of small files.
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm")
                                                                                               : fs::temp_directory_path();
    std::string tmpl = (base / "pstwriter-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::vector<uint8_t> fileBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + p.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

namespace {

std::string textOf(const std::optional<pst::Property>& p) { return p ? p->utf8() : std::string(); }

void readMessage(const pst::Message& msg, const std::string& folder, bool embedded, std::vector<ReadMessage>& out) {
    ReadMessage m;
    m.folder = folder;
    m.embedded = embedded;
    m.subject = textOf(msg.properties().get(0x0037));
    for (const auto& row : msg.recipientTable().rows()) {
        const pst::Property* name = row.find(0x3001);
        m.recipients.push_back(name ? name->utf8() : std::string());
    }
    for (const auto& row : msg.attachmentTable().rows()) {
        const pst::Attachment a = msg.attachment(row.rowId);
        if (a.hasEmbeddedMessage()) {
            readMessage(a.embeddedMessage(), folder, true, out);
            continue;
        }
        std::string name = textOf(a.properties().get(0x3707));
        if (name.empty()) name = textOf(a.properties().get(0x3704));
        m.attachments[std::to_string(row.rowId) + "_" + name] = a.readData();
    }
    out.push_back(std::move(m));
}

void readFolder(pst::Store& store, uint32_t nid, const std::string& path, std::vector<ReadMessage>& out) {
    const pst::Folder f = store.folder(nid);
    for (const auto& row : f.contentsTable().rows()) readMessage(store.message(row.rowId), path, false, out);
    for (const auto& row : f.hierarchyTable().rows()) {
        const std::string name = textOf(store.folder(row.rowId).properties().get(0x3001));
        readFolder(store, row.rowId, path.empty() ? name : path + "/" + name, out);
    }
}

}  // namespace

std::vector<ReadMessage> readWithOurReader(const fs::path& pst) {
    auto store = pst::Store::open(pst.string());
    std::vector<ReadMessage> out;
    for (const auto& row : store->folder(store->rootFolderNid()).hierarchyTable().rows())
        if (textOf(store->folder(row.rowId).properties().get(0x3001)) == "Top of Personal Folders")
            readFolder(*store, row.rowId, "", out);
    return out;
}

std::vector<ReadMessage> readWithPffexport(const fs::path& pst, const fs::path& work) {
    const fs::path target = work / "pff";
    run("pffexport -q -f all -m items -t " + quote(target) + " " + quote(pst));
    const fs::path top = fs::path(target.string() + ".export") / "Top of Personal Folders";
    std::vector<ReadMessage> out;
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it) {
        if (!it->is_directory() || !isItemFolder(it->path().filename().string())) continue;
        const fs::path dir = it->path();
        ReadMessage m;
        const std::string rel = fs::relative(dir, top).generic_string();
        const size_t att = rel.find("/Attachments/");
        m.embedded = att != std::string::npos;
        m.folder = fs::path(m.embedded ? rel.substr(0, att) : rel).parent_path().generic_string();
        for (const char* headers : {"OutlookHeaders.txt", "Appointment.txt", "Contact.txt", "DistributionList.txt",
                                    "Activity.txt", "Note.txt", "Task.txt"}) {
            if (!fs::exists(dir / headers)) continue;
            const auto subjects = values(fileText(dir / headers), "Subject:");
            if (!subjects.empty()) m.subject = subjects[0];
            break;
        }
        if (fs::exists(dir / "Recipients.txt")) m.recipients = values(fileText(dir / "Recipients.txt"), "Display name:");
        if (fs::is_directory(dir / "Attachments"))
            for (auto& f : fs::directory_iterator(dir / "Attachments")) {
                if (!f.is_regular_file()) continue;
                m.attachments[f.path().filename().string()] = fileBytes(f.path());  // "<n>_<name>"
            }
        out.push_back(std::move(m));
    }
    return out;
}

std::vector<std::string> foldersWithPffexport(const fs::path& pst, const fs::path& work) {
    const fs::path target = work / "pfffolders";
    run("pffexport -q -f text -m items -t " + quote(target) + " " + quote(pst));
    const fs::path top = fs::path(target.string() + ".export") / "Top of Personal Folders";
    std::vector<std::string> out;
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it) {
        if (!it->is_directory()) continue;
        const std::string name = it->path().filename().string();
        if (isItemFolder(name)) {
            it.disable_recursion_pending();
            continue;
        }
        out.push_back(fs::relative(it->path(), top).generic_string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<ReadMessage> readWithReadpst(const fs::path& pst, const fs::path& work) {
    const fs::path target = work / "readpst";
    fs::create_directories(target);
    // -j 0: readpst's parallel jobs lose items now and then.
    run("readpst -q -j 0 -S -D -o " + quote(target) + " " + quote(pst));
    // Messages are files named by a number, their attachments "<number>-<name>" beside them.
    std::map<fs::path, std::vector<fs::path>> attachmentsOf;
    std::vector<fs::path> messages;
    for (auto& e : fs::recursive_directory_iterator(target)) {
        if (!e.is_regular_file()) continue;
        const std::string name = e.path().filename().string();
        const size_t dash = name.find('-');
        const std::string number = name.substr(0, dash);
        if (number.empty() || !std::all_of(number.begin(), number.end(), ::isdigit)) continue;
        if (dash == std::string::npos) messages.push_back(e.path());
        else attachmentsOf[e.path().parent_path() / number].push_back(e.path());
    }
    std::vector<ReadMessage> out;
    for (const fs::path& file : messages) {
        const std::string name = file.filename().string();
        ReadMessage m;
        // Below the folder named after the store.
        const fs::path rel = fs::relative(file.parent_path(), target);
        auto it = rel.begin();
        fs::path folder;
        for (++it; it != rel.end(); ++it) folder /= *it;
        m.folder = folder.generic_string();
        const std::string text = fileText(file);
        auto subjects = values(text, "Subject:");
        if (subjects.empty()) subjects = values(text, "SUMMARY:");  // calendar items
        if (!subjects.empty()) m.subject = subjects[0];
        for (const fs::path& f : attachmentsOf[file])
            m.attachments[f.filename().string().substr(name.size() + 1)] = fileBytes(f);
        out.push_back(std::move(m));
    }
    return out;
}

}  // namespace dravik::pst::writer::test
