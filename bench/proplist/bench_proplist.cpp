// Run: QT_QPA_PLATFORM=offscreen bench_proplist [runs]
//
// 1. A store written here holds one message of 500 properties, nearly all of
//    them named, so nearly every row asks the message for its name with one
//    GetNamesFromIDs (IDs below 0x8000 have no name and are not asked about).
//    The list shows it in entry mode: GetProps, the names, the texts, the
//    model, and the painting of the visible rows. Each run is one refresh.
// 2. A list of 5,000 rows of mixed values is re-sorted by each column in
//    turn, both directions, and its visible rows painted again.
// Prints the median and the slowest run of each, in milliseconds.
#include "ListWorkspace.h"
#include "StoreWriter.h"
#include "props/IniFile.h"

#include "mapi32/mapix.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace pw = dravik::pst::writer;

namespace {

struct CFigures
{
    double dMedianMs;
    double dMaxMs;
};

CFigures Summarise(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

pw::StoreDescription FiveHundredProperties()
{
    const pw::Guid set = pw::Guid::parse("4B2E8C61-0D7A-4F39-8E15-6C0A9B3D2E71");
    pw::Message m;
    m.props.set(0x001A001F, pw::PropValue::unicode("IPM.Note"));
    m.props.set(0x0037001F, pw::PropValue::unicode("Five hundred properties"));
    // The computed properties (entry ID, object type, ...) come on top.
    int n = 2;
    for (int i = 0; n < 491; ++i, ++n) {
        const pw::NamedProp name{set, uint32_t(0x9000 + i)};
        if (i % 3 == 0)
            m.props.set(name, pw::PropValue::i4(i));
        else if (i % 3 == 1)
            m.props.set(name, pw::PropValue::unicode("Value number " + std::to_string(i)));
        else
            m.props.set(name, pw::PropValue::binary(std::vector<uint8_t>(40, static_cast<uint8_t>(i))));
    }
    pw::StoreDescription d;
    pw::Folder inbox;
    inbox.displayName = "Inbox";
    inbox.containerClass = "IPF.Note";
    inbox.messages.push_back(m);
    d.ipmSubtree.folders.push_back(inbox);
    return d;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    QTemporaryDir dir;
    qputenv("DRAVIK_MAPI_PROFILES", dir.filePath(QStringLiteral("profiles")).toUtf8());
    QDir().mkpath(dir.filePath(QStringLiteral("profiles")));
    MAPIInitialize(nullptr);
    QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
    GetIniFile().Load(std::string(DRAVIK_SOURCE_DIR) + "/Dravik.ini");

    const QString strStore = dir.filePath(QStringLiteral("five-hundred.pst"));
    pw::writeStore(strStore.toStdString(), FiveHundredProperties());

    {
        listtest::CWorkspace ws(strStore);
        if (!ws.FindMessage("Five hundred properties")) {
            std::fprintf(stderr, "the message was not found\n");
            return 1;
        }
        ws.pDoc->m_bEntryProps = true;
        ws.pView->show();
        QApplication::processEvents();
        std::vector<double> ms;
        int nRows = 0;
        for (int i = 0; i < nRuns; ++i) {
            QElapsedTimer timer;
            timer.start();
            // The refresh, then the event-loop pass that lays out and paints
            // the visible rows.
            ws.pDoc->SelectNode(ws.message.get());
            ws.pView->repaint();
            QApplication::processEvents();
            ms.push_back(timer.nsecsElapsed() / 1e6);
            nRows = ws.Rows();
        }
        int nNamed = 0;
        for (int i = 0; i < nRows; ++i)
            nNamed += ws.Text(i, 2).isEmpty() ? 0 : 1;
        const CFigures f = Summarise(ms);
        std::printf("entry mode, %d rows, %d with a named ID: median %.2f ms, slowest %.2f ms (%d runs)\n", nRows,
                    nNamed, f.dMedianMs, f.dMaxMs, nRuns);
    }

    {
        listtest::CWorkspace ws(strStore); // a connected workspace lists
        std::vector<SPropValue> values(5000);
        std::vector<std::string> texts(values.size());
        for (size_t i = 0; i < values.size(); ++i) {
            values[i] = SPropValue{};
            if (i % 3 == 0) {
                values[i].ulPropTag = PROP_TAG(PT_LONG, 0x6000 + (i * 7919) % 0x1000);
                values[i].Value.l = static_cast<LONG>((i * 104729) % 100000);
            } else {
                texts[i] = "Subject " + std::to_string((i * 7919) % 5000) + " of the list";
                values[i].ulPropTag = PROP_TAG(PT_STRING8, 0x7000 + (i * 31) % 0x1000);
                values[i].Value.lpszA = texts[i].data();
            }
        }
        ws.ShowValues(values);
        ws.pView->show();
        QApplication::processEvents();
        std::vector<double> ms;
        for (int i = 0; i < nRuns; ++i) {
            for (int nColumn : {0, 4, 3, 1}) {
                QElapsedTimer timer;
                timer.start();
                ws.pView->SortByColumn(nColumn);
                ws.pView->repaint();
                ms.push_back(timer.nsecsElapsed() / 1e6);
            }
        }
        const CFigures f = Summarise(ms);
        std::printf("re-sort of %d rows: median %.2f ms, slowest %.2f ms (%zu sorts)\n", ws.Rows(), f.dMedianMs,
                    f.dMaxMs, ms.size());
    }
    return 0;
}
