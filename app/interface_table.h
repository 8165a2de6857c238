#pragma once

#include "net/interface.h"

#include <vector>

// Every way in that the program can start, in the order they start: one
// entry each, declaring its options once. The command line, the settings
// file's keys, --help and the manual page all come from here.
const std::vector<InterfaceEntry> &interfaceTable();

// The options of the program itself (the serial ports, the settings file,
// headless, the allow-list every listener shares), then each interface's.
const std::vector<OptionSpec> &programOptions();
