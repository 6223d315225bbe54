#include "tree/LeftView.h"

#include "workspace/DravikDoc.h"

CLeftView::CLeftView(CDravikDoc* pDoc, QWidget* pParent)
    : QTreeWidget(pParent), m_pDoc(pDoc)
{
    setObjectName(QStringLiteral("CLeftView"));
    setHeaderHidden(true);
}

void CLeftView::OnUpdate(CDocView*, long, void*)
{
    if (!m_pDoc->IsConnected())
        clear();
}
