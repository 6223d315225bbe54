// The hex editor's byte logic without a window: layout arithmetic, hit
// testing, scrolling and the edit primitives, with fixed metrics (cells of
// 7 × 14 pixels).
#include "hexedit/HexEditModel.h"

#include <QTest>

#include <numeric>
#include <vector>

namespace {

using Model = CHexEditModel;
using Index = Model::Index;

constexpr int kCharWidth = 7;
constexpr int kLineHeight = 14;

std::vector<std::uint8_t> Counting(Index n)
{
    std::vector<std::uint8_t> bytes(static_cast<size_t>(n));
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    return bytes;
}

// A model with nLength counting bytes in a client area of nRows whole rows
// (and half a row more), laid out as the property editor sets it up.
void Setup(Model& m, Index nLength, int nRows = 10, bool bWide = true)
{
    m.SetMetrics(kCharWidth, kLineHeight);
    m.SetClientSize(41 * kCharWidth, nRows * kLineHeight + kLineHeight / 2);
    m.SetOptions(true, true, true, bWide);
    const std::vector<std::uint8_t> bytes = Counting(nLength);
    m.SetData(bytes.data(), nLength);
}

} // namespace

class CHexEditModelTest : public QObject
{
    Q_OBJECT
private slots:
    void rowsPerPage_data();
    void rowsPerPage();
    void columnsAndTexts();
    void hitTest_data();
    void hitTest();
    void scrollSteps();
    void scrollingNeverMovesTheCaretOffTheBytes();
    void editPrimitives();
    void pasteKeepsTheInsertionPointInTheBuffer();
    void selectionTexts();
    void randomInputKeepsTheInvariants();
};

void CHexEditModelTest::rowsPerPage_data()
{
    QTest::addColumn<Index>("length");
    QTest::addColumn<int>("rows");
    QTest::addColumn<Index>("linesPerPage");
    QTest::addColumn<bool>("partial");
    QTest::addColumn<Index>("scrollMax");

    QTest::newRow("20 bytes, short last row") << Index(20) << 10 << Index(4) << true << Index(1);
    QTest::newRow("16 bytes, whole rows") << Index(16) << 10 << Index(2) << false << Index(1);
    QTest::newRow("17 bytes") << Index(17) << 10 << Index(3) << true << Index(1);
    QTest::newRow("no bytes") << Index(0) << 10 << Index(0) << false << Index(-1);
    QTest::newRow("80 bytes fill the window") << Index(80) << 10 << Index(10) << false << Index(9);
    QTest::newRow("more than fits") << Index(1000) << 10 << Index(10) << false << Index(124);
    QTest::newRow("window of less than a row") << Index(1000) << 0 << Index(0) << false << Index(124);
}

void CHexEditModelTest::rowsPerPage()
{
    QFETCH(Index, length);
    QFETCH(int, rows);
    QFETCH(Index, linesPerPage);
    QFETCH(bool, partial);
    QFETCH(Index, scrollMax);

    Model m;
    Setup(m, length, rows);
    QCOMPARE(m.m_bLayoutDirty, false);
    QCOMPARE(m.m_nLinesPerPage, linesPerPage);
    QCOMPARE(m.m_bPartialLastLine, partial);
    const Model::CScrollInfo info = m.VScrollInfo();
    QCOMPARE(info.nMax, scrollMax);
    QCOMPARE(info.nPage, linesPerPage);

    // A resize alone keeps the rows per page until the next edit.
    m.SetClientSize(41 * kCharWidth, 3 * kLineHeight);
    m.Redraw();
    QCOMPARE(m.m_nLinesPerPage, linesPerPage);
    if (length > 0) {
        m.InsertZeros(0, 0);
        m.Redraw();
        QVERIFY(m.m_nLinesPerPage <= 3 || length < 24);
    }
}

