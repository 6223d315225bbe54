// Traced wrappers without an object: what they write and return.
#include "mapi/MAPIWrappers.h"
#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace {

struct RecordingWriter : CMAPITraceWriter
{
    std::string strText;
    int Write(const char* pszLine) override
    {
        strText += pszLine;
        return 1;
    }
};

// Every traced operation on an empty wrapper: the line it writes, what it
// returns, and that its output stays as it was.
using EmptyCall = std::function<HRESULT(CMAPITraceSlot*)>;

struct EmptyCase
{
    const char* pszName;
    EmptyCall call;
    const char* pszLine;
    HRESULT hr;
};

// fn(wrapper) on an empty wrapper of type W bound to the slot.
template <class W, class Fn>
EmptyCall OnEmpty(Fn fn)
{
    return [fn](CMAPITraceSlot* pSlot) {
        W wrapper;
        wrapper.Attach(nullptr, pSlot);
        return fn(wrapper);
    };
}

// A table request: the output table stays null.
template <class W>
EmptyCall Table(HRESULT (W::*method)(CTableRef&))
{
    return OnEmpty<W>([method](W& wrapper) {
        CTableRef table;
        const HRESULT hr = (wrapper.*method)(table);
        EXPECT_EQ(table.Get(), nullptr);
        return hr;
    });
}

// An open into an output wrapper of type Out: the output stays empty.
template <class W, class Out, class Fn>
EmptyCall Open(Fn fn)
{
    return OnEmpty<W>([fn](W& wrapper) {
        Out out;
        const HRESULT hr = fn(wrapper, out);
        EXPECT_EQ(out.m_pObj, nullptr);
        EXPECT_EQ(out.m_ppTrace, nullptr);
        return hr;
    });
}

const SPropValue kNoEntry{PR_ENTRYID, 0, {}};
constexpr HRESULT kInvalid = MAPI_E_INVALID_PARAMETER;

