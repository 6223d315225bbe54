#include "list/ListViewPrint.h"

#include <QAbstractItemModel>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QTreeView>

#include <algorithm>
#include <cmath>

namespace {

// The sample whose first 52 characters give a font's average width.
constexpr char kSample[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSATUVWXYZ";
constexpr int kSampleChars = 52;

// Height of the black bars of header and footer, in printer pixels.
constexpr int kBarHeight = 5;
// Indent of headings and cells, in screen pixels.
constexpr int kCellIndent = 5;

// Text is drawn from the top left of its rectangle and clipped to it;
// headings keep to one line, cells wrap (anywhere: values are long runs of
// digits as often as words).
constexpr int kCellFlags = Qt::AlignLeft | Qt::AlignTop;
constexpr int kWrapFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWrapAnywhere;

// Rectangles are kept as the page's bands are measured: from the left and
// top edge to the right and bottom edge, which lie outside the rectangle.
QRect Band(int nLeft, int nTop, int nRight, int nBottom)
{
    return QRect(nLeft, nTop, nRight - nLeft, nBottom - nTop);
}
int Right(const QRect& rc)
{
    return rc.x() + rc.width();
}
int Bottom(const QRect& rc)
{
    return rc.y() + rc.height();
}

} // namespace

void CListViewPrint::Reset()
{
    m_nMarginLeft = 200;
    m_nMarginTop = 150;
    m_nMarginRight = 200;
    m_nMarginBottom = 150;
    m_nHeaderLines = 2;
    m_nFooterLines = 2;
    m_dScale = 0;
    m_dColumnFit = 1.0;
    m_rcHeader = m_rcFooter = m_rcBody = m_rcPrint = m_rcPage = QRect();
    m_titleFont = m_footerFont = m_headingFont = m_bodyFont = QFont();
    m_szTitleChar = m_szFooterChar = m_szBodyChar = QSize();
    m_nColumns = m_nRowsPerPage = m_nPages = m_nItems = 0;
    m_anColumnOrder.clear();
    m_anItemLines.clear();
    m_anPageFirst.clear();
}

QFont CListViewPrint::CreatePrintFont(const QString& strFace, int nPoints, int nWeight,
                                      QPagedPaintDevice* pDevice) const
{
    // The list's own font, with the face, weight and a height in printer
    // pixels of the given point size.
    QFont font = m_pList ? m_pList->font() : QFont();
    if (!strFace.isEmpty())
        font.setFamily(strFace);
    font.setWeight(static_cast<QFont::Weight>(nWeight));
    font.setItalic(false);
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(nPoints * pDevice->logicalDpiY() / 72.0))));
    return font;
}

QSize CListViewPrint::MeasureFont(const QFont& font, QPagedPaintDevice* pDevice) const
{
    const QFontMetrics metrics(font, pDevice);
    const int nWidth = metrics.horizontalAdvance(QString::fromLatin1(kSample, kSampleChars));
    return QSize(nWidth / kSampleChars, metrics.height());
}

