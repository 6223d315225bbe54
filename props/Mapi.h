// The MAPI definitions the property text is written against: the MAPI
// subsystem's public headers.
#pragma once

#include "mapi32/mapicode.h"
#include "mapi32/mapidefs.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
