// matrix-sim: stands in for the video matrix switcher on a serial line, so the
// panel can be demonstrated and tested without the hardware.

#include "core/command_line.h"
#include "sim/switcher.h"

#include <QCoreApplication>
#include <QStringList>
#include <optional>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int MaxGarbageBytes = 4096;

const char ControlLines[] = R"(control lines on stdin (case-insensitive):
  power on | power off   leave or enter standby
  pause | resume         stop or restart the status frames
  model 4x4 | model 4x2  change the switcher model
  route I O              route input I (1-4) to output O (1-4 or A-D)
  stop-tick              next frame asks the panel to stop its main tick
  bad-checksum           next frame carries a wrong checksum
  garbage N              send N random bytes (1-4096)
  status                 print the state on stderr
  quit                   exit (so does end of input, SIGINT, SIGTERM)
  help                   list the control lines
)";

struct Options
{
    std::string linkPath;
    std::string devicePath;
    Switcher::Model model = Switcher::Model::FourOutput;
    int periodMs = 100;
    bool standby = false;
    bool verbose = false;
};

bool parseModel(const std::string &text, Switcher::Model &model)
{
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char c) { return char(std::tolower(c)); });
    if (lower == "4x4") {
        model = Switcher::Model::FourOutput;
        return true;
    }
    if (lower == "4x2") {
        model = Switcher::Model::TwoOutput;
        return true;
    }
    return false;
}

bool parseInt(const std::string &text, int low, int high, int &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = int(parsed);
    return true;
}

const char *modelName(Switcher::Model model)
{
    return model == Switcher::Model::FourOutput ? "4x4" : "4x2";
}

// Returns the exit code when the program must end now.
std::optional<int> parseOptions(const QStringList &arguments, Options &options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Simulates the video matrix switcher on a serial line. By default it creates a\n"
            "pseudo-terminal and prints its path as the only line on stdout; point the\n"
            "panel at that path (or at the --link path).\n\n")
        + QString::fromLatin1(ControlLines));
    const QCommandLineOption link(QStringLiteral("link"),
        QStringLiteral("Also create a symlink PATH to the pseudo-terminal (an existing symlink is "
                       "replaced; removed on exit)."),
        QStringLiteral("PATH"));
    const QCommandLineOption device(QStringLiteral("device"),
        QStringLiteral(
            "Use an existing serial device instead of a pseudo-terminal (9600 8N1 raw)."),
        QStringLiteral("PATH"));
    const QCommandLineOption model(QStringLiteral("model"),
        QStringLiteral("Switcher model: 4x4 (default) or 4x2."), QStringLiteral("4x4|4x2"));
    const QCommandLineOption period(QStringLiteral("period"),
        QStringLiteral("Status frame period in milliseconds (default 100)."), QStringLiteral("MS"));
    const QCommandLineOption standby(
        QStringLiteral("standby"), QStringLiteral("Start in standby (power 0)."));
    const QCommandLineOption verbose(
        QStringLiteral("verbose"), QStringLiteral("Also log every status frame sent."));
    parser.addOptions({ link, device, model, period, standby, verbose });
    if (const std::optional<int> exit = parseCommandLine(parser, arguments))
        return exit;

    options.linkPath = parser.value(link).toStdString();
    options.devicePath = parser.value(device).toStdString();
    if ((parser.isSet(link) && options.linkPath.empty())
        || (parser.isSet(device) && options.devicePath.empty()))
        return commandLineError(QStringLiteral("--link and --device need a path"));
    if (parser.isSet(model) && !parseModel(parser.value(model).toStdString(), options.model))
        return commandLineError(QStringLiteral("--model needs 4x4 or 4x2"));
    if (parser.isSet(period)
        && !parseInt(parser.value(period).toStdString(), 1, 60000, options.periodMs))
        return commandLineError(QStringLiteral("--period needs milliseconds, 1 to 60000"));
    options.standby = parser.isSet(standby);
    options.verbose = parser.isSet(verbose);
    if (!options.linkPath.empty() && !options.devicePath.empty())
        return commandLineError(QStringLiteral("--link and --device cannot be combined"));
    return std::nullopt;
}

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

