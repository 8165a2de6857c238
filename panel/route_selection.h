#pragma once

#include <cstdint>

class Form3;
struct ControllerState;

// What pressing the panel's buttons means: a route button records the input
// or output picked (the main tick sends the route once both are picked), a
// command button sends its command at once. While any button is held the
// main tick is paused, so the whole press-to-release gesture is one choice.
class RouteSelection
{
public:
    class Host
    {
    public:
        virtual ~Host() = default;
        // Pauses (false) or resumes (true) the main tick; resuming a running
        // tick leaves its period alone.
        virtual void setMainTickEnabled(bool enabled) = 0;
        // Puts a command on the line (the paced four-byte frame).
        virtual void send(uint8_t x) = 0;
    };

    RouteSelection(ControllerState &state, Form3 &panel, Host &host);

    void Picture1_MouseDown(int index);
    void Picture1_MouseUp(int index);
    void Label2_MouseDown(int index);
    void Label2_MouseUp(int index);
    // Drops what was picked and not yet sent (the Esc key).
    void dropSelection();

private:
    ControllerState &m_state;
    Form3 &m_panel;
    Host &m_host;
};
