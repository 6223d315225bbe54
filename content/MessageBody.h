// The body of a message as a person reads it, decided in one place for the
// window and dravik-dump: its HTML (PR_HTML / PR_BODY_HTML, else the HTML that
// PR_RTF_COMPRESSED encapsulates), its text (PR_BODY, else the RTF's text, else
// the HTML's text), its decompressed RTF, and which of them is the best body
// and where it came from.
//
// The best body: what PR_NATIVE_BODY_INFO names, when it is there and the
// value it names exists; else HTML, else HTML from RTF, else the RTF's text
// (unless PR_RTF_IN_SYNC says the RTF is older than PR_BODY), else PR_BODY.
#pragma once

#include "mapi32/mapidefs.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravik::content {

enum class BodyKind
{
    None,
    Html,
    Text,
};

struct MessageBody
{
    std::optional<std::string> rtf;   // decompressed PR_RTF_COMPRESSED, bytes as they are
    std::optional<std::string> html;  // UTF-8
    std::optional<std::string> text;  // UTF-8
    BodyKind best = BodyKind::None;
    std::string source;      // where the best body came from: "PR_HTML", "PR_RTF_COMPRESSED", "PR_BODY"
    std::string htmlSource;  // where html came from
    std::string textSource;  // where text came from ("PR_HTML" when it is the HTML's text)
    // A value that could not be read: the property's name and why (a damaged
    // compressed RTF, a value the store reports as corrupt). The others are
    // still given.
    std::vector<std::string> damage;
};

// The body's parts and its best body from a message's values. Fails only when
// the object cannot be asked at all.
HRESULT ReadMessageBody(LPMAPIPROP lpMessage, MessageBody& body);

// The values a body is made from, read from a message or given by a test.
struct BodyValues
{
    std::optional<std::vector<uint8_t>> rtfCompressed;
    std::optional<std::vector<uint8_t>> html;  // PR_HTML bytes in htmlCodePage
    std::optional<std::string> htmlText;       // PR_BODY_HTML as text, UTF-8
    std::optional<std::string> body;           // PR_BODY, UTF-8
    std::optional<int32_t> nativeBody;         // PR_NATIVE_BODY_INFO
    std::optional<bool> rtfInSync;             // PR_RTF_IN_SYNC
    uint32_t htmlCodePage = 0;                 // PR_INTERNET_CPID, 0 when none
    uint32_t codePage = 1252;                  // the message's 8-bit code page
    std::vector<std::string> damage;
};

// The decision itself, on values already read.
MessageBody MakeMessageBody(const BodyValues& values);

// The text of an HTML value in a code page (65001 for UTF-8). A meta charset
// inside the HTML wins when codePage is 0.
std::string DecodeHtml(const std::vector<uint8_t>& bytes, uint32_t codePage);

} // namespace dravik::content

namespace dravik::content {

// What a body view shows above the body, as the message has it (UTF-8).
struct MessageHeaders
{
    std::string from;     // PR_SENT_REPRESENTING_NAME, else PR_SENDER_NAME, with the address when known
    std::string to;       // PR_DISPLAY_TO
    std::string cc;       // PR_DISPLAY_CC
    std::string subject;  // PR_SUBJECT
    std::optional<uint64_t> date;  // PR_CLIENT_SUBMIT_TIME, else PR_MESSAGE_DELIVERY_TIME (a FILETIME)
};

HRESULT ReadMessageHeaders(LPMAPIPROP lpMessage, MessageHeaders& headers);

// The data and MIME type of the message's attachment whose PR_ATTACH_CONTENT_ID is
// contentId (the part of a "cid:" URL after the colon; angle brackets and case do not
// matter). MAPI_E_NOT_FOUND when none has it.
HRESULT ReadAttachmentByContentId(LPMESSAGE lpMessage, const std::string& contentId, std::vector<uint8_t>& data,
                                  std::string& mimeType);

} // namespace dravik::content

namespace dravik::content {

// The text a person reads in a body value, for showing beside its bytes: the
// decompressed RTF of PR_RTF_COMPRESSED (or why it cannot be read), the HTML of
// PR_HTML in codePage (0: its meta charset, else 1252). Nullopt for any other
// property.
std::optional<std::string> DecodedBodyValue(ULONG ulPropTag, const std::vector<uint8_t>& value, uint32_t codePage);

} // namespace dravik::content
