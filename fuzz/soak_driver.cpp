#include "fuzz/soak_driver.h"

#include "core/command_frame.h"
#include "core/controller_state.h"
#include "app/controller.h"
#include "core/status_frame.h"
#include "panel/form3.h"
#include "supervision/link_supervisor.h"

#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QSignalBlocker>
#include <algorithm>
#include <cmath>

namespace {

constexpr int FrameLength = 14;

const char *stepName(int step)
{
    static const char *const names[]
        = { "main tick", "pacing tick", "animation tick", "events", "press", "drag", "release" };
    return names[step];
}

bool isDownFace(int index)
{
    return (index >= 0 && index <= 15 && index % 2 == 0) || index == 34 || index == 36;
}

// The up face lying over a down face, and the other way round.
int otherFace(int index)
{
    if (index >= 33)
        return index % 2 == 1 ? index + 1 : index - 1;
    return index % 2 == 1 ? index - 1 : index + 1;
}

uint8_t at(const QByteArray &bytes, int i)
{
    return static_cast<uint8_t>(bytes.at(i));
}

} // namespace

bool soakFrameIsWellFormed(const QByteArray &bytes)
{
    if (bytes.size() < FrameLength)
        return false;
    const uint8_t start = at(bytes, 0);
    const uint8_t end = at(bytes, 12);
    if (!((start == 'a' && end == 'z') || (start == 'b' && end == 'w')))
        return false;
    unsigned sum = 0;
    for (int i = 1; i <= 11; ++i)
        sum += at(bytes, i);
    return (sum & 0xFF) == at(bytes, 13);
}

// --- SoakPort ----------------------------------------------------------------

bool SoakPort::open()
{
    const bool ok = FakeSerialPort::open();
    openAttempts.clear();
    ++stepOpenAttempts;
    return ok;
}

bool SoakPort::write(const QByteArray &bytes)
{
    const bool ok = FakeSerialPort::write(bytes);
    writes.clear();
    written.clear();
    stepWrites += bytes;
    if (!ok)
        ++stepWriteFailures;
    return ok;
}

std::optional<QByteArray> SoakPort::readAll()
{
    std::optional<QByteArray> bytes = FakeSerialPort::readAll();
    if (bytes && bytes->size() >= FrameLength && !frameRead) {
        frameRead = true;
        frameBytes = *bytes;
    }
    return bytes;
}

void SoakPort::beginStep()
{
    frameRead = false;
    frameBytes.clear();
    stepWrites.clear();
    stepWriteFailures = 0;
    stepOpenAttempts = 0;
}

// --- SoakRig -----------------------------------------------------------------

SoakRig::SoakRig(std::set<int> existingPorts)
{
    auto owned = std::make_unique<SoakPort>();
    m_port = owned.get();
    m_port->existing = std::move(existingPorts);
    m_app = std::make_unique<Controller>(std::move(owned));
    // The search lets events run; here that is where simulated time passes,
    // and nothing else may run inside a tick.
    m_app->setEventPump([this](int waitMs) {
        m_counts.searchWaitMs += std::max(waitMs, 0);
        if (++m_searchWaits > MaxSearchWaitsPerStep) {
            fail(Step::MainTick, QStringLiteral("the port search never ends"));
            m_app->endProgram();
            return;
        }
        if (onSearchWait)
            onSearchWait(waitMs);
    });
    m_app->Form_Load();
}

SoakRig::~SoakRig() = default;

bool SoakRig::readable() const
{
    return m_port->isOpen() && !m_port->failing.count(FakeSerialPort::Count)
        && !m_port->failing.count(FakeSerialPort::Read);
}

void SoakRig::tick()
{
    if (failed())
        return;
    ++m_counts.ticks;
    if (m_app->Timer1().isActive()) {
        const Before before = begin();
        m_app->Timer1_Timer();
        ++m_counts.mainTicks;
        end(Step::MainTick, before);
    }
    if (!failed() && m_counts.ticks % PacingEveryTicks == 0 && m_app->Timer2().isActive()) {
        const Before before = begin();
        m_app->Timer2_Timer();
        ++m_counts.pacingTicks;
        end(Step::Pacing, before);
    }
    if (!failed() && m_counts.ticks % AnimationEveryTicks == 0 && m_app->Timer4().isActive()) {
        const Before before = begin();
        m_app->Timer4_Timer();
        ++m_counts.animationTicks;
        end(Step::Animation, before);
    }
    if (!failed() && m_eventsEvery > 0 && m_counts.ticks % m_eventsEvery == 0)
        letEventsRun();
}

