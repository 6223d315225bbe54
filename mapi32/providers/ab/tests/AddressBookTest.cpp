// The address book and the status table of sessions over real store files:
// the distribution-list sample (checked against pffexport's dump of the same
// file), the writer's demo store, stores written here for the edge cases, and
// damaged entry IDs.
#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"
#include "mapi32/providers/ab/abentryid.h"
#include "mapi32/table.h"
#include "mapi32/tests/TestProfiles.h"
#include "pst/writer/DemoStore.h"
#include "pst/writer/StoreWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace {

using namespace dravik::mapi32;
namespace ab = dravik::mapi32::ab;
namespace wr = dravik::pst::writer;
namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

constexpr ULONG kAbRecipients = 0x1, kAbSubcontainers = 0x2, kAbUnmodifiable = 0x8;

// A value read back, owned, by property ID.
struct Value
{
    ULONG type = 0;
    std::string text;
    ULONG ul = 0;
    Bytes bin;
};
using Props = std::map<ULONG, Value>;

Props ToProps(const SPropValue* values, ULONG count)
{
    Props out;
    for (ULONG i = 0; i < count; ++i) {
        const SPropValue& v = values[i];
        Value& x = out[PROP_ID(v.ulPropTag)];
        x.type = PROP_TYPE(v.ulPropTag);
        if (x.type == PT_STRING8 || x.type == PT_UNICODE)
            ValueText(v, x.text);
        else if (x.type == PT_BINARY)
            x.bin.assign(v.Value.bin.lpb, v.Value.bin.lpb + v.Value.bin.cb);
        else
            x.ul = v.Value.ul;
    }
    return out;
}

std::string Text(const Props& p, ULONG tag)
{
    auto it = p.find(PROP_ID(tag));
    return it == p.end() ? "<absent>" : it->second.text;
}

ULONG Long(const Props& p, ULONG tag)
{
    auto it = p.find(PROP_ID(tag));
    return it == p.end() ? 0xFFFFFFFFu : it->second.ul;
}

Bytes Bin(const Props& p, ULONG tag)
{
    auto it = p.find(PROP_ID(tag));
    return it == p.end() ? Bytes() : it->second.bin;
}

std::vector<Props> AllRows(LPMAPITABLE table)
{
    std::vector<Props> out;
    LPSRowSet rows = nullptr;
    EXPECT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
    for (ULONG i = 0; rows && i < rows->cRows; ++i)
        out.push_back(ToProps(rows->aRow[i].lpProps, rows->aRow[i].cValues));
    FreeProws(rows);
    table->Release();
    return out;
}

Props AllProps(LPMAPIPROP object, ULONG flags = 0)
{
    ULONG count = 0;
    LPSPropValue values = nullptr;
    EXPECT_EQ(object->GetProps(nullptr, flags, &count, &values), S_OK);
    Props out = ToProps(values, count);
    MAPIFreeBuffer(values);
    return out;
}