bool setNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string hexBytes(const QByteArray &bytes)
{
    std::string text;
    char cell[4];
    for (const char byte : bytes) {
        std::snprintf(cell, sizeof cell, "%02x", unsigned(uint8_t(byte)));
        if (!text.empty())
            text += ' ';
        text += cell;
    }
    return text;
}

class Simulator
{
public:
    explicit Simulator(const Options &options)
        : m_options(options)
        , m_switcher(options.model)
        , m_random(std::random_device {}())
    {
        m_switcher.setPowerOn(!options.standby);
    }

    ~Simulator() { shutdown(); }

    // Returns false after printing why on stderr.
    bool start()
    {
        // Signals first: once the symlink exists, SIGTERM must go through the
        // cleanup in shutdown().
        return openSignals() && (m_options.devicePath.empty() ? openPty() : openDevice())
            && openTimer();
    }

    std::string servedPath() const { return m_servedPath; }

    // Returns the exit code.
    int run()
    {
        enum { StdinSlot, LineSlot, TimerSlot, SignalSlot, SlotCount };
        pollfd fds[SlotCount] = {};
        fds[StdinSlot] = { STDIN_FILENO, POLLIN, 0 };
        fds[LineSlot] = { m_lineFd, POLLIN, 0 };
        fds[TimerSlot] = { m_timerFd, POLLIN, 0 };
        fds[SignalSlot] = { m_signalFd, POLLIN, 0 };

        while (!m_quit) {
            if (poll(fds, SlotCount, -1) < 0) {
                if (errno == EINTR)
                    continue;
                std::perror("matrix-sim: poll");
                return 1;
            }
            if (fds[SignalSlot].revents & POLLIN) {
                signalfd_siginfo info {};
                if (read(m_signalFd, &info, sizeof info) > 0)
                    std::fprintf(stderr, "signal %u, exiting\n", info.ssi_signo);
                return 0;
            }
            if (fds[StdinSlot].revents)
                readStdin();
            if (fds[LineSlot].revents && !readLine()) {
                if (!m_options.devicePath.empty())
                    return 1;
                // Cannot happen while the slave fd stays open, but a line that
                // keeps reporting hang-up must not turn this loop into a spin:
                // look at it again once per frame period only.
                fds[LineSlot].fd = -1;
            }
            if (fds[TimerSlot].revents & POLLIN) {
                onTimer();
                fds[LineSlot].fd = m_lineFd;
            }
        }
        return 0;
    }

private:
    bool openPty()
    {
        m_lineFd = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_lineFd < 0 || grantpt(m_lineFd) != 0 || unlockpt(m_lineFd) != 0) {
            std::perror("matrix-sim: pseudo-terminal");
            return false;
        }
        const char *slaveName = ptsname(m_lineFd);
        if (!slaveName) {
            std::perror("matrix-sim: ptsname");
            return false;
        }
        m_servedPath = slaveName;