const EmptyCase kEmptyCases[] = {
    {"Session.Logoff", OnEmpty<CSessionWrapper>([](auto& w) { return w.Logoff(0, 2); }), "", S_OK},
    {"Session.GetMsgStoresTable", Table(&CSessionWrapper::GetMsgStoresTable), "IMAPISession->GetMsgStoresTable()\n",
     kInvalid},
    {"Session.GetStatusTable", Table(&CSessionWrapper::GetStatusTable), "IMAPISession->GetStatusTable()\n",
     kInvalid},
    {"Session.OpenMsgStore",
     Open<CSessionWrapper, CMsgStoreWrapper>([](auto& w, auto& out) { return w.OpenMsgStore(kNoEntry, out); }),
     "IMAPISession->OpenMsgStore()\n", kInvalid},
    {"Session.AdminServices",
     Open<CSessionWrapper, CServiceAdminWrapper>([](auto& w, auto& out) { return w.AdminServices(out); }),
     "IMAPISession->AdminServices()\n", kInvalid},
    {"Session.OpenAddressBook",
     Open<CSessionWrapper, CAddrBookWrapper>([](auto& w, auto& out) { return w.OpenAddressBook(0, nullptr, 0, out); }),
     "IMAPISession->OpenAddressBook()\n", kInvalid},
    {"ProfAdmin.CreateProfile", OnEmpty<CProfAdminWrapper>([](auto& w) { return w.CreateProfile("P", 0); }),
     "IProfAdmin->CreateProfile()\n", kInvalid},
    {"ProfAdmin.DeleteProfile", OnEmpty<CProfAdminWrapper>([](auto& w) { return w.DeleteProfile("P"); }),
     "IProfAdmin->DeleteProfile()\n", kInvalid},
    {"ProfAdmin.AdminServices", Open<CProfAdminWrapper, CServiceAdminWrapper>([](auto& w, auto& out) {
         return w.AdminServices("P", nullptr, 0, 0, out);
     }),
     "IProfAdmin->AdminServices()\n", kInvalid},
    {"ServiceAdmin.CreateMsgService",
     OnEmpty<CServiceAdminWrapper>([](auto& w) { return w.CreateMsgService("MSPST MS", "P", 0); }),
     "IServiceAdmin->CreateMsgService()\n", kInvalid},
    {"ServiceAdmin.GetMsgServiceTable", Table(&CServiceAdminWrapper::GetMsgServiceTable),
     "IServiceAdmin->GetMsgServiceTable()\n", kInvalid},
    {"ServiceAdmin.ConfigureService",
     OnEmpty<CServiceAdminWrapper>([](auto& w) { return w.ConfigureService("MSPST MS", "/x.pst", nullptr); }),
     "IServiceAdmin->GetMsgServiceTable()\n", kInvalid},
    {"MsgStore.OpenRoot", Open<CMsgStoreWrapper, CFolderWrapper>([](auto& w, auto& out) { return w.OpenRoot(out); }),
     "IMAPIStore->OpenEntry()\n", kInvalid},
    {"MsgStore.OpenEntry",
     Open<CMsgStoreWrapper, CMAPIWrapper>([](auto& w, auto& out) { return w.OpenEntry(kNoEntry, out, 0); }),
     "IMAPIStore->OpenEntry()\n", kInvalid},
    {"Folder.GetContentsTable", Table(&CFolderWrapper::GetContentsTable), "IMAPIFolder->GetContentsTable()\n",
     kInvalid},
    {"Folder.GetHierarchyTable", Table(&CFolderWrapper::GetHierarchyTable), "IMAPIFolder->GetHierarchyTable()\n",
     kInvalid},
    {"Folder.OpenEntry",
     Open<CFolderWrapper, CMAPIWrapper>([](auto& w, auto& out) { return w.OpenEntry(kNoEntry, out); }),
     "IMAPIFolder->OpenEntry()\n", kInvalid},
    {"Message.GetRecipientTable", Table(&CMessageWrapper::GetRecipientTable), "", E_FAIL},
    {"Message.GetAttachmentTable", Table(&CMessageWrapper::GetAttachmentTable), "", E_FAIL},
    {"Message.OpenAttach", OnEmpty<CMessageWrapper>([](auto& w) {
         LPATTACH pAttach = nullptr;
         const HRESULT hr = w.OpenAttach(0, pAttach);
         EXPECT_EQ(pAttach, nullptr);
         return hr;
     }),
     "IMessage->OpenAttach()\n", kInvalid},
    {"AddrBook.OpenRoot", Open<CAddrBookWrapper, CFolderWrapper>([](auto& w, auto& out) { return w.OpenRoot(out); }),
     "IADRBook->OpenEntry()\n", kInvalid},
    {"AddrBook.OpenEntry",
     Open<CAddrBookWrapper, CMAPIWrapper>([](auto& w, auto& out) { return w.OpenEntry(kNoEntry, out, 0); }),
     "IADRBook->OpenEntry()\n", kInvalid},
};

} // namespace

class EmptyWrapper : public ::testing::TestWithParam<EmptyCase>
{
};

TEST_P(EmptyWrapper, WritesItsLineAndFailsWithoutTouchingTheOutput)
{
    const EmptyCase& c = GetParam();
    RecordingWriter writer;
    CMAPITraceSlot slot = &writer;
    EXPECT_EQ(c.call(&slot), c.hr);
    EXPECT_EQ(writer.strText, c.pszLine);
}

INSTANTIATE_TEST_SUITE_P(Wrappers, EmptyWrapper, ::testing::ValuesIn(kEmptyCases),
                         [](const ::testing::TestParamInfo<EmptyCase>& info) {
                             std::string strName = info.param.pszName;
                             std::replace(strName.begin(), strName.end(), '.', '_');
                             return strName;
                         });

TEST(Wrappers, EmptyWrappersWriteNothingWhereTheyMakeNoCall)
{
    RecordingWriter writer;
    CMAPITraceSlot slot = &writer;

    CSessionWrapper session;
    session.SetTrace(&slot);
    EXPECT_FALSE(session.IsLoggedOn());
    EXPECT_EQ(session.Logoff(0, 2), S_OK);

    CMessageWrapper message;
    message.Attach(nullptr, &slot);
    CTableRef table;
    EXPECT_EQ(message.GetRecipientTable(table), E_FAIL);
    EXPECT_EQ(message.GetAttachmentTable(table), E_FAIL);
    EXPECT_EQ(table.Get(), nullptr);
    EXPECT_EQ(writer.strText, "");
}