int CListViewPrint::BeginPrinting(QPagedPaintDevice* pDevice)
{
    m_titleFont = CreatePrintFont(QStringLiteral("Arial"), 12, 700, pDevice);
    m_footerFont = CreatePrintFont(QStringLiteral("Arial"), 10, 400, pDevice);
    m_headingFont = CreatePrintFont(QStringLiteral("Arial"), 9, 700, pDevice);
    m_bodyFont = CreatePrintFont(QStringLiteral("Times New Roman"), 10, 400, pDevice);
    m_szTitleChar = MeasureFont(m_titleFont, pDevice);
    m_szFooterChar = MeasureFont(m_footerFont, pDevice);
    m_szBodyChar = MeasureFont(m_bodyFont, pDevice);

    m_rcPage = Band(0, 0, pDevice->width(), pDevice->height());
    m_rcPrint = Band(m_nMarginLeft, m_nMarginTop, pDevice->width() - m_nMarginRight,
                     pDevice->height() - m_nMarginBottom);
    m_rcHeader = Band(m_rcPrint.left(), m_rcPrint.top(), Right(m_rcPrint),
                      m_rcPrint.top() + m_nHeaderLines * m_szTitleChar.height());
    m_rcFooter = Band(m_rcPrint.left(), Bottom(m_rcPrint) - m_nFooterLines * m_szFooterChar.height(),
                      Right(m_rcPrint), Bottom(m_rcPrint));
    m_rcBody = Band(m_rcPrint.left(), Bottom(m_rcHeader), Right(m_rcPrint), m_rcFooter.top());

    // Screen widths become printer widths in the ratio of the two average
    // character widths.
    const int nScreenChar = m_pList ? QFontMetrics(m_pList->font()).averageCharWidth() : 0;
    m_dScale = static_cast<double>(m_szBodyChar.width()) / std::max(1, nScreenChar);

    m_nItems = m_pList && m_pList->model() ? m_pList->model()->rowCount() : 0;
    m_nColumns = m_pList ? m_pList->header()->count() : 0;

    const int nLine = std::max(1, m_szBodyChar.height());
    m_nRowsPerPage = (m_rcBody.height() - nLine) / nLine;
    // A page too small for one row below the headings still prints one,
    // clipped, so every item reaches paper and nothing divides by zero.
    if (m_nRowsPerPage < 1)
        m_nRowsPerPage = 1;

    m_anColumnOrder.assign(static_cast<size_t>(m_nColumns), 0);
    for (int n = 0; n < m_nColumns; ++n)
        m_anColumnOrder[static_cast<size_t>(n)] = m_pList->header()->logicalIndex(n);
    // The columns before the last take at most 60% of the page's width, so
    // that the last one (the value, as the list opens) always has room.
    m_dColumnFit = 1.0;
    long long nBefore = 0;
    for (int n = 0; n + 1 < m_nColumns; ++n)
        nBefore += ColumnWidth(n);
    if (nBefore > 0 && nBefore > m_rcBody.width() * 6 / 10)
        m_dColumnFit = static_cast<double>(m_rcBody.width()) * 0.6 / static_cast<double>(nBefore);

    // Rows as high as their longest cell, pages filled with whole rows.
    m_anItemLines.assign(static_cast<size_t>(m_nItems), 1);
    m_anPageFirst.assign(1, 0);
    const QFontMetrics body(m_bodyFont, pDevice);
    int nUsed = 0;
    for (int nItem = 0; nItem < m_nItems; ++nItem) {
        const int nLines = ItemLines(nItem, body);
        m_anItemLines[static_cast<size_t>(nItem)] = nLines;
        if (nUsed > 0 && nUsed + nLines > m_nRowsPerPage) {
            m_anPageFirst.push_back(nItem);
            nUsed = 0;
        }
        nUsed += nLines;
    }
    m_nPages = static_cast<int>(m_anPageFirst.size());
    return m_nPages;
}

int CListViewPrint::ItemLines(int nItem, const QFontMetrics& metrics) const
{
    const QAbstractItemModel* pModel = m_pList->model();
    const int nLine = std::max(1, m_szBodyChar.height());
    int nLines = 1;
    for (int n = 0; n < m_nColumns; ++n) {
        const QRect cell = GetCellRect(0, 1, n);
        const QString text = pModel->index(nItem, m_anColumnOrder[static_cast<size_t>(n)]).data().toString();
        if (cell.width() <= 0 || text.isEmpty())
            continue;
        const QRect needed = metrics.boundingRect(QRect(0, 0, cell.width(), nLine * m_nRowsPerPage), kWrapFlags, text);
        nLines = std::max(nLines, (needed.height() + nLine - 1) / nLine);
    }
    return std::min(nLines, m_nRowsPerPage);
}

void CListViewPrint::EndPrinting()
{
    m_titleFont = m_footerFont = m_headingFont = m_bodyFont = QFont();
}

bool CListViewPrint::Print(QPagedPaintDevice* pDevice, int nFrom, int nTo)
{
    BeginPrinting(pDevice);
    const int nFirst = nFrom > 0 ? std::min(nFrom, m_nPages) : 1;
    const int nLast = nTo > 0 ? std::min(nTo, m_nPages) : m_nPages;
    QPainter painter;
    if (!painter.begin(pDevice)) {
        EndPrinting();
        return false;
    }
    for (int nPage = nFirst; nPage <= nLast; ++nPage) {
        if (nPage != nFirst)
            pDevice->newPage();
        PrintPage(painter, nPage);
    }
    painter.end();
    EndPrinting();
    return true;
}

void CListViewPrint::PrintPage(QPainter& painter, int nPage) const
{
    PrintHeader(painter);
    PrintBody(painter, nPage);
    PrintFooter(painter, nPage);
}

int CListViewPrint::ColumnWidth(int nPosition) const
{
    const int nColumn = m_anColumnOrder[static_cast<size_t>(nPosition)];
    return static_cast<int>(m_pList->header()->sectionSize(nColumn) * m_dScale * m_dColumnFit);
}

int CListViewPrint::ColumnLeft(int nPosition) const
{
    int nLeft = m_rcBody.left();
    for (int n = 0; n < nPosition; ++n)
        nLeft += ColumnWidth(n);
    return nLeft;
}

