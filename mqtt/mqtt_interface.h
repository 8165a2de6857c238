#pragma once

#include "net/interface.h"

// --mqtt and its settings: the switcher on an MQTT broker, with Home
// Assistant discovery.
InterfaceEntry mqttInterface();
