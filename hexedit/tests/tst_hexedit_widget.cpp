// The hex editor as a widget: driven with key and mouse events, the real
// clipboard and its context menu.
#include "hexedit/HexEdit.h"

#include <QAction>
#include <QClipboard>
#include <QDialog>
#include <QPushButton>
#include <QImage>
#include <QKeySequence>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <functional>
#include <memory>
#include <numeric>
#include <vector>

namespace {

using Model = CHexEditModel;
using Index = Model::Index;

std::vector<std::uint8_t> Counting(Index n)
{
    std::vector<std::uint8_t> bytes(static_cast<size_t>(n));
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    return bytes;
}

// A shown, focused editor whose viewport holds nRows whole rows and half a
// row more.
std::unique_ptr<CHexEdit> MakeEditor(int nRows = 10)
{
    auto pEdit = std::make_unique<CHexEdit>();
    pEdit->SetContextMenu(IDR_HEXEDIT_POPUP);
    pEdit->SetOptions(true, true, true, true);
    pEdit->resize(400, 300);
    pEdit->show();
    if (!QTest::qWaitForWindowExposed(pEdit.get()))
        return nullptr;
    const int nLineHeight = pEdit->Model().m_nLineHeight;
    const int nExtra = pEdit->height() - pEdit->viewport()->height();
    pEdit->resize(400, nRows * nLineHeight + nLineHeight / 2 + nExtra);
    pEdit->activateWindow();
    pEdit->setFocus();
    return pEdit;
}

void SetCounting(CHexEdit& edit, Index n)
{
    const std::vector<std::uint8_t> bytes = Counting(n);
    edit.SetData(bytes.data(), n);
}

// The middle of a cell of the visible rows, in viewport pixels.
QPoint CellPoint(const CHexEdit& edit, int nCell, int nRow)
{
    const Model& m = edit.Model();
    return QPoint(nCell * m.m_nCharWidth + m.m_nCharWidth / 2, nRow * m.m_nLineHeight + m.m_nLineHeight / 2);
}

} // namespace

class CHexEditWidgetTest : public QObject
{
    Q_OBJECT
private slots:
    void keys_data();
    void keys();
    void keysTakeTabEnterAndEscape();
    void mouseClicksAndDrag();
    void copyPuts_data();
    void copyPuts();
    void pasteText_data();
    void pasteText();
    void pasteOverBackwardSelection();
    void copyCutPasteRoundTrip();
    void contextMenuEnabling();
    void contextMenuRunsItsCommandAndClosesWithTheWindow();
    void sixteenMebibytes();
    void paintsOnlyWhatItHolds();
};

