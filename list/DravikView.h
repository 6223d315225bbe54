// The property list of the selected tree node (right pane).
#pragma once

#include "workspace/CmdTarget.h"

#include <QTreeWidget>

class CDravikDoc;

class CDravikView : public QTreeWidget, public CDocView
{
    Q_OBJECT
public:
    explicit CDravikView(CDravikDoc* pDoc, QWidget* pParent = nullptr);

    CDravikDoc* GetDocument() const { return m_pDoc; }
    void OnUpdate(CDocView* pSender, long lHint, void* pHint) override;

private:
    CDravikDoc* m_pDoc;
};
