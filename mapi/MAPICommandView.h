// The trace pane: a read-only view of the lines the workspace's trace writer
// appends (MAPI calls, one a line); its text can be selected and copied.
//
// The lines live in a CTraceModel, which keeps each distinct line text once;
// the pane draws only the rows on screen, so a trace of millions of lines
// costs a few bytes a line and the same to scroll as a short one.
#pragma once

#include "mapi/TraceModel.h"

#include <QAbstractScrollArea>

class CMAPICommandView : public QAbstractScrollArea
{
    Q_OBJECT
public:
    explicit CMAPICommandView(QWidget* pParent = nullptr);
    ~CMAPICommandView() override;

    // Appends text at the end, puts the caret at the new end with no
    // selection, and scrolls the end into view. The lines of one turn of the
    // event loop go into the rows together, as that turn ends (or when Flush
    // is called): one insertion and one scroll for all of them.
    void AppendRaw(const QString& strText);
    void AppendUtf8(const char* pszUtf8);
    // Puts the text appended so far into the rows and the caret at its end,
    // at once.
    void Flush() const;

    const CTraceModel& Model() const { return *m_pModel; }
    // The whole text, as appended.
    QString toPlainText() const;
    bool IsEmpty() const;
    // Empties the pane.
    void clear();

    bool HasSelection() const { return m_anchor != m_caret; }
    QString SelectedText() const;
    void selectAll();
    // Puts the selected text on the clipboard.
    void copy();

    // The caret (row, column in UTF-16 units) and the other end of the
    // selection; equal when nothing is selected.
    struct CPos
    {
        int nRow = 0;
        int nCol = 0;
        auto operator<=>(const CPos&) const = default;
    };
    CPos Caret() const { return m_caret; }
    CPos Anchor() const { return m_anchor; }
    // The first row on screen.
    int FirstVisibleRow() const;

protected:
    bool event(QEvent* pEvent) override;
    void paintEvent(QPaintEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;
    void scrollContentsBy(int nDx, int nDy) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    void focusInEvent(QFocusEvent* pEvent) override;
    void focusOutEvent(QFocusEvent* pEvent) override;

private:
    void ScheduleFinish();
    // Run from the event loop after appends.
    void FinishAppends();
    void OnRowsInserted();
    void OnModelReset();
    // Measures the texts the model added since the last call and sets the
    // scroll ranges.
    void UpdateScrollBars();
    int LineHeight() const;
    int VisibleRows() const;
    // The position under a point of the viewport.
    CPos HitTest(const QPoint& point) const;
    // The x of a column of a row, from the text's left edge.
    int ColumnX(int nRow, int nCol) const;
    CPos Clamped(CPos pos) const;
    // Moves the caret, extending the selection or not, and scrolls it into view.
    void MoveCaret(CPos pos, bool bExtend);
    void EnsureCaretVisible();

    CTraceModel* m_pModel = nullptr;
    CPos m_caret;
    CPos m_anchor;
    // Widest complete line text so far, in pixels, and how many of the
    // model's distinct texts are measured.
    int m_nWidest = 0;
    int m_nMeasuredTexts = 0;
    // Appends wait for FinishAppends; a call of it is posted.
    bool m_bFinishPending = false;
    bool m_bFinishPosted = false;
};
