#pragma once

#include <QByteArray>
#include <cstdint>

struct ControllerState;

// The switcher's 14-byte status frame. Positions are counted from 1 as in the
// device documentation: byte 1 is the start marker, byte 13 the end marker,
// byte 14 the sum of bytes 2 to 12 modulo 256.
namespace StatusFrame {

constexpr int Length = 14;

constexpr uint8_t FourOutputStart = 'a';
constexpr uint8_t FourOutputEnd = 'z';
constexpr uint8_t TwoOutputStart = 'b';
constexpr uint8_t TwoOutputEnd = 'w';

// Status byte 2 with this value asks the panel to stop its main tick.
constexpr uint8_t StopTick = 255;

enum class Kind { Invalid, FourOutput, TwoOutput };

// Byte at 1-based position `pos`; the caller guarantees frame.size() >= pos.
inline uint8_t byteAt(const QByteArray &frame, int pos)
{
    return static_cast<uint8_t>(frame.at(pos - 1));
}

// Sum of bytes 2 to 12 modulo 256.
uint8_t checksum(const QByteArray &frame);

// Which switcher the markers name, or Invalid for any other pair.
Kind markerKind(const QByteArray &frame);

// True when the first 14 bytes carry a matching marker pair and checksum.
bool isValid(const QByteArray &frame);

// Where the first valid frame in `bytes` begins, or -1 when there is none.
int findFrame(const QByteArray &bytes);

// Where the first start marker among the last 13 bytes is: a frame that may
// still be arriving. -1 when there is none.
int incompleteFrameStart(const QByteArray &bytes);

// Builds a frame of the given kind from bytes 2 to 12, filling in the markers
// and the checksum. Used by the simulator and by tests.
QByteArray build(Kind kind, const uint8_t (&body)[11]);

} // namespace StatusFrame

// Copies the fields of an accepted frame into the controller state. Returns
// true when status byte 2 asks for the main tick to stop; stopping it is the
// caller's business since the timer lives with the window.
bool DecodeStatusFrame(const QByteArray &frame, ControllerState &state);
