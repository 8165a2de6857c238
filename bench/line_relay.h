#pragma once

// The serial line between the program and matrix-sim, passed through this
// process so that both directions can be timed: the program opens the far
// end of a pseudo-terminal whose master is read here, and the simulator's
// own pseudo-terminal is opened here as the program would open it. One
// thread of its own passes the bytes on as they come and notes the time of
// each command byte and of each whole status frame, so that the figures do
// not wait on whatever else the measuring program does.

#include "core/status_frame.h"
#include "pty_line.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

class LineRelay
{
public:
    using Clock = PtyLine::Clock;
    // The input each output shows, 1 to 4; 0 for none.
    using Inputs = std::array<int, 4>;

    ~LineRelay() { stop(); }

    // Opens the simulator's line at `simulatorPath` and pairs it with
    // `programMaster`, the master whose far end the program opens. Returns
    // the line's index, or -1 after saying why on stderr.
    int add(int programMaster, const std::string &simulatorPath)
    {
        const int sim = ::open(simulatorPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (sim < 0 || !PseudoTerminal::makeRaw(sim)) {
            std::fprintf(stderr, "line relay: cannot open %s: %s\n", simulatorPath.c_str(),
                std::strerror(errno));
            if (sim >= 0)
                ::close(sim);
            return -1;
        }
        const int flags = fcntl(programMaster, F_GETFL);
        fcntl(programMaster, F_SETFL, flags | O_NONBLOCK);
        m_lines.push_back(Line { programMaster, sim, {}, {}, {} });
        return int(m_lines.size()) - 1;
    }

    void start()
    {
        m_running = true;
        m_thread = std::thread([this] { run(); });
    }

    void stop()
    {
        if (!m_thread.joinable())
            return;
        m_running = false;
        m_thread.join();
        for (const Line &line : m_lines)
            ::close(line.simulator);
    }

    // How many command bytes the program has sent on `line` so far.
    size_t commandBytes(int line)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines[size_t(line)].commandAt.size();
    }

    // When command byte `index` (from 0) of `line` came off the line.
    Clock::time_point commandByteAt(int line, size_t index)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines[size_t(line)].commandAt.at(index);
    }

    // When the last byte of the first status frame on `line` after `after`
    // that `shows` came off the line, or nothing yet.
    std::optional<Clock::time_point> frameShowing(
        int line, Clock::time_point after, const std::function<bool(const Inputs &)> &shows)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const Frame &frame : m_lines[size_t(line)].frames)
            if (frame.at > after && shows(frame.inputs))
                return frame.at;
        return std::nullopt;
    }

private:
    struct Frame
    {
        Clock::time_point at;
        Inputs inputs;
    };
    struct Line
    {
        int program;
        int simulator;
        std::vector<Clock::time_point> commandAt;
        std::vector<Frame> frames;
        QByteArray pending; // the simulator's bytes not yet a whole frame
    };

    void run()
    {
        std::vector<pollfd> fds;
        for (const Line &line : m_lines) {
            fds.push_back({ line.program, POLLIN, 0 });
            fds.push_back({ line.simulator, POLLIN, 0 });
        }
        char buffer[512];
        while (m_running) {
            if (::poll(fds.data(), nfds_t(fds.size()), 50) <= 0)
                continue;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
                if (count <= 0)
                    continue;
                const Clock::time_point at = Clock::now();
                Line &line = m_lines[i / 2];
                const bool fromProgram = i % 2 == 0;
                writeAll(fromProgram ? line.simulator : line.program, buffer, size_t(count));
                const std::lock_guard<std::mutex> lock(m_mutex);
                if (fromProgram)
                    line.commandAt.insert(line.commandAt.end(), size_t(count), at);
                else
                    takeFrames(line, QByteArray(buffer, int(count)), at);
            }
        }
    }

    // The master is non-blocking and the line carries a few bytes a second:
    // a full buffer is waited out rather than dropped.
    static void writeAll(int fd, const char *data, size_t left)
    {
        while (left > 0) {
            const ssize_t n = ::write(fd, data, left);
            if (n > 0) {
                data += n;
                left -= size_t(n);
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                return;
            } else if (n < 0 && errno == EAGAIN) {
                pollfd out { fd, POLLOUT, 0 };
                ::poll(&out, 1, 10);
            }
        }
    }

    static void takeFrames(Line &line, const QByteArray &bytes, Clock::time_point at)
    {
        line.pending += bytes;
        for (;;) {
            const int start = StatusFrame::findFrame(line.pending);
            if (start < 0)
                break;
            Frame frame { at, {} };
            for (int output = 0; output < 4; ++output) {
                const uint8_t mask = StatusFrame::byteAt(line.pending, start + 6 + output);
                for (int input = 0; input < 4; ++input)
                    if (mask & (1u << input)) {
                        frame.inputs[size_t(output)] = input + 1;
                        break;
                    }
            }
            line.frames.push_back(frame);
            line.pending.remove(0, start + StatusFrame::Length);
        }
        const int partial = StatusFrame::incompleteFrameStart(line.pending);
        line.pending = partial < 0 ? QByteArray() : line.pending.mid(partial);
    }

    std::vector<Line> m_lines;
    std::mutex m_mutex;
    std::thread m_thread;
    std::atomic<bool> m_running { false };
};
