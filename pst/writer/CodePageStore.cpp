#include "CodePageStore.h"

namespace dravik::pst::writer {

namespace {

constexpr uint32_t kSubjectA = 0x0037001E;
constexpr uint32_t kBodyA = 0x1000001E;
constexpr uint32_t kDisplayNameA = 0x3001001E;
constexpr uint32_t kMessageClassA = 0x001A001E;
constexpr uint32_t kMessageCodepage = 0x3FFD0003;  // PR_MESSAGE_CODEPAGE
constexpr uint32_t kMessageLocaleId = 0x3FF10003;  // PR_MESSAGE_LOCALE_ID
constexpr uint32_t kInternetCpid = 0x3FDE0003;     // PR_INTERNET_CPID
constexpr uint32_t kEmailAddressA = 0x3003001E;
constexpr uint32_t kAddrTypeA = 0x3002001E;

const ScriptTexts kTexts[] = {
    {"japanese", 932, 0x0411, 50220,
     {"\x8e\xf3\x90M\x83g\x83\x8c\x83" "C", "受信トレイ"},
     {"\x89\xef\x8b" "c\x82\xcc\x97\\\x92\xe8", "会議の予定"},  // 予 has 0x5C as its trail byte
     {"\x8eR\x93" "c\x91\xbe\x98Y", "山田太郎"}},
    {"chinese", 936, 0x0804, 50227,
     {"\xca\xd5\xbc\xfe\xcf\xe4", "收件箱"},
     {"\xbb\xe1\xd2\xe9\xcd\xa8\xd6\xaa", "会议通知"},
     {"\xcd\xf5\xd0\xa1\xc3\xf7", "王小明"}},
    {"cyrillic", 1251, 0x0419, 20866,
     {"\xc2\xf5\xee\xe4\xff\xf9\xe8\xe5", "Входящие"},
     {"\xcf\xf0\xe8\xe2\xe5\xf2 \xec\xe8\xf0", "Привет мир"},
     {"\xc8\xe2\xe0\xed \xcf\xe5\xf2\xf0\xee\xe2", "Иван Петров"}},
    {"hebrew", 1255, 0x040D, 28598,
     {"\xe3\xe5\xe0\xf8 \xf0\xeb\xf0\xf1", "דואר נכנס"},
     {"\xf9\xec\xe5\xed \xf2\xe5\xec\xed", "שלום עולם"},
     {"\xe3\xe5\xe3 \xeb\xe4\xef", "דוד כהן"}},
};

void declare(PropertyBag& props, const ScriptTexts& t, Declared declared) {
    switch (declared) {
    case Declared::Nothing: break;
    case Declared::CodePage: props.set(kMessageCodepage, PropValue::i4(static_cast<int32_t>(t.codePage))); break;
    case Declared::Locale: props.set(kMessageLocaleId, PropValue::i4(static_cast<int32_t>(t.locale))); break;
    case Declared::InternetCodePage:
        props.set(kInternetCpid, PropValue::i4(static_cast<int32_t>(t.internetCodePage)));
        break;
    }
}

}  // namespace

const ScriptTexts& scriptTexts(Script script) { return kTexts[static_cast<size_t>(script)]; }

StoreDescription codePageStore(Script script, Declared declared) {
    const ScriptTexts& t = scriptTexts(script);
    StoreDescription d;
    d.options.format = StoreFormat::Ansi;
    d.options.displayName = std::string("Personal Folders (") + t.name + ")";

    Message note;
    note.props.set(kMessageClassA, PropValue::string8("IPM.Note"))
        .set(kSubjectA, PropValue::string8(t.subject.bytes))
        .set(kBodyA, PropValue::string8(std::string("body: ") + t.subject.bytes));
    declare(note.props, t, declared);
    Recipient to;
    to.props.set(kDisplayNameA, PropValue::string8(t.person.bytes))
        .set(kAddrTypeA, PropValue::string8("SMTP"))
        .set(kEmailAddressA, PropValue::string8("person@example.com"));
    note.recipients.push_back(std::move(to));
    Folder folder;
    folder.displayName = "folder";  // the 8-bit name below is the one written
    folder.containerClass = "IPF.Note";
    folder.props.set(kDisplayNameA, PropValue::string8(t.folder.bytes));
    folder.messages.push_back(std::move(note));

    Message contact;
    contact.props.set(kMessageClassA, PropValue::string8("IPM.Contact"))
        .set(kSubjectA, PropValue::string8(t.person.bytes))
        .set(kDisplayNameA, PropValue::string8(t.person.bytes))
        .set(kAddrTypeA, PropValue::string8("SMTP"))
        .set(kEmailAddressA, PropValue::string8("person@example.com"));
    declare(contact.props, t, declared);
    Folder contacts;
    contacts.displayName = "Contacts";
    contacts.containerClass = "IPF.Contact";
    contacts.messages.push_back(std::move(contact));

    d.ipmSubtree.folders.push_back(std::move(folder));
    d.ipmSubtree.folders.push_back(std::move(contacts));
    return d;
}

}  // namespace dravik::pst::writer
