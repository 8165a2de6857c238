#pragma once

#include "core/settings_file.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// Where the MQTT bridge connects and how it names itself there.
struct MqttSettings
{
    QString host;
    quint16 port = 1883;
    bool tls = false;
    // The CA that signs the broker's certificate; empty: the system's store.
    QString caFile;
    QString username;
    QString password;
    // The topic id, matrix-panel/<id>/...; empty: the program's default.
    QString id;
    // Home Assistant's discovery prefix; empty: no discovery.
    QString discoveryPrefix = QStringLiteral("homeassistant");
};

// The bridge's options, as the program's table lists them: only the URL
// on the command line; the password, a secret, in a private settings file
// or its variable.
const std::vector<OptionSpec> &mqttOptions();

// mqtt://[USER@]HOST[:PORT] (1883) or mqtts://[USER@]HOST[:PORT] (8883, TLS).
// A URL that carries a password is refused with a message saying where the
// password belongs.
std::optional<MqttSettings> parseMqttUrl(const QString &url, QString *error);

// What is wrong with one value of `key` (one of mqttOptions()), or nothing.
std::optional<QString> mqttValueProblem(const QString &key, const QString &value);

// The values the options were given, each absent when not given.
struct MqttOptionValues
{
    QString url;
    std::optional<QString> ca;
    std::optional<QString> password;
    std::optional<QString> id;
    std::optional<QString> discovery;
};

// All of the bridge's settings from the values, or *error saying which one
// is wrong and why.
std::optional<MqttSettings> mqttSettings(const MqttOptionValues &values, QString *error);
