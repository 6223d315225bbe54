// The tree's rules on property values: class images, the children test, entry
// IDs, the node look, and the name an attachment is saved under.
#include "tree/AttachmentSave.h"
#include "tree/TreeRules.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

using namespace treerules;

namespace {

// Values a test builds; strings stay alive with the holder.
struct Values
{
    std::vector<SPropValue> v;
    std::vector<std::string> strings;
    std::vector<std::vector<BYTE>> blobs;
    CPropValueArray props;

    Values& Str(ULONG ulTag, std::string s)
    {
        strings.reserve(16);
        strings.push_back(std::move(s));
        SPropValue p{};
        p.ulPropTag = ulTag;
        p.Value.lpszA = strings.back().data();
        return Add(p);
    }
    Values& Long(ULONG ulTag, LONG l)
    {
        SPropValue p{};
        p.ulPropTag = ulTag;
        p.Value.l = l;
        return Add(p);
    }
    Values& Bool(ULONG ulTag, bool b)
    {
        SPropValue p{};
        p.ulPropTag = ulTag;
        p.Value.b = b ? 1 : 0;
        return Add(p);
    }
    Values& Bin(ULONG ulTag, std::vector<BYTE> bytes)
    {
        blobs.reserve(16);
        blobs.push_back(std::move(bytes));
        SPropValue p{};
        p.ulPropTag = ulTag;
        p.Value.bin.cb = static_cast<ULONG>(blobs.back().size());
        p.Value.bin.lpb = blobs.back().empty() ? nullptr : blobs.back().data();
        return Add(p);
    }
    Values& Add(const SPropValue& p)
    {
        v.reserve(16);
        v.push_back(p);
        props.AttachValues(v.data(), static_cast<ULONG>(v.size()));
        return *this;
    }
};

}  // namespace

TEST(TreeRules, ClassImagesMatchExactlyAndCaseSensitively)
{
    struct Case
    {
        const char* pszContainer;
        const char* pszMessage;
        int nExpected;
    };
    const Case cases[] = {
        {"IPF.Appointment", nullptr, 19},     {"IPF.Contact", nullptr, 20},  {"IPF.Note", nullptr, 21},
        {"IPF.StickyNote", nullptr, 22},      {"IPF.Journal", nullptr, 23},  {"IPF.Task", nullptr, 24},
        {nullptr, "IPM.Note", 25},            {nullptr, "IPM.Appointment", 26}, {nullptr, "IPM.Contact", 27},
        {nullptr, "IPM.Rule.Message", 28},    {"ipf.note", nullptr, -1},     {nullptr, "IPM.Note.SMIME", -1},
        {"IPF.Task", "IPM.Note", 24},         {"IPF.Note.Other", "IPM.Contact", 27}, {nullptr, nullptr, -1},
        {"", "", -1},
    };
    for (const Case& c : cases) {
        Values values;
        if (c.pszContainer)
            values.Str(PR_CONTAINER_CLASS, c.pszContainer);
        if (c.pszMessage)
            values.Str(PR_MESSAGE_CLASS, c.pszMessage);
        EXPECT_EQ(ImageKindFromClass(values.props), c.nExpected)
            << (c.pszContainer ? c.pszContainer : "-") << " / " << (c.pszMessage ? c.pszMessage : "-");
    }
}

TEST(TreeRules, ChildrenTest)
{
    Values folder;
    folder.Bool(PR_SUBFOLDERS, false).Long(PR_CONTENT_COUNT, 3);
    EXPECT_TRUE(HasChildren(folder.props, MAPI_FOLDER, folder.props));
    // A message's own content count does not count.
    EXPECT_FALSE(HasChildren(folder.props, MAPI_MESSAGE, folder.props));
    Values abcont;
    abcont.Long(PR_OBJECT_TYPE, MAPI_ABCONT);
    EXPECT_TRUE(HasChildren(abcont.props, -1, abcont.props));
    Values attach;
    attach.Bool(PR_HASATTACH, true);
    Values rowWithCount;
    rowWithCount.Long(PR_CONTENT_COUNT, 1);
    EXPECT_FALSE(HasChildren(attach.props, MAPI_MESSAGE, attach.props));
    EXPECT_TRUE(HasChildren(attach.props, MAPI_MESSAGE, rowWithCount.props));
    Values none;
    EXPECT_FALSE(HasChildren(none.props, -1, none.props));
}

