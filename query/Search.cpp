#include "query/Search.h"

#include "mapi32/table.h"
#include "props/MapiRef.h"
#include "props/PropText.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace dravik::query {
namespace {

constexpr ULONG kTagRecipients = PROP_TAG(PT_OBJECT, 0x0E12);   // PR_MESSAGE_RECIPIENTS
constexpr ULONG kTagAttachments = PROP_TAG(PT_OBJECT, 0x0E13);  // PR_MESSAGE_ATTACHMENTS
constexpr LONG kBatch = 256;       // rows read at a time
constexpr ULONG kMaxValueText = 256;  // characters of a result's value

struct BufferFree
{
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};
using PropsPtr = std::unique_ptr<SPropValue, BufferFree>;
using TagsPtr = std::unique_ptr<SPropTagArray, BufferFree>;

struct RowSetFree
{
    void operator()(SRowSet* p) const { FreeProws(p); }
};
using RowsPtr = std::unique_ptr<SRowSet, RowSetFree>;

std::vector<BYTE> Bytes(const SPropValue* v)
{
    if (!v || PROP_TYPE(v->ulPropTag) != PT_BINARY || !v->Value.bin.lpb)
        return {};
    return {v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb};
}

std::string Text(const SPropValue* v)
{
    std::string s;
    if (v && PROP_TYPE(v->ulPropTag) != PT_ERROR)
        mapi32::ValueText(*v, s);
    return s;
}

const SPropValue* FindId(const SPropValue* props, ULONG count, ULONG id)
{
    for (ULONG i = 0; i < count; ++i)
        if (PROP_ID(props[i].ulPropTag) == id && PROP_TYPE(props[i].ulPropTag) != PT_ERROR)
            return &props[i];
    return nullptr;
}

std::string Join(const std::vector<std::string>& path)
{
    std::string s;
    for (const std::string& p : path)
        s += (s.empty() ? "" : "/") + p;
    return s;
}

bool HasColumn(const SPropTagArray& columns, ULONG tag)
{
    for (ULONG i = 0; i < columns.cValues; ++i)
        if (PROP_ID(columns.aulPropTag[i]) == PROP_ID(tag))
            return true;
    return false;
}

bool IsSub(const SRestriction* r, int depth = 0)
{
    if (!r || depth > 64)
        return false;
    switch (r->rt) {
    case RES_SUBRESTRICTION: return true;
    case RES_AND:
    case RES_OR:
        for (ULONG i = 0; i < r->res.resAnd.cRes && r->res.resAnd.lpRes; ++i)
            if (IsSub(&r->res.resAnd.lpRes[i], depth + 1))
                return true;
        return false;
    case RES_NOT: return IsSub(r->res.resNot.lpRes, depth + 1);
    case RES_COMMENT: return IsSub(r->res.resComment.lpRes, depth + 1);
    default: return false;
    }
}

HRESULT ReadStream(IMAPIProp* pObj, ULONG tag, std::vector<BYTE>& out)
{
    CRef<IUnknown> unk;
    HRESULT hr = pObj->OpenProperty(tag, &IID_IStream, 0, 0, unk.Out());
    if (FAILED(hr))
        return hr;
    auto* stream = dynamic_cast<IStream*>(unk.Get());
    if (!stream)
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    BYTE buf[65536];
    for (;;) {
        ULONG got = 0;
        hr = stream->Read(buf, sizeof buf, &got);
        if (FAILED(hr))
            return hr;
        if (got == 0)
            return S_OK;
        out.insert(out.end(), buf, buf + got);
    }
}

} // namespace

