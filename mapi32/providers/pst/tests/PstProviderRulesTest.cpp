// The store provider's rules on stores our writer makes, where the content is
// known exactly: code pages and MAPI_UNICODE, values too large for GetProps,
// embedded messages, passwords, configuration, damaged and changing files.
#include "StoreLogon.h"
#include "../pst_text.h"

#include "mapi32/mapiguid.h"
#include "mapi32/utf.h"
#include "pst/messaging/store.h"
#include "pst/ndb/crc.h"
#include "StoreWriter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace {

using namespace dravik::mapi32;
using namespace dravik::pst::writer;
using dravik::mapi32::testing::PasswordAnswer;
using dravik::mapi32::testing::StoreLogon;

constexpr uint32_t kSubjectW = 0x0037001F;
constexpr uint32_t kBodyW = 0x1000001F;
constexpr uint32_t kMessageCodepage = 0x3FFD0003;
constexpr uint32_t kMessageClassW = 0x001A001F;

// A value an ANSI store keeps as exactly these 8-bit bytes: the writer narrows
// each UTF-16 unit of a Unicode value to its low byte.
PropValue AnsiBytes(const std::string& bytes)
{
    std::string latin1;  // each byte as the character of the same number, in UTF-8
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            latin1 += static_cast<char>(c);
        } else {
            latin1 += static_cast<char>(0xC0 | (c >> 6));
            latin1 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return PropValue::unicode(latin1);
}

Message Note(PropValue subject, int32_t codePage = 0)
{
    Message m;
    m.props.set(kMessageClassW, PropValue::unicode("IPM.Note")).set(kSubjectW, std::move(subject));
    if (codePage)
        m.props.set(kMessageCodepage, PropValue::i4(codePage));
    return m;
}

std::string TempDir()
{
    char tmpl[] = "/tmp/dravik-pstrules-XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    return tmpl;
}

std::string Narrow(const SPropValue& v)
{
    return PROP_TYPE(v.ulPropTag) == PT_STRING8 && v.Value.lpszA ? v.Value.lpszA : "<not PT_STRING8>";
}

std::u16string Wide(const SPropValue& v)
{
    return PROP_TYPE(v.ulPropTag) == PT_UNICODE && v.Value.lpszW ? v.Value.lpszW : u"<not PT_UNICODE>";
}

std::vector<uint8_t> ReadAll(LPUNKNOWN unk)
{
    auto* stream = static_cast<IStream*>(unk);
    std::vector<uint8_t> data;
    uint8_t chunk[1024];
    ULONG got = 0;
    do {
        if (FAILED(stream->Read(chunk, sizeof chunk, &got)))
            break;
        data.insert(data.end(), chunk, chunk + got);
    } while (got > 0);
    stream->Release();
    return data;
}

std::vector<uint8_t> Utf8(const std::string& s) { return {s.begin(), s.end()}; }

// Opens an entry of the store by its entry ID bytes.
HRESULT OpenById(LPMDB store, const SPropValue* eid, LPUNKNOWN* out, ULONG* type = nullptr)
{
    ULONG t = 0;
    return store->OpenEntry(eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr, 0,
                            type ? type : &t, out);
}

// The IPM subtree of a writer store and the rows of one of its folders' contents.
struct Contents
{
    LPMAPIFOLDER folder = nullptr;
    LPSRowSet rows = nullptr;
    ~Contents()
    {
        if (rows)
            FreeProws(rows);
        if (folder)
            folder->Release();
    }
};

// The folder Inbox of the IPM subtree, and its contents table read with flags.
void ReadInbox(LPMDB store, ULONG tableFlags, Contents& out)
{
    LPSPropValue ipm = nullptr;
    ASSERT_EQ(HrGetOneProp(store, PR_IPM_SUBTREE_ENTRYID, &ipm), S_OK);
    LPUNKNOWN unk = nullptr;
    ASSERT_EQ(OpenById(store, ipm, &unk), S_OK);
    MAPIFreeBuffer(ipm);
    auto* top = static_cast<LPMAPIFOLDER>(unk);
    LPMAPITABLE hierarchy = nullptr;
    ASSERT_EQ(top->GetHierarchyTable(0, &hierarchy), S_OK);
    LPSRowSet folders = nullptr;
    ASSERT_EQ(HrQueryAllRows(hierarchy, nullptr, nullptr, nullptr, 0, &folders), S_OK);
    hierarchy->Release();
    const SPropValue* eid = nullptr;
    for (ULONG i = 0; i < folders->cRows && !eid; ++i) {
        const SRow& row = folders->aRow[i];
        const SPropValue* name = PpropFindProp(row.lpProps, row.cValues, PR_DISPLAY_NAME_A);
        if (name && std::string(name->Value.lpszA) == "Inbox")
            eid = PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID);
    }
    ASSERT_NE(eid, nullptr);
    ASSERT_EQ(top->OpenEntry(eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr, 0, nullptr,
                             &unk),
              S_OK);
    FreeProws(folders);
    top->Release();
    out.folder = static_cast<LPMAPIFOLDER>(unk);
    LPMAPITABLE contents = nullptr;
    ASSERT_EQ(out.folder->GetContentsTable(tableFlags, &contents), S_OK);
    ASSERT_EQ(HrQueryAllRows(contents, nullptr, nullptr, nullptr, 0, &out.rows), S_OK);
    contents->Release();
}

