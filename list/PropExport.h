// Writing one property to a file: its value text, or, for a value too large
// for GetProps, its bytes read whole through a stream. A file is written
// under a temporary name and takes the chosen name only once it is
// complete, so an existing file is never left half replaced.
#pragma once

#include "props/Mapi.h"

#include <QString>

class CPropValueArray;

// The outcome of an export: S_OK, or the HRESULT of the step that failed
// (MAPI_E_DISK_ERROR when the file could not be written, MAPI_E_USER_CANCEL
// when the program began to end) and what went wrong.
struct CExportResult
{
    HRESULT hr = S_OK;
    QString strError;
};

// The value's text as the list renders it, with the export's buffer of 5000
// bytes (at most 4999 bytes), written byte for byte.
CExportResult SavePropertyText(const SPropValue* pProp, const QString& strPath);

// Copies the stream of property ulPropTag of pSource (OpenProperty with
// IID_IStream, MAPI_BEST_ACCESS) into the file in chunks of 1024 bytes.
// Nothing is written when the stream cannot be opened or a read fails.
CExportResult SaveStreamToFile(IMAPIProp* pSource, ULONG ulPropTag, const QString& strPath);

// TRUE when the row's value stands for a value too large for GetProps: a
// PT_ERROR of MAPI_E_NOT_ENOUGH_MEMORY, which is read through a stream.
bool IsTooLargeValue(const SPropValue* pProp);

// The file name proposed for a stream export: the node's attachment long
// file name (PR_ATTACH_LONG_FILENAME, at most 259 bytes), else "export.txt".
QString StreamExportFileName(const CPropValueArray* pRowProps);
