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
    // Appending through a separate cursor never reformats the existing text.
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    // Trace lines are not undoable (turning undo off drops the undo history).
    const bool bUndo = document()->isUndoRedoEnabled();
    document()->setUndoRedoEnabled(false);
    cursor.insertText(strText);
    document()->setUndoRedoEnabled(bUndo);
    // Caret to the new end, no selection; the view follows the caret.
    setTextCursor(cursor);
}
