#include "app/LogonDialogs.h"

#include "mapi32/mapicode.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

HRESULT CProfileChooser::ChooseProfile(ULONG, const std::vector<std::string>& profiles,
                                       const std::string& defaultProfile, std::string& chosen)
{
    QDialog dlg(QApplication::activeWindow());
    dlg.setObjectName(QStringLiteral("profileChooser"));
    dlg.setWindowTitle(QStringLiteral("Choose Profile"));
    auto* pLayout = new QVBoxLayout(&dlg);
    pLayout->addWidget(new QLabel(QStringLiteral("Profile Name:"), &dlg));
    auto* pList = new QListWidget(&dlg);
    pList->setObjectName(QStringLiteral("profiles"));
    for (const std::string& strName : profiles) {
        auto* pItem = new QListWidgetItem(QString::fromStdString(strName), pList);
        if (strName == defaultProfile)
            pList->setCurrentItem(pItem);
    }
    if (pList->currentItem() == nullptr && pList->count() > 0)
        pList->setCurrentRow(0);
    pLayout->addWidget(pList);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dlg);
    pButtons->button(QDialogButtonBox::Ok)->setEnabled(pList->count() > 0);
    QObject::connect(pButtons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
    QObject::connect(pButtons, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
    QObject::connect(pList, &QListWidget::itemDoubleClicked, &dlg, &QDialog::accept);
    pLayout->addWidget(pButtons);
    if (dlg.exec() != QDialog::Accepted || pList->currentItem() == nullptr)
        return MAPI_E_USER_CANCEL;
    chosen = pList->currentItem()->text().toStdString();
    return S_OK;
}

HRESULT CStorePasswordPrompt::AskStorePassword(ULONG, const std::string& storeDisplayName,
                                               const std::string& storePath, std::string& password)
{
    bool bOk = false;
    const QString strText = QInputDialog::getText(
        QApplication::activeWindow(), QStringLiteral("Store Password"),
        QStringLiteral("Password for %1\n(%2):").arg(QString::fromStdString(storeDisplayName),
                                                     QString::fromStdString(storePath)),
        QLineEdit::Password, QString(), &bOk);
    if (!bOk)
        return MAPI_E_USER_CANCEL;
    password = strText.toStdString();
    return S_OK;
}
