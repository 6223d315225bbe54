// The search behind Find and dravik-dump --where: a query evaluated over the
// messages of a folder, a folder and its subfolders, a store, or every store
// of a session, each match delivered as it is found.
//
// In each folder the restriction goes to the contents table (FindRow, one
// match after another) when the table's columns hold every property it tests;
// otherwise each message is opened and the restriction is evaluated on its own
// properties (values too large for GetProps read whole), with recipients and
// attachments tested through FindRow on the message's sub-object tables. Both
// paths use the one evaluator of the table implementation.
//
// Run may be called on any thread; Stop may be called from another thread
// while it runs, and also aborts a table call in progress.
#pragma once

#include "query/Query.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace dravik::query {

enum class SearchScope { Folder, FolderAndSubfolders, Store, AllStores };

struct SearchResult
{
    std::vector<std::string> folderPath;  // the store's display name, then each folder's from below the root
    std::string strSubject;               // the message's subject
    std::string strValue;                 // the value of the first property the query tests, as text
    std::vector<BYTE> storeEntryId;
    std::vector<BYTE> folderEntryId;
    std::vector<BYTE> entryId;            // the message's
    std::vector<std::vector<BYTE>> folderPathEntryIds;  // each folder's of folderPath after the store's name
};

struct SearchStart
{
    SearchScope scope = SearchScope::AllStores;
    std::vector<BYTE> storeEntryId;   // Store, Folder, FolderAndSubfolders
    std::vector<BYTE> folderEntryId;  // Folder, FolderAndSubfolders (empty: the root folder)
    std::vector<std::string> folderPath;  // the names above and of that folder, store's first (for results)
    std::vector<std::vector<BYTE>> folderPathEntryIds;  // the entry IDs of those folders below the root
    // Evaluate on every message's own properties even where the contents
    // table's columns hold them: slower, but right where a store's table is
    // out of date with its messages.
    bool bOpenEveryMessage = false;
};

class CSearch
{
public:
    struct Callbacks
    {
        std::function<void(const SearchResult&)> onResult;
        // A MAPI call with a restriction, as a trace line without its end of line.
        std::function<void(const std::string&)> onTrace;
        // After each folder and every so many messages: messages examined so far and the folder.
        std::function<void(std::uint64_t examined, const std::string& folder)> onProgress;
        // An object or table that could not be read: where and the error; the search goes on.
        std::function<void(const std::string& where, HRESULT hr)> onError;
    };

    CSearch(IMAPISession* pSession, const CQuery& query, SearchStart start, Callbacks callbacks);

    // Runs the search to its end: S_OK, MAPI_E_USER_CANCEL after Stop, or the
    // first failure that ended it (a failure inside a folder is reported
    // through onError and the search goes on).
    HRESULT Run();
    void Stop();

    std::uint64_t Examined() const { return m_examined.load(); }
    std::uint64_t Found() const { return m_found; }
    int Errors() const { return m_nErrors; }

private:
    HRESULT SearchStore(const std::vector<BYTE>& storeEid, const std::string& storeName);
    HRESULT SearchFolder(IMsgStore* pStore, IMAPIFolder* pFolder, const std::vector<BYTE>& folderEid,
                         std::vector<std::string>& path, bool recurse, const SRestriction* res);
    HRESULT SearchContents(IMAPIFolder* pFolder, const std::vector<BYTE>& folderEid, const std::vector<std::string>& path,
                           const SRestriction* res);
    HRESULT SearchTable(IMAPITable* pTable, const std::vector<BYTE>& folderEid, const std::vector<std::string>& path,
                        const SRestriction* res);
    HRESULT SearchObjects(IMAPIFolder* pFolder, IMAPITable* pTable, const std::vector<BYTE>& folderEid,
                          const std::vector<std::string>& path, const SRestriction* res);
    void Deliver(const SPropValue* props, ULONG count, const std::vector<BYTE>& folderEid,
                 const std::vector<std::string>& path, const SRestriction* res);
    void Trace(const std::string& line);
    void Error(const std::vector<std::string>& path, const std::string& what, HRESULT hr);
    bool Stopped() const { return m_stop.load(); }
    // The table a long call may be running on, for Stop to abort.
    void SetCurrentTable(IMAPITable* pTable);

    IMAPISession* m_pSession;
    const CQuery& m_query;
    SearchStart m_start;
    Callbacks m_cb;
    std::vector<BYTE> m_storeEid;
    std::vector<std::vector<BYTE>> m_pathEids;  // of the folders on the current path below the root
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_examined{0};
    std::uint64_t m_found = 0;
    int m_nErrors = 0;
    std::mutex m_tableMutex;
    IMAPITable* m_pCurrentTable = nullptr;
};

// Reads an object's properties for a restriction: every property (GetProps
// with MAPI_UNICODE), with the values the restriction tests that are too large
// for GetProps read whole through OpenProperty. One buffer to free with
// MAPIFreeBuffer.
HRESULT ReadPropsForRestriction(IMAPIProp* pObj, const SRestriction* res, ULONG* count, LPSPropValue* props);

// Whether a message's sub-object table (PR_MESSAGE_RECIPIENTS,
// PR_MESSAGE_ATTACHMENTS) has a row that satisfies res, by FindRow.
bool SubObjectMatches(IMessage* pMessage, ULONG ulSubObject, const SRestriction* res,
                      const std::function<void(const std::string&)>& trace = {});

} // namespace dravik::query
