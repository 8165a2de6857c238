#pragma once

// Long runs of the status window on a fake port in simulated time: a rig that
// steps the program's handlers the way its timers and the user would and
// checks the controller's invariants after every step, and a driver that
// plays a switcher, its cable and a user at random against the rig.

#include "tests/fake_serial_port.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>

class Controller;

// A fake port for runs of days: it keeps none of the fake's history, which
// would grow without end, and instead tells the rig what the step in
// progress read, wrote and tried to open.
class SoakPort : public FakeSerialPort
{
public:
    bool open() override;
    bool write(const QByteArray &bytes) override;
    std::optional<QByteArray> readAll() override;

    void beginStep();

    // The first read of the step that returned a whole frame's worth: the
    // receiver's, since every other read in a tick takes less.
    bool frameRead = false;
    QByteArray frameBytes;
    QByteArray stepWrites; // bytes the step asked to write, failed or not
    int stepWriteFailures = 0;
    int stepOpenAttempts = 0;
};

struct SoakCounts
{
    int64_t ticks = 0; // 10 ms steps of simulated time
    int64_t mainTicks = 0; // Timer1_Timer calls, made only while Timer1 runs
    int64_t pacingTicks = 0;
    int64_t animationTicks = 0;
    int64_t framesRead = 0; // 14 bytes or more taken by the receiver
    int64_t framesAccepted = 0;
    int64_t framesRejected = 0;
    int64_t settledFourOutput = 0;
    int64_t settledTwoOutput = 0;
    int64_t linkLosses = 0;
    int64_t linkUps = 0; // the first one included
    int64_t longestOutageTicks = 0;
    int64_t searchCycles = 0; // supervision cycles that searched for a port
    int64_t openAttempts = 0;
    int64_t searchWaitMs = 0; // simulated time the search spent letting events run
    int64_t commandsStarted = 0;
    int64_t routeCommands = 0;
    int64_t bytesWritten = 0;
    int64_t writeFailures = 0;
    int64_t tickStops = 0; // accepted frames whose byte 2 stopped the main tick
    int64_t presses = 0;
    int64_t drags = 0;
    int16_t maxMissedCycles = 0;
};

// One status window, loaded as at start-up, on a SoakPort. Each method is one
// step of the program (a handler call) followed by the invariant checks;
// after the first violation every step is refused and violation() says what
// broke, at which tick and in which step.
//
// The invariants, checked after every step:
//  - linkMark is 0 or 12345, matrixModel 1, 2 or 12, setupPending 0 or 12,
//    selectedInput and selectedOutput 0 to 4; missedCycles and selectionAge
//    never go negative (they saturate).
//  - A frame is accepted only with right markers and checksum, and a right
//    one that the receiver reads is never dropped. An accepted frame's bytes
//    are in the state, with the link up and missedCycles 0; a frame that
//    settles the model names that model. Byte 2 of 255 stops the main tick,
//    no other value does.
//  - A whole frame waiting on a readable port is read by the next main tick.
//  - With the link up the model is settled, the panel shows and its layout
//    fits the model: every down face shown, outputs C and D and their
//    letters only on the four-output panel.
//  - The watchdog runs only while the panel shows, and a stopped main tick
//    leaves the panel up, where a click can restart it.
//  - A main tick writes at most a route command (0 to 15), a press on a
//    command button its command (16 or 40); the pacing timer then writes the
//    complement, 213 and 123 in turn, and runs exactly while a command is
//    under way.
//  - The port search ends, and the program does not end by itself.
//
// How a step is known to have accepted a frame: an accepted frame either
// moves the receiver's run counters (model not settled yet) or is decoded
// into the state. To see a decode even when the frame repeats the state
// already held, the rig puts a marker into statusByte12 before the step, a
// byte the program stores but never acts on, chosen to differ from byte 12
// of what the receiver can read; a decode overwrites it, otherwise the rig
// puts the old value back. Nothing the program does depends on the marker,
// so the run is the same as without it.
class SoakRig
{
public:
    // The panel's pointer targets: Picture1, Label2 (output captions),
    // Frame1 and Label1 (digits, letters, legends).
    enum class Control { Picture, Caption, Frame, Legend };

    static constexpr int TickMs = 10;
    static constexpr int PacingEveryTicks = 5;
    static constexpr int AnimationEveryTicks = 70;
    static constexpr int EventsEveryTicks = 100;
    // A port search that lets events run this often in one tick never ends.
    static constexpr int MaxSearchWaitsPerStep = 100000;

    explicit SoakRig(std::set<int> existingPorts = { 1 });
    ~SoakRig();

    Controller &app() { return *m_app; }
    SoakPort &port() { return *m_port; }

    // 10 ms of simulated time: the main tick while Timer1 runs, the pacing
    // and animation timers on their periods while they run, and every
    // second the window system's events.
    void tick();

    // A press on a control the user can reach: a visible one, on the visible
    // panel, not covered by an up face. Returns false when there is none.
    bool press(Control control, int index);
    // Moves the pointer with the button held.
    void drag(double dx, double dy);
    void release();
    bool pressing() const { return m_pressed.has_value(); }

    // How often the window system's events run, in ticks; 0: never, for runs
    // short enough that what piles up does not matter and goes with the
    // windows.
    void setEventsEvery(int ticks) { m_eventsEvery = ticks; }

