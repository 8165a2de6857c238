#include "fuzz/rig.h"

#include "app/controller.h"
#include "core/controller_state.h"
#include "fake_serial_port.h"
#include "panel/form3.h"

#include <QCoreApplication>
#include <algorithm>
#include <numeric>
#include <optional>
#include <utility>

namespace {

enum Op { Inject, Frame, Split, Tick, Fail, Heal, Click, Drag, Quiet, Ports, Settle };
constexpr int Operands[] = { 1, 12, 14, 1, 1, 0, 2, 4, 0, 2, 1 };
enum Step { MainTick, Pacing, Watchdog, Animation, Events, Press, Move, Release };
const char *const StepNames[] = { "main tick", "pacing tick", "watchdog", "animation tick",
    "events", "press", "drag", "release" };
constexpr int Length = 14;
constexpr uint8_t Lit[11] = { 0, 0, 0, 0, 1, 2, 4, 8, 0xFF, 1, 0 };

// The switcher's framing, written apart from the program's so that the two
// can disagree: markers 'a'...'z' or 'b'...'w', byte 14 the sum of 2 to 12.
uint8_t sumAt(const QByteArray &b, int i)
{
    return uint8_t(std::accumulate(b.begin() + i + 1, b.begin() + i + 12, 0u,
        [](unsigned sum, char byte) { return sum + uint8_t(byte); }));
}

// Where a frame may still be arriving: the first start marker among the
// last 13 bytes.
int partialStart(const QByteArray &b)
{
    for (int i = std::max(0, int(b.size()) - (Length - 1)); i < b.size(); ++i)
        if (b[i] == 'a' || b[i] == 'b')
            return i;
    return -1;
}

int firstFrame(const QByteArray &b)
{
    for (int i = 0; i + Length <= b.size(); ++i) {
        const bool markers = (b[i] == 'a' && b[i + 12] == 'z') || (b[i] == 'b' && b[i + 12] == 'w');
        if (markers && sumAt(b, i) == uint8_t(b[i + 13]))
            return i;
    }
    return -1;
}

QByteArray makeFrame(int kind, const uint8_t *body)
{
    QByteArray frame
        = (kind & 1 ? "b" : "a") + QByteArray(reinterpret_cast<const char *>(body), 11);
    frame += kind & 1 ? 'w' : 'z';
    return frame + char(sumAt(frame, 0));
}

} // namespace

// Also an application event filter: the rig calls the controller's timer
// handlers itself, so the timers' own timeouts, due whenever the window
// system's events run, are dropped.
struct Rig::Impl : QObject
{
    // Keeps no history for long, and shows the rig what the receiver reads.
    struct Port : FakeSerialPort
    {
        Impl *rig = nullptr;
        std::optional<QByteArray> readAll() override
        {
            if (opened && !failing.count(Read))
                rig->reading();
            return FakeSerialPort::readAll();
        }
        // The receiver asks what waits before every read: a frame begun on
        // another port must never be finished with this one's bytes.
        std::optional<int> bytesWaiting() override
        {
            if (number != rig->carriedFrom)
                rig->carried.clear();
            return FakeSerialPort::bytesWaiting();
        }
    };

    Impl(Rig &r, long long tickLimit)
        : c(r.counts)
        , violation(r.violation)
        , limit(tickLimit)
    {
        auto owned = std::make_unique<Port>();
        port = owned.get();
        port->rig = this;
        app = std::make_unique<Controller>(std::move(owned));
        // The search lets events run; here simulated time passes instead.
        app->setEventPump([this](int waitMs) { searchWait(waitMs); });
        timers = { &app->Timer1(), &app->Timer2(), &app->Timer3(), &app->Timer4() };
        QCoreApplication::instance()->installEventFilter(this);
        app->Form_Load();
        port->openAttempts.clear();
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        return event->type() == QEvent::Timer
            && std::find(timers.begin(), timers.end(), watched) != timers.end();
    }

