// The wait cursor for as long as the object lives, for a listing or a long read.
#pragma once

#include <QApplication>

class CWaitCursor
{
public:
    CWaitCursor()
    {
        ++s_nDepth;
        QApplication::setOverrideCursor(Qt::WaitCursor);
    }
    ~CWaitCursor()
    {
        QApplication::restoreOverrideCursor();
        --s_nDepth;
    }
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;

    // A listing or read runs below the current frame (it may let the window
    // repaint meanwhile): what it uses must not be torn down now.
    static bool Busy() { return s_nDepth > 0; }

private:
    static inline int s_nDepth = 0;
};
