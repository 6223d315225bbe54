#include "tree/MessageSave.h"

#include "mapi32/providers/msg/msg_writer.h"

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
    return dravik::mapi32::SaveMessageAsMsg(pMessage, pszPath);
}
