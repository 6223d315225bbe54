// pffexport (libpff's exporter, from pff-tools) as an oracle for tests: it is run on a store
// file, its export folder is read into folders and messages, and another reader's view of the
// same store is compared with it.
//
// Where pffexport shows a store differently from what the store holds, the difference is
// allowed for here, in one place, and nowhere else:
//  - items of classes it does not know are left out ("Skipped item 1 out of 1 of type:
//    IPM.Post." in its log): the other side's messages of those classes are not compared;
//  - meeting requests and responses get neither recipients nor attachments: only their
//    subjects are compared;
//  - file names have characters such as '!', '&' and '~' replaced by '_', and long ones are
//    shortened with "..." in the middle: folder paths are built with the replacement, and an
//    attachment name matches either way;
//  - items it digs out of free space ("Exporting recovered items.", among them blocks it
//    cannot read, as in java-libpst-dist-list.pst) go to a folder of their own, which is not
//    read: only the folder tree of the store is compared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace dravik::pffexport {

// A sample store of ../shared/data/pst and the password its logon needs (null for none).
struct Sample {
    const char* file;
    const char* password;
};

// Every sample store, in one list for the comparisons. The password of test_ansi and
// test_unicode is "test"; the passworded sample keeps only the CRC of its password, like
// every store: "a6xnjH" is a password with that CRC, which is all a store can check.
const std::vector<Sample>& samples();

// A sample's name for a test: its file name with each character that is no letter or digit
// as '_'.
std::string testName(const Sample& sample);

inline void PrintTo(const Sample& sample, std::ostream* os) { *os << sample.file; }

// One message as a reader shows it.
struct Message {
    std::string messageClass;  // the other reader's side only: pffexport writes none
    std::string subject;       // trimmed; empty when pffexport shows none
    size_t recipients = 0;
    std::vector<std::string> attachments;  // sorted; kEmbedded for an attached message
    std::string where;                     // where to look for it, for failure messages
    bool details = true;  // false where pffexport writes neither recipients nor attachments
};

// The name of an attachment that is a message.
inline constexpr const char* kEmbedded = "<embedded>";

// Folder path -> its messages. The root folder is "", a folder below it "/Name", and so on.
using Tree = std::map<std::string, std::vector<Message>>;

// The path of a folder named displayName below the folder at parentPath, as pffexport
// writes it.
std::string folderPath(const std::string& parentPath, const std::string& displayName);

// s without the white space around it, as pffexport writes a subject.
std::string trim(std::string s);

// One message in a line, for failure messages.
std::string describe(const Message& m);

// What pffexport exports from a store file.
struct Export {
    Tree folders;
    std::set<std::string> skippedClasses;  // the message classes it left out
};

// Runs `pffexport -m all -f all` on the store file into a temporary folder (removed again)
// and reads its export into out. False with the reason in error when pffexport is not
// installed or fails.
bool run(const std::string& storePath, Export& out, std::string& error);

// Compares subjects: pffexport's and the other reader's.
using SubjectMatch = std::function<bool(const std::string& pff, const std::string& ours)>;

// The differences between pffexport's export and another reader's tree of the same store.
struct Comparison {
    std::vector<std::string> foldersOnlyInPff;
    std::vector<std::string> foldersOnlyInOurs;
    // A folder whose message counts differ, or a message of pffexport's that no message
    // of the other side matches (with the other side's messages of the same subject).
    std::vector<std::string> messageDifferences;
    size_t messagesCompared = 0;
};

// oursName names the other side in messages ("the dump"). sameSubject defaults to equality.
Comparison compare(const Export& pff, const Tree& ours, const std::string& oursName,
                   const SubjectMatch& sameSubject = {});

// ---- stored values, as `pffexport -d` dumps them in its ItemValues.txt files.

// One value: its property tag (ID and type) and its bytes as the store keeps them.
struct RawValue {
    uint32_t tag = 0;
    std::vector<uint8_t> bytes;
};
using RawValues = std::vector<RawValue>;  // an object's values, or one table row's

// A message (or another item: a contact, an appointment) and its recipient table's rows.
struct RawItem {
    std::string where;  // its export folder, for failure messages
    RawValues values;
    std::vector<RawValues> recipients;
    bool recipientsShown = true;  // false for meeting requests and responses: none are written
};

// A folder's own values and its items in the order pffexport lists them.
struct RawFolder {
    std::string where;
    RawValues values;
    std::vector<RawItem> items;
};

// Folder path (as folderPath makes it) -> the folder. The root folder is not listed.
struct RawTree {
    std::map<std::string, RawFolder> folders;
    std::set<std::string> skippedClasses;  // the message classes it left out, as Export has them
};

// The sets of an ItemValues.txt file.
std::vector<RawValues> readItemValues(const std::string& file);

// Runs `pffexport -d -m items -f text` on the store file into a temporary folder (removed
// again) and reads every folder's and item's values. False with the reason in error when
// pffexport is not installed or fails.
bool runValues(const std::string& storePath, RawTree& out, std::string& error);

// ---- message bodies, as `pffexport -m all -f all` writes them.

// The RTF bodies (Message.rtf, decompressed) of every message and embedded message of the
// store's folder tree, sorted. pffexport ends each file with a NUL of its own, which is taken
// off here; it writes no body files for appointments (nor for their exceptions, attached as
// messages of class kAppointmentException): see hasRtfBodyFile. False with the reason in
// error when pffexport is not installed or fails.
bool runRtfBodies(const std::string& storePath, std::vector<std::vector<uint8_t>>& out, std::string& error);

inline constexpr const char* kAppointmentException = "IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}";

// Whether pffexport writes the body files of a message of this class.
bool hasRtfBodyFile(const std::string& messageClass);

}  // namespace dravik::pffexport
