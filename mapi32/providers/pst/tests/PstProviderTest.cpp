// The store provider against the format library: a session logged on to a
// profile with one store file sees the same folders, names and messages.
#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"
#include "mapi32/table.h"
#include "pst/messaging/store.h"
#include "StoreLogon.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace dravik::mapi32;


std::string Text(const SPropValue* v)
{
    std::string s;
    if (v)
        ValueText(*v, s);
    return s;
}

// The subject as MAPI clients see it: without the 0x01 marker and its prefix-length character.
std::string SubjectWithoutMarker(const std::string& stored)
{
    if (stored.size() >= 2 && stored[0] == '\x01')
        return stored.substr(2);
    return stored;
}

std::vector<uint8_t> Bytes(const SPropValue* v)
{
    if (!v || PROP_TYPE(v->ulPropTag) != PT_BINARY)
        return {};
    return {v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb};
}

// One binary property of an object.
std::vector<uint8_t> OneBinary(LPMAPIPROP object, ULONG tag)
{
    LPSPropValue v = nullptr;
    if (FAILED(HrGetOneProp(object, tag, &v)))
        return {};
    std::vector<uint8_t> bytes = Bytes(v);
    MAPIFreeBuffer(v);
    return bytes;
}

const SPropValue* FindId(const SPropValue* values, ULONG count, ULONG id)
{
    for (ULONG i = 0; i < count; ++i)
        if (PROP_ID(values[i].ulPropTag) == id && PROP_TYPE(values[i].ulPropTag) != PT_ERROR)
            return &values[i];
    return nullptr;
}

class PstProviderTest : public ::testing::TestWithParam<const char*>
{
protected:
    void SetUp() override
    {
        // pstsdk-test_ansi.pst and pstsdk-test_unicode.pst are protected with the password "test".
        SetStorePasswordPrompt(&m_password);
        const std::string path = std::string(DRAVIK_SAMPLES_DIR "/") + GetParam();
        ASSERT_EQ(m_logon.Open(path, MAPI_LOGON_UI | MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE), S_OK);
        m_store = m_logon.store;
        m_pst = dravik::pst::Store::open(path);
    }

