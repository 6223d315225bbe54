// "Show Body...": a window with the body of a message as a person reads it, the
// headers (from, to, cc, date, subject) above it. HTML is rendered offline:
// nothing is ever fetched, from the network or from local files; "cid:" images
// come from the message's attachments by PR_ATTACH_CONTENT_ID. A text body is
// shown as text; a message without a body says so. What the body is made of is
// decided by content::ReadMessageBody, as for dravik-dump --bodies.
#pragma once

#include "content/MessageBody.h"

#include <QDialog>
#include <QTextBrowser>

class QLabel;

// The body's browser: resources resolve only through the message.
class CBodyBrowser : public QTextBrowser
{
    Q_OBJECT
public:
    explicit CBodyBrowser(QWidget* pParent = nullptr);
    ~CBodyBrowser() override;
    // The message whose attachments "cid:" URLs name (held until the browser goes).
    void SetMessage(IMessage* pMessage);
    QVariant loadResource(int nType, const QUrl& url) override;

    // What was asked for and what was given, for the view's status and tests.
    int m_nResolved = 0;
    QStringList m_refused;  // URLs not loaded: remote, local files, unknown content IDs

private:
    IMessage* m_pMessage = nullptr;
};

class CBodyView : public QDialog
{
    Q_OBJECT
public:
    // Reads the message's headers and body now; the window is deleted when closed.
    CBodyView(IMessage* pMessage, const QString& strTitle, QWidget* pParent = nullptr);

    CBodyBrowser* Browser() const { return m_pBrowser; }
    const dravik::content::MessageBody& Body() const { return m_body; }
    // The line under the headers: where the body came from, or that there is none.
    QString SourceText() const;

    // The text shown when a message has no body.
    static constexpr const char* kNoBody = "This message has no body.";

private:
    dravik::content::MessageBody m_body;
    CBodyBrowser* m_pBrowser = nullptr;
    QLabel* m_pSource = nullptr;
};
