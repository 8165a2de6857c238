#pragma once

#include "net/interface.h"

// --listen and --token: the JSON API, its WebSocket and the browser panel.
InterfaceEntry remoteInterface();
