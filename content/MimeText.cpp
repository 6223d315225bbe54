// Messages written directly, byte for byte as GMime writes their tree, with
// GMime's own pieces where it decides: its formatter for subjects that need
// RFC 2047 words, its reading of transport headers, its choice of transfer
// encoding and its quoted-printable and base64 encoders. Anything this writer
// is not sure to write the same (lines of just 78 columns, names it would
// encode or escape, In-Reply-To and References, which it reformats) is left
// to GMime's tree.
#include "content/MimeTree.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstring>
#include <ctime>
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace dravik::content::mime {

namespace {

// Header lines longer than this are folded by GMime; such messages go through its tree.
constexpr size_t kLongestLine = 76;

bool IsPrintableAscii(const std::string& s)
{
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return false;
    return true;
}

// Words of letters, digits and the atom characters that need no quoting,
// separated by single spaces.
bool IsPlainPhrase(const std::string& s)
{
    if (s.empty() || s.front() == ' ' || s.back() == ' ' || s.find("  ") != std::string::npos)
        return false;
    for (char c : s) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || u == ' ' || std::strchr("!#$%&'*+-/^_`{|}~", u)))
            return false;
    }
    return true;
}

// A display name as GMime writes it: as it is when plain, else in quotes when
// it is printable ASCII without quotes or backslashes; empty when this writer
// leaves it to GMime (it would encode or escape it).
std::string Phrase(const std::string& s)
{
    if (IsPlainPhrase(s))
        return s;
    if (s.empty() || !IsPrintableAscii(s) || s.find_first_of("\"\\") != std::string::npos)
        return {};
    return "\"" + s + "\"";
}

