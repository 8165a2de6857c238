// line-bench: the program on a real QtSerialPort over a pseudo-terminal that
// this process plays the switcher on, with the trouble of a real line.
//
//   line-bench uptime (--stray | --noise BYTES_PER_S) [--seconds S] [--starts N]
//                     [--seed N]
//     Status frames every 100 ms, each paced at 9600 baud, with one stray
//     byte at a random moment of every gap between frames (--stray), or with
//     random bytes at random moments at an average rate (--noise; a Poisson
//     stream, so bytes fall inside frames too and break them). Prints the
//     share of S seconds (60) from the panel's coming up that it stayed up,
//     its link losses, the frames it took against those sent and those no
//     noise broke, and how long the panel took to come up from the first
//     frame, over N fresh starts of the program (10).
//
//   line-bench pacing [--frames N]
//     N route frames (100) while whole status frames keep the link up. Prints
//     the gaps between the bytes of each frame twice: as the program handed
//     them to the port, and as they came off the line at the far end; and the
//     time each byte took from the one to the other.
//
// Run it beside busy processes to see what load does to the figures.
#include "app/controller.h"
#include "panel/form1.h"
#include "core/command_frame.h"
#include "core/command_line.h"
#include "core/status_frame.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "panel/form3.h"
#include "pty_line.h"

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <random>
#include <thread>

using namespace PtyLine;

namespace {

constexpr auto FramePeriod = std::chrono::milliseconds(100);
constexpr int PacingPauseMaxMs = 30;

struct Options
{
    enum class Mode { Uptime, Pacing } mode = Mode::Uptime;
    bool stray = false;
    double noisePerSecond = 0;
    int seconds = 60;
    unsigned seed = 1;
    int frames = 100;
    int starts = 10;
};

// The mode comes first; the options after it.
std::optional<int> parse(const QStringList &arguments, Options &o)
{
    QStringList rest = arguments;
    const QString mode = rest.value(1);
    if (mode == QLatin1String("uptime") || mode == QLatin1String("pacing"))
        rest.removeAt(1);
    o.mode = mode == QLatin1String("pacing") ? Options::Mode::Pacing : Options::Mode::Uptime;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "line-bench uptime (--stray | --noise BYTES_PER_S) [--seconds S] [--starts N] [--seed N]\n"
        "line-bench pacing [--frames N]"));
    const QCommandLineOption stray(
        QStringLiteral("stray"), QStringLiteral("One stray byte in every gap between frames."));
    const QCommandLineOption noise(QStringLiteral("noise"),
        QStringLiteral("Random bytes at this average rate."), QStringLiteral("BYTES_PER_S"));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
        QStringLiteral("Seconds of each start (60)."), QStringLiteral("S"), QStringLiteral("60"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the noise (1)."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption frames(QStringLiteral("frames"),
        QStringLiteral("Route frames to send (100)."), QStringLiteral("N"), QStringLiteral("100"));
    const QCommandLineOption starts(QStringLiteral("starts"),
        QStringLiteral("Fresh starts of the program (10)."), QStringLiteral("N"),
        QStringLiteral("10"));
    parser.addOptions({ stray, noise, seconds, seed, frames, starts });
    if (const std::optional<int> code = parseCommandLine(parser, rest))
        return code;
    if (rest.size() == arguments.size())
        return commandLineError(QStringLiteral("the mode comes first: uptime or pacing"));
    o.stray = parser.isSet(stray);
    o.noisePerSecond = parser.value(noise).toDouble();
    o.seconds = parser.value(seconds).toInt();
    o.seed = parser.value(seed).toUInt();
    o.frames = parser.value(frames).toInt();
    o.starts = parser.value(starts).toInt();
    const bool oneNoise = o.stray != (o.noisePerSecond > 0);
    if (o.mode == Options::Mode::Uptime && !oneNoise)
        return commandLineError(QStringLiteral("uptime needs --stray or --noise, not both"));
    if (o.seconds <= 0 || o.frames <= 0 || o.starts <= 0)
        return commandLineError(QStringLiteral("--seconds, --frames and --starts count from 1"));
    return std::nullopt;
}

// A four-output switcher with everything lit; bytes 3 and 4, which the
// panel does not show, number the frames so that the panel's state tells
// which frame it took last.
QByteArray statusFrame(uint16_t number)
{
    const uint8_t body[11]
        = { 0, uint8_t(number), uint8_t(number >> 8), 0, 1, 2, 4, 8, 0xFF, 1, 0 };
    return StatusFrame::build(StatusFrame::Kind::FourOutput, body);
}

