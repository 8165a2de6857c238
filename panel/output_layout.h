#pragma once

class Form3;

// The two-output switcher has only outputs A and B: C and D disappear and B
// moves to the right end of the row, where D was.
void reduceToTwoOutputs(Form3 &panel);

// Puts back what reduceToTwoOutputs hid or moved, for a four-output switcher
// connected after a two-output one. Up faces are left to the routing display.
void restoreFourOutputs(Form3 &panel);