    // Walks a folder's hierarchy through MAPI and the library side by side.
    void Walk(LPMAPIFOLDER folder, uint32_t nid, int depth, int& folders, int& messages)
    {
        ASSERT_LT(depth, 32);
        dravik::pst::Folder expected = m_pst->folder(nid);
        auto expectedRows = expected.hierarchyTable().rows();
        LPMAPITABLE table = nullptr;
        ASSERT_EQ(folder->GetHierarchyTable(0, &table), S_OK);
        LPSRowSet rows = nullptr;
        ASSERT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
        ASSERT_EQ(rows->cRows, expectedRows.size());
        for (ULONG i = 0; i < rows->cRows; ++i) {
            const SRow& row = rows->aRow[i];
            const auto* name = expectedRows[i].find(0x3001);
            ASSERT_NE(name, nullptr);
            EXPECT_EQ(Text(FindId(row.lpProps, row.cValues, 0x3001)), name->utf8());
            const SPropValue* type = PpropFindProp(row.lpProps, row.cValues, PR_OBJECT_TYPE);
            ASSERT_NE(type, nullptr);
            EXPECT_EQ(type->Value.ul, MAPI_FOLDER);
            ASSERT_NE(PpropFindProp(row.lpProps, row.cValues, PR_INSTANCE_KEY), nullptr);
            const SPropValue* eid = PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID);
            ASSERT_NE(eid, nullptr);
            ULONG objType = 0;
            LPUNKNOWN unk = nullptr;
            ASSERT_EQ(folder->OpenEntry(eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr,
                                        MAPI_BEST_ACCESS, &objType, &unk),
                      S_OK);
            EXPECT_EQ(objType, MAPI_FOLDER);
            auto* sub = static_cast<LPMAPIFOLDER>(unk);
            ULONG count = 0;
            LPSPropValue props = nullptr;
            ASSERT_TRUE(SUCCEEDED(sub->GetProps(nullptr, 0, &count, &props)));
            EXPECT_EQ(Text(FindId(props, count, 0x3001)), name->utf8());
            // computed: identity, parent, store, and the counts of the folder's tables
            EXPECT_EQ(Bytes(PpropFindProp(props, count, PR_ENTRYID)), Bytes(eid));
            EXPECT_EQ(Bytes(PpropFindProp(props, count, PR_PARENT_ENTRYID)), OneBinary(folder, PR_ENTRYID));
            EXPECT_EQ(Bytes(PpropFindProp(props, count, PR_STORE_ENTRYID)), OneBinary(m_store, PR_ENTRYID));
            EXPECT_EQ(Bytes(PpropFindProp(props, count, PR_STORE_RECORD_KEY)), m_pst->recordKey());
            EXPECT_EQ(PpropFindProp(props, count, PR_OBJECT_TYPE)->Value.ul, MAPI_FOLDER);
            dravik::pst::Folder lib = m_pst->folder(expectedRows[i].rowId);
            const SPropValue* subfolders = PpropFindProp(props, count, PR_SUBFOLDERS);
            ASSERT_NE(subfolders, nullptr);
            auto storedSub = lib.properties().get(0x360A);
            EXPECT_EQ(subfolders->Value.b != 0,
                      storedSub ? *storedSub->int64() != 0 : lib.hierarchyTable().rowCount() > 0)
                << name->utf8();
            const SPropValue* contentCount = PpropFindProp(props, count, PR_CONTENT_COUNT);
            ASSERT_NE(contentCount, nullptr);
            // the count the folder keeps, else the rows of its contents table
            auto stored = lib.properties().get(0x3602);
            EXPECT_EQ(contentCount->Value.ul, stored ? static_cast<ULONG>(*stored->int64()) : lib.contentsTable().rowCount())
                << name->utf8();
            EXPECT_NE(PpropFindProp(props, count, PR_CONTENT_UNREAD), nullptr);
            MAPIFreeBuffer(props);
            ++folders;
            CheckContents(sub, expectedRows[i].rowId, messages);
            Walk(sub, expectedRows[i].rowId, depth + 1, folders, messages);
            sub->Release();
        }
        FreeProws(rows);
        table->Release();
    }

    // Every message of the contents table opens by its entry ID with its subject.
    void CheckContents(LPMAPIFOLDER folder, uint32_t nid, int& messages)
    {
        auto expectedRows = m_pst->folder(nid).contentsTable().rows();
        LPMAPITABLE table = nullptr;
        ULONG associated = 0;
        ASSERT_EQ(folder->GetContentsTable(MAPI_ASSOCIATED, &table), S_OK);
        ASSERT_EQ(table->GetRowCount(0, &associated), S_OK);
        EXPECT_EQ(associated, m_pst->folder(nid).associatedContentsTable().rowCount());
        table->Release();
        ASSERT_EQ(folder->GetContentsTable(0, &table), S_OK);
        LPSRowSet rows = nullptr;
        ASSERT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
        ASSERT_EQ(rows->cRows, expectedRows.size());
        for (ULONG i = 0; i < rows->cRows; ++i) {
            const SRow& row = rows->aRow[i];
            const SPropValue* eid = PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID);
            ASSERT_NE(eid, nullptr);
            ULONG objType = 0;
            LPUNKNOWN unk = nullptr;
            ASSERT_EQ(m_store->OpenEntry(eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr, 0,
                                         &objType, &unk),
                      S_OK);
            EXPECT_EQ(objType, MAPI_MESSAGE);
            auto* message = static_cast<LPMESSAGE>(unk);
            ULONG count = 0;
            LPSPropValue props = nullptr;
            ASSERT_TRUE(SUCCEEDED(message->GetProps(nullptr, 0, &count, &props)));
            const SPropValue* rowType = PpropFindProp(row.lpProps, row.cValues, PR_OBJECT_TYPE);
            ASSERT_NE(rowType, nullptr);
            EXPECT_EQ(rowType->Value.ul, MAPI_MESSAGE);
            EXPECT_EQ(Bytes(PpropFindProp(props, count, PR_ENTRYID)), Bytes(eid));
            EXPECT_EQ(Bytes(PpropFindProp(props, count, PR_PARENT_ENTRYID)), OneBinary(folder, PR_ENTRYID));
            EXPECT_EQ(Bytes(PpropFindProp(props, count, PR_STORE_ENTRYID)), OneBinary(m_store, PR_ENTRYID));
            const SPropValue* hasAttach = PpropFindProp(props, count, PR_HASATTACH);
            ASSERT_NE(hasAttach, nullptr);
            const SPropValue* rowHasAttach = PpropFindProp(row.lpProps, row.cValues, PR_HASATTACH);
            ASSERT_NE(rowHasAttach, nullptr);  // the row says so too, from its message flags
            EXPECT_EQ(rowHasAttach->Value.b, hasAttach->Value.b);
            if (hasAttach->Value.b)
                ++m_withAttachments;
            auto subject = m_pst->message(expectedRows[i].rowId).properties().get(0x0037);
            const std::string expectedSubject = SubjectWithoutMarker(subject ? subject->utf8() : std::string());
            EXPECT_EQ(Text(FindId(props, count, 0x0037)), expectedSubject);
            EXPECT_EQ(Text(FindId(row.lpProps, row.cValues, 0x0037)), expectedSubject);
            MAPIFreeBuffer(props);
            LPMAPITABLE recips = nullptr;
            EXPECT_EQ(message->GetRecipientTable(0, &recips), S_OK);
            if (recips)
                recips->Release();
            CheckAttachments(message, expectedRows[i].rowId);
            SPropValue write{};
            write.ulPropTag = PR_OBJECT_TYPE;
            EXPECT_EQ(message->SetProps(1, &write, nullptr), MAPI_E_NO_ACCESS);
            message->Release();
            ++messages;
        }
        FreeProws(rows);
        table->Release();
    }

    // Each attachment opens by the PR_ATTACH_NUM of its row with the file's values.
    void CheckAttachments(LPMESSAGE message, uint32_t nid)
    {
        dravik::pst::Message expected = m_pst->message(nid);
        auto expectedRows = expected.attachmentTable().rows();
        LPMAPITABLE table = nullptr;
        ASSERT_EQ(message->GetAttachmentTable(0, &table), S_OK);
        LPSRowSet rows = nullptr;
        ASSERT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
        ASSERT_EQ(rows->cRows, expectedRows.size());
        for (ULONG i = 0; i < rows->cRows; ++i) {
            const SPropValue* num = PpropFindProp(rows->aRow[i].lpProps, rows->aRow[i].cValues, PR_ATTACH_NUM);
            ASSERT_NE(num, nullptr);
            LPATTACH attach = nullptr;
            ASSERT_EQ(message->OpenAttach(num->Value.ul, &IID_IAttachment, MAPI_BEST_ACCESS, &attach), S_OK);
            ULONG count = 0;
            LPSPropValue props = nullptr;
            ASSERT_TRUE(SUCCEEDED(attach->GetProps(nullptr, 0, &count, &props)));
            auto method = expected.attachment(expectedRows[i].rowId).attachMethod();
            const SPropValue* got = PpropFindProp(props, count, PR_ATTACH_METHOD);
            ASSERT_EQ(got != nullptr, method.has_value());
            if (method) {
                EXPECT_EQ(got->Value.l, *method);
            }
            // a value above 32 KiB is an error value in GetProps, the bytes themselves below
            dravik::pst::Attachment a = expected.attachment(expectedRows[i].rowId);
            if (a.dataSize() > 0x8000) {
                const SPropValue* big = PpropFindProp(props, count, PROP_TAG(PT_ERROR, 0x3701));
                ASSERT_NE(big, nullptr);
                EXPECT_EQ(big->Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
                ++m_bigValues;
            } else if (a.dataSize() > 0) {
                const SPropValue* small = PpropFindProp(props, count, PROP_TAG(PT_BINARY, 0x3701));
                ASSERT_NE(small, nullptr);
                EXPECT_EQ(std::vector<uint8_t>(small->Value.bin.lpb, small->Value.bin.lpb + small->Value.bin.cb),
                          a.readData());
            }
            MAPIFreeBuffer(props);
            // the data, whole through a stream read in pieces
            if (a.dataSize() > 0) {
                LPUNKNOWN unk = nullptr;
                ASSERT_EQ(attach->OpenProperty(PROP_TAG(PT_BINARY, 0x3701), &IID_IStream, 0, MAPI_BEST_ACCESS, &unk), S_OK);
                auto* stream = static_cast<IStream*>(unk);
                std::vector<uint8_t> data;
                uint8_t chunk[4093];
                ULONG got = 0;
                do {
                    ASSERT_EQ(stream->Read(chunk, sizeof chunk, &got), S_OK);
                    data.insert(data.end(), chunk, chunk + got);
                } while (got > 0);
                EXPECT_EQ(data, a.readData());
                m_streamed += data.size();
                EXPECT_EQ(attach->OpenProperty(PROP_TAG(PT_BINARY, 0x3701), &IID_IStream, 0, MAPI_MODIFY, &unk),
                          MAPI_E_NO_ACCESS);
                stream->Release();
            }
            attach->Release();
            ++m_attachments;
        }
        LPATTACH none = nullptr;
        EXPECT_EQ(message->OpenAttach(rows->cRows, &IID_IAttachment, MAPI_BEST_ACCESS, &none), MAPI_E_NOT_FOUND);
        FreeProws(rows);
        table->Release();
    }

    int m_attachments = 0;
    size_t m_streamed = 0;
    int m_bigValues = 0;
    int m_withAttachments = 0;
    dravik::mapi32::testing::PasswordAnswer m_password{"test"};
    dravik::mapi32::testing::StoreLogon m_logon;
    LPMDB m_store = nullptr;
    std::shared_ptr<dravik::pst::Store> m_pst;
};