std::string Utf16le(const std::string& ascii)
{
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

// ------------------------------------------------------------------ pffexport's view

// The named values (by LID) of each item of a file's "Contacts" folders, from
// `pffexport -d`, which dumps every value of an item with the LID it maps to.
std::map<std::string, std::map<ULONG, Bytes>> PffContacts(const std::string& store, const fs::path& work)
{
    const fs::path target = work / "pff";
    const std::string command =
        "pffexport -q -d -m items -t '" + target.string() + "' '" + store + "' > '" + (work / "pff.log").string() + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << "pffexport (Debian's pff-tools) must be installed: " << command;
    std::map<std::string, std::map<ULONG, Bytes>> items;
    const std::regex mapsTo(R"(Maps to entry type:\s+0x([0-9a-f]+))");
    const std::regex hexLine(R"(^0x[0-9a-f]{8}: ((?:[0-9a-f]{2} {1,2}){1,16}))");
    for (const auto& entry : fs::recursive_directory_iterator(target.string() + ".export")) {
        if (entry.path().filename() != "ItemValues.txt" || entry.path().parent_path().parent_path().filename() != "Contacts")
            continue;
        std::ifstream in(entry.path());
        std::string line;
        ULONG lid = 0;
        auto& values = items[entry.path().parent_path().filename().string()];
        while (std::getline(in, line)) {
            std::smatch m;
            if (line.rfind("Entry:", 0) == 0)
                lid = 0;
            else if (std::regex_search(line, m, mapsTo))
                lid = static_cast<ULONG>(std::stoul(m[1].str(), nullptr, 16));
            else if (lid && std::regex_search(line, m, hexLine)) {
                std::istringstream hex(m[1].str());
                std::string byte;
                while (hex >> byte)
                    values[lid].push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
            }
        }
    }
    EXPECT_FALSE(items.empty()) << "pffexport listed no contacts";
    return items;
}

std::string FromUtf16(const Bytes& b) { return ab::Utf16leToUtf8(b.data(), b.size()); }

// ------------------------------------------------------------------ sessions

class AddressBookTest : public ProfileFolderTest
{
protected:
    void SetUp() override
    {
        ProfileFolderTest::SetUp();
        char tmpl[] = "/tmp/dravik-ab-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_work = tmpl;
    }
    void TearDown() override
    {
        if (m_ab)
            m_ab->Release();
        if (m_session) {
            m_session->Logoff(0, 0, 0);
            m_session->Release();
        }
        fs::remove_all(m_work);
        ProfileFolderTest::TearDown();
    }

    // Logs on to a new profile with one "MSPST MS" service per store file and opens the address book.
    void Logon(const std::vector<std::string>& stores)
    {
        std::string name = "AB";
        ASSERT_EQ(m_admin->CreateProfile(name.data(), nullptr, 0, 0), S_OK);
        LPSERVICEADMIN svc = nullptr;
        ASSERT_EQ(m_admin->AdminServices(name.data(), nullptr, 0, 0, &svc), S_OK);
        for (std::string path : stores) {
            std::string service = "MSPST MS";
            ASSERT_EQ(svc->CreateMsgService(service.data(), nullptr, 0, 0), S_OK);
            LPMAPITABLE t = nullptr;
            ASSERT_EQ(svc->GetMsgServiceTable(0, &t), S_OK);
            std::vector<Props> rows = AllRows(t);
            Bytes uid = Bin(rows.back(), PR_SERVICE_UID);
            ASSERT_EQ(uid.size(), 16u);
            SPropValue v{};
            v.ulPropTag = PR_PST_PATH;
            v.Value.lpszA = path.data();
            ASSERT_EQ(svc->ConfigureMsgService(reinterpret_cast<LPMAPIUID>(uid.data()), 0, 0, 1, &v), S_OK);
        }
        svc->Release();
        ASSERT_EQ(MAPILogonEx(0, name.data(), nullptr, MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE,
                              &m_session),
                  S_OK);
        ASSERT_EQ(m_session->OpenAddressBook(0, nullptr, 0, &m_ab), S_OK);
    }

    std::string Write(const std::string& name, const wr::StoreDescription& d)
    {
        const std::string path = (m_work / name).string();
        wr::writeStore(path, d);
        return path;
    }

    // OpenEntry on the address book; the object, or null with the result in `hr`.
    LPUNKNOWN Open(const Bytes& eid, ULONG& type, HRESULT& hr, ULONG flags = 0)
    {
        LPUNKNOWN unk = nullptr;
        type = 0;
        hr = m_ab->OpenEntry(static_cast<ULONG>(eid.size()),
                             eid.empty() ? nullptr : reinterpret_cast<LPENTRYID>(const_cast<uint8_t*>(eid.data())),
                             nullptr, flags, &type, &unk);
        return unk;
    }
    template <typename T>
    T* OpenAs(const Bytes& eid, ULONG expectedType)
    {
        ULONG type = 0;
        HRESULT hr = S_OK;
        LPUNKNOWN unk = Open(eid, type, hr);
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(type, expectedType);
        return static_cast<T*>(unk);
    }
    std::vector<Props> Containers()
    {
        IABContainer* root = OpenAs<IABContainer>({}, MAPI_ABCONT);
        if (!root)
            return {};
        LPMAPITABLE t = nullptr;
        EXPECT_EQ(root->GetHierarchyTable(0, &t), S_OK);
        root->Release();
        return t ? AllRows(t) : std::vector<Props>();
    }
    std::vector<Props> Contents(const Bytes& containerEid, ULONG type = MAPI_ABCONT, ULONG flags = 0)
    {
        auto* c = OpenAs<IMAPIContainer>(containerEid, type);
        if (!c)
            return {};
        LPMAPITABLE t = nullptr;
        EXPECT_EQ(c->GetContentsTable(flags, &t), S_OK);
        c->Release();
        return t ? AllRows(t) : std::vector<Props>();
    }
    Props EntryProps(const Bytes& eid, ULONG type, ULONG flags = 0)
    {
        auto* p = OpenAs<IMAPIProp>(eid, type);
        if (!p)
            return {};
        Props out = AllProps(p, flags);
        p->Release();
        return out;
    }

    fs::path m_work;
    LPMAPISESSION m_session = nullptr;
    LPADRBOOK m_ab = nullptr;
};

const Props* ByName(const std::vector<Props>& rows, const std::string& name)
{
    for (const Props& r : rows)
        if (Text(r, PR_DISPLAY_NAME) == name)
            return &r;
    return nullptr;
}

// ------------------------------------------------------------------ stores written here

const wr::Guid kAddress = wr::Guid::parse("00062004-0000-0000-C000-000000000046");
constexpr uint32_t kClass = 0x001A001F, kSubject = 0x0037001F, kDisplayName = 0x3001001F, kGiven = 0x3A06001F;

wr::Message Item(const std::string& cls, const std::string& subject)
{
    wr::Message m;
    m.props.set(kClass, wr::PropValue::unicode(cls)).set(kSubject, wr::PropValue::unicode(subject));
    return m;
}

// A contact with the given addresses (index 1..3 -> address).
wr::Message Contact(const std::string& name, const std::map<int, std::string>& emails)
{
    wr::Message m = Item("IPM.Contact", name);
    m.props.set(kDisplayName, wr::PropValue::unicode(name)).set(kGiven, wr::PropValue::unicode(name.substr(0, name.find(' '))));
    for (const auto& [index, email] : emails) {
        const uint32_t base = 0x8080 + 0x10 * (index - 1);
        m.props.set(wr::NamedProp{kAddress, base}, wr::PropValue::unicode(name + " <" + email + ">"))
            .set(wr::NamedProp{kAddress, base + 2}, wr::PropValue::unicode("SMTP"))
            .set(wr::NamedProp{kAddress, base + 3}, wr::PropValue::unicode(email));
    }
    return m;
}

} // namespace

