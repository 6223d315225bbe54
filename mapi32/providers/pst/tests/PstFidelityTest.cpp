// The store provider's fidelity: 8-bit strings of ANSI stores in the code page
// of their script, however the store says it (code page, locale, a MIME code
// page) or with the user's choice; damage reported as damage.
#include "StoreLogon.h"
#include "../pst_codepage.h"

#include "mapi32/codepage.h"
#include "mapi32/mapiguid.h"
#include "mapi32/utf.h"

#include "CodePageStore.h"
#include "Corrupters.h"
#include "StoreWriter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

namespace {

using namespace dravik::mapi32;
using namespace dravik::pst::writer;
using dravik::mapi32::testing::StoreLogon;

std::string TempDir()
{
    char tmpl[] = "/tmp/dravik-pstfid-XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    return tmpl;
}

// A value's text, PT_UNICODE as UTF-8; anything else as a note of what it is.
std::string Text(const SPropValue* v)
{
    if (!v)
        return "<none>";
    if (PROP_TYPE(v->ulPropTag) == PT_ERROR)
        return "<error " + std::to_string(static_cast<unsigned>(v->Value.err)) + ">";
    if (PROP_TYPE(v->ulPropTag) != PT_UNICODE || !v->Value.lpszW)
        return "<not PT_UNICODE>";
    return Utf16ToUtf8(v->Value.lpszW);
}

std::string OneText(LPMAPIPROP object, ULONG tag)
{
    LPSPropValue v = nullptr;
    if (FAILED(HrGetOneProp(object, tag, &v)))
        return "<none>";
    std::string s = Text(v);
    MAPIFreeBuffer(v);
    return s;
}

// Every row of a table asked for with MAPI_UNICODE.
struct Rows
{
    LPSRowSet rows = nullptr;
    explicit Rows(LPMAPITABLE table)
    {
        EXPECT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
        table->Release();
    }
    ~Rows()
    {
        if (rows)
            FreeProws(rows);
    }
    const SPropValue* Find(ULONG i, ULONG tag) const
    {
        return PpropFindProp(rows->aRow[i].lpProps, rows->aRow[i].cValues, tag);
    }
};

template <class I>
I* OpenRow(LPMDB store, const Rows& rows, ULONG i)
{
    const SPropValue* eid = rows.Find(i, PR_ENTRYID);
    LPUNKNOWN unk = nullptr;
    ULONG type = 0;
    EXPECT_EQ(store->OpenEntry(eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr, 0, &type,
                               &unk),
              S_OK);
    return static_cast<I*>(unk);
}

// The texts of a code-page store as MAPI hands them out with MAPI_UNICODE,
// by where they were read.
std::map<std::string, std::string> ReadTexts(LPMDB store)
{
    std::map<std::string, std::string> out;
    LPSPropValue ipm = nullptr;
    EXPECT_EQ(HrGetOneProp(store, PR_IPM_SUBTREE_ENTRYID, &ipm), S_OK);
    LPUNKNOWN unk = nullptr;
    ULONG type = 0;
    EXPECT_EQ(store->OpenEntry(ipm->Value.bin.cb, reinterpret_cast<LPENTRYID>(ipm->Value.bin.lpb), nullptr, 0, &type,
                               &unk),
              S_OK);
    MAPIFreeBuffer(ipm);
    auto* top = static_cast<LPMAPIFOLDER>(unk);
    LPMAPITABLE table = nullptr;
    EXPECT_EQ(top->GetHierarchyTable(MAPI_UNICODE, &table), S_OK);
    const Rows folders(table);
    for (ULONG f = 0; f < folders.rows->cRows; ++f) {
        const std::string cls = Text(folders.Find(f, PR_CONTAINER_CLASS_W));
        if (cls != "IPF.Note" && cls != "IPF.Contact")
            continue;
        const bool contacts = cls == "IPF.Contact";
        auto* folder = OpenRow<IMAPIFolder>(store, folders, f);
        EXPECT_EQ(folder->GetContentsTable(MAPI_UNICODE, &table), S_OK);
        const Rows messages(table);
        if (messages.rows->cRows != 1) {  // "Deleted Items"
            folder->Release();
            continue;
        }
        if (!contacts) {
            out["folder row"] = Text(folders.Find(f, PR_DISPLAY_NAME_W));
            out["folder"] = OneText(folder, PR_DISPLAY_NAME_W);
        }
        auto* message = OpenRow<IMessage>(store, messages, 0);
        if (contacts) {
            out["contact row"] = Text(messages.Find(0, PR_SUBJECT_W));
            out["contact"] = OneText(message, PR_DISPLAY_NAME_W);
        } else {
            out["subject row"] = Text(messages.Find(0, PR_SUBJECT_W));
            out["subject"] = OneText(message, PR_SUBJECT_W);
            out["body"] = OneText(message, PR_BODY_W);
            EXPECT_EQ(message->GetRecipientTable(MAPI_UNICODE, &table), S_OK);
            const Rows recipients(table);
            out["recipient"] = recipients.rows->cRows == 1 ? Text(recipients.Find(0, PR_DISPLAY_NAME_W)) : "<none>";
        }
        message->Release();
        folder->Release();
    }
    top->Release();
    return out;
}

std::map<std::string, std::string> Expected(const ScriptTexts& t)
{
    return {{"folder row", t.folder.utf8},    {"folder", t.folder.utf8},   {"subject row", t.subject.utf8},
            {"subject", t.subject.utf8},      {"body", std::string("body: ") + t.subject.utf8},
            {"recipient", t.person.utf8},     {"contact row", t.person.utf8}, {"contact", t.person.utf8}};
}

class PstFidelity : public ::testing::Test
{
protected:
    void TearDown() override
    {
        SetStoreCodePage(0);
        std::filesystem::remove_all(m_dir);
    }
    std::string Write(const StoreDescription& d, const std::string& name)
    {
        const std::string path = m_dir + "/" + name;
        writeStore(path, d);
        return path;
    }
    std::string m_dir = TempDir();
};

constexpr Script kScripts[] = {Script::Japanese, Script::Chinese, Script::Cyrillic, Script::Hebrew};

// Folder names (which no message's code page covers), subjects, bodies,
// recipients and contacts, in table rows and in the objects alike: right with
// each way of declaring the code page, without any choice of the user's.
TEST_F(PstFidelity, AnsiStoresAreReadInTheirScriptsCodePage)
{
    for (Script script : kScripts) {
        const ScriptTexts& t = scriptTexts(script);
        for (Declared declared : {Declared::CodePage, Declared::Locale, Declared::InternetCodePage}) {
            SCOPED_TRACE(std::string(t.name) + " declared " + std::to_string(static_cast<int>(declared)));
            StoreLogon logon;
            ASSERT_EQ(logon.Open(Write(codePageStore(script, declared), "store.pst")), S_OK);
            EXPECT_EQ(ReadTexts(logon.store), Expected(t));
        }
    }
}

// A store that declares nothing reads right only with the user's choice, given
// as the Windows code page or as a MIME code page of the script; the choice
// also wins over what a store declares.
TEST_F(PstFidelity, TheUsersCodePageReadsEveryEightBitString)
{
    for (Script script : kScripts) {
        const ScriptTexts& t = scriptTexts(script);
        SCOPED_TRACE(t.name);
        const std::string bare = Write(codePageStore(script, Declared::Nothing), std::string(t.name) + ".pst");
        {
            StoreLogon logon;
            ASSERT_EQ(logon.Open(bare), S_OK);
            EXPECT_NE(ReadTexts(logon.store)["folder"], t.folder.utf8) << "read right without a code page";
        }
        for (uint32_t chosen : {t.codePage, t.internetCodePage}) {
            SetStoreCodePage(chosen);
            StoreLogon logon;
            ASSERT_EQ(logon.Open(bare), S_OK);
            EXPECT_EQ(ReadTexts(logon.store), Expected(t)) << chosen;
        }
        SetStoreCodePage(1252);
        StoreLogon logon;
        ASSERT_EQ(logon.Open(Write(codePageStore(script, Declared::CodePage), "declared.pst")), S_OK);
        const std::string subject = ReadTexts(logon.store)["subject"];
        EXPECT_NE(subject, t.subject.utf8);
        EXPECT_EQ(subject.find("\xef\xbf\xbd"), std::string::npos) << "1252 reads every byte";
        SetStoreCodePage(0);
    }
}

TEST(PstCodePages, MimeCodePagesAndLocalesNameTheAnsiCodePageOfTheirScript)
{
    using namespace pst_provider;
    const std::pair<uint32_t, uint32_t> twins[] = {
        {50220, 932}, {50221, 932}, {51932, 932}, {50225, 949}, {51949, 949}, {50227, 936}, {52936, 936},
        {20866, 1251}, {21866, 1251}, {28595, 1251}, {28591, 1252}, {28605, 1252}, {20127, 1252},
        {28592, 1250}, {28597, 1253}, {28598, 1255}, {38598, 1255}, {28599, 1254}, {28596, 1256},
        {28603, 1257}, {932, 932}, {1255, 1255}, {65001, 65001}, {1200, 1200}};
    for (const auto& [mime, ansi] : twins)
        EXPECT_EQ(AnsiCodePageOf(mime), ansi) << mime;
    const std::pair<uint32_t, uint32_t> locales[] = {
        {0x0411, 932},  {0x0804, 936},  {0x0404, 950},  {0x0C04, 950},  {0x0412, 949},  {0x0419, 1251},
        {0x0422, 1251}, {0x040D, 1255}, {0x0401, 1256}, {0x0408, 1253}, {0x041F, 1254}, {0x0415, 1250},
        {0x0405, 1250}, {0x041A, 1250}, {0x0C1A, 1251}, {0x081A, 1250}, {0x0425, 1257}, {0x041E, 874},
        {0x042A, 1258}, {0x0409, 1252}, {0x0407, 1252}, {0x0439, 0},    {0x0437, 0},    {0, 0}};
    for (const auto& [lcid, ansi] : locales)
        EXPECT_EQ(LocaleCodePage(lcid), ansi) << std::hex << lcid;
    EXPECT_TRUE(IsKnownCodePage(50220));
    EXPECT_FALSE(IsKnownCodePage(1200));
    EXPECT_FALSE(IsKnownCodePage(4711));
}

// A value above 32 KiB whose data tree names a block the file does not hold:
// GetProps says MAPI_E_CORRUPT_DATA (never MAPI_E_NOT_ENOUGH_MEMORY, the error
// of a value that is only large), and so does OpenProperty.
TEST_F(PstFidelity, ALargeValueWithAMissingBlockIsCorruptNotLarge)
{
    std::string body;
    while (body.size() < 50000)
        body += "a line of a long body, ";
    StoreDescription d;
    Folder inbox{"Inbox", "IPF.Note", {}, {}, {}, {}};
    Message m;
    m.props.set(0x001A001F, PropValue::unicode("IPM.Note"))
        .set(0x0037001F, PropValue::unicode("long"))
        .set(0x1000001F, PropValue::unicode(body));
    inbox.messages.push_back(m);
    d.ipmSubtree.folders.push_back(inbox);
    const std::string path = Write(d, "long.pst");
    std::vector<uint8_t> bytes;
    {
        std::ifstream f(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(f), {});
    }
    uint32_t messageNid = 0;
    {
        auto store = dravik::pst::Store::open(path);
        for (const dravik::pst::NodeEntry& n : store->ndb().allNodes())
            if ((n.nid & 0x1F) == dravik::pst::NID_TYPE_NORMAL_MESSAGE)
                messageNid = static_cast<uint32_t>(n.nid);
        ASSERT_NE(messageNid, 0u);
        const dravik::pst::Message message = store->message(messageNid);
        dravik::pst::corrupters::dropFirstDataBlock(
            bytes, store->ndb(), dravik::pst::corrupters::valueDataTree(store->ndb(), message.properties(), 0x1000));
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

    StoreLogon logon;
    ASSERT_EQ(logon.Open(path), S_OK);
    std::vector<uint8_t> eid(4 + 16 + 4, 0);
    LPSPropValue key = nullptr;
    ASSERT_EQ(HrGetOneProp(logon.store, PR_RECORD_KEY, &key), S_OK);
    std::copy(key->Value.bin.lpb, key->Value.bin.lpb + 16, eid.begin() + 4);
    MAPIFreeBuffer(key);
    for (int i = 0; i < 4; ++i)
        eid[20 + static_cast<size_t>(i)] = static_cast<uint8_t>(messageNid >> (8 * i));
    LPUNKNOWN unk = nullptr;
    ULONG type = 0;
    ASSERT_EQ(logon.store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr,
                                     0, &type, &unk),
              S_OK);
    auto* message = static_cast<LPMESSAGE>(unk);
    SizedSPropTagArray(1, bodyTag) = {1, {PR_BODY_W}};
    ULONG count = 0;
    LPSPropValue v = nullptr;
    ASSERT_EQ(message->GetProps(reinterpret_cast<LPSPropTagArray>(&bodyTag), MAPI_UNICODE, &count, &v),
              MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(v->ulPropTag, PROP_TAG(PT_ERROR, 0x1000));
    EXPECT_EQ(v->Value.err, MAPI_E_CORRUPT_DATA);
    MAPIFreeBuffer(v);
    EXPECT_EQ(OneText(message, PR_SUBJECT_W), "long");
    LPUNKNOWN stream = nullptr;
    EXPECT_EQ(message->OpenProperty(PR_BODY_W, &IID_IStream, 0, 0, &stream), MAPI_E_CORRUPT_DATA);
    message->Release();
}

} // namespace
