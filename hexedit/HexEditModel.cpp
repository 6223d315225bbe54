#include "hexedit/HexEditModel.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

} // namespace

// ---------------------------------------------------------------------------
// Owner operations

void CHexEditModel::SetOptions(bool bShowAddress, bool bShowHex, bool bShowChars, bool bWideAddress)
{
    m_bShowAddress = bShowAddress;
    m_bShowHex = bShowHex;
    m_bShowChars = bShowChars;
    m_bWideAddress = bWideAddress;
    m_bLayoutDirty = true;
}

void CHexEditModel::SetData(const std::uint8_t* pData, Index nLength)
{
    nLength = std::max<Index>(0, nLength);
    m_data.assign(pData, pData ? pData + nLength : pData);
    m_data.resize(static_cast<size_t>(nLength));
    m_bHasData = true;
    m_nLength = nLength;
    m_nCaretMode = MODE_HEX_HIGH;
    m_nCaretIndex = 0;
    m_nTopIndex = 0;
    m_ptCaret = CPoint{};
    m_bLayoutDirty = true;
    ClearSelection();
}

void CHexEditModel::SetMetrics(int nCharWidth, int nLineHeight)
{
    // A font always has some extent; a zero would divide by zero below.
    m_nCharWidth = std::max(1, nCharWidth);
    m_nLineHeight = std::max(1, nLineHeight);
}

void CHexEditModel::SetClientSize(int nWidth, int nHeight)
{
    m_nClientWidth = std::max(0, nWidth);
    m_nClientHeight = std::max(0, nHeight);
}

// ---------------------------------------------------------------------------
// Layout and redraw

void CHexEditModel::Layout()
{
    const int nAddressCells = m_bShowAddress ? AddressDigits() + 1 : 0;
    m_nHexX = nAddressCells * m_nCharWidth;
    m_nCharX = nAddressCells * m_nCharWidth + (m_bShowHex ? 3 * m_nBytesPerLine * m_nCharWidth : 0);

    m_nLinesPerPage = m_nClientHeight / m_nLineHeight;
    m_bPartialLastLine = false;
    if (m_nLinesPerPage * m_nBytesPerLine > m_nLength) {
        // All data fits: as many rows as the data has, rounded to the nearest
        // row, plus one for a short last row.
        m_nLinesPerPage = (m_nLength + m_nBytesPerLine / 2) / m_nBytesPerLine;
        if (m_nLength % m_nBytesPerLine != 0) {
            m_bPartialLastLine = true;
            ++m_nLinesPerPage;
        }
    }
    m_bLayoutDirty = false;
}

void CHexEditModel::EnsureLayout()
{
    if (m_bLayoutDirty && m_bHasData)
        Layout();
}

void CHexEditModel::Redraw()
{
    // The picture is composed right away, so the layout is brought up to date
    // here as the paint would; until the window has a size it waits for the
    // first paint.
    if (m_nClientHeight > 0)
        EnsureLayout();
    Changed();
}

void CHexEditModel::Changed()
{
    if (m_fnChanged)
        m_fnChanged();
}

CHexEditModel::CScrollInfo CHexEditModel::VScrollInfo() const
{
    CScrollInfo info;
    info.nMin = 0;
    info.nMax = m_nLength / m_nBytesPerLine - 1;
    info.nPage = m_nLinesPerPage;
    info.nPos = m_nTopIndex / m_nBytesPerLine;
    return info;
}

int CHexEditModel::HScrollMax() const
{
    return (AddressDigits() + (m_bShowHex ? 3 * m_nBytesPerLine : 0) + (m_bShowChars ? m_nBytesPerLine : 0)) *
           m_nCharWidth;
}

// ---------------------------------------------------------------------------
// Caret

int CHexEditModel::CaretWidth() const
{
    return m_bCaretWide ? AddressDigits() * m_nCharWidth : m_nCharWidth;
}