// ------------------------------------------------------------------ the tests

TEST_F(AddressBookTest, DistListSampleMatchesPffexport)
{
    const std::string file = DRAVIK_SAMPLES_DIR "/java-libpst-dist-list.pst";
    ASSERT_NO_FATAL_FAILURE(Logon({file}));
    const auto pff = PffContacts(file, m_work);

    const std::vector<Props> containers = Containers();
    ASSERT_EQ(containers.size(), 1u);
    const Props& c = containers[0];
    EXPECT_EQ(Text(c, PR_DISPLAY_NAME), "Contacts");
    EXPECT_EQ(Long(c, PR_OBJECT_TYPE), MAPI_ABCONT);
    EXPECT_EQ(Long(c, PR_DISPLAY_TYPE), DT_NOT_SPECIFIC);
    EXPECT_EQ(Long(c, PR_CONTAINER_FLAGS), kAbRecipients | kAbUnmodifiable);
    EXPECT_EQ(Long(c, PR_DEPTH), 0u);

    // Rows against the items pffexport finds: Email1 address and display name (LIDs 0x8083,
    // 0x8080) of each contact, the name (LID 0x8053) of each distribution list.
    std::set<std::pair<std::string, std::string>> expectedUsers, users;
    std::set<std::string> expectedLists, lists;
    for (const auto& [item, values] : pff) {
        if (values.count(0x8083))
            expectedUsers.insert({FromUtf16(values.at(0x8080)), FromUtf16(values.at(0x8083))});
        if (values.count(0x8053))
            expectedLists.insert(FromUtf16(values.at(0x8053)));
    }
    const std::vector<Props> rows = Contents(Bin(c, PR_ENTRYID));
    for (const Props& r : rows) {
        EXPECT_FALSE(Bin(r, PR_ENTRYID).empty());
        if (Long(r, PR_OBJECT_TYPE) == MAPI_MAILUSER) {
            EXPECT_EQ(Long(r, PR_DISPLAY_TYPE), DT_MAILUSER);
            EXPECT_EQ(Text(r, PR_ADDRTYPE), "SMTP");
            users.insert({Text(r, PR_DISPLAY_NAME), Text(r, PR_EMAIL_ADDRESS)});
        } else {
            EXPECT_EQ(Long(r, PR_OBJECT_TYPE), MAPI_DISTLIST);
            EXPECT_EQ(Long(r, PR_DISPLAY_TYPE), DT_DISTLIST);
            lists.insert(Text(r, PR_DISPLAY_NAME));
        }
    }
    EXPECT_EQ(users, expectedUsers);
    EXPECT_EQ(lists, expectedLists);
    // As read by hand from the file.
    EXPECT_EQ(users, (std::set<std::pair<std::string, std::string>>{{"contact name 1", "contact1@rjohnson.id.au"}}));
    EXPECT_EQ(lists, std::set<std::string>{"test dist list"});

    // The mail user: the row's values and the contact's own names.
    const Props* userRow = ByName(rows, "contact name 1");
    ASSERT_NE(userRow, nullptr);
    const Props user = EntryProps(Bin(*userRow, PR_ENTRYID), MAPI_MAILUSER);
    EXPECT_EQ(Bin(user, PR_ENTRYID), Bin(*userRow, PR_ENTRYID));
    EXPECT_EQ(Text(user, PR_EMAIL_ADDRESS), "contact1@rjohnson.id.au");
    EXPECT_EQ(Text(user, PR_GIVEN_NAME), "contact");
    EXPECT_EQ(Text(user, PR_SURNAME), "1");
    const std::string key = "SMTP:CONTACT1@RJOHNSON.ID.AU";
    EXPECT_EQ(Bin(user, PR_SEARCH_KEY), Bytes(key.c_str(), key.c_str() + key.size() + 1));

    // The list's members, against the one-off members pffexport dumps (LID 0x8054):
    // as many as the file counts, each name and address in the file's bytes.
    const Props* listRow = ByName(rows, "test dist list");
    ASSERT_NE(listRow, nullptr);
    const Bytes listEid = Bin(*listRow, PR_ENTRYID);
    EXPECT_EQ(Long(EntryProps(listEid, MAPI_DISTLIST), PR_OBJECT_TYPE), MAPI_DISTLIST);
    const std::vector<Props> members = Contents(listEid, MAPI_DISTLIST);
    Bytes oneOffs;
    for (const auto& [item, values] : pff)
        if (values.count(0x8054))
            oneOffs = values.at(0x8054);
    ASSERT_GE(oneOffs.size(), 4u);
    const std::string blob(oneOffs.begin(), oneOffs.end());
    EXPECT_EQ(members.size(), static_cast<size_t>(oneOffs[0] | oneOffs[1] << 8));
    std::set<std::string> names;
    for (const Props& m : members) {
        names.insert(Text(m, PR_DISPLAY_NAME));
        EXPECT_NE(blob.find(Utf16le(Text(m, PR_DISPLAY_NAME))), std::string::npos) << Text(m, PR_DISPLAY_NAME);
        EXPECT_NE(blob.find(Utf16le(Text(m, PR_EMAIL_ADDRESS))), std::string::npos) << Text(m, PR_EMAIL_ADDRESS);
        EXPECT_EQ(Long(m, PR_OBJECT_TYPE), MAPI_MAILUSER);
    }
    EXPECT_EQ(names, (std::set<std::string>{"contact name 1", "dist name 1", "dist name 2"}));

    // The first member is the contact, by a wrapped entry ID: it opens as that contact's
    // address; the others are one-off addresses and open as such.
    ASSERT_EQ(members.size(), 3u);
    ab::AbEntryId decoded;
    const Bytes first = Bin(members[0], PR_ENTRYID);
    ASSERT_EQ(ab::DecodeAbEntryId(first.data(), first.size(), decoded), ab::EntryIdCheck::Ours);
    EXPECT_EQ(decoded.emailIndex, 1);
    EXPECT_EQ(Text(EntryProps(first, MAPI_MAILUSER), PR_GIVEN_NAME), "contact");
    const Props dist1 = EntryProps(Bin(*ByName(members, "dist name 1"), PR_ENTRYID), MAPI_MAILUSER);
    EXPECT_EQ(Text(dist1, PR_EMAIL_ADDRESS), "dist1@rjohnson.id.au");
    EXPECT_EQ(Text(dist1, PR_ADDRTYPE), "SMTP");
}

