// "Save Message As...": a message node (an embedded message too) saved as a
// .msg file. Qt-free, so that tests call it as the tree does.
#pragma once

#include "props/Mapi.h"

#include <string>

// The file name proposed for a message: its subject, with the characters a
// file name cannot hold replaced, and ".msg"; "message.msg" without a subject.
std::string ProposeMessageFileName(const std::string& strSubject);

// Writes the message to the path as a .msg file, or as an Internet message
// when the path ends in ".eml", never leaving a partial file in the path's place.
HRESULT WriteMessageFile(IMessage* pMessage, const char* pszPath);

// True when the path ends in ".eml", in any case.
bool IsInternetMessagePath(const char* pszPath);

// Writes the message as an Internet message (RFC 5322, MIME). MAPI_W_ERRORS_RETURNED
// when the file is written without parts that could not be read.
HRESULT WriteInternetMessageFile(IMessage* pMessage, const char* pszPath);
