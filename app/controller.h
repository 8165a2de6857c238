#pragma once

#include "core/controller_state.h"
#include "core/names.h"
#include "core/output_locks.h"
#include "core/shown_state.h"
#include "link/command_transmitter.h"
#include "link/status_receiver.h"
#include "panel/route_selection.h"
#include "remote/remote_host.h"
#include "supervision/link_supervisor.h"
#include "videohub/videohub_host.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

class Form1;
class Form3;
class SerialPort;

// Owns the program's parts: the serial port, the controller state, the two
// windows, the four timers and the pieces that act on them.
//   Timer1  10 ms   main tick: receive, supervise, display, route
//   Timer2  50 ms   paces the bytes of a command frame
//   Timer3  1 s     watchdog: ends the program once the panel is gone
//   Timer4  700 ms  waiting animation
// Every handler is a plain member function, so tests can call them in any
// number without an event loop.
class Controller : public QObject,
                   private StatusReceiver::Host,
                   private LinkSupervisor::Host,
                   private RouteSelection::Host,
                   private RemoteHost,
                   private VideohubHost
{
    Q_OBJECT
public:
    static constexpr int Timer1IntervalMs = 10;
    static constexpr int SuperviseEveryTicks = 50;
    static constexpr int MissedCyclesForLoss = 3;
    static constexpr int SelectionExpiryTicks = 300;
    static constexpr int StaleInputTicks = 10;

    explicit Controller(std::unique_ptr<SerialPort> port, QObject *parent = nullptr);
    ~Controller() override;

    // The status window's load handler: state to its start values, timers
    // set, labels placed, port 1 opened. The caller shows the status window.
    void Form_Load();
    void Timer1_Timer();
    void Timer2_Timer() { m_transmitter.Timer2_Timer(); }
    void Timer3_Timer();
    void Timer4_Timer();
    void send(uint8_t x) override { m_transmitter.send(x); }

    // Stops every timer, releases the port and leaves the event loop. No
    // further tick or handler runs afterwards.
    void endProgram();
    bool ended() const { return m_ending; }

    // Headless, the program runs as it always does but shows no window, and
    // the watchdog that ends it when the panel is not visible stands down.
    void setHeadless(bool headless) { m_headless = headless; }

    ControllerState &state() { return m_state; }
    Form1 &statusWindow() { return *m_form1; }
    Form3 &panel() { return *m_panel; }
    CommandTransmitter &transmitter() { return m_transmitter; }
    StatusReceiver &receiver() { return m_receiver; }
    LinkSupervisor &supervisor() { return m_supervisor; }
    // What the remote interface, when it runs, reads and asks for.
    RemoteHost &remoteHost() { return *this; }
    VideohubHost &videohubHost() { return *this; }
    // What the panel shows, as every interface reads it.
    const ShownState &shownState() const override { return m_shown; }
    const Names &names() const override { return m_names; }
    bool setNames(const std::vector<NameChange> &changes, QString *error) override;
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
    void showStatusWindow() override;
    void showPortTried(int number) override;
    void letEventsRun(int waitMs) override;
    bool ending() const override { return m_ending; }
    // RouteSelection::Host
    void setMainTickEnabled(bool enabled) override;
    // RemoteHost
    const SerialPort &remotePort() const override { return *m_port; }
    bool queueCommand(uint8_t x) override { return m_transmitter.queue(x); }
    bool outputLocked(int output) const override { return !m_locks.free(output); }
    // VideohubHost
    OutputLocks &outputLocks() override { return m_locks; }
    bool queueCommands(const std::vector<uint8_t> &commands) override;
    QString serialDevice() const override;

    void mainTick();
    void runEventLoop(int waitMs);
    void openFirstPort();
    void describePortTried();
    void resetLabelColours();
    void colourSelection();

    ControllerState m_state;
    ShownState m_shown;
    NameStore m_nameStore;
    Names m_names;
    OutputLocks m_locks;
    std::unique_ptr<SerialPort> m_port;
    std::unique_ptr<Form3> m_panel;
    std::unique_ptr<Form1> m_form1;
    QTimer m_timer1;
    QTimer m_timer2;
    QTimer m_timer3;
    QTimer m_timer4;
    QtPacingTimer m_pacing { m_timer2 };
    CommandTransmitter m_transmitter;
    StatusReceiver m_receiver;
    LinkSupervisor m_supervisor;
    RouteSelection m_routeSelection;
    EventPump m_pump;

    int m_superviseTicks = 0;
    int m_partialTicks = 0;
    int m_lastWaiting = 0;
    int m_waitDots = 0;
    bool m_inMainTick = false;
    bool m_ending = false;
    bool m_headless = false;
    QString m_startupPortMessage;
};
