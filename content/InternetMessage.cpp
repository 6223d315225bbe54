// MAPI messages as Internet messages, built and encoded by GMime.
#include "content/InternetMessage.h"

#include "content/MessageBody.h"
#include "content/MimeTree.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/rtfstream.h"
#include "mapi32/utf.h"

#include <gmime/gmime.h>
#include <xxhash.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <new>
#include <mutex>

namespace dravik::content {

namespace {

constexpr int kMaxDepth = 64;  // embedded messages inside embedded messages

// PR_RECIPIENT_TYPE values.
constexpr LONG kMapiTo = 1;
constexpr LONG kMapiCc = 2;
constexpr LONG kMapiBcc = 3;

constexpr ULONG kTransportHeaders = PROP_TAG(PT_UNICODE, 0x007D);
constexpr ULONG kSubject = PROP_TAG(PT_UNICODE, 0x0037);
constexpr ULONG kRepresentingName = PROP_TAG(PT_UNICODE, 0x0042);
constexpr ULONG kRepresentingAddrType = PROP_TAG(PT_UNICODE, 0x0064);
constexpr ULONG kRepresentingAddress = PROP_TAG(PT_UNICODE, 0x0065);
constexpr ULONG kRepresentingSmtp = PROP_TAG(PT_UNICODE, 0x5D02);
constexpr ULONG kSenderName = PROP_TAG(PT_UNICODE, 0x0C1A);
constexpr ULONG kSenderAddrType = PROP_TAG(PT_UNICODE, 0x0C1E);
constexpr ULONG kSenderAddress = PROP_TAG(PT_UNICODE, 0x0C1F);
constexpr ULONG kSenderSmtp = PROP_TAG(PT_UNICODE, 0x5D01);
constexpr ULONG kSubmitTime = PROP_TAG(PT_SYSTIME, 0x0039);
constexpr ULONG kDeliveryTime = PROP_TAG(PT_SYSTIME, 0x0E06);
constexpr ULONG kMessageId = PROP_TAG(PT_UNICODE, 0x1035);
constexpr ULONG kInReplyTo = PROP_TAG(PT_UNICODE, 0x1042);
constexpr ULONG kReferences = PROP_TAG(PT_UNICODE, 0x1039);
constexpr ULONG kImportance = PROP_TAG(PT_LONG, 0x0017);

constexpr ULONG kRecipientType = PROP_TAG(PT_LONG, 0x0C15);
constexpr ULONG kDisplayName = PROP_TAG(PT_UNICODE, 0x3001);
constexpr ULONG kAddrType = PROP_TAG(PT_UNICODE, 0x3002);
constexpr ULONG kEmailAddress = PROP_TAG(PT_UNICODE, 0x3003);
constexpr ULONG kSmtpAddress = PROP_TAG(PT_UNICODE, 0x39FE);

constexpr ULONG kAttachMethod = PROP_TAG(PT_LONG, 0x3705);
constexpr ULONG kAttachLongFilename = PROP_TAG(PT_UNICODE, 0x3707);
constexpr ULONG kAttachFilename = PROP_TAG(PT_UNICODE, 0x3704);
constexpr ULONG kAttachMimeTag = PROP_TAG(PT_UNICODE, 0x370E);
constexpr ULONG kAttachContentId = PROP_TAG(PT_UNICODE, 0x3712);
constexpr ULONG kAttachDataBin = PROP_TAG(PT_BINARY, 0x3701);
constexpr ULONG kAttachDataObj = PROP_TAG(PT_OBJECT, 0x3701);

void InitGMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

std::string HrText(HRESULT hr)
{
    const char* name = nullptr;
    switch (hr) {
    case MAPI_E_CORRUPT_DATA: name = "MAPI_E_CORRUPT_DATA"; break;
    case MAPI_E_NOT_FOUND: name = "MAPI_E_NOT_FOUND"; break;
    case MAPI_E_NO_SUPPORT: name = "MAPI_E_NO_SUPPORT"; break;
    case MAPI_E_NOT_ENOUGH_MEMORY: name = "MAPI_E_NOT_ENOUGH_MEMORY"; break;
    case MAPI_E_INTERFACE_NOT_SUPPORTED: name = "MAPI_E_INTERFACE_NOT_SUPPORTED"; break;
    default: break;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%s0x%08X", name ? name : "", name ? " " : "", unsigned(hr));
    return buf;
}

// Owns one GObject reference.
template <class T>
struct GRef
{
    T* p = nullptr;
    GRef() = default;
    explicit GRef(T* q) : p(q) {}
    ~GRef()
    {
        if (p)
            g_object_unref(p);
    }
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    T* release()
    {
        T* q = p;
        p = nullptr;
        return q;
    }
};

std::string TextOf(const SPropValue& v)
{
    if (PROP_TYPE(v.ulPropTag) == PT_UNICODE && v.Value.lpszW)
        return mapi32::Utf16ToUtf8(v.Value.lpszW);
    if (PROP_TYPE(v.ulPropTag) == PT_STRING8 && v.Value.lpszA)
        return v.Value.lpszA;
    return {};
}

// A text value read whole, through a stream when it is too large for GetProps.
std::string LargeText(LPMAPIPROP obj, const SPropValue& v, ULONG tag)
{
    if (PROP_TYPE(v.ulPropTag) == PT_ERROR && v.Value.err == MAPI_E_NOT_ENOUGH_MEMORY) {
        LPUNKNOWN unk = nullptr;
        if (FAILED(obj->OpenProperty(tag, &IID_IStream, 0, 0, &unk)))
            return {};
        auto* stream = static_cast<LPSTREAM>(unk);
        std::vector<uint8_t> bytes;
        const HRESULT hr = mapi32::ReadWholeStream(stream, bytes);
        stream->Release();
        if (FAILED(hr))
            return {};
        std::u16string text;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            text.push_back(char16_t(bytes[i] | bytes[i + 1] << 8));
        while (!text.empty() && text.back() == 0)
            text.pop_back();
        return mapi32::Utf16ToUtf8(text);
    }
    return TextOf(v);
}

// A stream read whole into bytes, as ReadWholeStream reads it (the same
// errors, the same 4 GiB limit), but into the string the part keeps: one
// buffer of the size the stream states, filled in place, rather than a
// vector grown in chunks and copied.
// onPiece, when given, sees every piece as it is appended (while it is still in
// the processor's cache).
HRESULT ReadStreamInto(LPSTREAM stream, std::string& bytes,
                       const std::function<void(const char*, size_t)>& onPiece = nullptr)
{
    constexpr uint64_t kMaxBytes = uint64_t(1) << 32;
    bytes.clear();
    // The stated size is only a hint, trusted up to kTrusted: a damaged store
    // may state any size, and what lies beyond is read as it comes.
    constexpr uint64_t kTrusted = 16 << 20;
    STATSTG stat{};
    if (SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME)))
        bytes.reserve(static_cast<size_t>(std::min<uint64_t>(stat.cbSize.QuadPart, kTrusted)));
    // Read in pieces through a buffer that stays in the processor's cache and
    // appended: the string is written once (not zeroed first), and the store
    // hands over a piece at a time, not a second copy of the whole value.
    constexpr ULONG kPiece = 64 << 10;
    const std::unique_ptr<char[]> piece(new char[kPiece]);
    for (;;) {
        ULONG got = 0;
        const HRESULT hr = stream->Read(piece.get(), kPiece, &got);
        if (FAILED(hr))
            return bytes.clear(), hr;
        got = std::min(got, kPiece);
        if (got == 0)
            break;
        if (bytes.size() + got > kMaxBytes)
            return bytes.clear(), MAPI_E_NOT_ENOUGH_MEMORY;
        bytes.append(piece.get(), got);
        if (onPiece)
            onPiece(piece.get(), got);
    }
    return S_OK;
}

std::optional<uint64_t> TimeOf(const SPropValue& v)
{
    if (PROP_TYPE(v.ulPropTag) != PT_SYSTIME)
        return std::nullopt;
    return uint64_t(v.Value.ft.dwHighDateTime) << 32 | v.Value.ft.dwLowDateTime;
}

// Lines end in LF only: GMime writes LF, and a CR left in a text would be encoded.
std::string UnixLines(std::string text)
{
    const char* data = text.data();
    const size_t n = text.size();
    const void* cr = std::memchr(data, '\r', n);
    if (cr == nullptr)
        return text;
    // Runs between CRs are copied whole; a CR, or a CR LF, becomes one LF.
    std::string out;
    out.reserve(n);
    size_t from = 0;
    while (cr != nullptr) {
        const size_t at = size_t(static_cast<const char*>(cr) - data);
        out.append(data + from, at - from);
        out += '\n';
        from = at + 1 < n && data[at + 1] == '\n' ? at + 2 : at + 1;
        cr = from < n ? std::memchr(data + from, '\r', n - from) : nullptr;
    }
    out.append(data + from, n - from);
    return out;
}

bool IsAscii(const std::string& s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return (unsigned char)c < 0x80; });
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string Trimmed(std::string id)
{
    id.erase(0, id.find_first_not_of(" \t<"));
    while (!id.empty() && (id.back() == '>' || id.back() == ' ' || id.back() == '\t'))
        id.pop_back();
    return id;
}

