// OLE attachments (attach method 6) of a store file: PR_ATTACH_DATA_OBJ names
// a subnode holding the object's compound file, which reads as its bytes
// through GetProps and OpenProperty, saves as a file, and saves into a .msg.
#include "MsgWalk.h"

#include "mapi32/providers/msg/cfb.h"
#include "mapi32/providers/msg/cfb_storage.h"
#include "mapi32/providers/msg/msg_writer.h"
#include "mapi32/providers/pst/tests/StoreLogon.h"

#include "StoreWriter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace dravik::mapi32::testing {
namespace {

std::vector<uint8_t> Load(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Writes a store holding the one message and opens that message through the store provider.
Ref<IMessage> WriteAndOpen(StoreLogon& logon, const pst::writer::Message& message)
{
    const std::string store = logon.dir + "/written.pst";
    {
        pst::writer::StoreWriter w(store, {});
        w.addMessage(w.ipmSubtree(), message);
        w.finish();
    }
    if (logon.Open(store) != S_OK)
        return {};
    Ref<IMessage> found;
    std::function<void(ULONG, LPENTRYID)> visit = [&](ULONG cb, LPENTRYID eid) {
        ULONG type = 0;
        LPUNKNOWN unk = nullptr;
        if (FAILED(logon.store->OpenEntry(cb, eid, nullptr, 0, &type, &unk)))
            return;
        if (type == MAPI_MESSAGE) {
            found.reset(static_cast<IMessage*>(unk));
            return;
        }
        Ref<IMAPIFolder> folder(static_cast<IMAPIFolder*>(unk));
        for (bool contents : {true, false}) {
            LPMAPITABLE t = nullptr;
            if (FAILED(contents ? folder->GetContentsTable(0, &t) : folder->GetHierarchyTable(0, &t)))
                continue;
            Ref<IMAPITable> table(t);
            LPSRowSet rows = nullptr;
            SizedSPropTagArray(1, one) = {1, {PR_ENTRYID}};
            if (FAILED(HrQueryAllRows(table.get(), reinterpret_cast<LPSPropTagArray>(&one), nullptr, nullptr, 0, &rows)))
                continue;
            for (ULONG i = 0; i < rows->cRows && !found; ++i)
                visit(rows->aRow[i].lpProps[0].Value.bin.cb,
                      reinterpret_cast<LPENTRYID>(rows->aRow[i].lpProps[0].Value.bin.lpb));
            FreeProws(rows);
        }
    };
    visit(0, nullptr);
    return found;
}

// OpenProperty(PR_ATTACH_DATA_OBJ, IID_IStorage): the object's compound file as
// a read-only storage: its elements, their streams' bytes, no changes.
void CheckStorage(IAttach* attach, const std::vector<uint8_t>& object)
{
    LPUNKNOWN unk = nullptr;
    ASSERT_EQ(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IStorage, 0, 0, &unk), S_OK);
    Ref<IStorage> storage(static_cast<IStorage*>(unk));
    const cfb::Storage expected = cfb::File::FromMemory(object)->Root();
    IEnumSTATSTG* e = nullptr;
    ASSERT_EQ(storage->EnumElements(0, nullptr, 0, &e), S_OK);
    Ref<IEnumSTATSTG> elements(e);
    std::vector<std::string> names;
    STATSTG st{};
    ULONG fetched = 0;
    while (elements->Next(1, &st, &fetched) == S_OK && fetched == 1) {
        names.push_back(Utf16ToUtf8(std::u16string(st.pwcsName)));
        if (st.type == STGTY_STREAM)
            EXPECT_EQ(st.cbSize.QuadPart, expected.ReadStream(names.back()).size()) << names.back();
        MAPIFreeBuffer(st.pwcsName);
    }
    std::vector<std::string> want;
    for (const cfb::Storage::Entry& c : expected.Children())
        want.push_back(c.name);
    EXPECT_EQ(names, want);
    IStream* s = nullptr;
    ASSERT_EQ(storage->OpenStream(u"__properties_version1.0", nullptr, STGM_READ, 0, &s), S_OK);
    Ref<IStream> stream(s);
    std::vector<uint8_t> bytes(1 << 16);
    ULONG read = 0;
    ASSERT_EQ(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read), S_OK);
    bytes.resize(read);
    EXPECT_EQ(bytes, expected.ReadStream("__properties_version1.0"));
    EXPECT_EQ(storage->OpenStream(u"no such stream", nullptr, STGM_READ, 0, &s), static_cast<HRESULT>(0x80030002u));
    EXPECT_EQ(storage->CreateStream(u"new", STGM_READWRITE, 0, 0, &s), STG_E_ACCESSDENIED);
    EXPECT_EQ(storage->DestroyElement(u"__properties_version1.0"), STG_E_ACCESSDENIED);
}

