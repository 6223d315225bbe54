// A folder of a store (and, when asked, its subfolders) written as .eml files,
// one mbox file per folder, or .msg files, in a folder tree like the store's.
// The one walk behind dravik-export and the window's "Export Folder...":
// Qt-free, it tells its caller what happens through a sink, which also says
// when to stop.
//
// Every file is written whole under a temporary name ("NAME.part~") beside its
// final name and renamed once complete, so a stopped export leaves only whole
// files. Whatever is not written is reported with its path and the reason.
#pragma once

#include "props/MapiRef.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

enum class EExportFormat { Eml, Mbox, Msg };

// What an export has written so far.
struct CExportCounts
{
    int nMessages = 0;      // messages written
    int nFolders = 0;       // folders that hold a message written
    int nAttachments = 0;   // attachments written, embedded messages included, at any depth
    int nEmbedded = 0;      // embedded messages written, at any depth
    int nNotWritten = 0;    // messages not written
    int nProblems = 0;      // parts of messages written without them
};

class IFolderExportSink
{
public:
    virtual ~IFolderExportSink() = default;
    // Asked before every message and folder; false stops the export for good.
    virtual bool KeepGoing() = 0;
    // A message was written into the folder at strFolder (its path in the store).
    virtual void OnWritten(const CExportCounts& counts, const std::string& strFolder) = 0;
    // Something was not written: where (a path in the store) and why.
    virtual void OnProblem(const std::string& strWhere, const std::string& strWhy) = 0;
};

class CFolderExport
{
public:
    CFolderExport(IMsgStore* pStore, EExportFormat format, bool bSubfolders, IFolderExportSink& sink);

    // Exports the folder into dir (made when missing); strWhere is the
    // folder's path in the store, for reports ("" for the top).
    void Folder(IMAPIFolder* pFolder, const std::string& strWhere, const std::filesystem::path& dir);

    // The folder named by a path of display names separated by "/" below pRoot
    // (pRoot itself for an empty path); empty when there is none.
    CRef<IMAPIFolder> Find(IMAPIFolder* pRoot, const std::string& strPath);

    const CExportCounts& Counts() const { return m_counts; }
    // Something was not written, or could not be read.
    bool Failed() const { return m_bFailed; }
    // The sink stopped the export before it ended.
    bool Stopped() const { return m_bStopped; }
    // "N messages written in F folders (A attachments, E embedded messages);
    // M not written", and "; P parts of messages not written" when there are any.
    std::string Summary() const;

private:
    bool Stopping();
    void EachRow(IMAPITable* pTable, const std::string& strWhere, const std::function<void(const SRow&)>& f);
    template <class I>
    CRef<I> Open(const SPropValue* pEid, const std::string& strWhere, const char* pszWhat);
    class CPendingFile;
    void Message(const SRow& row, const std::string& strFolder, const std::filesystem::path& dir, int nNumber,
                 std::unique_ptr<CPendingFile>& mbox);
    void Written(const std::string& strFolder);
    void Problem(const std::string& strWhere, const std::string& strWhy);
    void Fail(const std::string& strWhere, const std::string& strWhy);

    IMsgStore* m_pStore;
    EExportFormat m_format;
    bool m_bSubfolders;
    IFolderExportSink& m_sink;
    CExportCounts m_counts;
    std::string m_strLastFolder;
    bool m_bAnyFolder = false;
    bool m_bFailed = false;
    bool m_bStopped = false;
};

// The messages an export of the folder visits (its content count, and its
// subfolders' when bSubfolders), for a progress bar; counts that cannot be
// read count as none.
int CountFolderMessages(IMAPIFolder* pFolder, bool bSubfolders);

// A folder's display name as a file name: no slash or control character, at
// most 200 bytes cut at a whole UTF-8 character, never "", "." or "..".
std::string FolderFileName(const std::string& strName);