// The address a mail program can send to: the SMTP address, else the e-mail
// address when it is an Internet one.
std::string InternetAddressOf(const std::string& smtp, const std::string& addrType, const std::string& email)
{
    if (!smtp.empty())
        return smtp;
    if (Lower(addrType) == "smtp" || (addrType.empty() && email.find('@') != std::string::npos))
        return email;
    return {};
}

// A mailbox, or for a name with no Internet address an empty group of that
// name ("Name:;"), which mail programs read without complaint, where "Name <>" is invalid.
void AddAddress(GMimeMessage* message, GMimeAddressType type, const std::string& name, const std::string& addr)
{
    if (!addr.empty()) {
        g_mime_message_add_mailbox(message, type, name.empty() ? nullptr : name.c_str(), addr.c_str());
        return;
    }
    InternetAddress* group = internet_address_group_new(name.c_str());
    internet_address_list_add(g_mime_message_get_addresses(message, type), group);
    g_object_unref(group);
}

void SetDisposition(GMimeObject* part, const char* disposition, const std::string& name)
{
    g_mime_object_set_disposition(part, disposition);
    if (name.empty())
        return;
    // Set last, as it is written: the header keeps the raw value given.
    g_mime_object_set_content_disposition_parameter(part, "filename", "x");
    GMimeHeaderList* list = g_mime_object_get_header_list(part);
    if (GMimeHeader* header = g_mime_header_list_get_header(list, "Content-Disposition"))
        g_mime_header_set_raw_value(header, mime::DispositionWithFileName(disposition, name).c_str());
}
class CConverter
{
public:
    explicit CConverter(InternetMessage& result) : m_result(result) {}

