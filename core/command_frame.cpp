#include "core/command_frame.h"

namespace CommandFrame {

QByteArray bytes(uint8_t x)
{
    const char frame[Length] = { char(x), char(complement(x)), char(Trailer1), char(Trailer2) };
    return QByteArray(frame, Length);
}

bool isFrame(const uint8_t *data)
{
    return data[1] == complement(data[0]) && data[2] == Trailer1 && data[3] == Trailer2;
}

} // namespace CommandFrame
