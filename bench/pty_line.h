#pragma once

// What the benchmarks that play the switcher on a pseudo-terminal share: the
// clock, the line itself and the figures.

#include "pseudo_terminal.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace PtyLine {

using Clock = std::chrono::steady_clock;

// One byte at 9600 baud, 8N1: ten bits.
constexpr auto ByteTime = std::chrono::microseconds(1042);

inline double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Nearest-rank percentile of sorted values.
inline double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    size_t rank = size_t(p / 100.0 * double(sorted.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

// Prints "NAME p50=.. p99=.. max=.. min=.. n=.. EXTRA".
inline void report(const char *name, std::vector<double> values, const char *extra)
{
    std::sort(values.begin(), values.end());
    if (values.empty()) {
        std::printf("%s n=0 %s\n", name, extra);
        return;
    }
    std::printf("%s p50=%.2f p99=%.2f max=%.2f min=%.2f n=%zu %s\n", name, percentile(values, 50),
        percentile(values, 99), values.back(), values.front(), values.size(), extra);
}

inline bool writeAll(int fd, const char *data, size_t left)
{
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= size_t(n);
    }
    return true;
}

inline bool writeAll(int fd, const QByteArray &bytes)
{
    return writeAll(fd, bytes.constData(), size_t(bytes.size()));
}

// Opens the switcher's end of a pseudo-terminal, its far end held open and
// raw, or says why not.
inline std::unique_ptr<PseudoTerminal> openLine(const char *program, int flags = 0)
{
    std::string error;
    auto line = PseudoTerminal::open(flags | PseudoTerminal::HoldFarEnd, &error);
    if (!line)
        std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return line;
}

} // namespace PtyLine
