// The printed pages of a list: a header with the application name and the
// workspace title over a black bar, the column headings in the order the
// columns are displayed, as many rows per page as fit (a long value wraps
// within its column, the last one reaching the page's edge), and a footer with
// "Page n of m". Everything is laid out in the printer's own pixels, with
// column widths taken from the screen and scaled to the printer.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>

#include <vector>

class QFontMetrics;
class QPagedPaintDevice;
class QPainter;
class QTreeView;

class CListViewPrint
{
public:
    CListViewPrint() = default;
    virtual ~CListViewPrint() = default;

    void SetListView(QTreeView* pList) { m_pList = pList; }
    void SetAppName(const QString& strAppName) { m_strAppName = strAppName; }
    void SetDocTitle(const QString& strDocTitle) { m_strDocTitle = strDocTitle; }

    // Margins 200, 150, 200, 150 and header and footer two lines high; every
    // count, rectangle and font cleared. Done before every print job.
    void Reset();

    // Lays the job out for the device: fonts and their sizes, the page's
    // bands, the counts of items, columns, rows per page and pages, and the
    // column order. Returns the page count (at least 1).
    int BeginPrinting(QPagedPaintDevice* pDevice);
    // Draws page nPage (1-based): header, headings and rows, footer.
    void PrintPage(QPainter& painter, int nPage) const;
    void EndPrinting();

    // The whole job on a device: BeginPrinting, the pages nFrom to nTo (0 for
    // the first and the last page), EndPrinting. FALSE when the device could
    // not be painted on.
    bool Print(QPagedPaintDevice* pDevice, int nFrom = 0, int nTo = 0);

    int RowsPerPage() const { return m_nRowsPerPage; }
    int Pages() const { return m_nPages; }
    QSize BodyChar() const { return m_szBodyChar; }
    QSize TitleChar() const { return m_szTitleChar; }
    QSize FooterChar() const { return m_szFooterChar; }
    QRect PrintRect() const { return m_rcPrint; }

private:
    QFont CreatePrintFont(const QString& strFace, int nPoints, int nWeight, QPagedPaintDevice* pDevice) const;
    QSize MeasureFont(const QFont& font, QPagedPaintDevice* pDevice) const;
    int ColumnWidth(int nPosition) const;
    int ColumnLeft(int nPosition) const;
    QRect GetHeadingRect(int nPosition) const;
    // The cell of a row whose top is nTop, nLines lines high.
    QRect GetCellRect(int nTop, int nLines, int nPosition) const;
    // The lines the item's cells need, at most a page.
    int ItemLines(int nItem, const QFontMetrics& metrics) const;
    QString GetHeadingText(int nPosition) const;
    void PrintHeader(QPainter& painter) const;
    void PrintBody(QPainter& painter, int nPage) const;
    void PrintRow(QPainter& painter, int nItem, int nTop) const;
    void PrintFooter(QPainter& painter, int nPage) const;

    QString m_strAppName;
    QString m_strDocTitle;
    QTreeView* m_pList = nullptr;
    double m_dScale = 0;
    // Shrinks the columns before the last to leave the last room.
    double m_dColumnFit = 1.0;
    QRect m_rcHeader;
    QRect m_rcFooter;
    QRect m_rcBody;
    QRect m_rcPrint;
    QRect m_rcPage;
    QFont m_titleFont;
    QFont m_footerFont;
    QFont m_headingFont;
    QFont m_bodyFont;
    QSize m_szTitleChar;
    QSize m_szFooterChar;
    QSize m_szBodyChar;
    int m_nMarginLeft = 200;
    int m_nMarginTop = 150;
    int m_nMarginRight = 200;
    int m_nMarginBottom = 150;
    int m_nHeaderLines = 2;
    int m_nFooterLines = 2;
    int m_nColumns = 0;
    int m_nRowsPerPage = 0;
    int m_nPages = 0;
    int m_nItems = 0;
    // Display position to column index.
    std::vector<int> m_anColumnOrder;
    // Lines each item takes (its longest cell wrapped within its column, the
    // last column reaching the page's right edge), and the first item of
    // each page.
    std::vector<int> m_anItemLines;
    std::vector<int> m_anPageFirst;
};