// local@domain with a dot-atom local part and a lower-case ASCII domain name,
// which GMime writes as it is.
bool IsPlainAddress(const std::string& s)
{
    const size_t at = s.find('@');
    if (at == std::string::npos || at == 0 || at + 1 == s.size() || s.find('@', at + 1) != std::string::npos)
        return false;
    for (size_t i = 0; i < at; ++i) {
        const unsigned char u = static_cast<unsigned char>(s[i]);
        if (!(std::isalnum(u) || std::strchr("!#$%&'*+-/=?^_`{|}~.", u)))
            return false;
    }
    if (s[0] == '.' || s[at - 1] == '.' || s.find("..") != std::string::npos)
        return false;
    for (size_t i = at + 1; i < s.size(); ++i) {
        const unsigned char u = static_cast<unsigned char>(s[i]);
        if (!((u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-' || u == '.'))
            return false;
    }
    return s[at + 1] != '.' && s.back() != '.';
}

// A token of a MIME type: lower-case letters, digits and . + -.
bool IsPlainToken(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (!((u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '.' || u == '+' || u == '-'))
            return false;
    }
    return true;
}

// A message ID or Content-ID as "<id>", when it is one GMime writes as given,
// on one line however long (it has no place to fold).
bool IsPlainId(const std::string& s)
{
    if (s.empty() || s.size() > 900)
        return false;
    for (char c : s) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || std::strchr("<>()\",;:\\[]", u))
            return false;
    }
    return true;
}

bool AppendLine(std::string& out, const std::string& line)
{
    if (line.size() > kLongestLine)
        return false;
    out += line;
    out += '\n';
    return true;
}

// An address list folded as GMime folds it: before a mailbox's name or its
// <address> when the line would grow past 78 columns, the next line starting
// with a tab. Where the fold is not certain (a line of just 78 columns, a
// fold inside a name of several words, a long group) the message is left to
// GMime.
bool AppendAddresses(std::string& out, const char* field, const std::vector<Address>& addresses, GMimeAddressType type)
{
    std::vector<const Address*> list;
    for (const Address& a : addresses)
        if (a.type == type)
            list.push_back(&a);
    if (list.empty())
        return true;
    std::string text = std::string(field) + ":";
    size_t column = text.size();
    auto token = [&](const std::string& t, bool mayFold) {
        const size_t end = column + 1 + t.size();
        if (end <= 77) {
            text += ' ';
            text += t;
            column = end;
            return true;
        }
        if (end == 78 || !mayFold || 1 + t.size() > 77)
            return false;
        text += "\n\t";
        text += t;
        column = 1 + t.size();
        return true;
    };
    for (size_t i = 0; i < list.size(); ++i) {
        const Address& a = *list[i];
        const std::string comma = i + 1 < list.size() ? "," : "";
        const std::string name = Phrase(a.name);
        if (!a.name.empty() && name.empty())
            return false;
        if (a.addr.empty()) {
            if (!token(name + ": ;" + comma, false))
                return false;
            continue;
        }
        if (!IsPlainAddress(a.addr))
            return false;
        if (name.empty()) {
            if (!token(a.addr + comma, true))
                return false;
            continue;
        }
        if (name != a.name) {
            // A quoted name is one piece: a fold goes before or after it.
            if (!token(name, true))
                return false;
        } else {
            size_t start = 0;
            for (bool first = true; start <= name.size(); first = false) {
                size_t space = name.find(' ', start);
                if (space == std::string::npos)
                    space = name.size();
                if (!token(name.substr(start, space - start), first))
                    return false;
                start = space + 1;
            }
        }
        if (!token("<" + a.addr + ">" + comma, true))
            return false;
    }
    out += text;
    out += '\n';
    return true;
}

bool AppendDate(std::string& out, int64_t seconds)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!gmtime_r(&t, &tm) || tm.tm_year + 1900 < 1000 || tm.tm_year + 1900 > 9999)
        return false;
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char line[64];
    std::snprintf(line, sizeof line, "Date: %s, %02d %s %04d %02d:%02d:%02d +0000", days[tm.tm_wday % 7], tm.tm_mday,
                  months[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    out += line;
    out += '\n';
    return true;
}

bool AppendSubject(std::string& out, const std::string& subject)
{
    if (IsPrintableAscii(subject) && subject.front() != ' ' && subject.back() != ' ' &&
        subject.find("  ") == std::string::npos && subject.find("=?") == std::string::npos)
        return AppendLine(out, "Subject: " + subject);
    // Anything else as GMime's own formatter for the field makes it (RFC 2047
    // words, folding), through one header kept for the purpose.
    thread_local GMimeHeaderList* list = [] {
        GMimeHeaderList* l = g_mime_header_list_new(nullptr);
        g_mime_header_list_set(l, "Subject", "x", nullptr);
        return l;
    }();
    GMimeHeader* header = g_mime_header_list_get_header(list, "Subject");
    char* value = g_strstrip(g_strdup(subject.c_str()));
    char* raw = g_mime_header_format_default(header, ExportFormatOptions(), value, "utf-8");
    g_free(value);
    const std::string text = raw ? raw : "";
    g_free(raw);
    if (text.empty() || text.back() != '\n' || !IsPrintableAscii(text.substr(0, text.size() - 1) + " "))
        return false;
    out += "Subject:" + text;
    return true;
}

// The transfer encoding GMime chooses for a text: 7bit, quoted-printable or base64.
GMimeContentEncoding BestTextEncoding(const std::string& bytes)
{
    thread_local GMimeFilter* best = g_mime_filter_best_new(GMIME_FILTER_BEST_ENCODING);
    g_mime_filter_reset(best);
    char* out = nullptr;
    size_t outLen = 0;
    size_t prespace = 0;
    g_mime_filter_filter(best, const_cast<char*>(bytes.data()), bytes.size(), 0, &out, &outLen, &prespace);
    g_mime_filter_complete(best, nullptr, 0, 0, &out, &outLen, &prespace);
    return g_mime_filter_best_encoding(GMIME_FILTER_BEST(best), GMIME_ENCODING_CONSTRAINT_7BIT);
}

void AppendEncoded(std::string& out, const std::string& bytes, GMimeContentEncoding encoding, TextRuns& base64)
{
    if (encoding == GMIME_CONTENT_ENCODING_BASE64) {
        const size_t begin = out.size();
        AppendBase64(out, bytes);
        if (out.size() > begin)
            base64.emplace_back(begin, out.size());
        return;
    }
    if (encoding != GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE) {
        out += bytes;
        return;
    }
    GMimeEncoding state;
    g_mime_encoding_init_encode(&state, encoding);
    const size_t start = out.size();
    out.resize(start + g_mime_encoding_outlen(&state, bytes.size()));
    const size_t n = g_mime_encoding_flush(&state, bytes.data(), bytes.size(), out.data() + start);
    out.resize(start + n);
}

// The parameter "name" as GMime writes a short ASCII value: bare when it is
// a token, else quoted; empty when the writer leaves it to GMime.
std::string NameParameter(const std::string& name)
{
    bool token = true;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || std::strchr("\"\\*%", u))
            return {};
        if (u == ' ' || std::strchr("()<>@,;:/[]?=\t", u))
            token = false;
    }
    // An apostrophe in a quoted value is kept as it is; in a bare one GMime may encode it.
    if (token && name.find('\'') != std::string::npos)
        return {};
    return token ? name : "\"" + name + "\"";
}

