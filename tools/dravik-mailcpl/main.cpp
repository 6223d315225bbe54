// Lists the MAPI profiles and lets the user create and delete them, choose
// the default one, and add or remove store files of a profile.
#include "mapi/Prompts.h"
#include "mapi/TempProfileOwners.h"
#include "mapi32/mapicode.h"
#include "mapi32/mapidefs.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"

#include "DravikVersion.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Row
{
    QString strName;
    bool bDefault = false;
    QByteArray uid;
    QString strService;
};

// Owns one IUnknown-derived pointer.
template <class I>
struct Ref
{
    I* p = nullptr;
    ~Ref() { if (p) p->Release(); }
};

QString StringOf(const SPropValue& v)
{
    return PROP_TYPE(v.ulPropTag) == PT_STRING8 && v.Value.lpszA ? QString::fromUtf8(v.Value.lpszA) : QString();
}

std::vector<Row> ReadRows(IMAPITable* pTable, std::vector<ULONG> tags)
{
    std::vector<Row> rows;
    std::vector<ULONG> buffer(tags.size() + 1);
    buffer[0] = static_cast<ULONG>(tags.size());
    std::memcpy(buffer.data() + 1, tags.data(), tags.size() * sizeof(ULONG));
    LPSRowSet pRows = nullptr;
    if (FAILED(HrQueryAllRows(pTable, reinterpret_cast<LPSPropTagArray>(buffer.data()), nullptr, nullptr, 0, &pRows)))
        return rows;
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        Row row;
        for (ULONG j = 0; j < pRows->aRow[i].cValues; ++j) {
            const SPropValue& v = pRows->aRow[i].lpProps[j];
            if (PROP_ID(v.ulPropTag) == PROP_ID(PR_DISPLAY_NAME))
                row.strName = StringOf(v);
            else if (v.ulPropTag == PR_DEFAULT_PROFILE)
                row.bDefault = v.Value.b != 0;
            else if (v.ulPropTag == PR_SERVICE_UID)
                row.uid = QByteArray(reinterpret_cast<const char*>(v.Value.bin.lpb), static_cast<int>(v.Value.bin.cb));
            else if (PROP_ID(v.ulPropTag) == PROP_ID(PR_SERVICE_NAME))
                row.strService = StringOf(v);
        }
        rows.push_back(row);
    }
    FreeProws(pRows);
    return rows;
}

QString HrText(HRESULT hr)
{
    return QStringLiteral("0x%1").arg(static_cast<quint32>(hr), 8, 16, QLatin1Char('0'));
}

class CMailControlPanel : public QWidget
{
public:
    CMailControlPanel()
    {
        setWindowTitle(QStringLiteral("Mail Control Panel"));
        auto* pLayout = new QHBoxLayout(this);
        auto* pLeft = new QVBoxLayout;
        pLeft->addWidget(new QLabel(QStringLiteral("Profiles:"), this));
        m_pProfiles = new QListWidget(this);
        pLeft->addWidget(m_pProfiles);
        auto* pRight = new QVBoxLayout;
        pRight->addWidget(new QLabel(QStringLiteral("Services of the profile:"), this));
        m_pServices = new QListWidget(this);
        pRight->addWidget(m_pServices);
        auto* pButtons = new QVBoxLayout;
        const auto button = [&](const char* pszText, auto fn) {
            auto* pButton = new QPushButton(QString::fromLatin1(pszText), this);
            connect(pButton, &QPushButton::clicked, this, fn);
            pButtons->addWidget(pButton);
        };
        button("New Profile...", [this]() { NewProfile(); });
        button("Delete Profile", [this]() { DeleteProfile(); });
        button("Set as Default", [this]() { SetDefault(); });
        button("Add Store File...", [this]() { AddStore(); });
        button("Remove Service", [this]() { RemoveService(); });
        button("Close", [this]() { close(); });
        pButtons->addStretch();
        pLayout->addLayout(pLeft, 1);
        pLayout->addLayout(pRight, 1);
        pLayout->addLayout(pButtons);
        connect(m_pProfiles, &QListWidget::currentRowChanged, this, [this]() { LoadServices(); });
        LoadProfiles();
    }

private:
    QString CurrentProfile() const
    {
        const QListWidgetItem* pItem = m_pProfiles->currentItem();
        return pItem ? pItem->data(Qt::UserRole).toString() : QString();
    }

    bool Admin(Ref<IProfAdmin>& admin)
    {
        const HRESULT hr = MAPIAdminProfiles(0, &admin.p);
        if (FAILED(hr))
            Report(QStringLiteral("The profiles cannot be opened"), hr);
        return SUCCEEDED(hr);
    }

