#include "mqtt/mqtt_bridge.h"

#include "session/state_json.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcMqtt)

namespace {

const QByteArray Online = QByteArrayLiteral("online");
const QByteArray Offline = QByteArrayLiteral("offline");
constexpr int ErrorIntervalMs = 1000;

MqttClient::Options clientOptions(
    const MqttSettings &settings, const MqttTopics &topics, const QString &id)
{
    MqttClient::Options options;
    options.host = settings.host;
    options.port = settings.port;
    options.clientId = QStringLiteral("matrix-panel-") + id;
    options.username = settings.username;
    options.password = settings.password;
    options.tls = settings.tls;
    options.caFile = settings.caFile;
    options.will = MqttClient::Will { topics.availability, Offline, 1, true };
    return options;
}

} // namespace

MqttBridge::MqttBridge(
    Router &router, MqttSettings settings, QString friendlyName, QString id, QObject *parent)
    : QObject(parent)
    , m_router(router)
    , m_settings(std::move(settings))
    , m_friendlyName(std::move(friendlyName))
    , m_id(std::move(id))
    , m_topics(m_id)
    , m_client(clientOptions(m_settings, m_topics, m_id))
{
    connect(&m_client, &MqttClient::connected, this, &MqttBridge::onConnected);
    connect(&m_client, &MqttClient::message, this, &MqttBridge::onMessage);
    connect(&m_router, &Router::changed, this, &MqttBridge::onRouterChanged);
}

bool MqttBridge::start(QString *error)
{
    return m_client.start(error);
}

void MqttBridge::stop(int timeoutMs)
{
    m_client.publish(m_topics.availability, Offline, 1, true);
    m_client.stop(timeoutMs);
}

void MqttBridge::onConnected()
{
    // The broker may have lost everything retained (a restart without
    // persistence): all of it is said again.
    m_sentState.clear();
    m_sentDiscovery.reset();
    m_client.publish(m_topics.availability, Online, 1, true);
    publishDiscovery();
    publishState();
    m_client.subscribe(m_topics.presets, 1);
    m_client.subscribe(m_topics.outputs, 1);
    m_client.subscribe(m_topics.command, 1);
    if (!m_settings.discoveryPrefix.isEmpty())
        m_client.subscribe(m_settings.discoveryPrefix + QStringLiteral("/status"), 1);
}

DiscoveryDevice MqttBridge::discoveryDevice() const
{
    DiscoveryDevice device { m_id, m_friendlyName, m_router.lastModel(), m_router.names(), {} };
    for (const Preset &preset : m_router.presets())
        device.presets[preset.id] = preset.name;
    return device;
}

void MqttBridge::publishDiscovery()
{
    if (m_settings.discoveryPrefix.isEmpty())
        return;
    m_sentDiscovery = discoveryDevice();
    for (const MqttMessage &m :
        discoveryMessages(*m_sentDiscovery, m_settings.discoveryPrefix, m_announcedPresets))
        m_client.publish(m.topic, m.payload, 1, m.retain);
    m_announcedPresets.clear();
    for (const auto &preset : m_sentDiscovery->presets)
        m_announcedPresets.insert(preset.first);
}

void MqttBridge::publishState()
{
    const QByteArray state = QJsonDocument(stateJson(m_router)).toJson(QJsonDocument::Compact);
    if (state != m_sentState && m_client.publish(m_topics.state, state, 1, true))
        m_sentState = state;
}

void MqttBridge::onRouterChanged()
{
    if (!m_client.isConnected())
        return;
    publishState();
    if (m_sentDiscovery && discoveryDevice() != *m_sentDiscovery)
        publishDiscovery();
}

void MqttBridge::onMessage(const QString &topic, const QByteArray &payload, bool retained)
{
    if (!m_settings.discoveryPrefix.isEmpty()
        && topic == m_settings.discoveryPrefix + QStringLiteral("/status")) {
        // Home Assistant has started again and forgotten what it was told.
        if (payload == Online)
            publishDiscovery();
        return;
    }
    if (retained) {
        refuse(topic,
            QStringLiteral("a retained command is not carried out: it would be again at every "
                           "connection"));
        return;
    }
    QString error;
    if (topic == m_topics.command) {
        if (const std::optional<uint8_t> command = parseCommandPayload(payload, &error))
            carryOut(topic, m_router.command(*command));
        else
            refuse(topic, error);
    } else if (const int output = m_topics.outputOf(topic)) {
        if (const std::optional<int> input = parseInputPayload(payload, m_router.names(), &error))
            carryOut(topic, m_router.route({ *input, output }));
        else
            refuse(topic, error);
    } else if (const int preset = m_topics.presetOf(topic)) {
        // What a button sends ("PRESS") or anything else: the topic says it all.
        carryOut(topic, m_router.recall(preset));
    } else {
        refuse(topic, QStringLiteral("no such command topic"));
    }
}

void MqttBridge::carryOut(const QString &topic, const RouterAnswer &answer)
{
    if (answer.refusal)
        refuse(topic, answer.refusal->message);
}

void MqttBridge::refuse(const QString &topic, const QString &message)
{
    // Presets and topics that name no command share a clock each, so that
    // a flood of made-up topics cannot grow the table.
    const QString clock = topic == m_topics.command || m_topics.outputOf(topic) ? topic
        : m_topics.presetOf(topic)                                              ? m_topics.presets
                                                                                : m_topics.base;
    QElapsedTimer &last = m_lastError[clock];
    if (last.isValid() && !last.hasExpired(ErrorIntervalMs))
        return;
    last.start();
    qCWarning(lcMqtt).noquote() << topic.left(200) << "refused:" << message;
    m_client.publish(m_topics.error,
        QJsonDocument(QJsonObject { { "topic", topic }, { "error", message } })
            .toJson(QJsonDocument::Compact),
        0, false);
}
