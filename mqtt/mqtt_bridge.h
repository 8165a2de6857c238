#pragma once

#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_options.h"
#include "mqtt/mqtt_topics.h"
#include "session/router.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <optional>
#include <set>

// The switcher on an MQTT broker, for home automation: its state under
// matrix-panel/<id>/, commands taken from there through the router, and
// Home Assistant's discovery, so that the switcher appears there as a
// device of its own with nothing to configure.
class MqttBridge : public QObject
{
    Q_OBJECT
public:
    // `id` names the topics (matrix-panel/<id>/) and the device in Home
    // Assistant; `friendlyName` is the device's name there.
    MqttBridge(Router &router, MqttSettings settings, QString friendlyName, QString id,
        QObject *parent = nullptr);

    // Starts connecting to the broker, and keeps at it until stop(); false,
    // with *error, when the settings cannot be used.
    bool start(QString *error);
    // Says "offline" and leaves the broker, waiting at most `timeoutMs`.
    void stop(int timeoutMs = 2000);

    const MqttTopics &topics() const { return m_topics; }
    bool isConnected() const { return m_client.isConnected(); }

private:
    void onConnected();
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    void onRouterChanged();
    void publishDiscovery();
    void publishState();
    void carryOut(const QString &topic, const RouterAnswer &answer);
    void refuse(const QString &topic, const QString &message);
    DiscoveryDevice discoveryDevice() const;

    Router &m_router;
    MqttSettings m_settings;
    QString m_friendlyName;
    QString m_id;
    MqttTopics m_topics;
    MqttClient m_client;
    QByteArray m_sentState;
    std::optional<DiscoveryDevice> m_sentDiscovery;
    // The presets whose buttons the broker may keep, across connections:
    // a preset deleted while the broker was away still loses its button.
    std::set<int> m_announcedPresets;
    // When each command topic last had an error told, for a flood of bad
    // commands to cost one message a second.
    QHash<QString, QElapsedTimer> m_lastError;
};