TEST(TreeRules, AnEmptyEntryIdIsNone)
{
    Values empty;
    empty.Bin(PR_ENTRYID, {});
    EXPECT_EQ(EntryIdOf(empty.props), nullptr);
    Values error;
    error.Long(PROP_TAG(PT_ERROR, PROP_ID(PR_ENTRYID)), MAPI_E_NOT_FOUND);
    EXPECT_EQ(EntryIdOf(error.props), nullptr);
    Values some;
    some.Bin(PR_ENTRYID, {0, 0, 0, 0, 1});
    ASSERT_NE(EntryIdOf(some.props), nullptr);
    EXPECT_EQ(EntryIdOf(some.props)->Value.bin.cb, 5u);

    // A recipient row with an empty entry ID is not opened through the store.
    Values recipient;
    recipient.Bin(PR_ENTRYID, {}).Str(PR_DISPLAY_NAME, "Someone");
    const CNodeLook look = LookFromRow(recipient.props, PR_DISPLAY_NAME, MAPI_MAILUSER);
    EXPECT_EQ(EntryOpening(look, recipient.props, true), EEntryOpen::None);
    EXPECT_EQ(look.strText, "Someone");
}

// Only a store's own PR_DRAVIK_RECOVERED_ENTRYID with bytes gives it a
// "Recovered Items" node; an error value or an empty one gives none.
TEST(TreeRules, RecoveredItemsOnlyThroughTheStoresEntryId)
{
    EXPECT_TRUE(RecoveredItemsBelow(MAPI_STORE));
    EXPECT_FALSE(RecoveredItemsBelow(MAPI_FOLDER));
    Values none;
    none.Bin(PR_ENTRYID, {0, 0, 0, 0, 1});
    EXPECT_EQ(RecoveredItemsEntryId(none.props), nullptr);
    Values empty;
    empty.Bin(PR_DRAVIK_RECOVERED_ENTRYID, {});
    EXPECT_EQ(RecoveredItemsEntryId(empty.props), nullptr);
    Values error;
    error.Long(PROP_TAG(PT_ERROR, PROP_ID(PR_DRAVIK_RECOVERED_ENTRYID)), MAPI_E_NOT_FOUND);
    EXPECT_EQ(RecoveredItemsEntryId(error.props), nullptr);
    Values some;
    some.Bin(PR_DRAVIK_RECOVERED_ENTRYID, {0, 0, 0, 0, 0xE2});
    ASSERT_NE(RecoveredItemsEntryId(some.props), nullptr);
    EXPECT_EQ(RecoveredItemsEntryId(some.props)->Value.bin.cb, 5u);
}

TEST(TreeRules, RowLookAndRefinement)
{
    // Without an object type and an entry ID: kind -1, the question mark.
    Values bare;
    bare.Bool(PR_SUBFOLDERS, true).Str(PR_DISPLAY_NAME, "bare");
    CNodeLook look = LookFromRow(bare.props, PR_DISPLAY_NAME, -1);
    EXPECT_EQ(look.nKind, -1);
    EXPECT_EQ(ShownImageKind(look.nImage), IMAGE_UNKNOWN);
    EXPECT_EQ(ShownImageKind(look.nSelImage), IMAGE_UNKNOWN);
    EXPECT_TRUE(look.bChildren);
    EXPECT_EQ(EntryOpening(look, bare.props, true), EEntryOpen::None);

    // A message row: its subject; the opened message's class picks the image.
    Values row;
    row.Long(PR_OBJECT_TYPE, MAPI_MESSAGE).Str(PR_SUBJECT, "row subject").Bin(PR_ENTRYID, {1, 2, 3});
    look = LookFromRow(row.props, PR_DISPLAY_NAME, -1);
    EXPECT_EQ(look.strText, "row subject");
    EXPECT_EQ(EntryOpening(look, row.props, true), EEntryOpen::ThroughStore);
    Values entry;
    entry.Long(PR_OBJECT_TYPE, MAPI_MESSAGE).Str(PR_MESSAGE_CLASS, "IPM.Contact");
    RefineWithEntry(look, entry.props, row.props, PR_DISPLAY_NAME, -1);
    EXPECT_EQ(look.strText, "row subject");  // the object lacks a subject: the row's stays
    EXPECT_EQ(look.nImage, 27);
    EXPECT_TRUE(MessageGetsGroups(look.nKind, true));
    EXPECT_FALSE(MessageGetsGroups(look.nKind, false));

    // A folder: the row's class, else the plain pair (open normally, closed when selected).
    Values folderRow;
    folderRow.Str(PR_CONTAINER_CLASS, "ipf.note");
    CNodeLook folder;
    FolderImages(folder, folderRow.props);
    EXPECT_EQ(folder.nImage, IMAGE_PLAIN_FOLDER);
    EXPECT_EQ(folder.nSelImage, IMAGE_PLAIN_FOLDER_SELECTED);
}

