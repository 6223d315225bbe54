#include "PasswordPrompt.h"

#include "DumpWriter.h"

#include "mapi32/mapicode.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

HRESULT CTerminalPasswordPrompt::AskStorePassword(ULONG, const std::string& strStore, const std::string& strPath,
                                              std::string& strPassword)
{
    if (const char* psz = std::getenv("DRAVIK_STORE_PASSWORD")) {
        // Asked again only after a wrong password: do not loop on it.
        if (m_bUsedEnvironment)
            return MAPI_E_USER_CANCEL;
        m_bUsedEnvironment = true;
        strPassword = psz;
        return S_OK;
    }
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return MAPI_E_USER_CANCEL;
    const std::string strPrompt =
        "Password for \"" + TextLine(strStore) + "\" (" + TextLine(strPath) + "): ";
    // Echo goes off (dropping anything typed ahead) before the prompt is
    // shown, so that nothing typed after seeing the prompt is discarded.
    termios saved{};
    const bool bTerminal = ::tcgetattr(fd, &saved) == 0;
    if (bTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    [[maybe_unused]] ssize_t n = ::write(fd, strPrompt.data(), strPrompt.size());
    HRESULT hr = MAPI_E_USER_CANCEL;
    strPassword.clear();
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 200);
        if (*m_pStop)
            break;
        if (r <= 0)
            continue;
        char c = 0;
        if (::read(fd, &c, 1) != 1)
            break;
        if (c == '\n' || c == '\r') {
            hr = S_OK;
            break;
        }
        strPassword += c;
    }
    if (bTerminal)
        ::tcsetattr(fd, TCSAFLUSH, &saved);
    n = ::write(fd, "\n", 1);
    ::close(fd);
    if (FAILED(hr))
        strPassword.clear();
    return hr;
}
