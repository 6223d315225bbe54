#include "WhereDump.h"

#include "MapiRef.h"

#include "props/PropValueArray.h"
#include "query/Search.h"

#include <cstdio>

CWhereOutcome DumpWhere(IMAPISession* pSession, const dravik::query::CQuery& query, CDumpWriter& writer,
                        const volatile std::sig_atomic_t* pStop)
{
    using namespace dravik::query;
    CWhereOutcome outcome;
    CSearch* pSearch = nullptr;
    // The store of the last match, kept open for the next.
    std::vector<BYTE> storeEid;
    CRef<IMsgStore> store;
    const auto stopIfAsked = [&] {
        if ((pStop && *pStop) || !writer.Ok())
            pSearch->Stop();
    };
    CSearch::Callbacks callbacks;
    callbacks.onResult = [&](const SearchResult& result) {
        std::string path;
        for (const std::string& name : result.folderPath)
            path += name + "/";
        path += result.strSubject;
        std::vector<CPropRowText> rows;
        if (writer.WantsProps()) {
            HRESULT hr = S_OK;
            if (!store || storeEid != result.storeEntryId) {
                storeEid = result.storeEntryId;
                hr = pSession->OpenMsgStore(0, static_cast<ULONG>(storeEid.size()), reinterpret_cast<LPENTRYID>(storeEid.data()),
                                            nullptr, MAPI_BEST_ACCESS, store.Out());
            }
            ULONG type = 0;
            CRef<IUnknown> unk;
            if (SUCCEEDED(hr))
                hr = store->OpenEntry(static_cast<ULONG>(result.entryId.size()),
                                      reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(result.entryId.data())), nullptr,
                                      MAPI_BEST_ACCESS, &type, unk.Out());
            auto* message = dynamic_cast<IMAPIProp*>(unk.Get());
            CPropValueArray props;
            if (SUCCEEDED(hr) && message && SUCCEEDED(props.LoadProps(message, TRUE)))
                for (ULONG i = props.Count(); i-- > 0;)
                    rows.push_back(FormatPropRow(props, i, message));
            else {
                ++outcome.nErrors;
                std::fprintf(stderr, "dravik-dump: %s: the message cannot be opened: error %08X\n",
                             TextLine(path).c_str(), static_cast<unsigned>(FAILED(hr) ? hr : MAPI_E_INVALID_ENTRYID));
            }
        }
        writer.Write(0, "message", path, rows);
        stopIfAsked();
    };
    callbacks.onProgress = [&](std::uint64_t, const std::string&) { stopIfAsked(); };
    callbacks.onError = [&](const std::string& where, HRESULT hr) {
        std::fprintf(stderr, "dravik-dump: %s: cannot be read: error %08X\n", TextLine(where).c_str(),
                     static_cast<unsigned>(hr));
    };
    CSearch search(pSession, query, SearchStart{}, callbacks);
    pSearch = &search;
    outcome.hr = search.Run();
    outcome.nErrors += search.Errors();
    return outcome;
}
