// "Save Message As...": a message node (an embedded message too) saved as a
// .msg file. Qt-free, so that tests call it as the tree does.
#pragma once

#include "props/Mapi.h"

#include <string>

// The file name proposed for a message: its subject, with the characters a
// file name cannot hold replaced, and ".msg"; "message.msg" without a subject.
std::string ProposeMessageFileName(const std::string& strSubject);

// Writes the message to the path as a .msg file, never leaving a partial file
// in the path's place.
HRESULT WriteMessageFile(IMessage* pMessage, const char* pszPath);
