#include "sim/switcher.h"

#include "core/command_frame.h"
#include "core/status_frame.h"

namespace {

// Byte 10: inputs 1..4 on bits 7..4. The simulator has a source on every input.
constexpr uint8_t AllInputsPresent = 0xF0;

} // namespace

Switcher::Switcher(Model model)
    : m_model(model)
{
}

int Switcher::routedInput(int output) const
{
    if (output < 1 || output > OutputCount)
        return 0;
    return m_routing[size_t(output - 1)];
}

bool Switcher::route(int input, int output)
{
    if (input < 1 || input > InputCount || output < 1 || output > OutputCount)
        return false;
    m_routing[size_t(output - 1)] = input;
    return true;
}

QByteArray Switcher::nextFrame()
{
    uint8_t body[11] = {};
    // body[0] is frame byte 2, body[10] frame byte 12.
    // A frame with a wrong checksum is dropped by the panel, so a stop request
    // riding on it would be lost: each one-shot request gets a frame of its own.
    const bool stopTick = m_stopTickPending;
    const bool badChecksum = m_badChecksumPending && !stopTick;
    body[0] = stopTick ? StatusFrame::StopTick : 0;
    for (int output = 1; output <= OutputCount; ++output) {
        const int input = routedInput(output);
        body[4 + output - 1] = input > 0 ? uint8_t(1u << (input - 1)) : 0;
    }

    uint8_t flags = AllInputsPresent;
    if (m_model == Model::FourOutput) {
        for (int output = 1; output <= 4; ++output) {
            if (routedInput(output) > 0)
                flags |= uint8_t(1u << (4 - output));
        }
    } else {
        // The two-output switcher reports output 1 on bit 2 and output 2 on
        // bit 3, set while the output is idle; bits 1 and 0 stay clear.
        if (routedInput(1) == 0)
            flags |= 0x04;
        if (routedInput(2) == 0)
            flags |= 0x08;
    }
    body[8] = flags;
    body[9] = m_powerOn ? 1 : 0;

    const auto kind = m_model == Model::FourOutput ? StatusFrame::Kind::FourOutput
                                                   : StatusFrame::Kind::TwoOutput;
    QByteArray frame = StatusFrame::build(kind, body);
    if (badChecksum)
        frame[StatusFrame::Length - 1] = char(~uint8_t(frame[StatusFrame::Length - 1]));

    if (stopTick)
        m_stopTickPending = false;
    else
        m_badChecksumPending = false;
    return frame;
}

Switcher::Command Switcher::decode(uint8_t code)
{
    Command command;
    command.code = code;
    if (code < InputCount * OutputCount) {
        command.type = Command::Type::Route;
        command.input = code % InputCount + 1;
        command.output = code / InputCount + 1;
    } else if (code == CommandFrame::Command16) {
        command.type = Command::Type::Command16;
    } else if (code == CommandFrame::Command40) {
        command.type = Command::Type::Command40;
    }
    return command;
}

std::vector<Switcher::Command> Switcher::receive(const uint8_t *data, size_t size)
{
    std::vector<Command> commands;
    m_rxBuffer.insert(m_rxBuffer.end(), data, data + size);

    size_t index = 0;
    while (index + CommandFrame::Length <= m_rxBuffer.size()) {
        if (!CommandFrame::isFrame(m_rxBuffer.data() + index)) {
            ++index;
            ++m_discardedBytes;
            continue;
        }
        const Command command = decode(m_rxBuffer[index]);
        if (command.type == Command::Type::Route)
            route(command.input, command.output);
        commands.push_back(command);
        index += CommandFrame::Length;
    }
    m_rxBuffer.erase(m_rxBuffer.begin(), m_rxBuffer.begin() + std::ptrdiff_t(index));
    return commands;
}
