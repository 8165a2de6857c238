#pragma once

#include "app/controller_state.h"
#include "link/command_transmitter.h"
#include "link/status_receiver.h"

#include <QTimer>
#include <QWidget>
#include <memory>

class Form3;
class LinkSupervisor;
class QLabel;
class QLineEdit;
class RouteSelection;
class SerialPort;

// The status window. It is the start window and shows the waiting text while
// no switcher answers; it owns the serial port, the four timers and the
// controller state, and drives the panel window from them.
//   Timer1  10 ms   main tick: receive, supervise, display, route
//   Timer2  50 ms   paces the bytes of a command frame
//   Timer3  1 s     watchdog: ends the program once the panel is gone
//   Timer4  700 ms  waiting animation
class Form1 : public QWidget, private StatusReceiver::Host
{
    Q_OBJECT
public:
    static constexpr int SuperviseEveryTicks = 50;
    static constexpr int MissedCyclesForLoss = 3;
    static constexpr int SelectionExpiryTicks = 300;
    static constexpr int StaleInputTicks = 10;

    explicit Form1(std::unique_ptr<SerialPort> port, QWidget *parent = nullptr);
    ~Form1() override;

    void Form_Load();
    void Timer1_Timer();
    void Timer3_Timer();
    void Timer4_Timer();
    void send(uint8_t x) { m_transmitter.send(x); }

    // Stops every timer, releases the port and leaves the event loop. No
    // further tick or handler runs afterwards.
    void endProgram();
    bool ended() const { return m_ending; }

    ControllerState &state() { return m_state; }
    SerialPort &MSComm1() { return *m_port; }
    Form3 &panel() { return *m_panel; }
    CommandTransmitter &transmitter() { return m_transmitter; }
    StatusReceiver &receiver() { return m_receiver; }
    LinkSupervisor &supervisor() { return *m_supervisor; }
    QLabel &label1() { return *m_label1; }
    QLineEdit &text1() { return *m_text1; }
    // The message printed when port 1 could not be opened at start, if any.
    QString startupPortMessage() const { return m_startupPortMessage; }

    QTimer Timer1;
    QTimer Timer2;
    QTimer Timer3;
    QTimer Timer4;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void bringUpPanel(int matrixModel) override;
    void reduceToTwoOutputs() override;
    void stopMainTick() override;

    void openFirstPort();
    void resetLabelColours();
    void colourSelection();

    ControllerState m_state;
    std::unique_ptr<SerialPort> m_port;
    std::unique_ptr<Form3> m_panel;
    QLabel *m_label1 = nullptr;
    QLineEdit *m_text1 = nullptr;
    CommandTransmitter m_transmitter;
    StatusReceiver m_receiver;
    std::unique_ptr<LinkSupervisor> m_supervisor;
    std::unique_ptr<RouteSelection> m_routeSelection;

    int m_superviseTicks = 0;
    int m_partialTicks = 0;
    int m_waitDots = 0;
    bool m_inMainTick = false;
    bool m_ending = false;
    QString m_startupPortMessage;
};