TEST(Wrappers, LineIsWrittenBeforeTheCallWhateverItsOutcome)
{
    RecordingWriter writer;
    CMAPITraceSlot slot = &writer;
    CFolderWrapper folder;
    folder.Attach(nullptr, &slot);
    CTableRef table;
    EXPECT_TRUE(FAILED(folder.GetContentsTable(table)));
    EXPECT_EQ(writer.strText, "IMAPIFolder->GetContentsTable()\n");

    // A slot without a writer, or no slot: nothing written, no crash.
    CMAPITraceSlot empty = nullptr;
    folder.m_ppTrace = &empty;
    folder.GetHierarchyTable(table);
    folder.m_ppTrace = nullptr;
    folder.GetHierarchyTable(table);
    EXPECT_EQ(writer.strText, "IMAPIFolder->GetContentsTable()\n");
}

TEST(Wrappers, RowSetOfNoTableFails)
{
    CTableRef table;
    CRowSet rows(TRUE);
    EXPECT_EQ(rows.QueryAll(table), E_FAIL);
    EXPECT_EQ(rows.Rows(), nullptr);
}

namespace {

// The wrappers over a real store in a profile of the test's own: each call's
// line in order, and every result handed on with the same trace slot.
class WrapperWalk : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char szDir[] = "/tmp/dravik-wrappers-XXXXXX";
        ASSERT_NE(mkdtemp(szDir), nullptr);
        m_strDir = szDir;
        setenv("DRAVIK_MAPI_PROFILES", m_strDir.c_str(), 1);
        ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
        m_session.SetTrace(&m_slot);
    }
    void TearDown() override
    {
        MAPIUninitialize();
        std::filesystem::remove_all(m_strDir);
    }

    // A profile named pszProfile with one store service for the sample, logged on.
    void LogOn(const char* pszProfile, const char* pszSample)
    {
        const std::string strPath = std::string(DRAVIK_SAMPLES_DIR "/") + pszSample;
        ASSERT_EQ(m_session.AdminProfiles(0, m_profAdmin), S_OK);
        EXPECT_EQ(m_profAdmin.m_ppTrace, &m_slot);
        ASSERT_EQ(m_profAdmin.CreateProfile(pszProfile, 0), S_OK);
        CServiceAdminWrapper services;
        ASSERT_EQ(m_profAdmin.AdminServices(pszProfile, nullptr, 0, 0, services), S_OK);
        EXPECT_EQ(services.m_ppTrace, &m_slot);
        ASSERT_EQ(services.CreateMsgService("MSPST MS", pszProfile, 0), S_OK);
        ASSERT_EQ(services.ConfigureService("MSPST MS", strPath.c_str(), nullptr), S_OK);
        ASSERT_EQ(m_session.Logon(pszProfile, nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED), S_OK);
        ASSERT_TRUE(m_session.IsLoggedOn());
        EXPECT_EQ(m_writer.strText, "IProfAdmin->CreateProfile()\n"
                                    "IProfAdmin->AdminServices()\n"
                                    "IServiceAdmin->CreateMsgService()\n"
                                    "IServiceAdmin->GetMsgServiceTable()\n"
                                    "HrQueryAllRows()\n"
                                    " IServiceAdmin->ConfigureMsgService()\n"
                                    "MAPILogonEx()\n");
        m_writer.strText.clear();
    }

    void LogOff(const char* pszProfile)
    {
        m_writer.strText.clear();
        EXPECT_EQ(m_session.Logoff(0, 0), S_OK);
        EXPECT_FALSE(m_session.IsLoggedOn());
        EXPECT_EQ(m_profAdmin.DeleteProfile(pszProfile), S_OK);
        EXPECT_EQ(m_writer.strText, "IMAPISession->Logoff()\nIProfAdmin->DeleteProfile()\n");
    }

    std::string m_strDir;
    RecordingWriter m_writer;
    CMAPITraceSlot m_slot = &m_writer;
    CSessionWrapper m_session;
    CProfAdminWrapper m_profAdmin;
};

