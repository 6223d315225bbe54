#include "tree/TreeRules.h"

#include "props/PropText.h"

namespace treerules {

namespace {

// Class values take part in the comparison up to this many bytes less one.
constexpr UINT kClassChars = 100;

struct CClassImage
{
    ULONG ulTag;
    const char* pszClass;
    int nImageKind;
};

// Tried in this order; the first exact match wins.
const CClassImage kClassImages[] = {
    {PR_CONTAINER_CLASS, "IPF.Appointment", 19}, {PR_CONTAINER_CLASS, "IPF.Contact", 20},
    {PR_CONTAINER_CLASS, "IPF.Note", 21},        {PR_CONTAINER_CLASS, "IPF.StickyNote", 22},
    {PR_CONTAINER_CLASS, "IPF.Journal", 23},     {PR_CONTAINER_CLASS, "IPF.Task", 24},
    {PR_MESSAGE_CLASS, "IPM.Note", 25},          {PR_MESSAGE_CLASS, "IPM.Appointment", 26},
    {PR_MESSAGE_CLASS, "IPM.Contact", 27},       {PR_MESSAGE_CLASS, "IPM.Rule.Message", 28},
};

bool IsKind(int nKind, ULONG ulType)
{
    return nKind == static_cast<int>(ulType);
}

}  // namespace

const CRootCategory kRoots[kRootCount] = {
    {"Message Stores", 1, ERootTable::MsgStores, PR_DISPLAY_NAME, static_cast<int>(MAPI_STORE)},
    {"Status Tables", 10, ERootTable::Status, PR_PROVIDER_DISPLAY, static_cast<int>(MAPI_STATUS)},
    {"Profiles", 13, ERootTable::Profiles, PR_DISPLAY_NAME, static_cast<int>(MAPI_PROFSECT)},
    {"Services", 3, ERootTable::Services, PR_DISPLAY_NAME, static_cast<int>(MAPI_STATUS)},
    {"Address Book(s)", 14, ERootTable::AddressBook, PR_DISPLAY_NAME, -1},
};

const CMessageGroup kGroups[kGroupCount] = {
    {"Attachments", EGroupTable::Attachments, static_cast<int>(MAPI_ATTACH)},
    {"Recipients", EGroupTable::Recipients, static_cast<int>(MAPI_MAILUSER)},
};

int ImageKindFromClass(const CPropValueArray& props)
{
    std::string strClass;
    ULONG ulLastTag = 0;
    bool bHave = false;
    for (const CClassImage& entry : kClassImages) {
        if (entry.ulTag != ulLastTag) {
            ulLastTag = entry.ulTag;
            bHave = props.GetPropText(entry.ulTag, strClass, kClassChars);
        }
        if (bHave && strClass == entry.pszClass)
            return entry.nImageKind;
    }
    return -1;
}

const SPropValue* EntryIdOf(const CPropValueArray& props)
{
    const SPropValue* p = props.Find(PR_ENTRYID);
    if (!p || PROP_TYPE(p->ulPropTag) != PT_BINARY || p->Value.bin.cb == 0 || !p->Value.bin.lpb)
        return nullptr;
    return p;
}

const SPropValue* RecoveredItemsEntryId(const CPropValueArray& storeProps)
{
    const SPropValue* p = storeProps.Find(PR_DRAVIK_RECOVERED_ENTRYID);
    if (!p || p->ulPropTag != PR_DRAVIK_RECOVERED_ENTRYID || p->Value.bin.cb == 0 || !p->Value.bin.lpb)
        return nullptr;
    return p;
}

bool HasChildren(const CPropValueArray& p, int nKind, const CPropValueArray& row)
{
    if (p.IsTrue(PR_SUBFOLDERS))
        return true;
    if (p.GetLong(PR_CONTENT_COUNT) > 0 && !IsKind(nKind, MAPI_MESSAGE))
        return true;
    if (p.GetLong(PR_OBJECT_TYPE) == static_cast<LONG>(MAPI_ABCONT))
        return true;
    return p.IsTrue(PR_HASATTACH) && row.GetLong(PR_CONTENT_COUNT) > 0;
}

void FormatNodeText(const CPropValueArray& p, ULONG ulDisplayTag, std::string& strText)
{
    p.FormatProp(strText, kTreeItemChars,
                 p.GetLong(PR_OBJECT_TYPE) == static_cast<LONG>(MAPI_MESSAGE) ? PR_SUBJECT : ulDisplayTag);
}

CNodeLook LookFromRow(const CPropValueArray& row, ULONG ulDisplayTag, int nForcedKind)
{
    CNodeLook look;
    FormatNodeText(row, ulDisplayTag, look.strText);
    look.nKind = nForcedKind != -1 ? nForcedKind : row.GetLong(PR_OBJECT_TYPE);
    look.bChildren = HasChildren(row, look.nKind, row);
    look.nImage = look.nSelImage = look.nKind;
    return look;
}

EEntryOpen EntryOpening(const CNodeLook& look, const CPropValueArray& row, bool bHasStore)
{
    if (!EntryIdOf(row))
        return EEntryOpen::None;
    if (bHasStore)
        return EEntryOpen::ThroughStore;
    if (IsKind(look.nKind, MAPI_MAILUSER) || IsKind(look.nKind, MAPI_ABCONT))
        return EEntryOpen::ThroughAddrBook;
    return EEntryOpen::None;
}

void RefineWithEntry(CNodeLook& look, const CPropValueArray& p, const CPropValueArray& row, ULONG ulDisplayTag,
                     int nForcedKind)
{
    if (!look.bChildren)
        look.bChildren = HasChildren(p, look.nKind, row);
    look.nKind = nForcedKind != -1 ? nForcedKind : p.GetLong(PR_OBJECT_TYPE);
    const int nClassImage = ImageKindFromClass(p);
    look.nImage = look.nSelImage = nClassImage != -1 ? nClassImage : look.nKind;
    FormatNodeText(p, ulDisplayTag, look.strText);
}

EKindWork WorkForKind(int nKind)
{
    switch (nKind) {
    case MAPI_STORE: return EKindWork::Store;
    case MAPI_FOLDER: return EKindWork::Folder;
    case MAPI_ABCONT: return EKindWork::AbContainer;
    case MAPI_ATTACH: return EKindWork::Attachment;
    default: return EKindWork::None;
    }
}

void FolderImages(CNodeLook& look, const CPropValueArray& row)
{
    const int nClassImage = ImageKindFromClass(row);
    if (nClassImage != -1) {
        look.nImage = look.nSelImage = nClassImage;
    } else {
        look.nImage = IMAGE_PLAIN_FOLDER;
        look.nSelImage = IMAGE_PLAIN_FOLDER_SELECTED;
    }
}

void AttachmentText(CNodeLook& look, const CPropValueArray& row, IAttach* pAttach)
{
    row.FormatProp(look.strText, kTreeItemChars, PR_ATTACH_FILENAME);
    if (!look.strText.empty())
        return;
    row.FormatProp(look.strText, kTreeItemChars, PR_ATTACH_LONG_FILENAME);
    if (look.strText.empty() && pAttach != nullptr)
        look.strText = EmbeddedSubject(pAttach);
    if (look.strText.empty())
        look.strText = "Attachment " + std::to_string(row.GetLong(PR_ATTACH_NUM));
}

std::string EmbeddedSubject(IAttach* pAttach)
{
    if (pAttach == nullptr)
        return std::string();
    LPUNKNOWN pUnk = nullptr;
    if (FAILED(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, &pUnk)) || pUnk == nullptr)
        return std::string();
    std::string strSubject;
    if (auto* pMessage = dynamic_cast<IMessage*>(pUnk)) {
        CPropValueArray props;
        props.LoadProps(pMessage, TRUE);
        props.FormatProp(strSubject, kTreeItemChars, PR_SUBJECT);
    }
    pUnk->Release();
    return strSubject;
}