TEST_F(AddressBookTest, DemoStoreContactsListAndObjects)
{
    ASSERT_NO_FATAL_FAILURE(Logon({Write("demo.pst", wr::demoStore())}));
    const std::vector<Props> containers = Containers();
    ASSERT_EQ(containers.size(), 1u);
    EXPECT_EQ(Text(containers[0], PR_DISPLAY_NAME), "Contacts");
    const Bytes containerEid = Bin(containers[0], PR_ENTRYID);

    // With MAPI_UNICODE the strings are PT_UNICODE, without PT_STRING8.
    const std::vector<Props> wide = Contents(containerEid, MAPI_ABCONT, MAPI_UNICODE);
    const std::vector<Props> rows = Contents(containerEid);
    ASSERT_EQ(rows.size(), 3u);
    ASSERT_EQ(wide.size(), 3u);
    EXPECT_EQ(wide[0].at(PROP_ID(PR_DISPLAY_NAME)).type, PT_UNICODE);
    EXPECT_EQ(rows[0].at(PROP_ID(PR_DISPLAY_NAME)).type, PT_STRING8);
    EXPECT_EQ(Text(wide[0], PR_DISPLAY_NAME), Text(rows[0], PR_DISPLAY_NAME));

    struct Expected { const char* name; const char* address; const char* type; ULONG object; };
    const Expected expected[] = {
        {"Charles Babbage (charles@example.org)", "charles@example.org", "SMTP", MAPI_MAILUSER},
        {"Mary Somerville (mary@example.org)", "mary@example.org", "SMTP", MAPI_MAILUSER},
        {"Engine team", "", "MAPIPDL", MAPI_DISTLIST},
    };
    for (const Expected& e : expected) {
        const Props* r = ByName(rows, e.name);
        ASSERT_NE(r, nullptr) << e.name;
        EXPECT_EQ(Text(*r, PR_EMAIL_ADDRESS), e.address);
        EXPECT_EQ(Text(*r, PR_ADDRTYPE), e.type);
        EXPECT_EQ(Long(*r, PR_OBJECT_TYPE), e.object);
        EXPECT_EQ(Bin(*r, PR_RECORD_KEY), Bin(*r, PR_ENTRYID));
        EXPECT_EQ(Bin(*r, PR_INSTANCE_KEY).size(), 4u);
    }

    // The list's members: the one-off entry IDs it keeps.
    const std::vector<Props> members = Contents(Bin(*ByName(rows, "Engine team"), PR_ENTRYID), MAPI_DISTLIST);
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(Text(members[0], PR_DISPLAY_NAME), "Charles Babbage");
    EXPECT_EQ(Text(members[1], PR_EMAIL_ADDRESS), "mary@example.org");

    // A mail user: tags asked for by type, a missing one, a value as a stream.
    auto* user = OpenAs<IMailUser>(Bin(*ByName(rows, expected[0].name), PR_ENTRYID), MAPI_MAILUSER);
    ASSERT_NE(user, nullptr);
    SizedSPropTagArray(3, tags) = {3, {PR_EMAIL_ADDRESS_W, PROP_TAG(PT_UNSPECIFIED, 0x3A16), PROP_TAG(PT_LONG, 0x6001)}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    ASSERT_EQ(user->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(values[0].ulPropTag, PR_EMAIL_ADDRESS_W);
    EXPECT_EQ(ToProps(values, count).at(0x3A16).text, "Analytical Engines Ltd");  // the contact's PR_COMPANY_NAME
    EXPECT_EQ(values[2].ulPropTag, PROP_TAG(PT_ERROR, 0x6001));
    MAPIFreeBuffer(values);
    LPUNKNOWN unk = nullptr;
    ASSERT_EQ(user->OpenProperty(PR_EMAIL_ADDRESS, &IID_IStream, 0, MAPI_BEST_ACCESS, &unk), S_OK);
    auto* stream = static_cast<LPSTREAM>(unk);
    char buffer[64] = {};
    ULONG read = 0;
    EXPECT_EQ(stream->Read(buffer, sizeof buffer, &read), S_OK);
    EXPECT_EQ(std::string(buffer, read), "charles@example.org");
    stream->Release();

    // Nothing can be written.
    SPropValue v{};
    v.ulPropTag = PR_DISPLAY_NAME;
    v.Value.lpszA = const_cast<char*>("x");
    EXPECT_EQ(user->SetProps(1, &v, nullptr), MAPI_E_NO_ACCESS);
    EXPECT_EQ(user->SaveChanges(0), MAPI_E_NO_ACCESS);
    EXPECT_EQ(user->OpenProperty(PR_EMAIL_ADDRESS, &IID_IStream, 0, MAPI_MODIFY, &unk), MAPI_E_NO_ACCESS);
    user->Release();
    ULONG type = 0;
    HRESULT hr = S_OK;
    EXPECT_EQ(Open(containerEid, type, hr, MAPI_MODIFY), nullptr);
    EXPECT_EQ(hr, MAPI_E_NO_ACCESS);
    auto* container = OpenAs<IABContainer>(containerEid, MAPI_ABCONT);
    ASSERT_NE(container, nullptr);
    LPMAPIPROP created = nullptr;
    EXPECT_EQ(container->CreateEntry(0, nullptr, 0, &created), MAPI_E_NO_ACCESS);
    EXPECT_EQ(container->DeleteEntries(nullptr, 0), MAPI_E_NO_ACCESS);
    container->Release();
}

class WrittenStoreTest : public AddressBookTest, public ::testing::WithParamInterface<wr::StoreFormat>
{
};

TEST_P(WrittenStoreTest, AddressesFoldersAndListMembers)
{
    // Contacts with Email1 and Email3, with none; a note among them; a contacts
    // folder below another; a list whose member is a contact's Email3 by wrapped
    // entry ID, without the one-off copy.
    wr::StoreOptions options;
    options.format = GetParam();
    const std::string path = (m_work / "contacts.pst").string();
    {
        wr::StoreWriter w(path, options);
        const auto contacts = w.addFolder(w.ipmSubtree(), "Contacts", "IPF.Contact");
        const auto suppliers = w.addFolder(contacts, "Suppliers", "IPF.Contact.Suppliers");
        const auto inbox = w.addFolder(w.ipmSubtree(), "Inbox", "IPF.Note");
        const uint32_t ada = w.addMessage(contacts, Contact("Ada Lovelace", {{1, "ada@example.org"}, {3, "ada@home.example"}}));
        w.addMessage(contacts, Contact("Nobody Known", {}));
        w.addMessage(contacts, Item("IPM.Note", "A note among contacts"));
        w.addMessage(suppliers, Contact("Brass Works", {{2, "orders@brass.example"}}));
        w.addMessage(inbox, Contact("Not An Address", {{1, "inbox@example.org"}}));
        Bytes wrapped = {0, 0, 0, 0, 0xC0, 0x91, 0xAD, 0xD3, 0x51, 0x9D, 0xCF, 0x11, 0xA4, 0xA9, 0x00, 0xAA, 0x00, 0x47, 0xFA, 0xA4,
                         0x80 | (6 << 4) | 3,  // a contact's Email3
                         0, 0, 0, 0};
        wrapped.insert(wrapped.end(), options.recordKey.begin(), options.recordKey.end());
        for (int i = 0; i < 4; ++i)
            wrapped.push_back(static_cast<uint8_t>(ada >> (8 * i)));
        wr::Message list = Item("IPM.DistList", "Family");
        list.props.set(kDisplayName, wr::PropValue::unicode("Family"))
            .set(wr::NamedProp{kAddress, uint32_t{0x8055}}, wr::PropValue::mvBinary({wrapped, Bytes{1, 2, 3}}));
        w.addMessage(contacts, list);
        w.finish();
    }
    ASSERT_NO_FATAL_FAILURE(Logon({path}));

    const std::vector<Props> containers = Containers();
    ASSERT_EQ(containers.size(), 2u);
    EXPECT_EQ(Text(containers[0], PR_DISPLAY_NAME), "Contacts");
    EXPECT_EQ(Text(containers[1], PR_DISPLAY_NAME), "Suppliers");

    const std::vector<Props> rows = Contents(Bin(containers[0], PR_ENTRYID));
    ASSERT_EQ(rows.size(), 3u);  // Ada twice, the list
    std::vector<int> indexes;
    for (const Props& r : rows) {
        ab::AbEntryId id;
        const Bytes eid = Bin(r, PR_ENTRYID);
        ASSERT_EQ(ab::DecodeAbEntryId(eid.data(), eid.size(), id), ab::EntryIdCheck::Ours);
        indexes.push_back(id.emailIndex);
    }
    EXPECT_EQ(indexes, (std::vector<int>{1, 3, 0}));
    EXPECT_EQ(Text(rows[1], PR_EMAIL_ADDRESS), "ada@home.example");
    EXPECT_EQ(Text(EntryProps(Bin(rows[1], PR_ENTRYID), MAPI_MAILUSER), PR_GIVEN_NAME), "Ada");

    const std::vector<Props> supplierRows = Contents(Bin(containers[1], PR_ENTRYID));
    ASSERT_EQ(supplierRows.size(), 1u);
    EXPECT_EQ(Text(supplierRows[0], PR_EMAIL_ADDRESS), "orders@brass.example");

    // The wrapped member is read from the contact; the member that is no entry ID at all is left out.
    const std::vector<Props> members = Contents(Bin(rows[2], PR_ENTRYID), MAPI_DISTLIST);
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(Text(members[0], PR_EMAIL_ADDRESS), "ada@home.example");
    EXPECT_EQ(Bin(members[0], PR_ENTRYID), Bin(rows[1], PR_ENTRYID));
}

INSTANTIATE_TEST_SUITE_P(Formats, WrittenStoreTest, ::testing::Values(wr::StoreFormat::Unicode, wr::StoreFormat::Ansi),
                         [](const auto& info) { return info.param == wr::StoreFormat::Ansi ? "Ansi" : "Unicode"; });

TEST_F(AddressBookTest, StoreWithoutContactsHasAnEmptyRoot)
{
    wr::StoreDescription d;
    d.ipmSubtree.folders.push_back({"Inbox", "IPF.Note", {}, {}, {Item("IPM.Note", "Hello")}, {}});
    ASSERT_NO_FATAL_FAILURE(Logon({Write("plain.pst", d)}));
    auto* root = OpenAs<IABContainer>({}, MAPI_ABCONT);
    ASSERT_NE(root, nullptr);
    const Props props = AllProps(root);
    EXPECT_EQ(Long(props, PR_CONTAINER_FLAGS), kAbSubcontainers | kAbUnmodifiable);
    LPMAPITABLE t = nullptr;
    ASSERT_EQ(root->GetHierarchyTable(0, &t), S_OK);
    EXPECT_TRUE(AllRows(t).empty());
    ASSERT_EQ(root->GetContentsTable(0, &t), S_OK);
    EXPECT_TRUE(AllRows(t).empty());
    // The root's own entry ID opens the root again.
    root->Release();
    EXPECT_EQ(Long(EntryProps(Bin(props, PR_ENTRYID), MAPI_ABCONT), PR_OBJECT_TYPE), MAPI_ABCONT);
}

TEST_F(AddressBookTest, TwoStoresGiveContainersFromBothAndStatusRows)
{
    ASSERT_NO_FATAL_FAILURE(Logon({Write("demo.pst", wr::demoStore()), DRAVIK_SAMPLES_DIR "/java-libpst-dist-list.pst"}));
    LPMAPITABLE t = nullptr;
    ASSERT_EQ(m_session->GetMsgStoresTable(0, &t), S_OK);
    const std::vector<Props> stores = AllRows(t);
    ASSERT_EQ(stores.size(), 2u);

    // Each container names its store, and lists that store's contacts.
    const std::vector<Props> containers = Containers();
    ASSERT_EQ(containers.size(), 2u);
    const char* firstAddress[] = {"charles@example.org", "contact1@rjohnson.id.au"};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(Text(containers[i], PR_DISPLAY_NAME), "Contacts (" + Text(stores[i], PR_DISPLAY_NAME) + ")");
        const std::vector<Props> rows = Contents(Bin(containers[i], PR_ENTRYID));
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(Text(rows[0], PR_EMAIL_ADDRESS), firstAddress[i]);
    }

    // Status: the subsystem, each store provider, the address book.
    ASSERT_EQ(m_session->GetStatusTable(0, &t), S_OK);
    const std::vector<Props> status = AllRows(t);
    ASSERT_EQ(status.size(), 4u);
    const ULONG types[] = {MAPI_SUBSYSTEM, MAPI_STORE_PROVIDER, MAPI_STORE_PROVIDER, MAPI_AB};
    for (ULONG i = 0; i < 4; ++i) {
        EXPECT_EQ(Long(status[i], PR_RESOURCE_TYPE), types[i]);
        EXPECT_EQ(Long(status[i], PR_OBJECT_TYPE), MAPI_STATUS);
        EXPECT_EQ(Long(status[i], PR_ROWID), i);
        EXPECT_EQ(Long(status[i], PR_STATUS_CODE), STATUS_AVAILABLE);
        EXPECT_NE(Long(status[i], PR_RESOURCE_METHODS), 0xFFFFFFFFu);
        EXPECT_FALSE(Bin(status[i], PR_ENTRYID).empty());
        EXPECT_NE(Text(status[i], PR_PROVIDER_DISPLAY), "<absent>");
    }
    EXPECT_EQ(Text(status[1], PR_DISPLAY_NAME), Text(stores[0], PR_DISPLAY_NAME));
    EXPECT_EQ(Text(status[2], PR_DISPLAY_NAME), Text(stores[1], PR_DISPLAY_NAME));
    EXPECT_EQ(Long(status[1], PR_RESOURCE_FLAGS) & STATUS_DEFAULT_STORE, STATUS_DEFAULT_STORE);
    EXPECT_EQ(Long(status[2], PR_RESOURCE_FLAGS) & STATUS_DEFAULT_STORE, 0u);

    // Once the session has logged off, the address book it gave out ends with it.
    auto* root = OpenAs<IABContainer>({}, MAPI_ABCONT);
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(m_session->Logoff(0, 0, 0), S_OK);
    EXPECT_EQ(root->GetHierarchyTable(0, &t), MAPI_E_END_OF_SESSION);
    root->Release();
    ULONG type = 0;
    HRESULT hr = S_OK;
    EXPECT_EQ(Open(Bin(containers[0], PR_ENTRYID), type, hr), nullptr);
    EXPECT_EQ(hr, MAPI_E_END_OF_SESSION);
}

TEST(AbEntryIdTest, RoundTripAndDamage)
{
    const ab::AbEntryId user{ab::AbKind::MailUser, 2, Bytes(36, 0x11), Bytes(24, 0x22)};
    const Bytes good = ab::EncodeAbEntryId(user);
    ab::AbEntryId back;
    ASSERT_EQ(ab::DecodeAbEntryId(good.data(), good.size(), back), ab::EntryIdCheck::Ours);
    EXPECT_EQ(back.kind, ab::AbKind::MailUser);
    EXPECT_EQ(back.emailIndex, 2);
    EXPECT_EQ(back.storeEntryId, user.storeEntryId);
    EXPECT_EQ(back.objectEntryId, user.objectEntryId);

    struct Case { const char* what; std::function<void(Bytes&)> damage; ab::EntryIdCheck expected; };
    auto setU32 = [](Bytes& b, size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i)); };
    const Case cases[] = {
        {"cut short by one byte", [](Bytes& b) { b.pop_back(); }, ab::EntryIdCheck::Malformed},
        {"one byte too many", [](Bytes& b) { b.push_back(0); }, ab::EntryIdCheck::Malformed},
        {"cut inside the header", [](Bytes& b) { b.resize(26); }, ab::EntryIdCheck::Malformed},
        {"store size past the end", [&](Bytes& b) { setU32(b, 24, 0xFFFFFFF0u); }, ab::EntryIdCheck::Malformed},
        {"object size past the end", [&](Bytes& b) { setU32(b, 28, 0x7FFFFFFFu); }, ab::EntryIdCheck::Malformed},
        {"flags set", [](Bytes& b) { b[0] = 1; }, ab::EntryIdCheck::Malformed},
        {"another version", [](Bytes& b) { b[20] = 2; }, ab::EntryIdCheck::Malformed},
        {"unknown kind", [](Bytes& b) { b[21] = 9; }, ab::EntryIdCheck::Malformed},
        {"mail user without an address index", [](Bytes& b) { b[22] = 0; }, ab::EntryIdCheck::Malformed},
        {"address index 4", [](Bytes& b) { b[22] = 4; }, ab::EntryIdCheck::Malformed},
        {"list with an address index", [](Bytes& b) { b[21] = 3; }, ab::EntryIdCheck::Malformed},
        {"root with a store", [](Bytes& b) { b[21] = 0; b[22] = 0; }, ab::EntryIdCheck::Malformed},
        {"reserved byte set", [](Bytes& b) { b[23] = 1; }, ab::EntryIdCheck::Malformed},
        {"another provider", [](Bytes& b) { b[4] ^= 0xFF; }, ab::EntryIdCheck::Foreign},
        {"only flags", [](Bytes& b) { b.resize(4); }, ab::EntryIdCheck::Foreign},
    };
    for (const Case& c : cases) {
        Bytes b = good;
        c.damage(b);
        ab::AbEntryId out;
        EXPECT_EQ(ab::DecodeAbEntryId(b.data(), b.size(), out), c.expected) << c.what;
    }

    // One-off entry IDs: Unicode and 8-bit, and cut short.
    for (bool unicode : {true, false}) {
        const Bytes oneOff = ab::EncodeOneOff({"Grace Hopper", "SMTP", "grace@example.org"}, unicode);
        ab::OneOffEntry e;
        ASSERT_TRUE(ab::DecodeOneOff(oneOff.data(), oneOff.size(), e));
        EXPECT_EQ(e.displayName, "Grace Hopper");
        EXPECT_EQ(e.address, "grace@example.org");
        for (size_t cut : {oneOff.size() - 1, size_t{24}, size_t{10}})
            EXPECT_FALSE(ab::DecodeOneOff(oneOff.data(), cut, e)) << cut;
    }
}

