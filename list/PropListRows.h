// The rows of the property list, without widgets: which object a node's
// properties come from, the texts and image of every row, the named-property
// rows of a store, and the byte-wise sort by one column.
#pragma once

#include "props/PropText.h"
#include "props/PropValueArray.h"

#include <array>
#include <string>
#include <vector>

class CTreeNode;

// The record of one list row: the value it shows (null on the rows of the
// named-property list) and the text of the sort column while a sort runs.
struct CPropItem
{
    const SPropValue* pProp = nullptr;
    std::string strSortText;
};

// Columns of the property list and of the named-property list.
inline constexpr int kPropColumns = 5;
inline constexpr int kNamedColumns = 5;
inline constexpr int kMaxColumns = 5;

struct CColumnDef
{
    const char* pszHeading;
    int nWidth;
};
// Widths in pixels at a scale of 1, for a text of the sample's length: the
// list widens a column to its text in the list's font where that is wider.
inline constexpr CColumnDef kPropColumnDefs[kPropColumns] = {
    {"TAG", 95}, {"TAG Name", 150}, {"Named ID", 85}, {"Type", 125}, {"Value", 2000}};
inline constexpr CColumnDef kNamedColumnDefs[kNamedColumns] = {
    {"ID", 95}, {"KIND", 85}, {"NAME", 140}, {"GUID", 250}, {"Canonical Name", 260}};
// The least width of each column as a sample text: the list's font at any
// scale factor shows at least this much of each.
inline constexpr const char* kPropColumnSamples[kPropColumns] = {"0x0e1b000b ", "PR_MESSAGE_DELIVERY_TIME",
                                                                  "0x00008205 PidLidBusyStatus", "PT_MV_UNICODE", ""};
inline constexpr const char* kNamedColumnSamples[kNamedColumns] = {
    "0x00008205 ", "MNID_STRING ", "urn:schemas:calendar:", "{00020329-0000-0000-C000-000000000046} ",
    "PidLidAppointmentStartWhole (PSETID_Appointment)"};

// One row as the list shows it: its column texts (UTF-8), its image (-1 for
// none) and its record.
struct CListRow
{
    std::array<std::string, kMaxColumns> texts;
    int nImage = -1;
    CPropItem item;
    // Its position when the list was filled; follows the row through sorts.
    size_t nKey = 0;
};

// The small image of a property row, by the property type: 0 PT_STRING8,
// 1 every other type, 2 PT_APPTIME and PT_SYSTIME, 3 PT_OBJECT, 4 PT_UNICODE,
// 5 PT_BINARY, 6 PT_BOOLEAN, 7 PT_CURRENCY, 8 PT_ERROR.
inline constexpr int kPropImages = 9;
int ImageFromType(ULONG ulPropType);

// The object whose properties "Entry Properties" lists for a node, and from
// which a property too large for a row is read: a store node's store, a
// folder node's container, an attachment node's attachment, any other node's
// opened entry. Null when the node has none.
IMAPIProp* EntryObject(const CTreeNode& node);

// The rows of a property listing of props, in the order the list shows them
// before any sort: each row is inserted at the top, so the last value comes
// first. pSource is the object the values came from (asked for the
// named-property IDs), or null for a node's row values. Stops early, with the
// rows made so far, once the program is ending.
std::vector<CListRow> MakePropertyRows(const CPropValueArray& props, IMAPIProp* pSource);

// The rows of the named-property list of a store (the last name first).
// Returns GetNamesFromIDs' HRESULT; rows is empty on failure and when the
// store has no names.
HRESULT MakeNamedPropertyRows(IMAPIProp* pStore, std::vector<CListRow>& rows);

// The rows as text for the clipboard: one line per row, the texts of the
// given columns (in that order) separated by tabs. A line end or tab inside a
// text becomes a blank, so that every row stays one line of its columns.
std::string RowsAsText(const std::vector<const CListRow*>& rows, const std::vector<int>& columns);

// Sorts the rows by the texts of one column, compared byte by byte and case
// sensitively (so "10" comes before "9"), ascending or descending. Rows with
// the same text keep their order. Each row's sort text holds its column text.
void SortRows(std::vector<CListRow>& rows, int nColumn, bool bDescending);
