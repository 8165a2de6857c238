#pragma once

#include "core/controller_state.h"
#include "core/names.h"
#include "core/shown_state.h"
#include "link/command_transmitter.h"
#include "link/status_receiver.h"
#include "session/session_router.h"
#include "supervision/link_supervisor.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

class SerialPort;
class SessionView;

// One switcher on one serial line, without widgets: the port, the
// controller state, the four timers, the transmitter, the receiver, the link
// supervisor, what is shown, the names and the locks, and the router every
// interface asks. When there is a screen, the windows are its view.
//   Timer1  10 ms   main tick: receive, supervise, display, route
//   Timer2  50 ms   paces the bytes of a command frame
//   Timer3  1 s     watchdog: ends the program once the panel is gone
//   Timer4  700 ms  waiting animation
// Every handler is a plain member function, so tests can call them in any
// number without an event loop.
class SwitcherSession : public QObject, private StatusReceiver::Host, private LinkSupervisor::Host
{
    Q_OBJECT
public:
    static constexpr int Timer1IntervalMs = 10;
    static constexpr int SuperviseEveryTicks = 50;
    static constexpr int MissedCyclesForLoss = 3;
    static constexpr int SelectionExpiryTicks = 300;
    static constexpr int StaleInputTicks = 10;

    explicit SwitcherSession(std::unique_ptr<SerialPort> port, QObject *parent = nullptr);
    ~SwitcherSession() override;

    // The windows, when there is a screen; without them the watchdog stands
    // down and the session serves its interfaces alone.
    void setView(SessionView *view);

    // The status window's load handler: state to its start values, timers
    // set, labels placed, port 1 opened. The caller shows the status window.
    void Form_Load();
    void Timer1_Timer();
    void Timer2_Timer() { m_transmitter.Timer2_Timer(); }
    void Timer3_Timer();
    void Timer4_Timer();
    // The panel's own way to the line: a frame in flight is cut short.
    void send(uint8_t x) { m_transmitter.send(x); }
    // Pauses (false) or resumes (true) the main tick while a panel button
    // is held; resuming a running tick leaves its period alone.
    void setMainTickEnabled(bool enabled);

    // Stops every timer, releases the port and leaves the event loop. No
    // further tick or handler runs afterwards.
    void endProgram();
    bool ended() const { return m_ending; }

    ControllerState &state() { return m_state; }
    CommandTransmitter &transmitter() { return m_transmitter; }
    StatusReceiver &receiver() { return m_receiver; }
    LinkSupervisor &supervisor() { return m_supervisor; }
    Router &router() { return m_router; }
    SessionRouter &sessionRouter() { return m_router; }
    const ShownState &shownState() const { return m_shown; }
    const Names &names() const { return m_router.names(); }
    const SerialPort &port() const { return *m_port; }
    const QTimer &Timer1() const { return m_timer1; }
    const QTimer &Timer2() const { return m_timer2; }
    const QTimer &Timer3() const { return m_timer3; }
    const QTimer &Timer4() const { return m_timer4; }

    // The message printed when port 1 could not be opened at start, if any.
    QString startupPortMessage() const { return m_startupPortMessage; }

    // What the port search does when it lets events run. By default it runs
    // the event loop (waiting waitMs when asked); tests and the soak put
    // their own in.
    using EventPump = std::function<void(int waitMs)>;
    void setEventPump(EventPump pump) { m_pump = std::move(pump); }

signals:
    // A main tick has run: whatever the switcher, the link or the user
    // changed has reached the state and the windows.
    void ticked();

private:
    // StatusReceiver::Host
    void bringUpPanel(int matrixModel) override;
    void reduceToTwoOutputs() override;
    void stopMainTick() override;
    // LinkSupervisor::Host
    void setPanelTitle(const QString &title) override;
    void hidePanel() override;
    void showStatusWindow() override;
    void showPortTried(int number) override;
    void letEventsRun(int waitMs) override;
    bool ending() const override { return m_ending; }

    void mainTick();
    void runEventLoop(int waitMs);
    void openFirstPort();
    void describePortTried();
    void showPicked();

    ControllerState m_state;
    ShownState m_shown;
    std::unique_ptr<SerialPort> m_port;
    SessionView *m_view = nullptr;
    QTimer m_timer1;
    QTimer m_timer2;
    QTimer m_timer3;
    QTimer m_timer4;
    QtPacingTimer m_pacing { m_timer2 };
    CommandTransmitter m_transmitter;
    StatusReceiver m_receiver;
    LinkSupervisor m_supervisor;
    SessionRouter m_router;
    EventPump m_pump;

    int m_superviseTicks = 0;
    int m_partialTicks = 0;
    int m_lastWaiting = 0;
    int m_waitDots = 0;
    bool m_inMainTick = false;
    bool m_ending = false;
    QString m_startupPortMessage;
};
