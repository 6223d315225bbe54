#include "workspace/OpenServiceDlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

COpenServiceDlg::COpenServiceDlg(QWidget* pParent)
    : QDialog(pParent)
{
    setObjectName(QStringLiteral("COpenServiceDlg"));
    setWindowTitle(QStringLiteral("Open Exchange Mailbox"));
    auto* pLayout = new QVBoxLayout(this);
    auto* pIntro = new QLabel(QStringLiteral("Please enter the information required to access the Exchange server "
                                             "mailbox you want to access."), this);
    pIntro->setWordWrap(true);
    pLayout->addWidget(pIntro);
    auto* pForm = new QFormLayout;
    m_pServer = new QLineEdit(this);
    m_pServer->setObjectName(QStringLiteral("server"));
    m_pMailbox = new QLineEdit(this);
    m_pMailbox->setObjectName(QStringLiteral("mailbox"));
    m_pPassword = new QLineEdit(this);
    m_pPassword->setObjectName(QStringLiteral("password"));
    m_pPassword->setEchoMode(QLineEdit::Password);
    pForm->addRow(QStringLiteral("Microsoft Exchange Server:"), m_pServer);
    pForm->addRow(QStringLiteral("Mailbox Name:"), m_pMailbox);
    pForm->addRow(QStringLiteral("Account Password:"), m_pPassword);
    pLayout->addLayout(pForm);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    pButtons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(pButtons, &QDialogButtonBox::accepted, this, &COpenServiceDlg::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    pLayout->addWidget(pButtons);
    setTabOrder(m_pServer, m_pMailbox);
    setTabOrder(m_pMailbox, m_pPassword);
}

int COpenServiceDlg::exec()
{
    m_pServer->setText(m_strServer);
    m_pMailbox->setText(m_strMailbox);
    m_pPassword->setText(m_strPassword);
    return QDialog::exec();
}

void COpenServiceDlg::accept()
{
    m_strServer = m_pServer->text();
    m_strMailbox = m_pMailbox->text();
    m_strPassword = m_pPassword->text();
    QDialog::accept();
}