void SoakRig::letEventsRun()
{
    // What a running program's event loop would have done by now: shows,
    // hides, moves, repaints. Left alone they pile up for as long as the run
    // goes. The four timers are the rig's to call, so their signals are held
    // back meanwhile, whatever real time has passed.
    const Before before = begin();
    const QSignalBlocker block1(const_cast<QTimer &>(m_app->Timer1()));
    const QSignalBlocker block2(const_cast<QTimer &>(m_app->Timer2()));
    const QSignalBlocker block3(const_cast<QTimer &>(m_app->Timer3()));
    const QSignalBlocker block4(const_cast<QTimer &>(m_app->Timer4()));
    QCoreApplication::processEvents();
    end(Step::Events, before);
}

bool SoakRig::press(Control control, int index)
{
    if (failed() || m_pressed)
        return false;
    Form3 &panel = m_app->panel();
    if (!panel.isVisible())
        return false;
    QWidget *target = nullptr;
    switch (control) {
    case Control::Picture:
        if (!Form3::hasPicture(index))
            return false;
        target = panel.picture(index);
        // A down face is only reached where its up face does not cover it.
        if (isDownFace(index) && panel.picture(otherFace(index))
            && panel.picture(otherFace(index))->isVisible())
            return false;
        break;
    case Control::Caption:
        target = panel.label2(index);
        break;
    case Control::Frame:
        target = panel.frame1();
        break;
    case Control::Legend:
        target = panel.label1(index);
        break;
    }
    if (!target || !target->isVisible())
        return false;

    const double x = 120;
    const double y = 120;
    const Before before = begin();
    m_pressed = Pressed { control, index };
    ++m_counts.presses;
    switch (control) {
    case Control::Picture:
        panel.Picture1_MouseDown(index, Form3::LeftButton, 0, x, y);
        break;
    case Control::Caption:
        panel.Label2_MouseDown(index, Form3::LeftButton, 0, x, y);
        break;
    case Control::Frame:
        panel.Frame1_MouseDown(index, Form3::LeftButton, 0, x, y);
        break;
    case Control::Legend:
        panel.Label1_MouseDown(index, Form3::LeftButton, 0, x, y);
        break;
    }
    end(Step::Press, before);
    return true;
}

void SoakRig::drag(double dx, double dy)
{
    if (failed() || !m_pressed)
        return;
    Form3 &panel = m_app->panel();
    const Before before = begin();
    panel.DragPanel(m_pressed->index, Form3::LeftButton, 0, panel.dragX() + dx, panel.dragY() + dy);
    ++m_counts.drags;
    end(Step::Drag, before);
}

void SoakRig::release()
{
    if (failed() || !m_pressed)
        return;
    Form3 &panel = m_app->panel();
    const Pressed pressed = *m_pressed;
    const Before before = begin();
    m_pressed.reset();
    // Frame1 and Label1 have no release handler: their press only starts a drag.
    if (pressed.control == Control::Picture)
        panel.Picture1_MouseUp(pressed.index, Form3::LeftButton, 0, panel.dragX(), panel.dragY());
    else if (pressed.control == Control::Caption)
        panel.Label2_MouseUp(pressed.index, Form3::LeftButton, 0, panel.dragX(), panel.dragY());
    end(Step::Release, before);
}

SoakRig::Before SoakRig::begin()
{
    m_port->beginStep();
    m_searchWaits = 0;
    ControllerState &s = m_app->state();
    Before before {};
    before.linkMark = s.linkMark;
    before.setupPending = s.setupPending;
    before.aRun = m_app->receiver().aFrameRun();
    before.bRun = m_app->receiver().bFrameRun();
    before.sendStep = m_app->transmitter().sendStep();
    before.timer1Active = m_app->Timer1().isActive();
    before.waiting = int(m_port->incoming.size());
    before.readable = readable();
    before.byte12 = s.statusByte12;
    // The receiver can only decode the first 14 bytes waiting now: a marker
    // unlike their byte 12 is overwritten by any decode.
    before.marker
        = before.waiting >= 12 ? uint8_t(~at(m_port->incoming, 11)) : uint8_t(before.byte12 ^ 0xA5);
    s.statusByte12 = before.marker;
    return before;
}

