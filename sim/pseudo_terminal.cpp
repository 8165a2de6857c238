#include "pseudo_terminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::unique_ptr<PseudoTerminal> failed(const std::string &what, std::string *error)
{
    if (error)
        *error = what + ": " + std::strerror(errno);
    return nullptr;
}

} // namespace

std::unique_ptr<PseudoTerminal> PseudoTerminal::open(int flags, std::string *error)
{
    std::unique_ptr<PseudoTerminal> pty(new PseudoTerminal);
    const int master = pty->m_master
        = posix_openpt(O_RDWR | O_NOCTTY | ((flags & NonBlocking) ? O_NONBLOCK : 0));
    const char *name
        = master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ? nullptr : ptsname(master);
    if (!name)
        return failed("pseudo-terminal", error);
    pty->m_farPath = name;
    if (flags & HoldFarEnd) {
        pty->m_farEnd = ::open(name, O_RDWR | O_NOCTTY);
        if (pty->m_farEnd < 0 || !makeRaw(pty->m_farEnd))
            return failed(pty->m_farPath, error);
    }
    return pty;
}

PseudoTerminal::~PseudoTerminal()
{
    for (const int fd : { m_farEnd, m_master }) {
        if (fd >= 0)
            close(fd);
    }
}

bool PseudoTerminal::makeRaw(int fd)
{
    termios tio {};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}
