// A read-only IStorage over a compound file's storage: OpenStream gives a
// stream of the stream's bytes, OpenStorage a child storage, EnumElements and
// Stat list names, types, sizes and CLSIDs. Every change fails with
// STG_E_ACCESSDENIED; a stream or storage that cannot be read, with
// STG_E_READFAULT.
#pragma once

#include "cfb.h"

#include "mapi32/mapidefs.h"

namespace dravik::mapi32::cfb {

HRESULT CreateReadOnlyStorage(const Storage& storage, LPSTORAGE* out);

} // namespace dravik::mapi32::cfb
