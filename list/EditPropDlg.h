// The "View/Edit Property" dialog: one property of the object whose
// properties the list shows, with its tag and type names, its named-property
// identity and its whole value (binary values in the hex editor).
#pragma once

#include "mapi32/mapidefs.h"

// Runs the dialog modally for pProp, a value as the list row holds it.
// pObject is the object the property belongs to (not owned, may be null);
// bEntryProps reads the value whole through the object's stream, else the
// row's value text is shown.
void RunPropertyEditor(const SPropValue* pProp, IMAPIProp* pObject, bool bEntryProps);