    // Called each time the port search lets events run, with the simulated
    // milliseconds it waits; lets a driver end failures that time would end.
    std::function<void(int waitMs)> onSearchWait;

    const SoakCounts &counts() const { return m_counts; }
    int64_t now() const { return m_counts.ticks; }
    // Simulated time: the ticks plus what the port search waited inside them.
    int64_t clockMs() const { return m_counts.ticks * TickMs + m_counts.searchWaitMs; }
    bool failed() const { return !m_violation.isEmpty(); }
    const QString &violation() const { return m_violation; }

private:
    enum class Step { MainTick, Pacing, Animation, Events, Press, Drag, Release };
    struct Before
    {
        int16_t linkMark;
        int16_t setupPending;
        int aRun;
        int bRun;
        int sendStep;
        bool timer1Active;
        int waiting;
        bool readable;
        uint8_t byte12;
        uint8_t marker;
    };
    struct Pressed
    {
        Control control;
        int index;
    };

    void letEventsRun();
    Before begin();
    void end(Step step, const Before &before);
    void checkFrame(Step step, const Before &before, bool decoded, bool runsMoved);
    void checkState(Step step);
    void checkLayout(Step step);
    void checkWrites(Step step, const Before &before);
    void fail(Step step, const QString &what);
    bool readable() const;

    SoakPort *m_port = nullptr;
    std::unique_ptr<Controller> m_app;
    SoakCounts m_counts;
    QString m_violation;
    std::optional<Pressed> m_pressed;
    int m_searchWaits = 0;
    int m_eventsEvery = EventsEveryTicks;
    uint8_t m_lastCommand = 0;
    int64_t m_linkDownSince = 0;
};

// A switcher, its cable, the serial adapters and a user, played at random
// from a fixed seed against a SoakRig: frames valid, corrupt, truncated,
// split, back to back or absent; quiet stretches long enough for the link
// to drop and the search to run; the switcher changing model, power, routes
// and port; operations of the port failing for a while; clicks and drags on
// the panel; now and then a frame that stops the main tick, after which the
// user clicks a button to get it going again.
struct SoakResult
{
    SoakCounts counts;
    int64_t framesSent = 0;
    int64_t framesUnheard = 0; // sent while the program listened elsewhere
    int64_t corruptFrames = 0;
    int64_t truncatedFrames = 0;
    int64_t splitFrames = 0;
    int64_t backToBackFrames = 0;
    int64_t garbageBursts = 0;
    int64_t stopFrames = 0;
    int64_t quietStretches = 0;
    int64_t modelChanges = 0;
    int64_t powerChanges = 0;
    int64_t portMoves = 0;
    int64_t unplugs = 0;
    int64_t portFaults = 0;
    int64_t gestures = 0;
    int64_t restartClicks = 0;
    QString violation; // empty while every invariant holds
};

class SoakDriver
{
public:
    static constexpr int64_t TicksPerHour = 360000;

    explicit SoakDriver(uint32_t seed = 20240611u);
    ~SoakDriver();

    // Runs `ticks` more ticks, or stops at the first broken invariant.
    void run(int64_t ticks);

    SoakResult result() const;
    bool failed() const { return m_rig.failed(); }
    SoakRig &rig() { return m_rig; }

private:
    struct Action
    {
        enum What { Press, Drag, Release } what;
        int64_t at;
        SoakRig::Control control;
        int index;
    };

    void step();
    void scheduledEvents();
    void sendFrames();
    void userActs();
    void planGesture();
    void planClick(int64_t at);
    void expireFaults();
    void applyPortFaults();
    void deliver(const QByteArray &bytes);
    QByteArray makeFrame();
    bool chance(double p);
    int uniform(int low, int high);
    int64_t exponential(double meanTicks);
    int64_t logUniformMs(double lowMs, double highMs);
    void startQuiet();
    void newSession();
    void newRoutes();
    std::pair<SoakRig::Control, int> routeTarget(bool input, int k);

    SoakRig m_rig;
    std::mt19937 m_rng;
    SoakResult m_events;

    // The switcher.
    bool m_fourOutput = true;
    uint8_t m_power = 1;
    uint8_t m_sources[4] = { 1, 2, 4, 8 };
    uint8_t m_flags = 0xF0;
    int m_devicePort = 1;
    std::set<int> m_otherPorts;
    int m_framePeriod = 15;
    int64_t m_nextFrame = 0;
    int64_t m_quietUntil = 0;
    QByteArray m_rest; // the second part of a split frame, still on the line
    int64_t m_restAt = -1;

    // The line and the adapters.
    std::set<FakeSerialPort::Operation> m_faultOps;
    int64_t m_faultEndMs = -1;
    int64_t m_unplugEndMs = -1;

    // When the next event of each kind happens, in ticks.
    int64_t m_nextQuiet = 0;
    int64_t m_nextPower = 0;
    int64_t m_nextRoutes = 0;
    int64_t m_nextSwap = 0;
    int64_t m_nextFault = 0;
    int64_t m_nextUnplug = 0;
    int64_t m_nextGesture = 0;
    int64_t m_restartAt = -1;
    std::deque<Action> m_plan;
};

// A frame as the switcher sends it: markers 'a'...'z' or 'b'...'w' and byte
// 14 the sum of bytes 2 to 12; written apart from the program's own check so
// that the two can disagree.
bool soakFrameIsWellFormed(const QByteArray &bytes);
