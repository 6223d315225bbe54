// A workspace window's status bar: a message pane and a 100-pixel pane
// holding a progress control.
#pragma once

#include <QStatusBar>

class QLabel;
class QProgressBar;

class CProgStatusBar : public QStatusBar
{
    Q_OBJECT
public:
    explicit CProgStatusBar(QWidget* pParent = nullptr);

    void SetProgressPane(int nPane);
    // 1 to 98 show the bar at that position; anything else hides it; 0 also
    // puts "Ready" back into the message pane.
    void SetProgress(int nPercent);

    QProgressBar* ProgressControl() const { return m_wndProgress; }
    QString MessageText() const;
    void SetMessageText(const QString& strText);

    int m_nProgressPane = 0;

private:
    QLabel* m_pMessage = nullptr;
    QWidget* m_pProgressPane = nullptr;
    QProgressBar* m_wndProgress = nullptr;
};
