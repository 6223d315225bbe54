#include "tree/AttachmentSave.h"

#include "mapi/MAPIWrappers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

// The name buffer of the save dialog.
constexpr UINT kNameChars = 260;
constexpr const char* kDefaultName = "attachment.bin";
constexpr ULONG kChunk = 1024;

HRESULT SystemError(int nErr)
{
    return static_cast<HRESULT>(kSystemErrorBit | static_cast<unsigned>(nErr & 0xFFFF));
}

// Closes a descriptor and removes the temporary file unless it was kept.
class CTempFile
{
public:
    explicit CTempFile(std::string strTemplate) : m_strPath(std::move(strTemplate)) {}
    ~CTempFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_bKept && m_fd != -2)
            ::unlink(m_strPath.c_str());
    }
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;

    // Creates the file from the template (its last six characters "XXXXXX").
    bool Create()
    {
        m_fd = ::mkostemp(m_strPath.data(), O_CLOEXEC);
        if (m_fd < 0) {
            m_fd = -2;  // nothing to remove
            return false;
        }
        return true;
    }
    int Fd() const { return m_fd; }
    const std::string& Path() const { return m_strPath; }
    // Closes the descriptor; false when the data did not reach the file.
    bool Close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }
    void Keep() { m_bKept = true; }

private:
    std::string m_strPath;
    int m_fd = -1;
    bool m_bKept = false;
};

bool WriteAll(int fd, const BYTE* pData, ULONG cb)
{
    while (cb > 0) {
        const ssize_t n = ::write(fd, pData, cb);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        pData += n;
        cb -= static_cast<ULONG>(n);
    }
    return true;
}

// Releases a stream when it goes.
struct CStreamRef
{
    LPSTREAM p = nullptr;
    ~CStreamRef()
    {
        if (p)
            p->Release();
    }
};

}  // namespace

std::string SafeBaseName(const std::string& strName)
{
    // Only what follows the last separator of either kind is kept.
    const std::size_t nSep = strName.find_last_of("/\\");
    const std::string strBase = nSep == std::string::npos ? strName : strName.substr(nSep + 1);
    std::string strSafe;
    strSafe.reserve(strBase.size());
    for (const char c : strBase) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            continue;
        strSafe.push_back(c);
    }
    // Leading and trailing blanks and a name of dots alone name nothing.
    const std::size_t nFirst = strSafe.find_first_not_of(' ');
    if (nFirst == std::string::npos)
        return {};
    strSafe = strSafe.substr(nFirst, strSafe.find_last_not_of(' ') - nFirst + 1);
    if (strSafe.find_first_not_of('.') == std::string::npos)
        return {};
    return strSafe;
}

std::string ProposeAttachmentName(const CPropValueArray& props)
{
    std::string strName;
    for (const ULONG ulTag : {PR_ATTACH_LONG_FILENAME, PR_ATTACH_FILENAME, PR_DISPLAY_NAME}) {
        props.FormatProp(strName, kNameChars, ulTag);
        if (!strName.empty())
            break;
    }
    strName = SafeBaseName(strName);
    return strName.empty() ? kDefaultName : strName;
}

HRESULT WriteAttachmentFile(LPATTACH* ppAttach, const char* pszPath)
{
    // An attachment that could not be opened has nothing to read.
    if (ppAttach == nullptr || *ppAttach == nullptr)
        return MAPI_E_NOT_FOUND;
    if (pszPath == nullptr || *pszPath == '\0')
        return MAPI_E_INVALID_PARAMETER;

    CStreamRef stream;
    HRESULT hr = OpenPropertyStream(*ppAttach, PR_ATTACH_DATA_BIN, &stream.p);
    if (FAILED(hr))
        return hr;
    if (stream.p == nullptr)
        return MAPI_E_NOT_FOUND;

    const std::string strPath(pszPath);
    CTempFile temp(strPath + ".XXXXXX");
    if (!temp.Create())
        return SystemError(errno);

    BYTE buffer[kChunk + 1] = {};
    for (;;) {
        ULONG cbRead = 0;
        hr = stream.p->Read(buffer, kChunk, &cbRead);
        if (FAILED(hr))
            return hr;  // a damaged value is not saved as a shorter file
        if (cbRead == 0)
            break;
        if (!WriteAll(temp.Fd(), buffer, cbRead))
            return SystemError(errno);
    }

    // The new file gets the permissions a newly created file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat old = {};
    const mode_t mode = ::stat(pszPath, &old) == 0 ? (old.st_mode & 07777) : (0666 & ~mask);
    if (::fchmod(temp.Fd(), mode) != 0 || ::fsync(temp.Fd()) != 0)
        return SystemError(errno);
    if (!temp.Close())
        return SystemError(errno);
    if (::rename(temp.Path().c_str(), pszPath) != 0)
        return SystemError(errno);
    temp.Keep();
    return S_OK;
}