// Bytes with the moment each one went past.
using Bytes = std::vector<std::pair<uint8_t, Clock::time_point>>;

// The port the program writes through, noting when each byte has left it.
class TimedPort : public SerialPort
{
public:
    explicit TimedPort(std::unique_ptr<SerialPort> port)
        : m_port(std::move(port))
    {
    }
    bool setCommPort(int n) override { return m_port->setCommPort(n); }
    int commPort() const override { return m_port->commPort(); }
    bool setSettings(const QString &s) override { return m_port->setSettings(s); }
    bool setDtrEnable(bool on) override { return m_port->setDtrEnable(on); }
    bool open() override { return m_port->open(); }
    bool close() override { return m_port->close(); }
    bool isOpen() const override { return m_port->isOpen(); }
    bool write(const QByteArray &bytes) override
    {
        const Clock::time_point called = Clock::now();
        const bool ok = m_port->write(bytes);
        const Clock::time_point now = Clock::now();
        if (ok) {
            for (const char byte : bytes) {
                written.emplace_back(uint8_t(byte), now);
                writeCalls.push_back(called);
            }
        }
        return ok;
    }
    std::optional<int> bytesWaiting() override { return m_port->bytesWaiting(); }
    std::optional<QByteArray> readAll() override { return m_port->readAll(); }
    QString errorString() const override { return m_port->errorString(); }
    QString deviceName() const override { return m_port->deviceName(); }

    Bytes written; // as each write returned
    std::vector<Clock::time_point> writeCalls; // as each write began

private:
    std::unique_ptr<SerialPort> m_port;
};

// Gaps inside each command frame (x, 255 - x, 213, 123) of a byte stream;
// bytes that do not line up are counted, not measured.
std::vector<double> commandGaps(const Bytes &bytes, int *frames, int *misframed)
{
    std::vector<double> gaps;
    *frames = 0;
    *misframed = 0;
    for (size_t k = 0; k < bytes.size();) {
        uint8_t four[CommandFrame::Length] = {};
        for (size_t j = 0; j < 4 && k + j < bytes.size(); ++j)
            four[j] = bytes[k + j].first;
        if (k + 3 < bytes.size() && CommandFrame::isFrame(four)) {
            for (size_t j = 0; j < 3; ++j)
                gaps.push_back(ms(bytes[k + j + 1].second - bytes[k + j].second));
            ++*frames;
            k += 4;
        } else {
            ++*misframed;
            ++k;
        }
    }
    return gaps;
}

// The switcher's side of the line runs at real-time priority where it may:
// the switcher is hardware, and the load the program is measured under must
// not delay it or the measurement.
bool runAsHardware()
{
    sched_param param {};
    param.sched_priority = 50;
    return ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0;
}

// The far end's receiver: every byte the program sends, with the time it came
// off the line.
void readLine(int master, std::atomic<bool> &stop, Bytes &bytes, bool *realTime)
{
    *realTime = runAsHardware();
    uint8_t buffer[256];
    while (!stop) {
        pollfd pfd { master, POLLIN, 0 };
        if (::poll(&pfd, 1, 50) <= 0 || !(pfd.revents & POLLIN))
            continue;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        const Clock::time_point now = Clock::now();
        for (ssize_t k = 0; k < n; ++k)
            bytes.emplace_back(buffer[k], now);
    }
}

struct FrameSent
{
    Clock::time_point start;
    bool intact; // no noise fell between its first and last byte
};

// The switcher's sending side for `uptime`: frames byte by byte at 9600 baud
// with the noise mixed in at its own moments.
std::vector<FrameSent> sendNoisyFrames(
    int master, const Options &o, unsigned seed, std::atomic<bool> &stop, long *noiseBytes)
{
    runAsHardware();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byteValue(0, 255);
    std::exponential_distribution<double> noiseGap(o.noisePerSecond > 0 ? o.noisePerSecond : 1);
    auto afterNoiseGap = [&](Clock::time_point from) {
        return from
            + std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(noiseGap(random)));
    };
    std::vector<FrameSent> sent;
    const Clock::time_point first = Clock::now();
    Clock::time_point nextNoise = afterNoiseGap(first);
    for (uint16_t number = 0; !stop; ++number) {
        const Clock::time_point start = first + number * FramePeriod;
        const Clock::time_point end = start + FramePeriod;
        const QByteArray frame = statusFrame(number);
        const Clock::time_point last = start + (frame.size() - 1) * ByteTime;
        std::vector<std::pair<Clock::time_point, char>> events;
        for (int k = 0; k < frame.size(); ++k)
            events.emplace_back(start + k * ByteTime, frame[k]);
        if (o.stray) {
            const Clock::duration quiet = end - last - 3 * ByteTime;
            std::uniform_int_distribution<long long> at(0, quiet.count());
            events.emplace_back(
                last + ByteTime + Clock::duration(at(random)), char(byteValue(random)));
        }
        bool intact = true;
        for (; o.noisePerSecond > 0 && nextNoise < end; nextNoise = afterNoiseGap(nextNoise)) {
            events.emplace_back(nextNoise, char(byteValue(random)));
            intact = intact && !(nextNoise > start && nextNoise < last);
        }
        std::stable_sort(events.begin(), events.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
        sent.push_back({ start, intact });
        for (const auto &[when, byte] : events) {
            std::this_thread::sleep_until(when);
            writeAll(master, &byte, 1);
        }
        *noiseBytes += long(events.size()) - frame.size();
    }
    return sent;
}

