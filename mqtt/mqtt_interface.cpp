#include "mqtt/mqtt_interface.h"

#include "core/option_sources.h"
#include "mqtt/mqtt_options.h"
#include "session/state_json.h"
#if MATRIX_HAVE_MQTT
#include "mqtt/mqtt_bridge.h"
#endif

#include <QSysInfo>

namespace {

#if MATRIX_HAVE_MQTT
class MqttInterface : public Interface
{
public:
    MqttInterface(Router &router, const MqttSettings &settings, const QString &id)
        : m_bridge(router, settings,
            QStringLiteral("matrix-panel on %1").arg(QSysInfo::machineHostName()), id)
        , m_where(QStringLiteral("MQTT bridge to %1:%2 as matrix-panel/%3/")
                      .arg(settings.host)
                      .arg(settings.port)
                      .arg(id))
    {
    }
    // A clean exit says "offline" rather than leave it to the last will.
    ~MqttInterface() override { m_bridge.stop(); }

    bool start(QString *where, QString *error) override
    {
        if (!m_bridge.start(error))
            return false;
        *where = m_where;
        return true;
    }

private:
    MqttBridge m_bridge;
    QString m_where;
};
#endif

std::optional<int> configure(
    const OptionSources &sources, const SharedOptions &shared, InterfaceEntry::Maker *maker)
{
    const std::optional<OptionSources::Value> url = sources.value(QStringLiteral("mqtt"));
    if (!url)
        return std::nullopt;
    MqttOptionValues values;
    values.url = url->text;
    const auto read = [&sources](const char *key) -> std::optional<QString> {
        if (const std::optional<OptionSources::Value> v = sources.value(QLatin1String(key)))
            return v->text;
        return std::nullopt;
    };
    values.ca = read("mqtt-ca");
    values.password = read("mqtt-password");
    values.id = read("mqtt-id");
    values.discovery = read("mqtt-discovery");
    QString error;
    const std::optional<MqttSettings> settings = mqttSettings(values, &error);
    if (!settings)
        return OptionSources::error(*url, error);
#if MATRIX_HAVE_MQTT
    // Stable for this machine and the serial line the bridge serves.
    const QString id = settings->id.isEmpty() ? uniqueIdOf(shared.serialDevice) : settings->id;
    *maker = [settings = *settings, id](
                 Router &router) { return std::make_unique<MqttInterface>(router, settings, id); };
    return std::nullopt;
#else
    Q_UNUSED(shared);
    Q_UNUSED(maker);
    return OptionSources::error(
        *url, QStringLiteral("this build has no MQTT bridge (it needs libmosquitto-dev)"));
#endif
}

} // namespace

InterfaceEntry mqttInterface()
{
    InterfaceEntry entry;
    entry.option = QStringLiteral("mqtt");
    entry.listens = false;
    entry.options = mqttOptions();
    entry.configure = configure;
    return entry;
}
