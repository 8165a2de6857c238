#pragma once

#include <cstdint>
#include <functional>

class Form3;
class QTimer;
struct ControllerState;

// What pressing the panel's buttons means: a route button records the input
// or output picked (the main tick sends the route once both are picked), a
// command button sends its command at once. While any button is held the
// main tick is paused, so the whole press-to-release gesture is one choice.
class RouteSelection
{
public:
    using Send = std::function<void(uint8_t)>;

    RouteSelection(ControllerState &state, Form3 &panel, QTimer &timer1, Send send);

    void Picture1_MouseDown(int index);
    void Picture1_MouseUp(int index);
    void Label2_MouseDown(int index);
    void Label2_MouseUp(int index);

private:
    ControllerState &m_state;
    Form3 &m_panel;
    QTimer &m_timer1;
    Send m_send;
};
