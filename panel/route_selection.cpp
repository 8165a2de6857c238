#include "panel/route_selection.h"

#include "core/command_frame.h"
#include "core/controller_state.h"
#include "panel/form3.h"

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

RouteSelection::RouteSelection(ControllerState &state, Form3 &panel, Host &host)
    : m_state(state)
    , m_panel(panel)
    , m_host(host)
{
}

void RouteSelection::Picture1_MouseDown(int index)
{
    m_host.setMainTickEnabled(false);
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
        m_host.send(CommandFrame::Command16);
    } else if (index == Command40UpFace) {
        m_panel.setPictureVisible(index, false);
        m_host.send(CommandFrame::Command40);
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
    m_host.setMainTickEnabled(true);
}

void RouteSelection::Label2_MouseDown(int index)
{
    // The caption sits on output index+1's up face and acts as that face.
    m_host.setMainTickEnabled(false);
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
    m_host.setMainTickEnabled(true);
}

void RouteSelection::dropSelection()
{
    m_state.selectedInput = 0;
    m_state.selectedOutput = 0;
    m_state.selectionAge = 0;
}
