#pragma once

#include <QTimer>

// Enabling a timer that already runs must not restart its period: the waiting
// animation is enabled twice a second while the link is down and would never
// tick if every enable started it over.
inline void enableTimer(QTimer &timer)
{
    if (!timer.isActive())
        timer.start();
}