void CHexEditModel::CreateCaret(bool bWide)
{
    m_bCaretCreated = true;
    m_bCaretShown = false;
    m_bCaretWide = bWide;
    Changed();
}

void CHexEditModel::DestroyCaret()
{
    m_bCaretCreated = false;
    m_bCaretShown = false;
    Changed();
}

void CHexEditModel::ShowCaret()
{
    if (m_bCaretCreated)
        m_bCaretShown = true;
    Changed();
}

void CHexEditModel::ShowCaretAtPoint()
{
    CreateCaret(m_ptCaret.x == 0 && m_bShowAddress);
    SetCaretPos(m_ptCaret);
    ShowCaret();
}

void CHexEditModel::PlaceCaret(Index nIndex)
{
    const Index r = nIndex - m_nTopIndex;
    const Index nRow = r / m_nBytesPerLine;
    const Index k = r % m_nBytesPerLine;
    DestroyCaret();
    CreateCaret(m_nCaretMode == MODE_ADDRESS);
    Index x = 0;
    switch (m_nCaretMode) {
    case MODE_ADDRESS:
        x = 0;
        break;
    case MODE_CHARS:
        x = k * m_nCharWidth + m_nCharX;
        break;
    case MODE_HEX_HIGH:
        x = 3 * k * m_nCharWidth + m_nHexX;
        break;
    default:
        x = (3 * k + 1) * m_nCharWidth + m_nHexX;
        break;
    }
    const Index y = nRow * m_nLineHeight;
    // Pixel positions of rows far off the screen do not fit an int; they are
    // outside the client area either way.
    const auto clampPixel = [](Index v) { return static_cast<int>(std::clamp<Index>(v, -(1 << 30), 1 << 30)); };
    m_ptCaret = CPoint{clampPixel(x), clampPixel(y)};
    if (x >= 0 && y >= 0 && x < m_nClientWidth && y < m_nClientHeight) {
        SetCaretPos(m_ptCaret);
        ShowCaret();
    }
}

void CHexEditModel::ClearSelection()
{
    DestroyCaret();
    m_nSelStart = -1;
    m_nSelEnd = -1;
    Redraw();
    ShowCaretAtPoint();
}

void CHexEditModel::OnSetFocus()
{
    if (m_bHasData && !HasSelection())
        ShowCaretAtPoint();
}

void CHexEditModel::OnKillFocus()
{
    DestroyCaret();
}

void CHexEditModel::ClampCaret()
{
    m_nCaretIndex = std::clamp<Index>(m_nCaretIndex, 0, m_nLength);
}

// ---------------------------------------------------------------------------
// Scrolling

CHexEditModel::Index CHexEditModel::MaxTopIndex() const
{
    return m_nLength / m_nBytesPerLine * m_nBytesPerLine;
}

void CHexEditModel::ScrollTail(Index nOldTop)
{
    if (!m_bKeyScroll) {
        // The caret keeps its place on the screen, but never leaves the bytes.
        m_nCaretIndex += m_nTopIndex - nOldTop;
        ClampCaret();
    }
    Changed();
    PlaceCaret(m_nCaretIndex);
}

void CHexEditModel::ScrollLineUp()
{
    const Index nOldTop = m_nTopIndex;
    if (m_nTopIndex > 0) {
        m_nTopIndex -= m_nBytesPerLine;
        Redraw();
    }
    ScrollTail(nOldTop);
}

void CHexEditModel::ScrollLineDown()
{
    const Index nOldTop = m_nTopIndex;
    // Never past the row that starts at the end of the bytes (with no bytes,
    // a page of no rows would otherwise scroll on into nothing).
    if (m_nTopIndex <= m_nLength - m_nLinesPerPage * m_nBytesPerLine &&
        m_nTopIndex + m_nBytesPerLine <= MaxTopIndex()) {
        m_nTopIndex += m_nBytesPerLine;
        Redraw();
    }
    ScrollTail(nOldTop);
}

