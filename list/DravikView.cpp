#include "list/DravikView.h"

#include "workspace/DravikDoc.h"

CDravikView::CDravikView(CDravikDoc* pDoc, QWidget* pParent)
    : QTreeWidget(pParent), m_pDoc(pDoc)
{
    setObjectName(QStringLiteral("CDravikView"));
    setRootIsDecorated(false);
}

void CDravikView::OnUpdate(CDocView*, long, void*)
{
    clear();
}