HRESULT ReadPropsForRestriction(IMAPIProp* pObj, const SRestriction* res, ULONG* count, LPSPropValue* props)
{
    if (!pObj || !count || !props)
        return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *props = nullptr;
    ULONG n = 0;
    LPSPropValue values = nullptr;
    HRESULT hr = pObj->GetProps(nullptr, MAPI_UNICODE, &n, &values);
    if (FAILED(hr))
        return hr;
    PropsPtr owned(values);
    // The tested strings and binary values too large for GetProps, read whole.
    std::vector<ULONG> large;
    for (ULONG tag : mapi32::RestrictionTags(res)) {
        for (ULONG i = 0; i < n; ++i) {
            const SPropValue& v = values[i];
            if (PROP_ID(v.ulPropTag) == PROP_ID(tag) && PROP_TYPE(v.ulPropTag) == PT_ERROR &&
                v.Value.err == MAPI_E_NOT_ENOUGH_MEMORY)
                large.push_back(i);
        }
    }
    std::sort(large.begin(), large.end());
    large.erase(std::unique(large.begin(), large.end()), large.end());
    for (ULONG i : large) {
        const ULONG id = PROP_ID(values[i].ulPropTag);
        std::vector<BYTE> bytes;
        // A string reads as UTF-16; what is not a string reads as its bytes.
        ULONG type = PT_UNICODE;
        if (FAILED(ReadStream(pObj, PROP_TAG(PT_UNICODE, id), bytes))) {
            bytes.clear();
            type = PT_BINARY;
            if (FAILED(ReadStream(pObj, PROP_TAG(PT_BINARY, id), bytes)))
                continue;  // stays an error value: it never matches
        }
        SPropValue& v = values[i];
        void* p = nullptr;
        if (FAILED(hr = MAPIAllocateMore(static_cast<ULONG>(bytes.size() + 2), values, &p)))
            return hr;
        std::memcpy(p, bytes.data(), bytes.size());
        static_cast<BYTE*>(p)[bytes.size()] = 0;
        static_cast<BYTE*>(p)[bytes.size() + 1] = 0;
        v.ulPropTag = PROP_TAG(type, id);
        if (type == PT_UNICODE) {
            v.Value.lpszW = static_cast<LPWSTR>(p);
        } else {
            v.Value.bin.cb = static_cast<ULONG>(bytes.size());
            v.Value.bin.lpb = static_cast<LPBYTE>(p);
        }
    }
    *count = n;
    *props = owned.release();
    return S_OK;
}

bool SubObjectMatches(IMessage* pMessage, ULONG ulSubObject, const SRestriction* res,
                      const std::function<void(const std::string&)>& trace)
{
    CRef<IMAPITable> table;
    HRESULT hr;
    const char* what;
    if (ulSubObject == kTagRecipients) {
        hr = pMessage->GetRecipientTable(MAPI_UNICODE, table.Out());
        what = "GetRecipientTable";
    } else if (ulSubObject == kTagAttachments) {
        hr = pMessage->GetAttachmentTable(MAPI_UNICODE, table.Out());
        what = "GetAttachmentTable";
    } else {
        return false;
    }
    if (FAILED(hr) || !table)
        return false;
    if (trace)
        trace(std::string("IMessage->") + what + "(), IMAPITable->FindRow(" + RestrictionText(res, true) + ")");
    return table->FindRow(const_cast<LPSRestriction>(res), BOOKMARK_BEGINNING, 0) == S_OK;
}

CSearch::CSearch(IMAPISession* pSession, const CQuery& query, SearchStart start, Callbacks callbacks)
    : m_pSession(pSession), m_query(query), m_start(std::move(start)), m_cb(std::move(callbacks))
{
}

void CSearch::Stop()
{
    m_stop.store(true);
    std::lock_guard guard(m_tableMutex);
    if (m_pCurrentTable)
        m_pCurrentTable->Abort();
}

void CSearch::SetCurrentTable(IMAPITable* pTable)
{
    std::lock_guard guard(m_tableMutex);
    m_pCurrentTable = pTable;
    if (pTable && m_stop.load())
        pTable->Abort();
}

void CSearch::Trace(const std::string& line)
{
    if (m_cb.onTrace)
        m_cb.onTrace(line);
}

void CSearch::Error(const std::vector<std::string>& path, const std::string& what, HRESULT hr)
{
    ++m_nErrors;
    if (m_cb.onError)
        m_cb.onError(Join(path) + (what.empty() ? "" : ": " + what), hr);
}

HRESULT CSearch::Run()
{
    if (!m_pSession)
        return MAPI_E_INVALID_PARAMETER;
    if (m_start.scope != SearchScope::AllStores)
        return SearchStore(m_start.storeEntryId, m_start.folderPath.empty() ? std::string() : m_start.folderPath[0]);
    CRef<IMAPITable> stores;
    HRESULT hr = m_pSession->GetMsgStoresTable(0, stores.Out());
    if (FAILED(hr))
        return hr;
    LPSRowSet raw = nullptr;
    hr = HrQueryAllRows(stores.Get(), nullptr, nullptr, nullptr, 0, &raw);
    if (FAILED(hr))
        return hr;
    RowsPtr rows(raw);
    for (ULONG r = 0; r < rows->cRows && !Stopped(); ++r) {
        const SRow& row = rows->aRow[r];
        const std::vector<BYTE> eid = Bytes(FindId(row.lpProps, row.cValues, PROP_ID(PR_ENTRYID)));
        const std::string name = Text(FindId(row.lpProps, row.cValues, PROP_ID(PR_DISPLAY_NAME_W)));
        if (eid.empty())
            continue;
        hr = SearchStore(eid, name);
        if (hr == MAPI_E_USER_CANCEL)
            return hr;
    }
    return Stopped() ? MAPI_E_USER_CANCEL : S_OK;
}