    // The message with its parts, read into message.
    void Message(LPMESSAGE msg, const std::string& where, int depth, mime::Message& message);

    // The hash of the message's content, which only boundaries use: a message
    // without a multipart part is not hashed at all.
    uint64_t Hash()
    {
        if (m_multiparts == 0)
            return 0;
        Flush();
        return Digest();
    }

    // Reads a stream whose bytes become the next text hashed, hashing each piece
    // as it comes (Hash(bytes) would read them all again, from memory): the
    // same input to the hash, so the same value. A failed read leaves the hash
    // as it was.
    HRESULT HashedRead(LPSTREAM stream, std::string& bytes)
    {
        Flush();
        std::unique_ptr<XXH3_state_t, StateFree> before;
        if (m_state) {
            before.reset(XXH3_createState());
            if (!before)
                throw std::bad_alloc();
            XXH3_copyState(before.get(), m_state.get());
        }
        const HRESULT hr = ReadStreamInto(stream, bytes, [this](const char* data, size_t size) { Fold(data, size); });
        if (FAILED(hr)) {
            m_state = std::move(before);
            return hr;
        }
        Fold("", 1);
        return hr;
    }

private:
    // XXH3 (64 bits) over every text hashed, each ended by a NUL: the same
    // value on every machine, 8 bytes and more a step. The texts wait in
    // m_pending until the hash is asked for; a large one is hashed at once
    // (with what waits before it) rather than copied.
    void Hash(const std::string& s)
    {
        if (s.size() > kLargeText) {
            Flush();
            Fold(s.data(), s.size());
            Fold("", 1);
            return;
        }
        m_pending.append(s);
        m_pending.push_back('\0');
        if (m_pending.size() > kLargeText)
            Flush();
    }
    void Flush()
    {
        Fold(m_pending.data(), m_pending.size());
        m_pending.clear();
    }
    void Fold(const void* data, size_t size)
    {
        if (!m_state) {
            m_state.reset(XXH3_createState());
            if (!m_state || XXH3_64bits_reset(m_state.get()) != XXH_OK)
                throw std::bad_alloc();
        }
        XXH3_64bits_update(m_state.get(), data, size);
    }
    uint64_t Digest() { return m_state ? XXH3_64bits_digest(m_state.get()) : XXH3_64bits("", 0); }
    static constexpr size_t kLargeText = 64 * 1024;

    void Problem(const std::string& where, const std::string& why) { m_result.problems.push_back({where, why}); }

    // A leaf of the message; hashed is true when its bytes went into the hash as
    // they were read (HashedRead).
    mime::Part Leaf(const std::string& type, const std::string& subtype, std::string bytes, bool text,
                    bool hashed = false)
    {
        if (!hashed)
            Hash(bytes);
        mime::Part part;
        part.type = type;
        part.subtype = subtype;
        part.bytes = std::move(bytes);
        part.text = text;
        return part;
    }

    mime::Part Multipart(const char* subtype)
    {
        mime::Part part;
        part.kind = mime::Part::Kind::Multipart;
        part.multipartSubtype = subtype;
        part.number = ++m_multiparts;
        return part;
    }

    void Headers(LPMESSAGE msg, mime::Message& message, const std::string& where);
    void Recipients(LPMESSAGE msg, mime::Message& message, const std::string& where);
    std::optional<mime::Part> Body(LPMESSAGE msg, const std::string& where, std::string& html);
    std::optional<mime::Part> Attachments(LPMESSAGE msg, std::optional<mime::Part> body, const std::string& html,
                                          const std::string& where, int depth);

    InternetMessage& m_result;
    struct StateFree
    {
        void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
    };
    std::unique_ptr<XXH3_state_t, StateFree> m_state;
    std::string m_pending;
    int m_multiparts = 0;
};

// A header field name as RFC 5322 has it: printable ASCII but the colon.
bool IsHeaderName(const char* name)
{
    if (name == nullptr || *name == '\0')
        return false;
    for (const char* p = name; *p; ++p)
        if (static_cast<unsigned char>(*p) <= ' ' || static_cast<unsigned char>(*p) >= 0x7F || *p == ':')
            return false;
    return true;
}

