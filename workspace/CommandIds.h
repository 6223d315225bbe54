// Command identifiers of menus 128 and 129, toolbar and accelerators 128.
#pragma once

enum : int {
    ID_CONNECT_PROFILE = 131,
    ID_DISCONNECT = 132,
    ID_OPEN_ADDRBOOK = 130,
    ID_VIEW_ROWPROPS = 32775,
    ID_VIEW_ENTRYPROPS = 32776,
    ID_CONNECT_FILE = 32778,
    ID_MAIL_CONTROL_PANEL = 32781,
    ID_CONNECT_MAILBOX = 32784,
    ID_SAVE_ATTACHMENT = 32790,
    // "Show Body...": the current message's body in a window of its own.
    ID_SHOW_BODY = 32900,
    ID_SAVE_MESSAGE_AS = 32822,
    // "Export Folder...": a folder node's messages written as .eml, mbox or .msg files.
    ID_EXPORT_FOLDER = 32854,
    ID_PROPERTY_OPEN = 32772,
    ID_PROPERTY_SAVE = 32791,
    ID_FILE_NEW = 57600,
    ID_FILE_OPEN = 57601,
    ID_FILE_SAVE = 57603,
    ID_FILE_PRINT = 57607,
    ID_FILE_PRINT_PREVIEW = 57609,
    // The store files opened last, most recent first (File menu).
    ID_FILE_MRU_FILE1 = 57616,
    ID_FILE_MRU_LAST = ID_FILE_MRU_FILE1 + 3,
    ID_EDIT_COPY = 57634,
    ID_EDIT_CUT = 57635,
    ID_EDIT_FIND = 57636,
    ID_EDIT_PASTE = 57637,
    ID_EDIT_UNDO = 57643,
    ID_APP_ABOUT = 57664,
    ID_APP_EXIT = 57665,
    ID_NEXT_PANE = 57680,
    ID_PREV_PANE = 57681,
    ID_VIEW_TOOLBAR = 59392,
    ID_VIEW_STATUS_BAR = 59393,
    ID_INDICATOR_CAPS = 59137,
    ID_INDICATOR_NUM = 59138,
    ID_INDICATOR_SCRL = 59139,
    ID_PROGRESS_INDICATOR = 1093,
    // The property list's value, whole, to the clipboard.
    ID_COPY_VALUE = 32850,
    // Ends a long listing of the tree, keeping what was listed.
    ID_STOP_LISTING = 32851,
    // The trace pane: empty it, write it to a file.
    ID_TRACE_CLEAR = 32852,
    ID_TRACE_SAVE = 32853,
    // The Window menu: arrange the workspaces.
    ID_WINDOW_CASCADE = 57650,
    ID_WINDOW_TILE_HORZ = 57651,
};