TEST_P(PstProviderTest, StoreValuesAndRootFolderComeFromTheFile)
{
    ULONG count = 0;
    LPSPropValue props = nullptr;
    ASSERT_TRUE(SUCCEEDED(m_store->GetProps(nullptr, 0, &count, &props)));
    // the file's display name, or the file's name where the file has none (an OST)
    const std::string stored = m_pst->properties().get(0x3001)->utf8();
    EXPECT_EQ(Text(FindId(props, count, 0x3001)), stored.empty() ? std::string(GetParam()) : stored);
    const SPropValue* key = PpropFindProp(props, count, PR_RECORD_KEY);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(key->Value.bin.lpb, key->Value.bin.lpb + key->Value.bin.cb), m_pst->recordKey());
    EXPECT_EQ(PpropFindProp(props, count, PR_OBJECT_TYPE)->Value.ul, MAPI_STORE);
    EXPECT_EQ(Bytes(PpropFindProp(props, count, PR_STORE_ENTRYID)), Bytes(PpropFindProp(props, count, PR_ENTRYID)));
    EXPECT_EQ(Bytes(PpropFindProp(props, count, PR_STORE_RECORD_KEY)), m_pst->recordKey());
    // a PST names its IPM subtree; it opens as a folder of the store
    const SPropValue* ipm = PpropFindProp(props, count, PR_IPM_SUBTREE_ENTRYID);
    ASSERT_EQ(ipm != nullptr, !m_pst->info().ost);
    if (ipm) {
        ULONG ipmType = 0;
        LPUNKNOWN ipmFolder = nullptr;
        ASSERT_EQ(m_store->OpenEntry(ipm->Value.bin.cb, reinterpret_cast<LPENTRYID>(ipm->Value.bin.lpb), nullptr, 0,
                                     &ipmType, &ipmFolder),
                  S_OK);
        EXPECT_EQ(ipmType, MAPI_FOLDER);
        ipmFolder->Release();
    }
    MAPIFreeBuffer(props);

    ULONG objType = 0;
    LPUNKNOWN unk = nullptr;
    ASSERT_EQ(m_store->OpenEntry(0, nullptr, nullptr, MAPI_BEST_ACCESS, &objType, &unk), S_OK);
    EXPECT_EQ(objType, MAPI_FOLDER);
    auto* root = static_cast<LPMAPIFOLDER>(unk);
    ASSERT_TRUE(SUCCEEDED(root->GetProps(nullptr, 0, &count, &props)));
    const SPropValue* eid = PpropFindProp(props, count, PR_ENTRYID);
    ASSERT_NE(eid, nullptr);
    // flags, the store's record key, the root folder's NID
    std::vector<uint8_t> expected(4, 0);
    auto rk = m_pst->recordKey();
    expected.insert(expected.end(), rk.begin(), rk.end());
    for (uint8_t b : {0x22, 0x01, 0x00, 0x00})
        expected.push_back(b);
    EXPECT_EQ(std::vector<uint8_t>(eid->Value.bin.lpb, eid->Value.bin.lpb + eid->Value.bin.cb), expected);
    MAPIFreeBuffer(props);

    int folders = 0, messages = 0;
    Walk(root, m_pst->rootFolderNid(), 0, folders, messages);
    RecordProperty("folders", folders);
    RecordProperty("messages", messages);
    RecordProperty("attachments", m_attachments);
    RecordProperty("streamed", static_cast<int>(m_streamed));
    RecordProperty("bigValues", m_bigValues);
    RecordProperty("withAttachments", m_withAttachments);
    EXPECT_GT(folders, 0);
    EXPECT_GT(messages, 0);
    root->Release();
}

