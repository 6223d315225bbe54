// Test answers for the program's prompts: each request is recorded, and the
// answers queued by the test are handed out in order. A request with no
// answer left is recorded as unexpected and answered as cancelled, so a test
// that meets a dialog it did not plan for fails instead of hanging.
#pragma once

#include "mapi/Prompts.h"

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

class CScriptedPrompts final : public IPrompts
{
public:
    struct CErrorReport
    {
        QString strMessage;
        QString strDetails;
        std::int32_t hr = 0;
    };

    // Installs itself for its lifetime.
    CScriptedPrompts() { m_pPrevious = SetPrompts(this); }
    ~CScriptedPrompts() override { SetPrompts(m_pPrevious); }
    CScriptedPrompts(const CScriptedPrompts&) = delete;
    CScriptedPrompts& operator=(const CScriptedPrompts&) = delete;

    // The next file dialog answers this path (empty: cancel).
    void AnswerFile(const QString& strPath) { m_files.push_back(strPath); }
    // The next message box answers this button.
    void AnswerMessage(int nButton) { m_messages.push_back(nButton); }
    // The next choice answers this index (-1: cancel).
    void AnswerChoice(int nIndex) { m_choices.push_back(nIndex); }
    // The next progress is cancelled by the user at its nSteps-th step.
    void CancelProgressAt(int nSteps) { m_cancelAt.push_back(nSteps); }

    QString GetFileName(QWidget*, const CFileRequest& request) override
    {
        m_fileRequests.push_back(request);
        if (m_files.empty()) {
            m_unexpected << QStringLiteral("file dialog \"%1\"").arg(request.strTitle);
            return {};
        }
        QString strPath = m_files.front();
        m_files.pop_front();
        return strPath;
    }

    int ShowMessage(QWidget*, const CMessageRequest& request) override
    {
        m_messageRequests.push_back(request);
        if (m_messages.empty()) {
            m_unexpected << QStringLiteral("message box \"%1\"").arg(request.strText);
            return QMessageBox::Cancel;
        }
        const int nButton = m_messages.front();
        m_messages.pop_front();
        return nButton;
    }

    void ShowErrorReport(const QString& strMessage, const QString& strDetails, std::int32_t hr) override
    {
        m_errorReports.push_back({strMessage, strDetails, hr});
    }

    int ChooseItem(QWidget*, const CChoiceRequest& request) override
    {
        m_choiceRequests.push_back(request);
        if (m_choices.empty()) {
            m_unexpected << QStringLiteral("choice \"%1\"").arg(request.strLabel);
            return -1;
        }
        const int nIndex = m_choices.front();
        m_choices.pop_front();
        return nIndex;
    }

    // A progress that records its steps; it runs to the end unless the test
    // asked for a cancel.
    class CProgress final : public IProgress
    {
    public:
        CProgress(CScriptedPrompts& owner, int nCancelAt) : m_owner(owner), m_nCancelAt(nCancelAt) {}
        bool Step(int nDone, const QString& strText) override
        {
            m_owner.m_progressSteps.push_back({nDone, strText});
            ++m_nSteps;
            return m_nCancelAt <= 0 || m_nSteps < m_nCancelAt;
        }

    private:
        CScriptedPrompts& m_owner;
        int m_nCancelAt;
        int m_nSteps = 0;
    };

    std::unique_ptr<IProgress> BeginProgress(QWidget*, const CProgressRequest& request) override
    {
        m_progressRequests.push_back(request);
        int nCancelAt = 0;
        if (!m_cancelAt.empty()) {
            nCancelAt = m_cancelAt.front();
            m_cancelAt.pop_front();
        }
        return std::make_unique<CProgress>(*this, nCancelAt);
    }

    std::vector<CChoiceRequest> m_choiceRequests;
    std::vector<CProgressRequest> m_progressRequests;
    std::vector<std::pair<int, QString>> m_progressSteps;
    std::vector<CFileRequest> m_fileRequests;
    std::vector<CMessageRequest> m_messageRequests;
    std::vector<CErrorReport> m_errorReports;
    // Requests that found no answer queued.
    QStringList m_unexpected;

private:
    IPrompts* m_pPrevious = nullptr;
    std::deque<QString> m_files;
    std::deque<int> m_messages;
    std::deque<int> m_choices;
    std::deque<int> m_cancelAt;
};