    uint8_t next() { return pos < program.size() ? uint8_t(program[pos++]) : 0; }
    ControllerState &state() { return app->state(); }
    Form3 &panel() { return app->panel(); }
    bool readable()
    {
        return port->FakeSerialPort::bytesWaiting() && !port->failing.count(port->Read);
    }
    void hear(const QByteArray &bytes)
    {
        if (port->opened && port->number == device)
            port->inject(bytes);
    }
    void heal()
    {
        roundsWaited = 0;
        port->failing.clear();
        if (port->existing.empty())
            port->existing = { device = 1 };
    }

    void instruction()
    {
        const int code = next() % 16;
        uint8_t a[14] = {};
        for (int i = 0; i < (code <= Settle ? Operands[code] : 0); ++i)
            a[i] = next();
        switch (code) {
        case Inject:
            hear(program.mid(pos, a[0] % 64 + 1));
            pos = std::min(int(program.size()), pos + a[0] % 64 + 1);
            break;
        case Frame:
            hear(makeFrame(a[0], a + 1));
            break;
        case Split:
            hear(makeFrame(a[0], a + 3).left(a[1] % 13 + 1));
            ticks(a[2] % 8);
            hear(makeFrame(a[0], a + 3).mid(a[1] % 13 + 1));
            break;
        case Fail:
            port->failing.clear();
            for (int op = 0; op < 8; ++op)
                if (a[0] >> op & 1)
                    port->failing.insert(FakeSerialPort::Operation(op));
            break;
        case Heal:
            heal();
            break;
        case Click:
        case Drag:
            gesture(code == Drag, a);
            break;
        case Quiet:
            // Four quiet cycles lose the link; the search runs on the next.
            for (int i = 0; i < 6 * Controller::SuperviseEveryTicks && state().linkUp(); ++i)
                ticks(1);
            ticks(Controller::SuperviseEveryTicks);
            break;
        case Ports:
            port->existing.clear();
            for (int n = 1; n <= 15; ++n)
                if ((a[0] | a[1] << 8) >> n & 1)
                    port->existing.insert(device = n);
            break;
        case Settle:
            for (int i = 0; i < 3; ++i, ticks(1))
                hear(makeFrame(a[0], Lit));
            break;
        default:
            ticks(code == Tick ? a[0] + 1 : 1);
        }
    }

    void ticks(int n)
    {
        for (; n > 0 && violation.isEmpty() && c.ticks < limit; --n) {
            ++c.ticks;
            for (int i = 0; i < 4; ++i)
                if (timers[i]->isActive() && c.ticks % std::max(1, timers[i]->interval() / 10) == 0)
                    step(Step(i), [this, i] {
                        i == 0       ? app->Timer1_Timer()
                            : i == 1 ? app->Timer2_Timer()
                            : i == 2 ? app->Timer3_Timer()
                                     : app->Timer4_Timer();
                    });
            // Shows, hides, moves and repaints would pile up for as long as
            // the run goes: a minute's worth go through as in a running program.
            if (c.ticks % 6000 == 0)
                step(Events, [] { QCoreApplication::processEvents(); });
        }
    }

    // A press on a control the user can reach, a hold or moves, a release.
    void gesture(bool drag, const uint8_t *a)
    {
        const int kind = a[0] >> 6;
        // Picture1's elements are 0 to 15 and 33 to 36.
        const int e = a[0] % 64 % (kind == 0 ? 20 : kind == 1 ? 4 : 10);
        const int index = kind == 0 && e >= 16 ? e + 17 : e;
        QWidget *widget = kind == 0 ? panel().picture(index)
            : kind == 1             ? panel().label2(index)
            : kind == 2             ? static_cast<QWidget *>(panel().frame1())
                                    : panel().label1(index);
        // An even face lies under the odd face of its button.
        if (!violation.isEmpty() || !panel().isVisible() || !widget->isVisible()
            || (kind == 0 && index % 2 == 0
                && panel().pictureVisible(index <= 15 ? index + 1 : index - 1)))
            return;
        using Handler = void (Form3::*)(int, int, int, double, double);
        const Handler downs[] = { &Form3::Picture1_MouseDown, &Form3::Label2_MouseDown,
            &Form3::Frame1_MouseDown, &Form3::Label1_MouseDown };
        // Frame1 and Label1 have no release handler: their press only starts a drag.
        const Handler ups[]
            = { &Form3::Picture1_MouseUp, &Form3::Label2_MouseUp, nullptr, nullptr };
        pressed = { kind, index };
        ++c.presses;
        step(Press, [&] { (panel().*downs[kind])(index, Form3::LeftButton, 0, 120, 120); });
        for (int i = 0; drag && i < a[1] % 8; ++i)
            step(Move, [&] {
                panel().DragPanel(0, Form3::LeftButton, 0, panel().dragX() + int8_t(a[2]),
                    panel().dragY() + int8_t(a[3]));
            });
        ticks(drag ? 0 : a[1] % 32);
        step(Release, [&] {
            pressed.reset();
            if (ups[kind])
                (panel().*ups[kind])(index, Form3::LeftButton, 0, panel().dragX(), panel().dragY());
        });
        pressed.reset();
    }

