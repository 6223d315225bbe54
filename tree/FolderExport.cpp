#include "tree/FolderExport.h"

#include "content/InternetMessage.h"
#include "mapi32/providers/msg/msg_writer.h"
#include "mapi32/utf.h"
#include "tree/MessageSave.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string HrText(HRESULT hr)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", unsigned(hr));
    return buf;
}

std::string Plural(int n, const char* pszWord)
{
    return std::to_string(n) + " " + pszWord + (n == 1 ? "" : "s");
}

} // namespace

std::string FolderFileName(const std::string& strName)
{
    std::string s;
    for (char c : strName)
        s += (static_cast<unsigned char>(c) < 0x20 || c == '/') ? '_' : c;
    if (s.size() > 200) {
        size_t n = 200;
        while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
            --n;
        s.resize(n);
    }
    if (s.empty() || s == "." || s == "..")
        s = "_" + s;
    return s;
}

// A file written whole under a temporary name beside its final one, renamed
// into place by Commit; removed when dropped before that.
class CFolderExport::CPendingFile
{
public:
    // A buffer size of 0 keeps the C library's.
    explicit CPendingFile(fs::path final, size_t nBuffer = 0) : m_final(std::move(final))
    {
        m_temp = m_final;
        m_temp += ".part~";
        m_file = std::fopen(m_temp.c_str(), "wb");
        if (m_file && nBuffer)
            std::setvbuf(m_file, nullptr, _IOFBF, nBuffer);
    }
    ~CPendingFile() { Drop(); }
    CPendingFile(const CPendingFile&) = delete;
    CPendingFile& operator=(const CPendingFile&) = delete;

    bool Ok() const { return m_file && !m_bError; }
    void Write(std::string_view s)
    {
        if (m_file && !s.empty() && std::fwrite(s.data(), 1, s.size(), m_file) != s.size())
            m_bError = true;
    }
    bool Commit()
    {
        if (!m_file)
            return false;
        const bool bClosed = std::fclose(m_file) == 0;
        m_file = nullptr;
        std::error_code ec;
        if (!bClosed || m_bError || (fs::rename(m_temp, m_final, ec), ec)) {
            fs::remove(m_temp, ec);
            return false;
        }
        return true;
    }
    void Drop()
    {
        if (m_file) {
            std::fclose(m_file);
            m_file = nullptr;
            std::error_code ec;
            fs::remove(m_temp, ec);
        }
    }

private:
    fs::path m_final;
    fs::path m_temp;
    std::FILE* m_file = nullptr;
    bool m_bError = false;
};

CFolderExport::CFolderExport(IMsgStore* pStore, EExportFormat format, bool bSubfolders, IFolderExportSink& sink)
    : m_pStore(pStore), m_format(format), m_bSubfolders(bSubfolders), m_sink(sink)
{
}

bool CFolderExport::Stopping()
{
    if (!m_bStopped && !m_sink.KeepGoing())
        m_bStopped = true;
    return m_bStopped;
}

void CFolderExport::Folder(IMAPIFolder* pFolder, const std::string& strWhere, const fs::path& dir)
{
    if (Stopping())
        return;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        Fail(strWhere, "the folder " + dir.string() + " cannot be made: " + ec.message());
        return;
    }
    std::unique_ptr<CPendingFile> mbox;
    int nInFolder = 0;
    CRef<IMAPITable> table;
    HRESULT hr = pFolder->GetContentsTable(MAPI_UNICODE, table.Out());
    if (FAILED(hr))
        Fail(strWhere, "its messages cannot be listed (" + HrText(hr) + ")");
    else
        EachRow(table.Get(), strWhere, [&](const SRow& row) { Message(row, strWhere, dir, ++nInFolder, mbox); });
    if (mbox) {
        if (m_bStopped)
            mbox->Drop();
        else if (!mbox->Commit())
            Fail(strWhere, "the mbox file " + (dir / "mbox").string() + " cannot be written");
    }
    if (m_bStopped || !m_bSubfolders)
        return;
    hr = pFolder->GetHierarchyTable(MAPI_UNICODE, table.Out());
    if (FAILED(hr)) {
        Fail(strWhere, "its subfolders cannot be listed (" + HrText(hr) + ")");
        return;
    }
    std::map<std::string, int> names;
    EachRow(table.Get(), strWhere, [&](const SRow& row) {
        const SPropValue* pEid = PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID);
        const SPropValue* pName = PpropFindProp(row.lpProps, row.cValues, PR_DISPLAY_NAME_W);
        const std::string strName = pName ? dravik::mapi32::Utf16ToUtf8(pName->Value.lpszW) : "";
        std::string strFile = FolderFileName(strName);
        // Two subfolders of the same name go to two folders.
        if (const int n = ++names[strFile]; n > 1)
            strFile += " (" + std::to_string(n) + ")";
        CRef<IMAPIFolder> sub = Open<IMAPIFolder>(pEid, strWhere + "/" + strName, "folder");
        if (sub)
            Folder(sub.Get(), strWhere + "/" + strName, dir / strFile);
    });
}

