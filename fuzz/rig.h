#pragma once

// The status window on a fake port in simulated time, driven by a program of
// steps, with the controller's invariants checked after every step. The
// fuzzer feeds it arbitrary bytes, the soak a long random program and the
// replay test the seed corpus: a program means the same to all three.
//
// An instruction is an opcode byte (its value modulo 16) and its operands;
// operands past the end of the program read as 0.
//   0 INJECT  n, bytes[n % 64 + 1]    bytes arrive from the switcher
//   1 FRAME   kind, body[11]          a frame with right markers and checksum
//                                     (kind bit 0: two-output), bytes 2 to 12
//   2 SPLIT   kind, cut, gap, body[11]  its first cut % 13 + 1 bytes, gap % 8
//                                     ticks, then the rest
//   3 TICK    n                       n + 1 ticks of 10 ms
//   4 FAIL    mask                    port operation i fails while bit i is set
//   5 HEAL                            no operation fails; with no port left,
//                                     the switcher is back on port 1
//   6 CLICK   target, hold            press, hold % 32 ticks, release
//   7 DRAG    target, n, dx, dy       press, n % 8 moves by (dx, dy), release
//   8 QUIET                           ticks until the link is lost and searched
//   9 PORTS   low, high               the ports 1 to 15 that exist (bits 1 to
//                                     15); the switcher sits on the highest
//  10 SETTLE  kind                    a lit frame and a tick, three times
//  11-15                              one tick
// Bytes arrive only while the switcher's port is the one open. A click target
// is a byte: bits 6-7 pick Picture1, Label2, Frame1 or Label1, the rest the
// element; a target the user cannot reach is skipped. Time puts right what a
// user would: a port search that has waited two rounds finds the failures
// healed. Ticks past the rig's limit are skipped.

#include <QByteArray>
#include <QString>
#include <memory>
#include <random>

struct RigCounts
{
    long long ticks = 0, mainTicks = 0, framesAccepted = 0, framesRejected = 0;
    long long settledFourOutput = 0, settledTwoOutput = 0, linkUps = 0, linkLosses = 0;
    long long searchCycles = 0, commands = 0, routeCommands = 0, tickStops = 0, presses = 0;
    long long maxMissedCycles = 0;
};

class Rig
{
public:
    static constexpr long long TicksPerHour = 360000;
    static constexpr long long FuzzTicks = 20000; // enough for any fuzzer input

    // A status window loaded as at start-up; needs a QApplication.
    explicit Rig(long long tickLimit);
    ~Rig();
    // Goes on from where the last program left the window; once an
    // invariant is broken, every step is refused.
    void run(const QByteArray &program);

    RigCounts counts;
    QString violation; // what broke first, when and where; empty while all hold

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// A switcher, its cable and a user at random from a seed: the next simulated
// minute or so of a program, mostly frames, with noise, faults, clicks,
// drags, quiet stretches, model and port changes now and then.
class RandomProgram
{
public:
    explicit RandomProgram(unsigned seed)
        : m_rng(seed)
    {
    }
    QByteArray next();

private:
    int roll(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_rng); }

    std::mt19937 m_rng;
    bool m_twoOutput = false;
};
