#include "mapi/MAPITraceWriter.h"

void TraceThroughSlot(CMAPITraceSlot* ppTrace, const char* pszLine)
{
    if (ppTrace != nullptr && *ppTrace != nullptr)
        (*ppTrace)->Write(pszLine != nullptr ? pszLine : "");
}
