// The workspace's trace writer: appends each line to its trace pane.
#pragma once

#include "mapi/MAPITraceWriter.h"

#include <QPointer>

class CMAPICommandView;

class CTraceWriter : public CMAPITraceWriter
{
public:
    explicit CTraceWriter(CMAPICommandView* pPane);

    // Appends the line to the pane; once the pane is gone, does nothing and
    // returns 0 (calls made while a workspace closes land here).
    int Write(const char* pszLine) override;

private:
    QPointer<CMAPICommandView> m_pPane;
};
