// Run: QT_QPA_PLATFORM=offscreen bench_tree [messages] [cycles] [--no-trace] [--store FILE]
//
// --no-trace takes the trace pane's writer out of the workspace while the
// folder is listed, to tell the pane's share of the time and memory from the
// rest. --store lists "Folder 1" of a store `pstgen scale` wrote before
// instead of writing one.
// Writes a store with `pstgen scale` (one folder of the given number of
// messages, each with two recipients and one attachment of 2,000 bytes),
// connects a workspace window to it and expands the folder in the tree, as a
// user does: the folder is listed in slices between which the window takes
// input. Meanwhile a thread of its own posts a probe event to the window
// every 50 ms; the delay until each probe is handled is the time the window
// would have kept a click or a key waiting. Prints, for each cycle of
// connect, expand, collapse and disconnect: the time until the first screen
// of rows was painted, until the whole folder was listed, the worst and the
// 99th percentile probe delay, how often progress was sent, and the resident
// memory before, after listing and after the disconnect.
#include "app/ChildFrame.h"
#include "mapi/MAPICommandView.h"
#include "tree/LeftView.h"
#include "workspace/DravikDoc.h"

#include "mapi32/mapix.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QMouseEvent>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

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

// One clock for both threads.
QElapsedTimer g_clock;

const QEvent::Type kProbeType = static_cast<QEvent::Type>(QEvent::registerEventType());

class CProbeEvent : public QEvent
{
public:
    explicit CProbeEvent(qint64 nPostedNs) : QEvent(kProbeType), m_nPostedNs(nPostedNs) {}
    const qint64 m_nPostedNs;
};

// Handles the probes on the GUI thread and keeps their delays.
class CProbeTarget : public QObject
{
public:
    std::vector<qint64> m_delaysNs;
    bool event(QEvent* pEvent) override
    {
        if (pEvent->type() != kProbeType)
            return QObject::event(pEvent);
        m_delaysNs.push_back(g_clock.nsecsElapsed() - static_cast<CProbeEvent*>(pEvent)->m_nPostedNs);
        return true;
    }
};

// Posts a probe every 50 ms until told to stop.
class CProbeThread : public QThread
{
public:
    explicit CProbeThread(CProbeTarget* pTarget) : m_pTarget(pTarget) {}
    std::atomic<bool> m_bStop{false};

protected:
    void run() override
    {
        while (!m_bStop) {
            QCoreApplication::postEvent(m_pTarget, new CProbeEvent(g_clock.nsecsElapsed()));
            QThread::msleep(50);
        }
    }

private:
    CProbeTarget* m_pTarget;
};

// The time of the first paint of the tree once a screen of rows is there.
class CFirstScreen : public QObject
{
public:
    QTreeWidgetItem* m_pFolder = nullptr;
    int m_nRows = 0;
    qint64 m_nPaintedNs = -1;
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::Paint && m_nPaintedNs < 0 && m_pFolder != nullptr &&
            m_pFolder->childCount() >= m_nRows)
            m_nPaintedNs = g_clock.nsecsElapsed();
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

// User and system CPU time of the process so far: on a loaded machine the
// wall time says little, the CPU time what the listing costs.
double CpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

