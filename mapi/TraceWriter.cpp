#include "mapi/TraceWriter.h"

#include "mapi/MAPICommandView.h"

CTraceWriter::CTraceWriter(CMAPICommandView* pPane)
    : m_pPane(pPane)
{
}

int CTraceWriter::Write(const char* pszLine)
{
    if (m_pPane.isNull())
        return 0;
    m_pPane->AppendUtf8(pszLine);
    return 1;
}
