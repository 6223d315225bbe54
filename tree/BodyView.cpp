#include "tree/BodyView.h"

#include "mapi32/mapicode.h"
#include "props/DateText.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QImage>
#include <QLabel>
#include <QUrl>
#include <QVBoxLayout>

CBodyBrowser::CBodyBrowser(QWidget* pParent) : QTextBrowser(pParent)
{
    // Links are shown, never followed: no navigation, no other program started.
    setOpenLinks(false);
    setOpenExternalLinks(false);
}

CBodyBrowser::~CBodyBrowser()
{
    if (m_pMessage)
        m_pMessage->Release();
}

void CBodyBrowser::SetMessage(IMessage* pMessage)
{
    if (pMessage)
        pMessage->AddRef();
    if (m_pMessage)
        m_pMessage->Release();
    m_pMessage = pMessage;
}

QVariant CBodyBrowser::loadResource(int nType, const QUrl& url)
{
    // Only images of the message itself; nothing remote, nothing from disk.
    if (url.scheme().compare(QLatin1String("cid"), Qt::CaseInsensitive) == 0 && m_pMessage &&
        nType == QTextDocument::ImageResource) {
        std::vector<uint8_t> data;
        std::string strMime;
        const std::string cid = QUrl::fromPercentEncoding(url.path(QUrl::FullyEncoded).toUtf8()).toStdString();
        if (SUCCEEDED(dravik::content::ReadAttachmentByContentId(m_pMessage, cid, data, strMime))) {
            QImage image;
            if (image.loadFromData(data.data(), static_cast<int>(data.size()))) {
                ++m_nResolved;
                return image;
            }
        }
    }
    m_refused << url.toString();
    return QVariant();
}

CBodyView::CBodyView(IMessage* pMessage, const QString& strTitle, QWidget* pParent) : QDialog(pParent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(strTitle.isEmpty() ? QStringLiteral("Body") : QStringLiteral("Body - %1").arg(strTitle));
    resize(720, 560);

    dravik::content::MessageHeaders headers;
    if (pMessage) {
        dravik::content::ReadMessageHeaders(pMessage, headers);
        dravik::content::ReadMessageBody(pMessage, m_body);
    }
    auto* pLayout = new QVBoxLayout(this);
    auto* pForm = new QFormLayout;
    auto line = [&](const char* pszLabel, const std::string& text) {
        auto* pValue = new QLabel(QString::fromStdString(text), this);
        pValue->setTextFormat(Qt::PlainText);
        pValue->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        pValue->setWordWrap(true);
        pForm->addRow(QString::fromLatin1(pszLabel), pValue);
    };
    line("From:", headers.from);
    line("To:", headers.to);
    if (!headers.cc.empty())
        line("Cc:", headers.cc);
    line("Date:", headers.date ? FileTimeToText(*headers.date) : std::string());
    line("Subject:", headers.subject);
    pLayout->addLayout(pForm);

    m_pSource = new QLabel(SourceText(), this);
    m_pSource->setTextFormat(Qt::PlainText);
    m_pSource->setWordWrap(true);
    pLayout->addWidget(m_pSource);

    m_pBrowser = new CBodyBrowser(this);
    m_pBrowser->SetMessage(pMessage);
    if (m_body.best == dravik::content::BodyKind::Html && m_body.html)
        m_pBrowser->setHtml(QString::fromStdString(*m_body.html));
    else if (m_body.best == dravik::content::BodyKind::Text && m_body.text)
        m_pBrowser->setPlainText(QString::fromStdString(*m_body.text));
    else
        m_pBrowser->setPlainText(QString::fromLatin1(kNoBody));
    pLayout->addWidget(m_pBrowser, 1);

    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::close);
    pLayout->addWidget(pButtons);
}

QString CBodyView::SourceText() const
{
    QString s;
    if (m_body.best == dravik::content::BodyKind::None)
        s = QString::fromLatin1(kNoBody);
    else
        s = QStringLiteral("%1 body from %2")
                .arg(m_body.best == dravik::content::BodyKind::Html ? QStringLiteral("HTML") : QStringLiteral("Text"),
                     QString::fromStdString(m_body.source));
    for (const std::string& d : m_body.damage)
        s += QStringLiteral("\nDamaged: ") + QString::fromStdString(d);
    return s;
}
