#include "DemoStore.h"
#include "StoreWriter.h"

#include <string>

namespace dravik::pst::writer {

namespace {

const Guid kPsetidAddress = Guid::parse("00062004-0000-0000-C000-000000000046");
const Guid kPsetidAppointment = Guid::parse("00062002-0000-0000-C000-000000000046");
const Guid kPsetidTask = Guid::parse("00062003-0000-0000-C000-000000000046");
const Guid kDravikSet = Guid::parse("6F1B3E2A-52C4-4D0B-9A57-3C1E8D2F4A60");

// Tags used below.
constexpr uint32_t PR_IMPORTANCE = 0x00170003, PR_MESSAGE_CLASS = 0x001A001F, PR_SUBJECT = 0x0037001F,
                   PR_CLIENT_SUBMIT_TIME = 0x00390040, PR_EXPIRY_TIME = 0x00150040,
                   PR_SENT_REPRESENTING_NAME = 0x0042001F, PR_TRANSPORT_MESSAGE_HEADERS_A = 0x007D001E,
                   PR_SENDER_NAME = 0x0C1A001F, PR_SENDER_EMAIL_ADDRESS = 0x0C1F001F,
                   PR_DISPLAY_TO = 0x0E04001F, PR_MESSAGE_DELIVERY_TIME = 0x0E060040,
                   PR_MESSAGE_FLAGS = 0x0E070003, PR_BODY = 0x1000001F, PR_HTML = 0x10130102,
                   PR_CREATION_TIME = 0x30070040, PR_LAST_MODIFICATION_TIME = 0x30080040,
                   PR_DISPLAY_NAME = 0x3001001F, PR_ADDRTYPE = 0x3002001F, PR_EMAIL_ADDRESS = 0x3003001F,
                   PR_RECIPIENT_TYPE = 0x0C150003, PR_SMTP_ADDRESS = 0x39FE001F,
                   PR_ATTACH_EXTENSION = 0x3703001F, PR_ATTACH_FILENAME = 0x3704001F,
                   PR_ATTACH_LONG_FILENAME = 0x3707001F, PR_ATTACH_MIME_TAG = 0x370E001F,
                   PR_GIVEN_NAME = 0x3A06001F, PR_SURNAME = 0x3A11001F, PR_COMPANY_NAME = 0x3A16001F,
                   PR_PRIORITY = 0x00260003;

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

Recipient recipient(const std::string& name, const std::string& email, int32_t type) {
    Recipient r;
    r.props.set(PR_DISPLAY_NAME, PropValue::unicode(name))
        .set(PR_EMAIL_ADDRESS, PropValue::unicode(email))
        .set(PR_ADDRTYPE, PropValue::unicode("SMTP"))
        .set(PR_SMTP_ADDRESS, PropValue::unicode(email))
        .set(PR_RECIPIENT_TYPE, PropValue::i4(type));
    return r;
}

Message message(const std::string& cls, const std::string& subject, uint64_t when) {
    Message m;
    m.props.set(PR_MESSAGE_CLASS, PropValue::unicode(cls))
        .set(PR_SUBJECT, PropValue::unicode(subject))
        .set(PR_SENDER_NAME, PropValue::unicode("Ada Lovelace"))
        .set(PR_SENDER_EMAIL_ADDRESS, PropValue::unicode("ada@example.org"))
        .set(PR_SENT_REPRESENTING_NAME, PropValue::unicode("Ada Lovelace"))
        .set(PR_CLIENT_SUBMIT_TIME, PropValue::systime(when))
        .set(PR_MESSAGE_DELIVERY_TIME, PropValue::systime(when + 600ull * 10000000))
        .set(PR_IMPORTANCE, PropValue::i4(1))
        .set(PR_BODY, PropValue::unicode("Message \"" + subject + "\".\r\n"));
    return m;
}

Attachment fileAttachment(const std::string& shortName, const std::string& longName, std::vector<uint8_t> data) {
    Attachment a;
    if (!shortName.empty()) a.props.set(PR_ATTACH_FILENAME, PropValue::unicode(shortName));
    if (!longName.empty()) {
        a.props.set(PR_ATTACH_LONG_FILENAME, PropValue::unicode(longName));
        a.props.set(PR_DISPLAY_NAME, PropValue::unicode(longName));
    }
    a.data = std::move(data);
    return a;
}

// One-off entry ID (MS-OXCDATA 2.2.5.1) of a Unicode SMTP address.
std::vector<uint8_t> oneOff(const std::string& name, const std::string& email) {
    std::vector<uint8_t> b = {0, 0, 0, 0, 0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                              0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02, 0, 0, 0x01, 0x90};
    for (const std::string& s : {name, std::string("SMTP"), email}) {
        auto u = utf16le(s);
        b.insert(b.end(), u.begin(), u.end());
        b.push_back(0);
        b.push_back(0);
    }
    return b;
}

Message contact(const std::string& given, const std::string& surname, const std::string& email) {
    const std::string name = given + " " + surname;
    Message m = message("IPM.Contact", name, fileTime(2024, 3, 1, 9));
    m.props.set(PR_DISPLAY_NAME, PropValue::unicode(name))
        .set(PR_GIVEN_NAME, PropValue::unicode(given))
        .set(PR_SURNAME, PropValue::unicode(surname))
        .set(PR_COMPANY_NAME, PropValue::unicode("Analytical Engines Ltd"))
        .set(NamedProp{kPsetidAddress, uint32_t{0x8080}}, PropValue::unicode(name + " (" + email + ")"))
        .set(NamedProp{kPsetidAddress, uint32_t{0x8082}}, PropValue::unicode("SMTP"))
        .set(NamedProp{kPsetidAddress, uint32_t{0x8083}}, PropValue::unicode(email))
        .set(NamedProp{kPsetidAddress, uint32_t{0x8084}}, PropValue::unicode(email));
    return m;
}

}  // namespace

uint64_t fileTime(int y, int mo, int d, int h, int mi, int s) {
    // Days from 1601-01-01 by the civil-from-days algorithm.
    const int yy = mo <= 2 ? y - 1 : y;
    const int era = (yy >= 0 ? yy : yy - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(yy - era * 400);
    const unsigned doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days1970 = int64_t(era) * 146097 + int64_t(doe) - 719468;
    const int64_t secs = (days1970 + 134774) * 86400 + h * 3600 + mi * 60 + s;
    return static_cast<uint64_t>(secs) * 10000000ull;
}

StoreDescription demoStore() {
    StoreDescription d;
    d.options.displayName = "Dravik Demo Store";
    d.options.encoding = Encoding::Permute;  // what Outlook writes by default
    d.storeProps.set(NamedProp{kDravikSet, uint32_t{0x0001}}, PropValue::i4(42))
        .set(NamedProp{kDravikSet, std::string("StoreComment")}, PropValue::unicode("Written by pstgen demo"));

    Folder inbox{"Inbox", "IPF.Note", {}, {}, {}, {}};
    {
        Message m = message("IPM.Note", "Welcome to Dravik", fileTime(2024, 1, 15, 10, 30));
        m.recipients = {recipient("Charles Babbage", "charles@example.org", 1),
                        recipient("Mary Somerville", "mary@example.org", 2),
                        recipient("Archive", "archive@example.org", 3)};
        m.props.set(PR_DISPLAY_TO, PropValue::unicode("Charles Babbage"));
        std::vector<uint8_t> text = bytesOf("Quarterly figures, one line per quarter.\r\nQ1 12\r\nQ2 15\r\n");
        m.attachments.push_back(fileAttachment("QUARTE~1.TXT", "Quarterly report 2024.txt", text));
        m.attachments.push_back(fileAttachment("README.TXT", "", bytesOf("Short name only.\r\n")));
        Attachment unnamed;
        unnamed.data = {0x00, 0x01, 0x02, 0x03, 0xFE, 0xFF};
        m.attachments.push_back(unnamed);
        auto embedded = std::make_shared<Message>(message("IPM.Note", "Forwarded: minutes of the meeting", fileTime(2024, 1, 10, 8)));
        embedded->recipients = {recipient("Ada Lovelace", "ada@example.org", 1)};
        embedded->attachments.push_back(fileAttachment("MINUTES.TXT", "Minutes.txt", bytesOf("Attendees: 3\r\n")));
        Attachment em;
        em.props.set(PR_DISPLAY_NAME, PropValue::unicode("Forwarded: minutes of the meeting"));
        em.embedded = embedded;
        m.attachments.push_back(em);
        inbox.messages.push_back(std::move(m));
    }
    {
        // Large and unusual values.
        Message m = message("IPM.Note", "Large and unusual values", fileTime(2024, 2, 29, 0, 0, 0));
        std::string body;
        for (int i = 0; body.size() < 40000; ++i) body += "Line " + std::to_string(i) + " of a body longer than 32 KiB.\r\n";
        m.props.set(PR_BODY, PropValue::unicode(body));
        std::vector<uint8_t> html(3000);
        for (size_t i = 0; i < html.size(); ++i) html[i] = static_cast<uint8_t>(i * 7 + 3);
        m.props.set(PR_HTML, PropValue::binary(html));
        std::string headers;
        for (int i = 0; headers.size() < 10000; ++i) headers += "X-Dravik-Header-" + std::to_string(i) + ": filler\r\n";
        headers.resize(10000);
        m.props.set(PR_TRANSPORT_MESSAGE_HEADERS_A, PropValue::string8(headers));
        m.props.set(PR_EXPIRY_TIME, PropValue::systime(fileTime(10000, 1, 1, 12)));
        m.props.set(PR_CREATION_TIME, PropValue::systime(fileTime(2024, 2, 29)));
        m.props.set(PR_LAST_MODIFICATION_TIME, PropValue::systime(fileTime(2024, 2, 29, 23, 59, 59)));
        m.props.set(NamedProp{kPsPublicStrings, std::string("Keywords")}, PropValue::mvUnicode({"demo", "values", "Dravik"}));
        m.props.set(NamedProp{kDravikSet, std::string("Sample Numbers")}, PropValue::mvLong({1, -2, 300000}));
        m.props.set(0x675000FBu, PropValue::raw(0x00FB, {0x01, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}));  // PT_SVREID: no text form in the viewer
        m.props.set(NamedProp{kDravikSet, std::string("Sample Error")}, PropValue::error(0x8004010F));  // MAPI_E_NOT_FOUND
        m.props.set(PR_PRIORITY, PropValue::i4(0));
        m.props.set(0x00000000u | 0x66010014, PropValue::i8(4294967296LL));
        m.props.set(0x66020005, PropValue::r8(3.25));
        m.props.set(0x66030002, PropValue::i2(-1));
        m.props.set(0x6604000B, PropValue::boolean(true));
        m.props.set(0x66050006, PropValue::currency(10000));
        m.recipients = {recipient("Charles Babbage", "charles@example.org", 1)};
        inbox.messages.push_back(std::move(m));
    }
    {
        Message rule = message("IPM.Rule.Message", "Move newsletters", fileTime(2024, 1, 2, 7));
        inbox.messages.push_back(rule);
        Message view = message("IPM.Microsoft.FolderDesign.NamedView", "Compact view", fileTime(2024, 1, 2, 7));
        inbox.associated.push_back(view);
    }

    Folder calendar{"Calendar", "IPF.Appointment", {}, {}, {}, {}};
    {
        Message m = message("IPM.Appointment", "Design review", fileTime(2024, 4, 8, 14));
        m.props.set(NamedProp{kPsetidAppointment, uint32_t{0x820D}}, PropValue::systime(fileTime(2024, 4, 8, 14)))
            .set(NamedProp{kPsetidAppointment, uint32_t{0x820E}}, PropValue::systime(fileTime(2024, 4, 8, 15)))
            .set(NamedProp{kPsetidAppointment, uint32_t{0x8208}}, PropValue::unicode("Room 101"));
        m.recipients = {recipient("Charles Babbage", "charles@example.org", 1)};
        calendar.messages.push_back(std::move(m));
    }

    Folder contacts{"Contacts", "IPF.Contact", {}, {}, {}, {}};
    contacts.messages.push_back(contact("Charles", "Babbage", "charles@example.org"));
    contacts.messages.push_back(contact("Mary", "Somerville", "mary@example.org"));
    {
        Message dl = message("IPM.DistList", "Engine team", fileTime(2024, 3, 2, 9));
        std::vector<std::vector<uint8_t>> members = {oneOff("Charles Babbage", "charles@example.org"),
                                                     oneOff("Mary Somerville", "mary@example.org")};
        dl.props.set(PR_DISPLAY_NAME, PropValue::unicode("Engine team"))
            .set(NamedProp{kPsetidAddress, uint32_t{0x8053}}, PropValue::unicode("Engine team"))
            .set(NamedProp{kPsetidAddress, uint32_t{0x8055}}, PropValue::mvBinary(members))
            .set(NamedProp{kPsetidAddress, uint32_t{0x8054}}, PropValue::mvBinary(members));
        contacts.messages.push_back(std::move(dl));
    }

    Folder notes{"Notes", "IPF.StickyNote", {}, {}, {}, {}};
    notes.messages.push_back(message("IPM.StickyNote", "Buy more punched cards", fileTime(2024, 5, 1, 12)));
    Folder journal{"Journal", "IPF.Journal", {}, {}, {}, {}};
    journal.messages.push_back(message("IPM.Activity", "Phone call with Charles", fileTime(2024, 5, 2, 16)));
    Folder tasks{"Tasks", "IPF.Task", {}, {}, {}, {}};
    {
        Message t = message("IPM.Task", "Finish the notes on the engine", fileTime(2024, 5, 3, 9));
        t.props.set(NamedProp{kPsetidTask, uint32_t{0x8101}}, PropValue::i4(1));        // status: in progress
        t.props.set(NamedProp{kPsetidTask, uint32_t{0x8102}}, PropValue::r8(0.5));      // percent complete
        tasks.messages.push_back(std::move(t));
    }
    Folder other{"Engine Drawings", "IPF.Dravik.Drawings", {}, {}, {}, {}};
    other.messages.push_back(message("IPM.Dravik.Drawing", "Difference engine, sheet 1", fileTime(2024, 6, 1, 10)));
    Folder sub{"Old Drawings", "", {}, {}, {}, {}};
    sub.messages.push_back(message("IPM.Note", "Sheet 0", fileTime(2023, 6, 1, 10)));
    other.folders.push_back(std::move(sub));

    d.ipmSubtree.folders = {std::move(inbox), std::move(calendar), std::move(contacts), std::move(notes),
                            std::move(journal), std::move(tasks), std::move(other)};
    return d;
}

}  // namespace dravik::pst::writer