// Header text as a message of its own, parsed by GMime; nullptr when it does
// not parse. Fields whose names GMime took but no header may have (8-bit or
// control bytes) are left out and counted in dropped.
GMimeMessage* ParseTransportHeaders(const std::string& text, int& dropped)
{
    dropped = 0;
    std::string headers = UnixLines(text);
    headers.erase(0, headers.find_first_not_of('\n'));
    const size_t end = headers.find("\n\n");
    if (end != std::string::npos)
        headers.resize(end + 1);
    // A first line that is no header ("Microsoft Mail Internet Headers Version 2.0") is dropped.
    while (!headers.empty()) {
        const size_t eol = headers.find('\n');
        const std::string line = headers.substr(0, eol);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && colon > 0 && line.find_first_of(" \t") > colon)
            break;
        headers.erase(0, eol == std::string::npos ? headers.size() : eol + 1);
    }
    if (headers.empty() || headers.find(':') == std::string::npos)
        return nullptr;
    if (headers.back() != '\n')
        headers += '\n';
    headers += '\n';
    GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(headers.data(), headers.size()));
    GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.p));
    g_mime_parser_set_format(parser.p, GMIME_FORMAT_MESSAGE);
    GMimeMessage* message = g_mime_parser_construct_message(parser.p, nullptr);
    if (!message)
        return nullptr;
    // The structure is made anew from the message's parts: drop what described the old one.
    GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message));
    for (int i = g_mime_header_list_get_count(list) - 1; i >= 0; --i) {
        const char* raw = g_mime_header_get_name(g_mime_header_list_get_header_at(list, i));
        if (!IsHeaderName(raw)) {
            g_mime_header_list_remove_at(list, i);
            ++dropped;
            continue;
        }
        const std::string name = Lower(raw);
        if (name.rfind("content-", 0) == 0)
            g_mime_header_list_remove_at(list, i);
    }
    return message;
}
void CConverter::Headers(LPMESSAGE msg, mime::Message& message, const std::string& where)
{
    enum {
        Transport, Subject, RepName, RepType, RepAddr, RepSmtp, SndName, SndType, SndAddr, SndSmtp, Submit, Delivery,
        MsgId, ReplyTo, Refs, Importance, Count
    };
    SizedSPropTagArray(Count, tags) = {
        Count,
        {kTransportHeaders, kSubject, kRepresentingName, kRepresentingAddrType, kRepresentingAddress, kRepresentingSmtp,
         kSenderName, kSenderAddrType, kSenderAddress, kSenderSmtp, kSubmitTime, kDeliveryTime, kMessageId, kInReplyTo,
         kReferences, kImportance}};
    ULONG count = 0;
    LPSPropValue v = nullptr;
    if (FAILED(msg->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &count, &v)) || count != Count) {
        MAPIFreeBuffer(v);
        message.headersUnreadable = true;
        Problem(where, "its headers cannot be read");
        return;
    }
    const std::string transport = LargeText(msg, v[Transport], kTransportHeaders);
    const std::string subject = TextOf(v[Subject]);
    const std::string repName = TextOf(v[RepName]);
    const std::string repAddr = InternetAddressOf(TextOf(v[RepSmtp]), TextOf(v[RepType]), TextOf(v[RepAddr]));
    const std::string sndName = TextOf(v[SndName]);
    const std::string sndAddr = InternetAddressOf(TextOf(v[SndSmtp]), TextOf(v[SndType]), TextOf(v[SndAddr]));
    std::optional<uint64_t> date = TimeOf(v[Submit]);
    if (!date)
        date = TimeOf(v[Delivery]);
    const std::string messageId = TextOf(v[MsgId]);
    const std::string inReplyTo = TextOf(v[ReplyTo]);
    const std::string references = TextOf(v[Refs]);
    const std::optional<LONG> importance =
        PROP_TYPE(v[Importance].ulPropTag) == PT_LONG ? std::optional<LONG>(v[Importance].Value.l) : std::nullopt;
    MAPIFreeBuffer(v);

    m_result.envelopeSender = !repAddr.empty() ? repAddr : sndAddr;
    m_result.date = date;
    Hash(transport);
    Hash(subject);
    Hash(repName + "\n" + repAddr + "\n" + sndName + "\n" + sndAddr + "\n" + messageId);

    if (!transport.empty()) {
        int dropped = 0;
        message.transport.reset(ParseTransportHeaders(transport, dropped));
        if (dropped > 0)
            Problem(where, std::to_string(dropped) + " of its transport header fields: their names hold bytes no "
                                                     "header name may hold");
        if (message.transport)
            return;
        Problem(where, "its transport headers cannot be read: headers are made from its properties");
    }
    if (!repName.empty() || !repAddr.empty())
        message.addresses.push_back({GMIME_ADDRESS_TYPE_FROM, repName, repAddr});
    if ((!sndName.empty() || !sndAddr.empty()) && (sndName != repName || sndAddr != repAddr)) {
        const bool from = repName.empty() && repAddr.empty();
        message.addresses.push_back({from ? GMIME_ADDRESS_TYPE_FROM : GMIME_ADDRESS_TYPE_SENDER, sndName, sndAddr});
    }
    Recipients(msg, message, where);
    message.subject = subject;
    if (date)
        message.date = int64_t(*date / 10000000ull) - 11644473600ll;
    message.messageId = Trimmed(messageId);
    message.inReplyTo = inReplyTo;
    message.references = references;
    if (importance && (*importance == 0 || *importance == 2))
        message.importance = *importance == 0 ? "low" : "high";
}

void CConverter::Recipients(LPMESSAGE msg, mime::Message& message, const std::string& where)
{
    LPMAPITABLE table = nullptr;
    if (FAILED(msg->GetRecipientTable(MAPI_UNICODE, &table))) {
        Problem(where, "its recipients cannot be read");
        return;
    }
    enum { Type, Name, AddrType, Email, Smtp, Count };
    SizedSPropTagArray(Count, cols) = {Count, {kRecipientType, kDisplayName, kAddrType, kEmailAddress, kSmtpAddress}};
    LPSRowSet rows = nullptr;
    const HRESULT hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
    table->Release();
    if (FAILED(hr)) {
        Problem(where, "its recipients cannot be read (" + HrText(hr) + ")");
        return;
    }
    for (ULONG r = 0; r < rows->cRows; ++r) {
        const SRow& row = rows->aRow[r];
        if (row.cValues < Count)
            continue;
        const LONG type = PROP_TYPE(row.lpProps[Type].ulPropTag) == PT_LONG ? row.lpProps[Type].Value.l : kMapiTo;
        std::string name = TextOf(row.lpProps[Name]);
        std::string addr =
            InternetAddressOf(TextOf(row.lpProps[Smtp]), TextOf(row.lpProps[AddrType]), TextOf(row.lpProps[Email]));
        if (name.empty() && addr.empty())
            continue;
        Hash(name + "\n" + addr);
        const GMimeAddressType which = type == kMapiCc    ? GMIME_ADDRESS_TYPE_CC
                                       : type == kMapiBcc ? GMIME_ADDRESS_TYPE_BCC
                                                          : GMIME_ADDRESS_TYPE_TO;
        message.addresses.push_back({which, std::move(name), std::move(addr)});
    }
    FreeProws(rows);
}