CRef<IMAPIFolder> CFolderExport::Find(IMAPIFolder* pRoot, const std::string& strPath)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= strPath.size()) {
        size_t end = strPath.find('/', start);
        if (end == std::string::npos)
            end = strPath.size();
        if (end > start)
            parts.push_back(strPath.substr(start, end - start));
        start = end + 1;
    }
    pRoot->AddRef();
    CRef<IMAPIFolder> folder(pRoot);
    for (const std::string& part : parts) {
        CRef<IMAPITable> table;
        if (FAILED(folder->GetHierarchyTable(MAPI_UNICODE, table.Out())))
            return {};
        CRef<IMAPIFolder> next;
        EachRow(table.Get(), "", [&](const SRow& row) {
            const SPropValue* pName = PpropFindProp(row.lpProps, row.cValues, PR_DISPLAY_NAME_W);
            if (next || !pName || dravik::mapi32::Utf16ToUtf8(pName->Value.lpszW) != part)
                return;
            next = Open<IMAPIFolder>(PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID), part, "folder");
        });
        if (!next)
            return {};
        folder = std::move(next);
    }
    return folder;
}

std::string CFolderExport::Summary() const
{
    std::string s = Plural(m_counts.nMessages, "message") + " written in " + Plural(m_counts.nFolders, "folder") +
                    " (" + Plural(m_counts.nAttachments, "attachment") + ", " +
                    Plural(m_counts.nEmbedded, "embedded message") + "); " + std::to_string(m_counts.nNotWritten) +
                    " not written";
    if (m_counts.nProblems)
        s += "; " + Plural(m_counts.nProblems, "part") + " of messages not written";
    return s;
}

template <class I>
CRef<I> CFolderExport::Open(const SPropValue* pEid, const std::string& strWhere, const char* pszWhat)
{
    LPUNKNOWN pUnk = nullptr;
    ULONG ulType = 0;
    const HRESULT hr = pEid && PROP_TYPE(pEid->ulPropTag) == PT_BINARY
                           ? m_pStore->OpenEntry(pEid->Value.bin.cb, reinterpret_cast<LPENTRYID>(pEid->Value.bin.lpb),
                                                 nullptr, 0, &ulType, &pUnk)
                           : MAPI_E_NOT_FOUND;
    CRef<I> result = As<I>(SUCCEEDED(hr) ? pUnk : nullptr);
    if (!result) {
        if (pUnk && FAILED(hr))
            pUnk->Release();
        Fail(strWhere, std::string("the ") + pszWhat + " cannot be opened (" +
                           HrText(FAILED(hr) ? hr : MAPI_E_INTERFACE_NOT_SUPPORTED) + ")");
    }
    return result;
}

void CFolderExport::EachRow(IMAPITable* pTable, const std::string& strWhere, const std::function<void(const SRow&)>& f)
{
    for (;;) {
        if (Stopping())
            return;
        LPSRowSet pRows = nullptr;
        const HRESULT hr = pTable->QueryRows(64, 0, &pRows);
        if (FAILED(hr) || !pRows) {
            Fail(strWhere, "the rest of the table cannot be read (" + HrText(hr) + ")");
            return;
        }
        const ULONG n = pRows->cRows;
        for (ULONG i = 0; i < n && !Stopping(); ++i)
            f(pRows->aRow[i]);
        FreeProws(pRows);
        if (n == 0)
            return;
    }
}