void CHexEditModel::ScrollPageUp()
{
    const Index nOldTop = m_nTopIndex;
    if (m_nTopIndex > 0) {
        m_nTopIndex = std::max<Index>(0, m_nTopIndex - m_nLinesPerPage * m_nBytesPerLine);
        Redraw();
    }
    ScrollTail(nOldTop);
}

void CHexEditModel::ScrollPageDown()
{
    const Index nOldTop = m_nTopIndex;
    // The last page, starting at a row: when the data does not end at a row's
    // end, the top stops at the row whose page shows the last byte.
    Index nLimit = m_nLength - m_nLinesPerPage * m_nBytesPerLine;
    if (nLimit > 0)
        nLimit = (nLimit + m_nBytesPerLine - 1) / m_nBytesPerLine * m_nBytesPerLine;
    if (m_nTopIndex < nLimit) {
        m_nTopIndex = std::min(m_nTopIndex + m_nLinesPerPage * m_nBytesPerLine, nLimit);
        Redraw();
    }
    ScrollTail(nOldTop);
}

void CHexEditModel::OnVScroll(int nCode, Index nPos)
{
    if (!m_bHasData)
        return;
    const Index nOldTop = m_nTopIndex;
    switch (nCode) {
    case SB_LINEUP:
        ScrollLineUp();
        return;
    case SB_LINEDOWN:
        ScrollLineDown();
        return;
    case SB_PAGEUP:
        ScrollPageUp();
        return;
    case SB_PAGEDOWN:
        ScrollPageDown();
        return;
    case SB_THUMBTRACK:
        m_nTopIndex = std::clamp<Index>(m_nBytesPerLine * nPos, 0, MaxTopIndex());
        Redraw();
        break;
    default:
        break;
    }
    ScrollTail(nOldTop);
}

// ---------------------------------------------------------------------------
// Hit testing and the mouse

CHexEditModel::CHit CHexEditModel::HitTest(int x, int y)
{
    CHit hit;
    const Index nRow = y / m_nLineHeight;
    const Index nRowStart = m_nTopIndex + nRow * m_nBytesPerLine;
    if (nRow < 0 || nRow > m_nLinesPerPage || nRowStart > m_nLength)
        return hit;
    const Index nCell = x / m_nCharWidth;

    Index k = 0;
    int nMode = MODE_ADDRESS;
    const Index nHexCell = m_nHexX / m_nCharWidth;
    const Index nCharCell = m_nCharX / m_nCharWidth;
    if (m_bShowAddress && nCell < AddressDigits()) {
        nMode = MODE_ADDRESS;
    } else if (m_bShowHex && nCell <= nHexCell + 3 * m_nBytesPerLine - 2) {
        const Index d = nCell - nHexCell;
        if (d < 0) {
            nMode = MODE_HEX_HIGH;
        } else {
            k = d / 3;
            nMode = d % 3 == 1 ? MODE_HEX_LOW : MODE_HEX_HIGH;
            if (d % 3 == 2)
                ++k; // the blank after a byte belongs to the next one
        }
    } else if (m_bShowChars && nCell <= nCharCell + m_nBytesPerLine - 1) {
        k = std::max<Index>(0, nCell - nCharCell);
        nMode = MODE_CHARS;
    } else {
        return hit;
    }

    // A click past the last byte of a short last row lands on that byte; the
    // empty row after the data holds no byte and is a miss. So the caret always
    // stands on a byte that typing can change.
    if (nRowStart + k >= m_nLength) {
        if (nRowStart >= m_nLength)
            return hit;
        k = m_nLength - 1 - nRowStart;
    }

    m_nCaretIndex = nRowStart + k;
    m_nCaretMode = nMode;
    hit.bHit = true;
    hit.nRow = nRow;
    switch (nMode) {
    case MODE_ADDRESS:
        hit.nCell = 0;
        break;
    case MODE_CHARS:
        hit.nCell = nCharCell + k;
        break;
    case MODE_HEX_HIGH:
        hit.nCell = nHexCell + 3 * k;
        break;
    default:
        hit.nCell = nHexCell + 3 * k + 1;
        break;
    }
    return hit;
}