TEST(TreeRules, GroupsAndEmbeddedMessages)
{
    Values noAttach;
    Values attachRow;
    attachRow.Bool(PR_HASATTACH, true);
    EXPECT_FALSE(GroupWanted(kGroups[0], noAttach.props, nullptr));
    EXPECT_TRUE(GroupWanted(kGroups[0], noAttach.props, &attachRow.props));
    EXPECT_TRUE(GroupWanted(kGroups[0], attachRow.props, nullptr));
    EXPECT_TRUE(GroupWanted(kGroups[1], noAttach.props, nullptr));
    EXPECT_STREQ(kGroups[0].pszName, "Attachments");
    EXPECT_STREQ(kGroups[1].pszName, "Recipients");

    Values embedded;
    embedded.Long(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG);
    Values byValue;
    byValue.Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE);
    EXPECT_TRUE(AttachmentIsEmbedded(embedded.props, nullptr));
    EXPECT_FALSE(AttachmentIsEmbedded(byValue.props, &embedded.props));  // the row's method wins
    EXPECT_TRUE(AttachmentIsEmbedded(noAttach.props, &embedded.props));
    EXPECT_FALSE(AttachmentIsEmbedded(noAttach.props, nullptr));
    EXPECT_FALSE(EmbedTooDeep(kMaxEmbedDepth));
    EXPECT_TRUE(EmbedTooDeep(kMaxEmbedDepth + 1));
}

// The label of an attachment: its file name, else the row's display name,
// else the long file name, else "Attachment N" (without an attachment object
// there is no embedded subject to ask).
TEST(TreeRules, AttachmentLabels)
{
    struct Case
    {
        const char* pszDisplay; // the text the row gave
        const char* pszShort;
        const char* pszLong;
        const char* pszExpected;
    };
    const Case cases[] = {
        {"Report", "REPORT~1.DOC", "report final.docx", "REPORT~1.DOC"},
        {"Report", nullptr, "report final.docx", "Report"},
        {"", nullptr, "report final.docx", "report final.docx"},
        {"", "", "", "Attachment 3"},
        {"", nullptr, nullptr, "Attachment 3"},
    };
    for (const Case& c : cases) {
        Values row;
        row.Long(PR_ATTACH_NUM, 3);
        if (c.pszShort)
            row.Str(PR_ATTACH_FILENAME, c.pszShort);
        if (c.pszLong)
            row.Str(PR_ATTACH_LONG_FILENAME, c.pszLong);
        CNodeLook look;
        look.strText = c.pszDisplay;
        AttachmentText(look, row.props, nullptr);
        EXPECT_EQ(look.strText, c.pszExpected) << c.pszExpected;
    }
}

TEST(AttachmentSave, ProposedNames)
{
    struct Case
    {
        const char* pszLong;
        const char* pszShort;
        const char* pszDisplay;
        const char* pszExpected;
    };
    const Case cases[] = {
        {"report final.docx", "REPORT~1.DOC", "Report", "report final.docx"},
        {nullptr, "REPORT~1.DOC", "Report", "REPORT~1.DOC"},
        {"", "REPORT~1.DOC", nullptr, "REPORT~1.DOC"},
        {nullptr, nullptr, "Report", "Report"},
        {nullptr, nullptr, nullptr, "attachment.bin"},
        // Hostile names: directories, both separators, control characters.
        {"../../.ssh/authorized_keys", nullptr, nullptr, "authorized_keys"},
        {"C:\\Windows\\evil.exe", nullptr, nullptr, "evil.exe"},
        {"/etc/passwd", nullptr, nullptr, "passwd"},
        {"bad\nname\x01\x7f.txt", nullptr, nullptr, "badname.txt"},
        {"..", nullptr, nullptr, "attachment.bin"},
        {"dir/", nullptr, nullptr, "attachment.bin"},
        {"\x1b[31m", nullptr, nullptr, "[31m"},
    };
    for (const Case& c : cases) {
        Values values;
        if (c.pszLong)
            values.Str(PR_ATTACH_LONG_FILENAME, c.pszLong);
        if (c.pszShort)
            values.Str(PR_ATTACH_FILENAME, c.pszShort);
        if (c.pszDisplay)
            values.Str(PR_DISPLAY_NAME, c.pszDisplay);
        EXPECT_EQ(ProposeAttachmentName(values.props), c.pszExpected) << (c.pszLong ? c.pszLong : "-");
    }
}

TEST(AttachmentSave, NoAttachmentObjectReadsNothingAndWritesNothing)
{
    const std::string strPath = ::testing::TempDir() + "/tree-rules-no-attach.bin";
    EXPECT_EQ(WriteAttachmentFile(nullptr, strPath.c_str()), MAPI_E_NOT_FOUND);
    LPATTACH pNone = nullptr;
    EXPECT_EQ(WriteAttachmentFile(&pNone, strPath.c_str()), MAPI_E_NOT_FOUND);
    EXPECT_NE(::access(strPath.c_str(), F_OK), 0);
}
