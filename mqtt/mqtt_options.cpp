#include "mqtt/mqtt_options.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

namespace {

const char PasswordEnvironment[] = "MATRIX_PANEL_MQTT_PASSWORD";

// A topic level that is safe in every topic the bridge makes and that Home
// Assistant accepts as a node id.
bool isTopicId(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    return pattern.match(id).hasMatch();
}

} // namespace

const std::vector<OptionSpec> &mqttOptions()
{
    static const std::vector<OptionSpec> options = [] {
        const auto option = [](const char *name, const char *valueName, const char *help) {
            OptionSpec o = OptionSpec::valued(QLatin1String(name), QLatin1String(valueName),
                QString::fromUtf8(help));
            o.onCommandLine = false;
            o.check = [key = o.name](const QString &value) { return mqttValueProblem(key, value); };
            return o;
        };
        OptionSpec url = option("mqtt", "URL",
            "Publish the switcher to an MQTT broker and take commands from it, with Home "
            "Assistant discovery: mqtt://[USER@]HOST[:PORT] (1883) or mqtts://... (8883, TLS). "
            "The password comes from mqtt-password in the settings or "
            "MATRIX_PANEL_MQTT_PASSWORD. Off unless given.");
        url.onCommandLine = true;
        OptionSpec password = option("mqtt-password", "PASSWORD",
            "The password of the MQTT user named in the URL; the settings file must then be "
            "readable by its owner alone.");
        password.secret = true;
        password.environment = QString::fromLatin1(PasswordEnvironment);
        return std::vector<OptionSpec> { url,
            option("mqtt-ca", "FILE",
                "The CA certificate (PEM) that signs the broker's certificate, for mqtts://; the "
                "system's certificate store unless given."),
            password,
            option("mqtt-id", "ID",
                "The id in the topics, matrix-panel/ID/...: letters, digits, - and _. By default "
                "one made from the machine and the serial device."),
            option("mqtt-discovery", "PREFIX",
                "Home Assistant's discovery prefix (homeassistant), or off.") };
    }();
    return options;
}

std::optional<MqttSettings> parseMqttUrl(const QString &url, QString *error)
{
    MqttSettings settings;
    const int schemeEnd = url.indexOf(QLatin1String("://"));
    const QString scheme = url.left(schemeEnd);
    if (schemeEnd < 0 || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts"))) {
        *error = QStringLiteral("%1: not mqtt://[USER@]HOST[:PORT] or mqtts://...").arg(url);
        return std::nullopt;
    }
    settings.tls = scheme == QLatin1String("mqtts");
    settings.port = settings.tls ? 8883 : 1883;
    // Looked for in the text itself: QUrl forgets an empty password.
    const QString authority = url.mid(schemeEnd + 3).section(QLatin1Char('/'), 0, 0);
    const int at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0 && authority.left(at).contains(QLatin1Char(':'))) {
        *error = QStringLiteral("the MQTT URL carries a password, which any user may read on a "
                                "command line or in a shared file; give it as mqtt-password in a "
                                "settings file only its owner may read (chmod 600), or in %1, "
                                "and name only the user in the URL: %2://USER@HOST")
                     .arg(QLatin1String(PasswordEnvironment), scheme);
        return std::nullopt;
    }
    const QUrl parsed(url, QUrl::StrictMode);
    const QString path = parsed.path();
    if (!parsed.isValid() || parsed.host().isEmpty() || (!path.isEmpty() && path != "/")
        || parsed.hasQuery() || parsed.hasFragment()) {
        *error = QStringLiteral("%1: not %2://[USER@]HOST[:PORT]").arg(url, scheme);
        return std::nullopt;
    }
    if (parsed.port() == 0) {
        *error = QStringLiteral("%1: port 0 is no port").arg(url);
        return std::nullopt;
    }
    settings.host = parsed.host();
    settings.port = quint16(parsed.port(settings.port));
    settings.username = parsed.userName(QUrl::FullyDecoded);
    return settings;
}

std::optional<QString> mqttValueProblem(const QString &key, const QString &value)
{
    if (key == QLatin1String("mqtt")) {
        QString error;
        if (!parseMqttUrl(value, &error))
            return error;
    } else if (key == QLatin1String("mqtt-ca")) {
        const QFileInfo file(value);
        if (!file.isFile() || !file.isReadable())
            return QStringLiteral("%1: no readable file").arg(value);
    } else if (key == QLatin1String("mqtt-password")) {
        if (value.isEmpty())
            return QStringLiteral("the password is empty");
    } else if (key == QLatin1String("mqtt-id")) {
        if (!isTopicId(value))
            return QStringLiteral("'%1' is not 1 to 64 letters, digits, - or _").arg(value);
    } else if (key == QLatin1String("mqtt-discovery")) {
        static const QRegularExpression prefix(
            QStringLiteral("^[A-Za-z0-9_-]+(/[A-Za-z0-9_-]+)*$"));
        if (!prefix.match(value).hasMatch())
            return QStringLiteral("'%1' is neither off nor a topic prefix such as homeassistant")
                .arg(value);
    }
    return std::nullopt;
}

std::optional<MqttSettings> mqttSettings(const MqttOptionValues &values, QString *error)
{
    std::optional<MqttSettings> settings = parseMqttUrl(values.url, error);
    if (!settings)
        return std::nullopt;
    const std::pair<const char *, const std::optional<QString> *> checked[] = {
        { "mqtt-ca", &values.ca },
        { "mqtt-password", &values.password },
        { "mqtt-id", &values.id },
        { "mqtt-discovery", &values.discovery },
    };
    for (const auto &[key, value] : checked) {
        if (!*value)
            continue;
        if (const std::optional<QString> problem = mqttValueProblem(QLatin1String(key), **value)) {
            *error = QStringLiteral("%1: %2").arg(QLatin1String(key), *problem);
            return std::nullopt;
        }
    }
    if (values.ca && !settings->tls) {
        *error = QStringLiteral("mqtt-ca: only with an mqtts:// URL");
        return std::nullopt;
    }
    if (values.password && settings->username.isEmpty()) {
        *error = QStringLiteral("mqtt-password: MQTT sends a password only with a user: "
                                "name one in the URL, mqtt://USER@HOST");
        return std::nullopt;
    }
    settings->caFile = values.ca.value_or(QString());
    settings->password = values.password.value_or(QString());
    settings->id = values.id.value_or(QString());
    if (values.discovery)
        settings->discoveryPrefix
            = *values.discovery == QLatin1String("off") ? QString() : *values.discovery;
    return settings;
}
