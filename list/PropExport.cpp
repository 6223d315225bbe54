#include "list/PropExport.h"

#include "mapi/Prompts.h"
#include "props/PropText.h"
#include "props/PropValueArray.h"

#include <QSaveFile>

#include <algorithm>

#include <string>

namespace {

constexpr ULONG kStreamChunk = 1024;
constexpr ULONG kAttachLongFileName = 0x3707001E;

CExportResult FileError(const QSaveFile& file)
{
    return {MAPI_E_DISK_ERROR, file.errorString()};
}

} // namespace

CExportResult SavePropertyText(const SPropValue* pProp, const QString& strPath)
{
    const std::string text = PropValueToText(pProp, kExportValueChars);
    QSaveFile file(strPath);
    if (!file.open(QIODevice::WriteOnly))
        return FileError(file);
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit())
        return FileError(file);
    return {};
}

CExportResult SaveStreamToFile(IMAPIProp* pSource, ULONG ulPropTag, const QString& strPath)
{
    if (!pSource)
        return {MAPI_E_INVALID_PARAMETER, QStringLiteral("The property has no object to be read from.")};
    LPSTREAM pStream = nullptr;
    HRESULT hr = pSource->OpenProperty(ulPropTag, &IID_IStream, 0, MAPI_BEST_ACCESS,
                                       reinterpret_cast<LPUNKNOWN*>(&pStream));
    if (FAILED(hr) || !pStream) {
        if (pStream)
            pStream->Release();
        return {FAILED(hr) ? hr : MAPI_E_NOT_FOUND, QStringLiteral("The property's stream cannot be opened.")};
    }

    CExportResult result;
    QSaveFile file(strPath);
    if (!file.open(QIODevice::WriteOnly)) {
        pStream->Release();
        return FileError(file);
    }
    BYTE chunk[kStreamChunk];
    for (;;) {
        if (QuitRequested()) {
            result = {MAPI_E_USER_CANCEL, QStringLiteral("The program is ending.")};
            break;
        }
        ULONG cbRead = 0;
        hr = pStream->Read(chunk, kStreamChunk, &cbRead);
        if (FAILED(hr)) {
            // A half-read value would look whole: nothing is written.
            result = {hr, QStringLiteral("Reading the property's stream failed.")};
            break;
        }
        if (cbRead == 0)
            break;
        cbRead = std::min(cbRead, kStreamChunk);
        if (file.write(reinterpret_cast<const char*>(chunk), cbRead) != static_cast<qint64>(cbRead)) {
            result = FileError(file);
            break;
        }
    }
    pStream->Release();
    if (FAILED(result.hr)) {
        file.cancelWriting();
        return result;
    }
    if (!file.commit())
        return FileError(file);
    return result;
}

bool IsTooLargeValue(const SPropValue* pProp)
{
    return pProp && PROP_TYPE(pProp->ulPropTag) == PT_ERROR && pProp->Value.err == MAPI_E_NOT_ENOUGH_MEMORY;
}

QString StreamExportFileName(const CPropValueArray* pRowProps)
{
    std::string strName;
    if (pRowProps)
        pRowProps->FormatProp(strName, kFileNameChars, kAttachLongFileName);
    return strName.empty() ? QStringLiteral("export.txt") : QString::fromStdString(strName);
}
