#include "hexedit/HexEdit.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

using Model = CHexEditModel;

// The items of the context menu, in order; 0 is a separator.
struct CMenuItem
{
    const char* szText;
    int nCommand;
};
constexpr CMenuItem kPopupItems[] = {
    {"&Undo", Model::ID_EDIT_UNDO},   {nullptr, 0},
    {"Cu&t", Model::ID_EDIT_CUT},     {"&Copy", Model::ID_EDIT_COPY},
    {"&Paste", Model::ID_EDIT_PASTE}, {"&Delete", Model::ID_EDIT_CLEAR},
    {nullptr, 0},                     {"Select &All", Model::ID_EDIT_SELECT_ALL},
};

// Closes a popup menu when a window hides or closes.
class CCloseWithWindow : public QObject
{
public:
    CCloseWithWindow(QWidget* pWindow, QMenu* pMenu) : m_pMenu(pMenu) { pWindow->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::Hide || pEvent->type() == QEvent::Close) {
            m_bWindowClosed = true;
            m_pMenu->close();
        }
        return false;
    }
    bool m_bWindowClosed = false;

private:
    QMenu* m_pMenu;
};

QFont EditorFont()
{
    // Courier New, 12 pixels high, or the system's fixed-pitch font where no
    // face of that name with fixed pitch exists.
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPixelSize(12);
    if (!QFontInfo(font).fixedPitch()) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(12);
    }
    // Cells are whole pixels wide: a fractional advance would let a row's
    // text drift away from the cells the caret and the hit test use.
    const qreal advance = QFontMetricsF(font).horizontalAdvance(QLatin1Char('0'));
    const qreal cell = std::max<qreal>(1, std::ceil(advance));
    if (cell != advance)
        font.setLetterSpacing(QFont::AbsoluteSpacing, cell - advance);
    return font;
}

} // namespace

CHexEdit::CHexEdit(QWidget* pParent) : QAbstractScrollArea(pParent), m_font(EditorFont())
{
    setObjectName(QStringLiteral("CHexEdit"));
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::IBeamCursor);
    setAttribute(Qt::WA_InputMethodEnabled, false);

    const QFontMetricsF metrics(m_font);
    m_model.SetMetrics(qRound(metrics.horizontalAdvance(QStringLiteral("00000000")) / 8),
                       qRound(metrics.height()));
    m_model.SetChangeHandler([this] { OnModelChanged(); });

    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &CHexEdit::OnScrollAction);
    // The horizontal bar shows the row's width but never scrolls.
    horizontalScrollBar()->setEnabled(false);
    ApplyScrollBars();
}

CHexEdit::~CHexEdit()
{
    m_model.SetChangeHandler({});
}

void CHexEdit::SetOptions(bool bShowAddress, bool bShowHex, bool bShowChars, bool bWideAddress)
{
    m_model.SetOptions(bShowAddress, bShowHex, bShowChars, bWideAddress);
}

void CHexEdit::SetData(const std::uint8_t* pData, CHexEditModel::Index nLength)
{
    m_model.SetData(pData, nLength);
}

// ---------------------------------------------------------------------------
// Model to screen

void CHexEdit::OnModelChanged()
{
    ApplyScrollBars();
    viewport()->update();
}

void CHexEdit::ApplyScrollBars()
{
    if (m_bApplyingScroll)
        return;
    m_bApplyingScroll = true;
    const CHexEditModel::CScrollInfo info = m_model.VScrollInfo();
    QScrollBar* pBar = verticalScrollBar();
    // Windows' range nMin … nMax with a page of nPage rows lets the top row go
    // up to nMax - nPage + 1.
    const auto toInt = [](CHexEditModel::Index v) { return static_cast<int>(std::clamp<CHexEditModel::Index>(v, 0, INT_MAX)); };
    pBar->setRange(0, toInt(info.nMax - info.nPage + 1));
    pBar->setPageStep(std::max(1, toInt(info.nPage)));
    pBar->setSingleStep(1);
    pBar->setSliderPosition(toInt(info.nPos));
    pBar->setEnabled(m_model.HasData() && info.nMax > info.nPage);
    horizontalScrollBar()->setRange(0, 0);
    m_bApplyingScroll = false;
}

