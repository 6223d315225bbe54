// The walk of dravik-dump: every node that Dravik's object tree shows for a
// session, fully expanded, in the tree's order, written as it is found.
//
// The five roots come in the tree's order: "Message Stores" (each store with
// its "Named Properties", its root folder's subfolders and then its messages,
// every message with its "Attachments" and "Recipients"), "Status Tables",
// "Profiles", "Services" and "Address Book(s)" (its containers, each with its
// sub-containers, then its mail users and distribution lists). Each node is
// opened with the calls and flags the tree uses; with properties, a node's
// rows are those the property list shows for it in "Entry Properties" mode.
//
// Only the path from the root to the current node is held open; a table is
// read in pages, so memory does not grow with the size of the store.
#pragma once

#include "DumpWriter.h"
#include "MapiRef.h"

#include "props/Mapi.h"
#include "tree/TreeRules.h"

#include <csignal>
#include <span>
#include <string>
#include <vector>

class CDumpWalker
{
public:
    // pStop, when given, is polled between objects: once it is non-zero the
    // walk unwinds, releasing everything it opened.
    CDumpWalker(IMAPISession* pSession, CDumpWriter& writer, const volatile std::sig_atomic_t* pStop = nullptr);

    // Each contents table is written as its rows (these columns, in this
    // order) instead of the objects they stand for: no message is opened.
    // Folders, stores and the other roots are walked as before.
    void ListRowsOnly(std::vector<ULONG> columns) { m_rowColumns = std::move(columns); }

    // Walks everything. S_OK when the walk was complete; otherwise the first
    // failure (a store that could not be opened, damaged objects, output that
    // could not be written, an interruption). Each damaged object is reported
    // on standard error as it is met and the walk goes on.
    HRESULT Run();

    // Objects that could not be read, each reported on standard error.
    int DamagedCount() const { return m_nDamaged; }
    // Values that the store could not read because the file is damaged (PT_ERROR
    // MAPI_E_CORRUPT_DATA, in an object's properties or in a table row), each
    // reported on standard error with the object's path and the tag.
    int DamagedValueCount() const { return m_nDamagedValues; }
    bool Interrupted() const { return m_bInterrupted; }
    bool OutputFailed() const { return !m_writer.Ok(); }
    int OutputError() const { return m_writer.Error(); }

private:
    struct Parent;

    bool Continue();
    void Report(const char* pszWhat, const std::string& strWhere, HRESULT hr);
    // Reports every damaged value among these values of the object at strWhere;
    // pszIn says where the values were read ("" for the object, else "in its
    // table row").
    void ReportDamagedValues(const CPropValueArray& props, const std::string& strWhere, const char* pszIn);

    // The message's body (with --bodies); each damaged part is reported as a
    // damaged value of the object at strWhere.
    void LoadBody(IMessage* pMessage, const std::string& strWhere, dravik::content::MessageBody& body);

    void WalkAddressBook(const treerules::CRootCategory& category);

    // The rows of a table just asked for (hr: the result of asking) under
    // the parent; a failure to get the table is reported as pszFailure, but
    // with bNoSupportIsEmpty MAPI_E_NO_SUPPORT is a container without one.
    void ListTable(HRESULT hr, IMAPITable* pTable, const char* pszFailure, Parent& parent, ULONG ulDisplayTag,
                   int nForcedKind, bool bNoSupportIsEmpty = false);
    // Lists every row of the table under the parent. S_OK, the failure of
    // reading the table, E_FAIL for an empty table or after a store failed.
    HRESULT AddTableRows(IMAPITable* pTable, Parent& parent, ULONG ulDisplayTag, int nForcedKind);
    bool AddRow(const SRow& row, Parent& parent, ULONG ulDisplayTag, int nForcedKind);
    void AddContainerChildren(IMAPIContainer* pContainer, Parent& parent);
    // The rows of a contents table (hr: the result of asking for it) below
    // the node, in the columns ListRowsOnly gave.
    void WriteContentRows(HRESULT hr, IMAPITable* pTable, Parent& node);
    // A message's groups; row is what the message was listed from (an
    // embedded message: its own values), pEntry its opened values.
    void AddMessageGroups(IMessage* pMessage, const CPropValueArray& row, const CPropValueArray* pEntry,
                          Parent& node);
    // The message embedded in an attachment, below the attachment's node.
    void AddEmbeddedMessage(IAttach* pAttach, Parent& node);
    void WriteNamedProperties(Parent& parent);

    // The container pEid names (kRootEntry: the root) opened through
    // pSource; when it cannot be (no entry ID or no source: as an invalid
    // entry ID), the failure is reported as pszFailure.
    template <class Source>
    CRef<IMAPIContainer> OpenContainer(Source* pSource, const SBinary* pEid, const char* pszFailure,
                                       const std::string& strWhere, ULONG ulFlags = MAPI_BEST_ACCESS);
    // The object's properties into props; a failure is reported, and so is
    // each damaged value when bReportDamage.
    void LoadProps(IMAPIProp* pObject, CPropValueArray& props, const std::string& strWhere,
                   bool bReportDamage = true);
    // With --props, the property rows of these values (pSource: the object
    // they came from, or null for a table row's values) into the object's
    // line; a value that cannot be read whole for JSON is reported as
    // damaged, with the object's path.
    void WriteProps(const CPropValueArray* pProps, IMAPIProp* pSource, const std::string& strWhere);

    IMAPISession* m_pSession;
    CDumpWriter& m_writer;
    const volatile std::sig_atomic_t* m_pStop;
    HRESULT m_hrFirst = S_OK;
    int m_nDamaged = 0;
    int m_nDamagedValues = 0;
    bool m_bInterrupted = false;
    std::vector<ULONG> m_rowColumns;  // empty: contents tables are walked as the tree lists them
    // The values of the object being written that could not be read whole.
    std::vector<std::pair<ULONG, HRESULT>> m_failures;
};
