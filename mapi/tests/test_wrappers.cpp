// Traced wrappers without an object: what they write and return.
#include "mapi/MAPIWrappers.h"
#include "mapi32/mapicode.h"

#include <gtest/gtest.h>

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

} // namespace

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
