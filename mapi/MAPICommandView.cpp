#include "mapi/MAPICommandView.h"

#include <QAbstractEventDispatcher>
#include <QAbstractTextDocumentLayout>
#include <QTextBlock>
#include <QTextLayout>
#include <QTextDocument>

#include <utility>

CMAPICommandView::CMAPICommandView(QWidget* pParent)
    : QPlainTextEdit(pParent)
{
    setObjectName(QStringLiteral("CMAPICommandView"));
    setLineWrapMode(QPlainTextEdit::NoWrap);
    // The trace is the program's record: it can be read, selected and
    // copied, not typed over; nothing in it is undone.
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    document()->setUndoRedoEnabled(false);
    // Courier New, 15 pixels high, normal weight; any fixed-pitch face when
    // Courier New is not installed.
    QFont font(QStringLiteral("Courier New"));
    font.setPixelSize(15);
    font.setWeight(QFont::Normal);
    font.setStyleHint(QFont::TypeWriter);
    setFont(font);
    // Appends are finished as the event loop starts each pass, before it
    // delivers posted events, so that the repaint and the scroll bars they
    // cause are handled in that same pass, as when each line did all at once.
    if (QAbstractEventDispatcher* pDispatcher = QAbstractEventDispatcher::instance(thread())) {
        connect(pDispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &CMAPICommandView::FinishAppends);
        connect(pDispatcher, &QAbstractEventDispatcher::awake, this, &CMAPICommandView::FinishAppends);
    }
}

CMAPICommandView::~CMAPICommandView()
{
    // No pass of the event loop reaches the pane once its own part is gone.
    if (QAbstractEventDispatcher* pDispatcher = QAbstractEventDispatcher::instance(thread()))
        disconnect(pDispatcher, nullptr, this, nullptr);
    // The document is left with no edit block open.
    if (m_nBatchFirstBlock >= 0) {
        m_nBatchFirstBlock = -1;
        m_appendCursor.endEditBlock();
    }
}

void CMAPICommandView::AppendRaw(const QString& strText)
{
    m_strPending += strText;
    m_bFinishPending = true;
    // An event loop that is not Qt's own (a native dialog's) does not pass
    // through the dispatcher's signals: a posted call finishes the appends there.
    if (!m_bFinishPosted) {
        m_bFinishPosted = true;
        QMetaObject::invokeMethod(
            this,
            [this]() {
                m_bFinishPosted = false;
                FinishAppends();
            },
            Qt::QueuedConnection);
    }
}

void CMAPICommandView::Flush()
{
    if (m_strPending.isEmpty())
        return;
    // Taken first: whatever the insertion sets off finds nothing pending.
    const QString strText = std::exchange(m_strPending, QString());
    // A caret at the end with no selection moves along with text inserted
    // there. One elsewhere, or holding a selection, is put at the end first,
    // with the layout up to date for the move.
    const QTextCursor caret = textCursor();
    if (caret.hasSelection() || !caret.atEnd()) {
        CloseBatch();
        QTextCursor end(document());
        end.movePosition(QTextCursor::End);
        setTextCursor(end);
    }
    OpenBatch();
    // Trace lines are not undoable (turning undo off drops the undo history).
    const bool bUndo = document()->isUndoRedoEnabled();
    document()->setUndoRedoEnabled(false);
    m_appendCursor.insertText(strText);
    document()->setUndoRedoEnabled(bUndo);
}

bool CMAPICommandView::event(QEvent* pEvent)
{
    // Whatever reaches the pane (keys, focus, the queued finish) sees the
    // text and the layout complete.
    Flush();
    CloseBatch();
    if (pEvent->type() == QEvent::FontChange)
        m_lineWidths.clear();
    return QPlainTextEdit::event(pEvent);
}

bool CMAPICommandView::viewportEvent(QEvent* pEvent)
{
    // Painting and the mouse likewise.
    Flush();
    CloseBatch();
    return QPlainTextEdit::viewportEvent(pEvent);
}

void CMAPICommandView::OpenBatch()
{
    if (m_nBatchFirstBlock < 0) {
        m_appendCursor = QTextCursor(document());
        m_appendCursor.movePosition(QTextCursor::End);
        m_nBatchFirstBlock = m_appendCursor.blockNumber();
        // Until the block ends the document keeps the text and moves the
        // cursors, but tells neither the layout nor the view.
        m_appendCursor.beginEditBlock();
    } else if (!m_appendCursor.atEnd()) {
        m_appendCursor.setPosition(document()->characterCount() - 1);
    }
}

void CMAPICommandView::CloseBatch()
{
    if (m_nBatchFirstBlock < 0)
        return;
    const int nFirstBlock = m_nBatchFirstBlock;
    m_nBatchFirstBlock = -1; // before the layout's signals can bring us back here
    m_appendCursor.endEditBlock();
    m_appendCursor = QTextCursor();
    // The horizontal scroll range follows the widest line laid out. Lines on
    // screen are laid out when painted; of the others only a text not measured
    // before, or one wider than the widest so far, needs laying out here:
    // another line of the same text cannot widen the document.
    QAbstractTextDocumentLayout* pLayout = document()->documentLayout();
    const qreal rMargin = document()->documentMargin();
    qreal rWidest = pLayout->documentSize().width();
    for (QTextBlock block = document()->findBlockByNumber(nFirstBlock); block.isValid(); block = block.next()) {
        const QString strText = block.text();
        const auto it = m_lineWidths.constFind(strText);
        if (it != m_lineWidths.cend() && *it <= rWidest)
            continue;
        pLayout->blockBoundingRect(block);
        qreal rWidth = 0;
        for (int i = 0; i < block.layout()->lineCount(); ++i)
            rWidth = qMax(rWidth, block.layout()->lineAt(i).naturalTextWidth() + 2 * rMargin);
        if (m_lineWidths.size() >= kMaxMeasuredTexts)
            m_lineWidths.clear();
        m_lineWidths.insert(strText, rWidth);
        rWidest = pLayout->documentSize().width();
    }
}

void CMAPICommandView::FinishAppends()
{
    if (!m_bFinishPending)
        return;
    m_bFinishPending = false;
    Flush();
    CloseBatch();
    ensureCursorVisible();
}
