#pragma once

#include "net/interface.h"

// --videohub and --no-discovery: the router protocol of control software.
InterfaceEntry videohubInterface();
