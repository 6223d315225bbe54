// The trace pane: an ordinary editable text view that the workspace's trace
// writer appends MAPI call lines to.
#pragma once

#include <QPlainTextEdit>

class CMAPICommandView : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit CMAPICommandView(QWidget* pParent = nullptr);

    // Appends text at the end without touching what is there, and scrolls
    // the end into view.
    void AppendRaw(const QString& strText);
};