void SoakRig::end(Step step, const Before &before)
{
    ControllerState &s = m_app->state();
    const bool decoded = s.statusByte12 != before.marker;
    if (!decoded)
        s.statusByte12 = before.byte12;
    const bool runsMoved = m_app->receiver().aFrameRun() != before.aRun
        || m_app->receiver().bFrameRun() != before.bRun;

    checkFrame(step, before, decoded, runsMoved);
    checkWrites(step, before);
    checkState(step);
    checkLayout(step);

    if (before.linkMark == ControllerState::LinkAlive && s.linkMark == 0) {
        ++m_counts.linkLosses;
        m_linkDownSince = m_counts.ticks;
    } else if (before.linkMark == 0 && s.linkMark == ControllerState::LinkAlive) {
        ++m_counts.linkUps;
        m_counts.longestOutageTicks
            = std::max(m_counts.longestOutageTicks, m_counts.ticks - m_linkDownSince);
    }
    if (step == Step::MainTick && m_port->stepOpenAttempts > 0)
        ++m_counts.searchCycles;
    m_counts.openAttempts += m_port->stepOpenAttempts;
    m_counts.maxMissedCycles = std::max(m_counts.maxMissedCycles, s.missedCycles);
}

void SoakRig::checkFrame(Step step, const Before &before, bool decoded, bool runsMoved)
{
    const ControllerState &s = m_app->state();
    const bool accepted = decoded || runsMoved;
    if (m_port->frameRead) {
        ++m_counts.framesRead;
        ++(accepted ? m_counts.framesAccepted : m_counts.framesRejected);
    }
    if (!m_port->frameRead) {
        if (accepted)
            fail(step, QStringLiteral("the state took a frame although none was read"));
        else if (step == Step::MainTick && before.waiting >= FrameLength && before.readable
            && readable())
            fail(step,
                QStringLiteral("%1 bytes waited on a readable port and the main tick read none")
                    .arg(before.waiting));
        return;
    }

    const QByteArray &f = m_port->frameBytes;
    const QString hex = QString::fromLatin1(f.left(FrameLength).toHex(' '));
    const bool wellFormed = soakFrameIsWellFormed(f);
    if (accepted && !wellFormed)
        return fail(
            step, QStringLiteral("accepted a frame with wrong markers or checksum: ") + hex);
    if (!accepted && wellFormed)
        return fail(step, QStringLiteral("dropped a well-formed frame: ") + hex);
    if (!decoded)
        return;

    if (s.linkMark != ControllerState::LinkAlive || s.missedCycles != 0 || s.setupPending != 0)
        return fail(step,
            QStringLiteral("decoded a frame but left linkMark %1, missedCycles %2, setupPending %3")
                .arg(s.linkMark)
                .arg(s.missedCycles)
                .arg(s.setupPending));
    if (s.statusByte2 != at(f, 1) || s.outputSource1 != at(f, 5) || s.outputSource2 != at(f, 6)
        || s.outputSource3 != at(f, 7) || s.outputSource4 != at(f, 8) || s.powerState != at(f, 10)
        || s.statusByte12 != at(f, 11))
        return fail(step, QStringLiteral("the state does not hold the frame decoded: ") + hex);

    const bool settled = runsMoved || before.setupPending == ControllerState::NotDetermined;
    if (settled) {
        const int model = at(f, 0) == 'a' ? 1 : 2;
        if (s.matrixModel != model)
            return fail(step,
                QStringLiteral("settled on model %1 from a frame of model %2: ")
                        .arg(s.matrixModel)
                        .arg(model)
                    + hex);
        ++(model == 1 ? m_counts.settledFourOutput : m_counts.settledTwoOutput);
    }
    if (s.matrixModel == 2 && (s.outputFlags[2] != 0 || s.outputFlags[3] != 0))
        return fail(step, QStringLiteral("the two-output switcher lights output C or D"));

    const bool timer1Active = m_app->Timer1().isActive();
    if (at(f, 1) == StatusFrame::StopTick) {
        if (timer1Active)
            return fail(step, QStringLiteral("byte 2 of 255 left the main tick running"));
        ++m_counts.tickStops;
    } else if (before.timer1Active && !timer1Active) {
        fail(step, QStringLiteral("the main tick stopped on a frame whose byte 2 is not 255"));
    }
}