const SPropValue* FindIn(const SRow& row, ULONG ulPropTag)
{
    return PpropFindProp(row.lpProps, row.cValues, ulPropTag);
}

// Depth first from folder to the first folder with messages; its contents
// table goes to contents.
bool FindMessages(CFolderWrapper& folder, CTableRef& contents, CRowSet& messages)
{
    if (folder.GetContentsTable(contents) == S_OK && messages.QueryAll(contents) == S_OK)
        return true;
    CTableRef hierarchy;
    CRowSet children(TRUE);
    if (folder.GetHierarchyTable(hierarchy) != S_OK || children.QueryAll(hierarchy) != S_OK)
        return false;
    for (ULONG i = 0; i < children.Rows()->cRows; ++i) {
        const SPropValue* pEntry = FindIn(children.Rows()->aRow[i], PR_ENTRYID);
        CFolderWrapper child;
        if (pEntry == nullptr || folder.OpenEntry(*pEntry, child) != S_OK)
            continue;
        EXPECT_EQ(child.m_ppTrace, folder.m_ppTrace);
        if (FindMessages(child, contents, messages))
            return true;
    }
    return false;
}

} // namespace

TEST_F(WrapperWalk, StoreFolderMessageAndAttachment)
{
    LogOn("WALK", "pstsdk-submessage.pst");
    {
        CTableRef stores;
        ASSERT_EQ(m_session.GetMsgStoresTable(stores), S_OK);
        CRowSet storeRows(TRUE);
        ASSERT_EQ(storeRows.QueryAll(stores), S_OK);
        ASSERT_EQ(storeRows.Rows()->cRows, 1u);
        const SPropValue* pStoreEntry = FindIn(storeRows.Rows()->aRow[0], PR_ENTRYID);
        ASSERT_NE(pStoreEntry, nullptr);
        CMsgStoreWrapper store;
        ASSERT_EQ(m_session.OpenMsgStore(*pStoreEntry, store), S_OK);
        EXPECT_EQ(store.m_ppTrace, &m_slot);
        ASSERT_NE(store.Obj(), nullptr);

        CFolderWrapper root;
        ASSERT_EQ(store.OpenRoot(root), S_OK);
        ASSERT_NE(root.Obj(), nullptr);
        CTableRef contents;
        CRowSet messages(TRUE);
        ASSERT_TRUE(FindMessages(root, contents, messages));

        const SPropValue* pMessageEntry = FindIn(messages.Rows()->aRow[0], PR_ENTRYID);
        ASSERT_NE(pMessageEntry, nullptr);
        CMessageWrapper message;
        ASSERT_EQ(store.OpenEntry(*pMessageEntry, message, 0), S_OK);
        ASSERT_NE(message.Obj(), nullptr);
        EXPECT_EQ(message.m_ppTrace, &m_slot);
        CTableRef recipients;
        ASSERT_EQ(message.GetRecipientTable(recipients), S_OK);
        EXPECT_NE(recipients.Get(), nullptr);
        CTableRef attachments;
        ASSERT_EQ(message.GetAttachmentTable(attachments), S_OK);
        CRowSet attachRows(TRUE);
        ASSERT_EQ(attachRows.QueryAll(attachments), S_OK);
        const SPropValue* pNum = FindIn(attachRows.Rows()->aRow[0], PR_ATTACH_NUM);
        ASSERT_NE(pNum, nullptr);
        LPATTACH pAttach = nullptr;
        ASSERT_EQ(message.OpenAttach(static_cast<ULONG>(pNum->Value.l), pAttach), S_OK);
        ASSERT_NE(pAttach, nullptr);
        pAttach->Release();
        // A failing open keeps the output as it was.
        LPATTACH pKept = pAttach;
        EXPECT_TRUE(FAILED(message.OpenAttach(0x7fffffff, pKept)));
        EXPECT_EQ(pKept, pAttach);
    }
    EXPECT_EQ(m_writer.strText,
              "IMAPISession->GetMsgStoresTable()\n"
              "IMAPISession->OpenMsgStore()\n"
              "IMAPIStore->OpenEntry()\n"
              // root, then down the first child of each folder to the messages
              "IMAPIFolder->GetContentsTable()\n"
              "IMAPIFolder->GetHierarchyTable()\n"
              "IMAPIFolder->OpenEntry()\n"
              "IMAPIFolder->GetContentsTable()\n"
              "IMAPIFolder->GetHierarchyTable()\n"
              "IMAPIFolder->OpenEntry()\n"
              "IMAPIFolder->GetContentsTable()\n"
              "IMAPIFolder->GetHierarchyTable()\n"
              "IMAPIFolder->OpenEntry()\n"
              "IMAPIFolder->GetContentsTable()\n"
              "IMAPIStore->OpenEntry()\n"
              "IMessage->GetRecipientTable()\n"
              "IMessage->GetAttachmentTable()\n"
              "IMessage->OpenAttach()\n"
              "IMessage->OpenAttach()\n");
    LogOff("WALK");
}

