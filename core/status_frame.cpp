#include "core/status_frame.h"

#include "core/controller_state.h"

namespace StatusFrame {

namespace {

bool isStartMarker(uint8_t byte)
{
    return byte == FourOutputStart || byte == TwoOutputStart;
}

// The same tests as below, on the 14 bytes at `frame`.
uint8_t checksumAt(const char *frame)
{
    unsigned frameSum = 0;
    for (int frameIndex = 2; frameIndex <= 12; ++frameIndex)
        frameSum += uint8_t(frame[frameIndex - 1]);
    return uint8_t(frameSum % 256);
}

Kind markerKindAt(const char *frame)
{
    const uint8_t start = uint8_t(frame[0]);
    const uint8_t end = uint8_t(frame[12]);
    if (start == FourOutputStart && end == FourOutputEnd)
        return Kind::FourOutput;
    if (start == TwoOutputStart && end == TwoOutputEnd)
        return Kind::TwoOutput;
    return Kind::Invalid;
}

bool isValidAt(const char *frame)
{
    return markerKindAt(frame) != Kind::Invalid && uint8_t(frame[13]) == checksumAt(frame);
}

} // namespace

uint8_t checksum(const QByteArray &frame)
{
    return checksumAt(frame.constData());
}

Kind markerKind(const QByteArray &frame)
{
    return frame.size() < Length ? Kind::Invalid : markerKindAt(frame.constData());
}

bool isValid(const QByteArray &frame)
{
    return frame.size() >= Length && isValidAt(frame.constData());
}

int findFrame(const QByteArray &bytes)
{
    for (int offset = 0; offset + Length <= bytes.size(); ++offset) {
        if (isStartMarker(uint8_t(bytes[offset])) && isValidAt(bytes.constData() + offset))
            return offset;
    }
    return -1;
}

int incompleteFrameStart(const QByteArray &bytes)
{
    for (int offset = qMax(0, int(bytes.size()) - (Length - 1)); offset < bytes.size(); ++offset) {
        if (isStartMarker(uint8_t(bytes[offset])))
            return offset;
    }
    return -1;
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
