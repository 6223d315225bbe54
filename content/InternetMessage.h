// A MAPI message as an Internet message (RFC 5322 with MIME), for .eml and
// mbox files: the message's own transport headers when it has them, else
// headers made from its properties; its best body as text, HTML or both; its
// inline images beside the HTML by Content-ID; its attachments with their
// names and MIME types; its embedded messages as message/rfc822, to any depth.
//
// The bytes are the same on every run and every machine: MIME boundaries are
// made from a hash of the message's content, and nothing else is generated.
// Whatever cannot be written (an attachment whose data cannot be read, a
// damaged body value) is left out and named in the report.
#pragma once

#include "mapi32/mapidefs.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dravik::content {

// Something of a message that was not written: where (the message's path,
// then "attachment N (name)" for each level down) and why.
struct ExportProblem
{
    std::string where;
    std::string why;
};

// Ranges [begin, end) of a message's text.
using TextRuns = std::vector<std::pair<size_t, size_t>>;

struct InternetMessage
{
    std::string bytes;                  // the message, lines ending in LF
    // Where bytes holds base64 text, whole lines in order: no line there begins with
    // ">" or "From ", so an mbox passes over them unread. Empty when not known.
    TextRuns base64;
    std::string envelopeSender;         // the sender's address for an mbox "From " line; may be empty
    std::optional<uint64_t> date;       // FILETIME of the Date header, when the message has one
    int attachments = 0;                // attachments written, embedded messages included, at any depth
    int embedded = 0;                   // embedded messages written, at any depth
    bool writtenDirectly = false;       // written by the plain-message writer, not through GMime's tree
    std::vector<ExportProblem> problems;
};

// How a message's bytes are written: Any takes the direct writer for the
// plain messages it knows and GMime's tree for the others; GMime always
// builds GMime's tree (the reference the direct writer is held to).
enum class MimeWriter { Any, GMime };

// Converts a message. Fails only when the message itself cannot be read (its
// properties cannot be asked for); what cannot be read inside it is reported
// in result.problems and the rest is written.
HRESULT MessageToInternetMessage(LPMESSAGE lpMessage, const std::string& where, InternetMessage& result,
                                 MimeWriter writer = MimeWriter::Any);

// A message's transport headers (PR_TRANSPORT_MESSAGE_HEADERS) as an export
// writes them: GMime's reading of the text (a first line that is no header
// dropped, the Content-* headers left out) written back, lines ending in LF;
// empty when the text holds no header, and the headers are then made from the
// message's properties.
std::string TransportHeaderBlock(const std::string& text);

// A message in the mboxrd form: a "From " line made of the envelope sender
// and date, the message with every line that starts with ">*From " quoted by
// one more ">", and a blank line. WriteMboxrd hands it to write in pieces (runs
// of the message as they are, without a copy of the whole); AppendMboxrd
// appends it to mbox.
void WriteMboxrd(const InternetMessage& message, const std::function<void(std::string_view)>& write);
void AppendMboxrd(const InternetMessage& message, std::string& mbox);

// A MIME type for a file name by its extension (lower case; "application/octet-stream" when unknown).
std::string MimeTypeForFileName(const std::string& name);

} // namespace dravik::content
