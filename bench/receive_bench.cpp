// The receive step of one main tick, without the windows around it.
#include "qt_benchmark_main.h"

#include "core/controller_state.h"
#include "core/status_frame.h"
#include "fake_serial_port.h"
#include "link/status_receiver.h"

namespace {

class IdleHost : public StatusReceiver::Host
{
public:
    void bringUpPanel(int) override { }
    void reduceToTwoOutputs() override { }
    void stopMainTick() override { }
};

QByteArray fourOutputFrame()
{
    // Outputs 1 to 4 on inputs 1 to 4, everything lit, power on.
    const uint8_t body[11] = { 0, 0, 0, 0, 1, 2, 4, 8, 0xFF, 1, 0 };
    return StatusFrame::build(StatusFrame::Kind::FourOutput, body);
}

struct ReceiveFixture
{
    ReceiveFixture()
    {
        port.open();
        // The link is up and the model settled, as between frames in normal
        // running: every accepted frame goes straight to the decoder.
        state.setupPending = 0;
        state.matrixModel = 1;
        state.linkMark = ControllerState::LinkAlive;
    }

    FakeSerialPort port;
    ControllerState state;
    IdleHost host;
    StatusReceiver receiver { port, state, host };
};

void BM_Receive_NoData(benchmark::State &bs)
{
    ReceiveFixture f;
    for (auto _ : bs)
        f.receiver.ReadStatusFrame();
}
BENCHMARK(BM_Receive_NoData);

void BM_Receive_ValidFrame(benchmark::State &bs)
{
    ReceiveFixture f;
    const QByteArray frame = fourOutputFrame();
    for (auto _ : bs) {
        f.port.inject(frame);
        f.receiver.ReadStatusFrame();
    }
    if (f.state.outputSource4 != 8)
        bs.SkipWithError("the frame was not decoded");
}
BENCHMARK(BM_Receive_ValidFrame);

void BM_Receive_GarbageFrame(benchmark::State &bs)
{
    ReceiveFixture f;
    QByteArray garbage = fourOutputFrame();
    garbage[0] = 'x';
    garbage[12] = 'y';
    for (auto _ : bs) {
        f.port.inject(garbage);
        f.receiver.ReadStatusFrame();
    }
    if (!f.port.incoming.isEmpty())
        bs.SkipWithError("the garbage was not discarded");
}
BENCHMARK(BM_Receive_GarbageFrame);

} // namespace

int main(int argc, char **argv)
{
    return runQtBenchmarks(argc, argv);
}
