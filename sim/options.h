#pragma once

#include "sim/switcher.h"

#include <string>

// What the simulator is told on its command line.
struct Options
{
    std::string linkPath;
    std::string devicePath;
    Switcher::Model model = Switcher::Model::FourOutput;
    int periodMs = 100;
    bool standby = false;
    bool verbose = false;
};
