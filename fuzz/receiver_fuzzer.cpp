// libFuzzer target of the receiver alone: arbitrary bytes through the fake
// port into StatusReceiver and its model detection, with no window, no timer
// and no main tick, so that it runs over a hundred times faster than the
// target that drives the whole program. A broken invariant aborts, so
// libFuzzer keeps the input that did it.
//
// Each instruction is an opcode byte (its value modulo 8) and its operands;
// operands past the end of the input read as 0.
//   0 BYTES  n, bytes[n % 32 + 1]   raw bytes arrive
//   1 FRAME  kind, body[11]         a frame with right markers and checksum
//                                   (kind bit 0: two-output)
//   2 READ                          one read, as the main tick makes it
//   3 FAIL   mask                   counting, reading and the port itself
//                                   fail while bits 0, 1 and 2 are set
//   4 LOST                          the link is lost: the model is open again
//   5 PORT   n                      the search moves to port n % 3 + 1
//   6 DISCARD                       lingering input is thrown away
//   7 READ                          (as 2: reads are most of what happens)
#include "core/controller_state.h"
#include "core/status_frame.h"
#include "fake_serial_port.h"
#include "link/status_receiver.h"

#include <cstdio>
#include <cstdlib>

namespace {

void check(bool holds, const char *what)
{
    if (holds)
        return;
    std::fprintf(stderr, "matrix-receiver-fuzzer: invariant broken: %s\n", what);
    std::abort();
}

struct Host : StatusReceiver::Host
{
    ControllerState state;
    void bringUpPanel(int model) override { check(model == 1 || model == 2, "panel for model"); }
    void reduceToTwoOutputs() override { check(state.matrixModel == 2, "reduced a four-output"); }
    void stopMainTick() override { check(state.statusByte2 == 255, "tick stopped without 255"); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t pos = 0;
    auto next = [&] { return pos < size ? data[pos++] : uint8_t(0); };

    FakeSerialPort port;
    port.existing = { 1, 2, 3 };
    port.open();
    Host host;
    ControllerState &state = host.state;
    state.matrixModel = state.setupPending = ControllerState::NotDetermined;
    StatusReceiver receiver(port, state, host);
    QByteArray arrived; // every byte that ever arrived, on any port

    while (pos < size) {
        switch (next() % 8) {
        case 0:
            for (int n = next() % 32 + 1; n > 0; --n) {
                arrived += char(next());
                port.inject(arrived.right(1));
            }
            break;
        case 1: {
            const auto kind
                = next() & 1 ? StatusFrame::Kind::TwoOutput : StatusFrame::Kind::FourOutput;
            uint8_t body[11];
            for (uint8_t &b : body)
                b = next();
            arrived += StatusFrame::build(kind, body);
            port.inject(arrived.right(StatusFrame::Length));
            break;
        }
        case 3: {
            const uint8_t mask = next();
            port.failing.clear();
            if (mask & 1)
                port.failing.insert(FakeSerialPort::Count);
            if (mask & 2)
                port.failing.insert(FakeSerialPort::Read);
            port.opened = !(mask & 4);
            break;
        }
        case 4:
            state.linkMark = 0;
            state.matrixModel = state.setupPending = ControllerState::NotDetermined;
            break;
        case 5:
            port.opened = false;
            port.setCommPort(next() % 3 + 1);
            port.incoming.clear(); // another line, with nothing on it yet
            port.open();
            break;
        case 6:
            receiver.discardWaiting();
            break;
        default:
            state.linkMark = 0;
            receiver.ReadStatusFrame();
            if (state.linkUp()) {
                const QByteArray &frame = receiver.frameText();
                check(StatusFrame::isValid(frame) && frame.size() == StatusFrame::Length,
                    "accepted a frame without its markers and checksum");
                check(arrived.contains(frame), "accepted bytes that never arrived");
            }
        }
        check(state.matrixModel == 1 || state.matrixModel == 2
                || state.matrixModel == ControllerState::NotDetermined,
            "model other than 1, 2 or 12");
        const std::optional<int> waiting = receiver.bytesWaiting(); // forgets another port's bytes
        if (port.opened && !port.failing.count(FakeSerialPort::Count)) {
            const int kept = *waiting - int(port.incoming.size());
            check(kept >= 0 && kept < StatusFrame::Length, "kept 14 bytes or more");
        }
    }
    return 0;
}
