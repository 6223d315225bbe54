// What the object tree shows, decided once for the tree pane and dravik-dump:
// the roots, each node's kind, text, image kinds and children test, what is
// opened for it while its parent is listed, a message's groups and embedded
// messages. Plain functions over property values; no widgets, no MAPI calls.
//
// A row becomes a node in these steps, each a function below:
//   1. LookFromRow: kind, text, children and images from the row alone;
//   2. EntryOpening: whether the row's object is opened, and through what;
//   3. RefineWithEntry: the same decisions again from the opened object;
//   4. WorkForKind and its helpers (FolderImages, AttachmentText, ...):
//      what the kind opens further (store, container, attachment);
//   5. MessageGroups / EmbeddedMessageWanted: what comes below a message or
//      an attachment at once.
#pragma once

#include "props/PropValueArray.h"

#include <cstddef>
#include <string>

namespace treerules {

// Image kinds: 0 to 15 coincide with the node kinds, 16 has no picture.
inline constexpr int kImageKinds = 32;
inline constexpr int IMAGE_UNKNOWN = 15;          // question mark; stands for -1
inline constexpr int IMAGE_NAMED_PROPS = 17;
inline constexpr int IMAGE_PLAIN_FOLDER_SELECTED = 29;  // closed folder
inline constexpr int IMAGE_PLAIN_FOLDER = 30;           // open folder
inline constexpr int IMAGE_MESSAGE = 5;

// The image kind an object's class properties give (exact, case-sensitive
// match of PR_CONTAINER_CLASS, then PR_MESSAGE_CLASS, each read as at most
// 99 characters), or -1.
int ImageKindFromClass(const CPropValueArray& props);

// An image kind as drawn: -1 stands for the question mark.
inline int ShownImageKind(int nImageKind)
{
    return nImageKind == -1 ? IMAGE_UNKNOWN : nImageKind;
}

// The five root categories, in the tree's order.
enum class ERootTable { MsgStores, Status, Profiles, Services, AddressBook };

struct CRootCategory
{
    const char* pszName;
    int nImageKind;
    ERootTable eTable;
    ULONG ulDisplayTag;  // the column that gives each row its text
    int nForcedKind;     // the kind of every row listed below it
};

inline constexpr std::size_t kRootCount = 5;
extern const CRootCategory kRoots[kRootCount];

// The text of a node's group of rows and of the tree's own nodes.
inline constexpr const char* kNamedPropsText = "Named Properties";

// What a store recovered from outside its folder hierarchy (orphaned and
// deleted items) is a further node below the store, after its folders, with
// this text, drawn as recovered (in italics: nothing of the hierarchy is).
// It is opened through the entry ID the store's PR_DRAVIK_RECOVERED_ENTRYID
// holds, never found in a hierarchy table; what is below it is listed as
// below any folder. A store without that property has no such node.
inline constexpr const char* kRecoveredItemsText = "Recovered Items";
inline constexpr ULONG PR_DRAVIK_RECOVERED_ENTRYID = PROP_TAG(PT_BINARY, 0x67E3);
inline bool RecoveredItemsBelow(int nKind)
{
    return nKind == static_cast<int>(MAPI_STORE);
}
// The store's entry ID of its "Recovered Items" folder, or null.
const SPropValue* RecoveredItemsEntryId(const CPropValueArray& storeProps);

// The entry ID of a row or object: a PT_BINARY PR_ENTRYID with at least one
// byte. A column without a value (PT_ERROR) and an empty entry ID are none;
// an empty one would open the store's root folder.
const SPropValue* EntryIdOf(const CPropValueArray& props);

// The children test of property set P for a node of kind nKind; clause four's
// content count is always the table row's.
bool HasChildren(const CPropValueArray& p, int nKind, const CPropValueArray& row);

// The node text from P: a message's subject (P's own PR_OBJECT_TYPE says
// message), else the display column. strText is left as it is when P lacks
// the value.
void FormatNodeText(const CPropValueArray& p, ULONG ulDisplayTag, std::string& strText);

// What a node looks like while it is being decided.
struct CNodeLook
{
    int nKind = -1;
    std::string strText;
    bool bChildren = false;
    int nImage = -1;
    int nSelImage = -1;
};

// Step 1: from the row alone.
CNodeLook LookFromRow(const CPropValueArray& row, ULONG ulDisplayTag, int nForcedKind);

// Step 2: the object behind a row with an entry ID is opened read-only
// through the node's store; without a store, mail users and address-book
// containers are opened through the address book.
enum class EEntryOpen { None, ThroughStore, ThroughAddrBook };
EEntryOpen EntryOpening(const CNodeLook& look, const CPropValueArray& row, bool bHasStore);

// Step 3: what the opened object's properties P change: the children test
// when the row found none, the kind (unless forced), the images and the text.
void RefineWithEntry(CNodeLook& look, const CPropValueArray& p, const CPropValueArray& row, ULONG ulDisplayTag,
                     int nForcedKind);

// Step 4: what the node's kind opens.
enum class EKindWork {
    None,
    Store,        // OpenMsgStore of the row's entry ID, then its root folder
    Folder,       // the parent's container opens the entry (MAPI_BEST_ACCESS)
    AbContainer,  // the parent's address book opens the entry (flags 0)
    Attachment,   // the group's message opens the attachment PR_ATTACH_NUM
};
EKindWork WorkForKind(int nKind);

// A folder's images: the row's class image, else the plain folder pair.
void FolderImages(CNodeLook& look, const CPropValueArray& row);
// An attachment's text: the row's PR_ATTACH_FILENAME when it has one, else
// the text the row gave (PR_DISPLAY_NAME). An attachment left without a text
// gets the first of: PR_ATTACH_LONG_FILENAME, the subject of its embedded
// message (pAttach's, asked only then; pAttach may be null), and
// "Attachment N" with N its PR_ATTACH_NUM.
void AttachmentText(CNodeLook& look, const CPropValueArray& row, IAttach* pAttach);

// The subject of the message embedded in an attachment; empty when it has
// none or none can be opened.
std::string EmbeddedSubject(IAttach* pAttach);

// The "Named Properties" node comes first below a store, once, before the
// first row of the first of its tables that has rows.
inline bool NamedPropsFirst(int nParentKind)
{
    return nParentKind == static_cast<int>(MAPI_STORE);
}

// Step 5: a message's groups, in the tree's order. Every message whose
// object was opened gets them (a store's contents rows carry neither
// PR_CONTENT_COUNT nor PR_HASATTACH, so the row's children test never holds
// for a message); the attachments are asked for only when the row or the
// message says it has attachments. Each group appears only when its table
// has at least one row.
enum class EGroupTable { Attachments, Recipients };
struct CMessageGroup
{
    const char* pszName;
    EGroupTable eTable;
    int nRowKind;  // the forced kind of its rows
};
inline constexpr std::size_t kGroupCount = 2;
extern const CMessageGroup kGroups[kGroupCount];

// The group's image kinds: the plain folder pair.
inline constexpr int kGroupImage = IMAGE_PLAIN_FOLDER;
inline constexpr int kGroupSelImage = IMAGE_PLAIN_FOLDER_SELECTED;

bool MessageGetsGroups(int nKind, bool bEntryOpened);
bool GroupWanted(const CMessageGroup& group, const CPropValueArray& row, const CPropValueArray* pEntry);
// A group whose table cannot be read is damage, reported, unless the message is one
// recovery brought back (it holds PR_DRAVIK_RECOVERED_FROM): what recovery could not
// bring back of it is no news.
inline constexpr ULONG PR_DRAVIK_RECOVERED_FROM = PROP_TAG(PT_UNICODE, 0x67E0);
bool GroupFailureReported(const CPropValueArray& row, const CPropValueArray* pEntry);

// Embedded messages: an attachment whose PR_ATTACH_METHOD is
// ATTACH_EMBEDDED_MSG gets its message (OpenProperty(PR_ATTACH_DATA_OBJ,
// IID_IMessage)) as its one child, with that message's own groups. A damaged
// store can nest without end, so nesting stops at kMaxEmbedDepth.
inline constexpr int kMaxEmbedDepth = 32;
bool IsEmbeddedMessage(const CPropValueArray& attachProps);
// From the attachment row's PR_ATTACH_METHOD, else the opened attachment's.
bool AttachmentIsEmbedded(const CPropValueArray& row, const CPropValueArray* pAttach);
// A message embedded at this depth (1: in an attachment of a folder's
// message) is not opened: the store nests deeper than any real mail does.
inline bool EmbedTooDeep(int nEmbedDepth)
{
    return nEmbedDepth > kMaxEmbedDepth;
}
// Whether the row alone answers AttachmentIsEmbedded.
bool RowHasAttachMethod(const CPropValueArray& row);

// The embedded message node's look from the message's properties.
CNodeLook EmbeddedMessageLook(const CPropValueArray& messageProps);

}  // namespace treerules
