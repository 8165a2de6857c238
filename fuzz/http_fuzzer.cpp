// libFuzzer target of what network clients send as a body: the HTTP API's
// request bodies and the payloads of the MQTT command topics. The first byte
// picks what reads the rest. What is accepted must be a command the switcher
// takes, names the program keeps, a preset it can store; what is refused
// must say why. A broken invariant aborts, so libFuzzer keeps the input that
// did it.
//   first byte % 8:  0 parseRoute(body, 2)     1 parseRoute(body, 4)
//                    2 parseNames(body)        3 parseCommand(body)
//                    4 parsePreset(body, 2)    5 parsePreset(body, 4)
//                    6 parseInputPayload(body) 7 parseCommandPayload(body)
#include "core/command_frame.h"
#include "core/names.h"
#include "mqtt/mqtt_topics.h"
#include "remote/remote_state.h"

#include <cstdio>
#include <cstdlib>

namespace {

void check(bool holds, const char *what)
{
    if (holds)
        return;
    std::fprintf(stderr, "matrix-http-fuzzer: invariant broken: %s\n", what);
    std::abort();
}

void checkRoute(const RemoteCommand &r, int outputs)
{
    check(r.command.has_value() == r.error.isEmpty(), "a route both taken and refused, or neither");
    if (!r.command)
        return;
    // route(input, output) is (input - 1) + 4 * (output - 1).
    check(*r.command < 4 * outputs, "a route byte beyond the model's outputs");
    check(r.output == *r.command / 4 + 1, "a route to another output than its byte's");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray body(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    switch (data[0] % 8) {
    case 0:
    case 1: {
        const int outputs = data[0] % 4 == 0 ? 2 : 4;
        checkRoute(parseRoute(body, outputs), outputs);
        break;
    }
    case 2: {
        QString error;
        const std::vector<NameChange> changes = parseNames(body, &error);
        check(changes.empty() != error.isEmpty(), "names both taken and refused, or neither");
        for (const NameChange &c : changes) {
            check(c.index >= 0 && c.index < 4, "a name for a port out of range");
            check(!nameProblem(c.name), "a name that is not valid");
        }
        break;
    }
    case 3: {
        const RemoteCommand r = parseCommand(body);
        check(r.command.has_value() == r.error.isEmpty(),
            "a command both taken and refused, or neither");
        check(!r.command || *r.command == CommandFrame::Command16
                || *r.command == CommandFrame::Command40,
            "a command other than 16 or 40");
        break;
    }
    case 4:
    case 5: {
        const int outputs = data[0] % 8 == 4 ? 2 : 4;
        const ParsedPreset p = parsePreset(body, outputs, PresetBody::NameAndMaybeRoutes);
        if (!p.error.isEmpty())
            break;
        check(!nameProblem(p.name), "a preset name that is not valid");
        for (const auto &[output, input] : p.routes)
            check(output >= 1 && output <= outputs && input >= 1 && input <= 4,
                "a preset route beyond the model or the inputs");
        break;
    }
    case 6: {
        Names names;
        names.inputs[2] = QStringLiteral("Laptop");
        QString error;
        const std::optional<int> input = parseInputPayload(body, names, &error);
        check(input.has_value() == error.isEmpty(), "an input both taken and refused, or neither");
        check(!input || (*input >= 1 && *input <= 4), "an input other than 1 to 4");
        break;
    }
    default: {
        QString error;
        const std::optional<uint8_t> x = parseCommandPayload(body, &error);
        check(x.has_value() == error.isEmpty(), "a command both taken and refused, or neither");
        check(!x || *x == CommandFrame::Command16 || *x == CommandFrame::Command40,
            "an MQTT command other than 16 or 40");
    }
    }
    return 0;
}
