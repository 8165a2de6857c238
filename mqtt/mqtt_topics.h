#pragma once

#include "core/names.h"
#include "core/shown_state.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

// One message to publish.
struct MqttMessage
{
    QString topic;
    QByteArray payload;
    bool retain = true;

    bool operator==(const MqttMessage &o) const
    {
        return topic == o.topic && payload == o.payload && retain == o.retain;
    }
};

// The bridge's topics, all under matrix-panel/<id>/.
struct MqttTopics
{
    explicit MqttTopics(const QString &id);

    QString base; // matrix-panel/<id>
    QString availability; // online / offline, retained
    QString state; // the state JSON, retained
    QString error; // a refused command, not retained
    QString command; // 16 or 40
    QString outputs; // the pattern of the output command topics
    QString presets; // the pattern of the preset recall topics

    QString output(int output) const; // output 1 to 4: .../output/A/set
    QString preset(int id) const; // .../preset/<id>/recall
    // The output 1 to 4 that an output command topic names, or 0.
    int outputOf(const QString &topic) const;
    // The preset id a recall topic names, or 0; a topic shaped as one that
    // names no id (a word, a leading zero) is none.
    int presetOf(const QString &topic) const;
};

// A payload on a command topic longer than this is refused unread.
constexpr int MaxCommandPayload = 256;

// The options an output's select offers, one per input: the input's name,
// made unique where two inputs share one, and never a number that is
// another input's.
std::array<QString, 4> inputOptions(const Names &names);

// The input 1 to 4 that a payload on an output's command topic names: one
// of inputOptions(), a number 1 to 4, or an input's name, in that order; or
// nothing and *error saying why.
std::optional<int> parseInputPayload(const QByteArray &payload, const Names &names, QString *error);

// The command 16 or 40 that a payload on the command topic names.
std::optional<uint8_t> parseCommandPayload(const QByteArray &payload, QString *error);

// What Home Assistant's MQTT discovery reads for one bridge: the configs of
// its entities under `prefix`, each retained; for the two-output model the
// selects of outputs C and D as empty configs, which remove them, and so
// for the buttons of the presets `gone`.
struct DiscoveryDevice
{
    QString id;
    QString friendlyName;
    SwitcherModel model = SwitcherModel::FourOutput;
    Names names;
    // Each preset's id and name; a button each.
    std::map<int, QString> presets;

    bool operator==(const DiscoveryDevice &o) const
    {
        return id == o.id && friendlyName == o.friendlyName && model == o.model && names == o.names
            && presets == o.presets;
    }
    bool operator!=(const DiscoveryDevice &o) const { return !(*this == o); }
};
std::vector<MqttMessage> discoveryMessages(
    const DiscoveryDevice &device, const QString &prefix, const std::set<int> &gone = {});