TEST_P(PstProviderTest, ForeignEntryIdsAndWritesAreRefused)
{
    ULONG objType = 0;
    LPUNKNOWN unk = nullptr;
    std::vector<uint8_t> eid(24, 0);  // right size, wrong record key
    eid[20] = 0x22;
    eid[21] = 0x01;
    EXPECT_EQ(m_store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr, 0,
                                 &objType, &unk),
              MAPI_E_INVALID_ENTRYID);
    EXPECT_EQ(unk, nullptr);
    EXPECT_EQ(m_store->OpenEntry(3, reinterpret_cast<LPENTRYID>(eid.data()), nullptr, 0, &objType, &unk),
              MAPI_E_INVALID_ENTRYID);
    // the store's key with a NID the file does not hold
    auto rk = m_pst->recordKey();
    std::copy(rk.begin(), rk.end(), eid.begin() + 4);
    eid[20] = 0x02;
    eid[21] = 0xFF;
    eid[22] = 0xFF;
    EXPECT_EQ(m_store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr, 0,
                                 &objType, &unk),
              MAPI_E_NOT_FOUND);
    SPropValue write{};
    write.ulPropTag = PR_OBJECT_TYPE;
    EXPECT_EQ(m_store->SetProps(1, &write, nullptr), MAPI_E_NO_ACCESS);
    EXPECT_EQ(m_store->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &objType, &unk), MAPI_E_NO_ACCESS);
}

