// The program icon and the toolbar pictures, drawn at run time.
#pragma once

#include <QIcon>

// Program icon (icon 128).
QIcon DravikAppIcon();
// Picture of a toolbar command (131, 132, 130, 57607, 57609, 32776); a null
// icon for any other id.
QIcon DravikCommandIcon(int nCommandId);
