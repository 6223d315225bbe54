// dravik-dump --where: only the messages a query matches, each with its path.
#pragma once

#include "DumpWriter.h"

#include "query/Query.h"

#include <csignal>

struct CWhereOutcome
{
    HRESULT hr = S_OK;  // S_OK, MAPI_E_USER_CANCEL when interrupted, or what ended the search
    int nErrors = 0;    // objects or tables that could not be read, each reported on standard error
};

// Searches every store of the session and writes each match as a "message"
// line whose text is its path ("Store/Folder/Subfolder/Subject"), with
// --props the message's properties as the walk writes them. pStop is polled
// between messages.
CWhereOutcome DumpWhere(IMAPISession* pSession, const dravik::query::CQuery& query, CDumpWriter& writer,
                        const volatile std::sig_atomic_t* pStop);