TEST(OleAttachment, ReadsAsItsCompoundFileAndSaves)
{
    // Two objects: one small enough for GetProps, one read through its stream only.
    const std::vector<std::vector<uint8_t>> objects = {
        Load((std::filesystem::path(DRAVIK_SAMPLES_DIR) / ".." / "msg" / "msgreader-simple.msg").string()),
        Load((std::filesystem::path(DRAVIK_SAMPLES_DIR) / ".." / "msg" / "msgreader-longer-fat.msg").string())};
    ASSERT_LT(objects[0].size(), 0x8000u);
    ASSERT_GT(objects[1].size(), 0x8000u);
    StoreLogon logon;
    pst::writer::Message source;
    source.props.set(0x0037001F, pst::writer::PropValue::unicode("With OLE objects"));
    for (const auto& bytes : objects) {
        pst::writer::Attachment a;
        a.props.set(0x3001001F, pst::writer::PropValue::unicode("Object"));
        a.oleObject = bytes;
        source.attachments.push_back(a);
    }
    Ref<IMessage> message = WriteAndOpen(logon, source);
    ASSERT_TRUE(message);

    for (ULONG n = 0; n < objects.size(); ++n) {
        SCOPED_TRACE(n);
        LPATTACH a = nullptr;
        ASSERT_EQ(message->OpenAttach(n, nullptr, 0, &a), S_OK);
        Ref<IAttach> attach(a);
        // GetProps: the bytes as binary PR_ATTACH_DATA_OBJ, or the error of a large value.
        SizedSPropTagArray(1, data) = {1, {PR_ATTACH_DATA_BIN}};
        ULONG count = 0;
        LPSPropValue values = nullptr;
        attach->GetProps(reinterpret_cast<LPSPropTagArray>(&data), 0, &count, &values);
        ASSERT_EQ(count, 1u);
        if (n == 0) {
            ASSERT_EQ(values[0].ulPropTag, PR_ATTACH_DATA_BIN);
            EXPECT_EQ(std::vector<uint8_t>(values[0].Value.bin.lpb, values[0].Value.bin.lpb + values[0].Value.bin.cb),
                      objects[n]);
        } else {
            EXPECT_EQ(values[0].ulPropTag, CHANGE_PROP_TYPE(PR_ATTACH_DATA_BIN, PT_ERROR));
            EXPECT_EQ(values[0].Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
        }
        MAPIFreeBuffer(values);
        // OpenProperty as a stream, by either tag: the compound file, which opens as one.
        for (ULONG tag : {PR_ATTACH_DATA_OBJ, PR_ATTACH_DATA_BIN}) {
            HRESULT hr = S_OK;
            const std::vector<uint8_t> bytes = Walk::ReadStream(attach.get(), tag, hr);
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(bytes, objects[n]);
        }
        EXPECT_NO_THROW(msg_file::Read(cfb::File::FromMemory(objects[n])));
        CheckStorage(attach.get(), objects[n]);
    }

    // Saved as .msg, each object is its bytes again.
    const std::string saved = logon.dir + "/ole.msg";
    ASSERT_EQ(SaveMessageAsMsg(message.get(), saved), S_OK);
    WalkedMessage m;
    Walk walk;
    ASSERT_EQ(WalkMsgFile(saved, m, walk), "");
    ASSERT_EQ(m.attachments.size(), objects.size());
    for (size_t n = 0; n < objects.size(); ++n)
        EXPECT_EQ(m.attachments[n].data, objects[n]);
}

} // namespace
} // namespace dravik::mapi32::testing

namespace dravik::mapi32::testing {
namespace {

// A message whose recipient and attachment tables outgrow their heaps (their
// rows in a subnode of the table's own node) reads back whole, and saves.
TEST(StoreWriterTables, ManyRecipientsAndAttachmentsReadBack)
{
    StoreLogon logon;
    pst::writer::Message source;
    source.props.set(0x0037001F, pst::writer::PropValue::unicode("Many"));
    for (int i = 0; i < 200; ++i) {
        pst::writer::Recipient r;
        r.props.set(0x3001001F, pst::writer::PropValue::unicode("Recipient " + std::to_string(i)));
        source.recipients.push_back(r);
    }
    for (int i = 0; i < 120; ++i) {
        pst::writer::Attachment a;
        a.props.set(0x3707001F, pst::writer::PropValue::unicode("f" + std::to_string(i)));
        a.data = {static_cast<uint8_t>(i)};
        source.attachments.push_back(a);
    }
    Ref<IMessage> m = WriteAndOpen(logon, source);
    ASSERT_TRUE(m);
    Walk walk;
    WalkedMessage wm;
    walk.Message(m.get(), wm, "m");
    EXPECT_TRUE(walk.failures.empty());
    EXPECT_EQ(wm.recipients.size(), 200u);
    EXPECT_EQ(wm.attachments.size(), 120u);
}

} // namespace
} // namespace dravik::mapi32::testing