void CHexEditWidgetTest::keys_data()
{
    QTest::addColumn<Index>("length");
    QTest::addColumn<Index>("top");
    QTest::addColumn<Index>("caret");
    QTest::addColumn<int>("mode");
    QTest::addColumn<Index>("selStart");
    QTest::addColumn<Index>("selEnd");
    QTest::addColumn<QKeySequence>("keys");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<Index>("wantTop");
    QTest::addColumn<Index>("wantCaret");
    QTest::addColumn<int>("wantMode");
    QTest::addColumn<Index>("wantSelStart");
    QTest::addColumn<Index>("wantSelEnd");
    // The bytes afterwards; empty: still the counting bytes of length.
    QTest::addColumn<QByteArray>("wantBytes");

    constexpr int H = Model::MODE_HEX_HIGH;
    constexpr int L = Model::MODE_HEX_LOW;
    constexpr int C = Model::MODE_CHARS;
    const QKeySequence none;
    const QString noText;
    const QByteArray same;
    const auto bytes = [](std::initializer_list<int> values) {
        QByteArray a;
        for (int v : values)
            a.append(static_cast<char>(v));
        return a;
    };

    // Caret moves at both ends.
    QTest::newRow("Right on the last low digit") << Index(10) << Index(0) << Index(9) << L << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_Right) << noText << Index(0) << Index(9) << H << Index(-1) << Index(-1) << same;
    QTest::newRow("Left on byte 0's high digit") << Index(10) << Index(0) << Index(0) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_Left) << noText << Index(0) << Index(0) << L << Index(-1) << Index(-1) << same;
    QTest::newRow("Left twice on byte 0") << Index(10) << Index(0) << Index(0) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_Left, Qt::Key_Left) << noText << Index(0) << Index(0) << H << Index(-1) << Index(-1)
        << same;
    QTest::newRow("Up on the first row") << Index(10) << Index(0) << Index(3) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_Up) << noText << Index(0) << Index(0) << H << Index(-1) << Index(-1) << same;
    QTest::newRow("Down on the last row") << Index(10) << Index(0) << Index(9) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_Down) << noText << Index(0) << Index(9) << H << Index(-1) << Index(-1) << same;
    QTest::newRow("Right past the last character") << Index(10) << Index(0) << Index(9) << C << Index(-1)
        << Index(-1) << QKeySequence(Qt::Key_Right) << noText << Index(0) << Index(9) << C << Index(-1) << Index(-1)
        << same;
    QTest::newRow("Down scrolls one row") << Index(800) << Index(0) << Index(76) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_Down) << noText << Index(8) << Index(84) << H << Index(-1) << Index(-1) << same;
    QTest::newRow("Right without Shift drops the selection") << Index(10) << Index(0) << Index(2) << H << Index(2)
        << Index(4) << QKeySequence(Qt::Key_Right) << noText << Index(0) << Index(2) << L << Index(-1) << Index(-1)
        << same;

    // Typing.
    QTest::newRow("typing a5") << Index(10) << Index(0) << Index(0) << H << Index(-1) << Index(-1) << none
        << QStringLiteral("a5") << Index(0) << Index(1) << H << Index(-1) << Index(-1)
        << bytes({0xA5, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    QTest::newRow("upper-case A is ignored") << Index(10) << Index(0) << Index(0) << H << Index(-1) << Index(-1)
        << none << QStringLiteral("A") << Index(0) << Index(0) << H << Index(-1) << Index(-1) << same;
    QTest::newRow("typing the last low digit") << Index(10) << Index(0) << Index(9) << L << Index(-1) << Index(-1)
        << none << QStringLiteral("f") << Index(0) << Index(9) << H << Index(-1) << Index(-1)
        << bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 0x0F});
    QTest::newRow("a character") << Index(4) << Index(0) << Index(1) << C << Index(-1) << Index(-1) << none
        << QStringLiteral("x") << Index(0) << Index(2) << C << Index(-1) << Index(-1) << bytes({0, 'x', 2, 3});
    QTest::newRow("Escape and Enter are characters") << Index(4) << Index(0) << Index(0) << C << Index(-1)
        << Index(-1) << QKeySequence(Qt::Key_Escape, Qt::Key_Return) << noText << Index(0) << Index(2) << C
        << Index(-1) << Index(-1) << bytes({27, 13, 2, 3});
    QTest::newRow("Ctrl+A is a character") << Index(4) << Index(0) << Index(0) << C << Index(-1) << Index(-1)
        << QKeySequence(Qt::CTRL | Qt::Key_A) << noText << Index(0) << Index(1) << C << Index(-1) << Index(-1)
        << bytes({1, 1, 2, 3});
    QTest::newRow("typing just past the last byte") << Index(4) << Index(0) << Index(4) << C << Index(-1)
        << Index(-1) << none << QStringLiteral("xy") << Index(0) << Index(4) << C << Index(-1) << Index(-1) << same;
    QTest::newRow("typing in the address column") << Index(4) << Index(0) << Index(0) << Model::MODE_ADDRESS
        << Index(-1) << Index(-1) << none << QStringLiteral("1") << Index(0) << Index(0) << Model::MODE_ADDRESS
        << Index(-1) << Index(-1) << same;

    // Shift selections.
    QTest::newRow("Shift+Right twice from byte 2") << Index(10) << Index(0) << Index(2) << H << Index(-1)
        << Index(-1) << QKeySequence(Qt::SHIFT | Qt::Key_Right, Qt::SHIFT | Qt::Key_Right) << noText << Index(0)
        << Index(3) << H << Index(2) << Index(4) << same;
    QTest::newRow("Shift+Left from byte 2") << Index(10) << Index(0) << Index(2) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::SHIFT | Qt::Key_Left) << noText << Index(0) << Index(1) << L << Index(2) << Index(1)
        << same;
    QTest::newRow("Shift+Down in the characters") << Index(40) << Index(0) << Index(3) << C << Index(-1)
        << Index(-1) << QKeySequence(Qt::SHIFT | Qt::Key_Down) << noText << Index(0) << Index(11) << C << Index(3)
        << Index(11) << same;

    // Pages, Home and End.
    QTest::newRow("Page Down from the bottom row") << Index(800) << Index(0) << Index(72) << H << Index(-1)
        << Index(-1) << QKeySequence(Qt::Key_PageDown) << noText << Index(72) << Index(72) << H << Index(-1)
        << Index(-1) << same;
    QTest::newRow("Page Up from the top row") << Index(800) << Index(80) << Index(80) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_PageUp) << noText << Index(8) << Index(80) << H << Index(-1) << Index(-1) << same;
    QTest::newRow("Shift+Page Down") << Index(800) << Index(0) << Index(72) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::SHIFT | Qt::Key_PageDown) << noText << Index(72) << Index(72) << H << Index(72)
        << Index(72) << same;
    QTest::newRow("Home") << Index(40) << Index(0) << Index(13) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_Home) << noText << Index(0) << Index(8) << H << Index(-1) << Index(-1) << same;
    QTest::newRow("End") << Index(40) << Index(0) << Index(13) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_End) << noText << Index(0) << Index(15) << H << Index(-1) << Index(-1) << same;
    QTest::newRow("End on a short last row") << Index(20) << Index(0) << Index(17) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_End) << noText << Index(0) << Index(19) << H << Index(-1) << Index(-1) << same;
    QTest::newRow("Ctrl+Home") << Index(800) << Index(400) << Index(420) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::CTRL | Qt::Key_Home) << noText << Index(0) << Index(0) << H << Index(-1) << Index(-1)
        << same;
    QTest::newRow("Ctrl+Shift+Home") << Index(800) << Index(400) << Index(420) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Home) << noText << Index(0) << Index(0) << H << Index(420)
        << Index(0) << same;
    QTest::newRow("Ctrl+End") << Index(800) << Index(0) << Index(0) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::CTRL | Qt::Key_End) << noText << Index(720) << Index(799) << H << Index(-1) << Index(-1)
        << same;
    QTest::newRow("Ctrl+End, data fits") << Index(20) << Index(0) << Index(0) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::CTRL | Qt::Key_End) << noText << Index(0) << Index(19) << H << Index(-1) << Index(-1)
        << same;
    QTest::newRow("Ctrl+Shift+End, data fits") << Index(20) << Index(0) << Index(0) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_End) << noText << Index(0) << Index(19) << H << Index(0)
        << Index(19) << same;

    // Insert, Delete, Backspace.
    QTest::newRow("Insert") << Index(6) << Index(0) << Index(4) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_Insert) << noText << Index(0) << Index(4) << H << Index(-1) << Index(-1)
        << bytes({0, 1, 2, 3, 0, 4, 5});
    QTest::newRow("Insert over five bytes") << Index(8) << Index(0) << Index(7) << H << Index(2) << Index(7)
        << QKeySequence(Qt::Key_Insert) << noText << Index(0) << Index(7) << H << Index(-1) << Index(-1)
        << bytes({0, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 7});
    QTest::newRow("Delete") << Index(6) << Index(0) << Index(4) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_Delete) << noText << Index(0) << Index(4) << H << Index(-1) << Index(-1)
        << bytes({0, 1, 2, 3, 5});
    QTest::newRow("Delete the selection") << Index(6) << Index(0) << Index(5) << H << Index(5) << Index(2)
        << QKeySequence(Qt::Key_Delete) << noText << Index(0) << Index(2) << H << Index(-1) << Index(-1)
        << bytes({0, 1, 5});
    QTest::newRow("Delete just past the last byte") << Index(6) << Index(0) << Index(6) << H << Index(-1)
        << Index(-1) << QKeySequence(Qt::Key_Delete, Qt::Key_Delete) << noText << Index(0) << Index(4) << H
        << Index(-1) << Index(-1) << bytes({0, 1, 2, 3});
    QTest::newRow("Delete with no bytes") << Index(0) << Index(0) << Index(0) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_Delete, Qt::Key_Backspace) << noText << Index(0) << Index(0) << H << Index(-1)
        << Index(-1) << same;
    QTest::newRow("Backspace at byte 0") << Index(6) << Index(0) << Index(0) << H << Index(-1) << Index(-1)
        << QKeySequence(Qt::Key_Backspace) << noText << Index(0) << Index(0) << H << Index(-1) << Index(-1) << same;
    QTest::newRow("Backspace with a selection") << Index(6) << Index(0) << Index(4) << H << Index(1) << Index(3)
        << QKeySequence(Qt::Key_Backspace) << noText << Index(0) << Index(3) << H << Index(-1) << Index(-1)
        << bytes({0, 1, 2, 4, 5});

    // Tab switches the column and keeps the selection.
    QTest::newRow("Tab to the characters") << Index(10) << Index(0) << Index(3) << L << Index(2) << Index(4)
        << QKeySequence(Qt::Key_Tab) << noText << Index(0) << Index(3) << C << Index(2) << Index(4) << same;
    QTest::newRow("Shift+Tab back to the digits") << Index(10) << Index(0) << Index(3) << C << Index(-1)
        << Index(-1) << QKeySequence(Qt::SHIFT | Qt::Key_Backtab) << noText << Index(0) << Index(3) << H
        << Index(-1) << Index(-1) << same;
    QTest::newRow("Tab from the address") << Index(10) << Index(0) << Index(8) << Model::MODE_ADDRESS
        << Index(-1) << Index(-1) << QKeySequence(Qt::Key_Tab) << noText << Index(0) << Index(8) << H << Index(-1)
        << Index(-1) << same;
    QTest::newRow("keys with no bytes") << Index(0) << Index(0) << Index(0) << H << Index(-1) << Index(-1)
        << QKeySequence(QKeyCombination(Qt::Key_Down), Qt::CTRL | Qt::Key_End, QKeyCombination(Qt::Key_Up), QKeyCombination(Qt::Key_Insert)) << noText << Index(0)
        << Index(0) << H << Index(-1) << Index(-1) << bytes({0});
}