std::optional<mime::Part> CConverter::Body(LPMESSAGE msg, const std::string& where, std::string& html)
{
    MessageBody body;
    if (FAILED(ReadMessageBody(msg, body))) {
        Problem(where, "its body cannot be read");
        return std::nullopt;
    }
    for (const std::string& d : body.damage)
        Problem(where, "body: " + d);
    std::optional<mime::Part> text;
    std::optional<mime::Part> htmlPart;
    if (body.text && (body.best != BodyKind::Html || !body.text->empty()))
        text = Leaf("text", "plain", UnixLines(std::move(*body.text)), true);
    if (body.html && (body.best == BodyKind::Html || !text)) {
        htmlPart = Leaf("text", "html", UnixLines(*body.html), true);
        html = std::move(*body.html);
    }
    if (text && htmlPart) {
        mime::Part alt = Multipart("alternative");
        alt.parts.push_back(std::move(*text));
        alt.parts.push_back(std::move(*htmlPart));
        return alt;
    }
    return text ? std::move(text) : std::move(htmlPart);
}

void CConverter::Message(LPMESSAGE msg, const std::string& where, int depth, mime::Message& message)
{
    Headers(msg, message, where);
    std::string html;
    std::optional<mime::Part> body = Body(msg, where, html);
    std::optional<mime::Part> top = Attachments(msg, std::move(body), html, where, depth);
    message.top = top ? std::move(*top) : Leaf("text", "plain", "", true);
}

// Where an HTML body refers to a Content-ID ("cid:ID"), lower case.
bool HtmlRefersTo(const std::string& lowerHtml, const std::string& contentId)
{
    return !contentId.empty() && lowerHtml.find("cid:" + Lower(contentId)) != std::string::npos;
}

