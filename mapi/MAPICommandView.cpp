#include "mapi/MAPICommandView.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cstring>

namespace {

// Space around the text, in pixels.
constexpr int kMargin = 4;

} // namespace

CMAPICommandView::CMAPICommandView(QWidget* pParent)
    : QAbstractScrollArea(pParent)
{
    // Made here, not in the initializer list: making it sends the pane an
    // event, which looks at the model.
    m_pModel = new CTraceModel(this);
    setObjectName(QStringLiteral("CMAPICommandView"));
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    // Courier New, 15 pixels high, normal weight; any fixed-pitch face when
    // Courier New is not installed.
    QFont font(QStringLiteral("Courier New"));
    font.setPixelSize(15);
    font.setWeight(QFont::Normal);
    font.setStyleHint(QFont::TypeWriter);
    setFont(font);
    connect(m_pModel, &CTraceModel::rowsInserted, this, &CMAPICommandView::OnRowsInserted);
    connect(m_pModel, &CTraceModel::dataChanged, this, &CMAPICommandView::OnRowsInserted);
    connect(m_pModel, &CTraceModel::modelReset, this, &CMAPICommandView::OnModelReset);
    // Appends are finished as the event loop starts each pass, before it
    // delivers posted events, so that the repaint and the scroll bars they
    // cause are handled in that same pass.
    if (QAbstractEventDispatcher* pDispatcher = QAbstractEventDispatcher::instance(thread())) {
        connect(pDispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &CMAPICommandView::FinishAppends);
        connect(pDispatcher, &QAbstractEventDispatcher::awake, this, &CMAPICommandView::FinishAppends);
    }
    UpdateScrollBars();
}

CMAPICommandView::~CMAPICommandView()
{
    // No pass of the event loop reaches the pane once its own part is gone.
    if (QAbstractEventDispatcher* pDispatcher = QAbstractEventDispatcher::instance(thread()))
        disconnect(pDispatcher, nullptr, this, nullptr);
}

void CMAPICommandView::AppendRaw(const QString& strText)
{
    m_pModel->Append(strText);
    ScheduleFinish();
}

void CMAPICommandView::AppendUtf8(const char* pszUtf8)
{
    m_pModel->Append(pszUtf8, pszUtf8 != nullptr ? static_cast<qsizetype>(std::strlen(pszUtf8)) : 0);
    ScheduleFinish();
}

