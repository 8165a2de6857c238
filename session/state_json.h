#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

class Router;
struct Preset;

// The switcher as clients are told of it: the link and where it is, the
// model, power, each output's input and activity, each input's activity,
// and the names. The HTTP API, its WebSocket and MQTT all send this.
QJsonObject stateJson(const Router &router);
// The presets in id order, each with its routes and whether it is in force.
QJsonArray presetsJson(const Router &router);
QJsonObject presetJson(const Router &router, const Preset &preset);

// Stable for this machine and the serial device the switcher is on: six
// bytes of hex, as control software shows a router's unique ID. It names
// the switcher to the Videohub clients and on the MQTT broker.
QString uniqueIdOf(const QString &serialDevice);
