// Any text as a query: parsed, and when it parses, compiled (with a resolver
// that knows every named property) and written back as text. Nothing may
// crash, leak or read out of bounds; an error names a place inside the text.
#include "query/Query.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    dravik::query::QueryError error;
    const std::optional<dravik::query::CQuery> query = dravik::query::CQuery::Parse(text, error);
    if (!query) {
        if (error.offset > text.size() || error.message.empty())
            std::abort();
        return 0;
    }
    ULONG next = 0x8000;
    const dravik::query::CQuery::NameResolver resolver = [&](const MAPINAMEID&, ULONG& id) -> HRESULT {
        id = next++;
        return next & 1 ? S_OK : MAPI_E_NOT_FOUND;
    };
    LPSRestriction res = nullptr;
    if (SUCCEEDED(query->Compile(resolver, &res))) {
        (void)dravik::query::RestrictionText(res, false);
        MAPIFreeBuffer(res);
    }
    return 0;
}
