// The code page in which the store provider reads the 8-bit strings of store
// files, when the user chooses one. By default (0) each object's 8-bit strings
// are read in the code page it declares, else its locale's, else the store's
// own; a chosen code page is used for every 8-bit string of every store logged
// on to afterwards, whatever they declare. A MIME code page (50220, 20866, ...)
// is read as the Windows ANSI code page of its script.
//   dravik::mapi32::SetStoreCodePage(932);   // before MAPILogonEx
#pragma once

#include <cstdint>

namespace dravik::mapi32 {

// Thread-safe; read when a store is logged on to.
void SetStoreCodePage(uint32_t codePage);
uint32_t GetStoreCodePage();

// Whether 8-bit text in this Windows code page can be read.
bool IsKnownCodePage(uint32_t codePage);

} // namespace dravik::mapi32