void CHexEditWidgetTest::keys()
{
    QFETCH(Index, length);
    QFETCH(Index, top);
    QFETCH(Index, caret);
    QFETCH(int, mode);
    QFETCH(Index, selStart);
    QFETCH(Index, selEnd);
    QFETCH(QKeySequence, keys);
    QFETCH(QString, typed);
    QFETCH(Index, wantTop);
    QFETCH(Index, wantCaret);
    QFETCH(int, wantMode);
    QFETCH(Index, wantSelStart);
    QFETCH(Index, wantSelEnd);
    QFETCH(QByteArray, wantBytes);

    const std::unique_ptr<CHexEdit> pEdit = MakeEditor();
    QVERIFY(pEdit);
    SetCounting(*pEdit, length);
    Model& m = pEdit->Model();
    if (length >= 80)
        QCOMPARE(m.m_nLinesPerPage, Index(10));
    m.m_nTopIndex = top;
    m.m_nCaretIndex = caret;
    m.m_nCaretMode = mode;
    m.m_nSelStart = selStart;
    m.m_nSelEnd = selEnd;

    for (int i = 0; i < keys.count(); ++i)
        QTest::keyClick(pEdit.get(), keys[i].key(), keys[i].keyboardModifiers());
    QTest::keyClicks(pEdit.get(), typed);

    QCOMPARE(m.m_nTopIndex, wantTop);
    QCOMPARE(m.m_nCaretIndex, wantCaret);
    QCOMPARE(m.m_nCaretMode, wantMode);
    QCOMPARE(m.m_nSelStart, wantSelStart);
    QCOMPARE(m.m_nSelEnd, wantSelEnd);
    const std::vector<std::uint8_t> want = wantBytes.isEmpty()
        ? Counting(length)
        : std::vector<std::uint8_t>(wantBytes.begin(), wantBytes.end());
    QCOMPARE(m.Bytes(), want);
    QCOMPARE(m.m_nLength, Index(want.size()));
    QVERIFY(m.m_nCaretIndex >= 0 && m.m_nCaretIndex <= m.m_nLength);
}