void CHexEditModelTest::columnsAndTexts()
{
    Model m;
    Setup(m, 20);
    QCOMPARE(m.m_nHexX, 9 * kCharWidth);
    QCOMPARE(m.m_nCharX, 33 * kCharWidth);
    QCOMPARE(m.HScrollMax(), 40 * kCharWidth);
    QCOMPARE(m.AddressText(16), std::string("00000010"));
    QCOMPARE(m.HexRowText(16), std::string("10 11 12 13             "));
    QCOMPARE(m.CharRowText(16), std::string("...."));

    const std::uint8_t bytes[] = {0x00, 0x20, 0x41, 0x7E, 0x7F, 0x80, 0xFF, 0x0A};
    m.SetData(bytes, 8);
    QCOMPARE(m.HexRowText(0), std::string("00 20 41 7E 7F 80 FF 0A "));
    QCOMPARE(m.CharRowText(0), std::string(". A~...."));

    m.SetOptions(true, false, true, false);
    m.SetData(bytes, 8);
    QCOMPARE(m.AddressText(16), std::string("0010"));
    QCOMPARE(m.m_nHexX, 5 * kCharWidth);
    QCOMPARE(m.m_nCharX, 5 * kCharWidth);
}

void CHexEditModelTest::hitTest_data()
{
    QTest::addColumn<Index>("length");
    QTest::addColumn<int>("cell");
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("hit");
    QTest::addColumn<Index>("index");
    QTest::addColumn<int>("mode");
    QTest::addColumn<Index>("reportedCell");

    // Cells of a row: address 0-7, blank 8, byte k's digits 9+3k and 10+3k,
    // blank 11+3k, characters 33-40.
    QTest::newRow("address") << Index(40) << 3 << 1 << true << Index(8) << Model::MODE_ADDRESS << Index(0);
    QTest::newRow("blank after address") << Index(40) << 8 << 1 << true << Index(8) << Model::MODE_HEX_HIGH
                                         << Index(9);
    QTest::newRow("high digit of byte 2") << Index(40) << 15 << 0 << true << Index(2) << Model::MODE_HEX_HIGH
                                          << Index(15);
    QTest::newRow("low digit of byte 2") << Index(40) << 16 << 0 << true << Index(2) << Model::MODE_HEX_LOW
                                         << Index(16);
    QTest::newRow("blank after byte 3") << Index(40) << 20 << 0 << true << Index(4) << Model::MODE_HEX_HIGH
                                        << Index(21);
    QTest::newRow("blank after the row's last byte") << Index(40) << 32 << 2 << true << Index(16)
                                                     << Model::MODE_CHARS << Index(33);
    QTest::newRow("character of byte 5") << Index(40) << 38 << 0 << true << Index(5) << Model::MODE_CHARS
                                         << Index(38);
    QTest::newRow("right of the characters") << Index(40) << 41 << 0 << false << Index(0) << Model::MODE_HEX_HIGH
                                             << Index(0);
    // A short last row: a click past its last byte lands on that byte.
    QTest::newRow("past the last byte, hex") << Index(20) << 30 << 2 << true << Index(19) << Model::MODE_HEX_HIGH
                                             << Index(18);
    QTest::newRow("past the last byte, chars") << Index(20) << 40 << 2 << true << Index(19) << Model::MODE_CHARS
                                               << Index(36);
    // The empty row after the data, and rows further down, hold no byte.
    QTest::newRow("row starting at the end") << Index(16) << 12 << 2 << false << Index(0) << Model::MODE_HEX_HIGH
                                             << Index(0);
    QTest::newRow("below the data") << Index(20) << 12 << 5 << false << Index(0) << Model::MODE_HEX_HIGH << Index(0);
    QTest::newRow("no bytes") << Index(0) << 12 << 0 << false << Index(0) << Model::MODE_HEX_HIGH << Index(0);
}

void CHexEditModelTest::hitTest()
{
    QFETCH(Index, length);
    QFETCH(int, cell);
    QFETCH(int, row);
    QFETCH(bool, hit);
    QFETCH(Index, index);
    QFETCH(int, mode);
    QFETCH(Index, reportedCell);

    Model m;
    Setup(m, length);
    // The middle of the cell.
    const Model::CHit result = m.HitTest(cell * kCharWidth + kCharWidth / 2, row * kLineHeight + kLineHeight / 2);
    QCOMPARE(result.bHit, hit);
    QCOMPARE(m.m_nCaretIndex, index);
    QCOMPARE(m.m_nCaretMode, mode);
    if (hit) {
        QCOMPARE(result.nRow, Index(row));
        QCOMPARE(result.nCell, reportedCell);
    }
    QVERIFY(m.m_nCaretIndex <= m.m_nLength);
}

