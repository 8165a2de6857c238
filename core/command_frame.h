#pragma once

#include <QByteArray>
#include <cstdint>

// A command to the switcher travels as four bytes: the command, its
// complement, 213, 123. The switcher wants them paced, so the panel writes
// them one at a time (link/command_transmitter.h).
namespace CommandFrame {

constexpr int Length = 4;
constexpr uint8_t Trailer1 = 213;
constexpr uint8_t Trailer2 = 123;

// The two commands of the panel's bottom buttons.
constexpr uint8_t Command16 = 16;
constexpr uint8_t Command40 = 40;

// Routing commands 0 to 15: input 1 to 4 onto output 1 to 4 ("A" to "D").
constexpr int RouteCount = 16;
constexpr uint8_t route(int input, int output)
{
    return uint8_t((input - 1) + 4 * (output - 1));
}

constexpr uint8_t complement(uint8_t x)
{
    return uint8_t(255 - x);
}

// The whole frame for `x`, in the order the bytes go on the line.
QByteArray bytes(uint8_t x);

// True when the four bytes at `data` are a command frame.
bool isFrame(const uint8_t *data);

} // namespace CommandFrame
