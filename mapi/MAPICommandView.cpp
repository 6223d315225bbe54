#include "mapi/MAPICommandView.h"

#include <QScrollBar>
#include <QTextCursor>

CMAPICommandView::CMAPICommandView(QWidget* pParent)
    : QPlainTextEdit(pParent)
{
    setObjectName(QStringLiteral("CMAPICommandView"));
    setLineWrapMode(QPlainTextEdit::NoWrap);
    // Courier New, 15 pixels high, normal weight; any fixed-pitch face when
    // Courier New is not installed.
    QFont font(QStringLiteral("Courier New"));
    font.setPixelSize(15);
    font.setWeight(QFont::Normal);
    font.setStyleHint(QFont::TypeWriter);
    setFont(font);
}

void CMAPICommandView::AppendRaw(const QString& strText)
{
    // Appending through a separate cursor keeps the user's undo history and
    // never reformats the existing text.
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    const bool bUndo = document()->isUndoRedoEnabled();
    document()->setUndoRedoEnabled(false);
    cursor.insertText(strText);
    document()->setUndoRedoEnabled(bUndo);
    // Caret to the new end, no selection, end scrolled into view.
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    setTextCursor(end);
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}
