// The Find window of a workspace (Ctrl+F): a query over any property, its
// scope, and the results, which fill while the search runs on a thread of
// its own. Choosing a result makes that message the tree's current node,
// expanding the path to it, so that the property list shows it. The trace pane
// gets the restriction calls the search makes.
#pragma once

#include "query/Search.h"
#include "workspace/CmdTarget.h"

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CDravikDoc;
class CLeftView;
class QComboBox;
class QCompleter;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeView;

// The results: folder path, subject, matching value.
class CFindResultsModel final : public QAbstractTableModel
{
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void Append(std::vector<dravik::query::SearchResult> results);
    void Clear();
    const dravik::query::SearchResult& Result(int row) const { return m_results[static_cast<size_t>(row)]; }

private:
    std::vector<dravik::query::SearchResult> m_results;
};

class CFindWindow final : public QWidget, public CDocView
{
    Q_OBJECT
public:
    enum Scope { ScopeFolder, ScopeFolderAndSubfolders, ScopeStore, ScopeAllStores };

    CFindWindow(CDravikDoc* pDoc, CLeftView* pTree, QWidget* pParent = nullptr);
    ~CFindWindow() override;

    // Stops a running search when the workspace disconnects.
    void OnUpdate(CDocView* pSender, long lHint, void* pHint) override;

    // The seams the buttons use, for tests as for the user.
    void SetQuery(const QString& strQuery);
    void SetScope(Scope scope);
    // Parses the query and starts the search; false (with the message shown) for a bad query or no connection.
    bool Start();
    void Stop();
    bool Running() const { return m_thread.joinable() && !m_bFinished.load(); }
    // Makes the result at row the tree's current node; false when the tree has no such object.
    bool ChooseResult(int row);

    CFindResultsModel* Results() const { return m_pModel; }
    QString StatusText() const;
    QLineEdit* QueryEdit() const { return m_pQuery; }
    // Called on the search's thread after each result is handed over (a seam
    // for tests that need the search held at a known point).
    void SetResultHook(std::function<void()> hook) { m_resultHook = std::move(hook); }
    // How often the results were brought in from the search while it ran (for the benchmark).
    int Drains() const { return m_nDrains; }

signals:
    // The search ended: it finished, was stopped, or failed.
    void finished();

private:
    void Drain();
    void Join();
    void CompleteWord();
    dravik::query::SearchStart StartFromCurrentNode(Scope scope, bool& ok) const;

    CDravikDoc* m_pDoc;
    CLeftView* m_pTree;
    QLineEdit* m_pQuery;
    QComboBox* m_pScope;
    QPushButton* m_pFind;
    QPushButton* m_pStop;
    QProgressBar* m_pProgress;
    QLabel* m_pStatus;
    QTreeView* m_pView;
    CFindResultsModel* m_pModel;
    QCompleter* m_pCompleter;
    QTimer* m_pTimer;

    // The search and what its thread hands to this one, under m_mutex.
    std::unique_ptr<dravik::query::CQuery> m_pQueryParsed;
    std::unique_ptr<dravik::query::CSearch> m_pSearch;
    std::thread m_thread;
    std::atomic<bool> m_bFinished{true};
    std::mutex m_mutex;
    std::vector<dravik::query::SearchResult> m_pending;
    std::vector<std::string> m_traceLines;
    std::string m_strFolder;
    int m_nErrors = 0;
    HRESULT m_hrResult = S_OK;
    int m_nDrains = 0;
    QElapsedTimer m_clock;  // since the search started
    std::function<void()> m_resultHook;
    QString m_strMessage;  // a bad query's message, or the end state
};
