#pragma once

class Form3;
struct ShownState;

// Puts what is shown on the panel: a lit (up) face for each input with a
// source and each active output, and on each output the input it shows. In
// standby, or with the link down, every route button is unlit.
void RefreshPanel(const ShownState &shown, Form3 &panel);
