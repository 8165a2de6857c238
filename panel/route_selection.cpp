#include "panel/route_selection.h"

#include "app/controller_state.h"
#include "panel/form3.h"

#include "app/timers.h"

using namespace PanelLayout;

namespace {
bool isInputUpFace(int index)
{
    return index == 1 || index == 3 || index == 5 || index == 7;
}
bool isOutputUpFace(int index)
{
    return index == 9 || index == 11 || index == 13 || index == 15;
}
} // namespace

RouteSelection::RouteSelection(ControllerState &state, Form3 &panel, QTimer &timer1, Send send)
    : m_state(state)
    , m_panel(panel)
    , m_timer1(timer1)
    , m_send(std::move(send))
{
}

void RouteSelection::Picture1_MouseDown(int index)
{
    m_timer1.stop();
    if (isInputUpFace(index)) {
        m_state.selectedInput = int16_t((index + 1) / 2);
        m_panel.setPictureVisible(index, false);
        m_state.selectionAge = 0;
    } else if (isOutputUpFace(index)) {
        m_state.selectedOutput = int16_t((index - 7) / 2);
        m_panel.setPictureVisible(index, false);
        m_state.selectionAge = 0;
    } else if (index == Command16UpFace) {
        m_panel.setPictureVisible(index, false);
        m_send(Command16);
    } else if (index == Command40UpFace) {
        m_panel.setPictureVisible(index, false);
        m_send(Command40);
    }
    // A down face (shown while its button is unlit) does nothing.
}

void RouteSelection::Picture1_MouseUp(int index)
{
    if (isInputUpFace(index)) {
        m_state.selectedInput = int16_t((index + 1) / 2);
        m_panel.setPictureVisible(index, true);
    } else if (isOutputUpFace(index)) {
        m_state.selectedOutput = int16_t((index - 7) / 2);
        m_panel.setPictureVisible(index, true);
    } else if (index == Command16UpFace || index == Command40UpFace) {
        m_panel.setPictureVisible(index, true);
    }
    enableTimer(m_timer1);
}

void RouteSelection::Label2_MouseDown(int index)
{
    // The caption sits on output index+1's up face and acts as that face.
    m_timer1.stop();
    m_state.selectionAge = 0;
    if (index >= 0 && index <= 3) {
        m_state.selectedOutput = int16_t(index + 1);
        m_panel.setPictureVisible(outputUpFace(index + 1), false);
        m_state.selectionAge = 0;
    }
}

void RouteSelection::Label2_MouseUp(int index)
{
    if (index >= 0 && index <= 3) {
        m_state.selectedOutput = int16_t(index + 1);
        m_panel.setPictureVisible(outputUpFace(index + 1), true);
    }
    enableTimer(m_timer1);
}
