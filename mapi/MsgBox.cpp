#include "mapi/MsgBox.h"

#include "mapi/Prompts.h"

#include "mapi32/errortext.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

// Dialog units of an 8-point dialog font to pixels.
int DuX(int n) { return n * 3 / 2; }
int DuY(int n) { return n * 13 / 8; }

QRect DuRect(int x, int y, int cx, int cy)
{
    return QRect(DuX(x), DuY(y), DuX(cx), std::max(1, DuY(cy)));
}

} // namespace

CMsgBox::CMsgBox(QWidget* pParent)
    : QDialog(pParent)
{
    setObjectName(QStringLiteral("CMsgBox"));
    setWindowTitle(QStringLiteral("Dravik - Error Report"));
    setFixedSize(DuX(238), DuY(118));

    m_pOk = new QPushButton(QStringLiteral("OK"), this);
    m_pOk->setObjectName(QStringLiteral("IDOK"));
    m_pOk->setGeometry(DuRect(181, 7, 50, 14));
    m_pOk->setDefault(true);
    connect(m_pOk, &QPushButton::clicked, this, &QDialog::accept);

    m_pDetails = new QPushButton(QStringLiteral("Details >>"), this);
    m_pDetails->setObjectName(QStringLiteral("details"));
    m_pDetails->setGeometry(DuRect(181, 23, 50, 14));
    m_pDetails->setAutoDefault(false);
    connect(m_pDetails, &QPushButton::clicked, this, &CMsgBox::OnDetails);

    m_pMessage = new QLabel(QStringLiteral("Static"), this);
    m_pMessage->setObjectName(QStringLiteral("message"));
    m_pMessage->setGeometry(DuRect(7, 7, 169, 22));
    m_pMessage->setWordWrap(true);
    m_pMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pMessage->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_pMeaning = new QLabel(this);
    m_pMeaning->setObjectName(QStringLiteral("meaning"));
    m_pMeaning->setGeometry(DuRect(7, 30, 169, 13));
    m_pMeaning->setWordWrap(true);
    m_pMeaning->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pMeaning->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_pFold = new QFrame(this);
    m_pFold->setObjectName(QStringLiteral("fold"));
    m_pFold->setFrameShape(QFrame::HLine);
    m_pFold->setFrameShadow(QFrame::Sunken);
    m_pFold->setGeometry(DuRect(6, 44, 227, 1));

    m_pHResult = new QLabel(QStringLiteral("HRESULT:"), this);
    m_pHResult->setObjectName(QStringLiteral("hresult"));
    m_pHResult->setGeometry(DuRect(6, 46, 225, 9));

    m_pDetailsBox = new QPlainTextEdit(this);
    m_pDetailsBox->setObjectName(QStringLiteral("detailsText"));
    m_pDetailsBox->setGeometry(DuRect(6, 56, 225, 55));
    m_pDetailsBox->setReadOnly(true);
    m_pDetailsBox->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_pDetailsBox->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pDetailsBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void CMsgBox::OnInitDialog()
{
    m_pMessage->setText(m_strMessage);
    m_pMeaning->setText(m_strMeaning);
    // Without details of its own the box says at least what the error is.
    m_pDetailsBox->setPlainText(m_strDetails.isEmpty() ? m_strMeaning : m_strDetails);
    m_pHResult->setText(m_strHResult);

    m_nFullHeight = DuY(118);
    m_nCollapsedHeight = m_pFold->geometry().top();
    m_pDetails->setText(QStringLiteral("Details >>"));
    m_bExpanded = false;
    setFixedSize(width(), m_nCollapsedHeight);
}

void CMsgBox::OnDetails()
{
    m_bExpanded = !m_bExpanded;
    const QPoint topLeft = pos();
    m_pDetails->setText(m_bExpanded ? QStringLiteral("<< Details") : QStringLiteral("Details >>"));
    setFixedSize(width(), m_bExpanded ? m_nFullHeight : m_nCollapsedHeight);
    move(topLeft);
}

int CMsgBox::exec()
{
    OnInitDialog();
    return QDialog::exec();
}

QString FormatHResultLine(std::int32_t hr)
{
    return QStringLiteral("HRESULT: %1").arg(static_cast<std::uint32_t>(hr), 8, 16, QLatin1Char('0'));
}

QString ErrorMeaningLine(std::int32_t hr)
{
    const char* pszName = dravik::mapi32::ErrorName(static_cast<SCODE>(hr));
    const char* pszMeaning = dravik::mapi32::ErrorMeaning(static_cast<SCODE>(hr));
    QString strLine = pszMeaning != nullptr ? QString::fromUtf8(pszMeaning) : QStringLiteral("error");
    strLine[0] = strLine[0].toUpper();
    const QString strName = pszName != nullptr
                                ? QString::fromLatin1(pszName)
                                : QStringLiteral("0x%1").arg(static_cast<std::uint32_t>(hr), 8, 16, QLatin1Char('0'));
    return strLine + QStringLiteral(" (") + strName + QLatin1Char(')');
}

void ShowErrorReport(const char* pszMessage, const char* pszDetails, std::int32_t hr)
{
    Prompts().ShowErrorReport(QString::fromUtf8(pszMessage != nullptr ? pszMessage : ""),
                              QString::fromUtf8(pszDetails != nullptr ? pszDetails : ""), hr);
}
