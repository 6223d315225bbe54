#include "app/ProgStatusBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

CProgStatusBar::CProgStatusBar(QWidget* pParent)
    : QStatusBar(pParent)
{
    setObjectName(QStringLiteral("CProgStatusBar"));
    setSizeGripEnabled(false);
    m_pMessage = new QLabel(QStringLiteral("Ready"), this);
    m_pMessage->setObjectName(QStringLiteral("messagePane"));
    addWidget(m_pMessage, 1);

    // Pane 1 ("Progress Bar"): empty, borderless, 100 pixels wide.
    m_pProgressPane = new QWidget(this);
    m_pProgressPane->setObjectName(QStringLiteral("progressPane"));
    m_pProgressPane->setFixedWidth(100);
    m_pProgressPane->setToolTip(QStringLiteral("Progress Bar"));
    auto* pLayout = new QHBoxLayout(m_pProgressPane);
    pLayout->setContentsMargins(0, 0, 0, 0);
    m_wndProgress = new QProgressBar(m_pProgressPane);
    m_wndProgress->setObjectName(QStringLiteral("progress"));
    m_wndProgress->setRange(0, 100);
    m_wndProgress->setValue(0);
    m_wndProgress->setTextVisible(false);
    m_wndProgress->hide();
    pLayout->addWidget(m_wndProgress);
    addPermanentWidget(m_pProgressPane);
    setStyleSheet(QStringLiteral("QStatusBar::item { border: none; }"));
}

void CProgStatusBar::SetProgressPane(int nPane)
{
    m_nProgressPane = nPane;
}

void CProgStatusBar::SetProgress(int nPercent)
{
    m_wndProgress->setVisible(nPercent >= 1 && nPercent <= 98);
    m_wndProgress->setValue(std::clamp(nPercent, 0, 100));
    if (nPercent == 0)
        SetMessageText(QStringLiteral("Ready"));
    // The bar is drawn when the listing next lets the window repaint (the
    // tree does every few tens of milliseconds), not at every step: a
    // repaint per step cost as much as listing many rows.
    m_wndProgress->update();
}

QString CProgStatusBar::MessageText() const
{
    return m_pMessage->text();
}

void CProgStatusBar::SetMessageText(const QString& strText)
{
    m_pMessage->setText(strText);
}
