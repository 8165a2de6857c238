#include "core/status_frame.h"

#include "core/controller_state.h"

namespace StatusFrame {

uint8_t checksum(const QByteArray &frame)
{
    unsigned frameSum = 0;
    for (int frameIndex = 2; frameIndex <= 12; ++frameIndex)
        frameSum += byteAt(frame, frameIndex);
    return static_cast<uint8_t>(frameSum % 256);
}

Kind markerKind(const QByteArray &frame)
{
    if (frame.size() < Length)
        return Kind::Invalid;
    const uint8_t start = byteAt(frame, 1);
    const uint8_t end = byteAt(frame, 13);
    if (start == FourOutputStart && end == FourOutputEnd)
        return Kind::FourOutput;
    if (start == TwoOutputStart && end == TwoOutputEnd)
        return Kind::TwoOutput;
    return Kind::Invalid;
}

bool isValid(const QByteArray &frame)
{
    return markerKind(frame) != Kind::Invalid && byteAt(frame, 14) == checksum(frame);
}

QByteArray build(Kind kind, const uint8_t (&body)[11])
{
    QByteArray frame(Length, '\0');
    const bool two = kind == Kind::TwoOutput;
    frame[0] = char(two ? TwoOutputStart : FourOutputStart);
    for (int i = 0; i < 11; ++i)
        frame[i + 1] = char(body[i]);
    frame[12] = char(two ? TwoOutputEnd : FourOutputEnd);
    frame[13] = char(checksum(frame));
    return frame;
}

} // namespace StatusFrame

bool DecodeStatusFrame(const QByteArray &frame, ControllerState &state)
{
    using StatusFrame::byteAt;
    state.statusByte2 = byteAt(frame, 2);
    state.statusByte3 = byteAt(frame, 3);
    state.statusByte4 = byteAt(frame, 4);
    state.statusByte5 = byteAt(frame, 5);
    state.outputSource1 = byteAt(frame, 6);
    state.outputSource2 = byteAt(frame, 7);
    state.outputSource3 = byteAt(frame, 8);
    state.outputSource4 = byteAt(frame, 9);

    const uint8_t flags = byteAt(frame, 10);
    if (state.matrixModel == 1) {
        state.outputFlags[0] = flags & 8;
        state.outputFlags[1] = flags & 4;
        state.outputFlags[2] = flags & 2;
        state.outputFlags[3] = flags & 1;
    } else {
        // The two-output switcher reports its outputs inverted and swapped:
        // output 1 on bit 2, output 2 on bit 3, active when the bit is clear.
        // Outputs 3 and 4 keep whatever they last held.
        state.outputFlags[0] = (flags & 4) ^ 4;
        state.outputFlags[1] = (flags & 8) ^ 8;
    }
    state.inputFlags[3] = flags & 16;
    state.inputFlags[2] = flags & 32;
    state.inputFlags[1] = flags & 64;
    state.inputFlags[0] = flags & 128;

    state.powerState = byteAt(frame, 11);
    state.statusByte12 = byteAt(frame, 12);

    return state.statusByte2 == StatusFrame::StopTick;
}
