// The splash window shown at start-up, and the thread that keeps its
// one-second ticks. The window itself lives on the GUI thread; the thread
// only ticks and asks the GUI thread to show and close it.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QThread>

class CSplashScreen : public QDialog
{
    Q_OBJECT
public:
    explicit CSplashScreen(QWidget* pParent = nullptr);

    int m_nDisplayTime = 5;
    int m_nTicks = 0;

    // Builds dialog nIDTemplate with the owner and display time.
    bool Create(unsigned int nIDTemplate, QWidget* pOwner, int nDisplayTime);
    void OnInitDialog();
    // One timer tick: OnTick for ticks 1 to m_nDisplayTime, then the window
    // closes on the next.
    Q_INVOKABLE void OnTimer();
    // Called on every tick before the last.
    virtual void OnTick(int nTicks);

    bool IsDestroyed() const { return m_bDestroyed; }

private:
    bool m_bDestroyed = false;
};

class CSplashThread : public QThread
{
    Q_OBJECT
public:
    explicit CSplashThread(QWidget* pOwnerWnd);
    // Stops the thread and waits for it, then destroys the splash window.
    ~CSplashThread() override;

    void SetDialogId(int nId) { m_nDialogId = nId; }
    void SetDisplayTime(int nTime) { m_nDisplayTime = nTime; }
    CSplashScreen* Splash() const { return m_pSplash; }

    int m_nDialogId = 0;
    CSplashScreen* m_pSplash = nullptr;
    QPointer<QWidget> m_pOwnerWnd;
    int m_nDisplayTime = 8;
    // Milliseconds between ticks (one second).
    int m_nTickInterval = 1000;

protected:
    void run() override;
};