class PstProviderRules : public ::testing::Test
{
protected:
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string Write(const StoreDescription& d, const std::string& name = "store.pst")
    {
        const std::string path = m_dir + "/" + name;
        writeStore(path, d);
        return path;
    }
    std::string m_dir = TempDir();
};

// ANSI store: subjects in the code pages their messages declare, one in the
// store's default code page, one with a prefix marker.
TEST_F(PstProviderRules, EightBitStringsAreReadInTheirCodePage)
{
    struct Case
    {
        std::string bytes;
        int32_t codePage;
        std::string utf8;
    };
    const std::vector<Case> cases = {
        {"\xf9\xec\xe5\xed", 1255, "\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d"},                    // Hebrew "shalom"
        {"\xcf\xf0\xe8\xe2\xe5\xf2", 1251, "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"}, // Cyrillic "privet"
        {"\x93\xfa\x96\x7b\x8c\xea", 932, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"},            // Japanese "nihongo"
        {"\xd6\xd0\xce\xc4", 936, "\xe4\xb8\xad\xe6\x96\x87"},                               // Chinese "zhongwen"
        {"caf\xe9", 0, "caf\xc3\xa9"},                                                       // store default, 1252
        {"na\xefve", 1200, "na\xc3\xafve"},  // UTF-16 declared for 8-bit text: the store's code page
        {"\x01\x04RE: Report", 0, "RE: Report"},                                             // prefix marker
    };
    StoreDescription d;
    d.options.format = StoreFormat::Ansi;
    Folder inbox{"Inbox", "IPF.Note", {}, {}, {}, {}};
    for (const Case& c : cases)
        inbox.messages.push_back(Note(AnsiBytes(c.bytes), c.codePage));
    d.ipmSubtree.folders.push_back(inbox);
    StoreLogon logon;
    ASSERT_EQ(logon.Open(Write(d)), S_OK);

    for (ULONG flags : {0u, MAPI_UNICODE}) {
        SCOPED_TRACE(flags);
        Contents c;
        ReadInbox(logon.store, flags, c);
        ASSERT_EQ(c.rows->cRows, cases.size());
        {
            // the rows also answer for the other form of their strings
            LPMAPITABLE table = nullptr;
            ASSERT_EQ(c.folder->GetContentsTable(flags, &table), S_OK);
            SizedSPropTagArray(1, other) = {1, {flags ? PR_SUBJECT_A : PR_SUBJECT_W}};
            LPSRowSet rows = nullptr;
            ASSERT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&other), nullptr, nullptr, 0, &rows), S_OK);
            ASSERT_EQ(rows->cRows, cases.size());
            for (size_t i = 0; i < cases.size(); ++i) {
                if (flags)
                    EXPECT_EQ(Narrow(rows->aRow[i].lpProps[0]), cases[i].utf8);
                else
                    EXPECT_EQ(Wide(rows->aRow[i].lpProps[0]), dravik::mapi32::Utf8ToUtf16(cases[i].utf8));
            }
            FreeProws(rows);
            table->Release();
        }
        for (size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(cases[i].utf8);
            const SRow& row = c.rows->aRow[i];
            // the table's default column is in the form asked for
            const SPropValue* cell = PpropFindProp(row.lpProps, row.cValues, PROP_TAG(PT_UNSPECIFIED, 0x0037));
            ASSERT_NE(cell, nullptr);
            if (flags)
                EXPECT_EQ(Wide(*cell), dravik::mapi32::Utf8ToUtf16(cases[i].utf8));
            else
                EXPECT_EQ(Narrow(*cell), cases[i].utf8);
            LPUNKNOWN unk = nullptr;
            ASSERT_EQ(OpenById(logon.store, PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID), &unk), S_OK);
            auto* message = static_cast<LPMESSAGE>(unk);
            ULONG count = 0;
            LPSPropValue props = nullptr;
            ASSERT_TRUE(SUCCEEDED(message->GetProps(nullptr, flags, &count, &props)));
            const SPropValue* subject = PpropFindProp(props, count, PROP_TAG(PT_UNSPECIFIED, 0x0037));
            ASSERT_NE(subject, nullptr);
            if (flags)
                EXPECT_EQ(Wide(*subject), dravik::mapi32::Utf8ToUtf16(cases[i].utf8));
            else
                EXPECT_EQ(Narrow(*subject), cases[i].utf8);
            // no string of the other form is handed out
            for (ULONG k = 0; k < count; ++k)
                EXPECT_NE(PROP_TYPE(props[k].ulPropTag), flags ? ULONG{PT_STRING8} : ULONG{PT_UNICODE});
            MAPIFreeBuffer(props);
            // an explicit tag decides the form, whatever the flags; PT_UNSPECIFIED takes
            // the flags' form; another type is not found
            std::vector<BYTE> buffer(CbNewSPropTagArray(4));
            auto* tags = reinterpret_cast<LPSPropTagArray>(buffer.data());
            tags->cValues = 4;
            tags->aulPropTag[0] = PR_SUBJECT_A;
            tags->aulPropTag[1] = PR_SUBJECT_W;
            tags->aulPropTag[2] = PROP_TAG(PT_UNSPECIFIED, 0x0037);
            tags->aulPropTag[3] = PROP_TAG(PT_LONG, 0x0037);
            ASSERT_EQ(message->GetProps(tags, flags, &count, &props), MAPI_W_ERRORS_RETURNED);
            ASSERT_EQ(count, 4u);
            EXPECT_EQ(Narrow(props[0]), cases[i].utf8);
            EXPECT_EQ(Wide(props[1]), dravik::mapi32::Utf8ToUtf16(cases[i].utf8));
            EXPECT_EQ(props[2].ulPropTag, flags ? PR_SUBJECT_W : PR_SUBJECT_A);
            EXPECT_EQ(props[3].ulPropTag, PROP_TAG(PT_ERROR, 0x0037));
            EXPECT_EQ(props[3].Value.err, MAPI_E_NOT_FOUND);
            MAPIFreeBuffer(props);
            LPSPropTagArray list = nullptr;
            ASSERT_EQ(message->GetPropList(flags, &list), S_OK);
            EXPECT_NE(std::find(list->aulPropTag, list->aulPropTag + list->cValues,
                                flags ? PR_SUBJECT_W : PR_SUBJECT_A),
                      list->aulPropTag + list->cValues);
            MAPIFreeBuffer(list);
            message->Release();
        }
    }
}

