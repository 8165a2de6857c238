#include "fuzz/fuzz_program.h"

#include "core/controller_state.h"
#include "app/controller.h"
#include "core/status_frame.h"
#include "fuzz/soak_driver.h"

#include <QCoreApplication>
#include <algorithm>

namespace {

enum Opcode {
    Inject,
    Frame,
    Split,
    Tick,
    Cycle,
    Fail,
    Heal,
    Click,
    Drag,
    Quiet,
    Ports,
    Stop,
    Settle,
};

// Picture1's elements, in the order a click target's low bits pick them.
constexpr int PictureIndices[]
    = { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 33, 34, 35, 36 };

class Interpreter
{
public:
    Interpreter(const uint8_t *data, size_t size)
        : m_data(data)
        , m_size(size)
    {
        // Painting the windows costs more than the rest of a run.
        m_rig.setEventsEvery(0);
        m_rig.onSearchWait = [this](int waitMs) {
            // A round of ports has been tried: after two, the user has put
            // things right.
            if (waitMs > 0 && ++m_roundsWaited >= 2)
                heal();
        };
    }

    FuzzOutcome run()
    {
        while (m_pos < m_size && !m_rig.failed())
            step();
        FuzzOutcome outcome;
        const SoakCounts &c = m_rig.counts();
        outcome.violation = m_rig.violation();
        outcome.ticks = c.ticks;
        outcome.framesAccepted = c.framesAccepted;
        outcome.framesRejected = c.framesRejected;
        outcome.linkUps = c.linkUps;
        outcome.linkLosses = c.linkLosses;
        outcome.searchCycles = c.searchCycles;
        outcome.commandsStarted = c.commandsStarted;
        outcome.tickStops = c.tickStops;
        outcome.presses = c.presses;
        return outcome;
    }

private:
    uint8_t next() { return m_pos < m_size ? m_data[m_pos++] : 0; }

    void ticks(int64_t n)
    {
        for (int64_t i = 0; i < n && !m_rig.failed() && m_rig.now() < FuzzProgram::MaxTicks; ++i)
            m_rig.tick();
    }

    void heal()
    {
        m_roundsWaited = 0;
        m_rig.port().failing.clear();
        if (m_rig.port().existing.empty())
            m_rig.port().existing = { 1 };
    }

    QByteArray frame(uint8_t kind, const uint8_t (&body)[11])
    {
        return StatusFrame::build(
            kind & 1 ? StatusFrame::Kind::TwoOutput : StatusFrame::Kind::FourOutput, body);
    }

    QByteArray frameFromInput(uint8_t kind)
    {
        uint8_t body[11];
        for (uint8_t &b : body)
            b = next();
        return frame(kind, body);
    }

    // A frame that lights everything, with byte 2 as given.
    QByteArray plainFrame(uint8_t kind, uint8_t byte2)
    {
        const uint8_t body[11] = { byte2, 0, 0, 0, 1, 2, 4, 8, 0xFF, 1, 0 };
        return frame(kind, body);
    }

    bool press(uint8_t target)
    {
        const int element = target & 0x3F;
        switch (target >> 6) {
        case 0:
            return m_rig.press(SoakRig::Control::Picture,
                PictureIndices[element % int(std::size(PictureIndices))]);
        case 1:
            return m_rig.press(SoakRig::Control::Caption, element % 4);
        case 2:
            return m_rig.press(SoakRig::Control::Frame, 0);
        default:
            return m_rig.press(SoakRig::Control::Legend, element % 10);
        }
    }

    void step()
    {
        SoakPort &port = m_rig.port();
        switch (next() % 16) {
        case Inject: {
            const int n = next() % 64 + 1;
            QByteArray bytes;
            for (int i = 0; i < n && m_pos < m_size; ++i)
                bytes.append(char(next()));
            port.inject(bytes);
            break;
        }
        case Frame: {
            const uint8_t kind = next();
            port.inject(frameFromInput(kind));
            break;
        }
        case Split: {
            const uint8_t kind = next();
            const int cut = next() % 13 + 1;
            const int gap = next() % 8;
            const QByteArray f = frameFromInput(kind);
            port.inject(f.left(cut));
            ticks(gap);
            port.inject(f.mid(cut));
            break;
        }
        case Tick:
            ticks(next() + 1);
            break;
        case Cycle:
            ticks(Controller::SuperviseEveryTicks - m_rig.now() % Controller::SuperviseEveryTicks);
            break;
        case Fail: {
            const uint8_t mask = next();
            port.failing.clear();
            for (int op = 0; op < 8; ++op) {
                if (mask & (1 << op))
                    port.failing.insert(FakeSerialPort::Operation(op));
            }
            break;
        }
        case Heal:
            heal();
            break;
        case Click: {
            const uint8_t target = next();
            const int hold = next() % 32;
            if (press(target)) {
                ticks(hold);
                m_rig.release();
            }
            break;
        }
        case Drag: {
            const uint8_t target = next();
            const int moves = next() % 8;
            const double dx = int8_t(next());
            const double dy = int8_t(next());
            if (press(target)) {
                for (int i = 0; i < moves; ++i)
                    m_rig.drag(dx, dy);
                m_rig.release();
            }
            break;
        }
        case Quiet: {
            // Four quiet cycles lose the link; the search runs on the next.
            const int64_t limit = 6 * Controller::SuperviseEveryTicks;
            for (int64_t i = 0; i < limit && m_rig.app().state().linkUp(); ++i)
                ticks(1);
            ticks(Controller::SuperviseEveryTicks);
            break;
        }
        case Ports: {
            const unsigned bits = next() | unsigned(next()) << 8;
            port.existing.clear();
            for (int n = 1; n <= 15; ++n) {
                if (bits & (1u << n))
                    port.existing.insert(n);
            }
            break;
        }
        case Stop:
            port.inject(plainFrame(next(), StatusFrame::StopTick));
            break;
        case Settle: {
            const uint8_t kind = next();
            for (int i = 0; i < 3; ++i) {
                port.inject(plainFrame(kind, 0));
                ticks(1);
            }
            break;
        }
        default:
            ticks(1);
            break;
        }
    }

    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
    SoakRig m_rig;
    int m_roundsWaited = 0;
};

} // namespace

FuzzOutcome runFuzzProgram(const uint8_t *data, size_t size)
{
    FuzzOutcome outcome = Interpreter(data, size).run();
    // The windows are gone: what the window system queued for them goes too.
    QCoreApplication::processEvents();
    return outcome;
}