void CMAPICommandView::ScheduleFinish()
{
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

void CMAPICommandView::Flush() const
{
    // (Events reach the pane while its model is being made.)
    if (m_pModel != nullptr)
        m_pModel->Flush();
}

void CMAPICommandView::FinishAppends()
{
    if (!m_bFinishPending)
        return;
    m_bFinishPending = false;
    Flush();
}

QString CMAPICommandView::toPlainText() const
{
    Flush();
    return m_pModel->PlainText();
}

bool CMAPICommandView::IsEmpty() const
{
    Flush();
    return m_pModel->IsEmpty();
}

void CMAPICommandView::clear()
{
    m_pModel->Clear();
}

void CMAPICommandView::OnRowsInserted()
{
    // New text puts the caret at the new end, which ends any selection, and
    // brings the end into view.
    m_caret = m_anchor = Clamped({m_pModel->LineCount() - 1, static_cast<int>(m_pModel->Line(m_pModel->LineCount() - 1).size())});
    UpdateScrollBars();
    EnsureCaretVisible();
    viewport()->update();
}

void CMAPICommandView::OnModelReset()
{
    m_caret = m_anchor = CPos();
    m_nWidest = 0;
    m_nMeasuredTexts = 0;
    UpdateScrollBars();
    viewport()->update();
}

int CMAPICommandView::LineHeight() const
{
    return std::max(1, fontMetrics().lineSpacing());
}

int CMAPICommandView::VisibleRows() const
{
    return std::max(1, (viewport()->height() - 2 * kMargin) / LineHeight());
}

int CMAPICommandView::FirstVisibleRow() const
{
    return verticalScrollBar()->value();
}

void CMAPICommandView::UpdateScrollBars()
{
    const QFontMetrics metrics = fontMetrics();
    for (; m_nMeasuredTexts < m_pModel->TextCount(); ++m_nMeasuredTexts)
        m_nWidest = std::max(m_nWidest, metrics.horizontalAdvance(m_pModel->Text(m_nMeasuredTexts)));
    const int nWidest = std::max(m_nWidest, metrics.horizontalAdvance(m_pModel->Line(m_pModel->LineCount() - 1)));
    const int nRows = VisibleRows();
    // A view showing the end keeps showing it as it grows or shrinks (a
    // scroll bar coming takes a row).
    const bool bAtEnd = verticalScrollBar()->value() == verticalScrollBar()->maximum();
    verticalScrollBar()->setRange(0, std::max(0, m_pModel->LineCount() - nRows));
    if (bAtEnd)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    verticalScrollBar()->setPageStep(nRows);
    verticalScrollBar()->setSingleStep(1);
    const int nWidth = viewport()->width();
    // The caret after the widest line's end fits too.
    horizontalScrollBar()->setRange(0, std::max(0, nWidest + 2 * kMargin + 1 - nWidth));
    horizontalScrollBar()->setPageStep(nWidth);
    horizontalScrollBar()->setSingleStep(std::max(1, metrics.averageCharWidth()));
}

CMAPICommandView::CPos CMAPICommandView::Clamped(CPos pos) const
{
    pos.nRow = std::clamp(pos.nRow, 0, m_pModel->LineCount() - 1);
    pos.nCol = std::clamp(pos.nCol, 0, static_cast<int>(m_pModel->Line(pos.nRow).size()));
    return pos;
}

int CMAPICommandView::ColumnX(int nRow, int nCol) const
{
    const QString& strLine = m_pModel->Line(nRow);
    return fontMetrics().horizontalAdvance(strLine.left(std::clamp(nCol, 0, static_cast<int>(strLine.size()))));
}

CMAPICommandView::CPos CMAPICommandView::HitTest(const QPoint& point) const
{
    CPos pos;
    const int nY = point.y() - kMargin;
    pos.nRow = FirstVisibleRow() + (nY < 0 ? -1 - (-nY - 1) / LineHeight() : nY / LineHeight());
    pos = Clamped(pos);
    const int nX = point.x() - kMargin + horizontalScrollBar()->value();
    const QString& strLine = m_pModel->Line(pos.nRow);
    const QFontMetrics metrics = fontMetrics();
    // The column whose boundary is nearest.
    int nBefore = 0;
    pos.nCol = static_cast<int>(strLine.size());
    for (int i = 0; i < strLine.size(); ++i) {
        const int nAfter = metrics.horizontalAdvance(strLine.left(i + 1));
        if (nX < (nBefore + nAfter) / 2) {
            pos.nCol = i;
            break;
        }
        nBefore = nAfter;
    }
    return pos;
}

void CMAPICommandView::EnsureCaretVisible()
{
    QScrollBar* pVertical = verticalScrollBar();
    const int nRows = VisibleRows();
    if (m_caret.nRow < pVertical->value())
        pVertical->setValue(m_caret.nRow);
    else if (m_caret.nRow >= pVertical->value() + nRows)
        pVertical->setValue(m_caret.nRow - nRows + 1);
    QScrollBar* pHorizontal = horizontalScrollBar();
    const int nX = ColumnX(m_caret.nRow, m_caret.nCol);
    const int nWidth = viewport()->width() - 2 * kMargin;
    if (nX < pHorizontal->value())
        pHorizontal->setValue(nX);
    else if (nX >= pHorizontal->value() + nWidth)
        pHorizontal->setValue(nX - nWidth + 1);
}

void CMAPICommandView::MoveCaret(CPos pos, bool bExtend)
{
    m_caret = Clamped(pos);
    if (!bExtend)
        m_anchor = m_caret;
    EnsureCaretVisible();
    viewport()->update();
}

QString CMAPICommandView::SelectedText() const
{
    return m_pModel->TextBetween(m_anchor.nRow, m_anchor.nCol, m_caret.nRow, m_caret.nCol);
}

void CMAPICommandView::selectAll()
{
    Flush();
    m_anchor = CPos();
    const int nLast = m_pModel->LineCount() - 1;
    m_caret = {nLast, static_cast<int>(m_pModel->Line(nLast).size())};
    viewport()->update();
}

void CMAPICommandView::copy()
{
    if (HasSelection())
        QApplication::clipboard()->setText(SelectedText());
}

bool CMAPICommandView::event(QEvent* pEvent)
{
    // Whatever reaches the pane (keys, focus, the queued finish) sees the
    // text complete.
    Flush();
    if (pEvent->type() == QEvent::FontChange) {
        m_nWidest = 0;
        m_nMeasuredTexts = 0;
        UpdateScrollBars();
    }
    return QAbstractScrollArea::event(pEvent);
}

void CMAPICommandView::paintEvent(QPaintEvent*)
{
    Flush();
    QPainter painter(viewport());
    painter.setFont(font());
    const QPalette& pal = palette();
    const QFontMetrics metrics = fontMetrics();
    const int nLineHeight = LineHeight();
    const int nLeft = kMargin - horizontalScrollBar()->value();
    const int nFirst = FirstVisibleRow();
    const int nLast = std::min(m_pModel->LineCount() - 1, nFirst + viewport()->height() / nLineHeight + 1);
    const CPos from = std::min(m_anchor, m_caret);
    const CPos to = std::max(m_anchor, m_caret);
    for (int nRow = nFirst; nRow <= nLast; ++nRow) {
        const QString& strLine = m_pModel->Line(nRow);
        const int nTop = kMargin + (nRow - nFirst) * nLineHeight;
        const QRect line(0, nTop, viewport()->width(), nLineHeight);
        painter.setPen(pal.color(QPalette::Text));
        painter.drawText(nLeft, nTop + metrics.ascent(), strLine);
        if (from < to && nRow >= from.nRow && nRow <= to.nRow) {
            const int nFromCol = nRow == from.nRow ? from.nCol : 0;
            const int nToCol = nRow == to.nRow ? to.nCol : static_cast<int>(strLine.size());
            const int nX1 = nLeft + ColumnX(nRow, nFromCol);
            // A selected line break shows as a space's width after the text.
            int nX2 = nLeft + ColumnX(nRow, nToCol);
            if (nRow != to.nRow)
                nX2 += metrics.horizontalAdvance(QLatin1Char(' '));
            const QRect selected(nX1, nTop, nX2 - nX1, nLineHeight);
            painter.fillRect(selected, pal.brush(QPalette::Highlight));
            painter.save();
            painter.setClipRect(selected.intersected(line));
            painter.setPen(pal.color(QPalette::HighlightedText));
            painter.drawText(nLeft, nTop + metrics.ascent(), strLine);
            painter.restore();
        }
        if (nRow == m_caret.nRow && hasFocus()) {
            const int nX = nLeft + ColumnX(nRow, m_caret.nCol);
            painter.fillRect(QRect(nX, nTop, 1, nLineHeight), pal.color(QPalette::Text));
        }
    }
}

void CMAPICommandView::resizeEvent(QResizeEvent* pEvent)
{
    QAbstractScrollArea::resizeEvent(pEvent);
    UpdateScrollBars();
}

void CMAPICommandView::scrollContentsBy(int, int)
{
    viewport()->update();
}

void CMAPICommandView::keyPressEvent(QKeyEvent* pEvent)
{
    if (pEvent == QKeySequence::Copy) {
        copy();
        return;
    }
    if (pEvent == QKeySequence::SelectAll) {
        selectAll();
        return;
    }
    const bool bExtend = (pEvent->modifiers() & Qt::ShiftModifier) != 0;
    const bool bControl = (pEvent->modifiers() & Qt::ControlModifier) != 0;
    CPos pos = m_caret;
    const int nLineLength = static_cast<int>(m_pModel->Line(pos.nRow).size());
    switch (pEvent->key()) {
    case Qt::Key_Left:
        if (pos.nCol > 0)
            --pos.nCol;
        else if (pos.nRow > 0)
            pos = {pos.nRow - 1, static_cast<int>(m_pModel->Line(pos.nRow - 1).size())};
        break;
    case Qt::Key_Right:
        if (pos.nCol < nLineLength)
            ++pos.nCol;
        else if (pos.nRow + 1 < m_pModel->LineCount())
            pos = {pos.nRow + 1, 0};
        break;
    case Qt::Key_Up: --pos.nRow; break;
    case Qt::Key_Down: ++pos.nRow; break;
    case Qt::Key_PageUp: pos.nRow -= VisibleRows(); break;
    case Qt::Key_PageDown: pos.nRow += VisibleRows(); break;
    case Qt::Key_Home: pos = bControl ? CPos() : CPos{pos.nRow, 0}; break;
    case Qt::Key_End:
        pos = bControl ? CPos{m_pModel->LineCount() - 1, static_cast<int>(m_pModel->Line(m_pModel->LineCount() - 1).size())}
                       : CPos{pos.nRow, nLineLength};
        break;
    default:
        // Typing changes nothing; other keys (F6, Tab, shortcuts) are the
        // window's.
        QAbstractScrollArea::keyPressEvent(pEvent);
        return;
    }
    MoveCaret(pos, bExtend);
}

void CMAPICommandView::mousePressEvent(QMouseEvent* pEvent)
{
    if (pEvent->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(pEvent);
        return;
    }
    MoveCaret(HitTest(pEvent->position().toPoint()), (pEvent->modifiers() & Qt::ShiftModifier) != 0);
}

void CMAPICommandView::mouseMoveEvent(QMouseEvent* pEvent)
{
    if ((pEvent->buttons() & Qt::LeftButton) == 0)
        return;
    // Dragging past an edge scrolls a line or a step that way.
    MoveCaret(HitTest(pEvent->position().toPoint()), true);
}

void CMAPICommandView::mouseReleaseEvent(QMouseEvent* pEvent)
{
    pEvent->setAccepted(pEvent->button() == Qt::LeftButton);
}

void CMAPICommandView::mouseDoubleClickEvent(QMouseEvent* pEvent)
{
    if (pEvent->button() != Qt::LeftButton)
        return;
    // The word under the pointer.
    const CPos hit = HitTest(pEvent->position().toPoint());
    const QString& strLine = m_pModel->Line(hit.nRow);
    auto isWord = [&](int i) { return strLine.at(i).isLetterOrNumber() || strLine.at(i) == QLatin1Char('_'); };
    int nStart = hit.nCol;
    int nEnd = hit.nCol;
    while (nStart > 0 && isWord(nStart - 1))
        --nStart;
    while (nEnd < strLine.size() && isWord(nEnd))
        ++nEnd;
    m_anchor = {hit.nRow, nStart};
    MoveCaret({hit.nRow, nEnd}, true);
}

void CMAPICommandView::contextMenuEvent(QContextMenuEvent* pEvent)
{
    QMenu menu(this);
    QAction* pCopy = menu.addAction(QStringLiteral("&Copy"), this, &CMAPICommandView::copy);
    pCopy->setEnabled(HasSelection());
    QAction* pAll = menu.addAction(QStringLiteral("Select All"), this, &CMAPICommandView::selectAll);
    pAll->setEnabled(!IsEmpty());
    menu.exec(pEvent->globalPos());
}

void CMAPICommandView::focusInEvent(QFocusEvent* pEvent)
{
    QAbstractScrollArea::focusInEvent(pEvent);
    viewport()->update();
}

void CMAPICommandView::focusOutEvent(QFocusEvent* pEvent)
{
    QAbstractScrollArea::focusOutEvent(pEvent);
    viewport()->update();
}
