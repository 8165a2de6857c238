#include "mqtt/mqtt_topics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

namespace {

QString letter(int output)
{
    return QString(QLatin1Char(char('A' + output - 1)));
}

// The number 1 to 4 that `text` is, or 0.
int inputNumber(const QString &text)
{
    return text.size() == 1 && text[0] >= QLatin1Char('1') && text[0] <= QLatin1Char('4')
        ? text[0].digitValue()
        : 0;
}

// The payload as text, or nothing when it is too long or not UTF-8.
std::optional<QString> payloadText(const QByteArray &payload, QString *error)
{
    if (payload.size() > MaxCommandPayload) {
        *error
            = QStringLiteral("a payload of %1 bytes, longer than any command").arg(payload.size());
        return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(payload);
    if (decoder.hasError() || payload.contains('\0')) {
        *error = QStringLiteral("the payload is not UTF-8 text");
        return std::nullopt;
    }
    return text.trimmed();
}

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

MqttTopics::MqttTopics(const QString &id)
    : base(QStringLiteral("matrix-panel/") + id)
    , availability(base + QStringLiteral("/availability"))
    , state(base + QStringLiteral("/state"))
    , error(base + QStringLiteral("/error"))
    , command(base + QStringLiteral("/command/set"))
    , outputs(base + QStringLiteral("/output/+/set"))
    , presets(base + QStringLiteral("/preset/+/recall"))
{
}

QString MqttTopics::output(int output) const
{
    return base + QStringLiteral("/output/") + letter(output) + QStringLiteral("/set");
}

QString MqttTopics::preset(int id) const
{
    return base + QStringLiteral("/preset/") + QString::number(id) + QStringLiteral("/recall");
}

int MqttTopics::outputOf(const QString &topic) const
{
    for (int k = 1; k <= 4; ++k) {
        if (topic == output(k))
            return k;
    }
    return 0;
}

int MqttTopics::presetOf(const QString &topic) const
{
    const QString head = base + QStringLiteral("/preset/");
    const QString tail = QStringLiteral("/recall");
    if (!topic.startsWith(head) || !topic.endsWith(tail))
        return 0;
    const QString text = topic.mid(head.size(), topic.size() - head.size() - tail.size());
    bool ok = false;
    const int id = text.toInt(&ok);
    // One topic a preset: "07" or "+7" would be a second name for 7.
    return ok && id > 0 && QString::number(id) == text ? id : 0;
}

std::array<QString, 4> inputOptions(const Names &names)
{
    std::array<QString, 4> options;
    for (int k = 0; k < 4; ++k) {
        const QString &name = names.inputs[k];
        const bool shared = std::count(names.inputs.begin(), names.inputs.end(), name) > 1;
        const int number = inputNumber(name);
        // Home Assistant reads a state "None" as not known.
        const bool none = name.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0;
        options[k] = shared || none || (number && number != k + 1)
            ? QStringLiteral("%1 (%2)").arg(name).arg(k + 1)
            : name;
    }
    // Names chosen to collide even so ("A" and "A (2)" beside two "A"s) fall
    // back on the number, which no other option can be.
    for (int k = 0; k < 4; ++k) {
        if (std::count(options.begin(), options.end(), options[k]) > 1) {
            for (int j = k; j < 4; ++j) {
                if (options[j] == options[k] && j != k)
                    options[j] = QString::number(j + 1);
            }
            options[k] = QString::number(k + 1);
        }
    }
    return options;
}

std::optional<int> parseInputPayload(const QByteArray &payload, const Names &names, QString *error)
{
    const std::optional<QString> text = payloadText(payload, error);
    if (!text)
        return std::nullopt;
    const std::array<QString, 4> options = inputOptions(names);
    for (int k = 0; k < 4; ++k) {
        if (*text == options[k])
            return k + 1;
    }
    if (const int number = inputNumber(*text))
        return number;
    int named = 0;
    for (int k = 0; k < 4; ++k) {
        if (*text == names.inputs[k])
            named = named ? -1 : k + 1;
    }
    if (named > 0)
        return named;
    *error = named < 0 ? QStringLiteral("several inputs are named '%1'").arg(*text)
                       : QStringLiteral("'%1' is neither an input 1 to 4 nor an input's name")
                             .arg(text->left(Names::MaxLength));
    return std::nullopt;
}

std::optional<uint8_t> parseCommandPayload(const QByteArray &payload, QString *error)
{
    const std::optional<QString> text = payloadText(payload, error);
    if (!text)
        return std::nullopt;
    if (*text == QLatin1String("16") || *text == QLatin1String("40"))
        return uint8_t(text->toInt());
    *error = QStringLiteral("'%1' is neither 16 nor 40").arg(text->left(Names::MaxLength));
    return std::nullopt;
}

std::vector<MqttMessage> discoveryMessages(
    const DiscoveryDevice &device, const QString &prefix, const std::set<int> &gone)
{
    const MqttTopics topics(device.id);
    const QString node = QStringLiteral("matrix-panel-") + device.id;
    const QJsonObject deviceBlock {
        { "identifiers", QJsonArray { node } },
        { "name", device.friendlyName },
        { "manufacturer", "matrix-panel" },
        { "model",
            device.model == SwitcherModel::TwoOutput ? "4x2 matrix switcher"
                                                     : "4x4 matrix switcher" },
    };
    std::vector<MqttMessage> messages;
    auto add = [&](const char *component, const QString &object, QJsonObject config) {
        config.insert("unique_id", node + QLatin1Char('-') + object);
        config.insert("availability_topic", topics.availability);
        config.insert("device", deviceBlock);
        messages.push_back({ QStringLiteral("%1/%2/%3/%4/config")
                                 .arg(prefix, QLatin1String(component), node, object),
            json(config) });
    };

    const std::array<QString, 4> options = inputOptions(device.names);
    QJsonArray optionList;
    for (const QString &option : options)
        optionList.append(option);
    // The list inside the template is JSON, which Jinja reads as a list of
    // strings whatever the names hold.
    const QString optionLiteral
        = QString::fromUtf8(QJsonDocument(optionList).toJson(QJsonDocument::Compact));
    const int outputs = outputCount(device.model);
    for (int k = 1; k <= 4; ++k) {
        const QString object = QStringLiteral("output_") + letter(k).toLower();
        if (k > outputs) {
            messages.push_back(
                { QStringLiteral("%1/select/%2/%3/config").arg(prefix, node, object), {} });
            continue;
        }
        // "None" is what Home Assistant takes for a state not known yet.
        const QString input = QStringLiteral("value_json.outputs[%1].input").arg(k - 1);
        add("select", object,
            QJsonObject {
                { "name", device.names.outputs[k - 1] },
                { "icon", "mdi:video-input-hdmi" },
                { "options", optionList },
                { "command_topic", topics.output(k) },
                { "state_topic", topics.state },
                { "value_template",
                    QStringLiteral("{{ %1[%2 - 1] if %2 else \"None\" }}")
                        .arg(optionLiteral, input) },
            });
    }
    add("binary_sensor", QStringLiteral("link"),
        QJsonObject {
            { "name", "Link" },
            { "device_class", "connectivity" },
            { "entity_category", "diagnostic" },
            { "state_topic", topics.state },
            { "value_template", "{{ value_json.link.state }}" },
            { "payload_on", "up" },
            { "payload_off", "searching" },
        });
    add("sensor", QStringLiteral("power"),
        QJsonObject {
            { "name", "Power" },
            { "device_class", "enum" },
            { "options", QJsonArray { "on", "standby" } },
            { "state_topic", topics.state },
            { "value_template", "{{ value_json.power }}" },
        });
    for (const int command : { 16, 40 }) {
        add("button", QStringLiteral("command_%1").arg(command),
            QJsonObject {
                { "name", QStringLiteral("Command %1").arg(command) },
                { "command_topic", topics.command },
                { "payload_press", QString::number(command) },
            });
    }
    // Several presets may be in force at once (one holds part of another):
    // the sensor names the first of them.
    add("sensor", QStringLiteral("preset"),
        QJsonObject {
            { "name", "Preset" },
            { "icon", "mdi:playlist-play" },
            { "state_topic", topics.state },
            { "value_template",
                "{{ value_json.presets | selectattr('active') | map(attribute='name') | first "
                "| default('none') }}" },
        });
    for (const auto &[id, name] : device.presets) {
        add("button", QStringLiteral("preset_%1").arg(id),
            QJsonObject {
                { "name", name },
                { "icon", "mdi:playlist-play" },
                { "command_topic", topics.preset(id) },
                { "payload_press", "PRESS" },
            });
    }
    for (const int id : gone) {
        if (!device.presets.count(id))
            messages.push_back(
                { QStringLiteral("%1/button/%2/preset_%3/config").arg(prefix, node).arg(id), {} });
    }
    return messages;
}