TEST_F(AddressBookTest, UnknownForeignAndStaleEntryIds)
{
    ASSERT_NO_FATAL_FAILURE(Logon({Write("demo.pst", wr::demoStore())}));
    const std::vector<Props> containers = Containers();
    ASSERT_EQ(containers.size(), 1u);
    const Bytes containerEid = Bin(containers[0], PR_ENTRYID);
    const std::vector<Props> rows = Contents(containerEid);
    ASSERT_EQ(rows.size(), 3u);
    const Bytes userEid = Bin(rows[0], PR_ENTRYID);
    ab::AbEntryId user;
    ASSERT_EQ(ab::DecodeAbEntryId(userEid.data(), userEid.size(), user), ab::EntryIdCheck::Ours);
    ab::AbEntryId list;
    const Bytes listEid = Bin(rows[2], PR_ENTRYID);
    ASSERT_EQ(ab::DecodeAbEntryId(listEid.data(), listEid.size(), list), ab::EntryIdCheck::Ours);

    auto with = [](ab::AbEntryId id, auto change) {
        change(id);
        return ab::EncodeAbEntryId(id);
    };
    Bytes cut = userEid;
    cut.pop_back();
    Bytes foreign = userEid;
    foreign[5] ^= 0x5A;
    const struct
    {
        const char* what;
        Bytes eid;
        HRESULT expected;
    } cases[] = {
        {"cut short", cut, MAPI_E_INVALID_ENTRYID},
        {"another provider's", foreign, MAPI_E_INVALID_ENTRYID},
        {"random bytes", Bytes(7, 0xA5), MAPI_E_INVALID_ENTRYID},
        {"a message that is not there", with(user, [](ab::AbEntryId& id) { id.objectEntryId.back() ^= 0x40; }), MAPI_E_NOT_FOUND},
        {"a store not in the session", with(user, [](ab::AbEntryId& id) { id.storeEntryId.back() ^= 1; }), MAPI_E_NOT_FOUND},
        {"Email2, which the contact lacks", with(user, [](ab::AbEntryId& id) { id.emailIndex = 2; }), MAPI_E_NOT_FOUND},
        {"the list as a mail user", with(list, [](ab::AbEntryId& id) { id.kind = ab::AbKind::MailUser; id.emailIndex = 1; }), MAPI_E_NOT_FOUND},
        {"a contact as a list", with(user, [](ab::AbEntryId& id) { id.kind = ab::AbKind::DistList; id.emailIndex = 0; }), MAPI_E_NOT_FOUND},
        {"a message as a container", with(user, [](ab::AbEntryId& id) { id.kind = ab::AbKind::Container; id.emailIndex = 0; }), MAPI_E_NOT_FOUND},
    };
    for (const auto& c : cases) {
        ULONG type = 0;
        HRESULT hr = S_OK;
        LPUNKNOWN unk = Open(c.eid, type, hr);
        EXPECT_EQ(hr, c.expected) << c.what;
        EXPECT_EQ(unk, nullptr) << c.what;
        if (unk)
            unk->Release();
    }

    // A one-off entry ID made by the address book opens as the address it carries.
    ULONG cb = 0;
    LPENTRYID eid = nullptr;
    ASSERT_EQ(m_ab->CreateOneOff(const_cast<char*>("Grace Hopper"), const_cast<char*>("SMTP"),
                                 const_cast<char*>("grace@example.org"), 0, &cb, &eid),
              S_OK);
    const Bytes oneOff(reinterpret_cast<uint8_t*>(eid), reinterpret_cast<uint8_t*>(eid) + cb);
    MAPIFreeBuffer(eid);
    const Props grace = EntryProps(oneOff, MAPI_MAILUSER);
    EXPECT_EQ(Text(grace, PR_DISPLAY_NAME), "Grace Hopper");
    EXPECT_EQ(Text(grace, PR_EMAIL_ADDRESS), "grace@example.org");
    EXPECT_EQ(Bin(grace, PR_ENTRYID), oneOff);
}