bool AppendPart(std::string& out, const Part& part, uint64_t hash, bool top, TextRuns& base64);

// An attachment's Content-Id and Content-Disposition (the raw value its file name makes).
bool AppendAttachmentHeaders(std::string& out, const Part& part)
{
    if (!part.contentId.empty()) {
        if (!IsPlainId(part.contentId))
            return false;
        out += "Content-Id: <" + part.contentId + ">\n";
    }
    if (part.disposition) {
        if (part.fileName.empty())
            out += std::string("Content-Disposition: ") + part.disposition + "\n";
        else
            out += "Content-Disposition:" + DispositionWithFileName(part.disposition, part.fileName);
    }
    return true;
}
bool AppendMessage(std::string& out, const Message& m, uint64_t hash, TextRuns& base64);

bool AppendLeaf(std::string& out, const Part& part, bool top, TextRuns& base64)
{
    if (!IsPlainToken(part.type) || !IsPlainToken(part.subtype))
        return false;
    std::string type = "Content-Type: " + part.type + "/" + part.subtype;
    bool ascii = true;
    if (part.text) {
        ascii = std::none_of(part.bytes.begin(), part.bytes.end(), [](char c) { return (c & 0x80) != 0; });
        type += ascii ? "; charset=us-ascii" : "; charset=utf-8";
    }
    if (!part.nameParameter.empty()) {
        const std::string value = NameParameter(part.nameParameter);
        if (value.empty())
            return false;
        type += "; name=" + value;
    }
    if (!AppendLine(out, type))
        return false;
    const GMimeContentEncoding encoding = part.text ? BestTextEncoding(part.bytes) : GMIME_CONTENT_ENCODING_BASE64;
    if (encoding == GMIME_CONTENT_ENCODING_BASE64)
        out += "Content-Transfer-Encoding: base64\n";
    else if (encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE)
        out += "Content-Transfer-Encoding: quoted-printable\n";
    else if (encoding != GMIME_CONTENT_ENCODING_7BIT && encoding != GMIME_CONTENT_ENCODING_DEFAULT)
        return false;
    if (!AppendAttachmentHeaders(out, part))
        return false;
    out += '\n';
    AppendEncoded(out, part.bytes, encoding, base64);
    if (top && (out.empty() || out.back() != '\n'))
        out += '\n';
    return true;
}

bool AppendPart(std::string& out, const Part& part, uint64_t hash, bool top, TextRuns& base64)
{
    switch (part.kind) {
    case Part::Kind::Leaf:
        return AppendLeaf(out, part, top, base64);
    case Part::Kind::Multipart: {
        if (!IsPlainToken(part.multipartSubtype) || !part.contentId.empty() || part.disposition)
            return false;
        const std::string boundary = Boundary(hash, part.number);
        std::string type = "Content-Type: multipart/" + part.multipartSubtype + "; boundary=\"" + boundary + "\"";
        if (part.relatedToHtml)
            type += "; type=\"text/html\"";
        if (!AppendLine(out, type))
            return false;
        out += '\n';
        for (const Part& p : part.parts) {
            out += "--" + boundary + "\n";
            if (!AppendPart(out, p, hash, false, base64))
                return false;
            out += '\n';
        }
        out += "--" + boundary + "--\n";
        return true;
    }
    case Part::Kind::Rfc822:
        out += "Content-Type: message/rfc822\n";
        if (!AppendAttachmentHeaders(out, part))
            return false;
        out += '\n';
        return part.message && AppendMessage(out, *part.message, hash, base64);
    }
    return false;
}

// The headers of a message's own transport headers as GMime writes them: the
// fields it parsed, then MIME-Version when they have none.
void AppendTransportHeaders(std::string& out, GMimeMessage* message)
{
    GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message));
    char* text = g_mime_header_list_to_string(list, ExportFormatOptions());
    if (text)
        out += text;
    g_free(text);
    if (!g_mime_header_list_contains(list, "MIME-Version"))
        out += "MIME-Version: 1.0\n";
}