    void Report(const QString& strWhat, HRESULT hr)
    {
        CMessageRequest request;
        request.nIcon = CMessageRequest::Warning;
        request.strTitle = windowTitle();
        request.strText = QStringLiteral("%1 (%2).").arg(strWhat, HrText(hr));
        Prompts().ShowMessage(this, request);
    }

    void LoadProfiles()
    {
        const QString strKeep = CurrentProfile();
        m_pProfiles->clear();
        Ref<IProfAdmin> admin;
        Ref<IMAPITable> table;
        if (!Admin(admin) || FAILED(admin.p->GetProfileTable(0, &table.p)))
            return;
        for (const Row& row : ReadRows(table.p, {PR_DISPLAY_NAME, PR_DEFAULT_PROFILE})) {
            auto* pItem = new QListWidgetItem(row.bDefault ? row.strName + QStringLiteral(" (default)") : row.strName,
                                              m_pProfiles);
            pItem->setData(Qt::UserRole, row.strName);
            if (row.strName == strKeep)
                m_pProfiles->setCurrentItem(pItem);
        }
        LoadServices();
    }

    bool ServiceAdmin(Ref<IProfAdmin>& admin, Ref<IMsgServiceAdmin>& services)
    {
        const QByteArray name = CurrentProfile().toUtf8();
        if (name.isEmpty() || !Admin(admin))
            return false;
        const HRESULT hr = admin.p->AdminServices(const_cast<LPSTR>(name.constData()), nullptr, 0, 0, &services.p);
        if (FAILED(hr))
            Report(QStringLiteral("The services of the profile cannot be opened"), hr);
        return SUCCEEDED(hr);
    }

    void LoadServices()
    {
        m_pServices->clear();
        if (CurrentProfile().isEmpty())
            return;
        Ref<IProfAdmin> admin;
        Ref<IMsgServiceAdmin> services;
        Ref<IMAPITable> table;
        if (!ServiceAdmin(admin, services) || FAILED(services.p->GetMsgServiceTable(0, &table.p)))
            return;
        for (const Row& row : ReadRows(table.p, {PR_DISPLAY_NAME, PR_SERVICE_NAME, PR_SERVICE_UID})) {
            auto* pItem = new QListWidgetItem(QStringLiteral("%1 [%2]").arg(row.strName, row.strService), m_pServices);
            pItem->setData(Qt::UserRole, row.uid);
        }
    }

    void NewProfile()
    {
        bool bOk = false;
        const QString strName = QInputDialog::getText(this, windowTitle(), QStringLiteral("Name of the new profile:"),
                                                      QLineEdit::Normal, QString(), &bOk);
        if (!bOk || strName.isEmpty())
            return;
        Ref<IProfAdmin> admin;
        if (!Admin(admin))
            return;
        const QByteArray name = strName.toUtf8();
        const HRESULT hr = admin.p->CreateProfile(const_cast<LPSTR>(name.constData()), nullptr, 0, 0);
        if (FAILED(hr))
            Report(QStringLiteral("The profile cannot be created"), hr);
        LoadProfiles();
    }

    void DeleteProfile()
    {
        const QString strName = CurrentProfile();
        if (strName.isEmpty())
            return;
        // A workspace's temporary profile goes with its workspace.
        if (const pid_t owner = tempprofiles::LiveOwner(strName.toStdString())) {
            CMessageRequest refusal;
            refusal.nIcon = CMessageRequest::Warning;
            refusal.strTitle = windowTitle();
            refusal.strText = QStringLiteral("The profile %1 is in use by Dravik (process %2): it is deleted when "
                                             "its workspace is closed.")
                                  .arg(strName)
                                  .arg(owner);
            Prompts().ShowMessage(this, refusal);
            return;
        }
        CMessageRequest request;
        request.nIcon = CMessageRequest::Question;
        request.strTitle = windowTitle();
        request.strText = QStringLiteral("Delete the profile %1?").arg(strName);
        request.nButtons = QMessageBox::Yes | QMessageBox::No;
        if (Prompts().ShowMessage(this, request) != QMessageBox::Yes)
            return;
        Ref<IProfAdmin> admin;
        if (!Admin(admin))
            return;
        const QByteArray name = strName.toUtf8();
        const HRESULT hr = admin.p->DeleteProfile(const_cast<LPSTR>(name.constData()), 0);
        if (FAILED(hr))
            Report(QStringLiteral("The profile cannot be deleted"), hr);
        LoadProfiles();
    }

