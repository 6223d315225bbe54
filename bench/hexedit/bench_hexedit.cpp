// The hex editor's cost per page: painting one page into an image, and
// scrolling (Page Down with its repaint, a thumb drag to a random row), for a
// 16-byte value (two rows), a 4 KiB value (a full page) and a 16 MiB value.
// The last two should cost the same, because only the visible rows are
// touched.
//
//   QT_QPA_PLATFORM=offscreen bench_hexedit [ROUNDS]
#include "hexedit/HexEdit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

// The median of the times of rounds runs of fn, in microseconds.
template <class F>
double MedianMicros(int rounds, F fn)
{
    std::vector<double> times;
    times.reserve(static_cast<size_t>(rounds));
    QElapsedTimer timer;
    for (int i = 0; i < rounds; ++i) {
        timer.start();
        fn(i);
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1000.0);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void Run(CHexEditModel::Index nLength, int rounds)
{
    CHexEdit edit;
    edit.resize(420, 320);
    edit.show();
    QApplication::processEvents();
    std::vector<std::uint8_t> bytes(static_cast<size_t>(nLength));
    std::mt19937 rng(1);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    edit.SetData(bytes.data(), nLength);
    CHexEditModel& m = edit.Model();
    m.EnsureLayout();
    QImage image(edit.viewport()->size(), QImage::Format_RGB32);

    const double paint = MedianMicros(rounds, [&](int) { edit.PaintTo(&image); });
    m.m_nCaretMode = CHexEditModel::MODE_HEX_HIGH;
    const double pageDown = MedianMicros(rounds, [&](int i) {
        if (i % 50 == 0)
            m.OnKeyDown(CHexEditModel::VK_HOME, false, true);
        m.OnKeyDown(CHexEditModel::VK_NEXT, false, false);
        edit.PaintTo(&image);
    });
    const CHexEditModel::Index nRows = std::max<CHexEditModel::Index>(1, nLength / 8);
    const double thumb = MedianMicros(rounds, [&](int) {
        m.OnVScroll(CHexEditModel::SB_THUMBTRACK, static_cast<CHexEditModel::Index>(rng() % nRows));
        edit.PaintTo(&image);
    });
    m.OnEditSelectAll();
    const double selected = MedianMicros(rounds, [&](int) { edit.PaintTo(&image); });
    std::printf("%10lld bytes, %lld rows a page: paint %8.1f us, Page Down + paint %8.1f us, "
                "thumb drag + paint %8.1f us, paint with all selected %8.1f us\n",
                static_cast<long long>(nLength), static_cast<long long>(m.m_nLinesPerPage), paint, pageDown, thumb,
                selected);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    Run(16, rounds);
    Run(4096, rounds); // more than a page: as many rows drawn as for 16 MiB
    Run(CHexEditModel::Index(16) << 20, rounds);
    return 0;
}
