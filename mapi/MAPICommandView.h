// The trace pane: a read-only text view that the workspace's trace writer
// appends MAPI call lines to; its text can be selected and copied.
#pragma once

#include <QHash>
#include <QPlainTextEdit>
#include <QTextCursor>

class CMAPICommandView : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit CMAPICommandView(QWidget* pParent = nullptr);
    ~CMAPICommandView() override;

    // Appends text at the end without touching what is there, puts the caret
    // at the new end with no selection, and scrolls the end into view. The
    // lines of one turn of the event loop go into the document together, as
    // that turn ends (or as soon as the pane gets any event, or Flush is
    // called), and are laid out and scrolled to once: they cost one insertion,
    // one layout pass and one scroll instead of one each, and show what the
    // lines appended one at a time would.
    void AppendRaw(const QString& strText);
    // Puts the text appended so far into the document and the caret at its
    // end, at once. Whoever reads or changes the document directly
    // (toPlainText, document(), textCursor(), clear) between two turns of the
    // event loop calls this first.
    void Flush();

protected:
    bool event(QEvent* pEvent) override;
    bool viewportEvent(QEvent* pEvent) override;

private:
    // Starts holding back the layout of appended text, unless it is held
    // back already.
    void OpenBatch();
    // Lets the layout take in the text appended since OpenBatch.
    void CloseBatch();
    // Run from the event loop after appends: closes the batch and scrolls the
    // end into view.
    void FinishAppends();

    // Appended, not yet in the document.
    QString m_strPending;
    // Inserts at the end, inside an edit block while a batch is open.
    QTextCursor m_appendCursor;
    // The first block the open batch wrote to; -1 while no batch is open.
    int m_nBatchFirstBlock = -1;
    // Appends wait for FinishAppends.
    bool m_bFinishPending = false;
    // A call of FinishAppends is posted to the event loop.
    bool m_bFinishPosted = false;
    // Width of each line text laid out so far, in the current font.
    QHash<QString, qreal> m_lineWidths;
    static constexpr qsizetype kMaxMeasuredTexts = 4096;
};