    void SetDefault()
    {
        const QByteArray name = CurrentProfile().toUtf8();
        Ref<IProfAdmin> admin;
        if (name.isEmpty() || !Admin(admin))
            return;
        const HRESULT hr = admin.p->SetDefaultProfile(const_cast<LPSTR>(name.constData()), 0);
        if (FAILED(hr))
            Report(QStringLiteral("The default profile cannot be set"), hr);
        LoadProfiles();
    }

    void AddStore()
    {
        Ref<IProfAdmin> admin;
        Ref<IMsgServiceAdmin> services;
        if (!ServiceAdmin(admin, services))
            return;
        CFileRequest request;
        request.strTitle = QStringLiteral("Add Store File");
        request.filters = {QStringLiteral("Outlook Personal Store (*.pst)"), QStringLiteral("Outlook Offline Store (*.ost)"),
                           QStringLiteral("All Files (*)")};
        const QString strPath = Prompts().GetFileName(this, request);
        if (strPath.isEmpty())
            return;
        // The new service is the one whose UID was not there before.
        std::vector<QByteArray> before;
        {
            Ref<IMAPITable> table;
            if (SUCCEEDED(services.p->GetMsgServiceTable(0, &table.p)))
                for (const Row& row : ReadRows(table.p, {PR_SERVICE_UID}))
                    before.push_back(row.uid);
        }
        const QByteArray display = QFileInfo(strPath).fileName().toUtf8();
        HRESULT hr = services.p->CreateMsgService(const_cast<LPSTR>("MSPST MS"), const_cast<LPSTR>(display.constData()),
                                                  0, 0);
        if (FAILED(hr)) {
            Report(QStringLiteral("The store service cannot be added"), hr);
            return;
        }
        QByteArray uid;
        {
            Ref<IMAPITable> table;
            if (SUCCEEDED(services.p->GetMsgServiceTable(0, &table.p)))
                for (const Row& row : ReadRows(table.p, {PR_SERVICE_UID}))
                    if (std::find(before.begin(), before.end(), row.uid) == before.end())
                        uid = row.uid;
        }
        const QByteArray path = QFileInfo(strPath).absoluteFilePath().toUtf8();
        SPropValue value{};
        value.ulPropTag = PR_PST_PATH;
        value.Value.lpszA = const_cast<LPSTR>(path.constData());
        hr = uid.size() >= static_cast<int>(sizeof(MAPIUID))
                 ? services.p->ConfigureMsgService(reinterpret_cast<LPMAPIUID>(uid.data()), 0, 0, 1, &value)
                 : MAPI_E_NOT_FOUND;
        if (FAILED(hr)) {
            Report(QStringLiteral("The store file cannot be set"), hr);
            if (uid.size() >= static_cast<int>(sizeof(MAPIUID)))
                services.p->DeleteMsgService(reinterpret_cast<LPMAPIUID>(uid.data()));
        }
        LoadServices();
    }

    void RemoveService()
    {
        const QListWidgetItem* pItem = m_pServices->currentItem();
        if (pItem == nullptr)
            return;
        QByteArray uid = pItem->data(Qt::UserRole).toByteArray();
        Ref<IProfAdmin> admin;
        Ref<IMsgServiceAdmin> services;
        if (uid.size() < static_cast<int>(sizeof(MAPIUID)) || !ServiceAdmin(admin, services))
            return;
        const HRESULT hr = services.p->DeleteMsgService(reinterpret_cast<LPMAPIUID>(uid.data()));
        if (FAILED(hr))
            Report(QStringLiteral("The service cannot be removed"), hr);
        LoadServices();
    }

    QListWidget* m_pProfiles;
    QListWidget* m_pServices;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication::setApplicationName(QStringLiteral("dravik-mailcpl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DRAVIK_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Mail Control Panel: the MAPI profiles of Dravik"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    // Help and version only write text: they are answered without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (parser.parse(arguments) && (parser.isSet(help) || parser.isSet(version))) {
        QCoreApplication textApp(argc, argv);
        parser.process(textApp);
    }
    QApplication app(argc, argv);
    // Any other line once Qt has taken its own options out.
    parser.process(app);
    const HRESULT hr = MAPIInitialize(nullptr);
    if (FAILED(hr)) {
        CMessageRequest request;
        request.nIcon = CMessageRequest::Critical;
        request.strTitle = QStringLiteral("Mail Control Panel");
        request.strText = QStringLiteral("The MAPI subsystem cannot be initialised (%1).").arg(HrText(hr));
        Prompts().ShowMessage(nullptr, request);
        return 1;
    }
    CMailControlPanel panel;
    panel.resize(640, 360);
    panel.show();
    return QApplication::exec();
}