void CHexEditModel::OnLButtonDown(int x, int y, bool bShift)
{
    if (!m_bHasData)
        return;
    const Index nCaretBefore = m_nCaretIndex;
    const CHit hit = HitTest(x, y);
    if (hit.bHit) {
        m_ptCaret = CPoint{static_cast<int>(hit.nCell * m_nCharWidth), static_cast<int>(hit.nRow * m_nLineHeight)};
        CreateCaret(hit.nCell == 0 && m_bShowAddress);
        SetCaretPos(m_ptCaret);
        if (bShift) {
            // The anchor is the caret before the click; a Shift+click that
            // misses leaves the selection as it was, so no end is left at -1.
            m_nSelStart = nCaretBefore;
            m_nSelEnd = m_nCaretIndex + (InHexColumn() ? 1 : 0);
            Redraw();
        }
    }
    if (!bShift) {
        const bool bHadSelection = HasSelection();
        m_nSelStart = -1;
        m_nSelEnd = -1;
        if (bHadSelection)
            Redraw();
    }
    if (!HasSelection())
        ShowCaret();
}

void CHexEditModel::BeginDrag()
{
    if (!m_bHasData)
        return;
    m_nSelStart = m_nCaretIndex;
    m_nSelEnd = m_nCaretIndex;
}

void CHexEditModel::OnMouseMove(int x, int y, bool bLeftButton)
{
    if (!m_bHasData || !bLeftButton || !HasSelection())
        return;
    if (y < 0) {
        ScrollLineUp();
        y = 0;
    } else if (y > m_nClientHeight) {
        ScrollLineDown();
        y = m_nClientHeight - 1;
    }
    const Index nOldEnd = m_nSelEnd;
    if (HitTest(x, y).bHit)
        m_nSelEnd = m_nCaretIndex + (InHexColumn() ? 1 : 0);
    DestroyCaret();
    if (m_nSelEnd != nOldEnd)
        Redraw();
}

// ---------------------------------------------------------------------------
// Edit primitives

CHexEditModel::Index CHexEditModel::SelLow() const
{
    return std::min(m_nSelStart, m_nSelEnd);
}

CHexEditModel::Index CHexEditModel::SelHigh() const
{
    return std::max(m_nSelStart, m_nSelEnd);
}

void CHexEditModel::DeleteRange(Index nFrom, Index nTo)
{
    nFrom = std::clamp<Index>(nFrom, 0, m_nLength);
    nTo = std::clamp<Index>(nTo, nFrom, m_nLength);
    m_data.erase(m_data.begin() + nFrom, m_data.begin() + nTo);
    m_nLength = static_cast<Index>(m_data.size());
    // A view that started below the new end would show nothing: it starts at
    // the row of the last byte instead.
    const Index nLastRow = m_nLength > 0 ? (m_nLength - 1) / m_nBytesPerLine * m_nBytesPerLine : 0;
    m_nTopIndex = std::min(m_nTopIndex, nLastRow);
    ClearSelection();
    if (m_nCaretIndex > m_nLength) {
        m_nCaretIndex = m_nLength;
        PlaceCaret(m_nCaretIndex);
    }
    m_bLayoutDirty = true;
}

void CHexEditModel::InsertZeros(Index nAt, Index nCount)
{
    nAt = std::clamp<Index>(nAt, 0, m_nLength);
    nCount = std::max<Index>(0, nCount);
    m_data.insert(m_data.begin() + nAt, static_cast<size_t>(nCount), std::uint8_t{0});
    m_nLength = static_cast<Index>(m_data.size());
    ClearSelection();
    m_bLayoutDirty = true;
}