void CFolderExport::Message(const SRow& row, const std::string& strFolder, const fs::path& dir, int nNumber,
                            std::unique_ptr<CPendingFile>& mbox)
{
    const SPropValue* pSubject = PpropFindProp(row.lpProps, row.cValues, PR_SUBJECT_W);
    const std::string strSubject = pSubject ? dravik::mapi32::Utf16ToUtf8(pSubject->Value.lpszW) : "";
    char szNumber[16];
    std::snprintf(szNumber, sizeof szNumber, "%06d", nNumber);
    const std::string strWhere = strFolder + "/" + szNumber + " " + strSubject;
    CRef<IMessage> message = Open<IMessage>(PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID), strWhere, "message");
    if (!message) {
        ++m_counts.nNotWritten;
        return;
    }
    // The file of the message (an mbox has one for the folder).
    auto fileOfMessage = [&] {
        std::string strName = ProposeMessageFileName(strSubject);
        strName.resize(strName.size() - 4); // ".msg"
        return dir / (std::string(szNumber) + "-" + strName + (m_format == EExportFormat::Msg ? ".msg" : ".eml"));
    };
    if (m_format == EExportFormat::Msg) {
        const fs::path path = fileOfMessage();
        dravik::mapi32::MsgSaveReport report;
        const HRESULT hr = dravik::mapi32::SaveMessageAsMsg(message.Get(), path.string(), &report);
        if (FAILED(hr)) {
            Fail(strWhere, "the message cannot be written to " + path.string() + " (" + HrText(hr) + ")");
            ++m_counts.nNotWritten;
            return;
        }
        for (const std::string& s : report.skipped)
            Problem(strWhere, "not written: " + s);
        Written(strFolder);
        return;
    }
    dravik::content::InternetMessage converted;
    const HRESULT hr = dravik::content::MessageToInternetMessage(message.Get(), strWhere, converted);
    if (FAILED(hr)) {
        Fail(strWhere, "the message cannot be read (" + HrText(hr) + ")");
        ++m_counts.nNotWritten;
        return;
    }
    for (const dravik::content::ExportProblem& p : converted.problems)
        Problem(p.where, "not written: " + p.why);
    m_counts.nAttachments += converted.attachments;
    m_counts.nEmbedded += converted.embedded;
    if (m_format == EExportFormat::Mbox) {
        if (!mbox) {
            // An mbox takes many messages: written in large pieces, not one write each.
            mbox = std::make_unique<CPendingFile>(dir / "mbox", size_t(1) << 20);
            if (!mbox->Ok())
                Fail(strFolder, "the mbox file " + (dir / "mbox").string() + " cannot be made");
        }
        // Written in runs straight from the message: no copy of a large message adds to the peak.
        dravik::content::WriteMboxrd(converted, [&mbox](std::string_view piece) { mbox->Write(piece); });
        if (!mbox->Ok()) {
            ++m_counts.nNotWritten;
            return;
        }
    } else {
        const fs::path path = fileOfMessage();
        CPendingFile file(path);
        file.Write(converted.bytes);
        if (!file.Commit()) {
            Fail(strWhere, "the file " + path.string() + " cannot be written: " + std::strerror(errno));
            ++m_counts.nNotWritten;
            return;
        }
    }
    Written(strFolder);
}

void CFolderExport::Written(const std::string& strFolder)
{
    ++m_counts.nMessages;
    if (!m_bAnyFolder || strFolder != m_strLastFolder) {
        m_bAnyFolder = true;
        m_strLastFolder = strFolder;
        ++m_counts.nFolders;
    }
    m_sink.OnWritten(m_counts, strFolder);
}

void CFolderExport::Problem(const std::string& strWhere, const std::string& strWhy)
{
    ++m_counts.nProblems;
    Fail(strWhere, strWhy);
}

void CFolderExport::Fail(const std::string& strWhere, const std::string& strWhy)
{
    m_bFailed = true;
    m_sink.OnProblem(strWhere.empty() ? "/" : strWhere, strWhy);
}

int CountFolderMessages(IMAPIFolder* pFolder, bool bSubfolders)
{
    int nCount = 0;
    SizedSPropTagArray(1, tags) = {1, {PR_CONTENT_COUNT}};
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    if (SUCCEEDED(pFolder->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &cValues, &pValues)) && pValues &&
        cValues == 1 && pValues[0].ulPropTag == PR_CONTENT_COUNT)
        nCount = int(pValues[0].Value.l);
    MAPIFreeBuffer(pValues);
    if (!bSubfolders)
        return nCount;
    CRef<IMAPITable> table;
    LPSRowSet pRows = nullptr;
    if (FAILED(pFolder->GetHierarchyTable(0, table.Out())) ||
        FAILED(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 0, &pRows)) || !pRows)
        return nCount;
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        const SPropValue* pEid = PpropFindProp(pRows->aRow[i].lpProps, pRows->aRow[i].cValues, PR_ENTRYID);
        LPUNKNOWN pUnk = nullptr;
        ULONG ulType = 0;
        if (!pEid || PROP_TYPE(pEid->ulPropTag) != PT_BINARY ||
            FAILED(pFolder->OpenEntry(pEid->Value.bin.cb, reinterpret_cast<LPENTRYID>(pEid->Value.bin.lpb), nullptr, 0,
                                      &ulType, &pUnk)))
            continue;
        if (CRef<IMAPIFolder> sub = As<IMAPIFolder>(pUnk))
            nCount += CountFolderMessages(sub.Get(), true);
    }
    FreeProws(pRows);
    return nCount;
}