// Every sample store that opens without a password (Unicode, ANSI, OST): the address book lists its contacts
// folders, and every row of every container opens by its entry ID as the kind
// of object the row says, with the row's name.
class AddressBookSampleTest : public AddressBookTest, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(AddressBookSampleTest, EveryRowOpens)
{
    ASSERT_NO_FATAL_FAILURE(Logon({std::string(DRAVIK_SAMPLES_DIR "/") + GetParam()}));
    size_t entries = 0;
    for (const Props& c : Containers()) {
        for (const Props& r : Contents(Bin(c, PR_ENTRYID))) {
            const ULONG type = Long(r, PR_OBJECT_TYPE);
            ASSERT_TRUE(type == MAPI_MAILUSER || type == MAPI_DISTLIST);
            const Props p = EntryProps(Bin(r, PR_ENTRYID), type);
            EXPECT_EQ(Text(p, PR_DISPLAY_NAME), Text(r, PR_DISPLAY_NAME));
            EXPECT_EQ(Text(p, PR_EMAIL_ADDRESS), Text(r, PR_EMAIL_ADDRESS));
            ++entries;
        }
    }
    RecordProperty("entries", static_cast<int>(entries));
}

INSTANTIATE_TEST_SUITE_P(Samples, AddressBookSampleTest,
                         ::testing::Values("pstsdk-sample1.pst", "pstsdk-sample2.pst", "pstsdk-submessage.pst",
                                           "java-libpst-dist-list.pst", "pst-extractor-enron.pst",
                                           "pst-extractor-outlookcom.ost"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                             return name;
                         });
