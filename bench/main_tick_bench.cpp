// One whole main tick of the status window, link down and link up.
#include "qt_benchmark_main.h"

#include "app/controller.h"
#include "panel/form1.h"
#include "core/status_frame.h"
#include "fake_serial_port.h"
#include "panel/form3.h"

#include <QCoreApplication>
#include <memory>

namespace {

QByteArray frameWithOutput1On(uint8_t inputBit)
{
    const uint8_t body[11] = { 0, 0, 0, 0, inputBit, 2, 4, 8, 0xFF, 1, 0 };
    return StatusFrame::build(StatusFrame::Kind::FourOutput, body);
}

// The controller on a fake port, driven by the benchmark alone: no event loop
// runs, so its timers never fire, and the port search lets no events run.
// Every port number exists: the search that runs on every 50th tick with the
// link down then moves on by one port, as on a machine whose serial ports all
// open but none has the switcher.
struct TickFixture
{
    TickFixture()
    {
        auto owned = std::make_unique<FakeSerialPort>();
        port = owned.get();
        for (int n = 1; n <= 15; ++n)
            port->existing.insert(n);
        form = std::make_unique<Controller>(std::move(owned));
        form->setEventPump([](int) {});
        form->Form_Load();
    }

    bool bringUpLink()
    {
        const QByteArray frame = frameWithOutput1On(1);
        for (int i = 0; i < 3; ++i) {
            port->inject(frame);
            form->Timer1_Timer();
        }
        return form->state().linkUp() && form->panel().isVisible();
    }

    FakeSerialPort *port = nullptr;
    std::unique_ptr<Controller> form;
};

void BM_MainTick_Empty(benchmark::State &bs)
{
    TickFixture f;
    for (auto _ : bs)
        f.form->Timer1_Timer();
    if (f.form->state().linkUp())
        bs.SkipWithError("the link came up with no frames");
}
BENCHMARK(BM_MainTick_Empty);

void BM_MainTick_LinkUp(benchmark::State &bs)
{
    TickFixture f;
    if (!f.bringUpLink()) {
        bs.SkipWithError("the link did not come up");
        return;
    }
    const QByteArray frame = frameWithOutput1On(1);
    for (auto _ : bs) {
        f.port->inject(frame);
        f.form->Timer1_Timer();
    }
    if (!f.form->state().linkUp() || !f.port->incoming.isEmpty())
        bs.SkipWithError("the link went down or frames piled up");
}
BENCHMARK(BM_MainTick_LinkUp);

// Every frame moves output 1 to the other input, so every tick changes a
// caption; the repaint this asks for is included.
void BM_MainTick_LinkUp_RouteChangeAndPaint(benchmark::State &bs)
{
    TickFixture f;
    if (!f.bringUpLink()) {
        bs.SkipWithError("the link did not come up");
        return;
    }
    const QByteArray frames[2] = { frameWithOutput1On(2), frameWithOutput1On(1) };
    int next = 0;
    for (auto _ : bs) {
        f.port->inject(frames[next]);
        next ^= 1;
        f.form->Timer1_Timer();
        QCoreApplication::processEvents();
    }
    if (!f.form->state().linkUp())
        bs.SkipWithError("the link went down");
}
BENCHMARK(BM_MainTick_LinkUp_RouteChangeAndPaint);

} // namespace

int main(int argc, char **argv)
{
    return runQtBenchmarks(argc, argv);
}
