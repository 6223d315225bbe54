// "Open Exchange Mailbox": server, mailbox and password of a mailbox.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;

class COpenServiceDlg : public QDialog
{
    Q_OBJECT
public:
    explicit COpenServiceDlg(QWidget* pParent = nullptr);

    QString m_strServer;
    QString m_strMailbox;
    QString m_strPassword;

    int exec() override;
    void accept() override;

private:
    QLineEdit* m_pServer;
    QLineEdit* m_pMailbox;
    QLineEdit* m_pPassword;
};
