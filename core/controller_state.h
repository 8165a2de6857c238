#pragma once

#include <cstdint>

// The switcher's state as the program knows it, owned by the controller for
// the whole run. Every field starts at 0, which is how the device protocol
// treats "never received".
struct ControllerState
{
    static constexpr int16_t LinkAlive = 12345; // linkMark while status frames arrive
    static constexpr int16_t NotDetermined = 12; // reset value of matrixModel and setupPending

    int16_t linkMark = 0;
    int16_t missedCycles = 0;
    int16_t matrixModel = 0;
    int16_t setupPending = 0;

    int16_t selectedInput = 0;
    int16_t selectedOutput = 0;
    int16_t selectionAge = 0;

    uint8_t statusByte2 = 0;
    uint8_t statusByte3 = 0;
    uint8_t statusByte4 = 0;
    uint8_t statusByte5 = 0;
    uint8_t statusByte12 = 0;
    uint8_t outputSource1 = 0;
    uint8_t outputSource2 = 0;
    uint8_t outputSource3 = 0;
    uint8_t outputSource4 = 0;
    uint8_t inputFlags[5] = {};
    uint8_t outputFlags[5] = {};
    uint8_t powerState = 0;

    bool linkUp() const { return linkMark == LinkAlive; }
};

// Counters that may run for days (a link that stays down all night) stop at
// the top of their range instead of wrapping to a negative count.
inline int16_t saturatingIncrement(int16_t value)
{
    return value < INT16_MAX ? int16_t(value + 1) : value;
}
