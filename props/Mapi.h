// The MAPI definitions the property text is written against: the MAPI
// subsystem's public headers when the build has them, else a stand-in with
// the same names (props/MapiFallback.h).
#pragma once

#if defined(DRAVIK_HAVE_MAPI32)
#include "mapi32/mapicode.h"
#include "mapi32/mapidefs.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#else
#include "props/MapiFallback.h"
#endif
