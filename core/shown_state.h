#pragma once

#include "core/controller_state.h"

#include <array>

// The two switcher models, told apart by the markers of their status frames.
enum class SwitcherModel { None, FourOutput, TwoOutput };

// How many outputs a model has. Until one is seen the panel has four.
constexpr int outputCount(SwitcherModel model)
{
    return model == SwitcherModel::TwoOutput ? 2 : 4;
}

// What the panel shows, as every interface reads it: the input each output's
// caption names, which buttons are lit, power, link and model. It follows the
// status frames exactly as the routing display puts them on the panel.
struct ShownState
{
    bool linkUp = false;
    SwitcherModel model = SwitcherModel::None; // None while the link is down
    bool powerOn = false;
    // Per output, the input 1 to 4 its caption names; 0 before any.
    std::array<int, 4> shownInput {};
    std::array<bool, 4> outputLit {};
    std::array<bool, 4> inputLit {};

    bool operator==(const ShownState &o) const
    {
        return linkUp == o.linkUp && model == o.model && powerOn == o.powerOn
            && shownInput == o.shownInput && outputLit == o.outputLit && inputLit == o.inputLit;
    }
    bool operator!=(const ShownState &o) const { return !(*this == o); }
};

// The input a status frame's source byte names as one bit, or 0 when it
// names none or several.
constexpr int inputOfSource(uint8_t source)
{
    return source == 1 ? 1 : source == 2 ? 2 : source == 4 ? 3 : source == 8 ? 4 : 0;
}

// The state shown after `previous` once `state` has been decoded. Captions
// change only while the state is shown (power on, link up) and then only to
// an input the frame names; otherwise they keep what they showed.
inline ShownState shownStateOf(const ControllerState &state, const ShownState &previous)
{
    ShownState s;
    s.linkUp = state.linkUp();
    if (s.linkUp && state.matrixModel == 1)
        s.model = SwitcherModel::FourOutput;
    else if (s.linkUp && state.matrixModel == 2)
        s.model = SwitcherModel::TwoOutput;
    s.powerOn = state.powerState != 0;
    const bool shown = s.powerOn && s.linkUp;
    const uint8_t sources[4]
        = { state.outputSource1, state.outputSource2, state.outputSource3, state.outputSource4 };
    for (int k = 0; k < 4; ++k) {
        s.inputLit[k] = shown && state.inputFlags[k] != 0;
        s.outputLit[k] = shown && state.outputFlags[k] != 0;
        const int input = shown ? inputOfSource(sources[k]) : 0;
        s.shownInput[k] = input ? input : previous.shownInput[k];
    }
    return s;
}
