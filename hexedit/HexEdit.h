// The hex editor: a self-drawn view of a block of bytes in rows of eight, with
// an address column, a hex column and a character column, a caret, a
// selection, editing by keyboard and mouse, a context menu and the clipboard.
// All byte logic lives in CHexEditModel; this widget paints the visible rows,
// turns Qt's input into the model's calls (keys as Windows virtual-key codes)
// and talks to the clipboard.
#pragma once

#include "hexedit/HexEditModel.h"

#include <QAbstractScrollArea>
#include <QFont>
#include <QPoint>

#include <cstdint>

class QMenu;
class QMimeData;

// The context menu resource of the hex editor, whose first popup "_POPUP_"
// holds the edit commands.
inline constexpr unsigned IDR_HEXEDIT_POPUP = 103;

// The clipboard format of raw bytes, offered together with text/plain.
inline constexpr char kBinaryDataFormat[] = "BinaryData";

class CHexEdit : public QAbstractScrollArea
{
    Q_OBJECT
public:
    explicit CHexEdit(QWidget* pParent = nullptr);
    ~CHexEdit() override;

    // Owner operations.
    void SetOptions(bool bShowAddress, bool bShowHex, bool bShowChars, bool bWideAddress);
    void SetData(const std::uint8_t* pData, CHexEditModel::Index nLength);
    void SetContextMenu(unsigned nMenuId) { m_nContextMenuId = nMenuId; }

    // The edit commands, as the context menu and the control keys run them.
    void OnCommand(int nCommand);
    void OnEditCopy();
    void OnEditCut();
    void OnEditPaste();

    // The context menu as it would open now, its items enabled for the
    // selection and the clipboard; null when no menu is set. The caller owns it.
    QMenu* CreateContextMenu(QWidget* pParent = nullptr) const;

    // The bytes, caret and selection (tests and the benchmark read them).
    CHexEditModel& Model() { return m_model; }
    const CHexEditModel& Model() const { return m_model; }
    const QFont& Font() const { return m_font; }

    // Draws the control's picture onto any paint device of the viewport's size.
    void PaintTo(QPaintDevice* pDevice);

    // Windows virtual-key code of a Qt key, 0 for keys the control ignores.
    static unsigned VirtualKeyOf(int nQtKey);
    // The WM_CHAR code a key event produces, or -1 when it produces none.
    static int CharCodeOf(int nQtKey, Qt::KeyboardModifiers modifiers, const QString& strText);

protected:
    bool event(QEvent* pEvent) override;
    bool focusNextPrevChild(bool bNext) override;
    void paintEvent(QPaintEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
    void focusInEvent(QFocusEvent* pEvent) override;
    void focusOutEvent(QFocusEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void OnModelChanged();
    void OnScrollAction(int nAction);
    void ApplyScrollBars();

    unsigned m_nContextMenuId = 0;
    CHexEditModel m_model;
    QFont m_font;
    bool m_bDragPending = false;
    QPoint m_ptPress;
    bool m_bApplyingScroll = false;
};
