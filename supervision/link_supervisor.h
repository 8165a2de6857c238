#pragma once

#include <functional>

class Form3;
class QLineEdit;
class QTimer;
class QWidget;
class SerialPort;
struct ControllerState;

// Runs twice a second from the main tick. With the link up it keeps the
// panel's title in line with the switcher's model and power. With the link
// down it puts the status window up and moves the port on to the next number
// that opens, trying 1 to 15 in turn until one does.
class LinkSupervisor
{
public:
    struct Windows
    {
        Form3 &panel;
        QWidget &statusWindow;
        QLineEdit &text1;
        QTimer &timer3;
        QTimer &timer4;
    };
    // Lets pending events run; with waitMs > 0, waits that long for them.
    using EventPump = std::function<void(int waitMs)>;
    // True once the program is ending: the search stops at once.
    using Ending = std::function<bool()>;

    // After a whole round of ports that would not open, the search waits this
    // long for events before the next round instead of spinning.
    static constexpr int RoundPauseMs = 100;

    LinkSupervisor(ControllerState &state, SerialPort &port, Windows windows, Ending ending);

    void SuperviseLink();

    void setEventPump(EventPump pump) { m_pump = std::move(pump); }

private:
    void letEventsRun(int waitMs);
    void titleForModelAndPower();
    void searchForSwitcher();

    ControllerState &m_state;
    SerialPort &m_port;
    Windows m_windows;
    Ending m_ending;
    EventPump m_pump;
};