void CHexEditModel::MoveCaret(int dx, int dy)
{
    switch (m_nCaretMode) {
    case MODE_ADDRESS:
        return;
    case MODE_CHARS:
        m_nCaretIndex += static_cast<Index>(dy) * m_nBytesPerLine + dx;
        break;
    case MODE_HEX_HIGH:
        if (dx != 0) {
            m_nCaretMode = MODE_HEX_LOW;
            if (dx == -1)
                --m_nCaretIndex;
        }
        m_nCaretIndex += static_cast<Index>(dy) * m_nBytesPerLine;
        break;
    default:
        if (dx != 0) {
            m_nCaretMode = MODE_HEX_HIGH;
            if (dx == 1)
                ++m_nCaretIndex;
        }
        m_nCaretIndex += static_cast<Index>(dy) * m_nBytesPerLine;
        break;
    }

    if (m_nCaretIndex < 0)
        m_nCaretIndex = 0;
    if (m_nLength == 0)
        m_nCaretIndex = 0;
    else if (m_nCaretIndex >= m_nLength)
        m_nCaretIndex -= static_cast<Index>(dy) * m_nBytesPerLine + dx;
    ClampCaret();

    m_bKeyScroll = true;
    if (m_nCaretIndex < m_nTopIndex)
        ScrollLineUp();
    if (m_nCaretIndex >= m_nTopIndex + m_nLinesPerPage * m_nBytesPerLine)
        ScrollLineDown();
    m_bKeyScroll = false;
    PlaceCaret(m_nCaretIndex);
}

// ---------------------------------------------------------------------------
// Keyboard

void CHexEditModel::Navigate(bool bShift, bool bForward, const std::function<void()>& fnMove)
{
    // Shift keeps the selection's anchor (or sets it at the caret) and moves
    // its other end along; the plain key drops the selection.
    if (bShift) {
        if (!HasSelection())
            m_nSelStart = m_nCaretIndex;
    } else {
        ClearSelection();
    }
    fnMove();
    if (bShift) {
        // The forward keys take the byte under the caret into a hex selection
        // (there is none with the caret just past the last byte).
        m_nSelEnd = std::min(m_nCaretIndex + (bForward && InHexColumn() ? 1 : 0), m_nLength);
        Redraw();
    }
}

void CHexEditModel::GoHome(bool bCtrl)
{
    if (bCtrl) {
        const Index nOldTop = m_nTopIndex;
        m_nTopIndex = 0;
        Redraw();
        ScrollTail(nOldTop);
        m_nCaretIndex = 0;
    } else {
        m_nCaretIndex -= m_nCaretIndex % m_nBytesPerLine;
    }
    MoveCaret(0, 0);
}

void CHexEditModel::GoEnd(bool bCtrl)
{
    if (bCtrl) {
        const Index nOldTop = m_nTopIndex;
        m_nCaretIndex = std::max<Index>(0, m_nLength - 1);
        // The last page; with all data in the window and a short last row,
        // the first.
        if (m_bPartialLastLine)
            m_nTopIndex = 0;
        else
            m_nTopIndex = std::max<Index>(
                0, m_nBytesPerLine * ((m_nLength + m_nBytesPerLine / 2) / m_nBytesPerLine - m_nLinesPerPage));
        Redraw();
        ScrollTail(nOldTop);
    } else {
        m_nCaretIndex = m_nBytesPerLine * (m_nCaretIndex / m_nBytesPerLine + 1) - 1;
        if (m_nCaretIndex >= m_nLength)
            m_nCaretIndex = std::max<Index>(0, m_nLength - 1);
    }
    MoveCaret(0, 0);
}

void CHexEditModel::DeleteAtCaret()
{
    if (HasSelection()) {
        OnEditClear();
        return;
    }
    // With the caret just past the last byte, Delete takes the last byte.
    const Index nAt = m_nCaretIndex >= m_nLength ? m_nLength - 1 : m_nCaretIndex;
    if (nAt >= 0)
        DeleteRange(nAt, nAt + 1);
    Redraw();
}

