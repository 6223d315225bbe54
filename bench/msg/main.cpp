// .msg files: opening and walking them, side by side with msgconvert, and
// saving a message as .msg against reading it.
//
//   build/bench/msg/bench_msg [RUNS]
//
// Writes a store (pstgen's writer) with three messages shaped like real mail:
// 200 recipients; 20 attachments of 1 MiB each; one attachment of 10 MiB.
// Each is saved as .msg through the store provider (the save is timed), then
// each .msg is opened and walked whole through the .msg provider (every value,
// recipient and attachment's data) and converted by msgconvert, in the same
// run. Prints the best of RUNS (3) for each.
#include "TempProfile.h"

#include "mapi32/mapix.h"
#include "mapi32/providers/msg/msg_writer.h"
#include "mapi32/providers/msg/tests/MsgWalk.h"

#include "StoreWriter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;
using namespace dravik::mapi32;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

std::vector<uint8_t> Bytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> b(n);
    std::mt19937 gen(seed);
    for (size_t i = 0; i < n; i += 4) {
        const uint32_t v = gen();
        for (size_t k = 0; k < 4 && i + k < n; ++k)
            b[i + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    return b;
}

namespace w = dravik::pst::writer;

w::Message Mail(const std::string& subject)
{
    w::Message m;
    m.props.set(0x001A001F, w::PropValue::unicode("IPM.Note"));
    m.props.set(0x0037001F, w::PropValue::unicode(subject));
    m.props.set(0x0C1A001F, w::PropValue::unicode("Sender Name"));
    std::string body;
    for (int i = 0; i < 200; ++i)
        body += "A line of the body of a message, as mail has them. ";
    m.props.set(0x1000001F, w::PropValue::unicode(body));
    return m;
}

void WriteStore(const std::string& path)
{
    w::StoreWriter sw(path, {});
    const int recipients = std::getenv("BENCH_MSG_RECIPIENTS") ? std::atoi(std::getenv("BENCH_MSG_RECIPIENTS")) : 200;
    w::Message many = Mail(std::to_string(recipients) + " recipients");
    for (int i = 0; i < recipients; ++i) {
        w::Recipient r;
        r.props.set(0x3001001F, w::PropValue::unicode("Recipient " + std::to_string(i)));
        r.props.set(0x3003001F, w::PropValue::unicode("recipient" + std::to_string(i) + "@example.com"));
        r.props.set(0x3002001F, w::PropValue::unicode("SMTP"));
        many.recipients.push_back(r);
    }
    sw.addMessage(sw.ipmSubtree(), many);
    w::Message files = Mail("20 attachments of 1 MiB");
    if (std::getenv("BENCH_MSG_SMALL")) { sw.finish(); return; }
    for (int i = 0; i < 20; ++i) {
        w::Attachment a;
        a.props.set(0x3707001F, w::PropValue::unicode("file" + std::to_string(i) + ".bin"));
        a.data = Bytes(1 << 20, static_cast<uint32_t>(i));
        files.attachments.push_back(a);
    }
    sw.addMessage(sw.ipmSubtree(), files);
    w::Message big = Mail("10 MiB");
    w::Attachment a;
    a.props.set(0x3707001F, w::PropValue::unicode("big.bin"));
    a.data = Bytes(10 << 20, 99);
    big.attachments.push_back(a);
    sw.addMessage(sw.ipmSubtree(), big);
    sw.finish();
}

struct Found
{
    std::string subject;
    testing::Ref<IMessage> message;
};

std::vector<Found> Messages(IMsgStore* store)
{
    std::vector<Found> out;
    ULONG type = 0;
    LPUNKNOWN unk = nullptr;
    if (FAILED(store->OpenEntry(0, nullptr, nullptr, 0, &type, &unk)))
        return out;
    testing::Ref<IMAPIFolder> root(static_cast<IMAPIFolder*>(unk));
    LPMAPITABLE t = nullptr;
    root->GetHierarchyTable(0, &t);
    testing::Ref<IMAPITable> folders(t);
    LPSRowSet rows = nullptr;
    HrQueryAllRows(folders.get(), nullptr, nullptr, nullptr, 0, &rows);
    for (ULONG i = 0; rows && i < rows->cRows; ++i) {
        const SPropValue* eid = PpropFindProp(rows->aRow[i].lpProps, rows->aRow[i].cValues, PR_ENTRYID);
        if (!eid || FAILED(store->OpenEntry(eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr,
                                            0, &type, &unk)))
            continue;
        testing::Ref<IMAPIFolder> folder(static_cast<IMAPIFolder*>(unk));
        folder->GetContentsTable(MAPI_UNICODE, &t);
        testing::Ref<IMAPITable> contents(t);
        LPSRowSet msgs = nullptr;
        HrQueryAllRows(contents.get(), nullptr, nullptr, nullptr, 0, &msgs);
        for (ULONG k = 0; msgs && k < msgs->cRows; ++k) {
            const SPropValue* meid = PpropFindProp(msgs->aRow[k].lpProps, msgs->aRow[k].cValues, PR_ENTRYID);
            const SPropValue* subj = PpropFindProp(msgs->aRow[k].lpProps, msgs->aRow[k].cValues, PR_SUBJECT_W);
            if (meid && subj &&
                SUCCEEDED(store->OpenEntry(meid->Value.bin.cb, reinterpret_cast<LPENTRYID>(meid->Value.bin.lpb),
                                           nullptr, 0, &type, &unk)))
                out.push_back({Utf16ToUtf8(subj->Value.lpszW), testing::Ref<IMessage>(static_cast<IMessage*>(unk))});
        }
        if (msgs)
            FreeProws(msgs);
    }
    if (rows)
        FreeProws(rows);
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    char tmpl[] = "/tmp/dravik-benchmsg-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    const std::string dir = tmpl;
    setenv("DRAVIK_MAPI_PROFILES", (dir + "/profiles").c_str(), 1);
    fs::create_directories(dir + "/profiles");
    const std::string store = dir + "/bench.pst";
    WriteStore(store);
    MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
    MAPIInitialize(&init);
    int status = 0;
    {
        CTempProfile profile;
        std::string step;
        LPMAPISESSION session = nullptr;
        std::string name;
        if (FAILED(profile.Create(store, step)) ||
            (name = profile.Name(), FAILED(MAPILogonEx(0, name.data(), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED, &session)))) {
            std::fprintf(stderr, "bench_msg: cannot open %s\n", store.c_str());
            return 1;
        }
        LPMAPITABLE t = nullptr;
        session->GetMsgStoresTable(0, &t);
        LPSRowSet rows = nullptr;
        HrQueryAllRows(t, nullptr, nullptr, nullptr, 0, &rows);
        t->Release();
        const SPropValue* eid = PpropFindProp(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_ENTRYID);
        LPMDB mdb = nullptr;
        session->OpenMsgStore(0, eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr,
                              MAPI_BEST_ACCESS, &mdb);
        FreeProws(rows);
        testing::Ref<IMsgStore> pst(mdb);
        std::printf("%-26s %12s %12s %14s %14s\n", "message", "save (ms)", "read pst", "open+walk .msg",
                    "msgconvert");
        for (Found& f : Messages(pst.get())) {
            const std::string out = dir + "/" + std::to_string(f.message.get() != nullptr) + f.subject.substr(0, 3) + ".msg";
            double save = 1e300, readPst = 1e300, walkMsg = 1e300, convert = 1e300;
            for (int r = 0; r < runs; ++r) {
                auto t0 = Clock::now();
                testing::Walk walk;
                testing::WalkedMessage m;
                walk.Message(f.message.get(), m, "m");
                readPst = std::min(readPst, Ms(t0));
                for (const std::string& failure : walk.failures)
                    std::fprintf(stderr, "bench_msg: %s: %s\n", f.subject.c_str(), failure.c_str());
                t0 = Clock::now();
                const HRESULT hr = SaveMessageAsMsg(f.message.get(), out);
                if (FAILED(hr)) {
                    std::fprintf(stderr, "bench_msg: %s: save failed: 0x%08lX\n", f.subject.c_str(),
                                 static_cast<unsigned long>(hr));
                    status = 1;
                }
                save = std::min(save, Ms(t0));
                t0 = Clock::now();
                testing::Walk walk2;
                testing::WalkedMessage m2;
                if (!testing::WalkMsgFile(out, m2, walk2).empty() || !walk2.failures.empty())
                    status = 1;
                walkMsg = std::min(walkMsg, Ms(t0));
                if (r > 0)
                    continue;  // msgconvert once: it takes a minute over 20 MiB
                t0 = Clock::now();
                const std::string cmd = "cd '" + dir + "' && msgconvert --outfile /dev/null '" + out + "' >/dev/null 2>&1";
                const int rc = std::system(cmd.c_str());
                convert = std::min(convert, rc == 0 ? Ms(t0) : -1.0);
            }
            std::printf("%-26s %12.1f %12.1f %14.1f %14.1f   save/read %.2f\n", f.subject.c_str(), save, readPst,
                        walkMsg, convert, save / readPst);
        }
        pst.reset();
        session->Logoff(0, 0, 0);
        session->Release();
    }
    MAPIUninitialize();
    if (!std::getenv("BENCH_MSG_KEEP"))
        fs::remove_all(dir);
    else
        std::printf("kept %s\n", dir.c_str());
    return status;
}
