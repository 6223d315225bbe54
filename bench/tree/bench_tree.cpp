// Run: QT_QPA_PLATFORM=offscreen bench_tree [messages] [cycles] [--no-trace]
//
// --no-trace takes the trace pane's writer out of the workspace while the
// folder is listed, to tell the pane's share of the time from the rest.
// Writes a store with `pstgen scale` (one folder of the given number of
// messages, each with two recipients and one attachment of 2,000 bytes), connects a workspace
// window to it and expands the folder in the tree: everything the tree does
// for each row (open, read the properties its rules look at, the attachment
// and recipient groups) through the traced wrappers into the trace pane. Prints the time of
// the expansion, how often progress was sent, how often the window's widgets
// and the progress bar itself were painted meanwhile, and the resident memory after each cycle of connect, expand,
// collapse and disconnect.
#include "app/ChildFrame.h"
#include "app/ProgStatusBar.h"
#include "mapi/MAPICommandView.h"
#include "tree/LeftView.h"
#include "workspace/DravikDoc.h"

#include "mapi32/mapix.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// Counts paint events of the window's widgets.
class CPaintCounter : public QObject
{
public:
    int m_nPaints = 0;
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::Paint)
            ++m_nPaints;
        return false;
    }
};

QTreeWidgetItem* FindFolder(CLeftView& tree, QTreeWidgetItem* pItem, const QString& strText, int nDepth)
{
    if (pItem->text(0) == strText)
        return pItem;
    if (nDepth == 0)
        return nullptr;
    tree.ExpandNow(pItem);
    for (int i = 0; i < pItem->childCount(); ++i) {
        if (QTreeWidgetItem* p = FindFolder(tree, pItem->child(i), strText, nDepth - 1))
            return p;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QString strMessages = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("10000");
    const int nCycles = argc > 2 ? std::atoi(argv[2]) : 3;
    const bool bNoTrace = argc > 3 && std::string(argv[3]) == "--no-trace";
    QTemporaryDir dir;
    qputenv("DRAVIK_MAPI_PROFILES", dir.path().toUtf8());
    const QString strStore = dir.filePath(QStringLiteral("scale.pst"));
    QElapsedTimer timer;
    timer.start();
    if (QProcess::execute(QStringLiteral(DRAVIK_PSTGEN_EXE),
                          {QStringLiteral("scale"), strStore, QStringLiteral("--folders"), QStringLiteral("1"),
                           QStringLiteral("--messages"), strMessages, QStringLiteral("--body-size"),
                           QStringLiteral("50"), QStringLiteral("--attachment-size"), QStringLiteral("2000")}) != 0)
        return 1;
    std::printf("store of %s messages written in %lld ms\n", qPrintable(strMessages),
                static_cast<long long>(timer.elapsed()));
    MAPIInitialize(nullptr);
    // The tag dictionary is read from the current folder.
    QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));

    CChildFrame frame(std::make_unique<CDravikDoc>());
    frame.resize(700, 400);
    frame.show();
    CPaintCounter paints;
    for (QWidget* pWidget : frame.findChildren<QWidget*>())
        pWidget->installEventFilter(&paints);
    CPaintCounter barPaints;
    frame.StatusBar()->ProgressControl()->installEventFilter(&barPaints);
    int nProgress = 0;
    QObject::connect(frame.LeftView(), &CLeftView::progress, [&nProgress](int) { ++nProgress; });
    QApplication::processEvents();
    std::printf("resident before: %ld KiB\n", ResidentKiB());

    for (int nCycle = 1; nCycle <= nCycles; ++nCycle) {
        CDravikDoc& doc = *frame.GetDocument();
        if (FAILED(doc.ConnectFile(strStore)))
            return 1;
        CLeftView& tree = *frame.LeftView();
        QTreeWidgetItem* pFolder = FindFolder(tree, tree.topLevelItem(0), QStringLiteral("Folder 1"), 4);
        if (pFolder == nullptr)
            return 1;
        QApplication::processEvents();
        nProgress = 0;
        paints.m_nPaints = 0;
        barPaints.m_nPaints = 0;
        CMAPITraceWriter* pWriter = *doc.m_ppTraceWriter;
        if (bNoTrace)
            *doc.m_ppTraceWriter = nullptr;
        timer.restart();
        tree.ExpandNow(pFolder);
        const qint64 nListMs = timer.elapsed();
        *doc.m_ppTraceWriter = pWriter;
        QApplication::processEvents();
        const qint64 nShownMs = timer.elapsed();
        std::printf("cycle %d: %d messages listed in %lld ms (shown after %lld ms); progress sent %d times, "
                    "%d paint events during the listing (%d of the progress bar); resident after expanding: %ld KiB\n",
                    nCycle, pFolder->childCount(), static_cast<long long>(nListMs),
                    static_cast<long long>(nShownMs), nProgress, paints.m_nPaints, barPaints.m_nPaints,
                    ResidentKiB());
        tree.collapseItem(pFolder);
        timer.restart();
        doc.OnDisconnect();
        QApplication::processEvents();
        const qint64 nFreeMs = timer.elapsed();
        // The trace pane keeps every line; it is emptied so that only the
        // tree's memory is compared from cycle to cycle.
        frame.TraceView()->clear();
        QApplication::processEvents();
        std::printf("cycle %d: tree freed on disconnect in %lld ms; resident with the trace pane emptied: %ld KiB\n",
                    nCycle, static_cast<long long>(nFreeMs), ResidentKiB());
    }
    return 0;
}
