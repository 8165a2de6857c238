#pragma once

#include <QJsonObject>

class Router;

// The switcher as clients are told of it: the link and where it is, the
// model, power, each output's input and activity, each input's activity,
// and the names. The HTTP API, its WebSocket and MQTT all send this.
QJsonObject stateJson(const Router &router);