void SoakRig::checkWrites(Step step, const Before &before)
{
    const QByteArray &w = m_port->stepWrites;
    m_counts.bytesWritten += w.size() - m_port->stepWriteFailures;
    m_counts.writeFailures += m_port->stepWriteFailures;
    if (w.isEmpty())
        return;
    if (w.size() > 1)
        return fail(step,
            QStringLiteral("%1 bytes written in one step: %2")
                .arg(w.size())
                .arg(QString::fromLatin1(w.toHex(' '))));
    const uint8_t byte = at(w, 0);

    switch (step) {
    case Step::MainTick:
    case Step::Press: {
        bool valid = false;
        if (step == Step::MainTick) {
            valid = byte <= 15;
            ++m_counts.routeCommands;
        } else if (m_pressed && m_pressed->control == Control::Picture) {
            valid = (m_pressed->index == PanelLayout::Command16UpFace
                        && byte == CommandFrame::Command16)
                || (m_pressed->index == PanelLayout::Command40UpFace
                    && byte == CommandFrame::Command40);
        }
        if (!valid)
            return fail(step, QStringLiteral("command byte %1 does not fit the step").arg(byte));
        if (m_app->transmitter().sendStep() != 1 || !m_app->Timer2().isActive())
            return fail(step, QStringLiteral("a command began without its pacing"));
        ++m_counts.commandsStarted;
        m_lastCommand = byte;
        return;
    }
    case Step::Pacing: {
        const int expected = before.sendStep == 1 ? 255 - m_lastCommand
            : before.sendStep == 2                ? 213
                                                  : 123;
        if (byte != expected)
            fail(step,
                QStringLiteral("paced byte %1 at step %2 where %3 belongs")
                    .arg(byte)
                    .arg(before.sendStep)
                    .arg(expected));
        return;
    }
    default:
        fail(step, QStringLiteral("wrote byte %1").arg(byte));
    }
}

void SoakRig::checkState(Step step)
{
    if (failed())
        return;
    const ControllerState &s = m_app->state();
    const Form3 &panel = m_app->panel();
    QString what;
    if (s.linkMark != 0 && s.linkMark != ControllerState::LinkAlive)
        what = QStringLiteral("linkMark is %1").arg(s.linkMark);
    else if (s.matrixModel != 1 && s.matrixModel != 2
        && s.matrixModel != ControllerState::NotDetermined)
        what = QStringLiteral("matrixModel is %1").arg(s.matrixModel);
    else if (s.setupPending != 0 && s.setupPending != ControllerState::NotDetermined)
        what = QStringLiteral("setupPending is %1").arg(s.setupPending);
    else if (s.selectedInput < 0 || s.selectedInput > 4)
        what = QStringLiteral("selectedInput is %1").arg(s.selectedInput);
    else if (s.selectedOutput < 0 || s.selectedOutput > 4)
        what = QStringLiteral("selectedOutput is %1").arg(s.selectedOutput);
    else if (s.missedCycles < 0)
        what = QStringLiteral("missedCycles is %1").arg(s.missedCycles);
    else if (s.selectionAge < 0)
        what = QStringLiteral("selectionAge is %1").arg(s.selectionAge);
    else if (s.linkUp() && (s.matrixModel == ControllerState::NotDetermined || s.setupPending != 0))
        what = QStringLiteral("the link is up with model %1 and setupPending %2")
                   .arg(s.matrixModel)
                   .arg(s.setupPending);
    else if (s.linkUp() && !panel.isVisible())
        what = QStringLiteral("the link is up and the panel is hidden");
    else if (m_app->Timer3().isActive() && !panel.isVisible())
        what = QStringLiteral("the watchdog runs while the panel is hidden: the program would end");
    else if (!m_app->Timer1().isActive() && !m_pressed && !panel.isVisible())
        what = QStringLiteral(
            "the main tick stopped with the panel hidden: no click can restart it");
    else if (m_app->Timer2().isActive() != (m_app->transmitter().sendStep() != 0))
        what = QStringLiteral("pacing timer %1 at send step %2")
                   .arg(m_app->Timer2().isActive() ? "running" : "stopped")
                   .arg(m_app->transmitter().sendStep());
    else if (m_app->ended())
        what = QStringLiteral("the program ended");
    if (!what.isEmpty())
        fail(step, what);
}

