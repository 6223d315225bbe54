#include "mapi/Prompts.h"

#include "mapi/MsgBox.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMainWindow>
#include <QMessageBox>

#include <atomic>

namespace {

std::atomic<bool> g_bQuit{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the quit flag is set from a signal handler");

QWidget* DefaultOwner()
{
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMainWindow*>(pWidget) != nullptr && pWidget->isVisible())
            return pWidget;
    }
    return nullptr;
}

// Qt's own dialogs, for the user.
class CQtPrompts final : public IPrompts
{
public:
    QString GetFileName(QWidget* pParent, const CFileRequest& request) override
    {
        QFileDialog dlg(pParent != nullptr ? pParent : DefaultOwner(), request.strTitle);
        // Qt's widget dialog, which CloseModalDialogs can close like any other.
        dlg.setOption(QFileDialog::DontUseNativeDialog);
        dlg.setAcceptMode(request.bOpen ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
        dlg.setFileMode(request.bOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
        if (!request.filters.isEmpty())
            dlg.setNameFilters(request.filters);
        if (!request.strDefaultExt.isEmpty())
            dlg.setDefaultSuffix(request.strDefaultExt);
        if (!request.strFileName.isEmpty()) {
            if (request.bOpen)
                dlg.setDirectory(request.strFileName);
            else
                dlg.selectFile(request.strFileName);
        }
        if (dlg.exec() != QDialog::Accepted || QuitRequested())
            return {};
        const QStringList files = dlg.selectedFiles();
        return files.isEmpty() ? QString() : files.front();
    }

    int ShowMessage(QWidget* pParent, const CMessageRequest& request) override
    {
        static constexpr QMessageBox::Icon kIcons[] = {QMessageBox::Information, QMessageBox::Warning,
                                                       QMessageBox::Critical, QMessageBox::Question};
        QMessageBox box(kIcons[request.nIcon], request.strTitle, request.strText,
                        QMessageBox::StandardButtons(request.nButtons),
                        pParent != nullptr ? pParent : DefaultOwner());
        if (request.nDefaultButton != 0)
            box.setDefaultButton(static_cast<QMessageBox::StandardButton>(request.nDefaultButton));
        const int nAnswer = box.exec();
        return QuitRequested() ? int(QMessageBox::Cancel) : nAnswer;
    }

    void ShowErrorReport(const QString& strMessage, const QString& strDetails, std::int32_t hr) override
    {
        CMsgBox dlg(DefaultOwner());
        dlg.m_strMessage = strMessage;
        dlg.m_strDetails = strDetails;
        dlg.m_strHResult = FormatHResultLine(hr);
        dlg.m_strMeaning = ErrorMeaningLine(hr);
        dlg.exec();
    }
};

// Every request answered as cancelled: the program is ending.
class CEndingPrompts final : public IPrompts
{
public:
    QString GetFileName(QWidget*, const CFileRequest&) override { return {}; }
    int ShowMessage(QWidget*, const CMessageRequest&) override { return QMessageBox::Cancel; }
    void ShowErrorReport(const QString&, const QString&, std::int32_t) override {}
};

CQtPrompts g_qtPrompts;
CEndingPrompts g_endingPrompts;
IPrompts* g_pInstalled = nullptr;

} // namespace

IPrompts& Prompts()
{
    if (QuitRequested())
        return g_endingPrompts;
    return g_pInstalled != nullptr ? *g_pInstalled : g_qtPrompts;
}

IPrompts* SetPrompts(IPrompts* pPrompts)
{
    IPrompts* pPrevious = g_pInstalled;
    g_pInstalled = pPrompts;
    return pPrevious;
}

bool QuitRequested() { return g_bQuit.load(std::memory_order_relaxed); }

void RequestQuit() { g_bQuit.store(true, std::memory_order_relaxed); }

void ResetQuitRequestForTest() { g_bQuit.store(false, std::memory_order_relaxed); }

void CloseModalDialogs()
{
    // Each dialog's exec() returns once the application leaves its event
    // loops; rejecting hides it at once, with the result a cancel gives.
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        if (!pWidget->isVisible() || !pWidget->isModal())
            continue;
        if (auto* pDialog = qobject_cast<QDialog*>(pWidget))
            pDialog->reject();
        else
            pWidget->close();
    }
}