        // Holding the slave open for the whole run keeps the master from
        // reporting hang-up whenever the panel closes the port; going raw right
        // away stops the line discipline echoing frames back as commands.
        m_slaveFd = open(slaveName, O_RDWR | O_NOCTTY);
        if (m_slaveFd < 0 || !setRaw9600(m_slaveFd)) {
            std::perror("matrix-sim: pseudo-terminal slave");
            return false;
        }
        if (!setNonBlocking(m_lineFd)) {
            std::perror("matrix-sim: pseudo-terminal");
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
            if (symlink(slaveName, m_options.linkPath.c_str()) != 0) {
                std::fprintf(stderr, "matrix-sim: cannot create %s: %s\n",
                    m_options.linkPath.c_str(), std::strerror(errno));
                return false;
            }
            m_linkCreated = true;
        }
        return true;
    }

    bool openDevice()
    {
        m_servedPath = m_options.devicePath;
        m_lineFd = open(m_options.devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
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

    bool openTimer()
    {
        m_timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (m_timerFd < 0) {
            std::perror("matrix-sim: timerfd");
            return false;
        }
        itimerspec timing {};
        timing.it_interval.tv_sec = m_options.periodMs / 1000;
        timing.it_interval.tv_nsec = long(m_options.periodMs % 1000) * 1000000L;
        timing.it_value = timing.it_interval;
        if (timerfd_settime(m_timerFd, 0, &timing, nullptr) != 0) {
            std::perror("matrix-sim: timerfd");
            return false;
        }
        return true;
    }

    bool openSignals()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
            std::perror("matrix-sim: sigprocmask");
            return false;
        }
        m_signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
        if (m_signalFd < 0) {
            std::perror("matrix-sim: signalfd");
            return false;
        }
        return true;
    }

    void shutdown()
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
        for (int *fd : { &m_lineFd, &m_slaveFd, &m_timerFd, &m_signalFd }) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
    }

    void readStdin()
    {
        char buffer[1024];
        const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (count <= 0) {
            if (!m_stdinLine.empty())
                handleControlLine(m_stdinLine);
            m_stdinLine.clear();
            m_quit = true;
            return;
        }
        m_stdinLine.append(buffer, size_t(count));
        size_t newline;
        while (!m_quit && (newline = m_stdinLine.find('\n')) != std::string::npos) {
            const std::string line = m_stdinLine.substr(0, newline);
            m_stdinLine.erase(0, newline + 1);
            handleControlLine(line);
        }
    }

    // Returns false when the line is gone for good.
    bool readLine()
    {
        uint8_t buffer[512];
        for (;;) {
            const ssize_t count = read(m_lineFd, buffer, sizeof buffer);
            if (count > 0) {
                logCommands(m_switcher.receive(buffer, size_t(count)));
                continue;
            }
            if (count < 0 && (errno == EAGAIN || errno == EINTR))
                return true;
            if (count < 0 && errno == EIO && m_options.devicePath.empty()) {
                if (!m_lineHungUp)
                    std::fprintf(
                        stderr, "matrix-sim: %s reports I/O errors\n", m_servedPath.c_str());
                m_lineHungUp = true;
                return false;
            }
            std::fprintf(stderr, "matrix-sim: %s: %s\n", m_servedPath.c_str(),
                count == 0 ? "hang-up" : std::strerror(errno));
            return false;
        }
    }

    void logCommands(const std::vector<Switcher::Command> &commands)
    {
        using Type = Switcher::Command::Type;
        for (const Switcher::Command &command : commands) {
            switch (command.type) {
            case Type::Route:
                std::fprintf(stderr, "rx command %u: input %d -> output %c\n",
                    unsigned(command.code), command.input, Switcher::outputLetter(command.output));
                break;
            case Type::Command16:
            case Type::Command40:
                std::fprintf(
                    stderr, "rx command %u (accepted, no change)\n", unsigned(command.code));
                break;
            case Type::Unknown:
                std::fprintf(stderr, "rx unknown command %u (ignored)\n", unsigned(command.code));
                break;
            }
        }
        if (m_options.verbose && m_switcher.discardedBytes() != m_reportedDiscards) {
            std::fprintf(stderr, "rx %zu bytes outside command frames dropped\n",
                m_switcher.discardedBytes() - m_reportedDiscards);
            m_reportedDiscards = m_switcher.discardedBytes();
        }
    }

    void onTimer()
    {
        uint64_t expirations = 0;
        if (read(m_timerFd, &expirations, sizeof expirations) != sizeof expirations)
            return;
        if (m_paused)
            return;
        const bool special = m_switcher.stopTickPending() || m_switcher.badChecksumPending();
        const QByteArray frame = m_switcher.nextFrame();
        if (send(frame) && (m_options.verbose || special))
            std::fprintf(stderr, "tx frame %s\n", hexBytes(frame).c_str());
    }

    // A real serial line loses whatever is sent while no program has the port
    // open. The pseudo-terminal instead keeps it queued on the slave held open
    // here, and a panel opening the port later would first read seconds-old
    // frames, so anything beyond about a second of frames is thrown away.
    void dropStaleOutput()
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
    bool send(const QByteArray &bytes)
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

    void handleControlLine(const std::string &rawLine)
    {
        std::string line;
        for (const char c : rawLine)
            line += char(std::tolower(static_cast<unsigned char>(c)));
        std::istringstream stream(line);
        std::vector<std::string> words;
        for (std::string word; stream >> word;)
            words.push_back(word);
        if (words.empty())
            return;

        const std::string &verb = words[0];
        const size_t argCount = words.size() - 1;
        if (verb == "power" && argCount == 1 && (words[1] == "on" || words[1] == "off")) {
            m_switcher.setPowerOn(words[1] == "on");
            std::fprintf(stderr, "power %s\n", m_switcher.powerOn() ? "on" : "standby");
        } else if (verb == "pause" && argCount == 0) {
            m_paused = true;
            std::fprintf(stderr, "status frames paused\n");
        } else if (verb == "resume" && argCount == 0) {
            m_paused = false;
            std::fprintf(stderr, "status frames resumed\n");
        } else if (verb == "model" && argCount == 1) {
            Switcher::Model model;
            if (!parseModel(words[1], model)) {
                std::fprintf(stderr, "model must be 4x4 or 4x2\n");
                return;
            }
            m_switcher.setModel(model);
            std::fprintf(stderr, "model %s\n", modelName(model));
        } else if (verb == "route" && argCount == 2) {
            int input = 0;
            int output = 0;
            const std::string &outputWord = words[2];
            if (outputWord.size() == 1 && outputWord[0] >= 'a' && outputWord[0] <= 'd')
                output = outputWord[0] - 'a' + 1;
            else
                parseInt(outputWord, 1, Switcher::OutputCount, output);
            if (!parseInt(words[1], 1, Switcher::InputCount, input) || output == 0) {
                std::fprintf(stderr, "route needs an input 1-4 and an output 1-4 or A-D\n");
                return;
            }
            m_switcher.route(input, output);
            std::fprintf(
                stderr, "route: input %d -> output %c\n", input, Switcher::outputLetter(output));
        } else if (verb == "stop-tick" && argCount == 0) {
            m_switcher.requestStopTick();
        } else if (verb == "bad-checksum" && argCount == 0) {
            m_switcher.requestBadChecksum();
        } else if (verb == "garbage" && argCount == 1) {
            int count = 0;
            if (!parseInt(words[1], 1, MaxGarbageBytes, count)) {
                std::fprintf(stderr, "garbage needs a byte count, 1 to %d\n", MaxGarbageBytes);
                return;
            }
            QByteArray bytes(count, '\0');
            std::uniform_int_distribution<int> byteValue(0, 255);
            for (char &byte : bytes)
                byte = char(byteValue(m_random));
            if (send(bytes))
                std::fprintf(stderr, "tx %d garbage bytes\n", count);
        } else if (verb == "status" && argCount == 0) {
            printStatus();
        } else if (verb == "quit" && argCount == 0) {
            m_quit = true;
        } else if (verb == "help" && argCount == 0) {
            std::fputs(ControlLines, stderr);
        } else {
            std::fprintf(stderr, "unknown control line '%s' (try help)\n", rawLine.c_str());
        }
    }

    void printStatus()
    {
        const Switcher::Model model = m_switcher.model();
        std::fprintf(stderr, "serving %s, model %s, power %s, frames %s every %d ms\n",
            m_servedPath.c_str(), modelName(model), m_switcher.powerOn() ? "on" : "standby",
            m_paused ? "paused" : "streaming", m_options.periodMs);
        for (int output = 1; output <= Switcher::connectedOutputs(model); ++output)
            std::fprintf(stderr, "  output %c <- input %d\n", Switcher::outputLetter(output),
                m_switcher.routedInput(output));
    }

    Options m_options;
    Switcher m_switcher;
    std::mt19937 m_random;
    std::string m_servedPath;
    std::string m_stdinLine;
    int m_lineFd = -1;
    int m_slaveFd = -1;
    int m_timerFd = -1;
    int m_signalFd = -1;
    bool m_linkCreated = false;
    bool m_lineHungUp = false;
    bool m_paused = false;
    bool m_quit = false;
    size_t m_reportedDiscards = 0;
};

} // namespace

int main(int argc, char **argv)
{
    const QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("matrix-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MATRIX_VERSION));
    Options options;
    if (const std::optional<int> exit = parseOptions(app.arguments(), options))
        return *exit;

    // A reader of stdout or stderr going away must end the run through the
    // normal path rather than kill the process with the symlink left behind.
    signal(SIGPIPE, SIG_IGN);

    Simulator simulator(options);
    if (!simulator.start())
        return 1;

    std::printf("%s\n", simulator.servedPath().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "matrix-sim: serving %s%s%s, model %s, %d ms period%s\n",
        simulator.servedPath().c_str(), options.linkPath.empty() ? "" : " via ",
        options.linkPath.c_str(), modelName(options.model), options.periodMs,
        options.standby ? ", standby" : "");

    return simulator.run();
}
