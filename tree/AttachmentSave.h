// Saving an attachment's data to a file: the proposed file name and the
// write. Qt-free; the tree pane asks for the path.
#pragma once

#include "props/PropValueArray.h"

#include <string>

// The name proposed for saving an attachment with these row values: its long
// file name, else its file name, else its display name, else
// "attachment.bin"; reduced to a safe base name (no directory parts, no path
// separators, no control characters; "attachment.bin" when nothing usable is
// left).
std::string ProposeAttachmentName(const CPropValueArray& props);

// The base name of strName as above, or "" when nothing usable is left.
std::string SafeBaseName(const std::string& strName);

// Bit 28 marks a system error code (errno) returned as an HRESULT.
inline constexpr HRESULT kSystemErrorBit = 0x10000000;

// Copies the attachment's PR_ATTACH_DATA_BIN into the file pszPath. The data
// is written to a temporary file beside it, which replaces the file only once
// the whole copy has succeeded, so an existing file is never lost to a failed
// save. Returns S_OK; MAPI_E_NOT_FOUND when there is no attachment object
// (it could not be opened); the MAPI error when the data cannot be opened as
// a stream or read; or the system error code with kSystemErrorBit set when
// the file cannot be written. On any failure no file is left behind and an
// existing file at pszPath is untouched.
HRESULT WriteAttachmentFile(LPATTACH* ppAttach, const char* pszPath);