double Ms(qint64 nNs)
{
    return static_cast<double>(nNs) / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QStringList args = app.arguments().mid(1);
    const bool bNoTrace = args.removeAll(QStringLiteral("--no-trace")) > 0;
    QString strStore;
    const qsizetype nStoreArg = args.indexOf(QStringLiteral("--store"));
    if (nStoreArg >= 0 && nStoreArg + 1 < args.size()) {
        strStore = args[nStoreArg + 1];
        args.remove(nStoreArg, 2);
    }
    const QString strMessages = !args.isEmpty() ? args[0] : QStringLiteral("10000");
    const int nCycles = args.size() > 1 ? args[1].toInt() : 3;
    QTemporaryDir dir;
    qputenv("DRAVIK_MAPI_PROFILES", dir.path().toUtf8());
    g_clock.start();
    if (strStore.isEmpty()) {
        strStore = dir.filePath(QStringLiteral("scale.pst"));
        if (QProcess::execute(QStringLiteral(DRAVIK_PSTGEN_EXE),
                              {QStringLiteral("scale"), strStore, QStringLiteral("--folders"), QStringLiteral("1"),
                               QStringLiteral("--messages"), strMessages, QStringLiteral("--body-size"),
                               QStringLiteral("50"), QStringLiteral("--attachment-size"), QStringLiteral("2000")}) != 0)
            return 1;
        std::printf("store of %s messages written in %.0f ms\n", qPrintable(strMessages), Ms(g_clock.nsecsElapsed()));
    }
    MAPIInitialize(nullptr);
    // The tag dictionary is read from the current folder.
    QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));

    CChildFrame frame(std::make_unique<CDravikDoc>());
    frame.resize(700, 400);
    frame.show();
    int nProgress = 0;
    QObject::connect(frame.LeftView(), &CLeftView::progress, [&nProgress](int) { ++nProgress; });
    QApplication::processEvents();
    std::printf("resident before: %ld KiB\n", ResidentKiB());

    for (int nCycle = 1; nCycle <= nCycles; ++nCycle) {
        CDravikDoc& doc = *frame.GetDocument();
        if (FAILED(doc.ConnectFile(strStore)))
            return 1;
        CLeftView& tree = *frame.LeftView();
        // The folder of messages of a store pstgen wrote.
        QTreeWidgetItem* pFolder = FindFolder(tree, tree.topLevelItem(0), QStringLiteral("Folder 1"), 4);
        if (pFolder == nullptr)
            return 1;
        QApplication::processEvents();
        const long nBeforeKiB = ResidentKiB();
        nProgress = 0;
        CMAPITraceWriter* pWriter = *doc.m_ppTraceWriter;
        if (bNoTrace)
            *doc.m_ppTraceWriter = nullptr;
        CFirstScreen firstScreen;
        firstScreen.m_pFolder = pFolder;
        firstScreen.m_nRows = std::max(1, tree.viewport()->height() / std::max(1, tree.sizeHintForRow(0)));
        tree.viewport()->installEventFilter(&firstScreen);
        CProbeTarget probes;
        CProbeThread prober(&probes);
        prober.start();

        const double nStartCpuMs = CpuMs();
        const qint64 nStartNs = g_clock.nsecsElapsed();
        tree.expandItem(pFolder);
        while (tree.IsListing())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        const qint64 nListedNs = g_clock.nsecsElapsed() - nStartNs;
        const double nListedCpuMs = CpuMs() - nStartCpuMs;
        prober.m_bStop = true;
        prober.wait();
        QApplication::processEvents();
        tree.viewport()->removeEventFilter(&firstScreen);
        *doc.m_ppTraceWriter = pWriter;

        std::vector<qint64> delays = probes.m_delaysNs;
        std::sort(delays.begin(), delays.end());
        const qint64 nWorst = delays.empty() ? 0 : delays.back();
        const qint64 nP99 = delays.empty() ? 0 : delays[std::min(delays.size() - 1, delays.size() * 99 / 100)];
        std::printf("cycle %d: %d items listed in %.0f ms (%.0f ms of CPU); first screen (%d rows) painted after %.0f ms; "
                    "%zu probes, delay worst %.1f ms, 99th percentile %.1f ms; progress sent %d times\n",
                    nCycle, pFolder->childCount(), Ms(nListedNs), nListedCpuMs, firstScreen.m_nRows,
                    firstScreen.m_nPaintedNs < 0 ? -1.0 : Ms(firstScreen.m_nPaintedNs - nStartNs), delays.size(),
                    Ms(nWorst), Ms(nP99), nProgress);
        std::printf("cycle %d: resident before listing %ld KiB, after listing %ld KiB\n", nCycle, nBeforeKiB,
                    ResidentKiB());
        // A click on a message near the end, one in the middle and the first:
        // the message is opened again and its row read again from the
        // folder's contents table before the property list shows it.
        for (const int nAt : {pFolder->childCount() - 2, pFolder->childCount() / 2, 0}) {
            QTreeWidgetItem* pMessage = pFolder->child(std::max(0, nAt));
            tree.scrollToItem(pMessage);
            QApplication::processEvents();
            const QPoint at = tree.visualItemRect(pMessage).center();
            const qint64 nClickNs = g_clock.nsecsElapsed();
            QMouseEvent press(QEvent::MouseButtonPress, at, tree.viewport()->mapToGlobal(at), Qt::LeftButton,
                              Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(tree.viewport(), &press);
            QMouseEvent release(QEvent::MouseButtonRelease, at, tree.viewport()->mapToGlobal(at), Qt::LeftButton,
                                Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(tree.viewport(), &release);
            QApplication::processEvents();
            std::printf("cycle %d: click on message %d of %d shown in %.1f ms (%s)\n", nCycle, std::max(0, nAt) + 1,
                        pFolder->childCount(), Ms(g_clock.nsecsElapsed() - nClickNs),
                        frame.GetDocument()->GetSelectedNode() == CLeftView::NodeOf(pMessage) ? "current"
                                                                                             : "NOT current");
        }
        tree.collapseItem(pFolder);
        const qint64 nFreeStart = g_clock.nsecsElapsed();
        doc.OnDisconnect();
        QApplication::processEvents();
        const qint64 nFreeNs = g_clock.nsecsElapsed() - nFreeStart;
        const long nDisconnectedKiB = ResidentKiB();
        // The trace pane keeps every line; it is emptied so that only the
        // tree's memory is compared from cycle to cycle.
        frame.TraceView()->clear();
        QApplication::processEvents();
        std::printf("cycle %d: tree freed on disconnect in %.0f ms; resident after the disconnect %ld KiB, "
                    "with the trace pane emptied %ld KiB\n",
                    nCycle, Ms(nFreeNs), nDisconnectedKiB, ResidentKiB());
    }
    return 0;
}
