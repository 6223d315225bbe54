// The sink every traced MAPI call writes its line to, and the per-workspace
// slot that holds the current sink.
#pragma once

#include <memory>

class CMAPITraceWriter
{
public:
    // pszLine is a complete NUL-terminated line, normally ending in "\n".
    virtual int Write(const char* pszLine) = 0;

    // Writers are deleted through this base (the workspace owns its writer).
    virtual ~CMAPITraceWriter() = default;
};

// The trace slot of one workspace: a heap cell holding one writer pointer,
// null or a writer. Wrappers keep a pointer to the cell, never to the writer.
using CMAPITraceSlot = CMAPITraceWriter*;

// Writes pszLine through the slot when there is a slot and it holds a writer.
void TraceThroughSlot(CMAPITraceSlot* ppTrace, const char* pszLine);