std::optional<mime::Part> CConverter::Attachments(LPMESSAGE msg, std::optional<mime::Part> body,
                                                  const std::string& html, const std::string& where, int depth)
{
    LPMAPITABLE table = nullptr;
    HRESULT hr = msg->GetAttachmentTable(0, &table);
    LPSRowSet rows = nullptr;
    if (SUCCEEDED(hr)) {
        SizedSPropTagArray(1, cols) = {1, {PR_ATTACH_NUM}};
        hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
        table->Release();
    }
    if (FAILED(hr)) {
        Problem(where, "its attachments cannot be listed (" + HrText(hr) + ")");
        return body;
    }
    const std::string lowerHtml = Lower(html);
    std::vector<mime::Part> inlines;
    std::vector<mime::Part> attached;
    for (ULONG r = 0; r < rows->cRows; ++r) {
        const SRow& row = rows->aRow[r];
        std::string at = where + "/attachment " + std::to_string(r + 1);
        if (row.cValues < 1 || PROP_TYPE(row.lpProps[0].ulPropTag) != PT_LONG) {
            Problem(at, "it cannot be opened: its number cannot be read");
            continue;
        }
        LPATTACH attach = nullptr;
        hr = msg->OpenAttach(ULONG(row.lpProps[0].Value.l), &IID_IAttachment, 0, &attach);
        if (FAILED(hr)) {
            Problem(at, "it cannot be opened (" + HrText(hr) + ")");
            continue;
        }
        enum { Method, LongName, ShortName, Display, Mime, Cid, Count };
        SizedSPropTagArray(Count, tags) = {
            Count, {kAttachMethod, kAttachLongFilename, kAttachFilename, kDisplayName, kAttachMimeTag, kAttachContentId}};
        ULONG count = 0;
        LPSPropValue v = nullptr;
        if (FAILED(attach->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &count, &v)) ||
            count != Count) {
            MAPIFreeBuffer(v);
            attach->Release();
            Problem(at, "its properties cannot be read");
            continue;
        }
        const LONG method = PROP_TYPE(v[Method].ulPropTag) == PT_LONG ? v[Method].Value.l : ATTACH_BY_VALUE;
        std::string name = TextOf(v[LongName]);
        if (name.empty())
            name = TextOf(v[ShortName]);
        if (name.empty())
            name = TextOf(v[Display]);
        std::string mimeType = Lower(TextOf(v[Mime]));
        const std::string cid = Trimmed(TextOf(v[Cid]));
        MAPIFreeBuffer(v);
        if (!name.empty())
            at += " (" + name + ")";

        std::optional<mime::Part> part;
        if (method == ATTACH_EMBEDDED_MSG) {
            LPUNKNOWN unk = nullptr;
            hr = attach->OpenProperty(kAttachDataObj, &IID_IMessage, 0, 0, &unk);
            if (FAILED(hr)) {
                Problem(at, "the embedded message cannot be opened (" + HrText(hr) + ")");
            } else if (depth + 1 >= kMaxDepth) {
                unk->Release();
                Problem(at, "embedded messages are nested more than " + std::to_string(kMaxDepth) + " deep");
            } else {
                auto* inner = static_cast<LPMESSAGE>(unk);
                part.emplace();
                part->kind = mime::Part::Kind::Rfc822;
                part->message = std::make_unique<mime::Message>();
                Message(inner, at, depth + 1, *part->message);
                inner->Release();
                ++m_result.embedded;
            }
        } else if (method == ATTACH_BY_VALUE || method == ATTACH_OLE) {
            std::string data;
            bool hashed = false;  // its bytes went into the hash as they were read
            LPUNKNOWN unk = nullptr;
            hr = attach->OpenProperty(kAttachDataBin, &IID_IStream, 0, 0, &unk);
            if (FAILED(hr) && method == ATTACH_OLE)
                hr = attach->OpenProperty(kAttachDataObj, &IID_IStream, 0, 0, &unk);
            if (SUCCEEDED(hr)) {
                auto* stream = static_cast<LPSTREAM>(unk);
                hr = HashedRead(stream, data);
                hashed = SUCCEEDED(hr);
                stream->Release();
            }
            if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) {
                Problem(at, "its data cannot be read (" + HrText(hr) + ")");
            } else {
                // An attachment without data is written empty, as the store has it.
                const size_t slash = mimeType.find('/');
                if (slash == std::string::npos || slash == 0 || slash + 1 == mimeType.size() ||
                    mimeType.find_first_of(" ;\t\"") != std::string::npos)
                    mimeType = MimeTypeForFileName(name);
                // A message/* part may not be base64-encoded, and the bytes of a file
                // are not known to be a whole message: written as a file.
                if (mimeType.rfind("message/", 0) == 0 || mimeType.rfind("multipart/", 0) == 0)
                    mimeType = "application/octet-stream";
                const size_t s = mimeType.find('/');
                part = Leaf(mimeType.substr(0, s), mimeType.substr(s + 1),
                            std::move(data), false, hashed);
                // Text attachments keep their bytes as they are: no charset is claimed for them.
                if (!name.empty() && name.size() <= 60 && IsAscii(name))
                    part->nameParameter = name;
            }
        } else {
            Problem(at, method == ATTACH_BY_REFERENCE || method == ATTACH_BY_REF_RESOLVE || method == ATTACH_BY_REF_ONLY
                            ? "it is attached by reference: its data is not in the store"
                            : "its attach method " + std::to_string(method) + " has no data to write");
        }
        attach->Release();
        if (!part)
            continue;
        ++m_result.attachments;
        // The attachment's place in its message, not the message's path in the
        // store: the same message gives the same bytes whichever folder an
        // export starts from.
        Hash(at.substr(where.size()));
        part->contentId = cid;
        part->fileName = name;
        if (!cid.empty() && HtmlRefersTo(lowerHtml, cid) && method != ATTACH_EMBEDDED_MSG) {
            part->disposition = "inline";
            inlines.push_back(std::move(*part));
        } else {
            part->disposition = "attachment";
            attached.push_back(std::move(*part));
        }
    }
    FreeProws(rows);

    if (!inlines.empty() && body) {
        // The inline images go beside the HTML they belong to.
        mime::Part related = Multipart("related");
        related.relatedToHtml = true;
        if (body->kind == mime::Part::Kind::Multipart) {
            // multipart/alternative: the HTML is its last part.
            related.parts.push_back(std::move(body->parts.back()));
            body->parts.pop_back();
            for (mime::Part& p : inlines)
                related.parts.push_back(std::move(p));
            body->parts.push_back(std::move(related));
        } else {
            related.parts.push_back(std::move(*body));
            for (mime::Part& p : inlines)
                related.parts.push_back(std::move(p));
            body = std::move(related);
        }
    } else {
        // No HTML to hold them: they are attachments like the others.
        attached.insert(attached.begin(), std::make_move_iterator(inlines.begin()),
                        std::make_move_iterator(inlines.end()));
    }
    if (attached.empty())
        return body;
    mime::Part mixed = Multipart("mixed");
    if (body)
        mixed.parts.push_back(std::move(*body));
    for (mime::Part& p : attached)
        mixed.parts.push_back(std::move(p));
    return mixed;
}