void CHexEditWidgetTest::keysTakeTabEnterAndEscape()
{
    // In a dialog the editor keeps Tab, Enter and Escape: the focus stays and
    // the dialog neither closes nor presses its default button.
    QDialog dialog;
    auto* pEdit = new CHexEdit(&dialog);
    auto* pOther = new QPushButton(QStringLiteral("OK"), &dialog);
    pOther->setDefault(true);
    QObject::connect(pOther, &QPushButton::clicked, &dialog, &QDialog::accept);
    pEdit->setGeometry(0, 0, 300, 200);
    pOther->setGeometry(0, 210, 80, 20);
    const std::uint8_t bytes[] = {1, 2, 3, 4};
    pEdit->SetData(bytes, 4);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.activateWindow();
    pEdit->setFocus();
    QTRY_VERIFY(pEdit->hasFocus());

    QTest::keyClick(pEdit, Qt::Key_Tab);
    QCOMPARE(pEdit->Model().m_nCaretMode, Model::MODE_CHARS);
    QVERIFY(pEdit->hasFocus());
    QTest::keyClick(pEdit, Qt::Key_Return);
    QTest::keyClick(pEdit, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
    QCOMPARE(pEdit->Model().Bytes(), (std::vector<std::uint8_t>{13, 27, 3, 4}));
}

void CHexEditWidgetTest::mouseClicksAndDrag()
{
    const std::unique_ptr<CHexEdit> pEdit = MakeEditor();
    QVERIFY(pEdit);
    SetCounting(*pEdit, 20);
    Model& m = pEdit->Model();
    QWidget* pView = pEdit->viewport();

    // A click on the character of byte 5: the caret is drawn over it.
    QTest::mouseClick(pView, Qt::LeftButton, {}, CellPoint(*pEdit, 38, 0));
    QCOMPARE(m.m_nCaretIndex, Index(5));
    QCOMPARE(m.m_nCaretMode, Model::MODE_CHARS);
    QVERIFY(m.CaretShown());
    QCOMPARE(m.CaretPos(), (Model::CPoint{38 * m.m_nCharWidth, 0}));
    QCOMPARE(m.CaretWidth(), m.m_nCharWidth);

    // A click on an address: the address-wide block on the row's first byte.
    QTest::mouseClick(pView, Qt::LeftButton, {}, CellPoint(*pEdit, 2, 1));
    QCOMPARE(m.m_nCaretIndex, Index(8));
    QCOMPARE(m.m_nCaretMode, Model::MODE_ADDRESS);
    QCOMPARE(m.CaretWidth(), 8 * m.m_nCharWidth);

    // Shift+click selects from the caret to the byte clicked, with it.
    QTest::mouseClick(pView, Qt::LeftButton, {}, CellPoint(*pEdit, 12, 0));
    QTest::mouseClick(pView, Qt::LeftButton, Qt::ShiftModifier, CellPoint(*pEdit, 19, 1));
    QCOMPARE(m.m_nSelStart, Index(1));
    QCOMPARE(m.m_nSelEnd, Index(12));
    QVERIFY(!m.CaretShown());

    // A Shift+click that misses leaves the selection whole.
    QTest::mouseClick(pView, Qt::LeftButton, Qt::ShiftModifier, CellPoint(*pEdit, 12, 7));
    QCOMPARE(m.m_nSelStart, Index(1));
    QCOMPARE(m.m_nSelEnd, Index(12));

    // A plain click drops the selection; one past the short last row lands on
    // its last byte.
    QTest::mouseClick(pView, Qt::LeftButton, {}, CellPoint(*pEdit, 30, 2));
    QCOMPARE(m.HasSelection(), false);
    QCOMPARE(m.m_nCaretIndex, Index(19));

    // A drag from byte 1 to byte 3 in the hex column selects 1 … 3.
    QTest::mousePress(pView, Qt::LeftButton, {}, CellPoint(*pEdit, 12, 0));
    QMouseEvent move(QEvent::MouseMove, CellPoint(*pEdit, 18, 0), pView->mapToGlobal(CellPoint(*pEdit, 18, 0)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(pView, &move);
    QTest::mouseRelease(pView, Qt::LeftButton, {}, CellPoint(*pEdit, 18, 0));
    QCOMPARE(m.m_nSelStart, Index(1));
    QCOMPARE(m.m_nSelEnd, Index(4));
    QCOMPARE(m.SelectedBytes(), (std::vector<std::uint8_t>{1, 2, 3}));
}

void CHexEditWidgetTest::copyPuts_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("hex column") << Model::MODE_HEX_HIGH << QByteArray("0A 1B FF ");
    QTest::newRow("character column") << Model::MODE_CHARS << QByteArray("...");
}

void CHexEditWidgetTest::copyPuts()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, text);

    const std::unique_ptr<CHexEdit> pEdit = MakeEditor();
    QVERIFY(pEdit);
    const std::uint8_t bytes[] = {0x0A, 0x1B, 0xFF};
    pEdit->SetData(bytes, 3);
    QGuiApplication::clipboard()->clear();
    pEdit->Model().m_nCaretMode = mode;
    pEdit->Model().OnEditSelectAll();
    QTest::keyClick(pEdit.get(), Qt::Key_C, Qt::ControlModifier);

    const QMimeData* pMime = QGuiApplication::clipboard()->mimeData();
    QVERIFY(pMime != nullptr);
    QCOMPARE(pMime->data(QString::fromLatin1(kBinaryDataFormat)), QByteArray("\x0A\x1B\xFF", 3));
    QCOMPARE(pMime->data(QStringLiteral("text/plain")), text);
    QCOMPARE(pMime->text(), QString::fromLatin1(text));
}

