#include "app/Splash.h"

#include "res/Icons.h"

#include <QLabel>
#include <QTimer>

namespace {

int DuX(int n) { return n * 3 / 2; }
int DuY(int n) { return n * 13 / 8; }

} // namespace

CSplashScreen::CSplashScreen(QWidget* pParent)
    : QDialog(pParent)
{
    setObjectName(QStringLiteral("CSplashScreen"));
}

bool CSplashScreen::Create(unsigned int nIDTemplate, QWidget* pOwner, int nDisplayTime)
{
    m_nDisplayTime = nDisplayTime;
    if ((nIDTemplate & 0xFFFF) != 131)
        return false;
    if (pOwner != nullptr)
        setParent(pOwner, windowFlags());
    // No caption, a thin border, a pop-up.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setStyleSheet(QStringLiteral("CSplashScreen { border: 1px solid gray; }"));
    setFixedSize(DuX(192), DuY(47));

    auto* pIcon = new QLabel(this);
    pIcon->setPixmap(DravikAppIcon().pixmap(32, 32));
    pIcon->setGeometry(DuX(7), DuY(8), DuX(21), DuY(20));
    const char* lines[] = {"Dravik v3.4", "Raw MAPI objects and properties", "of Outlook stores and profiles"};
    const int tops[] = {7, 18, 28};
    for (int i = 0; i < 3; ++i) {
        auto* pLine = new QLabel(QString::fromLatin1(lines[i]), this);
        pLine->setObjectName(QStringLiteral("line%1").arg(i + 1));
        pLine->setGeometry(DuX(33), DuY(tops[i]), DuX(140), DuY(8) + 2);
    }
    OnInitDialog();
    return true;
}

void CSplashScreen::OnInitDialog()
{
    // Centred on the owner (or the screen without one).
    if (QWidget* pOwner = parentWidget()) {
        const QRect owner = pOwner->frameGeometry();
        move(owner.center() - QPoint(width() / 2, height() / 2));
    }
    m_nTicks = 0;
}

void CSplashScreen::OnTimer()
{
    if (m_bDestroyed)
        return;
    const int n = m_nTicks++;
    if (n < m_nDisplayTime) {
        OnTick(m_nTicks);
    } else {
        m_bDestroyed = true;
        hide();
    }
}

void CSplashScreen::OnTick(int)
{
}

CSplashThread::CSplashThread(QWidget* pOwnerWnd)
    : m_pOwnerWnd(pOwnerWnd)
{
    // Widgets belong to the GUI thread, so the dialog object is made here.
    m_pSplash = new CSplashScreen(nullptr);
}

CSplashThread::~CSplashThread()
{
    quit();
    wait();
    delete m_pSplash;
}

void CSplashThread::run()
{
    setPriority(QThread::HighestPriority);
    CSplashScreen* pSplash = m_pSplash;
    QWidget* pOwner = m_pOwnerWnd.data();
    const int nDialogId = m_nDialogId;
    const int nDisplayTime = m_nDisplayTime;
    QMetaObject::invokeMethod(pSplash, [pSplash, pOwner, nDialogId, nDisplayTime]() {
        if (pSplash->Create(static_cast<unsigned int>(nDialogId), pOwner, nDisplayTime))
            pSplash->show();
    }, Qt::QueuedConnection);

    QTimer timer;
    timer.setInterval(m_nTickInterval);
    QObject::connect(&timer, &QTimer::timeout, [pSplash]() {
        QMetaObject::invokeMethod(pSplash, "OnTimer", Qt::QueuedConnection);
    });
    timer.start();
    exec();
}
