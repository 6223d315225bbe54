// A .msg file (MS-OXMSG): one message saved as a compound file, read into
// memory whole: the message's values, its recipients, its attachments with
// their data and embedded messages to any depth, and its named-property map.
//
// Values are kept as the format library's pst::Property (ID, type, the raw
// bytes in the layout a store file uses), so that the store provider's value,
// text and code-page rules apply to them unchanged. A value the property
// stream names but whose stream cannot be read is listed as damaged; an object
// whose property stream cannot be read is an error of that object; a file
// whose top-level message cannot be read is an error of the whole (pst::Error).
#pragma once

#include "cfb.h"

#include "pst/ltp/property.h"
#include "pst/messaging/namemap.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dravik::mapi32::msg_file {

// Sizes of the header of __properties_version1.0 before its entries.
constexpr size_t kTopHeader = 32;
constexpr size_t kEmbeddedHeader = 24;
constexpr size_t kSubHeader = 8;
// Embedded messages nested deeper than this are damage (a directory that names its own ancestor).
constexpr int kMaxDepth = 64;

constexpr uint16_t kIdAttachDataObj = 0x3701;
constexpr uint16_t kIdAttachMethod = 0x3705;
constexpr uint32_t kAttachEmbeddedMsg = 5;
constexpr uint32_t kAttachOle = 6;

// Stream and storage names.
std::string ValueStreamName(uint32_t tag);                 // "__substg1.0_0037001F"
std::string MultiValueStreamName(uint32_t tag, uint32_t index);  // "__substg1.0_1000101F-00000000"
std::string RecipientStorageName(uint32_t index);          // "__recip_version1.0_#00000000"
std::string AttachmentStorageName(uint32_t index);         // "__attach_version1.0_#00000000"
constexpr const char* kPropertiesStream = "__properties_version1.0";
constexpr const char* kNameIdStorage = "__nameid_version1.0";
constexpr const char* kEmbeddedStorage = "__substg1.0_3701000D";

struct Values
{
    std::vector<pst::Property> props;  // in the order of the property stream
    // Values the property stream names that cannot be read: ID and what is wrong.
    std::vector<std::pair<uint16_t, std::string>> damaged;
    std::string error;  // non-empty: the object's property stream cannot be read

    const pst::Property* find(uint16_t id) const;
    std::optional<pst::Property> get(uint16_t id) const;
    std::optional<uint32_t> u32(uint16_t id) const;
};

struct Message;

struct Attachment
{
    Values values;
    std::shared_ptr<Message> embedded;      // PR_ATTACH_DATA_OBJ holding a message
    std::optional<cfb::Storage> storage;    // PR_ATTACH_DATA_OBJ holding any other storage (OLE)
    std::string embeddedError;              // the storage holds a message that cannot be read
};

struct Recipient
{
    Values values;
};

struct Message
{
    Values values;
    std::vector<Recipient> recipients;
    std::vector<Attachment> attachments;
};

struct MsgFile
{
    std::shared_ptr<cfb::File> file;
    Message message;
    pst::NameMap names;
    std::string namesError;  // the name-to-ID map cannot be read
};

// Reads a .msg; throws pst::Error when it is no compound file or its
// top-level message's values cannot be read.
std::shared_ptr<MsgFile> Read(std::shared_ptr<cfb::File> file);
std::shared_ptr<MsgFile> ReadFile(const std::string& path);

} // namespace dravik::mapi32::msg_file