GMimeObject* BuildPart(const mime::Part& part, uint64_t hash)
{
    GMimeObject* object = nullptr;
    switch (part.kind) {
    case mime::Part::Kind::Leaf: {
        GMimePart* leaf = g_mime_part_new_with_type(part.type.c_str(), part.subtype.c_str());
        if (part.text)
            g_mime_object_set_content_type_parameter(GMIME_OBJECT(leaf), "charset",
                                                     IsAscii(part.bytes) ? "us-ascii" : "utf-8");
        GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(part.bytes.data(), part.bytes.size()));
        GRef<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(stream.p, GMIME_CONTENT_ENCODING_DEFAULT));
        g_mime_part_set_content(leaf, wrapper.p);
        // A file's bytes go in base64, whatever they hold: 7bit and quoted-printable
        // lines are rewritten to the file's line ends on the way, which would change them.
        g_mime_part_set_content_encoding(leaf, part.text ? g_mime_part_get_best_content_encoding(
                                                               leaf, GMIME_ENCODING_CONSTRAINT_7BIT)
                                                         : GMIME_CONTENT_ENCODING_BASE64);
        object = GMIME_OBJECT(leaf);
        if (!part.nameParameter.empty())
            g_mime_object_set_content_type_parameter(object, "name", part.nameParameter.c_str());
        break;
    }
    case mime::Part::Kind::Multipart: {
        // As g_mime_multipart_new_with_subtype, but without its random boundary,
        // which reads /dev/urandom each time.
        auto* mp = static_cast<GMimeMultipart*>(g_object_new(GMIME_TYPE_MULTIPART, nullptr));
        GRef<GMimeContentType> type(g_mime_content_type_new("multipart", part.multipartSubtype.c_str()));
        g_mime_object_set_content_type(GMIME_OBJECT(mp), type.p);
        g_mime_multipart_set_boundary(mp, mime::Boundary(hash, part.number).c_str());
        if (part.relatedToHtml)
            g_mime_object_set_content_type_parameter(GMIME_OBJECT(mp), "type", "text/html");
        for (const mime::Part& p : part.parts) {
            GMimeObject* child = BuildPart(p, hash);
            g_mime_multipart_add(mp, child);
            g_object_unref(child);
        }
        object = GMIME_OBJECT(mp);
        break;
    }
    case mime::Part::Kind::Rfc822: {
        GMimeMessage* sub = mime::BuildGMimeMessage(*part.message, hash);
        object = GMIME_OBJECT(g_mime_message_part_new_with_message("rfc822", sub));
        g_object_unref(sub);
        break;
    }
    }
    if (!part.contentId.empty())
        g_mime_object_set_content_id(object, part.contentId.c_str());
    if (part.disposition)
        SetDisposition(object, part.disposition, part.fileName);
    return object;
}

} // namespace

namespace mime {

// The raw value of a Content-Disposition with a file name. Names that are
// short and plain ASCII are quoted; others are RFC 2231 UTF-8, split into
// sections that each hold whole characters (readers decode each section on
// its own), so that no line grows past the limit.
std::string DispositionWithFileName(const char* disposition, const std::string& name)
{
    const bool plain = name.size() <= 60 && std::all_of(name.begin(), name.end(), [](char c) {
                           const unsigned char u = static_cast<unsigned char>(c);
                           return u >= 0x20 && u < 0x7F;
                       });
    std::string raw = std::string(" ") + disposition + ";\n\tfilename=";
    if (plain) {
        raw += '"';
        for (char c : name) {
            if (c == '"' || c == '\\')
                raw += '\\';
            raw += c;
        }
        return raw + "\"\n";
    }
    std::vector<std::string> sections(1);
    static const char hex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char u = static_cast<unsigned char>(name[i]);
        if ((u & 0xC0) != 0x80 && sections.back().size() >= 60)
            sections.emplace_back();
        if (std::isalnum(u) || std::strchr("!#$&+-.^_`|~", u))
            sections.back() += char(u);
        else
            sections.back() += std::string("%") + hex[u >> 4] + hex[u & 15];
    }
    raw.resize(raw.size() - std::strlen("filename="));
    if (sections.size() == 1)
        return raw + "filename*=UTF-8''" + sections[0] + "\n";
    for (size_t i = 0; i < sections.size(); ++i) {
        raw += "filename*" + std::to_string(i) + "*=" + (i == 0 ? "UTF-8''" : "") + sections[i];
        raw += i + 1 < sections.size() ? ";\n\t" : "\n";
    }
    return raw;
}

std::string Boundary(uint64_t hash, int n)
{
    char text[48];
    std::snprintf(text, sizeof text, "=_%016llx.%d", static_cast<unsigned long long>(hash), n);
    return text;
}

GMimeFormatOptions* ExportFormatOptions()
{
    static GMimeFormatOptions* const options = [] {
        InitGMime();
        GMimeFormatOptions* o = g_mime_format_options_new();
        g_mime_format_options_set_newline_format(o, GMIME_NEWLINE_FORMAT_UNIX);
        g_mime_format_options_set_param_encoding_method(o, GMIME_PARAM_ENCODING_METHOD_RFC2231);
        return o;
    }();
    return options;
}

GMimeMessage* BuildGMimeMessage(const Message& m, uint64_t hash)
{
    GMimeMessage* message = nullptr;
    if (m.transport) {
        message = m.transport.get();
        g_object_ref(message);
    } else {
        message = g_mime_message_new(TRUE);
        for (const Address& a : m.addresses)
            AddAddress(message, a.type, a.name, a.addr);
        if (!m.subject.empty())
            g_mime_message_set_subject(message, m.subject.c_str(), "utf-8");
        if (m.date) {
            if (GDateTime* dt = g_date_time_new_from_unix_utc(*m.date)) {
                g_mime_message_set_date(message, dt);
                g_date_time_unref(dt);
            }
        }
        if (!m.messageId.empty())
            g_mime_message_set_message_id(message, m.messageId.c_str());
        if (!m.inReplyTo.empty())
            g_mime_object_set_header(GMIME_OBJECT(message), "In-Reply-To", m.inReplyTo.c_str(), nullptr);
        if (!m.references.empty())
            g_mime_object_set_header(GMIME_OBJECT(message), "References", m.references.c_str(), nullptr);
        if (m.importance)
            g_mime_object_set_header(GMIME_OBJECT(message), "Importance", m.importance, nullptr);
    }
    GMimeObject* top = BuildPart(m.top, hash);
    g_mime_message_set_mime_part(message, top);
    g_object_unref(top);
    return message;
}

} // namespace mime