bool AppendMessage(std::string& out, const Message& m, uint64_t hash, TextRuns& base64)
{
    if (m.headersUnreadable || !m.inReplyTo.empty() || !m.references.empty())
        return false;
    if (m.transport) {
        AppendTransportHeaders(out, m.transport.get());
        return AppendPart(out, m.top, hash, true, base64);
    }
    if (m.date && !AppendDate(out, *m.date))
        return false;
    if (!AppendAddresses(out, "From", m.addresses, GMIME_ADDRESS_TYPE_FROM))
        return false;
    if (!m.subject.empty() && !AppendSubject(out, m.subject))
        return false;
    if (!AppendAddresses(out, "Sender", m.addresses, GMIME_ADDRESS_TYPE_SENDER) ||
        !AppendAddresses(out, "To", m.addresses, GMIME_ADDRESS_TYPE_TO) ||
        !AppendAddresses(out, "Cc", m.addresses, GMIME_ADDRESS_TYPE_CC) ||
        !AppendAddresses(out, "Bcc", m.addresses, GMIME_ADDRESS_TYPE_BCC))
        return false;
    if (!m.messageId.empty()) {
        if (!IsPlainId(m.messageId))
            return false;
        out += "Message-Id: <" + m.messageId + ">\n";
    }
    if (m.importance)
        out += std::string("Importance: ") + m.importance + "\n";
    out += "MIME-Version: 1.0\n";
    return AppendPart(out, m.top, hash, true, base64);
}

} // namespace

namespace {

// Eight bytes as read from memory, the first one highest.
uint64_t ByteSwapToBigEndian(uint64_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        return __builtin_bswap64(v);
    return v;
}

// Eight characters stored with the low byte of v first.
void StoreLittleEndian(char* o, uint64_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    std::memcpy(o, &v, 8);
}

} // namespace

namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Whole groups of three bytes, sixteen a step, with AVX-512 VBMI (the method of
// Muła and Lemire): each group's bytes are placed in a 32-bit lane as b a c b,
// the four 6-bit fields picked out by one multishift, and looked up in the
// alphabet by one permute. Loads and stores are masked to the groups given, so
// nothing is read or written beyond them.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) char* Base64GroupsVbmi(const unsigned char* in,
                                                                              size_t groups, char* o,
                                                                              const char* alphabet)
{
    const __m512i shuffle = _mm512_setr_epi32(0x01020001, 0x04050304, 0x07080607, 0x0a0b090a, 0x0d0e0c0d, 0x10110f10,
                                              0x13141213, 0x16171516, 0x191a1819, 0x1c1d1b1c, 0x1f201e1f, 0x22232122,
                                              0x25262425, 0x28292728, 0x2b2c2a2b, 0x2e2f2d2e);
    const __m512i shifts = _mm512_set1_epi64(0x3036242a1016040a);
    const __m512i table = _mm512_loadu_si512(alphabet);
    while (groups > 0) {
        const size_t g = std::min<size_t>(groups, 16);
        const __mmask64 inMask = (uint64_t(1) << (3 * g)) - 1;
        const __mmask64 outMask = g == 16 ? ~uint64_t(0) : (uint64_t(1) << (4 * g)) - 1;
        const __m512i v = _mm512_permutexvar_epi8(shuffle, _mm512_maskz_loadu_epi8(inMask, in));
        const __m512i fields = _mm512_multishift_epi64_epi8(shifts, v);
        _mm512_mask_storeu_epi8(o, outMask, _mm512_permutexvar_epi8(fields, table));
        in += 3 * g;
        o += 4 * g;
        groups -= g;
    }
    return o;
}

bool HasVbmi()
{
    static const bool has = __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw");
    return has;
}
#else
char* Base64GroupsVbmi(const unsigned char*, size_t, char* o, const char*) { return o; }
bool HasVbmi() { return false; }
#endif