TEST_F(WrapperWalk, SessionTablesServicesAndAddressBook)
{
    LogOn("BOOK", "java-libpst-dist-list.pst");
    {
        CTableRef status;
        ASSERT_EQ(m_session.GetStatusTable(status), S_OK);
        EXPECT_NE(status.Get(), nullptr);
        CTableRef profiles;
        ASSERT_EQ(m_session.GetProfileTable(profiles), S_OK);
        EXPECT_NE(profiles.Get(), nullptr);
        CServiceAdminWrapper services;
        ASSERT_EQ(m_session.AdminServices(services), S_OK);
        EXPECT_EQ(services.m_ppTrace, &m_slot);
        CTableRef serviceTable;
        ASSERT_EQ(services.GetMsgServiceTable(serviceTable), S_OK);
        CRowSet serviceRows(TRUE);
        ASSERT_EQ(serviceRows.QueryAll(serviceTable), S_OK);

        CAddrBookWrapper book;
        ASSERT_EQ(m_session.OpenAddressBook(0, nullptr, 0, book), S_OK);
        EXPECT_EQ(book.m_ppTrace, &m_slot);
        CFolderWrapper bookRoot;
        ASSERT_EQ(book.OpenRoot(bookRoot), S_OK);
        EXPECT_EQ(bookRoot.m_ppTrace, &m_slot);
        CTableRef containers;
        ASSERT_EQ(bookRoot.GetHierarchyTable(containers), S_OK);
        CRowSet containerRows(TRUE);
        ASSERT_EQ(containerRows.QueryAll(containers), S_OK);
        const SPropValue* pEntry = FindIn(containerRows.Rows()->aRow[0], PR_ENTRYID);
        ASSERT_NE(pEntry, nullptr);
        CFolderWrapper container;
        ASSERT_EQ(book.OpenEntry(*pEntry, container, 0), S_OK);
        EXPECT_NE(container.Obj(), nullptr);
        // A failed open leaves the output empty.
        CMAPIWrapper none;
        SPropValue bad{};
        bad.ulPropTag = PR_ENTRYID;
        BYTE abJunk[4] = {1, 2, 3, 4};
        bad.Value.bin.cb = sizeof(abJunk);
        bad.Value.bin.lpb = abJunk;
        EXPECT_TRUE(FAILED(book.OpenEntry(bad, none, 0)));
        EXPECT_EQ(none.m_pObj, nullptr);
    }
    EXPECT_EQ(m_writer.strText,
              "IMAPISession->GetStatusTable()\n"
              "IProfAdmin->GetProfileTable()\n"
              "IMAPISession->AdminServices()\n"
              "IServiceAdmin->GetMsgServiceTable()\n"
              "IMAPISession->OpenAddressBook()\n"
              "IADRBook->OpenEntry()\n"
              "IMAPIFolder->GetHierarchyTable()\n"
              "IADRBook->OpenEntry()\n"
              "IADRBook->OpenEntry()\n");
    LogOff("BOOK");
}