// Values above 32 KiB: PT_ERROR MAPI_E_NOT_ENOUGH_MEMORY from GetProps, whole
// through OpenProperty in the form the tag names.
TEST_F(PstProviderRules, LargeValuesComeWholeThroughStreams)
{
    std::string body;
    for (int i = 0; body.size() < 50000; ++i)
        body += "Line " + std::to_string(i) + " \xc3\xa9t\xc3\xa9 \xe2\x82\xac\r\n";  // "été €"
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    StoreDescription d;
    Folder inbox{"Inbox", "IPF.Note", {}, {}, {}, {}};
    Message m = Note(PropValue::unicode("Big"));
    m.props.set(kBodyW, PropValue::unicode(body));
    Attachment a;
    a.props.set(0x3707001F, PropValue::unicode("data.bin"));
    a.data = data;
    m.attachments.push_back(a);
    inbox.messages.push_back(m);
    d.ipmSubtree.folders.push_back(inbox);
    StoreLogon logon;
    ASSERT_EQ(logon.Open(Write(d)), S_OK);
    Contents c;
    ReadInbox(logon.store, 0, c);
    ASSERT_EQ(c.rows->cRows, 1u);
    LPUNKNOWN unk = nullptr;
    ASSERT_EQ(OpenById(logon.store, PpropFindProp(c.rows->aRow[0].lpProps, c.rows->aRow[0].cValues, PR_ENTRYID), &unk),
              S_OK);
    auto* message = static_cast<LPMESSAGE>(unk);

    ULONG count = 0;
    LPSPropValue props = nullptr;
    EXPECT_EQ(message->GetProps(nullptr, 0, &count, &props), MAPI_W_ERRORS_RETURNED);
    const SPropValue* big = PpropFindProp(props, count, PROP_TAG(PT_ERROR, 0x1000));
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
    MAPIFreeBuffer(props);

    const std::u16string wide = dravik::mapi32::Utf8ToUtf16(body);
    std::vector<uint8_t> utf16;
    for (char16_t ch : wide) {
        utf16.push_back(static_cast<uint8_t>(ch & 0xFF));
        utf16.push_back(static_cast<uint8_t>(ch >> 8));
    }
    struct Case
    {
        ULONG tag;
        std::vector<uint8_t> expected;
    };
    for (const Case& k : {Case{PR_BODY_A, Utf8(body)}, Case{PR_BODY_W, utf16}, Case{PROP_TAG(PT_UNSPECIFIED, 0x1000), utf16},
                          Case{PR_SUBJECT_A, Utf8("Big")}}) {
        SCOPED_TRACE(k.tag);
        ASSERT_EQ(message->OpenProperty(k.tag, &IID_IStream, 0, MAPI_BEST_ACCESS, &unk), S_OK);
        EXPECT_EQ(ReadAll(unk), k.expected);
    }
    // computed values are streams too; fixed-size ones and absent ones are not
    ASSERT_EQ(message->OpenProperty(PR_ENTRYID, &IID_IStream, 0, 0, &unk), S_OK);
    EXPECT_EQ(ReadAll(unk).size(), 24u);
    EXPECT_EQ(message->OpenProperty(PR_HASATTACH, &IID_IStream, 0, 0, &unk), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(message->OpenProperty(PR_BODY_HTML_A, &IID_IStream, 0, 0, &unk), MAPI_E_NOT_FOUND);
    EXPECT_EQ(message->OpenProperty(PR_BODY_A, &IID_IStream, 0, MAPI_MODIFY, &unk), MAPI_E_NO_ACCESS);
    EXPECT_EQ(unk, nullptr);

    LPATTACH attach = nullptr;
    ASSERT_EQ(message->OpenAttach(0, &IID_IAttachment, MAPI_BEST_ACCESS, &attach), S_OK);
    std::vector<BYTE> buffer(CbNewSPropTagArray(1));
    auto* one = reinterpret_cast<LPSPropTagArray>(buffer.data());
    one->cValues = 1;
    one->aulPropTag[0] = PR_ATTACH_DATA_BIN;
    ASSERT_EQ(attach->GetProps(one, 0, &count, &props), MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(props->ulPropTag, PROP_TAG(PT_ERROR, 0x3701));
    EXPECT_EQ(props->Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
    MAPIFreeBuffer(props);
    // the attachment's bytes, asked for as binary or, as the property export does, as PT_STRING8
    for (ULONG tag : {PR_ATTACH_DATA_BIN, PROP_TAG(PT_STRING8, 0x3701)}) {
        ASSERT_EQ(attach->OpenProperty(tag, &IID_IStream, 0, MAPI_BEST_ACCESS, &unk), S_OK);
        EXPECT_EQ(ReadAll(unk), data);
    }
    EXPECT_EQ(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, &unk), MAPI_E_NOT_FOUND);
    attach->Release();
    message->Release();
}

// PR_ATTACH_DATA_OBJ of an embedded message opens as IID_IMessage, with its own
// recipients and attachments and no entry ID of its own.
TEST_F(PstProviderRules, EmbeddedMessagesOpenAsMessages)
{
    StoreLogon logon;
    ASSERT_EQ(logon.Open(DRAVIK_SAMPLES_DIR "/pstsdk-submessage.pst"), S_OK);
    auto pst = dravik::pst::Store::open(DRAVIK_SAMPLES_DIR "/pstsdk-submessage.pst");
    int embedded = 0;
    // every message of the store's folders, through the library's walk of NIDs
    for (const auto& node : pst->ndb().allNodes()) {
        if ((node.nid & 0x1F) != 0x04)
            continue;
        dravik::pst::Message expected = pst->message(static_cast<uint32_t>(node.nid));
        auto rows = expected.attachmentTable().rows();
        LPSPropValue entryId = nullptr;
        SPropValue eid{};
        std::vector<uint8_t> bytes(4, 0);
        auto rk = pst->recordKey();
        bytes.insert(bytes.end(), rk.begin(), rk.end());
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<uint8_t>(node.nid >> (8 * i)));
        eid.ulPropTag = PR_ENTRYID;
        eid.Value.bin = SBinary{static_cast<ULONG>(bytes.size()), bytes.data()};
        (void)entryId;
        LPUNKNOWN unk = nullptr;
        ASSERT_EQ(OpenById(logon.store, &eid, &unk), S_OK);
        auto* message = static_cast<LPMESSAGE>(unk);
        for (ULONG i = 0; i < rows.size(); ++i) {
            dravik::pst::Attachment a = expected.attachment(rows[i].rowId);
            LPATTACH attach = nullptr;
            ASSERT_EQ(message->OpenAttach(i, &IID_IAttachment, MAPI_BEST_ACCESS, &attach), S_OK);
            HRESULT hr = attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_BEST_ACCESS, &unk);
            if (!a.hasEmbeddedMessage()) {
                EXPECT_EQ(hr, MAPI_E_NOT_FOUND);
                attach->Release();
                continue;
            }
            ASSERT_EQ(hr, S_OK);
            ++embedded;
            auto* inner = static_cast<LPMESSAGE>(unk);
            dravik::pst::Message expectedInner = a.embeddedMessage();
            ULONG count = 0;
            LPSPropValue props = nullptr;
            ASSERT_TRUE(SUCCEEDED(inner->GetProps(nullptr, 0, &count, &props)));
            auto subject = expectedInner.properties().get(0x0037);
            std::string text = subject ? subject->utf8() : "";
            if (text.size() >= 2 && text[0] == '\x01')
                text = text.substr(2);
            const SPropValue* got = PpropFindProp(props, count, PR_SUBJECT_A);
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(Narrow(*got), text);
            EXPECT_EQ(PpropFindProp(props, count, PR_ENTRYID), nullptr);
            EXPECT_EQ(PpropFindProp(props, count, PR_OBJECT_TYPE)->Value.ul, MAPI_MESSAGE);
            MAPIFreeBuffer(props);
            LPMAPITABLE table = nullptr;
            LPSRowSet innerRows = nullptr;
            ASSERT_EQ(inner->GetRecipientTable(MAPI_UNICODE, &table), S_OK);
            ASSERT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &innerRows), S_OK);
            EXPECT_EQ(innerRows->cRows, expectedInner.recipientTable().rowCount());
            FreeProws(innerRows);
            table->Release();
            ASSERT_EQ(inner->GetAttachmentTable(MAPI_UNICODE, &table), S_OK);
            ASSERT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &innerRows), S_OK);
            EXPECT_EQ(innerRows->cRows, expectedInner.attachmentTable().rowCount());
            FreeProws(innerRows);
            table->Release();
            EXPECT_EQ(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_MODIFY, &unk), MAPI_E_NO_ACCESS);
            inner->Release();
            attach->Release();
        }
        message->Release();
    }
    EXPECT_GT(embedded, 0);
}