struct Run
{
    double detectMs = -1; // from the first frame to the panel; -1: never up
    Clock::duration upTime {};
    int losses = 0;
    int taken = 0; // frames the panel took while it was up
    long sent = 0; // frames sent in the window
    long intact = 0; // of them, those that no noise broke
    long noiseBytes = 0;
};

// A fresh program on the line from its start: it is timed until its panel
// comes up, then watched for `seconds` (none: it ends as soon as it is up).
Run runProgram(const Options &o, const QString &device, int master, unsigned seed, int seconds)
{
    QString error;
    Controller form(
        std::make_unique<QtSerialPort>(*PortTable::parse(QStringLiteral("1=") + device, &error)));
    form.Form_Load();
    form.statusWindow().show();

    Run run;
    std::atomic<bool> stop { false };
    std::vector<FrameSent> sent;
    std::thread writer;
    bool up = false;
    Clock::time_point firstFrame;
    Clock::time_point upAt;
    Clock::time_point windowEnd;
    Clock::time_point last;
    QByteArray lastTaken;
    QObject::connect(&form, &Controller::ticked, &form, [&] {
        const Clock::time_point now = Clock::now();
        const bool visible = form.panel().isVisible();
        if (upAt == Clock::time_point {}) {
            if (!visible)
                return;
            upAt = last = now;
            windowEnd = now + std::chrono::seconds(seconds);
            lastTaken = form.receiver().frameText();
        }
        if (up)
            run.upTime += std::min(now, windowEnd) - last;
        if (up && !visible)
            ++run.losses;
        up = visible;
        last = now;
        if (visible && form.receiver().frameText() != lastTaken) {
            lastTaken = form.receiver().frameText();
            ++run.taken;
        }
        if (now >= windowEnd)
            QCoreApplication::quit();
    });
    QTimer::singleShot(0, &form, [&] {
        firstFrame = Clock::now();
        writer
            = std::thread([&] { sent = sendNoisyFrames(master, o, seed, stop, &run.noiseBytes); });
    });
    QTimer::singleShot(10000, &form, [&] {
        if (upAt != Clock::time_point {})
            return;
        std::fprintf(stderr, "line-bench: the panel did not come up within 10 s\n");
        QCoreApplication::quit();
    });
    QApplication::exec();
    stop = true;
    if (writer.joinable())
        writer.join();
    // What the next program would find waiting was never meant for it.
    ::tcflush(master, TCIOFLUSH);
    if (upAt == Clock::time_point {})
        return run;
    run.detectMs = ms(upAt - firstFrame);
    for (const FrameSent &frame : sent) {
        if (frame.start < upAt || frame.start >= windowEnd)
            continue;
        ++run.sent;
        run.intact += frame.intact;
    }
    return run;
}

int uptime(const Options &o, const QString &device, int master)
{
    // The first start goes on for the whole window; the others only time the
    // panel coming up, each with other noise.
    std::vector<double> detect;
    const Run whole = runProgram(o, device, master, o.seed, o.seconds);
    detect.push_back(whole.detectMs);
    for (int k = 1; k < o.starts && whole.detectMs >= 0; ++k)
        detect.push_back(runProgram(o, device, master, o.seed + unsigned(k), 0).detectMs);
    if (std::count(detect.begin(), detect.end(), -1.0) > 0) {
        std::fprintf(stderr, "line-bench: a start never brought the panel up\n");
        return 1;
    }
    std::sort(detect.begin(), detect.end());
    std::printf("uptime noise=%s up_pct=%.2f losses=%d frames_taken=%d frames_intact=%ld "
                "frames_sent=%ld noise_bytes=%ld seconds=%d detect_ms_p50=%.0f "
                "detect_ms_max=%.0f starts=%zu (target up_pct >= 99, detect_ms <= 1000)\n",
        o.stray ? "stray" : qPrintable(QString::number(o.noisePerSecond)),
        100.0 * ms(whole.upTime) / (1000.0 * o.seconds), whole.losses, whole.taken, whole.intact,
        whole.sent, whole.noiseBytes, o.seconds, percentile(detect, 50), detect.back(),
        detect.size());
    return 0;
}

