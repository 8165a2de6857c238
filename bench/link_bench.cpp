// link-bench: the status window on a real QtSerialPort over a pseudo-terminal
// that this process plays the switcher on. Measures how long a status frame
// takes from the line to the panel, written whole and written byte by byte at
// the pace of a 9600 baud line, and how evenly the bytes of a command frame
// are paced.
#include "app/controller.h"
#include "panel/form1.h"
#include "core/status_frame.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "panel/form3.h"
#include "pty_line.h"

#include <QApplication>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <poll.h>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace PtyLine;

namespace {

constexpr int LatencyFrames = 200;
constexpr int PacedFrames = 100;
constexpr int Commands = 100;
constexpr int BringUpPeriodMs = 100;
constexpr int KeepAlivePeriodMs = 100;
// A frame the panel has not shown by then is counted as lost.
constexpr auto FrameTimeout = std::chrono::milliseconds(300);
constexpr int WholeRunTimeoutMs = 120000;

QByteArray frameWithOutput1On(int input)
{
    // Outputs 2 to 4 stay on inputs 2 to 4; everything lit, power on.
    const uint8_t body[11] = { 0, 0, 0, 0, uint8_t(1u << (input - 1)), 2, 4, 8, 0xFF, 1, 0 };
    return StatusFrame::build(StatusFrame::Kind::FourOutput, body);
}

enum class Phase { BringUp, Latency, PacedLatency, Commands, Done };

// One series of latency frames: when each last byte went out, when it
// returned from write(), and when the panel showed the frame.
struct LatencyRun
{
    explicit LatencyRun(int frames)
        : written(size_t(frames))
        , writeReturned(size_t(frames))
        , seen(size_t(frames))
        , arrived(size_t(frames), false)
    {
    }
    int frames() const { return int(written.size()); }

    std::vector<Clock::time_point> written;
    std::vector<Clock::time_point> writeReturned;
    std::vector<Clock::time_point> seen;
    std::vector<bool> arrived;
    int lost = 0;
};

struct Shared
{
    std::atomic<Phase> phase { Phase::BringUp };
    std::atomic<bool> stop { false };

    std::mutex mutex;
    std::condition_variable changed;
    int shownInput = 1; // input the panel shows on output 1
    int pendingIndex = -1; // latency frame in flight
    int pendingInput = 0; // input that frame routes to output 1
    LatencyRun whole { LatencyFrames };
    LatencyRun paced { PacedFrames };
    LatencyRun *current = nullptr;
    int lastInputWritten = 1;
};

// Writes a frame a byte at a time at the pace of a 9600 baud line; returns
// the time just before the last byte was written.
bool writePaced(int master, const QByteArray &frame, Clock::time_point *lastByte)
{
    Clock::time_point due = Clock::now();
    for (int k = 0; k < frame.size(); ++k) {
        std::this_thread::sleep_until(due);
        *lastByte = Clock::now();
        if (!writeAll(master, frame.mid(k, 1)))
            return false;
        due += ByteTime;
    }
    return true;
}

// Plays the switcher's sending side: a frame every 100 ms until the panel is
// up, then one latency frame at a time, whole and then byte by byte as a real
// line delivers it, then frames every 100 ms again so the link stays up while
// the commands go out.
void writerLoop(int master, Shared &shared)
{
    std::mt19937 random(12345);
    // Random delays put each frame at a different point of the 10 ms tick,
    // so the figures cover every phase between line and tick.
    std::uniform_int_distribution<int> settleUs(5000, 25000);
    // Byte by byte, the frames come about as often as from the switcher.
    std::uniform_int_distribution<int> pacedSettleUs(70000, 90000);

    auto keepAlive = [&](Phase while_) {
        while (!shared.stop && shared.phase == while_) {
            int input;
            {
                std::lock_guard<std::mutex> lock(shared.mutex);
                input = shared.lastInputWritten;
            }
            writeAll(master, frameWithOutput1On(input));
            std::this_thread::sleep_for(std::chrono::milliseconds(
                while_ == Phase::BringUp ? BringUpPeriodMs : KeepAlivePeriodMs));
        }
    };

    auto measure = [&](LatencyRun &run, bool paced) {
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.current = &run;
        }
        for (int i = 0; i < run.frames() && !shared.stop; ++i) {
            std::this_thread::sleep_for(
                std::chrono::microseconds(paced ? pacedSettleUs(random) : settleUs(random)));
            std::unique_lock<std::mutex> lock(shared.mutex);
            const int input = shared.shownInput == 1 ? 2 : 1;
            shared.pendingIndex = i;
            shared.pendingInput = input;
            shared.lastInputWritten = input;
            lock.unlock();
            // A pseudo-terminal has no line timing: the last byte is on the
            // line as soon as write() has it. The clock is read just before
            // the call, not after: this thread can lose the CPU on return
            // from write() to the panel itself, which then seems to show the
            // frame before it was sent. The tick may also see the frame
            // before the time is stored, so the time goes to its own slot and
            // is paired up only at the end.
            const QByteArray frame = frameWithOutput1On(input);
            Clock::time_point sent = Clock::now();
            const bool ok = paced ? writePaced(master, frame, &sent) : writeAll(master, frame);
            const Clock::time_point returned = Clock::now();
            lock.lock();
            run.written[size_t(i)] = sent;
            run.writeReturned[size_t(i)] = returned;
            if (!ok || !shared.changed.wait_for(lock, FrameTimeout, [&] {
                    return run.arrived[size_t(i)] || shared.stop.load();
                }))
                ++run.lost;
            shared.pendingIndex = -1;
        }
    };