void SoakRig::checkLayout(Step step)
{
    if (failed())
        return;
    const ControllerState &s = m_app->state();
    if (!s.linkUp())
        return;
    const Form3 &panel = m_app->panel();
    constexpr int LetterC = 6;
    constexpr int LetterD = 4;
    QString what;
    const int lastDownFace = s.matrixModel == 1 ? 14 : 10;
    for (int index = 0; index <= lastDownFace && what.isEmpty(); index += 2) {
        if (!panel.pictureVisible(index))
            what = QStringLiteral("down face %1 is hidden").arg(index);
    }
    if (what.isEmpty() && (!panel.pictureVisible(34) || !panel.pictureVisible(36)))
        what = QStringLiteral("a command button's down face is hidden");
    if (what.isEmpty() && s.matrixModel == 1
        && (!panel.label1Visible(LetterC) || !panel.label1Visible(LetterD)))
        what = QStringLiteral("the four-output panel hides letter C or D");
    if (what.isEmpty() && s.matrixModel == 2) {
        for (int index = 12; index <= 15 && what.isEmpty(); ++index) {
            if (panel.pictureVisible(index))
                what = QStringLiteral("the two-output panel shows picture %1").arg(index);
        }
        if (what.isEmpty() && (panel.label1Visible(LetterC) || panel.label1Visible(LetterD)))
            what = QStringLiteral("the two-output panel shows letter C or D");
    }
    if (!what.isEmpty())
        fail(step, what);
}

void SoakRig::fail(Step step, const QString &what)
{
    if (failed())
        return;
    m_violation
        = QStringLiteral("tick %1, %2: %3").arg(m_counts.ticks).arg(stepName(int(step)), what);
}

// --- SoakDriver --------------------------------------------------------------

namespace {
// Mean time between events, in ticks.
constexpr double MeanQuietEvery = 30000; // 5 min
constexpr double MeanPowerOnFor = 90000; // 15 min
constexpr double MeanStandbyFor = 12000; // 2 min
constexpr double MeanRoutesEvery = 3000; // 30 s
constexpr double MeanSwapEvery = 1440000; // 4 h: a model change without a pause
constexpr double MeanFaultEvery = 12000; // 2 min
constexpr double MeanUnplugEvery = 540000; // 90 min
constexpr double MeanGestureEvery = 1500; // 15 s
constexpr double StopFrameChance = 1.0 / 4000;
} // namespace

SoakDriver::SoakDriver(uint32_t seed)
    : m_rig({ 1 })
    , m_rng(seed)
{
    m_rig.onSearchWait = [this](int) { expireFaults(); };
    m_nextQuiet = exponential(MeanQuietEvery);
    m_nextPower = exponential(MeanPowerOnFor);
    m_nextRoutes = exponential(MeanRoutesEvery);
    m_nextSwap = exponential(MeanSwapEvery);
    m_nextFault = exponential(MeanFaultEvery);
    m_nextUnplug = exponential(MeanUnplugEvery);
    m_nextGesture = exponential(MeanGestureEvery);
    newSession();
    m_nextFrame = uniform(1, m_framePeriod);
    applyPortFaults();
}

SoakDriver::~SoakDriver() = default;

SoakResult SoakDriver::result() const
{
    SoakResult result = m_events;
    result.counts = m_rig.counts();
    result.violation = m_rig.violation();
    return result;
}

void SoakDriver::run(int64_t ticks)
{
    for (int64_t i = 0; i < ticks && !m_rig.failed(); ++i)
        step();
}

void SoakDriver::step()
{
    expireFaults();
    scheduledEvents();
    sendFrames();
    userActs();
    m_rig.tick();
}

bool SoakDriver::chance(double p)
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(m_rng) < p;
}