void AppendBase64With(std::string& out, std::string_view bytes, bool vbmi)
{
    // Two characters per 12 bits from one table; whole lines (57 bytes in, 76
    // characters and LF out) go through a buffer on the stack, appended in
    // pieces so that the string is written once, not zeroed first.
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    // The two characters of 12 bits as a 16-bit value, the first one low.
    static const auto kPairs = [] {
        std::array<uint16_t, 4096> pairs{};
        for (int i = 0; i < 4096; ++i)
            pairs[i] = uint16_t(uint8_t(kAlphabet[i >> 6]) | uint8_t(kAlphabet[i & 63]) << 8);
        return pairs;
    }();
    const auto Pair = [](uint64_t i) -> uint64_t { return kPairs[i]; };
    constexpr size_t kLineIn = 57, kLineOut = 77, kLines = 64;
    const size_t lines = (bytes.size() + kLineIn - 1) / kLineIn;
    // Grown geometrically, as append would: a message of many attachments
    // is not copied once for each.
    if (const size_t need = out.size() + lines * kLineOut; need > out.capacity())
        out.reserve(std::max(need, 2 * out.capacity()));
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* const end = in + bytes.size();
    char buffer[kLineOut * kLines];
    while (in != end) {
        char* o = buffer;
        for (size_t line = 0; line < kLines && in != end; ++line) {
            const size_t n = std::min<size_t>(kLineIn, static_cast<size_t>(end - in));
            const unsigned char* const stop = in + n / 3 * 3;
            if (vbmi) {
                o = Base64GroupsVbmi(in, n / 3, o, kAlphabet);
                in = stop;
            }
            // Six bytes a step from one 8-byte load where the input goes on
            // far enough; the rest three at a time.
            size_t steps = vbmi ? 0 : n / 6;
            while (steps > 0 && static_cast<size_t>(end - in) < steps * 6 + 2)
                --steps;
            for (const unsigned char* const last = in + steps * 6; in != last; in += 6, o += 8) {
                uint64_t v;
                std::memcpy(&v, in, 8);
                v = ByteSwapToBigEndian(v);
                const uint64_t chars = Pair(v >> 52) | Pair((v >> 40) & 0xFFF) << 16 | Pair((v >> 28) & 0xFFF) << 32 |
                                       Pair((v >> 16) & 0xFFF) << 48;
                StoreLittleEndian(o, chars);
            }
            for (; in != stop; in += 3, o += 4) {
                const uint32_t v = uint32_t(in[0]) << 16 | uint32_t(in[1]) << 8 | in[2];
                const uint32_t chars = uint32_t(kPairs[v >> 12]) | uint32_t(kPairs[v & 0xFFF]) << 16;
                o[0] = char(chars);
                o[1] = char(chars >> 8);
                o[2] = char(chars >> 16);
                o[3] = char(chars >> 24);
            }
            if (n % 3 != 0) {
                const uint32_t v = uint32_t(in[0]) << 16 | (n % 3 == 2 ? uint32_t(in[1]) << 8 : 0);
                o[0] = kAlphabet[v >> 18];
                o[1] = kAlphabet[(v >> 12) & 63];
                o[2] = n % 3 == 2 ? kAlphabet[(v >> 6) & 63] : '=';
                o[3] = '=';
                o += 4;
                in += n % 3;
            }
            *o++ = '\n';
        }
        out.append(buffer, static_cast<size_t>(o - buffer));
    }
}

} // namespace

void AppendBase64(std::string& out, std::string_view bytes)
{
    AppendBase64With(out, bytes, HasVbmi());
}


void AppendBase64Portable(std::string& out, std::string_view bytes)
{
    AppendBase64With(out, bytes, false);
}

namespace {

// About the size of a message's text: its leaves in base64 (the largest any
// takes) with room for headers. Room for a large message is made once, not by
// doublings that would leave up to twice its size allocated.
size_t SizeHint(const Part& part)
{
    size_t size = 1024 + part.bytes.size() / 57 * 78 + 78;
    for (const Part& p : part.parts)
        size += SizeHint(p);
    if (part.message)
        size += SizeHint(part.message->top);
    return size;
}

} // namespace

bool WriteMimeText(const Message& m, uint64_t hash, std::string& result, TextRuns* base64)
{
    TextRuns ignored;
    TextRuns& runs = base64 ? *base64 : ignored;
    const size_t runsBefore = runs.size();
    // Written in place (no second copy of a large message); taken back when
    // the message turns out to be one for GMime.
    const size_t start = result.size();
    result.reserve(start + SizeHint(m.top));
    if (AppendMessage(result, m, hash, runs))
        return true;
    result.resize(start);
    runs.resize(runsBefore);
    return false;
}

} // namespace dravik::content::mime