namespace dravik::mapi32::testing {
namespace {

// An OLE object inside a .msg (its storage under the attachment) reads as the
// bytes of a compound file holding that storage.
TEST(OleAttachment, MsgObjectStorageReadsAsCompoundFile)
{
    const auto dir = std::filesystem::path(DRAVIK_SAMPLES_DIR) / ".." / "msg";
    auto source = cfb::File::Open((dir / "msgreader-attachment-files.msg").string());
    auto object = cfb::File::Open((dir / "msgreader-simple.msg").string());
    char tmpl[] = "/tmp/dravik-olemsg-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    const std::string path = std::string(tmpl) + "/ole.msg";
    {
        cfb::Writer w(path);
        const std::string first = msg_file::AttachmentStorageName(0);
        std::function<void(const cfb::Storage&, cfb::Writer::Dir&, bool)> copy = [&](const cfb::Storage& s,
                                                                                   cfb::Writer::Dir& d, bool ole) {
            for (const cfb::Storage::Entry& c : s.Children()) {
                if (c.storage) {
                    cfb::Writer::Dir sub = d.AddStorage(c.name);
                    copy(s.Child(c.name), sub, c.name == first);
                    continue;
                }
                std::vector<uint8_t> bytes = s.ReadStream(c.name);
                if (ole && c.name == msg_file::kPropertiesStream) {
                    // PR_ATTACH_METHOD becomes ATTACH_OLE.
                    for (size_t at = msg_file::kSubHeader; at + 16 <= bytes.size(); at += 16)
                        if (bytes[at] == 0x03 && bytes[at + 1] == 0x00 && bytes[at + 2] == 0x05 && bytes[at + 3] == 0x37)
                            bytes[at + 8] = 6;
                }
                d.AddStream(c.name, bytes);
            }
            if (ole) {
                cfb::Writer::Dir obj = d.AddStorage(msg_file::kEmbeddedStorage);
                uint64_t budget = object->Size();
                obj.CopyFrom(object->Root(), budget);
            }
        };
        copy(source->Root(), w.Root(), false);
        w.Close();
    }
    WalkedMessage m;
    Walk walk;
    ASSERT_EQ(WalkMsgFile(path, m, walk), "");
    EXPECT_TRUE(walk.failures.empty());
    ASSERT_EQ(m.attachments.size(), 3u);
    EXPECT_FALSE(m.attachments[0].embedded);
    // The object's bytes are a compound file holding the storage: here a message that reads as one.
    auto inner = msg_file::Read(cfb::File::FromMemory(m.attachments[0].data));
    const pst::Property* subject = inner->message.values.find(0x0037);
    ASSERT_TRUE(subject);
    EXPECT_EQ(subject->utf8(), "Simple");
    // And as a storage: the object's own elements.
    {
        LPMDB mdb = nullptr;
        ASSERT_EQ(OpenMsgImage(msg_file::ReadFile(path), "ole.msg", &mdb), S_OK);
        Ref<IMsgStore> store(mdb);
        ULONG type = 0;
        LPUNKNOWN unk = nullptr;
        std::vector<uint8_t> eid;
        {
            ASSERT_EQ(store->OpenEntry(0, nullptr, nullptr, 0, &type, &unk), S_OK);
            Ref<IMAPIFolder> root(static_cast<IMAPIFolder*>(unk));
            LPMAPITABLE t = nullptr;
            ASSERT_EQ(root->GetContentsTable(0, &t), S_OK);
            Ref<IMAPITable> contents(t);
            LPSRowSet rows = nullptr;
            SizedSPropTagArray(1, one) = {1, {PR_ENTRYID}};
            ASSERT_EQ(HrQueryAllRows(contents.get(), reinterpret_cast<LPSPropTagArray>(&one), nullptr, nullptr, 0, &rows), S_OK);
            ASSERT_EQ(rows->cRows, 1u);
            const SBinary& b = rows->aRow[0].lpProps[0].Value.bin;
            eid.assign(b.lpb, b.lpb + b.cb);
            FreeProws(rows);
        }
        ASSERT_EQ(store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr, 0,
                                   &type, &unk), S_OK);
        Ref<IMessage> message(static_cast<IMessage*>(unk));
        LPATTACH a = nullptr;
        ASSERT_EQ(message->OpenAttach(0, nullptr, 0, &a), S_OK);
        Ref<IAttach> attach(a);
        CheckStorage(attach.get(), Load((dir / "msgreader-simple.msg").string()));
    }
    std::filesystem::remove_all(tmpl);
}

} // namespace
} // namespace dravik::mapi32::testing