int SoakDriver::uniform(int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(m_rng);
}

int64_t SoakDriver::exponential(double meanTicks)
{
    return 1 + int64_t(std::exponential_distribution<double>(1.0 / meanTicks)(m_rng));
}

int64_t SoakDriver::logUniformMs(double lowMs, double highMs)
{
    const double e
        = std::uniform_real_distribution<double>(std::log(lowMs), std::log(highMs))(m_rng);
    return int64_t(std::exp(e));
}

void SoakDriver::newSession()
{
    m_framePeriod = uniform(8, 30);
}

void SoakDriver::newRoutes()
{
    for (uint8_t &source : m_sources)
        source = chance(0.95) ? uint8_t(1u << uniform(0, 3)) : uint8_t(uniform(0, 255));
    m_flags = uint8_t(uniform(0, 255));
}

void SoakDriver::scheduledEvents()
{
    const int64_t now = m_rig.now();
    if (now >= m_nextQuiet) {
        startQuiet();
        m_nextQuiet = now + exponential(MeanQuietEvery);
    }
    if (now >= m_nextPower) {
        m_power = m_power ? 0 : uint8_t(chance(0.8) ? 1 : uniform(1, 255));
        ++m_events.powerChanges;
        // Standby is the shorter state: buttons only light with the power on.
        m_nextPower = now + exponential(m_power ? MeanPowerOnFor : MeanStandbyFor);
    }
    if (now >= m_nextRoutes) {
        newRoutes();
        m_nextRoutes = now + exponential(MeanRoutesEvery);
    }
    if (now >= m_nextSwap) {
        m_fourOutput = !m_fourOutput;
        ++m_events.modelChanges;
        m_nextSwap = now + exponential(MeanSwapEvery);
    }
    if (now >= m_nextFault) {
        m_faultOps.clear();
        for (int op = FakeSerialPort::SetCommPort; op <= FakeSerialPort::Read; ++op) {
            if (chance(0.3))
                m_faultOps.insert(FakeSerialPort::Operation(op));
        }
        if (m_faultOps.empty())
            m_faultOps.insert(FakeSerialPort::Operation(uniform(0, FakeSerialPort::Read)));
        m_faultEndMs = m_rig.clockMs() + logUniformMs(10, 5000);
        ++m_events.portFaults;
        applyPortFaults();
        m_nextFault = now + exponential(MeanFaultEvery);
    }
    if (now >= m_nextUnplug) {
        m_unplugEndMs = m_rig.clockMs() + logUniformMs(200, 5000);
        ++m_events.unplugs;
        applyPortFaults();
        m_nextUnplug = now + exponential(MeanUnplugEvery);
    }
}

void SoakDriver::startQuiet()
{
    ++m_events.quietStretches;
    const int64_t now = m_rig.now();
    const int kind = uniform(0, 99);
    int64_t duration = 0;
    if (kind < 60)
        duration = uniform(20, 300); // 0.2 to 3 s: the link may or may not drop
    else if (kind < 92)
        duration = uniform(300, 12000); // up to 2 min
    else
        duration = uniform(12000, 180000); // up to 30 min
    m_quietUntil = now + duration;
    if (duration >= 300) {
        // Long enough to change the switcher or move its cable.
        if (chance(0.3)) {
            m_fourOutput = !m_fourOutput;
            ++m_events.modelChanges;
        }
        if (chance(0.2)) {
            m_devicePort = uniform(1, 15);
            m_otherPorts.clear();
            const int others = uniform(0, 3);
            for (int i = 0; i < others; ++i)
                m_otherPorts.insert(uniform(1, 15));
            m_otherPorts.erase(m_devicePort);
            ++m_events.portMoves;
            applyPortFaults();
        }
    }
    newSession();
    m_nextFrame = m_quietUntil + uniform(0, m_framePeriod);
}

void SoakDriver::expireFaults()
{
    const int64_t clock = m_rig.clockMs();
    bool changed = false;
    if (m_faultEndMs >= 0 && clock >= m_faultEndMs) {
        m_faultOps.clear();
        m_faultEndMs = -1;
        changed = true;
    }
    if (m_unplugEndMs >= 0 && clock >= m_unplugEndMs) {
        m_unplugEndMs = -1;
        changed = true;
    }
    if (changed)
        applyPortFaults();
}