void CHexEditWidgetTest::pasteText_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("want");
    QTest::newRow("high digit: before byte 4") << Model::MODE_HEX_HIGH << QByteArray("\0\1\2\3AB\4\5", 8);
    QTest::newRow("low digit: after byte 4") << Model::MODE_HEX_LOW << QByteArray("\0\1\2\3\4AB\5", 8);
}

void CHexEditWidgetTest::pasteText()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, want);

    const std::unique_ptr<CHexEdit> pEdit = MakeEditor();
    QVERIFY(pEdit);
    SetCounting(*pEdit, 6);
    // Text from another program: its characters go in, not a NUL after them.
    QGuiApplication::clipboard()->setText(QStringLiteral("AB"));
    pEdit->Model().m_nCaretIndex = 4;
    pEdit->Model().m_nCaretMode = mode;
    QTest::keyClick(pEdit.get(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(pEdit->Model().Bytes(), std::vector<std::uint8_t>(want.begin(), want.end()));
    QCOMPARE(pEdit->Model().m_nCaretIndex, Index(4));
}

void CHexEditWidgetTest::pasteOverBackwardSelection()
{
    const std::unique_ptr<CHexEdit> pEdit = MakeEditor();
    QVERIFY(pEdit);
    SetCounting(*pEdit, 8);
    Model& m = pEdit->Model();
    m.m_nCaretIndex = 5;
    // Shift+Left three times from byte 5's high digit: anchor 5, end 2.
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(pEdit.get(), Qt::Key_Left, Qt::ShiftModifier);
    QVERIFY(m.m_nSelStart > m.m_nSelEnd);
    QCOMPARE(m.SelLow(), Index(3));
    QCOMPARE(m.SelHigh(), Index(5));

    auto* pMime = new QMimeData;
    pMime->setData(QString::fromLatin1(kBinaryDataFormat), QByteArray("\xAA\xBB\xCC", 3));
    QGuiApplication::clipboard()->setMimeData(pMime);
    QTest::keyClick(pEdit.get(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(m.Bytes(), (std::vector<std::uint8_t>{0, 1, 2, 0xAA, 0xBB, 0xCC, 5, 6, 7}));
    QCOMPARE(m.HasSelection(), false);
}

void CHexEditWidgetTest::copyCutPasteRoundTrip()
{
    // Bytes copied from the editor come back exactly, also those that the
    // text rendering would lose, because the raw format is preferred.
    const std::unique_ptr<CHexEdit> pEdit = MakeEditor();
    QVERIFY(pEdit);
    std::vector<std::uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    pEdit->SetData(bytes.data(), 256);
    Model& m = pEdit->Model();
    m.m_nCaretMode = Model::MODE_CHARS;
    QTest::keyClick(pEdit.get(), Qt::Key_A, Qt::ControlModifier); // a character in this column
    m.OnEditSelectAll();
    pEdit->OnEditCut();
    QCOMPARE(m.m_nLength, Index(0));
    QTest::keyClick(pEdit.get(), Qt::Key_V, Qt::ControlModifier);
    bytes[0] = 1;
    QCOMPARE(m.Bytes(), bytes);

    // Ctrl+C and Ctrl+X without a selection leave the clipboard alone.
    QGuiApplication::clipboard()->setText(QStringLiteral("keep"));
    QTest::keyClick(pEdit.get(), Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(pEdit.get(), Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("keep"));
    QCOMPARE(m.m_nLength, Index(256));
}

void CHexEditWidgetTest::contextMenuEnabling()
{
    const std::unique_ptr<CHexEdit> pEdit = MakeEditor();
    QVERIFY(pEdit);
    SetCounting(*pEdit, 16);
    const auto enabled = [&] {
        std::unique_ptr<QMenu> pMenu(pEdit->CreateContextMenu());
        QStringList texts;
        for (QAction* pAction : pMenu->actions()) {
            if (!pAction->isSeparator() && pAction->isEnabled())
                texts << pAction->text();
        }
        return texts;
    };

    QGuiApplication::clipboard()->clear();
    QCOMPARE(enabled(), QStringList{QStringLiteral("Select &All")});

    std::unique_ptr<QMenu> pMenu(pEdit->CreateContextMenu());
    QStringList all;
    for (QAction* pAction : pMenu->actions())
        all << (pAction->isSeparator() ? QStringLiteral("-") : pAction->text());
    QCOMPARE(all, (QStringList{"&Undo", "-", "Cu&t", "&Copy", "&Paste", "&Delete", "-", "Select &All"}));
    QCOMPARE(pMenu->title(), QStringLiteral("_POPUP_"));

    pEdit->Model().OnEditSelectAll();
    QGuiApplication::clipboard()->setText(QStringLiteral("x"));
    QCOMPARE(enabled(), (QStringList{"Cu&t", "&Copy", "&Paste", "&Delete", "Select &All"}));

    auto* pMime = new QMimeData;
    pMime->setData(QStringLiteral("image/png"), QByteArray("png"));
    QGuiApplication::clipboard()->setMimeData(pMime);
    QCOMPARE(enabled(), (QStringList{"Cu&t", "&Copy", "&Delete", "Select &All"}));

    // The commands the menu carries reach the editor.
    std::unique_ptr<QMenu> pWithIds(pEdit->CreateContextMenu());
    QAction* pDelete = pWithIds->actions().at(5);
    QCOMPARE(pDelete->data().toInt(), Model::ID_EDIT_CLEAR);
    pEdit->OnCommand(pDelete->data().toInt());
    QCOMPARE(pEdit->Model().m_nLength, Index(0));

    // Without a menu id there is no menu.
    pEdit->SetContextMenu(0);
    QVERIFY(pEdit->CreateContextMenu() == nullptr);
}

void CHexEditWidgetTest::contextMenuRunsItsCommandAndClosesWithTheWindow()
{
    QDialog dialog;
    auto* pEdit = new CHexEdit(&dialog);
    pEdit->setGeometry(0, 0, 300, 200);
    pEdit->SetContextMenu(IDR_HEXEDIT_POPUP);
    SetCounting(*pEdit, 16);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    // Acts on the menu once it is open.
    const auto whenMenuOpen = [](const std::function<void(QMenu*)>& act) {
        auto* pTimer = new QTimer;
        pTimer->setInterval(0);
        QObject::connect(pTimer, &QTimer::timeout, [pTimer, act] {
            if (auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                pTimer->stop();
                pTimer->deleteLater();
                act(pMenu);
            }
        });
        pTimer->start();
    };
    const auto openMenu = [&] {
        QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(0, 0), pEdit->mapToGlobal(QPoint(0, 0)));
        QApplication::sendEvent(pEdit->viewport(), &event);
    };

    // "Select &All" chosen with its mnemonic.
    whenMenuOpen([](QMenu* pMenu) { QTest::keyClick(pMenu, Qt::Key_A); });
    openMenu();
    QCOMPARE(pEdit->Model().m_nSelStart, Index(0));
    QCOMPARE(pEdit->Model().m_nSelEnd, Index(16));

    // The dialog closing while the menu is open (as when the program ends)
    // closes the menu, and nothing is run.
    whenMenuOpen([&](QMenu*) { dialog.reject(); });
    openMenu();
    QVERIFY(!dialog.isVisible());
    QVERIFY(QApplication::activePopupWidget() == nullptr);
    QCOMPARE(pEdit->Model().m_nLength, Index(16));
}

void CHexEditWidgetTest::sixteenMebibytes()
{
    // A large value scrolls and edits at its far end like a small one.
    const std::unique_ptr<CHexEdit> pEdit = MakeEditor();
    QVERIFY(pEdit);
    constexpr Index n = Index(16) << 20;
    std::vector<std::uint8_t> bytes(static_cast<size_t>(n), 0x5A);
    pEdit->SetData(bytes.data(), n);
    Model& m = pEdit->Model();
    QCOMPARE(m.m_nLinesPerPage, Index(10));

    QTest::keyClick(pEdit.get(), Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(m.m_nCaretIndex, n - 1);
    QCOMPARE(m.m_nTopIndex, n - 80);
    QCOMPARE(pEdit->verticalScrollBar()->value(), int((n - 80) / 8));
    QTest::keyClick(pEdit.get(), Qt::Key_PageUp);
    QCOMPARE(m.m_nTopIndex, n - 80 - 72);
    QTest::keyClicks(pEdit.get(), QStringLiteral("1"));
    QTest::keyClick(pEdit.get(), Qt::Key_Delete);
    QCOMPARE(m.m_nLength, n - 1);

    // The picture holds the address of the last rows.
    QTest::keyClick(pEdit.get(), Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(m.AddressText(m.m_nTopIndex), std::string("00FFFFB0"));
    QImage image(pEdit->viewport()->size(), QImage::Format_RGB32);
    pEdit->PaintTo(&image);
    QVERIFY(!image.isNull());

    // The bar's thumb moves the view anywhere; the wheel scrolls it.
    pEdit->verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    QCOMPARE(m.m_nTopIndex, Index(0));
    QWheelEvent wheel(QPointF(10, 10), pEdit->viewport()->mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(pEdit->viewport(), &wheel);
    QVERIFY(m.m_nTopIndex > 0);
    QCOMPARE(m.m_nTopIndex % 8, Index(0));
    QCOMPARE(pEdit->verticalScrollBar()->value(), int(m.m_nTopIndex / 8));
    QVERIFY(m.m_nCaretIndex <= m.m_nLength);
}

void CHexEditWidgetTest::paintsOnlyWhatItHolds()
{
    // Nothing but white without data; text where rows are.
    const std::unique_ptr<CHexEdit> pEdit = MakeEditor();
    QVERIFY(pEdit);
    const QSize size = pEdit->viewport()->size();
    QImage empty(size, QImage::Format_RGB32);
    pEdit->PaintTo(&empty);
    for (int y = 0; y < empty.height(); y += 3)
        for (int x = 0; x < empty.width(); x += 3)
            QCOMPARE(empty.pixel(x, y), qRgb(255, 255, 255));

    // The text stays in its cells: across a full row of FF the blank cell
    // between the hex column and the characters holds no ink.
    const std::vector<std::uint8_t> full(8, 0xFF);
    pEdit->SetData(full.data(), 8);
    QImage row(size, QImage::Format_RGB32);
    pEdit->PaintTo(&row);
    const Model& m = pEdit->Model();
    const auto inkIn = [&](int nCell) {
        for (int y = 0; y < m.m_nLineHeight; ++y)
            for (int x = nCell * m.m_nCharWidth; x < (nCell + 1) * m.m_nCharWidth; ++x)
                if (row.pixel(x, y) != qRgb(255, 255, 255))
                    return true;
        return false;
    };
    QVERIFY(inkIn(9));
    QVERIFY(inkIn(31));
    QVERIFY(!inkIn(32));
    QVERIFY(!inkIn(8));
    QVERIFY(inkIn(33));

    const std::uint8_t bytes[] = {0x41};
    pEdit->SetData(bytes, 1);
    QImage one(size, QImage::Format_RGB32);
    pEdit->PaintTo(&one);
    const int nLineHeight = pEdit->Model().m_nLineHeight;
    bool bInk = false;
    for (int y = 0; y < nLineHeight && !bInk; ++y)
        for (int x = 0; x < one.width() && !bInk; ++x)
            bInk = one.pixel(x, y) != qRgb(255, 255, 255);
    QVERIFY(bInk);
    for (int y = nLineHeight; y < one.height(); y += 2)
        for (int x = 0; x < one.width(); x += 2)
            QCOMPARE(one.pixel(x, y), qRgb(255, 255, 255));
}

QTEST_MAIN(CHexEditWidgetTest)
#include "tst_hexedit_widget.moc"
