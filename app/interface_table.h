#pragma once

#include "net/interface.h"

#include <QString>
#include <vector>

// Every way in that the program can start, in the order they start: one
// entry each, declaring its options once. The command line, the settings
// file's keys, --help and the manual page all come from here.
const std::vector<InterfaceEntry> &interfaceTable();

// The options of the program itself (the serial ports, the settings file,
// headless, the allow-list every listener shares), then each interface's.
const std::vector<OptionSpec> &programOptions();

// "--a, --b or --c" of the interfaces' options, those that listen only
// when `listening`; `word` joins the last two ("or", "and").
QString interfaceOptions(bool listening, const char *word);