HRESULT CSearch::SearchStore(const std::vector<BYTE>& storeEid, const std::string& storeName)
{
    std::vector<std::string> path{storeName};
    CRef<IMsgStore> store;
    HRESULT hr = m_pSession->OpenMsgStore(0, static_cast<ULONG>(storeEid.size()), reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(storeEid.data())),
                                          nullptr, MAPI_BEST_ACCESS, store.Out());
    if (FAILED(hr)) {
        Error(path, "IMAPISession->OpenMsgStore", hr);
        return hr;
    }
    m_storeEid = storeEid;
    // The restriction for this store: its named properties' IDs are the store's own.
    const CQuery::NameResolver resolver = [&](const MAPINAMEID& name, ULONG& id) -> HRESULT {
        LPMAPINAMEID names[1] = {const_cast<LPMAPINAMEID>(&name)};
        LPSPropTagArray tags = nullptr;
        const HRESULT h = store->GetIDsFromNames(1, names, 0, &tags);
        TagsPtr owned(tags);
        if (FAILED(h) || !tags || tags->cValues != 1 || PROP_TYPE(tags->aulPropTag[0]) == PT_ERROR)
            return MAPI_E_NOT_FOUND;
        id = PROP_ID(tags->aulPropTag[0]);
        return S_OK;
    };
    LPSRestriction raw = nullptr;
    if (FAILED(hr = m_query.Compile(resolver, &raw)))
        return hr;
    RestrictionPtr res(raw);

    std::vector<BYTE> folderEid;
    bool recurse = true;
    if (m_start.scope == SearchScope::Folder || m_start.scope == SearchScope::FolderAndSubfolders) {
        folderEid = m_start.folderEntryId;
        recurse = m_start.scope == SearchScope::FolderAndSubfolders;
        path = m_start.folderPath.empty() ? path : m_start.folderPath;
        m_pathEids = m_start.folderPathEntryIds;
    } else {
        m_pathEids.clear();
    }
    ULONG type = 0;
    CRef<IUnknown> unk;
    hr = store->OpenEntry(static_cast<ULONG>(folderEid.size()),
                          folderEid.empty() ? nullptr : reinterpret_cast<LPENTRYID>(folderEid.data()), nullptr,
                          MAPI_BEST_ACCESS, &type, unk.Out());
    if (FAILED(hr)) {
        Error(path, "IMsgStore->OpenEntry", hr);
        return hr;
    }
    auto* folder = dynamic_cast<IMAPIFolder*>(unk.Get());
    if (!folder)
        return MAPI_E_INVALID_ENTRYID;
    if (folderEid.empty()) {
        LPSPropValue eidProp = nullptr;
        if (SUCCEEDED(HrGetOneProp(folder, PR_ENTRYID, &eidProp))) {
            folderEid = Bytes(eidProp);
            MAPIFreeBuffer(eidProp);
        }
    }
    return SearchFolder(store.Get(), folder, folderEid, path, recurse, res.get());
}

