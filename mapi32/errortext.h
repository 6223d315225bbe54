// The names of MAPI's error and warning codes (MAPI_E_..., MAPI_W_..., and
// the COM codes MAPI uses) and what the common ones mean in plain words, for
// every report of the program: the property list, the error report and
// dravik-dump.
#pragma once

#include "mapi32/mapidefs.h"

namespace dravik::mapi32 {

// "MAPI_E_NOT_FOUND" for MAPI_E_NOT_FOUND; null for a code without a name.
const char* ErrorName(SCODE sc);

// What the code means to a person opening and reading stores ("no such
// file, profile or object", "not a PST or OST file, or damaged"); null for a
// code without a plain meaning of its own.
const char* ErrorMeaning(SCODE sc);

} // namespace dravik::mapi32
