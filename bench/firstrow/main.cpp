// How long the largest folder of a store takes to show its first row, through
// MAPI as Dravik reads it: the folder opened by its entry ID, its contents
// table opened, and QueryRows(1). Also GetRowCount, a QueryRows of 100 rows
// from the middle (SeekRow), and the process's peak memory.
//
// Usage: firstrow_bench STORE [RUNS]   (median and slowest of RUNS, default 5)
// The store is opened through a temporary profile, deleted afterwards.

#include "TempProfile.h"

#include "mapi32/mapix.h"
#include "props/Mapi.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

[[noreturn]] void Die(const char* what, HRESULT hr)
{
    std::fprintf(stderr, "firstrow_bench: %s failed: %08X\n", what, static_cast<unsigned>(hr));
    std::exit(1);
}

void Check(const char* what, HRESULT hr)
{
    if (FAILED(hr))
        Die(what, hr);
}

// The rows of a table, all of them.
LPSRowSet AllRows(LPMAPITABLE table)
{
    LPSRowSet rows = nullptr;
    Check("HrQueryAllRows", HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows));
    return rows;
}

const SPropValue* Find(const SRow& row, ULONG tag) { return PpropFindProp(row.lpProps, row.cValues, tag); }

// The entry ID of the folder with the most messages below the IPM subtree's root, depth first.
void Largest(LPMDB store, const SBinary& eid, std::vector<BYTE>& best, ULONG& bestCount, int depth)
{
    ULONG type = 0;
    LPUNKNOWN unk = nullptr;
    Check("OpenEntry (folder)",
          store->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, 0, &type, &unk));
    auto* folder = static_cast<LPMAPIFOLDER>(unk);
    LPMAPITABLE hierarchy = nullptr;
    if (SUCCEEDED(folder->GetHierarchyTable(0, &hierarchy))) {
        LPSRowSet rows = AllRows(hierarchy);
        hierarchy->Release();
        for (ULONG i = 0; i < rows->cRows; ++i) {
            const SPropValue* child = Find(rows->aRow[i], PR_ENTRYID);
            const SPropValue* count = Find(rows->aRow[i], PR_CONTENT_COUNT);
            if (!child)
                continue;
            if (count && count->Value.ul > bestCount) {
                bestCount = count->Value.ul;
                best.assign(child->Value.bin.lpb, child->Value.bin.lpb + child->Value.bin.cb);
            }
            if (depth < 32)
                Largest(store, child->Value.bin, best, bestCount, depth + 1);
        }
        FreeProws(rows);
    }
    folder->Release();
}

struct Figures
{
    std::vector<double> open, first, count, middle;
};

void Report(const char* what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::printf("| %s | %.2f ms | %.2f ms |\n", what, v[v.size() / 2], v.back());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: firstrow_bench STORE [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
    Check("MAPIInitialize", MAPIInitialize(&init));
    int status = 0;
    {
        CTempProfile profile;
        std::string step;
        Check("creating the profile", profile.Create(std::filesystem::absolute(argv[1]).string(), step));
        LPMAPISESSION session = nullptr;
        std::string name = profile.Name();
        Check("MAPILogonEx", MAPILogonEx(0, name.data(), nullptr, MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_NO_MAIL, &session));
        LPMAPITABLE stores = nullptr;
        Check("GetMsgStoresTable", session->GetMsgStoresTable(0, &stores));
        LPSRowSet storeRows = AllRows(stores);
        stores->Release();
        const SPropValue* storeEid = storeRows->cRows ? Find(storeRows->aRow[0], PR_ENTRYID) : nullptr;
        if (!storeEid)
            Die("finding the store", MAPI_E_NOT_FOUND);
        LPMDB store = nullptr;
        Check("OpenMsgStore", session->OpenMsgStore(0, storeEid->Value.bin.cb,
                                                    reinterpret_cast<LPENTRYID>(storeEid->Value.bin.lpb), nullptr,
                                                    MAPI_BEST_ACCESS, &store));
        FreeProws(storeRows);
        LPSPropValue ipm = nullptr;
        Check("PR_IPM_SUBTREE_ENTRYID", HrGetOneProp(store, PR_IPM_SUBTREE_ENTRYID, &ipm));
        std::vector<BYTE> folderEid;
        ULONG messages = 0;
        Largest(store, ipm->Value.bin, folderEid, messages, 0);
        MAPIFreeBuffer(ipm);
        if (folderEid.empty())
            Die("finding a folder with messages", MAPI_E_NOT_FOUND);
        std::printf("largest folder: %lu messages; %d runs\n\n| step | median | slowest |\n|---|---|---|\n",
                    static_cast<unsigned long>(messages), runs);

        Figures f;
        for (int r = 0; r < runs; ++r) {
            auto t = Clock::now();
            ULONG type = 0;
            LPUNKNOWN unk = nullptr;
            Check("OpenEntry", store->OpenEntry(static_cast<ULONG>(folderEid.size()),
                                                reinterpret_cast<LPENTRYID>(folderEid.data()), nullptr, 0, &type, &unk));
            auto* folder = static_cast<LPMAPIFOLDER>(unk);
            f.open.push_back(Ms(t));

            t = Clock::now();
            LPMAPITABLE contents = nullptr;
            Check("GetContentsTable", folder->GetContentsTable(0, &contents));
            LPSRowSet rows = nullptr;
            Check("QueryRows(1)", contents->QueryRows(1, 0, &rows));
            f.first.push_back(Ms(t));
            if (rows->cRows != 1)
                Die("QueryRows(1): no row", MAPI_E_NOT_FOUND);
            FreeProws(rows);

            t = Clock::now();
            ULONG count = 0;
            Check("GetRowCount", contents->GetRowCount(0, &count));
            f.count.push_back(Ms(t));

            t = Clock::now();
            Check("SeekRow", contents->SeekRow(BOOKMARK_BEGINNING, static_cast<LONG>(count / 2), nullptr));
            Check("QueryRows(100)", contents->QueryRows(100, 0, &rows));
            f.middle.push_back(Ms(t));
            FreeProws(rows);
            contents->Release();
            folder->Release();
        }
        Report("open the folder (OpenEntry)", f.open);
        Report("first row (GetContentsTable, QueryRows(1))", f.first);
        Report("GetRowCount", f.count);
        Report("100 rows from the middle (SeekRow, QueryRows(100))", f.middle);
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("\npeak memory: %ld MiB\n", usage.ru_maxrss / 1024);

        ULONG flags = 0;
        store->StoreLogoff(&flags);
        store->Release();
        session->Logoff(0, 0, 0);
        session->Release();
        profile.Delete();
    }
    MAPIUninitialize();
    return status;
}