void CHexEdit::OnScrollAction(int nAction)
{
    int nCode = -1;
    switch (nAction) {
    case QAbstractSlider::SliderSingleStepSub:
        nCode = CHexEditModel::SB_LINEUP;
        break;
    case QAbstractSlider::SliderSingleStepAdd:
        nCode = CHexEditModel::SB_LINEDOWN;
        break;
    case QAbstractSlider::SliderPageStepSub:
        nCode = CHexEditModel::SB_PAGEUP;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        nCode = CHexEditModel::SB_PAGEDOWN;
        break;
    case QAbstractSlider::SliderMove:
    case QAbstractSlider::SliderToMinimum:
    case QAbstractSlider::SliderToMaximum:
        nCode = CHexEditModel::SB_THUMBTRACK;
        break;
    default:
        nCode = CHexEditModel::SB_ENDSCROLL;
        break;
    }
    m_model.EnsureLayout();
    m_model.OnVScroll(nCode, verticalScrollBar()->sliderPosition());
    // The bar shows where the model scrolled to, not where Qt would have.
    ApplyScrollBars();
}

void CHexEdit::scrollContentsBy(int, int)
{
    // The picture is drawn from the model's top row; nothing to move.
}

// ---------------------------------------------------------------------------
// Painting

void CHexEdit::paintEvent(QPaintEvent*)
{
    PaintTo(viewport());
}

void CHexEdit::PaintTo(QPaintDevice* pDevice)
{
    QPainter painter(pDevice);
    const int nWidth = pDevice->width();
    const int nHeight = pDevice->height();
    painter.fillRect(0, 0, nWidth, nHeight, Qt::white);
    if (!m_model.HasData())
        return;
    if (m_model.m_bLayoutDirty) {
        m_model.EnsureLayout();
        ApplyScrollBars();
    }
    painter.setFont(m_font);
    painter.setPen(Qt::black);

    const CHexEditModel& m = m_model;
    const int nLineHeight = m.m_nLineHeight;
    const int nCharWidth = m.m_nCharWidth;
    const int nAscent = QFontMetrics(m_font).ascent();
    // Only whole rows are drawn, and only those on the screen.
    const int nBottom = nHeight / nLineHeight * nLineHeight;
    const bool bSelection = m.HasSelection();
    const CHexEditModel::Index lo = bSelection ? m.SelLow() : 0;
    const CHexEditModel::Index hi = bSelection ? m.SelHigh() : 0;
    const QPalette& pal = palette();

    // Paints the selected part of a row again in the highlight colours.
    const auto highlight = [&](CHexEditModel::Index nRowStart, int y, int x0, int nCellsPerByte,
                               const std::string& text) {
        const CHexEditModel::Index nFirst = std::max(lo, nRowStart);
        const CHexEditModel::Index nLast = std::min({hi, nRowStart + m.m_nBytesPerLine, m.m_nLength});
        if (nFirst >= nLast)
            return;
        const int k0 = static_cast<int>(nFirst - nRowStart);
        const int n = static_cast<int>(nLast - nFirst);
        const QRect rect(x0 + k0 * nCellsPerByte * nCharWidth, y, n * nCellsPerByte * nCharWidth, nLineHeight);
        painter.fillRect(rect, pal.color(QPalette::Active, QPalette::Highlight));
        painter.setPen(pal.color(QPalette::Active, QPalette::HighlightedText));
        painter.drawText(rect.left(), y + nAscent,
                         QString::fromLatin1(text.substr(static_cast<size_t>(k0 * nCellsPerByte),
                                                         static_cast<size_t>(n * nCellsPerByte))));
        painter.setPen(Qt::black);
    };

    int y = 0;
    for (CHexEditModel::Index i = m.m_nTopIndex; y < nBottom && i < m.m_nLength; i += m.m_nBytesPerLine) {
        if (m.m_bShowAddress)
            painter.drawText(m.m_nAddressX, y + nAscent, QString::fromLatin1(m.AddressText(i)));
        if (m.m_bShowHex) {
            const std::string text = m.HexRowText(i);
            painter.drawText(m.m_nHexX, y + nAscent, QString::fromLatin1(text));
            if (bSelection && m.InHexColumn())
                highlight(i, y, m.m_nHexX, 3, text);
        }
        if (m.m_bShowChars) {
            const std::string text = m.CharRowText(i);
            painter.drawText(m.m_nCharX, y + nAscent, QString::fromLatin1(text));
            if (bSelection && m.m_nCaretMode == CHexEditModel::MODE_CHARS)
                highlight(i, y, m.m_nCharX, 1, text);
        }
        y += nLineHeight;
    }

    // The caret: a solid block that inverts what is under it.
    if (m.CaretShown() && hasFocus()) {
        const CHexEditModel::CPoint pt = m.CaretPos();
        painter.setCompositionMode(QPainter::RasterOp_NotDestination);
        painter.fillRect(QRect(pt.x, pt.y, m.CaretWidth(), nLineHeight), Qt::black);
    }
}

