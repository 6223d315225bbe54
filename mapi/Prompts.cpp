#include "mapi/Prompts.h"

#include "mapi/MsgBox.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QInputDialog>
#include <QMainWindow>
#include <QMessageBox>
#include <QProgressDialog>

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
        if (request.bFolder) {
            dlg.setAcceptMode(QFileDialog::AcceptOpen);
            dlg.setFileMode(QFileDialog::Directory);
            dlg.setOption(QFileDialog::ShowDirsOnly);
        } else {
            dlg.setAcceptMode(request.bOpen ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
            dlg.setFileMode(request.bOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
        }
        if (!request.filters.isEmpty())
            dlg.setNameFilters(request.filters);
        if (!request.strDefaultExt.isEmpty())
            dlg.setDefaultSuffix(request.strDefaultExt);
        if (!request.strFileName.isEmpty()) {
            if (request.bOpen || request.bFolder)
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

    int ChooseItem(QWidget* pParent, const CChoiceRequest& request) override
    {
        QInputDialog dlg(pParent != nullptr ? pParent : DefaultOwner());
        dlg.setWindowTitle(request.strTitle);
        dlg.setLabelText(request.strLabel);
        dlg.setComboBoxItems(request.items);
        dlg.setComboBoxEditable(false);
        dlg.setTextValue(request.items.value(request.nDefault));
        if (dlg.exec() != QDialog::Accepted || QuitRequested())
            return -1;
        return int(request.items.indexOf(dlg.textValue()));
    }

    std::unique_ptr<IProgress> BeginProgress(QWidget* pParent, const CProgressRequest& request) override;
};

// Qt's progress dialog, modal: while the task runs, the user can only cancel
// it. Events are handled (and the bar moved) at most every 50 ms, so a task of
// many small steps is not slowed by painting.
class CQtProgress final : public IProgress
{
public:
    CQtProgress(QWidget* pParent, const CProgressRequest& request)
        : m_dlg(request.strLabel, QStringLiteral("Cancel"), 0, request.nTotal, pParent)
    {
        m_dlg.setWindowTitle(request.strTitle);
        m_dlg.setWindowModality(Qt::ApplicationModal);
        m_dlg.setAutoReset(false);
        m_dlg.setAutoClose(false);
        m_dlg.setMinimumDuration(500);
        m_dlg.setValue(0);
        m_timer.start();
    }

    bool Step(int nDone, const QString& strText) override
    {
        if (m_dlg.wasCanceled() || QuitRequested())
            return false;
        if (m_timer.elapsed() < 50)
            return true;
        m_timer.restart();
        if (m_dlg.maximum() != 0 && nDone >= m_dlg.maximum())
            m_dlg.setMaximum(nDone + 1);
        m_dlg.setLabelText(strText);
        m_dlg.setValue(nDone); // handles events while the dialog is modal
        QApplication::processEvents();
        return !m_dlg.wasCanceled() && !QuitRequested();
    }

private:
    QProgressDialog m_dlg;
    QElapsedTimer m_timer;
};

std::unique_ptr<IProgress> CQtPrompts::BeginProgress(QWidget* pParent, const CProgressRequest& request)
{
    return std::make_unique<CQtProgress>(pParent != nullptr ? pParent : DefaultOwner(), request);
}

// A task's progress while the program is ending: cancelled from the start.
class CCancelledProgress final : public IProgress
{
public:
    bool Step(int, const QString&) override { return false; }
};

// Every request answered as cancelled: the program is ending.
class CEndingPrompts final : public IPrompts
{
public:
    QString GetFileName(QWidget*, const CFileRequest&) override { return {}; }
    int ShowMessage(QWidget*, const CMessageRequest&) override { return QMessageBox::Cancel; }
    void ShowErrorReport(const QString&, const QString&, std::int32_t) override {}
    int ChooseItem(QWidget*, const CChoiceRequest&) override { return -1; }
    std::unique_ptr<IProgress> BeginProgress(QWidget*, const CProgressRequest&) override
    {
        return std::make_unique<CCancelledProgress>();
    }
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
