// The byte logic of the hex editor, without any drawing: the bytes, the caret
// and its column, the selection, the edit primitives, the layout arithmetic
// (column positions, rows per page), scrolling, hit testing and the handling
// of keys by their Windows virtual-key codes. CHexEdit paints what this holds
// and hands it its input; tests drive it directly.
//
// Rows hold m_nBytesPerLine bytes. Each row has up to three columns: the
// offset of its first byte (address), the bytes as hexadecimal digits and the
// bytes as characters. The caret stands on one byte, in one column, and in the
// hex column on one of its two digits. Offsets and lengths are 64-bit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CHexEditModel
{
public:
    using Index = std::int64_t;

    // Caret columns.
    static constexpr int MODE_ADDRESS = 0;
    static constexpr int MODE_CHARS = 1;
    static constexpr int MODE_HEX_HIGH = 2;
    static constexpr int MODE_HEX_LOW = 3;

    // Windows virtual-key codes the keyboard handler understands.
    static constexpr unsigned VK_BACK = 0x08;
    static constexpr unsigned VK_TAB = 0x09;
    static constexpr unsigned VK_PRIOR = 0x21;
    static constexpr unsigned VK_NEXT = 0x22;
    static constexpr unsigned VK_END = 0x23;
    static constexpr unsigned VK_HOME = 0x24;
    static constexpr unsigned VK_LEFT = 0x25;
    static constexpr unsigned VK_UP = 0x26;
    static constexpr unsigned VK_RIGHT = 0x27;
    static constexpr unsigned VK_DOWN = 0x28;
    static constexpr unsigned VK_INSERT = 0x2D;
    static constexpr unsigned VK_DELETE = 0x2E;

    // Vertical scroll-bar codes.
    static constexpr int SB_LINEUP = 0;
    static constexpr int SB_LINEDOWN = 1;
    static constexpr int SB_PAGEUP = 2;
    static constexpr int SB_PAGEDOWN = 3;
    static constexpr int SB_THUMBPOSITION = 4;
    static constexpr int SB_THUMBTRACK = 5;
    static constexpr int SB_ENDSCROLL = 8;

    // Edit commands (the context menu's and the control keys').
    static constexpr int ID_EDIT_CLEAR = 57632;
    static constexpr int ID_EDIT_COPY = 57634;
    static constexpr int ID_EDIT_CUT = 57635;
    static constexpr int ID_EDIT_PASTE = 57637;
    static constexpr int ID_EDIT_SELECT_ALL = 57642;
    static constexpr int ID_EDIT_UNDO = 57643;

    struct CPoint
    {
        int x = 0;
        int y = 0;
        bool operator==(const CPoint&) const = default;
    };

    // What HitTest found: the row on the screen and the cell (column of
    // character cells) the caret goes to.
    struct CHit
    {
        bool bHit = false;
        Index nRow = 0;
        Index nCell = 0;
    };

    // The vertical scroll bar in Windows terms: range nMin … nMax, page nPage,
    // position nPos (all in rows).
    struct CScrollInfo
    {
        Index nMin = 0;
        Index nMax = 0;
        Index nPage = 0;
        Index nPos = 0;
    };

    // --- owner operations ---------------------------------------------------
    void SetOptions(bool bShowAddress, bool bShowHex, bool bShowChars, bool bWideAddress);
    void SetData(const std::uint8_t* pData, Index nLength);

    // --- what the window tells the model ------------------------------------
    // Font metrics in pixels (a cell's width, a row's height).
    void SetMetrics(int nCharWidth, int nLineHeight);
    // The client area in pixels. The layout is not marked dirty: rows per page
    // follow a resize only at the next SetData, SetOptions or edit.
    void SetClientSize(int nWidth, int nHeight);
    // Called whenever the picture changed (bytes, selection, caret, scroll
    // position): the window repaints and reapplies the scroll bar.
    void SetChangeHandler(std::function<void()> fnChanged) { m_fnChanged = std::move(fnChanged); }

    // --- layout, scrolling, caret, hit testing ------------------------------
    void Layout();
    void EnsureLayout();
    void Redraw();
    void ClearSelection();
    void PlaceCaret(Index nIndex);
    CHit HitTest(int x, int y);
    void ScrollLineUp();
    void ScrollLineDown();
    void ScrollPageUp();
    void ScrollPageDown();
    void OnVScroll(int nCode, Index nPos);
    void OnSetFocus();
    void OnKillFocus();
    CScrollInfo VScrollInfo() const;
    // The horizontal bar's range in pixels (it never scrolls).
    int HScrollMax() const;

    // --- mouse ----------------------------------------------------------------
    // A press of the left button. Without Shift, a press that turns into a
    // drag is told with BeginDrag once the pointer has moved far enough.
    void OnLButtonDown(int x, int y, bool bShift);
    void BeginDrag();
    void OnMouseMove(int x, int y, bool bLeftButton);

    // --- keyboard and edit commands ------------------------------------------
    void OnKeyDown(unsigned nVirtualKey, bool bShift, bool bCtrl);
    // A character; returns an edit command the window has to run because it
    // needs the clipboard (ID_EDIT_COPY, ID_EDIT_CUT, ID_EDIT_PASTE), else 0.
    int OnChar(unsigned nChar, bool bCtrl);
    void DeleteRange(Index nFrom, Index nTo);
    void InsertZeros(Index nAt, Index nCount);
    void MoveCaret(int dx, int dy);
    void OnEditClear();
    void OnEditSelectAll();
    // What Cut does after the copy: the selected bytes are removed.
    void CutSelection();
    // Inserts bytes from the clipboard at the caret, or in place of the
    // selection.
    void Paste(const std::vector<std::uint8_t>& bytes);

    // --- clipboard renderings --------------------------------------------------
    // The selected bytes as they are ("BinaryData").
    std::vector<std::uint8_t> SelectedBytes() const;
    // Their text: one character a byte in the character column ('.' for an
    // unprintable byte), else two hex digits and a blank a byte.
    std::string SelectedText() const;

    // --- what painting reads -----------------------------------------------------
    // The offset text of a row; the hex text (3 × bytes per row characters,
    // blanks for missing bytes) and the character text (one a byte) of the
    // row starting at nRowStart.
    std::string AddressText(Index nRowStart) const;
    std::string HexRowText(Index nRowStart) const;
    std::string CharRowText(Index nRowStart) const;
    static char CharOf(std::uint8_t b) { return b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.'; }

    bool HasData() const { return m_bHasData; }
    bool HasSelection() const { return m_nSelStart != -1; }
    bool InHexColumn() const { return m_nCaretMode == MODE_HEX_HIGH || m_nCaretMode == MODE_HEX_LOW; }
    Index SelLow() const;
    Index SelHigh() const;
    const std::vector<std::uint8_t>& Bytes() const { return m_data; }
    int AddressDigits() const { return m_bShowAddress ? (m_bWideAddress ? 8 : 4) : 0; }
    // The caret as the window shows it: shown, where, and whether it is the
    // address-wide block.
    bool CaretShown() const { return m_bCaretCreated && m_bCaretShown; }
    CPoint CaretPos() const { return m_ptCaretPos; }
    int CaretWidth() const;

    // State, named as the control's members.
    Index m_nLength = 0;
    Index m_nTopIndex = 0;
    Index m_nCaretIndex = 0;
    int m_nCaretMode = MODE_ADDRESS;
    Index m_nSelStart = -1;
    Index m_nSelEnd = -1;
    int m_nBytesPerLine = 8;
    Index m_nLinesPerPage = 1;
    bool m_bShowAddress = true;
    bool m_bShowChars = true;
    bool m_bShowHex = true;
    bool m_bWideAddress = true;
    bool m_bKeyScroll = false;
    bool m_bPartialLastLine = true;
    int m_nLineHeight = 14;
    int m_nCharWidth = 7;
    bool m_bLayoutDirty = true;
    int m_nHexX = 0;
    int m_nCharX = 0;
    int m_nAddressX = 0;
    CPoint m_ptCaret;

private:
    void Changed();
    void ScrollTail(Index nOldTop);
    void ClampCaret();
    void CreateCaret(bool bWide);
    void DestroyCaret();
    void SetCaretPos(CPoint pt) { m_ptCaretPos = pt; Changed(); }
    void ShowCaret();
    void ShowCaretAtPoint();
    // The keys' steps: a caret move with or without Shift, Home, End, Delete.
    void Navigate(bool bShift, bool bForward, const std::function<void()>& fnMove);
    void GoHome(bool bCtrl);
    void GoEnd(bool bCtrl);
    void DeleteAtCaret();
    Index MaxTopIndex() const;

    std::vector<std::uint8_t> m_data;
    bool m_bHasData = false;
    int m_nClientWidth = 0;
    int m_nClientHeight = 0;
    bool m_bCaretCreated = false;
    bool m_bCaretShown = false;
    bool m_bCaretWide = false;
    CPoint m_ptCaretPos;
    std::function<void()> m_fnChanged;
};
