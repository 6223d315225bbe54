// Owned references to MAPI interfaces: shared with the other tools and libraries.
#pragma once

#include "props/MapiRef.h"
