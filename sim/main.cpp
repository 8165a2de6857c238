// matrix-sim: stands in for the video matrix switcher on a serial line, so the
// panel can be demonstrated and tested without the hardware.

// Here: its command line, and the loop that waits on the line, the control
// lines on stdin, the frame timer and the signals (the line in line.h, the
// control lines in control.h, the switcher itself in switcher.h).

#include "core/command_line.h"
#include "sim/control.h"
#include "sim/line.h"
#include "sim/options.h"
#include "sim/switcher.h"

#include <QCoreApplication>
#include <QStringList>
#include <optional>

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

namespace {

// Returns the exit code when the program must end now.
std::optional<int> parseOptions(const QStringList &arguments, Options &options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Simulates the video matrix switcher on a serial line. By default it creates a\n"
            "pseudo-terminal and prints its path as the only line on stdout; point the\n"
            "panel at that path (or at the --link path).\n\n")
        + QString::fromLatin1(ControlLines::Help));
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

class Simulator
{
public:
    explicit Simulator(const Options &options)
        : m_options(options)
        , m_switcher(options.model)
        , m_line(m_options)
        , m_control(m_switcher, m_line, m_options)
    {
        m_switcher.setPowerOn(!options.standby);
    }

    ~Simulator()
    {
        for (int fd : { m_timerFd, m_signalFd })
            if (fd >= 0)
                close(fd);
    }

    // Returns false after printing why on stderr.
    bool start()
    {
        // Signals first: once the symlink exists, SIGTERM must go through the
        // cleanup in the line's destructor.
        return openSignals() && m_line.open() && openTimer();
    }

    std::string servedPath() const { return m_line.servedPath(); }

    // Returns the exit code.
    int run()
    {
        enum { StdinSlot, LineSlot, TimerSlot, SignalSlot, SlotCount };
        pollfd fds[SlotCount] = {};
        fds[StdinSlot] = { STDIN_FILENO, POLLIN, 0 };
        fds[LineSlot] = { m_line.fd(), POLLIN, 0 };
        fds[TimerSlot] = { m_timerFd, POLLIN, 0 };
        fds[SignalSlot] = { m_signalFd, POLLIN, 0 };

        while (!m_quit && !m_control.quitRequested()) {
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
                fds[LineSlot].fd = m_line.fd();
            }
        }
        return 0;
    }

private:
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

    void readStdin()
    {
        char buffer[1024];
        const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (count <= 0) {
            if (!m_stdinLine.empty())
                m_control.handle(m_stdinLine);
            m_stdinLine.clear();
            m_quit = true;
            return;
        }
        m_stdinLine.append(buffer, size_t(count));
        size_t newline;
        while (
            !m_control.quitRequested() && (newline = m_stdinLine.find('\n')) != std::string::npos) {
            const std::string line = m_stdinLine.substr(0, newline);
            m_stdinLine.erase(0, newline + 1);
            m_control.handle(line);
        }
    }

    // Returns false when the line is gone for good.
    bool readLine()
    {
        return m_line.read([this](const uint8_t *bytes, size_t count) {
            logCommands(m_switcher.receive(bytes, count));
        });
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
        if (m_control.paused())
            return;
        const bool special = m_switcher.stopTickPending() || m_switcher.badChecksumPending();
        const QByteArray frame = m_switcher.nextFrame();
        if (m_line.send(frame) && (m_options.verbose || special))
            std::fprintf(stderr, "tx frame %s\n", frame.toHex(' ').constData());
    }

    Options m_options;
    Switcher m_switcher;
    SwitcherLine m_line;
    ControlLines m_control;
    std::string m_stdinLine;
    int m_timerFd = -1;
    int m_signalFd = -1;
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