void SoakDriver::applyPortFaults()
{
    SoakPort &port = m_rig.port();
    port.failing = m_faultOps;
    if (m_unplugEndMs >= 0) {
        // The adapter is gone: the open port fails and no port opens.
        port.failing.insert({ FakeSerialPort::Count, FakeSerialPort::Read, FakeSerialPort::Write });
        port.existing.clear();
    } else {
        port.existing = m_otherPorts;
        port.existing.insert(m_devicePort);
    }
}

void SoakDriver::deliver(const QByteArray &bytes)
{
    SoakPort &port = m_rig.port();
    if (port.isOpen() && port.commPort() == m_devicePort && m_unplugEndMs < 0)
        port.inject(bytes);
    else
        ++m_events.framesUnheard;
}

QByteArray SoakDriver::makeFrame()
{
    uint8_t byte2 = 0;
    if (chance(StopFrameChance)) {
        byte2 = StatusFrame::StopTick;
        ++m_events.stopFrames;
    } else if (chance(0.05)) {
        byte2 = uint8_t(uniform(0, 254));
    }
    const uint8_t body[11] = { byte2, uint8_t(uniform(0, 255)), uint8_t(uniform(0, 255)),
        uint8_t(uniform(0, 255)), m_sources[0], m_sources[1], m_sources[2], m_sources[3], m_flags,
        m_power, uint8_t(uniform(0, 255)) };
    return StatusFrame::build(
        m_fourOutput ? StatusFrame::Kind::FourOutput : StatusFrame::Kind::TwoOutput, body);
}

void SoakDriver::sendFrames()
{
    const int64_t now = m_rig.now();
    if (m_restAt >= 0 && now >= m_restAt) {
        deliver(m_rest);
        m_rest.clear();
        m_restAt = -1;
    }
    if (now < m_nextFrame || now < m_quietUntil)
        return;
    m_nextFrame = now + m_framePeriod;
    ++m_events.framesSent;
    QByteArray frame = makeFrame();
    const int kind = uniform(0, 999);
    if (kind < 880) {
        deliver(frame);
    } else if (kind < 900) {
        frame[13] = char(at(frame, 13) + uniform(1, 255));
        ++m_events.corruptFrames;
        deliver(frame);
    } else if (kind < 910) {
        frame[chance(0.5) ? 0 : 12] = char(uniform(0, 255));
        ++m_events.corruptFrames;
        deliver(frame);
    } else if (kind < 920) {
        // One model's start marker with the other's end marker; the
        // checksum leaves the markers out, so it still adds up.
        frame[12] = at(frame, 0) == 'a' ? 'w' : 'z';
        ++m_events.corruptFrames;
        deliver(frame);
    } else if (kind < 935) {
        ++m_events.truncatedFrames;
        deliver(frame.left(uniform(1, FrameLength - 1)));
    } else if (kind < 960) {
        const int split = uniform(1, FrameLength - 1);
        ++m_events.splitFrames;
        deliver(frame.left(split));
        m_rest = frame.mid(split);
        m_restAt = now + uniform(1, 5);
    } else if (kind < 980) {
        ++m_events.backToBackFrames;
        deliver(frame + makeFrame());
    } else if (kind < 990) {
        QByteArray garbage(uniform(1, 20), '\0');
        for (char &c : garbage)
            c = char(uniform(0, 255));
        ++m_events.garbageBursts;
        deliver(garbage + frame);
    } else {
        frame[uniform(0, FrameLength - 1)] ^= char(1 << uniform(0, 7));
        ++m_events.corruptFrames;
        deliver(frame);
    }
}

std::pair<SoakRig::Control, int> SoakDriver::routeTarget(bool input, int k)
{
    if (input)
        return { SoakRig::Control::Picture, PanelLayout::inputUpFace(k) };
    if (chance(0.4))
        return { SoakRig::Control::Caption, k - 1 };
    return { SoakRig::Control::Picture, PanelLayout::outputUpFace(k) };
}

void SoakDriver::planClick(int64_t at)
{
    const auto target = routeTarget(chance(0.5), uniform(1, 4));
    const int64_t hold = uniform(3, 20);
    m_plan.push_back({ Action::Press, at, target.first, target.second });
    m_plan.push_back({ Action::Release, at + hold, target.first, target.second });
}