HRESULT MessageToInternetMessage(LPMESSAGE lpMessage, const std::string& where, InternetMessage& result,
                                 MimeWriter writer)
{
    result = InternetMessage{};
    if (!lpMessage)
        return MAPI_E_INVALID_PARAMETER;
    InitGMime();
    CConverter converter(result);
    mime::Message message;
    converter.Message(lpMessage, where, 0, message);
    if (writer == MimeWriter::Any && mime::WriteMimeText(message, converter.Hash(), result.bytes, &result.base64)) {
        result.writtenDirectly = true;
        return S_OK;
    }
    GRef<GMimeMessage> built(mime::BuildGMimeMessage(message, converter.Hash()));
    GRef<GMimeStream> out(g_mime_stream_mem_new());
    const ssize_t n = g_mime_object_write_to_stream(GMIME_OBJECT(built.p), mime::ExportFormatOptions(), out.p);
    if (n < 0)
        return MAPI_E_CALL_FAILED;
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.p));
    result.bytes.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
    return S_OK;
}


std::string TransportHeaderBlock(const std::string& text)
{
    InitGMime();
    int dropped = 0;
    GRef<GMimeMessage> message(ParseTransportHeaders(text, dropped));
    if (!message.p)
        return {};
    // The export puts a part of its own in place of the one GMime made of the
    // text: only the message's own headers are written.
    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_UNIX);
    char* headers = g_mime_header_list_to_string(g_mime_object_get_header_list(GMIME_OBJECT(message.p)), options);
    g_mime_format_options_free(options);
    std::string block = headers ? headers : "";
    g_free(headers);
    return block;
}

void WriteMboxrd(const InternetMessage& message, const std::function<void(std::string_view)>& write)
{
    std::string sender = message.envelopeSender;
    sender.erase(std::remove_if(sender.begin(), sender.end(), [](unsigned char c) { return c <= ' ' || c >= 0x7F; }),
                 sender.end());
    if (sender.empty())
        sender = "MAILER-DAEMON";
    char date[64] = "Thu Jan  1 00:00:00 1970";
    if (message.date) {
        const std::time_t t = std::time_t(int64_t(*message.date / 10000000ull) - 11644473600ll);
        std::tm tm{};
        // Names of days and months in English whatever the locale, as the form has them.
        static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        if (gmtime_r(&t, &tm))
            std::snprintf(date, sizeof date, "%s %s %2d %02d:%02d:%02d %d", days[tm.tm_wday % 7], months[tm.tm_mon % 12],
                          tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    }
    write("From " + sender + " " + date + "\n");
    // The message is handed on in runs between the lines that take one more ">".
    const std::string& s = message.bytes;
    const size_t n = s.size();
    size_t copied = 0;
    size_t start = 0;
    const TextRuns& base64 = message.base64;
    size_t run = 0;
    while (start < n) {
        // Base64 text is passed over whole: none of its lines takes a ">".
        while (run < base64.size() && base64[run].second <= start)
            ++run;
        if (run < base64.size() && base64[run].first == start && base64[run].second <= n) {
            start = base64[run].second;
            continue;
        }
        size_t i = start;
        while (i < n && s[i] == '>')
            ++i;
        // Most lines (all of base64) begin otherwise: one byte decides.
        if (i < n && s[i] == 'F' && s.compare(i, 5, "From ") == 0) {
            write(std::string_view(s).substr(copied, start - copied));
            write(">");
            copied = start;
        }
        const void* eol = std::memchr(s.data() + i, '\n', n - i);
        if (eol == nullptr)
            break;
        start = size_t(static_cast<const char*>(eol) - s.data()) + 1;
    }
    write(std::string_view(s).substr(copied));
    write(n > 0 && s.back() != '\n' ? "\n\n" : "\n");
}

void AppendMboxrd(const InternetMessage& message, std::string& mbox)
{
    mbox.reserve(mbox.size() + message.bytes.size() + 128);
    WriteMboxrd(message, [&mbox](std::string_view piece) { mbox += piece; });
}

std::string MimeTypeForFileName(const std::string& name)
{
    static const std::map<std::string, std::string> types = {
        {"txt", "text/plain"},       {"htm", "text/html"},         {"html", "text/html"},
        {"csv", "text/csv"},         {"xml", "text/xml"},          {"rtf", "application/rtf"},
        {"pdf", "application/pdf"},  {"zip", "application/zip"},   {"gz", "application/gzip"},
        {"jpg", "image/jpeg"},       {"jpeg", "image/jpeg"},       {"png", "image/png"},
        {"gif", "image/gif"},        {"bmp", "image/bmp"},         {"tif", "image/tiff"},
        {"tiff", "image/tiff"},      {"svg", "image/svg+xml"},     {"ics", "text/calendar"},
        {"vcf", "text/vcard"},       {"msg", "application/vnd.ms-outlook"},
        {"doc", "application/msword"}, {"xls", "application/vnd.ms-excel"},
        {"ppt", "application/vnd.ms-powerpoint"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"wav", "audio/wav"},        {"mp3", "audio/mpeg"},        {"mp4", "video/mp4"},
    };
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos) {
        const auto it = types.find(Lower(name.substr(dot + 1)));
        if (it != types.end())
            return it->second;
    }
    return "application/octet-stream";
}

} // namespace dravik::content