// A protected store asks the password hook, only when the logon may show a dialog.
TEST_F(PstProviderRules, PasswordProtectedStoresAskThroughTheHook)
{
    StoreDescription d;
    d.options.password = "s3cret";
    d.options.displayName = "Locked";
    const std::string path = Write(d);
    struct Case
    {
        const char* name;
        const char* answer;
        HRESULT answerResult;
        bool hook;
        ULONG flags;
        HRESULT expected;
        int asked;
    };
    const ULONG ui = MAPI_LOGON_UI | MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE;
    const ULONG quiet = MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE;
    const Case cases[] = {
        {"right password", "s3cret", S_OK, true, ui, S_OK, 1},
        {"password dialog only", "s3cret", S_OK, true, MAPI_PASSWORD_UI | quiet, S_OK, 1},
        {"wrong password", "secret", S_OK, true, ui, MAPI_E_LOGON_FAILED, 1},
        {"cancelled", "", MAPI_E_USER_CANCEL, true, ui, MAPI_E_USER_CANCEL, 1},
        {"no hook", "", S_OK, false, ui, MAPI_E_LOGON_FAILED, 0},
        {"no dialog allowed", "s3cret", S_OK, true, quiet, MAPI_E_LOGON_FAILED, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PasswordAnswer answer(c.answer, c.answerResult);
        StoreLogon logon;
        SetStorePasswordPrompt(c.hook ? &answer : nullptr);
        ASSERT_EQ(logon.Configure(path), S_OK);
        EXPECT_EQ(logon.Logon(c.flags), c.expected);
        EXPECT_EQ(answer.asked, c.asked);
        if (c.asked) {
            EXPECT_EQ(answer.lastName, "Locked");
            EXPECT_EQ(answer.lastPath, path);
        }
        EXPECT_EQ(logon.session != nullptr, SUCCEEDED(c.expected));
    }
    // A real protected store: the file keeps only the CRC of its password, so
    // "a6xnjH", a password with that CRC, opens it.
    for (const char* password : {"not it", "a6xnjH"}) {
        PasswordAnswer answer(password);
        StoreLogon logon;
        SetStorePasswordPrompt(&answer);
        EXPECT_EQ(logon.Open(DRAVIK_SAMPLES_DIR "/java-libpst-passworded.pst", ui),
                  std::string(password) == "a6xnjH" ? S_OK : MAPI_E_LOGON_FAILED);
        EXPECT_EQ(answer.asked, 1);
    }
}

// The password is asked for whenever the store holds a password CRC, whatever
// its header says it is: a protected store whose header claims to be an
// offline store still asks. A real offline store holds 0xFFFFFFFF there, which,
// like 0, means no password.
TEST_F(PstProviderRules, PasswordIsAskedWhateverTheStoreClaimsToBe)
{
    // A copy of a protected (Unicode) store whose wMagicClient says "SO", with
    // its header CRCs (dwCRCPartial over 471 bytes, dwCRCFull at 0x20C over 516)
    // made right again so that only the claim differs.
    const std::string copy = m_dir + "/claims-offline.pst";
    std::filesystem::copy_file(DRAVIK_SAMPLES_DIR "/java-libpst-passworded.pst", copy);
    {
        std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
        std::vector<uint8_t> header(0x210);
        file.read(reinterpret_cast<char*>(header.data()), static_cast<std::streamsize>(header.size()));
        ASSERT_EQ(header[8], 'S');
        ASSERT_EQ(header[9], 'M');
        ASSERT_GE(header[10], 23);  // wVer: Unicode
        header[9] = 'O';
        const auto setCrc = [&](size_t at, size_t length) {
            const uint32_t crc = dravik::pst::computeCrc(std::span<const uint8_t>(header).subspan(8, length));
            for (int i = 0; i < 4; ++i)
                header[at + i] = static_cast<uint8_t>(crc >> (8 * i));
        };
        setCrc(4, 471);
        setCrc(0x20C, 516);
        file.seekp(0);
        file.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    }
    ASSERT_TRUE(dravik::pst::Store::open(copy)->info().ost);

    const ULONG ui = MAPI_LOGON_UI | MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE;
    struct Case
    {
        const char* path;
        const char* answer;
        HRESULT expected;
        int asked;
    };
    const std::string ost = DRAVIK_SAMPLES_DIR "/pst-extractor-outlookcom.ost";
    const Case cases[] = {
        {copy.c_str(), "not it", MAPI_E_LOGON_FAILED, 1},
        {copy.c_str(), "a6xnjH", S_OK, 1},
        {ost.c_str(), "anything", S_OK, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " / " + c.answer);
        PasswordAnswer answer(c.answer);
        StoreLogon logon;
        SetStorePasswordPrompt(&answer);
        EXPECT_EQ(logon.Open(c.path, ui), c.expected);
        EXPECT_EQ(answer.asked, c.asked);
    }
}

// ConfigureMsgService takes existing store files only, recognised by content.
TEST_F(PstProviderRules, ConfigurationChecksTheStoreFile)
{
    const std::string store = Write(StoreDescription{});
    std::filesystem::copy_file(store, m_dir + "/store.dat");
    {
        std::ofstream text(m_dir + "/notes.pst");
        text << "This is not a store file, whatever its name says.\n";
    }
    std::filesystem::create_directory(m_dir + "/folder.pst");
    ASSERT_EQ(mkfifo((m_dir + "/pipe.pst").c_str(), 0600), 0);  // opening it would wait for a writer
    { std::ofstream empty(m_dir + "/empty.pst"); }
    struct Case
    {
        std::string path;
        HRESULT expected;
    };
    const Case cases[] = {
        {m_dir + "/missing.pst", MAPI_E_NOT_FOUND},
        {m_dir + "/folder.pst", MAPI_E_NOT_FOUND},
        {m_dir + "/notes.pst", MAPI_E_CORRUPT_DATA},
        {m_dir + "/empty.pst", MAPI_E_CORRUPT_DATA},
        {m_dir + "/pipe.pst", MAPI_E_CORRUPT_DATA},
        {store, S_OK},
        {m_dir + "/store.dat", S_OK},
        {DRAVIK_SAMPLES_DIR "/pst-extractor-outlookcom.ost", S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        StoreLogon logon;
        EXPECT_EQ(logon.Configure(c.path), c.expected);
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir + "/missing.pst"));
}

// Flips bytes inside the data block of a node, in a copy of the file.
void DamageNode(const std::string& path, uint64_t nid)
{
    auto store = dravik::pst::Store::open(path);
    const auto node = store->ndb().node(nid);
    const auto block = store->ndb().block(node.bidData);
    store.reset();
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(block.ib + 8));
    const char junk[8] = {'\x55', '\x55', '\x55', '\x55', '\x55', '\x55', '\x55', '\x55'};
    f.write(junk, sizeof junk);
}

