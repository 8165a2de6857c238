#pragma once

// Arbitrary bytes read as a little program for a fresh status window on the
// soak rig (fuzz/soak_driver.h): bytes on the line, ticks, port failures and
// clicks, in any order, with the controller's invariants checked after every
// step. Shared by the libFuzzer target and the corpus replay test, so a
// corpus file means the same to both.
//
// Each instruction is an opcode byte (its value modulo 16) and its operands;
// operands past the end of the input read as 0.
//   0 INJECT  n, bytes[n % 64 + 1]    raw bytes arrive
//   1 FRAME   kind, body[11]          a frame with right markers and checksum
//                                     (kind bit 0: two-output), bytes 2 to 12
//                                     from the body
//   2 SPLIT   kind, cut, gap, body[11]  the same frame, its first cut % 13 + 1
//                                     bytes, gap % 8 ticks, then the rest
//   3 TICK    n                       n + 1 ticks
//   4 CYCLE                           ticks up to the next supervision cycle
//   5 FAIL    mask                    port operation i fails while bit i is set
//   6 HEAL                            no operation fails; with no port left,
//                                     port 1 is back
//   7 CLICK   target, hold            press, hold % 32 ticks, release
//   8 DRAG    target, n, dx, dy       press, n % 8 moves by (dx, dy), release
//   9 QUIET                           ticks with nothing arriving until the
//                                     link is down and a search has run
//  10 PORTS   low, high               ports 1 to 15 that exist: bits 1 to 15
//  11 STOP    kind                    a well-formed frame with byte 2 = 255
//  12 SETTLE  kind                    three well-formed frames, a tick each
//  13-15                              one tick
// A click target is a byte: bits 6-7 pick Picture1, Label2, Frame1 or Label1,
// the rest the element; targets the user cannot reach are skipped.
//
// Time ends what the program sets: a port search that has waited two rounds
// for a port finds the failures healed and port 1 back, as a user would have
// plugged the cable in again. Past MaxTicks, ticks are skipped.

#include <QString>
#include <cstddef>
#include <cstdint>

struct FuzzOutcome
{
    QString violation; // empty when every invariant held
    int64_t ticks = 0;
    int64_t framesAccepted = 0;
    int64_t framesRejected = 0;
    int64_t linkUps = 0;
    int64_t linkLosses = 0;
    int64_t searchCycles = 0;
    int64_t commandsStarted = 0;
    int64_t tickStops = 0;
    int64_t presses = 0;
};

namespace FuzzProgram {
constexpr int64_t MaxTicks = 20000;
}

// Needs a QApplication.
FuzzOutcome runFuzzProgram(const uint8_t *data, size_t size);
