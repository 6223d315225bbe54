// The program icon and the toolbar pictures, drawn at run time.
#pragma once

#include <QIcon>

// Program icon (icon 128).
QIcon DravikAppIcon();
// Picture of a toolbar command (131, 132, 130, 57607, 57609, 32776); a null
// icon for any other id.
QIcon DravikCommandIcon(int nCommandId);
// Picture of a property row by its image index (0 to 8: PT_STRING8, other
// types, dates, PT_OBJECT, PT_UNICODE, PT_BINARY, PT_BOOLEAN, PT_CURRENCY,
// PT_ERROR); a null icon for any other index.
QIcon DravikPropTypeIcon(int nImage);