void CHexEditModel::OnKeyDown(unsigned nVirtualKey, bool bShift, bool bCtrl)
{
    if (!m_bHasData)
        return;
    // Scrolling by key leaves the caret index to the key.
    const bool bSavedKeyScroll = m_bKeyScroll;
    m_bKeyScroll = true;
    switch (nVirtualKey) {
    case VK_DOWN:
        Navigate(bShift, true, [this] { MoveCaret(0, 1); });
        break;
    case VK_UP:
        Navigate(bShift, false, [this] { MoveCaret(0, -1); });
        break;
    case VK_LEFT:
        Navigate(bShift, false, [this] { MoveCaret(-1, 0); });
        break;
    case VK_RIGHT:
        Navigate(bShift, true, [this] { MoveCaret(1, 0); });
        break;
    case VK_PRIOR:
        Navigate(bShift, false, [this] {
            ScrollPageUp();
            MoveCaret(0, 0);
        });
        break;
    case VK_NEXT:
        Navigate(bShift, false, [this] {
            ScrollPageDown();
            MoveCaret(0, 0);
        });
        break;
    case VK_HOME:
        Navigate(bShift, false, [this, bCtrl] { GoHome(bCtrl); });
        break;
    case VK_END:
        Navigate(bShift, false, [this, bCtrl] { GoEnd(bCtrl); });
        break;
    case VK_INSERT:
        InsertZeros(m_nCaretIndex, HasSelection() ? std::max<Index>(1, SelHigh() - SelLow()) : 1);
        Redraw();
        break;
    case VK_DELETE:
        DeleteAtCaret();
        break;
    case VK_TAB:
        m_nCaretMode = InHexColumn() ? MODE_CHARS : MODE_HEX_HIGH;
        MoveCaret(0, 0);
        break;
    default:
        break;
    }
    m_bKeyScroll = bSavedKeyScroll;
}

int CHexEditModel::OnChar(unsigned nChar, bool bCtrl)
{
    if (!m_bHasData || nChar == 9)
        return 0;
    if (bCtrl) {
        switch (nChar) {
        case 0x03:
            return HasSelection() ? ID_EDIT_COPY : 0;
        case 0x16:
            return ID_EDIT_PASTE;
        case 0x18:
            return HasSelection() ? ID_EDIT_CUT : 0;
        case 0x1A:
            return 0;
        default:
            break;
        }
    }
    if (nChar == 8) {
        if (m_nCaretIndex > 0) {
            --m_nCaretIndex;
            DeleteRange(m_nCaretIndex, m_nCaretIndex + 1);
            PlaceCaret(m_nCaretIndex);
            Redraw();
        }
        return 0;
    }

    ClearSelection();
    // Typing overwrites the byte under the caret; just past the last byte
    // there is none, and the key is ignored.
    if (m_nCaretIndex < m_nLength) {
        std::uint8_t& b = m_data[static_cast<size_t>(m_nCaretIndex)];
        const auto code = static_cast<std::uint8_t>(nChar & 0xFF);
        if (m_nCaretMode == MODE_CHARS) {
            b = code;
            MoveCaret(1, 0);
        } else if (InHexColumn()) {
            int nDigit = -1;
            if (code >= '0' && code <= '9')
                nDigit = code - '0';
            else if (code >= 'a' && code <= 'f')
                nDigit = code - 'a' + 10;
            if (nDigit >= 0) {
                if (m_nCaretMode == MODE_HEX_HIGH)
                    b = static_cast<std::uint8_t>((b & 0x0F) | (nDigit << 4));
                else
                    b = static_cast<std::uint8_t>((b & 0xF0) | nDigit);
                MoveCaret(1, 0);
            }
        }
    }
    Redraw();
    return 0;
}