QRect CListViewPrint::GetHeadingRect(int nPosition) const
{
    const int nLeft = ColumnLeft(nPosition);
    // The last column reaches the page's right edge: a long value wraps
    // there instead of being cut at its screen width.
    const int nRight = nPosition == m_nColumns - 1 ? Right(m_rcBody)
                                                  : std::min(nLeft + ColumnWidth(nPosition), Right(m_rcBody));
    const int nIndent = static_cast<int>(kCellIndent * m_dScale);
    // A column past the body's right edge gets an empty rectangle.
    return Band(nLeft + nIndent, m_rcBody.top(), std::max(nLeft + nIndent, nRight),
                m_rcBody.top() + m_szBodyChar.height());
}

QRect CListViewPrint::GetCellRect(int nTop, int nLines, int nPosition) const
{
    const QRect heading = GetHeadingRect(nPosition);
    return Band(heading.left(), nTop, Right(heading), nTop + nLines * m_szBodyChar.height());
}

QString CListViewPrint::GetHeadingText(int nPosition) const
{
    const int nColumn = m_anColumnOrder[static_cast<size_t>(nPosition)];
    return m_pList->model()->headerData(nColumn, Qt::Horizontal, Qt::DisplayRole).toString();
}

void CListViewPrint::PrintHeader(QPainter& painter) const
{
    painter.save();
    painter.setFont(m_titleFont);
    const int nLine = m_szTitleChar.height();
    painter.fillRect(QRect(m_rcHeader.left(), m_rcHeader.top() + 3 * nLine / 2, m_rcHeader.width(), kBarHeight),
                     Qt::black);
    const QRect first = Band(m_rcHeader.left(), m_rcHeader.top(), Right(m_rcHeader), m_rcHeader.top() + nLine);
    painter.drawText(first, Qt::AlignLeft | Qt::AlignBottom, m_strAppName);
    painter.drawText(first, Qt::AlignRight | Qt::AlignBottom, m_strDocTitle);
    painter.restore();
}

void CListViewPrint::PrintBody(QPainter& painter, int nPage) const
{
    if (!m_pList || !m_pList->model())
        return;
    painter.save();
    painter.setFont(m_headingFont);
    for (int n = 0; n < m_nColumns; ++n)
        painter.drawText(GetHeadingRect(n), kCellFlags, GetHeadingText(n));
    painter.setFont(m_bodyFont);
    if (nPage < 1 || nPage > static_cast<int>(m_anPageFirst.size())) {
        painter.restore();
        return;
    }
    const int nFirst = m_anPageFirst[static_cast<size_t>(nPage - 1)];
    const int nEnd = nPage < static_cast<int>(m_anPageFirst.size()) ? m_anPageFirst[static_cast<size_t>(nPage)] : m_nItems;
    int nTop = m_rcBody.top() + m_szBodyChar.height();
    for (int nItem = nFirst; nItem < nEnd; ++nItem) {
        PrintRow(painter, nItem, nTop);
        nTop += m_anItemLines[static_cast<size_t>(nItem)] * m_szBodyChar.height();
    }
    painter.restore();
}

void CListViewPrint::PrintRow(QPainter& painter, int nItem, int nTop) const
{
    const QAbstractItemModel* pModel = m_pList->model();
    const int nLines = m_anItemLines[static_cast<size_t>(nItem)];
    for (int n = 0; n < m_nColumns; ++n) {
        const int nColumn = m_anColumnOrder[static_cast<size_t>(n)];
        const QString text = pModel->index(nItem, nColumn).data(Qt::DisplayRole).toString();
        const QRect cell = GetCellRect(nTop, nLines, n);
        painter.save();
        painter.setClipRect(cell);
        painter.drawText(cell, kWrapFlags, text);
        painter.restore();
    }
}

void CListViewPrint::PrintFooter(QPainter& painter, int nPage) const
{
    painter.save();
    painter.setFont(m_footerFont);
    painter.fillRect(QRect(m_rcFooter.left(), m_rcFooter.top() + m_szTitleChar.height() / 2, m_rcFooter.width(),
                           kBarHeight),
                     Qt::black);
    const QRect last = Band(m_rcFooter.left(), Bottom(m_rcFooter) - m_szFooterChar.height(), Right(m_rcFooter),
                            Bottom(m_rcFooter));
    painter.drawText(last, Qt::AlignRight | Qt::AlignBottom, QStringLiteral("Page %1 of %2").arg(nPage).arg(m_nPages));
    painter.restore();
}