    keepAlive(Phase::BringUp);
    measure(shared.whole, false);
    if (shared.phase == Phase::Latency)
        shared.phase = Phase::PacedLatency;
    measure(shared.paced, true);
    if (shared.phase == Phase::PacedLatency)
        shared.phase = Phase::Commands;
    keepAlive(Phase::Commands);
}

// Plays the switcher's receiving side: every byte the panel sends, with the
// time it came out of the line.
void readerLoop(
    int master, Shared &shared, std::vector<std::pair<uint8_t, Clock::time_point>> &bytes)
{
    uint8_t buffer[256];
    while (!shared.stop) {
        pollfd pfd { master, POLLIN, 0 };
        const int ready = ::poll(&pfd, 1, 50);
        if (ready <= 0 || !(pfd.revents & POLLIN))
            continue;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        const Clock::time_point now = Clock::now();
        for (ssize_t k = 0; k < n; ++k)
            bytes.emplace_back(buffer[k], now);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    const auto pty = openLine("link-bench");
    if (!pty)
        return 1;
    const QString slavePath = QString::fromStdString(pty->farPath());
    const int master = pty->master();

    QApplication app(argc, argv);
    QString error;
    std::optional<PortTable> table = PortTable::parse(QStringLiteral("1=") + slavePath, &error);
    if (!table) {
        std::fprintf(stderr, "link-bench: %s\n", qPrintable(error));
        return 1;
    }

    Shared shared;
    std::vector<std::pair<uint8_t, Clock::time_point>> received;
    int exitCode = 0;
    {
        Controller form(std::make_unique<QtSerialPort>(std::move(*table)));

        std::mt19937 random(54321);
        std::uniform_int_distribution<int> pauseMs(0, 30);
        int commandsSent = 0;
        Clock::time_point nextSend = Clock::now();
        bool wasSending = false;

        // Connected after the status window's own connection, so it runs
        // right after each main tick and sees what that tick displayed.
        QObject::connect(&form.Timer1(), &QTimer::timeout, &form, [&] {
            const Clock::time_point now = Clock::now();
            const Phase phase = shared.phase;
            if (phase == Phase::BringUp) {
                if (form.state().linkUp() && form.panel().isVisible())
                    shared.phase = Phase::Latency;
                return;
            }
            if (phase == Phase::Latency || phase == Phase::PacedLatency) {
                const QString caption = form.panel().label2Caption(0);
                const int input = caption == QLatin1String("Input 2") ? 2 : 1;
                std::lock_guard<std::mutex> lock(shared.mutex);
                if (input == shared.shownInput)
                    return;
                shared.shownInput = input;
                LatencyRun *run = shared.current;
                const int i = shared.pendingIndex;
                if (run && i >= 0 && input == shared.pendingInput && !run->arrived[size_t(i)]) {
                    run->seen[size_t(i)] = now;
                    run->arrived[size_t(i)] = true;
                    shared.changed.notify_all();
                }
                return;
            }
            if (phase == Phase::Commands) {
                const bool sending = form.transmitter().sendStep() != 0;
                if (wasSending && !sending)
                    nextSend = now + std::chrono::milliseconds(pauseMs(random));
                wasSending = sending;
                if (sending)
                    return;
                if (commandsSent == Commands) {
                    // Leave the reader time to collect the last byte.
                    shared.phase = Phase::Done;
                    QTimer::singleShot(100, &app, &QCoreApplication::quit);
                    return;
                }
                if (now >= nextSend) {
                    form.send(uint8_t(commandsSent % 16));
                    ++commandsSent;
                    wasSending = true;
                }
            }
        });

        QTimer::singleShot(WholeRunTimeoutMs, &app, [&] {
            std::fprintf(
                stderr, "link-bench: no result after %d s, giving up\n", WholeRunTimeoutMs / 1000);
            exitCode = 1;
            QCoreApplication::quit();
        });
        QTimer::singleShot(10000, &app, [&] {
            if (shared.phase == Phase::BringUp) {
                std::fprintf(stderr, "link-bench: the panel did not come up within 10 s\n");
                exitCode = 1;
                QCoreApplication::quit();
            }
        });

        std::thread writer(writerLoop, master, std::ref(shared));
        std::thread reader(readerLoop, master, std::ref(shared), std::ref(received));

        form.Form_Load();
        if (form.startupPortMessage().isEmpty()) {
            form.statusWindow().show();
            QApplication::exec();
        } else {
            exitCode = 1;
        }

        shared.stop = true;
        shared.changed.notify_all();
        writer.join();
        reader.join();
    }
    if (exitCode != 0)
        return exitCode;

    auto reportLatency = [](const char *name, const LatencyRun &run) {
        std::vector<double> latencies;
        // A write() that took long means the writer lost the CPU around it,
        // and that sample may be too high by as much.
        int slowWrites = 0;
        for (int i = 0; i < run.frames(); ++i) {
            if (!run.arrived[size_t(i)])
                continue;
            latencies.push_back(ms(run.seen[size_t(i)] - run.written[size_t(i)]));
            if (ms(run.writeReturned[size_t(i)] - run.written[size_t(i)]) > 1.0)
                ++slowWrites;
        }
        char extra[128];
        std::snprintf(
            extra, sizeof extra, "lost=%d slow_writes=%d (target p99 <= 11)", run.lost, slowWrites);
        report(name, latencies, extra);
    };
    reportLatency("latency_frame_to_panel_ms", shared.whole);
    // Byte by byte, timed from the last byte: the frame trickles in over
    // about 14 ms and the main tick sees it incomplete on the way.
    reportLatency("latency_frame_to_panel_9600_baud_ms", shared.paced);

    // Command frames are x, 255 - x, 213, 123; anything that does not line
    // up is reported rather than measured.
    std::vector<double> gaps;
    std::vector<double> gapsAt[3];
    int frames = 0;
    int misframed = 0;
    for (size_t k = 0; k + 3 < received.size();) {
        const uint8_t x = received[k].first;
        if (received[k + 1].first == uint8_t(255 - x) && received[k + 2].first == 213
            && received[k + 3].first == 123) {
            for (size_t j = 0; j < 3; ++j) {
                const double gap = ms(received[k + j + 1].second - received[k + j].second);
                gaps.push_back(gap);
                gapsAt[j].push_back(gap);
            }
            ++frames;
            k += 4;
        } else {
            ++misframed;
            ++k;
        }
    }
    char extra[128];
    std::snprintf(extra, sizeof extra, "frames=%d/%d misframed_bytes=%d (target 50)", frames,
        Commands, misframed);
    report("command_byte_gap_ms", gaps, extra);
    // The first byte leaves from the main tick, the others from the pacing
    // timer: split by position to tell the two apart.
    const char *positions[3]
        = { "command_byte_gap_1_2_ms", "command_byte_gap_2_3_ms", "command_byte_gap_3_4_ms" };
    for (int j = 0; j < 3; ++j)
        report(positions[j], gapsAt[j], "");
    return frames == Commands && shared.whole.lost == 0 ? 0 : 3;
}