    void searchWait(int waitMs)
    {
        // A round of ports has been tried: after two, the user has put things right.
        if (waitMs > 0 && ++roundsWaited >= 2)
            heal();
        if (++searchWaits > 100000) {
            fail("the port search never ends");
            app->endProgram();
        }
    }

    // The receiver is about to read: it looks through the frame it carried
    // over from this port and all that waits, and must take the first valid
    // frame there, if any; failing that, it carries over a frame still arriving.
    void reading()
    {
        const QByteArray bytes = std::exchange(carried, {}) + port->incoming;
        if (bytes.size() < Length)
            return; // stale bytes thrown away, not a read for a frame
        read = bytes;
        expected = firstFrame(read);
        if (expected < 0 && partialStart(read) >= 0) {
            carried = read.mid(partialStart(read));
            carriedFrom = port->number;
        }
        pendingAtRead = state().setupPending;
        // statusByte12 is stored and never acted on: a marker there, unlike
        // byte 12 of the frame due, shows a decode even of a repeated frame.
        byte12 = state().statusByte12;
        marker = uint8_t(~read[std::max(expected, 0) + 11]);
        state().statusByte12 = marker;
    }

    void fail(const QString &what)
    {
        if (violation.isEmpty())
            violation
                = QStringLiteral("tick %1, %2: %3").arg(c.ticks).arg(StepNames[current], what);
    }

    template <typename Act> void step(Step kind, Act act)
    {
        if (!violation.isEmpty())
            return;
        current = kind;
        ControllerState &s = state();
        const StatusReceiver &receiver = app->receiver();
        const int linkMark = s.linkMark;
        const std::pair<int, int> runs { receiver.aFrameRun(), receiver.bFrameRun() };
        const int sendStep = app->transmitter().sendStep();
        const bool tickOn = timers[0]->isActive();
        const bool whole = port->incoming.size() >= Length && readable();
        read.clear();
        searchWaits = 0;
        act();

        const bool decoded = !read.isEmpty() && s.statusByte12 != marker;
        if (!read.isEmpty() && !decoded)
            s.statusByte12 = byte12;
        const bool accepted
            = decoded || runs != std::pair(receiver.aFrameRun(), receiver.bFrameRun());
        if (read.isEmpty()) {
            if (accepted)
                fail("the state took a frame although none was read");
            if (kind == MainTick && whole && readable())
                fail("a whole frame waited on a readable port and the main tick read none");
        } else if (accepted != (expected >= 0)) {
            fail(QLatin1String(
                     accepted ? "took a frame where none is valid: " : "dropped a valid frame: ")
                + read.left(42).toHex(' '));
        } else if (accepted && receiver.frameText() != read.mid(expected, Length)) {
            fail("took " + receiver.frameText().toHex(' ') + " before "
                + read.mid(expected, Length).toHex(' '));
        } else if (decoded) {
            checkDecoded(read.mid(expected, Length), tickOn);
        }
        c.framesAccepted += !read.isEmpty() && accepted;
        c.framesRejected += !read.isEmpty() && !accepted;
        checkWrites(sendStep);
        checkState();
        c.mainTicks += kind == MainTick;
        if (s.linkMark != linkMark)
            ++(s.linkUp() ? c.linkUps : c.linkLosses);
        if (s.linkUp() ? s.missedCycles > 3 : linkMark != 0 && s.missedCycles != 4)
            fail("the link went down on other than the fourth cycle without a frame");
        c.searchCycles += kind == MainTick && !port->openAttempts.isEmpty();
        port->openAttempts.clear();
        c.maxMissedCycles = std::max<long long>(c.maxMissedCycles, s.missedCycles);
    }

