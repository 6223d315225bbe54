// The MIME structure of a message being exported, as plain data: what the
// converter read from the MAPI message, before any of it is written. GMime
// builds its tree from it (BuildGMimeMessage) and WriteMimeText writes most
// messages directly, with the same bytes and without a tree of GObjects per
// message.
#pragma once

#include "content/InternetMessage.h"

#include <gmime/gmime.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravik::content::mime {

struct Message;

struct Part
{
    enum class Kind { Leaf, Multipart, Rfc822 };
    Kind kind = Kind::Leaf;

    // Leaf: a body or a file. A text body gets a charset and the best of 7bit,
    // quoted-printable and base64; a file is always base64.
    std::string type, subtype, bytes;
    bool text = false;
    std::string nameParameter;  // Content-Type's "name" (short ASCII names only); empty: none

    // Multipart: its number in the order the converter made them (the boundary's suffix).
    std::string multipartSubtype;
    int number = 0;
    bool relatedToHtml = false;  // "type=text/html" of multipart/related
    std::vector<Part> parts;

    // message/rfc822
    std::unique_ptr<Message> message;

    // An attachment's Content-ID and Content-Disposition; a body has neither.
    std::string contentId;
    const char* disposition = nullptr;  // "inline" or "attachment"
    std::string fileName;
};

struct Address
{
    GMimeAddressType type;
    std::string name;
    std::string addr;  // empty: an empty group of the name
};

// Unrefs a GMime object.
struct GObjectUnref
{
    void operator()(void* p) const { g_object_unref(p); }
};

struct Message
{
    // The message's own transport headers, parsed by GMime; null when its
    // headers are made from its properties.
    std::unique_ptr<GMimeMessage, GObjectUnref> transport;
    bool headersUnreadable = false;  // no headers at all but MIME-Version

    // Headers made from the message's properties, in the order they are set.
    std::vector<Address> addresses;
    std::string subject;
    std::optional<int64_t> date;  // seconds since 1970, UTC
    std::string messageId;        // without the angle brackets
    std::string inReplyTo;
    std::string references;
    const char* importance = nullptr;  // "low" or "high"

    Part top;
};

// The raw value of a Content-Disposition with a file name (after the colon,
// with its line end): quoted when short and plain, else RFC 2231 sections.
std::string DispositionWithFileName(const char* disposition, const std::string& name);

// The boundary of multipart number n of a message whose content hashes to hash.
std::string Boundary(uint64_t hash, int n);

// Appends bytes in base64 as GMime's encoder writes it: lines of 76
// characters, each ended by LF, the last one too; nothing for no bytes.
// Sixteen groups of three bytes a step where the processor has AVX-512 VBMI.
void AppendBase64(std::string& out, std::string_view bytes);
// The same without vector instructions, whatever the processor offers.
void AppendBase64Portable(std::string& out, std::string_view bytes);

// The message as GMime builds it (a new reference).
GMimeMessage* BuildGMimeMessage(const Message& message, uint64_t hash);

// The options every export writes with: LF line ends, RFC 2231 parameters.
GMimeFormatOptions* ExportFormatOptions();

// Appends the message as GMime would write it, when it is one this writer
// knows to write the same (see MimeText.cpp). False, with out unchanged, for
// any other.
bool WriteMimeText(const Message& message, uint64_t hash, std::string& out, TextRuns* base64 = nullptr);

} // namespace dravik::content::mime
