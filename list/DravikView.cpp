#include "list/DravikView.h"

#include "list/EditPropDlg.h"
#include "list/PropExport.h"
#include "mapi/MsgBox.h"
#include "mapi/Prompts.h"
#include "mapi/WaitCursor.h"
#include "props/PropText.h"
#include "res/Icons.h"
#include "tree/TreeNode.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMenu>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>

#include <algorithm>

// ---------------------------------------------------------------------------
// CPropListModel

CPropListModel::CPropListModel(QObject* pParent) : QAbstractTableModel(pParent)
{
    for (int i = 0; i < kPropImages; ++i)
        m_icons[i] = DravikPropTypeIcon(i);
}

int CPropListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CPropListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_nColumns;
}

QVariant CPropListModel::data(const QModelIndex& index, int nRole) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= m_nColumns)
        return QVariant();
    const CListRow& row = m_rows[static_cast<size_t>(index.row())];
    switch (nRole) {
    case Qt::DisplayRole: {
        // A value of several lines shows on one, its line ends as arrows, so
        // that every row keeps the height of one line.
        QString strText = QString::fromUtf8(row.texts[static_cast<size_t>(index.column())]);
        if (strText.contains(QLatin1Char('\n')) || strText.contains(QLatin1Char('\r'))) {
            strText.replace(QStringLiteral("\r\n"), QStringLiteral("\u21B5"));
            strText.replace(QLatin1Char('\n'), QChar(0x21B5));
            strText.replace(QLatin1Char('\r'), QChar(0x21B5));
        }
        return strText;
    }
    case Qt::DecorationRole:
        if (index.column() == 0 && row.nImage >= 0 && row.nImage < kPropImages)
            return m_icons[row.nImage];
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant CPropListModel::headerData(int nSection, Qt::Orientation orientation, int nRole) const
{
    if (orientation != Qt::Horizontal || nRole != Qt::DisplayRole || nSection < 0 || nSection >= m_nColumns)
        return QVariant();
    const CColumnDef& def = m_bNamedProps ? kNamedColumnDefs[nSection] : kPropColumnDefs[nSection];
    return QString::fromLatin1(def.pszHeading);
}

void CPropListModel::SetColumns(bool bNamedProps)
{
    beginResetModel();
    m_rows.clear();
    m_bNamedProps = bNamedProps;
    m_nColumns = bNamedProps ? kNamedColumns : kPropColumns;
    endResetModel();
}

void CPropListModel::SetRows(std::vector<CListRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    for (size_t i = 0; i < m_rows.size(); ++i)
        m_rows[i].nKey = i;
    endResetModel();
}

void CPropListModel::Clear()
{
    SetRows({});
}

void CPropListModel::Sort(int nColumn, bool bDescending)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> keys;
    keys.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& index : before)
        keys.push_back(static_cast<int>(m_rows[static_cast<size_t>(index.row())].nKey));

    SortRows(m_rows, nColumn, bDescending);

    std::vector<int> rowOfKey(m_rows.size());
    for (size_t i = 0; i < m_rows.size(); ++i)
        rowOfKey[m_rows[i].nKey] = static_cast<int>(i);
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i)
        after.push_back(index(rowOfKey[static_cast<size_t>(keys[static_cast<size_t>(i)])], before[i].column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

// ---------------------------------------------------------------------------
// CDravikView

CDravikView::CDravikView(CDravikDoc* pDoc, QWidget* pParent)
    : QTreeView(pParent), m_pDoc(pDoc), m_pModel(new CPropListModel(this))
{
    setObjectName(QStringLiteral("CDravikView"));
    setModel(m_pModel);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    // Several rows may be selected to be copied; the editor and saving take
    // the first.
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setIconSize(QSize(16, 16));
    setTextElideMode(Qt::ElideNone);
    header()->setSectionsMovable(true);
    header()->setSectionsClickable(true);
    header()->setStretchLastSection(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(header(), &QHeaderView::sectionClicked, this, [this](int nColumn) { SortByColumn(nColumn); });
    connect(this, &QAbstractItemView::doubleClicked, this, [this]() { OpenPropertyEditor(); });

    SetColumns(false);
    // The header of the printout names the workspace as it was called when
    // its list was made.
    m_print.SetListView(this);
    m_print.SetAppName(QCoreApplication::applicationName());
    m_print.SetDocTitle(pDoc ? pDoc->GetTitle() : QString());
}

CDravikView::~CDravikView()
{
    ClearList();
}

void CDravikView::OnUpdate(CDocView*, long, void*)
{
    ClearList();
    if (!m_pDoc || !m_pDoc->IsConnected())
        return;
    CTreeNode* pNode = m_pDoc->GetSelectedNode();
    if (!pNode)
        return;
    if (pNode->m_nKind == NODE_NAMED_PROPS) {
        SetColumns(true);
        ListNamedProperties();
    } else {
        SetColumns(false);
        ListProperties();
    }
    // The last sort again: the toggle in SortByColumn restores the direction.
    if (m_nSortColumn >= 0) {
        m_bSortDescending = !m_bSortDescending;
        SortByColumn(m_nSortColumn);
    }
}

void CDravikView::SetColumns(bool bNamedProps)
{
    if (m_pModel->NamedColumns() == bNamedProps && m_pModel->columnCount() > 0) {
        m_pModel->Clear();
        return;
    }
    m_pModel->SetColumns(bNamedProps);
    const CColumnDef* pDefs = bNamedProps ? kNamedColumnDefs : kPropColumnDefs;
    const char* const* ppSamples = bNamedProps ? kNamedColumnSamples : kPropColumnSamples;
    const int nColumns = bNamedProps ? kNamedColumns : kPropColumns;
    const QFontMetrics metrics(font());
    // New columns come in their own order, whatever order the user dragged
    // the previous ones into.
    for (int nColumn = 0; nColumn < nColumns; ++nColumn) {
        const int nVisual = header()->visualIndex(nColumn);
        if (nVisual != nColumn)
            header()->moveSection(nVisual, nColumn);
        // Wide enough for its sample text in the list's font (the icon and
        // the cell's margins beside it), at whatever scale the screen has.
        const int nSample = metrics.horizontalAdvance(QString::fromLatin1(ppSamples[nColumn])) +
                            (nColumn == 0 ? iconSize().width() : 0) + 16;
        header()->resizeSection(nColumn, std::max(pDefs[nColumn].nWidth, nSample));
    }
}

void CDravikView::ClearList()
{
    m_pModel->Clear();
    m_pEntryProps.reset();
}

void CDravikView::ListProperties()
{
    ClearList();
    CTreeNode* pNode = m_pDoc ? m_pDoc->GetSelectedNode() : nullptr;
    if (!pNode || !pNode->m_pProps)
        return;
    IMAPIProp* pObject = m_pDoc->m_bEntryProps ? EntryObject(*pNode) : nullptr;
    if (pObject) {
        // Listed whether or not GetProps succeeded: a failure lists nothing.
        m_pEntryProps = std::make_unique<CPropValueArray>();
        m_pEntryProps->LoadProps(pObject, TRUE);
        m_pModel->SetRows(MakePropertyRows(*m_pEntryProps, pObject));
    } else {
        // Values read from an object (the address book's) name their named
        // properties through it; a table row's values have no object.
        m_pModel->SetRows(MakePropertyRows(*pNode->m_pProps, pNode->m_pProps->Source()));
    }
}

void CDravikView::ListNamedProperties()
{
    CTreeNode* pNode = m_pDoc ? m_pDoc->GetSelectedNode() : nullptr;
    IMAPIProp* pStore = pNode && pNode->m_pStore ? dynamic_cast<IMAPIProp*>(pNode->m_pStore->m_pObj) : nullptr;
    if (!pStore)
        return;
    std::vector<CListRow> rows;
    const HRESULT hr = MakeNamedPropertyRows(pStore, rows);
    if (FAILED(hr))
        return;
    if (rows.empty()) {
        CMessageRequest request;
        request.nIcon = CMessageRequest::Warning;
        request.strTitle = QStringLiteral("Error!");
        request.strText = QStringLiteral("cPropNames == 0");
        Prompts().ShowMessage(this, request);
        return;
    }
    m_pModel->SetRows(std::move(rows));
}

void CDravikView::SortByColumn(int nColumn)
{
    CWaitCursor wait;
    if (nColumn != m_nSortColumn)
        m_bSortDescending = true;
    else
        m_bSortDescending = !m_bSortDescending;
    m_nSortColumn = nColumn;
    m_pModel->Sort(nColumn, m_bSortDescending);
    header()->setSortIndicatorShown(true);
    header()->setSortIndicator(nColumn, m_bSortDescending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

int CDravikView::SelectedRow() const
{
    const QModelIndexList rows = selectionModel()->selectedRows();
    if (rows.isEmpty())
        return -1;
    int nFirst = rows.front().row();
    for (const QModelIndex& index : rows)
        nFirst = std::min(nFirst, index.row());
    return nFirst;
}

void CDravikView::OpenPropertyEditor()
{
    const int nRow = SelectedRow();
    if (nRow < 0)
        return;
    const SPropValue* pProp = m_pModel->Row(nRow).item.pProp;
    if (!pProp)
        return;
    CTreeNode* pNode = m_pDoc->GetSelectedNode();
    RunPropertyEditor(pProp, pNode ? EntryObject(*pNode) : nullptr, m_pDoc->m_bEntryProps);
}

void CDravikView::Refuse(const QString& strText)
{
    CMessageRequest request;
    request.nIcon = CMessageRequest::Information;
    request.strTitle = QStringLiteral("Save ...");
    request.strText = strText;
    Prompts().ShowMessage(this, request);
}

void CDravikView::OnPropertySave()
{
    const int nRow = SelectedRow();
    if (nRow < 0)
        return;
    const SPropValue* pProp = m_pModel->Row(nRow).item.pProp;
    if (!pProp) {
        Refuse(QStringLiteral("A row of the named-property list names a property but holds no value, "
                              "so there is nothing to save."));
        return;
    }

    CFileRequest request;
    request.bOpen = false;
    request.strTitle = QStringLiteral("Save As");
    CExportResult result;
    QString strPath;
    if (IsTooLargeValue(pProp)) {
        // Too large for GetProps: read whole through a stream, in its 8-bit
        // form, from the object the node stands for.
        CTreeNode* pNode = m_pDoc->GetSelectedNode();
        IMAPIProp* pObject = pNode ? EntryObject(*pNode) : nullptr;
        if (!pObject) {
            Refuse(QStringLiteral("The value is too large to be listed and can only be read from its object, "
                                  "but this item has no object opened."));
            return;
        }
        request.strFileName = StreamExportFileName(pNode->m_pProps);
        strPath = Prompts().GetFileName(this, request);
        if (strPath.isEmpty())
            return;
        CWaitCursor wait;
        result = SaveStreamToFile(pObject, CHANGE_PROP_TYPE(pProp->ulPropTag, PT_STRING8), strPath);
    } else {
        request.strFileName = QStringLiteral("export.txt");
        strPath = Prompts().GetFileName(this, request);
        if (strPath.isEmpty())
            return;
        result = SavePropertyText(pProp, strPath);
    }
    if (FAILED(result.hr) && result.hr != MAPI_E_USER_CANCEL) {
        const QByteArray details = (strPath + QStringLiteral(": ") + result.strError).toUtf8();
        ShowErrorReport("Failure saving property", details.constData(), result.hr);
    }
}

QString CDravikView::PrintTitle() const
{
    // The store or workspace and the object whose properties are listed.
    if (m_pDoc == nullptr)
        return QString();
    const QString strDoc = m_pDoc->GetTitle();
    return m_pDoc->m_strSelectedPath.isEmpty() ? strDoc : strDoc + QStringLiteral(": ") + m_pDoc->m_strSelectedPath;
}

void CDravikView::OnFilePrint()
{
    if (QuitRequested())
        return;
    m_print.SetDocTitle(PrintTitle());
    QPrinter printer(QPrinter::HighResolution);
    m_print.Reset();
    const int nPages = m_print.BeginPrinting(&printer);
    m_print.EndPrinting();
    QPrintDialog dialog(&printer, this);
    dialog.setMinMax(1, nPages);
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, true);
    if (dialog.exec() != QDialog::Accepted || QuitRequested())
        return;
    CWaitCursor wait;
    // The dialog may have changed the printer and its paper: the job is laid
    // out again for what was chosen.
    m_print.Print(&printer, printer.fromPage(), printer.toPage());
}

void CDravikView::OnFilePrintPreview()
{
    if (QuitRequested())
        return;
    m_print.SetDocTitle(PrintTitle());
    QPrinter printer(QPrinter::HighResolution);
    m_print.Reset();
    QPrintPreviewDialog dialog(&printer, this);
    connect(&dialog, &QPrintPreviewDialog::paintRequested, this, [this](QPrinter* pPrinter) {
        m_print.Reset();
        m_print.Print(pPrinter);
    });
    dialog.exec();
}

bool CDravikView::OnUpdateCommand(int nId, CCmdUI& rUI)
{
    switch (nId) {
    case ID_PROPERTY_OPEN: {
        const int nRow = SelectedRow();
        rUI.bEnabled = nRow >= 0 && m_pModel->Row(nRow).item.pProp != nullptr;
        return true;
    }
    case ID_PROPERTY_SAVE:
        rUI.bEnabled = SelectedRow() >= 0;
        return true;
    case ID_FILE_PRINT:
    case ID_FILE_PRINT_PREVIEW:
        rUI.bEnabled = true;
        return true;
    case ID_EDIT_COPY:
        rUI.bEnabled = selectionModel()->hasSelection();
        return true;
    case ID_COPY_VALUE: {
        const int nRow = SelectedRow();
        rUI.bEnabled = nRow >= 0 && m_pModel->Row(nRow).item.pProp != nullptr;
        return true;
    }
    default:
        return false;
    }
}

bool CDravikView::OnCommand(int nId)
{
    switch (nId) {
    case ID_PROPERTY_OPEN: OpenPropertyEditor(); return true;
    case ID_PROPERTY_SAVE: OnPropertySave(); return true;
    case ID_FILE_PRINT: OnFilePrint(); return true;
    case ID_FILE_PRINT_PREVIEW: OnFilePrintPreview(); return true;
    case ID_EDIT_COPY: CopyRows(); return true;
    case ID_COPY_VALUE: CopyValue(); return true;
    default: return false;
    }
}

std::string CDravikView::SelectedRowsText() const
{
    // The rows from top to bottom as they show, their columns in the order
    // the user arranged them, hidden ones left out.
    std::vector<int> rowNumbers;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        rowNumbers.push_back(index.row());
    std::sort(rowNumbers.begin(), rowNumbers.end());
    std::vector<const CListRow*> rows;
    for (int nRow : rowNumbers)
        rows.push_back(&m_pModel->Row(nRow));
    std::vector<int> columns;
    for (int nVisual = 0; nVisual < header()->count(); ++nVisual) {
        const int nColumn = header()->logicalIndex(nVisual);
        if (!header()->isSectionHidden(nColumn))
            columns.push_back(nColumn);
    }
    return RowsAsText(rows, columns);
}

void CDravikView::CopyRows()
{
    if (!selectionModel()->hasSelection())
        return;
    QApplication::clipboard()->setText(QString::fromStdString(SelectedRowsText()));
}

std::string CDravikView::SelectedValueText() const
{
    const int nRow = SelectedRow();
    if (nRow < 0 || m_pModel->Row(nRow).item.pProp == nullptr)
        return std::string();
    // The value whole; one too large for the list is read from its object.
    CTreeNode* pNode = m_pDoc ? m_pDoc->GetSelectedNode() : nullptr;
    return PropValueWholeText(m_pModel->Row(nRow).item.pProp, pNode ? EntryObject(*pNode) : nullptr);
}

void CDravikView::CopyValue()
{
    if (SelectedRow() < 0)
        return;
    CWaitCursor wait;
    QApplication::clipboard()->setText(QString::fromStdString(SelectedValueText()));
}

void CDravikView::keyPressEvent(QKeyEvent* pEvent)
{
    // The copy keys copy the selected rows (the item view would copy the
    // current cell alone), also where no window shortcut routes them.
    if (pEvent->matches(QKeySequence::Copy)) {
        CopyRows();
        pEvent->accept();
        return;
    }
    // Return opens the property editor for the selected row, as a double
    // click does.
    if ((pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) && pEvent->modifiers() == Qt::NoModifier &&
        SelectedRow() >= 0) {
        OpenPropertyEditor();
        pEvent->accept();
        return;
    }
    QTreeView::keyPressEvent(pEvent);
}

void CDravikView::contextMenuEvent(QContextMenuEvent* pEvent)
{
    // A right click on a row outside the selection selects that row first.
    const QModelIndex index = indexAt(viewport()->mapFromGlobal(pEvent->globalPos()));
    if (pEvent->reason() == QContextMenuEvent::Mouse && index.isValid() &&
        !selectionModel()->isRowSelected(index.row(), QModelIndex()))
        setCurrentIndex(index);
    QPoint pos = pEvent->globalPos();
    if (pEvent->reason() == QContextMenuEvent::Keyboard && currentIndex().isValid())
        pos = viewport()->mapToGlobal(visualRect(currentIndex()).bottomLeft());
    if (m_pPropertyMenu && !QuitRequested())
        m_pPropertyMenu->exec(pos);
    pEvent->accept();
}
