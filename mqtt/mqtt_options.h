#pragma once

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

// One option of the bridge, as the program's option table lists it. A
// secret has no command-line form: ps would show it to every user.
struct MqttOption
{
    QString key; // the settings key, and the long option where there is one
    QString valueName;
    QString help;
    bool onCommandLine = false;
    bool secret = false; // the settings file must then be private (chmod 600)
    QString environment; // the variable that may give it, or empty
};

const std::vector<MqttOption> &mqttOptions();

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