void CHexEditModel::OnEditClear()
{
    if (!m_bHasData || !HasSelection())
        return;
    const Index lo = SelLow();
    const Index hi = SelHigh();
    m_nCaretIndex = lo;
    DeleteRange(lo, hi);
    PlaceCaret(m_nCaretIndex);
    Redraw();
}

void CHexEditModel::CutSelection()
{
    if (!m_bHasData || !HasSelection())
        return;
    DeleteRange(SelLow(), SelHigh());
    Redraw();
}

void CHexEditModel::OnEditSelectAll()
{
    if (!m_bHasData)
        return;
    m_nSelStart = 0;
    m_nSelEnd = m_nLength;
    DestroyCaret();
    Redraw();
}

void CHexEditModel::Paste(const std::vector<std::uint8_t>& bytes)
{
    if (!m_bHasData)
        return;
    const Index n = static_cast<Index>(bytes.size());
    const Index nSaved = m_nCaretIndex;
    if (m_nSelStart > m_nSelEnd)
        std::swap(m_nSelStart, m_nSelEnd);
    Index nAt = 0;
    if (!HasSelection()) {
        // Behind the caret's byte when the caret is on its low digit, but
        // never past the end of the bytes.
        if (m_nCaretMode == MODE_HEX_LOW)
            m_nCaretIndex = std::min(m_nCaretIndex + 1, m_nLength);
        nAt = m_nCaretIndex;
        InsertZeros(nAt, n);
    } else {
        nAt = std::clamp<Index>(m_nSelStart, 0, m_nLength);
        DeleteRange(m_nSelStart, m_nSelEnd);
        InsertZeros(nAt, n);
        ClearSelection();
    }
    std::copy(bytes.begin(), bytes.end(), m_data.begin() + nAt);
    m_nCaretIndex = std::min(nSaved, m_nLength);
    Redraw();
}

// ---------------------------------------------------------------------------
// Renderings

std::vector<std::uint8_t> CHexEditModel::SelectedBytes() const
{
    if (!HasSelection())
        return {};
    const Index lo = std::clamp<Index>(SelLow(), 0, m_nLength);
    const Index hi = std::clamp<Index>(SelHigh(), lo, m_nLength);
    return std::vector<std::uint8_t>(m_data.begin() + lo, m_data.begin() + hi);
}

std::string CHexEditModel::SelectedText() const
{
    const std::vector<std::uint8_t> bytes = SelectedBytes();
    std::string text;
    if (m_nCaretMode == MODE_CHARS) {
        text.reserve(bytes.size());
        for (std::uint8_t b : bytes)
            text += CharOf(b);
    } else {
        text.reserve(3 * bytes.size());
        for (std::uint8_t b : bytes) {
            text += kHexDigits[b >> 4];
            text += kHexDigits[b & 0x0F];
            text += ' ';
        }
    }
    return text;
}

std::string CHexEditModel::AddressText(Index nRowStart) const
{
    char sz[32];
    std::snprintf(sz, sizeof sz, m_bWideAddress ? "%08llX" : "%04llX", static_cast<unsigned long long>(nRowStart));
    return sz;
}

std::string CHexEditModel::HexRowText(Index nRowStart) const
{
    std::string text(static_cast<size_t>(3 * m_nBytesPerLine), ' ');
    for (int k = 0; k < m_nBytesPerLine && nRowStart + k < m_nLength; ++k) {
        const std::uint8_t b = m_data[static_cast<size_t>(nRowStart + k)];
        text[3 * k] = kHexDigits[b >> 4];
        text[3 * k + 1] = kHexDigits[b & 0x0F];
    }
    return text;
}

std::string CHexEditModel::CharRowText(Index nRowStart) const
{
    std::string text;
    for (int k = 0; k < m_nBytesPerLine && nRowStart + k < m_nLength; ++k)
        text += CharOf(m_data[static_cast<size_t>(nRowStart + k)]);
    return text;
}