void CHexEditModelTest::scrollSteps()
{
    // 100 rows, 10 a page: page-down stops at the last full page, line-down
    // allows one row more.
    Model m;
    Setup(m, 800);
    const Index nLimit = 800 - 10 * 8;
    for (int i = 0; i < 20; ++i)
        m.ScrollPageDown();
    QCOMPARE(m.m_nTopIndex, nLimit);
    m.ScrollLineDown();
    QCOMPARE(m.m_nTopIndex, nLimit + 8);
    m.ScrollLineDown();
    QCOMPARE(m.m_nTopIndex, nLimit + 8);
    m.ScrollPageUp();
    QCOMPARE(m.m_nTopIndex, nLimit + 8 - 80);
    for (int i = 0; i < 20; ++i)
        m.ScrollPageUp();
    QCOMPARE(m.m_nTopIndex, Index(0));
    m.ScrollLineUp();
    QCOMPARE(m.m_nTopIndex, Index(0));

    // Data that does not end at a row's end: the last page starts at a row
    // and shows the last byte.
    Model ragged;
    Setup(ragged, 100);
    for (int i = 0; i < 5; ++i)
        ragged.ScrollPageDown();
    QCOMPARE(ragged.m_nTopIndex, Index(24));

    m.OnVScroll(Model::SB_THUMBTRACK, 42);
    QCOMPARE(m.m_nTopIndex, Index(42 * 8));
    QCOMPARE(m.VScrollInfo().nPos, Index(42));
    m.OnVScroll(Model::SB_THUMBPOSITION, 3);
    m.OnVScroll(Model::SB_ENDSCROLL, 0);
    QCOMPARE(m.m_nTopIndex, Index(42 * 8));
    // A position from a stale bar never takes the top row off the data.
    m.OnVScroll(Model::SB_THUMBTRACK, 1000000);
    QVERIFY(m.m_nTopIndex <= 800);
    m.OnVScroll(Model::SB_THUMBTRACK, -5);
    QCOMPARE(m.m_nTopIndex, Index(0));
}

void CHexEditModelTest::scrollingNeverMovesTheCaretOffTheBytes()
{
    // Scrolling with the bar carries the caret along; near the end that would
    // take it past the last byte, where typing would write outside the bytes.
    Model m;
    Setup(m, 84);
    m.m_nCaretIndex = 83;
    m.ScrollLineDown();
    m.ScrollLineDown();
    QVERIFY(m.m_nCaretIndex <= m.m_nLength);
    m.OnChar('f', false);
    QCOMPARE(m.m_nLength, Index(84));
    QCOMPARE(m.Bytes().size(), size_t(84));
}

void CHexEditModelTest::editPrimitives()
{
    Model m;
    Setup(m, 10);
    m.InsertZeros(4, 3);
    QCOMPARE(m.m_nLength, Index(13));
    QCOMPARE(m.Bytes(), (std::vector<std::uint8_t>{0, 1, 2, 3, 0, 0, 0, 4, 5, 6, 7, 8, 9}));
    QVERIFY(m.m_bLayoutDirty);
    m.DeleteRange(4, 7);
    QCOMPARE(m.Bytes(), Counting(10));

    // Deleting up to the end pulls a caret past the end back to it.
    m.m_nCaretIndex = 9;
    m.DeleteRange(5, 10);
    QCOMPARE(m.m_nLength, Index(5));
    QCOMPARE(m.m_nCaretIndex, Index(5));
    // Ranges reaching past the bytes touch only the bytes.
    m.DeleteRange(4, 100);
    QCOMPARE(m.Bytes(), (std::vector<std::uint8_t>{0, 1, 2, 3}));
    m.InsertZeros(50, 2);
    QCOMPARE(m.Bytes(), (std::vector<std::uint8_t>{0, 1, 2, 3, 0, 0}));
    QCOMPARE(m.HasSelection(), false);
}

