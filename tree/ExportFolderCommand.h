// "Export Folder...": a folder node written as .eml files, mbox or .msg files
// into a folder the user picks, with the walk dravik-export uses.
#pragma once

#include "props/Mapi.h"

#include <QString>

class QWidget;

// The formats offered, in the order the choice lists them.
inline constexpr int kExportFormatEml = 0;
inline constexpr int kExportFormatMbox = 1;
inline constexpr int kExportFormatMsg = 2;

// Asks, through the program's prompts, for the format, whether to take the
// subfolders too (only when the folder has any) and the folder to write into;
// writes the folder into a folder of its name there, with a progress the user
// can cancel (a cancelled export leaves only whole files); then shows the
// summary and whatever was not written. strName is the folder's display name.
void ExportFolderWithPrompts(IMsgStore* pStore, IMAPIFolder* pFolder, const QString& strName, QWidget* pParent);