void SoakDriver::planGesture()
{
    ++m_events.gestures;
    int64_t t = m_rig.now();
    auto click = [&](std::pair<SoakRig::Control, int> target, int holdLow, int holdHigh,
                     int drags) {
        const int hold = uniform(holdLow, holdHigh);
        m_plan.push_back({ Action::Press, t, target.first, target.second });
        for (int i = 0; i < drags; ++i)
            m_plan.push_back(
                { Action::Drag, t + hold * (i + 1) / (drags + 1), target.first, target.second });
        t += hold;
        m_plan.push_back({ Action::Release, t, target.first, target.second });
    };
    const int kind = uniform(0, 99);
    if (kind < 55) {
        // A route: an input and an output, in either order.
        const bool inputFirst = chance(0.5);
        const int input = uniform(1, 4);
        const int output = uniform(1, 4);
        click(routeTarget(inputFirst, inputFirst ? input : output), 3, 40, chance(0.1) ? 1 : 0);
        t += uniform(20, 200);
        click(routeTarget(!inputFirst, inputFirst ? output : input), 3, 40, chance(0.1) ? 1 : 0);
    } else if (kind < 70) {
        // Half a route, left to expire.
        click(routeTarget(chance(0.5), uniform(1, 4)), 3, 40, 0);
    } else if (kind < 80) {
        const int face = chance(0.5) ? PanelLayout::Command16UpFace : PanelLayout::Command40UpFace;
        click({ SoakRig::Control::Picture, face }, 3, 40, 0);
    } else if (kind < 85) {
        const int downFaces[] = { 0, 2, 4, 6, 8, 10, 12, 14, 34, 36 };
        click({ SoakRig::Control::Picture, downFaces[uniform(0, 9)] }, 3, 40, 0);
    } else {
        // Moving the window by its background or a legend.
        const bool frame = chance(0.5);
        click({ frame ? SoakRig::Control::Frame : SoakRig::Control::Legend,
                  frame ? 0 : uniform(0, 9) },
            20, 300, uniform(1, 8));
    }
}

void SoakDriver::userActs()
{
    const int64_t now = m_rig.now();
    Form3 &panel = m_rig.app().panel();
    while (!m_plan.empty() && m_plan.front().at <= now && !m_rig.failed()) {
        Action action = m_plan.front();
        m_plan.pop_front();
        switch (action.what) {
        case Action::Press: {
            if (m_rig.pressing())
                break;
            // The pointer lands on whatever lies on top where the button is:
            // the up face (or its caption), else the down face below it.
            bool pressed = m_rig.press(action.control, action.index);
            if (!pressed && action.control == SoakRig::Control::Caption)
                pressed = m_rig.press(
                    SoakRig::Control::Picture, PanelLayout::outputUpFace(action.index + 1) - 1);
            else if (!pressed && action.control == SoakRig::Control::Picture
                && !isDownFace(action.index))
                pressed = m_rig.press(SoakRig::Control::Picture, otherFace(action.index));
            if (!pressed) {
                // Nothing under the pointer: the rest of this click goes too.
                while (!m_plan.empty() && m_plan.front().what != Action::Press)
                    m_plan.pop_front();
            }
            break;
        }
        case Action::Drag:
            if (m_rig.pressing() && panel.isVisible())
                m_rig.drag(uniform(-60, 60), uniform(-60, 60));
            break;
        case Action::Release:
            m_rig.release();
            break;
        }
    }
    if (m_rig.failed())
        return;

    if (!m_rig.app().Timer1().isActive() && !m_rig.pressing() && m_plan.empty()) {
        // The panel stopped answering: after a moment the user clicks a button.
        if (m_restartAt < 0) {
            m_restartAt = now + uniform(50, 2000);
        } else if (now >= m_restartAt) {
            planClick(now);
            ++m_events.restartClicks;
            m_restartAt = -1;
        }
        return;
    }
    m_restartAt = -1;
    if (m_plan.empty() && !m_rig.pressing() && now >= m_nextGesture) {
        if (panel.isVisible())
            planGesture();
        m_nextGesture = now + exponential(MeanGestureEvery);
    }
}
