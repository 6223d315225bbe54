// Run: QT_QPA_PLATFORM=offscreen bench_tracepane [lines]
#include "mapi/MAPICommandView.h"
#include "mapi/TraceWriter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QScrollBar>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int nLines = argc > 1 ? std::atoi(argv[1]) : 100000;
    CMAPICommandView pane;
    pane.resize(700, 200);
    pane.show();
    QApplication::processEvents();
    CMAPITraceSlot slot = new CTraceWriter(&pane);
    const char* lines[] = {"IMAPIFolder->GetContentsTable()\n", "IMAPIStore->OpenEntry()\n", "HrQueryAllRows()\n ",
                           "IMessage->GetAttachmentTable()\n"};

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < nLines; ++i) {
        TraceThroughSlot(&slot, lines[i % 4]);
        if (i % 1000 == 999)
            QApplication::processEvents();
    }
    QApplication::processEvents();
    const qint64 nAppendMs = timer.elapsed();

    // Responsiveness afterwards: one more line, a page scroll, a key press and
    // a repaint, each timed.
    timer.restart();
    TraceThroughSlot(&slot, "MAPILogonEx()\n");
    QApplication::processEvents();
    const qint64 nOneMoreUs = timer.nsecsElapsed() / 1000;

    // Lines that each reach the screen before the next: one event-loop pass
    // after every line, as when calls come one user action at a time.
    const int nSingles = 1000;
    timer.restart();
    for (int i = 0; i < nSingles; ++i) {
        TraceThroughSlot(&slot, lines[i % 4]);
        QApplication::processEvents();
    }
    const qint64 nSinglesUs = timer.nsecsElapsed() / 1000;

    timer.restart();
    pane.verticalScrollBar()->setValue(pane.verticalScrollBar()->maximum() / 2);
    pane.viewport()->repaint();
    const qint64 nScrollUs = timer.nsecsElapsed() / 1000;

    timer.restart();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
    QApplication::sendEvent(&pane, &press);
    pane.viewport()->repaint();
    const qint64 nKeyUs = timer.nsecsElapsed() / 1000;

    std::printf("lines: %d\nappend all: %lld ms (%.2f us per line)\none more line: %lld us\n"
                "%d more lines, each shown: %.1f us per line\n"
                "scroll to middle + repaint: %lld us\nPage Down + repaint: %lld us\nrows in the pane: %d\n",
                nLines, static_cast<long long>(nAppendMs), nAppendMs * 1000.0 / nLines,
                static_cast<long long>(nOneMoreUs), nSingles, static_cast<double>(nSinglesUs) / nSingles,
                static_cast<long long>(nScrollUs),
                static_cast<long long>(nKeyUs), pane.Model().LineCount());
    delete slot;
    return 0;
}