StoreDescription ThreeMessages()
{
    StoreDescription d;
    Folder inbox{"Inbox", "IPF.Note", {}, {}, {}, {}};
    for (const char* s : {"one", "two", "three"})
        inbox.messages.push_back(Note(PropValue::unicode(s)));
    d.ipmSubtree.folders.push_back(inbox);
    return d;
}

// A damaged block fails only the call that needs it; the rest stays browsable.
TEST_F(PstProviderRules, DamagedMessageFailsOnlyItself)
{
    const std::string path = Write(ThreeMessages());
    StoreLogon logon;
    ASSERT_EQ(logon.Open(path), S_OK);
    std::vector<std::vector<uint8_t>> ids;
    {
        Contents c;
        ReadInbox(logon.store, 0, c);
        ASSERT_EQ(c.rows->cRows, 3u);
        for (ULONG i = 0; i < 3; ++i) {
            const SPropValue* eid = PpropFindProp(c.rows->aRow[i].lpProps, c.rows->aRow[i].cValues, PR_ENTRYID);
            ids.emplace_back(eid->Value.bin.lpb, eid->Value.bin.lpb + eid->Value.bin.cb);
        }
    }
    logon.Logoff();
    const uint32_t nid = ids[1][20] | (ids[1][21] << 8) | (ids[1][22] << 16) | (uint32_t(ids[1][23]) << 24);
    DamageNode(path, nid);

    ASSERT_EQ(logon.Logon(), S_OK);
    Contents c;
    ReadInbox(logon.store, 0, c);  // the folder and its table are intact
    ASSERT_EQ(c.rows->cRows, 3u);
    for (size_t i = 0; i < ids.size(); ++i) {
        LPUNKNOWN unk = nullptr;
        ULONG type = 0;
        const HRESULT hr = logon.store->OpenEntry(static_cast<ULONG>(ids[i].size()),
                                                  reinterpret_cast<LPENTRYID>(ids[i].data()), nullptr, 0, &type, &unk);
        EXPECT_EQ(hr, i == 1 ? MAPI_E_CORRUPT_DATA : S_OK) << i;
        if (unk)
            unk->Release();
    }
}