int pacing(const Options &o, const QString &device, int master)
{
    QString error;
    auto timed = std::make_unique<TimedPort>(
        std::make_unique<QtSerialPort>(*PortTable::parse(QStringLiteral("1=") + device, &error)));
    TimedPort &port = *timed;
    Controller form(std::move(timed));
    form.Form_Load();
    form.statusWindow().show();

    std::atomic<bool> stop { false };
    Bytes line;
    bool realTime = false;
    std::thread reader(readLine, master, std::ref(stop), std::ref(line), &realTime);
    std::thread writer([&] {
        runAsHardware();
        for (uint16_t number = 0; !stop; ++number) {
            const QByteArray frame = statusFrame(number);
            writeAll(master, frame);
            std::this_thread::sleep_for(FramePeriod);
        }
    });

    std::mt19937 random(o.seed);
    std::uniform_int_distribution<int> pauseMs(0, PacingPauseMaxMs);
    int sent = 0;
    Clock::time_point nextSend;
    QObject::connect(&form, &Controller::ticked, &form, [&] {
        if (!form.panel().isVisible() || form.transmitter().sendStep() != 0)
            return;
        const Clock::time_point now = Clock::now();
        if (nextSend == Clock::time_point {}) {
            nextSend = now + std::chrono::milliseconds(pauseMs(random));
            return;
        }
        if (now < nextSend)
            return;
        if (sent == o.frames) {
            QTimer::singleShot(200, &form, &QCoreApplication::quit);
            nextSend = Clock::time_point::max();
            return;
        }
        form.send(uint8_t(sent % CommandFrame::RouteCount));
        ++sent;
        nextSend = {};
    });
    QTimer::singleShot(10000 + o.frames * 400, &form, [] {
        std::fprintf(stderr, "line-bench: the route frames did not all go out in time\n");
        QCoreApplication::quit();
    });
    QApplication::exec();
    stop = true;
    writer.join();
    reader.join();

    int frames = 0;
    int misframed = 0;
    char extra[160];
    const std::vector<double> written = commandGaps(port.written, &frames, &misframed);
    std::snprintf(
        extra, sizeof extra, "frames=%d/%d misframed_bytes=%d", frames, o.frames, misframed);
    report("pacing_written_gap_ms", written, extra);
    const std::vector<double> received = commandGaps(line, &frames, &misframed);
    std::snprintf(extra, sizeof extra,
        "frames=%d/%d misframed_bytes=%d reader=%s (target min >= 49, p99 <= 55)", frames, o.frames,
        misframed, realTime ? "real-time" : "normal");
    report("pacing_line_gap_ms", received, extra);
    // From the port to the far end, byte by byte: on a pseudo-terminal the
    // kernel hands the bytes over from a worker thread, which the busy
    // processes delay as they delay the program.
    std::vector<double> delivery;
    for (size_t k = 0; k < std::min(port.written.size(), line.size()); ++k)
        delivery.push_back(ms(line[k].second - port.written[k].second));
    report("pacing_delivery_ms", delivery, "");
    // Where a long gap comes from: the pacing timer waking late, or the write
    // itself taking long.
    std::vector<double> late;
    std::vector<double> writing;
    for (size_t k = 0; k < port.written.size(); ++k) {
        writing.push_back(ms(port.written[k].second - port.writeCalls[k]));
        if (k % CommandFrame::Length != 0)
            late.push_back(ms(port.writeCalls[k] - port.written[k - 1].second) - 50.0);
    }
    report("pacing_timer_late_ms", late, "");
    report("pacing_write_ms", writing, "");
    return frames == o.frames ? 0 : 3;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(MATRIX_VERSION));
    Options options;
    if (const std::optional<int> code = parse(QApplication::arguments(), options))
        return *code;
    const auto pty = openLine("line-bench");
    if (!pty)
        return 1;
    const QString slavePath = QString::fromStdString(pty->farPath());
    const int master = pty->master();

    return options.mode == Options::Mode::Uptime ? uptime(options, slavePath, master)
                                                 : pacing(options, slavePath, master);
}
