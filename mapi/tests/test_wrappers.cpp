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
struct EmptyCase
{
    const char* pszName;
    std::function<HRESULT(CMAPITraceSlot*)> call;
    const char* pszLine;
    HRESULT hr;
};

template <class W, class Fn>
std::function<HRESULT(CMAPITraceSlot*)> OnEmpty(Fn fn)
{
    return [fn](CMAPITraceSlot* pSlot) {
        W wrapper;
        wrapper.Attach(nullptr, pSlot);
        return fn(wrapper);
    };
}

// Table outputs must keep a null table; wrapper outputs must stay empty.
HRESULT TableStaysNull(HRESULT hr, const CTableRef& table)
{
    EXPECT_EQ(table.Get(), nullptr);
    return hr;
}

HRESULT OutputStaysEmpty(HRESULT hr, const CMAPIWrapper& out)
{
    EXPECT_EQ(out.m_pObj, nullptr);
    EXPECT_EQ(out.m_ppTrace, nullptr);
    return hr;
}

SPropValue NoEntry()
{
    SPropValue entry{};
    entry.ulPropTag = PR_ENTRYID;
    return entry;
}

const EmptyCase kEmptyCases[] = {
    {"Session.Logoff", OnEmpty<CSessionWrapper>([](CSessionWrapper& w) { return w.Logoff(0, 2); }), "", S_OK},
    {"Session.GetMsgStoresTable", OnEmpty<CSessionWrapper>([](CSessionWrapper& w) {
         CTableRef t;
         return TableStaysNull(w.GetMsgStoresTable(t), t);
     }),
     "IMAPISession->GetMsgStoresTable()\n", MAPI_E_INVALID_PARAMETER},
    {"Session.GetStatusTable", OnEmpty<CSessionWrapper>([](CSessionWrapper& w) {
         CTableRef t;
         return TableStaysNull(w.GetStatusTable(t), t);
     }),
     "IMAPISession->GetStatusTable()\n", MAPI_E_INVALID_PARAMETER},
    {"Session.OpenMsgStore", OnEmpty<CSessionWrapper>([](CSessionWrapper& w) {
         CMsgStoreWrapper out;
         return OutputStaysEmpty(w.OpenMsgStore(NoEntry(), out), out);
     }),
     "IMAPISession->OpenMsgStore()\n", MAPI_E_INVALID_PARAMETER},
    {"Session.AdminServices", OnEmpty<CSessionWrapper>([](CSessionWrapper& w) {
         CServiceAdminWrapper out;
         return OutputStaysEmpty(w.AdminServices(out), out);
     }),
     "IMAPISession->AdminServices()\n", MAPI_E_INVALID_PARAMETER},
    {"Session.OpenAddressBook", OnEmpty<CSessionWrapper>([](CSessionWrapper& w) {
         CAddrBookWrapper out;
         return OutputStaysEmpty(w.OpenAddressBook(0, nullptr, 0, out), out);
     }),
     "IMAPISession->OpenAddressBook()\n", MAPI_E_INVALID_PARAMETER},
    {"ProfAdmin.CreateProfile", OnEmpty<CProfAdminWrapper>([](CProfAdminWrapper& w) { return w.CreateProfile("P", 0); }),
     "IProfAdmin->CreateProfile()\n", MAPI_E_INVALID_PARAMETER},
    {"ProfAdmin.DeleteProfile", OnEmpty<CProfAdminWrapper>([](CProfAdminWrapper& w) { return w.DeleteProfile("P"); }),
     "IProfAdmin->DeleteProfile()\n", MAPI_E_INVALID_PARAMETER},
    {"ProfAdmin.AdminServices", OnEmpty<CProfAdminWrapper>([](CProfAdminWrapper& w) {
         CServiceAdminWrapper out;
         return OutputStaysEmpty(w.AdminServices("P", nullptr, 0, 0, out), out);
     }),
     "IProfAdmin->AdminServices()\n", MAPI_E_INVALID_PARAMETER},
    {"ServiceAdmin.CreateMsgService", OnEmpty<CServiceAdminWrapper>([](CServiceAdminWrapper& w) {
         return w.CreateMsgService("MSPST MS", "P", 0);
     }),
     "IServiceAdmin->CreateMsgService()\n", MAPI_E_INVALID_PARAMETER},
    {"ServiceAdmin.GetMsgServiceTable", OnEmpty<CServiceAdminWrapper>([](CServiceAdminWrapper& w) {
         CTableRef t;
         return TableStaysNull(w.GetMsgServiceTable(t), t);
     }),
     "IServiceAdmin->GetMsgServiceTable()\n", MAPI_E_INVALID_PARAMETER},
    {"ServiceAdmin.ConfigureService", OnEmpty<CServiceAdminWrapper>([](CServiceAdminWrapper& w) {
         return w.ConfigureService("MSPST MS", "/x.pst", nullptr);
     }),
     "IServiceAdmin->GetMsgServiceTable()\n", MAPI_E_INVALID_PARAMETER},
    {"MsgStore.OpenRoot", OnEmpty<CMsgStoreWrapper>([](CMsgStoreWrapper& w) {
         CFolderWrapper out;
         return OutputStaysEmpty(w.OpenRoot(out), out);
     }),
     "IMAPIStore->OpenEntry()\n", MAPI_E_INVALID_PARAMETER},
    {"MsgStore.OpenEntry", OnEmpty<CMsgStoreWrapper>([](CMsgStoreWrapper& w) {
         CMAPIWrapper out;
         return OutputStaysEmpty(w.OpenEntry(NoEntry(), out, 0), out);
     }),
     "IMAPIStore->OpenEntry()\n", MAPI_E_INVALID_PARAMETER},
    {"Folder.GetContentsTable", OnEmpty<CFolderWrapper>([](CFolderWrapper& w) {
         CTableRef t;
         return TableStaysNull(w.GetContentsTable(t), t);
     }),
     "IMAPIFolder->GetContentsTable()\n", MAPI_E_INVALID_PARAMETER},
    {"Folder.GetHierarchyTable", OnEmpty<CFolderWrapper>([](CFolderWrapper& w) {
         CTableRef t;
         return TableStaysNull(w.GetHierarchyTable(t), t);
     }),
     "IMAPIFolder->GetHierarchyTable()\n", MAPI_E_INVALID_PARAMETER},
    {"Folder.OpenEntry", OnEmpty<CFolderWrapper>([](CFolderWrapper& w) {
         CMAPIWrapper out;
         return OutputStaysEmpty(w.OpenEntry(NoEntry(), out), out);
     }),
     "IMAPIFolder->OpenEntry()\n", MAPI_E_INVALID_PARAMETER},
    {"Message.GetRecipientTable", OnEmpty<CMessageWrapper>([](CMessageWrapper& w) {
         CTableRef t;
         return TableStaysNull(w.GetRecipientTable(t), t);
     }),
     "", E_FAIL},
    {"Message.GetAttachmentTable", OnEmpty<CMessageWrapper>([](CMessageWrapper& w) {
         CTableRef t;
         return TableStaysNull(w.GetAttachmentTable(t), t);
     }),
     "", E_FAIL},
    {"Message.OpenAttach", OnEmpty<CMessageWrapper>([](CMessageWrapper& w) {
         LPATTACH pAttach = nullptr;
         const HRESULT hr = w.OpenAttach(0, pAttach);
         EXPECT_EQ(pAttach, nullptr);
         return hr;
     }),
     "IMessage->OpenAttach()\n", MAPI_E_INVALID_PARAMETER},
    {"AddrBook.OpenRoot", OnEmpty<CAddrBookWrapper>([](CAddrBookWrapper& w) {
         CFolderWrapper out;
         return OutputStaysEmpty(w.OpenRoot(out), out);
     }),
     "IADRBook->OpenEntry()\n", MAPI_E_INVALID_PARAMETER},
    {"AddrBook.OpenEntry", OnEmpty<CAddrBookWrapper>([](CAddrBookWrapper& w) {
         CMAPIWrapper out;
         return OutputStaysEmpty(w.OpenEntry(NoEntry(), out, 0), out);
     }),
     "IADRBook->OpenEntry()\n", MAPI_E_INVALID_PARAMETER},
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
    EXPECT_EQ(m_session.Logoff(0, 0), S_OK);
    EXPECT_FALSE(m_session.IsLoggedOn());
    EXPECT_EQ(m_profAdmin.DeleteProfile("WALK"), S_OK);
    EXPECT_EQ(m_writer.strText,
              "IProfAdmin->CreateProfile()\n"
              "IProfAdmin->AdminServices()\n"
              "IServiceAdmin->CreateMsgService()\n"
              "IServiceAdmin->GetMsgServiceTable()\n"
              "HrQueryAllRows()\n"
              " IServiceAdmin->ConfigureMsgService()\n"
              "MAPILogonEx()\n"
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
              "IMessage->OpenAttach()\n"
              "IMAPISession->Logoff()\n"
              "IProfAdmin->DeleteProfile()\n");
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
    EXPECT_EQ(m_session.Logoff(0, 0), S_OK);
    EXPECT_EQ(m_profAdmin.DeleteProfile("BOOK"), S_OK);
    EXPECT_EQ(m_writer.strText,
              "IProfAdmin->CreateProfile()\n"
              "IProfAdmin->AdminServices()\n"
              "IServiceAdmin->CreateMsgService()\n"
              "IServiceAdmin->GetMsgServiceTable()\n"
              "HrQueryAllRows()\n"
              " IServiceAdmin->ConfigureMsgService()\n"
              "MAPILogonEx()\n"
              "IMAPISession->GetStatusTable()\n"
              "IProfAdmin->GetProfileTable()\n"
              "IMAPISession->AdminServices()\n"
              "IServiceAdmin->GetMsgServiceTable()\n"
              "IMAPISession->OpenAddressBook()\n"
              "IADRBook->OpenEntry()\n"
              "IMAPIFolder->GetHierarchyTable()\n"
              "IADRBook->OpenEntry()\n"
              "IADRBook->OpenEntry()\n"
              "IMAPISession->Logoff()\n"
              "IProfAdmin->DeleteProfile()\n");
}
