// bench_find STORE QUERY [--gui | --first]
//
// Without --gui: logs on to the store through a temporary profile and runs the
// search as dravik-dump --where does, printing the milliseconds to the first
// result and to the end, the results and the messages examined; with --first
// it stops at the first result.
// With --gui (QT_QPA_PLATFORM=offscreen): a workspace window on the store runs
// the same search in its Find window; printed are the milliseconds to the
// first result shown, to the end, and the longest gap between two repaints of
// the window's status line or busy bar while the search ran.
#include "app/ChildFrame.h"
#include "app/FindWindow.h"
#include "workspace/DravikDoc.h"

#include "TempProfile.h"
#include "mapi32/mapix.h"
#include "props/IniFile.h"
#include "props/MapiRef.h"
#include "query/Search.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

int Headless(const std::string& store, const dravik::query::CQuery& query, bool firstOnly)
{
    CTempProfile profile;
    std::string step;
    if (FAILED(profile.Create(store, step))) {
        std::fprintf(stderr, "bench_find: %s failed\n", step.c_str());
        return 1;
    }
    const auto t0 = std::chrono::steady_clock::now();
    LPMAPISESSION raw = nullptr;
    if (FAILED(MAPILogonEx(0, const_cast<char*>(profile.Name().c_str()), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED, &raw)))
        return 1;
    CRef<IMAPISession> session(raw);
    double first = -1;
    const auto ms = [&] { return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count(); };
    dravik::query::CSearch::Callbacks cb;
    dravik::query::CSearch* self = nullptr;
    cb.onResult = [&](const dravik::query::SearchResult&) {
        if (first < 0)
            first = ms();
        if (firstOnly)
            self->Stop();
    };
    dravik::query::CSearch search(session.Get(), query, {}, cb);
    self = &search;
    const HRESULT hr = search.Run();
    std::printf("first result %.1f ms, end %.1f ms, %llu results, %llu messages examined, hr %08X\n", first, ms(),
                static_cast<unsigned long long>(search.Found()), static_cast<unsigned long long>(search.Examined()),
                static_cast<unsigned>(hr));
    session->Logoff(0, 0, 0);
    return 0;
}

// Records the longest time between two paints of a widget.
class CPaintGaps : public QObject
{
public:
    QElapsedTimer clock;
    qint64 last = -1, longest = 0;
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint) {
            const qint64 now = clock.elapsed();
            if (last >= 0)
                longest = std::max(longest, now - last);
            last = now;
            ++paints;
        }
        return false;
    }
};

int Gui(int argc, char** argv, const QString& store, const QString& query)
{
    QApplication app(argc, argv);
    QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
    CChildFrame frame(std::make_unique<CDravikDoc>());
    frame.resize(700, 400);
    frame.show();
    if (frame.GetDocument()->ConnectFile(store) != S_OK)
        return 1;
    CFindWindow* pFind = frame.ShowFindWindow();
    pFind->SetQuery(query);
    CPaintGaps gaps;
    // The window's status line and its busy bar: whichever repaints.
    pFind->findChild<QLabel*>(QStringLiteral("status"))->installEventFilter(&gaps);
    pFind->findChild<QProgressBar*>()->installEventFilter(&gaps);
    QElapsedTimer t;
    qint64 first = -1;
    QObject::connect(pFind->Results(), &QAbstractItemModel::rowsInserted, [&] {
        if (first < 0)
            first = t.elapsed();
    });
    QObject::connect(pFind, &CFindWindow::finished, &app, &QCoreApplication::quit);
    t.start();
    gaps.clock.start();
    if (!pFind->Start())
        return 1;
    app.exec();
    std::printf("gui: first result shown %lld ms, end %lld ms, %d results, %d repaints of the status line and busy bar, longest gap %lld ms\n",
                static_cast<long long>(first), static_cast<long long>(t.elapsed()), pFind->Results()->rowCount(), gaps.paints,
                static_cast<long long>(gaps.longest));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_find STORE QUERY [--gui]\n");
        return 2;
    }
    const bool gui = argc > 3 && std::strcmp(argv[3], "--gui") == 0;
    GetIniFile().Load(DRAVIK_SOURCE_DIR "/Dravik.ini");
    MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
    MAPIInitialize(&init);
    int status;
    if (gui) {
        status = Gui(argc, argv, QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath(), QString::fromLocal8Bit(argv[2]));
    } else {
        dravik::query::QueryError error;
        const std::optional<dravik::query::CQuery> query = dravik::query::CQuery::Parse(argv[2], error);
        if (!query) {
            std::fprintf(stderr, "bench_find: %s\n", error.message.c_str());
            return 2;
        }
        status = Headless(argv[1], *query, argc > 3 && std::strcmp(argv[3], "--first") == 0);
    }
    MAPIUninitialize();
    return status;
}
