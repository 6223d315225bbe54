// The property list of the selected tree node (right pane): one row per
// property with its tag, name, named-property ID, type and value, or the
// store's named properties on a "Named Properties" node. Sorted by a click
// on a column heading; a row opens in the property editor or is saved to a
// file; the list prints.
#pragma once

#include "list/ListViewPrint.h"
#include "list/PropListRows.h"
#include "workspace/CmdTarget.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QTreeView>

#include <memory>
#include <string>
#include <vector>

class CDravikDoc;
class QMenu;
class QPrinter;

// The rows of the list as an item model: the texts of each column, the
// type's image in the first column, the headings.
class CPropListModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit CPropListModel(QObject* pParent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int nRole) const override;
    QVariant headerData(int nSection, Qt::Orientation orientation, int nRole) const override;

    // The columns of the property list, or of the named-property list.
    void SetColumns(bool bNamedProps);
    bool NamedColumns() const { return m_bNamedProps; }
    void SetRows(std::vector<CListRow> rows);
    void Clear();
    // Sorts by a column; selected rows stay selected.
    void Sort(int nColumn, bool bDescending);

    const CListRow& Row(int nRow) const { return m_rows[static_cast<size_t>(nRow)]; }

private:
    std::vector<CListRow> m_rows;
    bool m_bNamedProps = false;
    int m_nColumns = 0;
    QIcon m_icons[kPropImages];
};

class CDravikView : public QTreeView, public CDocView, public CCmdTarget
{
    Q_OBJECT
public:
    explicit CDravikView(CDravikDoc* pDoc, QWidget* pParent = nullptr);
    ~CDravikView() override;

    CDravikDoc* GetDocument() const { return m_pDoc; }
    CPropListModel* Model() const { return m_pModel; }

    // Rebuilds the list from the document: the selected node's properties
    // in row or entry mode, or the store's named properties, sorted again as
    // the last sort left it.
    void OnUpdate(CDocView* pSender, long lHint, void* pHint) override;

    void SetColumns(bool bNamedProps);
    void ClearList();
    void ListProperties();
    void ListNamedProperties();
    // The first click on a column sorts it descending, the next ascending.
    void SortByColumn(int nColumn);
    int SortColumn() const { return m_nSortColumn; }
    bool SortDescending() const { return m_bSortDescending; }

    // The selected row, or -1.
    int SelectedRow() const;
    // "Open ...": the property editor for the selected row.
    void OpenPropertyEditor();
    // "Save ...": the selected row's value to a file the user names.
    void OnPropertySave();

    // The selected rows as the clipboard gets them (tab-separated columns in
    // the shown order), and the selected row's value whole (binary as
    // hexadecimal digits, a value too large for the list read from its object).
    std::string SelectedRowsText() const;
    std::string SelectedValueText() const;
    // Copy and "Copy Value": the same to the clipboard.
    void CopyRows();
    void CopyValue();

    // Printing: the dialog, the preview, and the pages on a device.
    void OnFilePrint();
    void OnFilePrintPreview();
    CListViewPrint& Printing() { return m_print; }
    // The printout's header: the workspace's title and the listed object's
    // place in the tree.
    QString PrintTitle() const;

    // The "Property" menu shown on a right click (its actions are the
    // program's shared ones).
    void SetPropertyMenu(QMenu* pMenu) { m_pPropertyMenu = pMenu; }
    QMenu* PropertyMenu() const { return m_pPropertyMenu; }

    bool OnUpdateCommand(int nId, CCmdUI& rUI) override;
    bool OnCommand(int nId) override;

protected:
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void Refuse(const QString& strText);

    CDravikDoc* m_pDoc;
    CPropListModel* m_pModel;
    bool m_bSortDescending = true;
    int m_nSortColumn = -1;
    CListViewPrint m_print;
    QMenu* m_pPropertyMenu = nullptr;
    // The values "Entry Properties" lists; the rows point into them, so they
    // live until the list is cleared.
    std::unique_ptr<CPropValueArray> m_pEntryProps;
};
