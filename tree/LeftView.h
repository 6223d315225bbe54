// The tree of MAPI objects of a workspace (left pane).
#pragma once

#include "workspace/CmdTarget.h"

#include <QTreeWidget>

class CDravikDoc;

class CLeftView : public QTreeWidget, public CDocView
{
    Q_OBJECT
public:
    explicit CLeftView(CDravikDoc* pDoc, QWidget* pParent = nullptr);

    CDravikDoc* GetDocument() const { return m_pDoc; }
    void OnUpdate(CDocView* pSender, long lHint, void* pHint) override;

private:
    CDravikDoc* m_pDoc;
};