bool MessageGetsGroups(int nKind, bool bEntryOpened)
{
    return IsKind(nKind, MAPI_MESSAGE) && bEntryOpened;
}

bool GroupWanted(const CMessageGroup& group, const CPropValueArray& row, const CPropValueArray* pEntry)
{
    if (group.eTable != EGroupTable::Attachments)
        return true;
    return row.IsTrue(PR_HASATTACH) || (pEntry && pEntry->IsTrue(PR_HASATTACH));
}

bool GroupFailureReported(const CPropValueArray& row, const CPropValueArray* pEntry)
{
    return !row.Find(PR_DRAVIK_RECOVERED_FROM) && !(pEntry && pEntry->Find(PR_DRAVIK_RECOVERED_FROM));
}

bool IsEmbeddedMessage(const CPropValueArray& attachProps)
{
    const SPropValue* p = attachProps.Find(PR_ATTACH_METHOD);
    return p && PROP_TYPE(p->ulPropTag) == PT_LONG && p->Value.l == static_cast<LONG>(ATTACH_EMBEDDED_MSG);
}

bool RowHasAttachMethod(const CPropValueArray& row)
{
    const SPropValue* p = row.Find(PR_ATTACH_METHOD);
    return p && PROP_TYPE(p->ulPropTag) == PT_LONG;
}

bool AttachmentIsEmbedded(const CPropValueArray& row, const CPropValueArray* pAttach)
{
    if (RowHasAttachMethod(row))
        return IsEmbeddedMessage(row);
    return pAttach && IsEmbeddedMessage(*pAttach);
}

CNodeLook EmbeddedMessageLook(const CPropValueArray& messageProps)
{
    CNodeLook look;
    look.nKind = static_cast<int>(MAPI_MESSAGE);
    messageProps.FormatProp(look.strText, kTreeItemChars, PR_SUBJECT);
    const int nClassImage = ImageKindFromClass(messageProps);
    look.nImage = look.nSelImage = nClassImage != -1 ? nClassImage : IMAGE_MESSAGE;
    return look;
}

}  // namespace treerules