void CHexEdit::resizeEvent(QResizeEvent* pEvent)
{
    QAbstractScrollArea::resizeEvent(pEvent);
    m_model.SetClientSize(viewport()->width(), viewport()->height());
}

// ---------------------------------------------------------------------------
// Keyboard

bool CHexEdit::event(QEvent* pEvent)
{
    // Every key is the control's, Tab, Enter, Escape and the shortcuts of the
    // surrounding window included.
    if (pEvent->type() == QEvent::ShortcutOverride) {
        auto* pKey = static_cast<QKeyEvent*>(pEvent);
        if (!(pKey->modifiers() & Qt::AltModifier)) {
            pEvent->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(pEvent);
}

bool CHexEdit::focusNextPrevChild(bool)
{
    return false;
}

unsigned CHexEdit::VirtualKeyOf(int nQtKey)
{
    switch (nQtKey) {
    case Qt::Key_Down:
        return CHexEditModel::VK_DOWN;
    case Qt::Key_Up:
        return CHexEditModel::VK_UP;
    case Qt::Key_Left:
        return CHexEditModel::VK_LEFT;
    case Qt::Key_Right:
        return CHexEditModel::VK_RIGHT;
    case Qt::Key_PageUp:
        return CHexEditModel::VK_PRIOR;
    case Qt::Key_PageDown:
        return CHexEditModel::VK_NEXT;
    case Qt::Key_Home:
        return CHexEditModel::VK_HOME;
    case Qt::Key_End:
        return CHexEditModel::VK_END;
    case Qt::Key_Insert:
        return CHexEditModel::VK_INSERT;
    case Qt::Key_Delete:
        return CHexEditModel::VK_DELETE;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return CHexEditModel::VK_TAB;
    case Qt::Key_Backspace:
        return CHexEditModel::VK_BACK;
    default:
        return 0;
    }
}

int CHexEdit::CharCodeOf(int nQtKey, Qt::KeyboardModifiers modifiers, const QString& strText)
{
    switch (nQtKey) {
    case Qt::Key_Backspace:
        return 8;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return 9;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 13;
    case Qt::Key_Escape:
        return 27;
    case Qt::Key_Delete:
        return -1;
    default:
        break;
    }
    if (modifiers & Qt::ControlModifier) {
        // Ctrl with a letter gives the control codes 1 (A) to 26 (Z).
        if (nQtKey >= Qt::Key_A && nQtKey <= Qt::Key_Z)
            return nQtKey - Qt::Key_A + 1;
        return -1;
    }
    if (strText.isEmpty())
        return -1;
    // One byte a character: Latin-1 characters only; others have no byte.
    const char16_t c = strText.at(0).unicode();
    if (c < 0x20 || c == 0x7F || c > 0xFF)
        return -1;
    return c;
}

void CHexEdit::keyPressEvent(QKeyEvent* pEvent)
{
    const Qt::KeyboardModifiers modifiers = pEvent->modifiers();
    if (modifiers & Qt::AltModifier) {
        QAbstractScrollArea::keyPressEvent(pEvent);
        return;
    }
    const bool bShift = modifiers & Qt::ShiftModifier;
    const bool bCtrl = modifiers & Qt::ControlModifier;
    m_model.EnsureLayout();
    if (const unsigned nVirtualKey = VirtualKeyOf(pEvent->key()))
        m_model.OnKeyDown(nVirtualKey, bShift, bCtrl);
    const int nChar = CharCodeOf(pEvent->key(), modifiers, pEvent->text());
    if (nChar >= 0) {
        if (const int nCommand = m_model.OnChar(static_cast<unsigned>(nChar), bCtrl))
            OnCommand(nCommand);
    }
    pEvent->accept();
}

// ---------------------------------------------------------------------------
// Mouse and focus

void CHexEdit::mousePressEvent(QMouseEvent* pEvent)
{
    if (pEvent->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(pEvent);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    m_model.EnsureLayout();
    const QPoint pt = pEvent->position().toPoint();
    const bool bShift = pEvent->modifiers() & Qt::ShiftModifier;
    m_model.OnLButtonDown(pt.x(), pt.y(), bShift);
    // A press becomes a drag once the pointer moves far enough.
    m_bDragPending = !bShift && m_model.HasData();
    m_ptPress = pt;
    pEvent->accept();
}

void CHexEdit::mouseMoveEvent(QMouseEvent* pEvent)
{
    const QPoint pt = pEvent->position().toPoint();
    const bool bLeft = pEvent->buttons() & Qt::LeftButton;
    if (m_bDragPending && bLeft) {
        if ((pt - m_ptPress).manhattanLength() < QApplication::startDragDistance())
            return;
        m_bDragPending = false;
        m_model.BeginDrag();
    }
    m_model.OnMouseMove(pt.x(), pt.y(), bLeft);
    pEvent->accept();
}

void CHexEdit::mouseReleaseEvent(QMouseEvent* pEvent)
{
    m_bDragPending = false;
    pEvent->accept();
}

void CHexEdit::mouseDoubleClickEvent(QMouseEvent* pEvent)
{
    pEvent->accept();
}

void CHexEdit::focusInEvent(QFocusEvent* pEvent)
{
    m_model.OnSetFocus();
    QAbstractScrollArea::focusInEvent(pEvent);
}

void CHexEdit::focusOutEvent(QFocusEvent* pEvent)
{
    m_model.OnKillFocus();
    QAbstractScrollArea::focusOutEvent(pEvent);
}

// ---------------------------------------------------------------------------
// Commands, context menu and clipboard

void CHexEdit::OnCommand(int nCommand)
{
    switch (nCommand) {
    case CHexEditModel::ID_EDIT_CLEAR:
        m_model.OnEditClear();
        break;
    case CHexEditModel::ID_EDIT_COPY:
        OnEditCopy();
        break;
    case CHexEditModel::ID_EDIT_CUT:
        OnEditCut();
        break;
    case CHexEditModel::ID_EDIT_PASTE:
        OnEditPaste();
        break;
    case CHexEditModel::ID_EDIT_SELECT_ALL:
        m_model.OnEditSelectAll();
        break;
    default: // Undo does nothing.
        break;
    }
}

void CHexEdit::OnEditCopy()
{
    if (!m_model.HasData() || !m_model.HasSelection())
        return;
    const std::vector<std::uint8_t> bytes = m_model.SelectedBytes();
    const std::string text = m_model.SelectedText();
    auto* pMime = new QMimeData;
    pMime->setData(QString::fromLatin1(kBinaryDataFormat),
                   QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
    pMime->setData(QStringLiteral("text/plain"), QByteArray(text.data(), static_cast<qsizetype>(text.size())));
    QGuiApplication::clipboard()->setMimeData(pMime);
}

void CHexEdit::OnEditCut()
{
    if (!m_model.HasData() || !m_model.HasSelection())
        return;
    OnEditCopy();
    m_model.CutSelection();
}

void CHexEdit::OnEditPaste()
{
    if (!m_model.HasData())
        return;
    const QMimeData* pMime = QGuiApplication::clipboard()->mimeData();
    if (pMime == nullptr)
        return;
    QByteArray data;
    if (pMime->hasFormat(QString::fromLatin1(kBinaryDataFormat))) {
        data = pMime->data(QString::fromLatin1(kBinaryDataFormat));
    } else if (pMime->hasText()) {
        // Text goes in as its characters' bytes, up to its first NUL.
        data = pMime->hasFormat(QStringLiteral("text/plain")) ? pMime->data(QStringLiteral("text/plain"))
                                                              : pMime->text().toUtf8();
        const qsizetype nNul = data.indexOf('\0');
        if (nNul >= 0)
            data.truncate(nNul);
    } else {
        return;
    }
    m_model.Paste(std::vector<std::uint8_t>(data.begin(), data.end()));
}

QMenu* CHexEdit::CreateContextMenu(QWidget* pParent) const
{
    if (m_nContextMenuId != IDR_HEXEDIT_POPUP)
        return nullptr;
    auto* pMenu = new QMenu(QStringLiteral("_POPUP_"), pParent);
    const bool bSelection = m_model.HasSelection();
    // Qt hands out no data at all for an empty clipboard.
    const QMimeData* pMime = QGuiApplication::clipboard()->mimeData();
    const bool bCanPaste =
        pMime != nullptr && (pMime->hasText() || pMime->hasFormat(QString::fromLatin1(kBinaryDataFormat)));
    for (const CMenuItem& item : kPopupItems) {
        if (item.szText == nullptr) {
            pMenu->addSeparator();
            continue;
        }
        QAction* pAction = pMenu->addAction(QString::fromLatin1(item.szText));
        pAction->setData(item.nCommand);
        switch (item.nCommand) {
        case CHexEditModel::ID_EDIT_UNDO:
            pAction->setEnabled(false);
            break;
        case CHexEditModel::ID_EDIT_CLEAR:
        case CHexEditModel::ID_EDIT_CUT:
        case CHexEditModel::ID_EDIT_COPY:
            pAction->setEnabled(bSelection);
            break;
        case CHexEditModel::ID_EDIT_PASTE:
            pAction->setEnabled(bCanPaste);
            break;
        default:
            break;
        }
    }
    return pMenu;
}

void CHexEdit::contextMenuEvent(QContextMenuEvent* pEvent)
{
    QPoint ptGlobal = pEvent->globalPos();
    if (pEvent->reason() == QContextMenuEvent::Keyboard)
        ptGlobal = viewport()->mapToGlobal(QPoint(5, 5));
    QMenu* pMenu = CreateContextMenu(this);
    if (pMenu == nullptr)
        return;
    // When the window around the editor closes while the menu is open (the
    // program is ending and closes its dialogs), the menu closes with it.
    CCloseWithWindow closer(window(), pMenu);
    QAction* pChosen = pMenu->exec(ptGlobal);
    if (closer.m_bWindowClosed)
        pChosen = nullptr;
    const int nCommand = pChosen != nullptr ? pChosen->data().toInt() : 0;
    delete pMenu;
    if (nCommand != 0)
        OnCommand(nCommand);
}
