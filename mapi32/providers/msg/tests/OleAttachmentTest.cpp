// OLE attachments (attach method 6) of a store file: PR_ATTACH_DATA_OBJ names
// a subnode holding the object's compound file, which reads as its bytes
// through GetProps and OpenProperty, saves as a file, and saves into a .msg.
#include "MsgWalk.h"

#include "mapi32/providers/msg/cfb.h"
#include "mapi32/providers/msg/msg_writer.h"
#include "mapi32/providers/pst/tests/StoreLogon.h"

#include "StoreWriter.h"

#include <gtest/gtest.h>

#include <fstream>

namespace dravik::mapi32::testing {
namespace {

std::vector<uint8_t> Load(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
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
    const std::string store = logon.dir + "/ole.pst";
    {
        pst::writer::StoreWriter w(store, {});
        pst::writer::Message m;
        m.props.set(0x0037001F, pst::writer::PropValue::unicode("With OLE objects"));
        for (const auto& bytes : objects) {
            pst::writer::Attachment a;
            a.props.set(0x3001001F, pst::writer::PropValue::unicode("Object"));
            a.oleObject = bytes;
            m.attachments.push_back(a);
        }
        w.addMessage(w.ipmSubtree(), m);
        w.finish();
    }
    ASSERT_EQ(logon.Open(store), S_OK);
    // The message: the IPM subtree's one message.
    ULONG type = 0;
    LPUNKNOWN unk = nullptr;
    ASSERT_EQ(logon.store->OpenEntry(0, nullptr, nullptr, 0, &type, &unk), S_OK);
    Ref<IMAPIFolder> root(static_cast<IMAPIFolder*>(unk));
    LPMAPITABLE t = nullptr;
    ASSERT_EQ(root->GetHierarchyTable(0, &t), S_OK);
    Ref<IMAPITable> folders(t);
    LPSRowSet rows = nullptr;
    SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
    ASSERT_EQ(HrQueryAllRows(folders.get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
    Ref<IMessage> message;
    for (ULONG i = 0; i < rows->cRows && !message; ++i) {
        const SBinary& eid = rows->aRow[i].lpProps[0].Value.bin;
        ASSERT_EQ(logon.store->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, 0, &type, &unk), S_OK);
        Ref<IMAPIFolder> folder(static_cast<IMAPIFolder*>(unk));
        ASSERT_EQ(folder->GetContentsTable(0, &t), S_OK);
        Ref<IMAPITable> contents(t);
        LPSRowSet msgs = nullptr;
        SizedSPropTagArray(1, one) = {1, {PR_ENTRYID}};
        ASSERT_EQ(HrQueryAllRows(contents.get(), reinterpret_cast<LPSPropTagArray>(&one), nullptr, nullptr, 0, &msgs), S_OK);
        if (msgs->cRows == 1) {
            const SBinary& meid = msgs->aRow[0].lpProps[0].Value.bin;
            ASSERT_EQ(logon.store->OpenEntry(meid.cb, reinterpret_cast<LPENTRYID>(meid.lpb), nullptr, 0, &type, &unk), S_OK);
            message.reset(static_cast<IMessage*>(unk));
        }
        FreeProws(msgs);
    }
    FreeProws(rows);
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
