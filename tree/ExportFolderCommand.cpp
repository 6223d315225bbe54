#include "tree/ExportFolderCommand.h"

#include "mapi/Prompts.h"
#include "tree/FolderExport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>

#include <filesystem>

namespace {

// Problems listed in the closing message; the rest are counted.
constexpr int kProblemsShown = 20;

class CProgressSink final : public IFolderExportSink
{
public:
    CProgressSink(IProgress& progress, int nTotal) : m_progress(progress), m_nTotal(nTotal) {}

    bool KeepGoing() override
    {
        if (m_bKeepGoing)
            m_bKeepGoing = m_progress.Step(m_nDone, m_strText);
        return m_bKeepGoing;
    }

    void OnWritten(const CExportCounts& counts, const std::string& strFolder) override
    {
        m_nDone = counts.nMessages + counts.nNotWritten;
        m_strText = QStringLiteral("%1 of %2 messages written: %3")
                        .arg(counts.nMessages)
                        .arg(m_nTotal)
                        .arg(QString::fromStdString(strFolder));
    }

    void OnProblem(const std::string& strWhere, const std::string& strWhy) override
    {
        m_problems << QString::fromStdString(strWhere + ": " + strWhy);
    }

    QStringList m_problems;

private:
    IProgress& m_progress;
    const int m_nTotal;
    int m_nDone = 0;
    QString m_strText;
    bool m_bKeepGoing = true;
};

bool HasSubfolders(IMAPIFolder* pFolder)
{
    CRef<IMAPITable> table;
    ULONG ulCount = 0;
    return SUCCEEDED(pFolder->GetHierarchyTable(0, table.Out())) && SUCCEEDED(table->GetRowCount(0, &ulCount)) &&
           ulCount > 0;
}

} // namespace

void ExportFolderWithPrompts(IMsgStore* pStore, IMAPIFolder* pFolder, const QString& strName, QWidget* pParent)
{
    if (pStore == nullptr || pFolder == nullptr)
        return;
    CChoiceRequest choice;
    choice.strTitle = QStringLiteral("Export Folder");
    choice.strLabel = QStringLiteral("Export \"%1\" as:").arg(strName);
    choice.items = {QStringLiteral("Internet messages (.eml), one file per message"),
                    QStringLiteral("mbox, one file per folder"),
                    QStringLiteral("Outlook messages (.msg), one file per message")};
    const int nFormat = Prompts().ChooseItem(pParent, choice);
    if (nFormat < 0 || nFormat >= int(choice.items.size()))
        return;
    const EExportFormat format = nFormat == kExportFormatMbox  ? EExportFormat::Mbox
                                 : nFormat == kExportFormatMsg ? EExportFormat::Msg
                                                               : EExportFormat::Eml;

    bool bSubfolders = false;
    if (HasSubfolders(pFolder)) {
        CMessageRequest ask;
        ask.nIcon = CMessageRequest::Question;
        ask.strTitle = QStringLiteral("Export Folder");
        ask.strText = QStringLiteral("Export the subfolders of \"%1\" too?").arg(strName);
        ask.nButtons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        ask.nDefaultButton = QMessageBox::Yes;
        const int nAnswer = Prompts().ShowMessage(pParent, ask);
        if (nAnswer != QMessageBox::Yes && nAnswer != QMessageBox::No)
            return;
        bSubfolders = nAnswer == QMessageBox::Yes;
    }

    CFileRequest request;
    request.bFolder = true;
    request.strTitle = QStringLiteral("Export \"%1\" Into").arg(strName);
    request.strFileName = QDir::homePath();
    const QString strInto = Prompts().GetFileName(pParent, request);
    if (strInto.isEmpty())
        return;
    const QString strTarget = QDir(strInto).filePath(QString::fromStdString(FolderFileName(strName.toStdString())));
    if (QFileInfo::exists(strTarget)) {
        CMessageRequest ask;
        ask.nIcon = CMessageRequest::Warning;
        ask.strTitle = QStringLiteral("Export Folder");
        ask.strText = QStringLiteral("%1 already exists. Files of the same names in it will be replaced. Export into "
                                     "it?")
                          .arg(QDir::toNativeSeparators(strTarget));
        ask.nButtons = QMessageBox::Yes | QMessageBox::No;
        ask.nDefaultButton = QMessageBox::No;
        if (Prompts().ShowMessage(pParent, ask) != QMessageBox::Yes)
            return;
    }

    CProgressRequest progressRequest;
    progressRequest.strTitle = QStringLiteral("Export Folder");
    progressRequest.strLabel = QStringLiteral("Exporting \"%1\"...").arg(strName);
    progressRequest.nTotal = CountFolderMessages(pFolder, bSubfolders);
    CExportCounts counts;
    bool bFailed = false;
    bool bStopped = false;
    std::string strSummary;
    QStringList problems;
    {
        std::unique_ptr<IProgress> progress = Prompts().BeginProgress(pParent, progressRequest);
        CProgressSink sink(*progress, progressRequest.nTotal);
        CFolderExport exporter(pStore, format, bSubfolders, sink);
        exporter.Folder(pFolder, "/" + strName.toStdString(), std::filesystem::path(QFile::encodeName(strTarget).toStdString()));
        bFailed = exporter.Failed();
        bStopped = exporter.Stopped();
        strSummary = exporter.Summary();
        problems = sink.m_problems;
    }

    CMessageRequest done;
    done.nIcon = bFailed ? CMessageRequest::Warning : CMessageRequest::Information;
    done.strTitle = QStringLiteral("Export Folder");
    QString strText = bStopped ? QStringLiteral("Export of \"%1\" into %2 cancelled: the files written are whole.\n")
                               : QStringLiteral("Export of \"%1\" into %2 done.\n");
    strText = strText.arg(strName, QDir::toNativeSeparators(strTarget));
    strText += QString::fromStdString(strSummary) + QLatin1Char('.');
    if (!problems.isEmpty()) {
        strText += QStringLiteral("\n\nNot written:\n") + problems.mid(0, kProblemsShown).join(QLatin1Char('\n'));
        if (problems.size() > kProblemsShown)
            strText += QStringLiteral("\n... and %1 more").arg(problems.size() - kProblemsShown);
    }
    done.strText = strText;
    Prompts().ShowMessage(pParent, done);
}