void CHexEditModelTest::pasteKeepsTheInsertionPointInTheBuffer()
{
    // On the low digit the bytes go behind the caret's byte; with the caret
    // just past the last byte that is the end of the bytes.
    Model m;
    Setup(m, 4);
    m.m_nCaretMode = Model::MODE_HEX_LOW;
    m.m_nCaretIndex = 4;
    m.Paste({0xAA, 0xBB});
    QCOMPARE(m.Bytes(), (std::vector<std::uint8_t>{0, 1, 2, 3, 0xAA, 0xBB}));
    QCOMPARE(m.m_nCaretIndex, Index(4));

    // An empty paste changes nothing.
    m.Paste({});
    QCOMPARE(m.m_nLength, Index(6));
}

void CHexEditModelTest::selectionTexts()
{
    const std::uint8_t bytes[] = {0x0A, 0x1B, 0xFF, 0x41};
    Model m;
    Setup(m, 0);
    m.SetData(bytes, 4);
    m.m_nSelStart = 3; // made backwards: anchor after the other end
    m.m_nSelEnd = 0;
    QCOMPARE(m.SelectedBytes(), (std::vector<std::uint8_t>{0x0A, 0x1B, 0xFF}));
    QCOMPARE(m.SelectedText(), std::string("0A 1B FF "));
    m.m_nCaretMode = Model::MODE_CHARS;
    QCOMPARE(m.SelectedText(), std::string("..."));
}

void CHexEditModelTest::randomInputKeepsTheInvariants()
{
    // Keys, characters, clicks, drags, scrolling and edits in random order on
    // short values: the caret, the top row and the selection always stay on
    // the bytes (the sanitizer build also checks that no access leaves them).
    static const unsigned kKeys[] = {Model::VK_DOWN, Model::VK_UP,     Model::VK_LEFT,  Model::VK_RIGHT,
                                     Model::VK_PRIOR, Model::VK_NEXT,  Model::VK_HOME,  Model::VK_END,
                                     Model::VK_INSERT, Model::VK_DELETE, Model::VK_TAB};
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    const auto next = [&state](std::uint64_t n) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<int>(state % n);
    };
    for (int round = 0; round < 200; ++round) {
        Model m;
        Setup(m, next(40), 1 + next(6));
        for (int step = 0; step < 200; ++step) {
            const bool bShift = next(2) != 0;
            const bool bCtrl = next(4) == 0;
            const int x = next(45 * kCharWidth) - kCharWidth;
            const int y = next(9 * kLineHeight) - kLineHeight;
            switch (next(10)) {
            case 0:
            case 1:
            case 2:
                m.OnKeyDown(kKeys[next(std::size(kKeys))], bShift, bCtrl);
                break;
            case 3:
                m.OnChar(static_cast<unsigned>(next(256)), bCtrl);
                break;
            case 4:
                m.OnLButtonDown(x, y, bShift);
                if (next(2) != 0)
                    m.BeginDrag();
                break;
            case 5:
                m.OnMouseMove(x, y, true);
                break;
            case 6:
                m.OnVScroll(next(9), next(12) - 2);
                break;
            case 7:
                m.Paste(std::vector<std::uint8_t>(static_cast<size_t>(next(5)), 0x41));
                break;
            case 8:
                if (next(2) != 0)
                    m.CutSelection();
                else
                    m.OnEditClear();
                break;
            default:
                m.OnEditSelectAll();
                break;
            }
            QVERIFY(m.m_nLength == Index(m.Bytes().size()));
            QVERIFY(m.m_nCaretIndex >= 0 && m.m_nCaretIndex <= m.m_nLength);
            QVERIFY(m.m_nTopIndex >= 0 && m.m_nTopIndex % 8 == 0 && m.m_nTopIndex <= m.m_nLength);
            if (m.HasSelection()) {
                QVERIFY(m.m_nSelStart >= 0 && m.m_nSelStart <= m.m_nLength);
                QVERIFY(m.m_nSelEnd >= 0 && m.m_nSelEnd <= m.m_nLength);
            } else {
                QCOMPARE(m.m_nSelEnd, Index(-1));
            }
            (void)m.SelectedText();
            for (Index i = m.m_nTopIndex; i < m.m_nLength && i < m.m_nTopIndex + 80; i += 8)
                (void)m.HexRowText(i);
        }
    }
}

QTEST_GUILESS_MAIN(CHexEditModelTest)
#include "tst_hexedit_model.moc"
