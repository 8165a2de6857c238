#include "sim/line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool setRaw9600(int fd)
{
    termios tio {};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

} // namespace

bool SwitcherLine::openPty()
{
    // Held open for the whole run, the slave keeps the master from reporting
    // hang-up whenever the panel closes the port.
    std::string error;
    m_pty = PseudoTerminal::open(PseudoTerminal::NonBlocking | PseudoTerminal::HoldFarEnd, &error);
    if (!m_pty) {
        std::fprintf(stderr, "matrix-sim: %s\n", error.c_str());
        return false;
    }
    m_lineFd = m_pty->master();
    m_slaveFd = m_pty->farEnd();
    m_servedPath = m_pty->farPath();
    if (!setRaw9600(m_slaveFd)) {
        std::perror("matrix-sim: pseudo-terminal slave");
        return false;
    }

    if (!m_options.linkPath.empty()) {
        struct stat info = {};
        if (lstat(m_options.linkPath.c_str(), &info) == 0) {
            if (!S_ISLNK(info.st_mode)) {
                std::fprintf(stderr, "matrix-sim: %s exists and is not a symlink\n",
                    m_options.linkPath.c_str());
                return false;
            }
            unlink(m_options.linkPath.c_str());
        }
        if (symlink(m_servedPath.c_str(), m_options.linkPath.c_str()) != 0) {
            std::fprintf(stderr, "matrix-sim: cannot create %s: %s\n", m_options.linkPath.c_str(),
                std::strerror(errno));
            return false;
        }
        m_linkCreated = true;
    }
    return true;
}

bool SwitcherLine::openDevice()
{
    m_servedPath = m_options.devicePath;
    m_lineFd = ::open(m_options.devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_lineFd < 0) {
        std::fprintf(stderr, "matrix-sim: cannot open %s: %s\n", m_options.devicePath.c_str(),
            std::strerror(errno));
        return false;
    }
    if (!setRaw9600(m_lineFd)) {
        std::fprintf(stderr, "matrix-sim: cannot set 9600 8N1 on %s: %s\n",
            m_options.devicePath.c_str(), std::strerror(errno));
        return false;
    }
    tcflush(m_lineFd, TCIOFLUSH);
    return true;
}

SwitcherLine::~SwitcherLine()
{
    if (m_linkCreated) {
        // Only remove the link if nobody has pointed it elsewhere meanwhile.
        char target[4096];
        const ssize_t length = readlink(m_options.linkPath.c_str(), target, sizeof target - 1);
        if (length >= 0) {
            target[length] = '\0';
            if (m_servedPath == target)
                unlink(m_options.linkPath.c_str());
        }
        m_linkCreated = false;
    }
    if (!m_pty && m_lineFd >= 0)
        close(m_lineFd);
}

long SwitcherLine::readSome(uint8_t *buffer, size_t size)
{
    const ssize_t count = ::read(m_lineFd, buffer, size);
    if (count > 0)
        return long(count);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    if (count < 0 && errno == EIO && m_options.devicePath.empty()) {
        if (!m_lineHungUp)
            std::fprintf(stderr, "matrix-sim: %s reports I/O errors\n", m_servedPath.c_str());
        m_lineHungUp = true;
        return -1;
    }
    std::fprintf(stderr, "matrix-sim: %s: %s\n", m_servedPath.c_str(),
        count == 0 ? "hang-up" : std::strerror(errno));
    return -1;
}

// A real serial line loses whatever is sent while no program has the port
// open. The pseudo-terminal instead keeps it queued on the slave held open
// here, and a panel opening the port later would first read seconds-old
// frames, so anything beyond about a second of frames is thrown away.
void SwitcherLine::dropStaleOutput()
{
    if (m_slaveFd < 0)
        return;
    int queued = 0;
    if (ioctl(m_slaveFd, FIONREAD, &queued) != 0)
        return;
    const int frames = std::max(8, 1000 / m_options.periodMs);
    const int limit = std::min(2048, frames * 14);
    if (queued > limit) {
        tcflush(m_slaveFd, TCIFLUSH);
        if (m_options.verbose)
            std::fprintf(stderr, "tx %d unread bytes dropped\n", queued);
    }
}

// Nothing waits for the line: a full buffer loses the bytes, as on a real
// switcher with nobody listening.
bool SwitcherLine::send(const QByteArray &bytes)
{
    dropStaleOutput();
    const ssize_t written = write(m_lineFd, bytes.constData(), size_t(bytes.size()));
    if (written == bytes.size())
        return true;
    if (written < 0 && errno != EAGAIN && errno != EIO && errno != EINTR)
        std::fprintf(stderr, "matrix-sim: write: %s\n", std::strerror(errno));
    else if (m_options.verbose)
        std::fprintf(stderr, "tx %zd of %d bytes written\n", std::max<ssize_t>(written, 0),
            int(bytes.size()));
    return false;
}
