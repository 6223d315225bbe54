// What the program keeps of the user's layout between runs, in the user's
// settings file (QSettings of organisation and application "Dravik", that is
// $XDG_CONFIG_HOME/Dravik/Dravik.conf): the main window's geometry and bars,
// the sizes of a workspace window's panes, the property list's column widths
// and order, and the store files opened last.
#pragma once

#include "workspace/CommandIds.h"

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QSize>
#include <QStringList>

class QHeaderView;
class QMainWindow;
class QSplitter;

class CLayoutSettings
{
public:
    // One File menu entry each.
    static constexpr int kMaxRecentStores = ID_FILE_MRU_LAST - ID_FILE_MRU_FILE1 + 1;

    static void SaveMainWindow(const QMainWindow& frame);
    // FALSE when nothing was saved or the saved geometry is unusable.
    static bool RestoreMainWindow(QMainWindow& frame);

    // A workspace window: maximised in the main window (the first start's
    // choice) or at the size it was left with.
    struct CWorkspaceWindow
    {
        bool bMaximized = true;
        QSize size{700, 400};
    };
    static void SaveWorkspaceWindow(const CWorkspaceWindow& window);
    static CWorkspaceWindow WorkspaceWindow();

    // The panes of a workspace window: tree beside list, both above the trace.
    static void SaveSplitters(const QSplitter& inner, const QSplitter& outer);
    static void RestoreSplitters(QSplitter& inner, QSplitter& outer);

    // The property list's columns. Only a header of nColumns sections is
    // saved or restored (the list's other column set has another count).
    static void SaveColumns(const QHeaderView& header, int nColumns);
    static void RestoreColumns(QHeaderView& header, int nColumns);

    // Store files, most recent first, at most kMaxRecentStores.
    static QStringList RecentStores();
    // Puts strPath first, dropping an older entry for it; returns the list.
    static QStringList AddRecentStore(const QString& strPath);

    // The size of a first start's main window: wanted, made smaller where
    // the screen's available area is smaller, with a margin for the frame.
    static QSize FitToScreen(const QSize& wanted, const QRect& available);
};
