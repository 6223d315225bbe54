#include "tree/MessageSave.h"

#include "content/InternetMessage.h"
#include "mapi32/providers/msg/msg_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string ProposeMessageFileName(const std::string& strSubject)
{
    std::string strName;
    for (char c : strSubject) {
        const unsigned char u = static_cast<unsigned char>(c);
        strName += (u < 0x20 || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
                    c == '>' || c == '|')
                       ? '_'
                       : c;
    }
    // A name is cut at 200 bytes, at the start of a whole UTF-8 character.
    if (strName.size() > 200) {
        size_t n = 200;
        while (n > 0 && (static_cast<unsigned char>(strName[n]) & 0xC0) == 0x80)
            --n;
        strName.resize(n);
    }
    while (!strName.empty() && (strName.back() == ' ' || strName.back() == '.'))
        strName.pop_back();
    if (strName.empty() || strName.front() == '.')
        strName = "message" + strName;
    return strName + ".msg";
}

HRESULT WriteMessageFile(IMessage* pMessage, const char* pszPath)
{
    if (pMessage == nullptr)
        return MAPI_E_NOT_FOUND;
    if (pszPath == nullptr || *pszPath == '\0')
        return MAPI_E_INVALID_PARAMETER;
    if (IsInternetMessagePath(pszPath))
        return WriteInternetMessageFile(pMessage, pszPath);
    return dravik::mapi32::SaveMessageAsMsg(pMessage, pszPath);
}

bool IsInternetMessagePath(const char* pszPath)
{
    const size_t n = pszPath ? std::strlen(pszPath) : 0;
    return n >= 4 && strcasecmp(pszPath + n - 4, ".eml") == 0;
}

HRESULT WriteInternetMessageFile(IMessage* pMessage, const char* pszPath)
{
    dravik::content::InternetMessage message;
    HRESULT hr = dravik::content::MessageToInternetMessage(pMessage, "", message);
    if (FAILED(hr))
        return hr;
    // Written whole beside its place, then renamed over it.
    std::string strTemp = std::string(pszPath) + ".XXXXXX";
    const int fd = ::mkstemp(strTemp.data());
    if (fd < 0)
        return MAPI_E_DISK_ERROR;
    const char* p = message.bytes.data();
    size_t left = message.bytes.size();
    bool bOk = true;
    while (left > 0 && bOk) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        bOk = n > 0;
        if (bOk) {
            p += n;
            left -= size_t(n);
        }
    }
    bOk = ::fchmod(fd, 0644) == 0 && bOk;
    bOk = ::close(fd) == 0 && bOk;
    if (!bOk || std::rename(strTemp.c_str(), pszPath) != 0) {
        ::unlink(strTemp.c_str());
        return MAPI_E_DISK_ERROR;
    }
    // Written, but without what could not be read: said, not kept quiet.
    return message.problems.empty() ? S_OK : MAPI_W_ERRORS_RETURNED;
}