TEST_P(PstProviderTest, NamedPropertiesComeFromTheStoreMap)
{
    const auto& expected = m_pst->nameMap().all();
    LPSPropTagArray tags = nullptr;
    ULONG count = 0;
    LPMAPINAMEID* names = nullptr;
    ASSERT_EQ(m_store->GetNamesFromIDs(&tags, nullptr, 0, &count, &names), S_OK);
    ASSERT_NE(tags, nullptr);
    ASSERT_EQ(count, expected.size());
    ASSERT_EQ(tags->cValues, expected.size());
    RecordProperty("named", static_cast<int>(count));
    for (ULONG i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NE(names[i], nullptr);
        EXPECT_EQ(PROP_ID(tags->aulPropTag[i]), expected[i].propId);
        EXPECT_EQ(std::memcmp(names[i]->lpguid, expected[i].guid.data(), 16), 0);
        if (expected[i].kind == dravik::pst::NamedProperty::Kind::Id) {
            EXPECT_EQ(names[i]->ulKind, MNID_ID);
            EXPECT_EQ(static_cast<uint32_t>(names[i]->Kind.lID), expected[i].lid);
        } else {
            ASSERT_EQ(names[i]->ulKind, MNID_STRING);
            std::u16string name(names[i]->Kind.lpwstrName);
            EXPECT_EQ(name.size() * 2, expected[i].nameUtf16.size() & ~size_t{1});
        }
    }
    // and back: every name gives its ID
    if (count > 0) {
        LPSPropTagArray ids = nullptr;
        ASSERT_EQ(m_store->GetIDsFromNames(count, names, 0, &ids), S_OK);
        ASSERT_EQ(ids->cValues, count);
        for (ULONG i = 0; i < count; ++i)
            EXPECT_EQ(PROP_ID(ids->aulPropTag[i]), PROP_ID(tags->aulPropTag[i])) << i;
        MAPIFreeBuffer(ids);
        EXPECT_EQ(m_store->GetIDsFromNames(count, names, MAPI_CREATE, &ids), MAPI_E_NO_ACCESS);
    }
    MAPIFreeBuffer(names);
    MAPIFreeBuffer(tags);

    // An ID the map does not hold gives no name and a warning.
    std::vector<BYTE> buffer(CbNewSPropTagArray(1));
    auto* one = reinterpret_cast<LPSPropTagArray>(buffer.data());
    one->cValues = 1;
    one->aulPropTag[0] = PROP_TAG(PT_LONG, 0xFFFE);
    ASSERT_EQ(m_store->GetNamesFromIDs(&one, nullptr, 0, &count, &names), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(names[0], nullptr);
    MAPIFreeBuffer(names);
}

INSTANTIATE_TEST_SUITE_P(Samples, PstProviderTest,
                         ::testing::Values("pstsdk-sample1.pst", "pstsdk-sample2.pst", "pstsdk-submessage.pst",
                                           "pstsdk-test_ansi.pst", "pstsdk-test_unicode.pst",
                                           "java-libpst-dist-list.pst", "pst-extractor-enron.pst",
                                           "pst-extractor-outlookcom.ost"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return n;
                         });

} // namespace