// A damaged contents table fails GetContentsTable alone: the folder opens with
// the counts it keeps, its other tables read.
TEST_F(PstProviderRules, DamagedTableFailsOnlyItself)
{
    const std::string path = Write(ThreeMessages());
    StoreLogon logon;
    ASSERT_EQ(logon.Open(path), S_OK);
    std::vector<uint8_t> inboxId;
    {
        Contents c;
        ReadInbox(logon.store, 0, c);
        LPSPropValue eid = nullptr;
        ASSERT_EQ(HrGetOneProp(c.folder, PR_ENTRYID, &eid), S_OK);
        inboxId.assign(eid->Value.bin.lpb, eid->Value.bin.lpb + eid->Value.bin.cb);
        MAPIFreeBuffer(eid);
    }
    logon.Logoff();
    const uint32_t nid = inboxId[20] | (inboxId[21] << 8) | (inboxId[22] << 16) | (uint32_t(inboxId[23]) << 24);
    DamageNode(path, (nid & ~0x1Fu) | 0x0E);  // NID_TYPE_CONTENTS_TABLE of the folder

    ASSERT_EQ(logon.Logon(), S_OK);
    LPUNKNOWN unk = nullptr;
    ASSERT_EQ(logon.store->OpenEntry(static_cast<ULONG>(inboxId.size()), reinterpret_cast<LPENTRYID>(inboxId.data()),
                                     nullptr, 0, nullptr, &unk),
              S_OK);
    auto* inbox = static_cast<LPMAPIFOLDER>(unk);
    LPSPropValue count = nullptr;
    ASSERT_EQ(HrGetOneProp(inbox, PR_CONTENT_COUNT, &count), S_OK);
    EXPECT_EQ(count->Value.ul, 3u);
    MAPIFreeBuffer(count);
    LPMAPITABLE table = nullptr;
    EXPECT_EQ(inbox->GetContentsTable(0, &table), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(table, nullptr);
    ASSERT_EQ(inbox->GetHierarchyTable(0, &table), S_OK);
    table->Release();
    ASSERT_EQ(inbox->GetContentsTable(MAPI_ASSOCIATED, &table), S_OK);
    table->Release();
    inbox->Release();
}

// A file truncated or overwritten while a session has it open fails calls
// cleanly: an error, never a crash or a hang.
TEST_F(PstProviderRules, StoreFileChangedWhileOpenFailsCleanly)
{
    StoreDescription d = ThreeMessages();
    Folder second{"Second", "IPF.Note", {}, {}, {}, {}};
    second.messages.push_back(Note(PropValue::unicode("four")));
    d.ipmSubtree.folders.push_back(second);
    // Large bodies, so that the file is larger than what the reader keeps in
    // memory: reading them again after the change must go to the file.
    for (Message& m : d.ipmSubtree.folders[0].messages)
        m.props.set(0x1000001F, PropValue::unicode(std::string(200000, 'b')));  // PR_BODY_W
    for (int damage = 0; damage < 2; ++damage) {
        SCOPED_TRACE(damage == 0 ? "truncated" : "overwritten");
        const std::string path = Write(d, "changing" + std::to_string(damage) + ".pst");
        StoreLogon logon;
        ASSERT_EQ(logon.Open(path), S_OK);
        std::vector<std::vector<uint8_t>> ids;  // the Inbox's messages
        {
            Contents c;
            ReadInbox(logon.store, 0, c);
            for (ULONG i = 0; i < c.rows->cRows; ++i) {
                const SPropValue* eid = PpropFindProp(c.rows->aRow[i].lpProps, c.rows->aRow[i].cValues, PR_ENTRYID);
                ids.emplace_back(eid->Value.bin.lpb, eid->Value.bin.lpb + eid->Value.bin.cb);
            }
        }
        LPUNKNOWN unk = nullptr;
        ASSERT_EQ(logon.store->OpenEntry(0, nullptr, nullptr, 0, nullptr, &unk), S_OK);
        auto* root = static_cast<LPMAPIFOLDER>(unk);
        const auto size = std::filesystem::file_size(path);
        if (damage == 0) {
            std::filesystem::resize_file(path, 1024);
        } else {
            std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(1024);
            std::vector<char> junk(size - 1024, '\x33');
            f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
        }
        // everything below the root: the hierarchy, the folders, their contents
        int failures = 0;
        LPMAPITABLE table = nullptr;
        HRESULT hr = root->GetHierarchyTable(0, &table);
        if (FAILED(hr)) {
            ++failures;
        } else {
            LPSRowSet rows = nullptr;
            if (SUCCEEDED(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows)))
                FreeProws(rows);
            table->Release();
        }
        LPSPropValue ipm = nullptr;
        ASSERT_EQ(HrGetOneProp(logon.store, PR_IPM_SUBTREE_ENTRYID, &ipm), S_OK);
        hr = OpenById(logon.store, ipm, &unk);
        MAPIFreeBuffer(ipm);
        if (FAILED(hr)) {
            ++failures;
            EXPECT_TRUE(hr == MAPI_E_CORRUPT_DATA || hr == MAPI_E_DISK_ERROR || hr == MAPI_E_NOT_FOUND) << std::hex << hr;
        } else {
            unk->Release();
        }
        // the Inbox's messages and their bodies
        for (const auto& id : ids) {
            ULONG type = 0;
            hr = logon.store->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(const_cast<uint8_t*>(id.data())),
                                        nullptr, 0, &type, &unk);
            if (SUCCEEDED(hr)) {
                auto* message = static_cast<LPMESSAGE>(unk);
                LPUNKNOWN stream = nullptr;
                hr = message->OpenProperty(0x1000001F, &IID_IStream, 0, 0, &stream);
                if (SUCCEEDED(hr)) {
                    char buffer[4096];
                    ULONG read = 0;
                    do
                        hr = static_cast<LPSTREAM>(stream)->Read(buffer, sizeof buffer, &read);
                    while (SUCCEEDED(hr) && read > 0);
                    stream->Release();
                }
                message->Release();
            }
            if (FAILED(hr)) {
                ++failures;
                EXPECT_TRUE(hr == MAPI_E_CORRUPT_DATA || hr == MAPI_E_DISK_ERROR || hr == MAPI_E_NOT_FOUND) << std::hex << hr;
            }
        }
        EXPECT_GT(failures, 0);
        root->Release();
    }
}