HRESULT CSearch::SearchFolder(IMsgStore* pStore, IMAPIFolder* pFolder, const std::vector<BYTE>& folderEid,
                              std::vector<std::string>& path, bool recurse, const SRestriction* res)
{
    HRESULT hr = SearchContents(pFolder, folderEid, path, res);
    if (hr == MAPI_E_USER_CANCEL || Stopped())
        return MAPI_E_USER_CANCEL;
    if (m_cb.onProgress)
        m_cb.onProgress(m_examined.load(), Join(path));
    if (!recurse)
        return S_OK;
    CRef<IMAPITable> hierarchy;
    if (FAILED(hr = pFolder->GetHierarchyTable(MAPI_UNICODE, hierarchy.Out())) || !hierarchy) {
        if (hr != MAPI_E_NO_SUPPORT)
            Error(path, "IMAPIFolder->GetHierarchyTable", hr);
        return S_OK;
    }
    LPSRowSet raw = nullptr;
    if (FAILED(hr = HrQueryAllRows(hierarchy.Get(), nullptr, nullptr, nullptr, 0, &raw))) {
        Error(path, "IMAPITable->QueryRows", hr);
        return S_OK;
    }
    RowsPtr rows(raw);
    for (ULONG r = 0; r < rows->cRows; ++r) {
        if (Stopped())
            return MAPI_E_USER_CANCEL;
        const SRow& row = rows->aRow[r];
        std::vector<BYTE> eid = Bytes(FindId(row.lpProps, row.cValues, PROP_ID(PR_ENTRYID)));
        path.push_back(Text(FindId(row.lpProps, row.cValues, PROP_ID(PR_DISPLAY_NAME_W))));
        m_pathEids.push_back(eid);
        ULONG type = 0;
        CRef<IUnknown> unk;
        hr = pStore->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr,
                               MAPI_BEST_ACCESS, &type, unk.Out());
        if (FAILED(hr) || eid.empty()) {
            Error(path, "IMsgStore->OpenEntry", FAILED(hr) ? hr : MAPI_E_INVALID_ENTRYID);
        } else if (auto* sub = dynamic_cast<IMAPIFolder*>(unk.Get())) {
            if (SearchFolder(pStore, sub, eid, path, true, res) == MAPI_E_USER_CANCEL)
                return MAPI_E_USER_CANCEL;
        }
        path.pop_back();
        m_pathEids.pop_back();
    }
    return S_OK;
}

HRESULT CSearch::SearchContents(IMAPIFolder* pFolder, const std::vector<BYTE>& folderEid,
                                const std::vector<std::string>& path, const SRestriction* res)
{
    CRef<IMAPITable> table;
    HRESULT hr = pFolder->GetContentsTable(MAPI_UNICODE, table.Out());
    if (FAILED(hr) || !table) {
        if (hr != MAPI_E_NO_SUPPORT)
            Error(path, "IMAPIFolder->GetContentsTable", hr);
        return S_OK;
    }
    // The table answers when its columns hold every property the restriction tests.
    bool inColumns = !IsSub(res) && !m_start.bOpenEveryMessage;
    if (inColumns) {
        LPSPropTagArray all = nullptr;
        if (FAILED(table->QueryColumns(TBL_ALL_COLUMNS, &all)) || !all) {
            inColumns = false;
        } else {
            for (ULONG tag : mapi32::RestrictionTags(res))
                inColumns = inColumns && HasColumn(*all, tag);
            MAPIFreeBuffer(all);
        }
    }
    SetCurrentTable(table.Get());
    hr = inColumns ? SearchTable(table.Get(), folderEid, path, res) : SearchObjects(pFolder, table.Get(), folderEid, path, res);
    SetCurrentTable(nullptr);
    if (hr == MAPI_E_USER_CANCEL || Stopped())
        return MAPI_E_USER_CANCEL;
    if (FAILED(hr))
        Error(path, "", hr);
    return S_OK;
}

HRESULT CSearch::SearchTable(IMAPITable* pTable, const std::vector<BYTE>& folderEid, const std::vector<std::string>& path,
                             const SRestriction* res)
{
    std::vector<ULONG> columns = {PR_ENTRYID, PR_SUBJECT_W};
    const std::vector<ULONG> tested = mapi32::RestrictionTags(res);
    if (!tested.empty() && PROP_TYPE(tested[0]) != PT_UNSPECIFIED)
        columns.push_back(tested[0]);
    LPSPropTagArray tags = nullptr;
    HRESULT hr = mapi32::CopyTagArray(columns, &tags);
    if (FAILED(hr))
        return hr;
    TagsPtr ownedTags(tags);
    if (FAILED(hr = pTable->SetColumns(tags, 0)))
        return hr;
    ULONG total = 0;
    pTable->GetRowCount(0, &total);
    const std::string text = RestrictionText(res, true);
    Trace("IMAPITable->FindRow(" + text + ", BOOKMARK_CURRENT) over " + std::to_string(total) + " rows of " + Join(path));
    ULONG before = 0;
    for (;;) {
        if (Stopped())
            return MAPI_E_USER_CANCEL;
        hr = pTable->FindRow(const_cast<LPSRestriction>(res), BOOKMARK_CURRENT, 0);
        ULONG row = 0, num = 0, den = 1;
        if (hr == MAPI_E_NOT_FOUND) {
            m_examined += total - before;
            return S_OK;
        }
        if (FAILED(hr))
            return hr;
        pTable->QueryPosition(&row, &num, &den);
        m_examined += row + 1 - before;
        before = row + 1;
        LPSRowSet raw = nullptr;
        if (FAILED(hr = pTable->QueryRows(1, 0, &raw)))
            return hr;
        RowsPtr rows(raw);
        if (rows->cRows == 0)
            return S_OK;
        const SRow& r = rows->aRow[0];
        // PR_ENTRYID and the subject from the row; the value from the columns asked for.
        Deliver(r.lpProps, r.cValues, folderEid, path, res);
        if (m_cb.onProgress)
            m_cb.onProgress(m_examined.load(), Join(path));
    }
}