    void checkDecoded(const QByteArray &f, bool tickWasOn)
    {
        const ControllerState &s = state();
        const auto at = [&f](int i) { return uint8_t(f[i]); };
        if (!s.linkUp() || s.missedCycles != 0 || s.setupPending != 0)
            fail("a frame was decoded and the link is not up");
        if (s.statusByte2 != at(1) || s.statusByte3 != at(2) || s.statusByte4 != at(3)
            || s.statusByte5 != at(4) || s.outputSource1 != at(5) || s.outputSource2 != at(6)
            || s.outputSource3 != at(7) || s.outputSource4 != at(8) || s.powerState != at(10)
            || s.statusByte12 != at(11))
            fail("the state does not hold the frame decoded: " + f.toHex(' '));
        if (pendingAtRead == ControllerState::NotDetermined) {
            ++(f[0] == 'a' ? c.settledFourOutput : c.settledTwoOutput);
            if (s.matrixModel != (f[0] == 'a' ? 1 : 2))
                fail("settled on the other model: " + f.toHex(' '));
        }
        c.tickStops += at(1) == 255;
        if (at(1) == 255 ? timers[0]->isActive() : tickWasOn && !timers[0]->isActive())
            fail("the main tick stops on a frame exactly when its byte 2 is 255");
    }

    // One byte a step at most: a route command from a main tick, a command
    // button's from its press, the rest of the frame from the pacing timer.
    void checkWrites(int sendStep)
    {
        QByteArray w;
        for (const QByteArray &bytes : std::as_const(port->writes))
            w += bytes;
        port->writes.clear();
        port->written.clear();
        const int byte = w.isEmpty() ? -1 : uint8_t(w[0]);
        if (w.size() > 1)
            fail("more than a byte written in one step: " + w.toHex(' '));
        if (byte < 0 || current == Pacing) {
            const int due = sendStep == 1 ? 255 - lastCommand : sendStep == 2 ? 213 : 123;
            if (byte >= 0 && byte != due)
                fail(QStringLiteral("paced byte %1 where %2 belongs").arg(byte).arg(due));
            return;
        }
        const bool route = current == MainTick && byte <= 15;
        if (!route
            && !(current == Press && pressed->first == 0
                && ((pressed->second == 33 && byte == 16)
                    || (pressed->second == 35 && byte == 40))))
            fail(QStringLiteral("command byte %1 does not fit the step").arg(byte));
        if (app->transmitter().sendStep() != 1 || !timers[1]->isActive())
            fail("a command began without its pacing");
        ++c.commands;
        c.routeCommands += route;
        lastCommand = byte;
    }