// Every write is refused; nothing opens for writing.
TEST_F(PstProviderRules, WritesAreRefused)
{
    StoreLogon logon;
    ASSERT_EQ(logon.Open(Write(ThreeMessages())), S_OK);
    const auto before = std::filesystem::last_write_time(m_dir + "/store.pst");
    Contents c;
    ReadInbox(logon.store, 0, c);
    LPUNKNOWN unk = nullptr;
    const SPropValue* eid = PpropFindProp(c.rows->aRow[0].lpProps, c.rows->aRow[0].cValues, PR_ENTRYID);
    EXPECT_EQ(logon.store->OpenEntry(eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr,
                                     MAPI_MODIFY, nullptr, &unk),
              MAPI_E_NO_ACCESS);
    ASSERT_EQ(OpenById(logon.store, eid, &unk), S_OK);
    auto* message = static_cast<LPMESSAGE>(unk);
    SPropValue v{};
    v.ulPropTag = PR_SUBJECT_A;
    v.Value.lpszA = const_cast<LPSTR>("changed");
    EXPECT_EQ(message->SetProps(1, &v, nullptr), MAPI_E_NO_ACCESS);
    EXPECT_EQ(message->SaveChanges(0), MAPI_E_NO_ACCESS);
    EXPECT_EQ(message->DeleteProps(nullptr, nullptr), MAPI_E_NO_ACCESS);
    EXPECT_EQ(message->SetReadFlag(0), MAPI_E_NO_ACCESS);
    LPMESSAGE created = nullptr;
    EXPECT_EQ(c.folder->CreateMessage(nullptr, 0, &created), MAPI_E_NO_ACCESS);
    EXPECT_EQ(c.folder->SetProps(1, &v, nullptr), MAPI_E_NO_ACCESS);
    EXPECT_EQ(logon.store->SetProps(1, &v, nullptr), MAPI_E_NO_ACCESS);
    LPMDB again = nullptr;
    LPSPropValue storeId = nullptr;
    ASSERT_EQ(HrGetOneProp(logon.store, PR_ENTRYID, &storeId), S_OK);
    EXPECT_EQ(logon.session->OpenMsgStore(0, storeId->Value.bin.cb, reinterpret_cast<LPENTRYID>(storeId->Value.bin.lpb),
                                          nullptr, MAPI_MODIFY, &again),
              MAPI_E_NO_ACCESS);
    MAPIFreeBuffer(storeId);
    message->Release();
    EXPECT_EQ(std::filesystem::last_write_time(m_dir + "/store.pst"), before);
}