HRESULT CSearch::SearchObjects(IMAPIFolder* pFolder, IMAPITable* pTable, const std::vector<BYTE>& folderEid,
                               const std::vector<std::string>& path, const SRestriction* res)
{
    LPSPropTagArray tags = nullptr;
    HRESULT hr = mapi32::CopyTagArray({PR_ENTRYID}, &tags);
    if (FAILED(hr))
        return hr;
    TagsPtr ownedTags(tags);
    if (FAILED(hr = pTable->SetColumns(tags, 0)))
        return hr;
    Trace("IMAPIProp->GetProps() of each message of " + Join(path) + ", against " + RestrictionText(res, true));
    const auto trace = [this](const std::string& line) { Trace(line); };
    for (;;) {
        if (Stopped())
            return MAPI_E_USER_CANCEL;
        LPSRowSet raw = nullptr;
        if (FAILED(hr = pTable->QueryRows(kBatch, 0, &raw)))
            return hr;
        RowsPtr rows(raw);
        if (rows->cRows == 0)
            return S_OK;
        for (ULONG i = 0; i < rows->cRows; ++i) {
            if (Stopped())
                return MAPI_E_USER_CANCEL;
            const SRow& row = rows->aRow[i];
            std::vector<BYTE> eid = Bytes(FindId(row.lpProps, row.cValues, PROP_ID(PR_ENTRYID)));
            ULONG type = 0;
            CRef<IUnknown> unk;
            hr = pFolder->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr,
                                    MAPI_BEST_ACCESS, &type, unk.Out());
            auto* message = dynamic_cast<IMessage*>(unk.Get());
            ++m_examined;
            if (FAILED(hr) || !message) {
                Error(path, "IMAPIFolder->OpenEntry", FAILED(hr) ? hr : MAPI_E_INVALID_ENTRYID);
                continue;
            }
            ULONG count = 0;
            LPSPropValue values = nullptr;
            if (FAILED(hr = ReadPropsForRestriction(message, res, &count, &values))) {
                Error(path, "IMAPIProp->GetProps", hr);
                continue;
            }
            PropsPtr owned(values);
            const mapi32::SubObjectMatcher subs = [&](ULONG ulSubObject, const SRestriction* sub) {
                return SubObjectMatches(message, ulSubObject, sub, trace);
            };
            if (mapi32::RestrictionMatches(res, values, count, &subs))
                Deliver(values, count, folderEid, path, res);
            if (m_cb.onProgress && (m_examined.load() % kBatch) == 0)
                m_cb.onProgress(m_examined.load(), Join(path));
        }
    }
}

void CSearch::Deliver(const SPropValue* props, ULONG count, const std::vector<BYTE>& folderEid,
                      const std::vector<std::string>& path, const SRestriction* res)
{
    ++m_found;
    if (!m_cb.onResult)
        return;
    SearchResult result;
    result.folderPath = path;
    result.strSubject = Text(FindId(props, count, PROP_ID(PR_SUBJECT_W)));
    for (ULONG tag : mapi32::RestrictionTags(res))
        if (const SPropValue* v = FindId(props, count, PROP_ID(tag))) {
            result.strValue = PropValueToText(v, kMaxValueText);
            break;
        }
    result.storeEntryId = m_storeEid;
    result.folderEntryId = folderEid;
    result.folderPathEntryIds = m_pathEids;
    result.entryId = Bytes(FindId(props, count, PROP_ID(PR_ENTRYID)));
    m_cb.onResult(result);
}

} // namespace dravik::query
