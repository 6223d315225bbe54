#include "app/LayoutSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QMainWindow>
#include <QSettings>
#include <QSplitter>
#include <QVariant>

#include <algorithm>

namespace {

const QString kGeometry = QStringLiteral("MainWindow/Geometry");
const QString kState = QStringLiteral("MainWindow/State");
const QString kTreeAndList = QStringLiteral("Workspace/TreeAndList");
const QString kPanesAndTrace = QStringLiteral("Workspace/PanesAndTrace");
const QString kColumnWidths = QStringLiteral("PropertyList/ColumnWidths");
const QString kColumnOrder = QStringLiteral("PropertyList/ColumnOrder");
const QString kRecentStores = QStringLiteral("Stores/Recent");
const QString kWorkspaceMaximized = QStringLiteral("Workspace/Maximized");
const QString kWorkspaceSize = QStringLiteral("Workspace/Size");

// Bumped when the toolbars or docks of the main window change, so that a
// state saved by an older layout is not applied to a newer one.
constexpr int kStateVersion = 1;

QVariantList ToVariantList(const QList<int>& values)
{
    QVariantList list;
    for (int n : values)
        list << n;
    return list;
}

// The saved numbers, or an empty list when the entry is missing, has another
// count, or holds anything but whole numbers of at least nMin.
QList<int> ReadInts(const QSettings& settings, const QString& strKey, int nCount, int nMin)
{
    const QVariantList list = settings.value(strKey).toList();
    if (list.size() != nCount)
        return {};
    QList<int> values;
    for (const QVariant& v : list) {
        bool bOk = false;
        const int n = v.toString().toInt(&bOk);
        if (!bOk || n < nMin)
            return {};
        values << n;
    }
    return values;
}

void RestoreSizes(QSplitter& splitter, const QList<int>& sizes)
{
    // Panes may be collapsed (0), but not all of them.
    if (sizes.size() == splitter.count() && std::any_of(sizes.begin(), sizes.end(), [](int n) { return n > 0; }))
        splitter.setSizes(sizes);
}

} // namespace

void CLayoutSettings::SaveMainWindow(const QMainWindow& frame)
{
    QSettings settings;
    settings.setValue(kGeometry, frame.saveGeometry());
    settings.setValue(kState, frame.saveState(kStateVersion));
}

bool CLayoutSettings::RestoreMainWindow(QMainWindow& frame)
{
    const QSettings settings;
    const QByteArray geometry = settings.value(kGeometry).toByteArray();
    // restoreGeometry also moves a window saved on a screen that is gone
    // back onto one that is there.
    if (geometry.isEmpty() || !frame.restoreGeometry(geometry))
        return false;
    frame.restoreState(settings.value(kState).toByteArray(), kStateVersion);
    return true;
}

void CLayoutSettings::SaveWorkspaceWindow(const CWorkspaceWindow& window)
{
    QSettings settings;
    settings.setValue(kWorkspaceMaximized, window.bMaximized);
    if (window.size.isValid())
        settings.setValue(kWorkspaceSize, window.size);
}

CLayoutSettings::CWorkspaceWindow CLayoutSettings::WorkspaceWindow()
{
    const QSettings settings;
    CWorkspaceWindow window;
    window.bMaximized = settings.value(kWorkspaceMaximized, true).toBool();
    const QSize size = settings.value(kWorkspaceSize).toSize();
    if (size.width() >= 100 && size.height() >= 80)
        window.size = size;
    return window;
}

void CLayoutSettings::SaveSplitters(const QSplitter& inner, const QSplitter& outer)
{
    QSettings settings;
    settings.setValue(kTreeAndList, ToVariantList(inner.sizes()));
    settings.setValue(kPanesAndTrace, ToVariantList(outer.sizes()));
}

void CLayoutSettings::RestoreSplitters(QSplitter& inner, QSplitter& outer)
{
    const QSettings settings;
    RestoreSizes(inner, ReadInts(settings, kTreeAndList, inner.count(), 0));
    RestoreSizes(outer, ReadInts(settings, kPanesAndTrace, outer.count(), 0));
}

void CLayoutSettings::SaveColumns(const QHeaderView& header, int nColumns)
{
    if (header.count() != nColumns)
        return;
    QList<int> widths;
    QList<int> order; // the logical column at each visual position
    for (int i = 0; i < nColumns; ++i) {
        widths << header.sectionSize(i);
        order << header.logicalIndex(i);
    }
    QSettings settings;
    settings.setValue(kColumnWidths, ToVariantList(widths));
    settings.setValue(kColumnOrder, ToVariantList(order));
}

void CLayoutSettings::RestoreColumns(QHeaderView& header, int nColumns)
{
    if (header.count() != nColumns)
        return;
    const QSettings settings;
    const QList<int> widths = ReadInts(settings, kColumnWidths, nColumns, 0);
    for (int i = 0; i < widths.size(); ++i)
        header.resizeSection(i, std::max(widths[i], header.minimumSectionSize()));
    // The order only when it names every column once.
    const QList<int> order = ReadInts(settings, kColumnOrder, nColumns, 0);
    QList<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < sorted.size(); ++i) {
        if (sorted[i] != i)
            return;
    }
    for (int nVisual = 0; nVisual < order.size(); ++nVisual)
        header.moveSection(header.visualIndex(order[nVisual]), nVisual);
}

QStringList CLayoutSettings::RecentStores()
{
    QStringList list = QSettings().value(kRecentStores).toStringList();
    list.removeAll(QString());
    list.removeDuplicates();
    return list.mid(0, kMaxRecentStores);
}

QStringList CLayoutSettings::AddRecentStore(const QString& strPath)
{
    const QString strFull = QDir::cleanPath(QFileInfo(strPath).absoluteFilePath());
    QStringList list = RecentStores();
    list.removeAll(strFull);
    list.prepend(strFull);
    list = list.mid(0, kMaxRecentStores);
    QSettings().setValue(kRecentStores, list);
    return list;
}

QSize CLayoutSettings::FitToScreen(const QSize& wanted, const QRect& available)
{
    if (!available.isValid())
        return wanted;
    // A tenth of the area is left for the window frame and the desktop's panels.
    const QSize room(available.width() * 9 / 10, available.height() * 9 / 10);
    return wanted.boundedTo(room);
}