    void checkState()
    {
        const ControllerState &s = state();
        const int nd = ControllerState::NotDetermined;
        const bool shown = panel().isVisible();
        // With the link up, every down face of the model shows, and outputs
        // C and D with their letters only on the four-output panel.
        bool fits = panel().pictureVisible(34) && panel().pictureVisible(36)
            && panel().label1Visible(6) == (s.matrixModel == 1)
            && panel().label1Visible(4) == (s.matrixModel == 1);
        for (int i = 0; i <= 15 && s.linkUp(); ++i) {
            const bool faceShown = panel().pictureVisible(i);
            fits &= i % 2 == 0 ? faceShown == (s.matrixModel == 1 || i <= 10)
                               : !faceShown || s.matrixModel == 1 || i < 12;
        }
        const std::pair<bool, const char *> rules[] = {
            { s.linkMark == 0 || s.linkUp(), "linkMark is neither 0 nor 12345" },
            { s.matrixModel == 1 || s.matrixModel == 2 || s.matrixModel == nd,
                "matrixModel is not 1, 2 or 12" },
            { s.setupPending == 0 || s.setupPending == nd, "setupPending is neither 0 nor 12" },
            { std::min(s.selectedInput, s.selectedOutput) >= 0
                    && std::max(s.selectedInput, s.selectedOutput) <= 4,
                "a selection is out of range" },
            { s.missedCycles >= 0 && s.selectionAge >= 0, "a count went negative" },
            { !s.linkUp() || (s.matrixModel != nd && s.setupPending == 0 && shown && fits),
                "the link is up without a settled model and the panel laid out for it" },
            { s.matrixModel != 2 || (s.outputFlags[2] == 0 && s.outputFlags[3] == 0),
                "the two-output switcher lights output C or D" },
            { !timers[2]->isActive() || shown, "the watchdog runs with the panel hidden" },
            { timers[0]->isActive() || pressed || shown,
                "the main tick stopped with the panel hidden: no click can restart it" },
            { timers[1]->isActive() == (app->transmitter().sendStep() != 0),
                "the pacing timer runs without a command, or a command without it" },
            { !app->ended(), "the program ended" },
        };
        for (const auto &rule : rules)
            if (!rule.first)
                fail(QLatin1String(rule.second));
    }

    RigCounts &c;
    QString &violation;
    const long long limit;
    Port *port = nullptr;
    std::unique_ptr<Controller> app;
    std::vector<const QTimer *> timers;
    QByteArray program;
    int pos = 0, device = 1, roundsWaited = 0, searchWaits = 0, lastCommand = 0;
    std::optional<std::pair<int, int>> pressed; // the control's kind and element
    // What the receiver should be carrying over from one read to the next,
    // judged from what the port gave it, and the port it came from.
    QByteArray carried;
    int carriedFrom = 0;
    // The step in progress and what the receiver read in it.
    Step current = MainTick;
    QByteArray read;
    int expected = -1, pendingAtRead = 0;
    uint8_t marker = 0, byte12 = 0;
};

Rig::Rig(long long tickLimit)
    : d(std::make_unique<Impl>(*this, tickLimit))
{
}

Rig::~Rig()
{
    d.reset();
    // The windows are gone: what the window system queued for them goes too.
    QCoreApplication::processEvents();
}

void Rig::run(const QByteArray &program)
{
    d->program = program;
    d->pos = 0;
    while (d->pos < program.size() && violation.isEmpty())
        d->instruction();
}

QByteArray RandomProgram::next()
{
    // How often each instruction comes: mostly the switcher's frames and the
    // time between them, now and then noise, a fault, a click or a drag, a
    // quiet stretch, the cable on other ports.
    static const double weights[] = { 15, 460, 15, 430, 0.5, 3, 30, 3, 0.3, 0.2, 2 };
    std::discrete_distribution<int> instruction(std::begin(weights), std::end(weights));
    QByteArray p;
    for (int i = 0; i < 1000; ++i) {
        const int code = instruction(m_rng);
        p += char(code);
        for (int k = 0; k < Operands[code]; ++k)
            p += char(roll(256));
        if (code == Frame || code == Split || code == Settle) {
            m_twoOutput ^= roll(1000) == 0; // another switcher, without a pause
            p[p.size() - Operands[code]] = char(m_twoOutput);
        } else if (code == Tick) {
            p[p.size() - 1] = char(roll(30)); // frames come every 10 to 300 ms
        } else if (code == Click || code == Drag) {
            p[p.size() - Operands[code]] = char(roll(3) ? roll(20) : roll(256)); // mostly buttons
        } else if (code == Quiet) {
            m_twoOutput ^= roll(2) == 0;
        }
        for (int k = code == Inject ? uint8_t(p.back()) % 64 : -1; k >= 0; --k)
            p += char(roll(256));
    }
    return p;
}