// GetNamesFromIDs with one tag: an ID below 0x8000 has no name.
TEST_F(PstProviderRules, OrdinaryIdsHaveNoNames)
{
    StoreLogon logon;
    ASSERT_EQ(logon.Open(DRAVIK_SAMPLES_DIR "/java-libpst-dist-list.pst"), S_OK);
    std::vector<BYTE> buffer(CbNewSPropTagArray(1));
    auto* one = reinterpret_cast<LPSPropTagArray>(buffer.data());
    one->cValues = 1;
    for (ULONG tag : {PR_SUBJECT_A, PR_ENTRYID, PROP_TAG(PT_LONG, 0x7FFF)}) {
        one->aulPropTag[0] = tag;
        ULONG count = 0;
        LPMAPINAMEID* names = nullptr;
        ASSERT_EQ(logon.store->GetNamesFromIDs(&one, nullptr, 0, &count, &names), MAPI_W_ERRORS_RETURNED);
        ASSERT_EQ(count, 1u);
        EXPECT_EQ(names[0], nullptr);
        MAPIFreeBuffer(names);
    }
}

TEST(PstText, DecodesCodePagesAndReplacesWhatIsNotText)
{
    struct Case
    {
        std::string bytes;
        uint32_t codePage;
        std::string utf8;
    };
    const Case cases[] = {
        {"\x80", 1252, "\xe2\x82\xac"},                  // the euro sign of Windows-1252
        {"a\x82", 932, "a\xef\xbf\xbd"},                 // a lead byte without its trail byte
        {"\x82\xa0", 932, "\xe3\x81\x82"},                // hiragana a
        {"\xe9", 99999, "\xc3\xa9"},                     // an unknown code page reads as 1252
        {std::string("ab\0cd", 5), 1252, "ab"},          // stops at NUL
        {"\xc3\xa9", 65001, "\xc3\xa9"},
    };
    for (const Case& c : cases) {
        const auto* p = reinterpret_cast<const uint8_t*>(c.bytes.data());
        EXPECT_EQ(dravik::mapi32::Utf16ToUtf8(pst_text::Decode({p, c.bytes.size()}, c.codePage)), c.utf8) << c.codePage;
    }
    EXPECT_EQ(dravik::mapi32::Utf16ToUtf8(u"\xd800x"), "\xef\xbf\xbdx");
    EXPECT_EQ(dravik::mapi32::Utf8ToUtf16("\xff\xc3\xa9"), u"\xfffd\xe9");
}

} // namespace
