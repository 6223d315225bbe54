// Reading our stores back with the independent readers (pffexport, readpst) for tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace dravik::pst::writer::test {

struct ReadMessage {
    std::string folder;  // folder path below the store's top, "Inbox/Sub"; embedded: parent's path
    std::string subject;
    std::vector<std::string> recipients;                           // display names
    std::map<std::string, std::vector<uint8_t>> attachments;       // file name -> bytes
    bool embedded = false;
};

// A fresh folder that is removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Messages as our own reader sees them, through the folders' hierarchy and contents tables.
std::vector<ReadMessage> readWithOurReader(const std::filesystem::path& pst);
// Messages as pffexport sees them; throws std::runtime_error when it fails.
std::vector<ReadMessage> readWithPffexport(const std::filesystem::path& pst, const std::filesystem::path& work);
// Messages (e-mail and calendar items) as readpst sees them.
std::vector<ReadMessage> readWithReadpst(const std::filesystem::path& pst, const std::filesystem::path& work);
// Folder paths pffexport exports, below "Top of Personal Folders".
std::vector<std::string> foldersWithPffexport(const std::filesystem::path& pst, const std::filesystem::path& work);

std::vector<uint8_t> fileBytes(const std::filesystem::path& p);

}  // namespace dravik::pst::writer::test
