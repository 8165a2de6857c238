#include "mqtt/mqtt_client.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

Q_LOGGING_CATEGORY(lcMqtt, "matrix.mqtt", QtWarningMsg)

namespace {

constexpr int FirstRetryMs = 500;
constexpr int LastRetryMs = 30000;
// Keepalive pings and their deadline are counted in seconds.
constexpr int MiscIntervalMs = 1000;
const char SystemCertificates[] = "/etc/ssl/certs";

void initLibrary()
{
    static const int done = mosquitto_lib_init();
    Q_UNUSED(done);
}

QString reason(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    // Its messages end in a full stop, which the log line does not want.
    return QString::fromUtf8(mosquitto_strerror(rc))
        .chopped(QByteArray(mosquitto_strerror(rc)).endsWith('.') ? 1 : 0);
}

} // namespace

MqttClient::MqttClient(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    initLibrary();
    m_mosq = mosquitto_new(
        m_options.clientId.isEmpty() ? nullptr : m_options.clientId.toUtf8().constData(), true,
        this);
    mosquitto_connect_callback_set(m_mosq, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(m_mosq, &MqttClient::onDisconnect);
    mosquitto_message_callback_set(m_mosq, &MqttClient::onMessage);
    m_misc.setInterval(MiscIntervalMs);
    connect(&m_misc, &QTimer::timeout, this, [this] { serviced(mosquitto_loop_misc(m_mosq)); });
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttClient::attempt);
}

MqttClient::~MqttClient()
{
    if (m_lookup >= 0)
        QHostInfo::abortHostLookup(m_lookup);
    unwatchSocket();
    // Without stop() the connection just ends, and the broker sends the will.
    mosquitto_destroy(m_mosq);
}

bool MqttClient::start(QString *error)
{
    auto check = [&](int rc, const char *what) {
        if (rc != MOSQ_ERR_SUCCESS)
            *error = QStringLiteral("MQTT: %1: %2").arg(QLatin1String(what), reason(rc));
        return rc == MOSQ_ERR_SUCCESS;
    };
    if (!m_mosq)
        return check(MOSQ_ERR_NOMEM, "cannot make a client");
    if (!m_options.username.isEmpty()
        && !check(
            mosquitto_username_pw_set(m_mosq, m_options.username.toUtf8().constData(),
                m_options.password.isEmpty() ? nullptr : m_options.password.toUtf8().constData()),
            "user and password"))
        return false;
    if (m_options.will) {
        const Will &will = *m_options.will;
        if (!check(mosquitto_will_set(m_mosq, will.topic.toUtf8().constData(),
                       int(will.payload.size()), will.payload.constData(), will.qos, will.retain),
                "last will"))
            return false;
    }
    if (m_options.tls) {
        const QByteArray ca = m_options.caFile.toLocal8Bit();
        if (!check(mosquitto_tls_set(m_mosq, ca.isEmpty() ? nullptr : ca.constData(),
                       ca.isEmpty() ? SystemCertificates : nullptr, nullptr, nullptr, nullptr),
                ca.isEmpty() ? "the system's certificates" : "the CA file"))
            return false;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    m_started = true;
    m_stopping = false;
    m_retryDelay = FirstRetryMs;
    attempt();
    return true;
}

void MqttClient::stop(int timeoutMs)
{
    if (!m_started)
        return;
    m_stopping = true;
    m_retry.stop();
    if (m_lookup >= 0) {
        QHostInfo::abortHostLookup(m_lookup);
        m_lookup = -1;
    }
    unwatchSocket();
    if (!m_connected) {
        mosquitto_disconnect(m_mosq);
        return;
    }
    // The end of the program: the few packets left go out on a loop of
    // libmosquitto's own, which returns when the DISCONNECT has gone.
    mosquitto_disconnect(m_mosq);
    QDeadlineTimer deadline(timeoutMs);
    while (mosquitto_socket(m_mosq) >= 0 && !deadline.hasExpired()) {
        if (mosquitto_loop(m_mosq, int(std::min<qint64>(deadline.remainingTime(), 100)), 1)
            != MOSQ_ERR_SUCCESS)
            break;
    }
    m_connected = false;
}

bool MqttClient::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (!m_connected)
        return false;
    const int rc = mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(),
        int(payload.size()), payload.constData(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS)
        qCDebug(lcMqtt).noquote() << "cannot publish" << topic << ":" << reason(rc);
    serviced(rc == MOSQ_ERR_NO_CONN ? MOSQ_ERR_SUCCESS : rc);
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::subscribe(const QString &pattern, int qos)
{
    if (!m_connected)
        return false;
    const int rc = mosquitto_subscribe(m_mosq, nullptr, pattern.toUtf8().constData(), qos);
    serviced(rc == MOSQ_ERR_NO_CONN ? MOSQ_ERR_SUCCESS : rc);
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttClient::attempt()
{
    if (m_stopping)
        return;
    // libmosquitto resolves names while the caller waits; Qt resolves them
    // on a thread of its own.
    if (!QHostAddress(m_options.host).isNull()) {
        connectTo(m_options.host);
        return;
    }
    m_lookup = QHostInfo::lookupHost(m_options.host, this, &MqttClient::resolved);
}

void MqttClient::resolved(const QHostInfo &info)
{
    m_lookup = -1;
    if (m_stopping)
        return;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        failed(info.errorString());
        return;
    }
    // A certificate names the host, which libmosquitto checks against the
    // name it connects to; it then resolves the name again, from the
    // resolver's cache after the lookup just made.
    connectTo(m_options.tls ? m_options.host : info.addresses().first().toString());
}

void MqttClient::connectTo(const QString &address)
{
    qCDebug(lcMqtt).noquote() << "connecting to" << address << m_options.port;
    m_refusal.clear();
    const int rc = mosquitto_connect_bind_async(
        m_mosq, address.toUtf8().constData(), m_options.port, m_options.keepalive, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        failed(reason(rc));
        return;
    }
    watchSocket();
}

void MqttClient::watchSocket()
{
    unwatchSocket();
    const int fd = mosquitto_socket(m_mosq);
    if (fd < 0) {
        failed(QStringLiteral("no socket"));
        return;
    }
    m_read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_read.get(), &QSocketNotifier::activated, this, [this, fd] {
        const int result = mosquitto_loop_read(m_mosq, 1);
        acknowledgeNow(fd);
        serviced(result);
    });
    m_write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connect(m_write.get(), &QSocketNotifier::activated, this,
        [this] { serviced(mosquitto_loop_write(m_mosq, 1)); });
    m_write->setEnabled(mosquitto_want_write(m_mosq));
    m_misc.start();
}

void MqttClient::acknowledgeNow(int fd)
{
#ifdef TCP_QUICKACK
    // Brokers leave Nagle's algorithm on (mosquitto unless set_tcp_nodelay):
    // while what one sent is unacknowledged, its next small packet waits.
    // Linux delays an acknowledgement up to 40 ms, so a command right behind
    // the broker's answer to a state message would wait that long.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    Q_UNUSED(fd);
#endif
}

void MqttClient::unwatchSocket()
{
    // The notifiers may be the ones whose signal is being handled, and the
    // socket is already closed: they stop now and go later.
    for (std::unique_ptr<QSocketNotifier> *notifier : { &m_read, &m_write }) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            notifier->release()->deleteLater();
        }
    }
    m_misc.stop();
}

void MqttClient::serviced(int rc)
{
    // libmosquitto calls onDisconnect for a connection it lost itself; a
    // socket gone without that is lost here.
    if (m_read && mosquitto_socket(m_mosq) != int(m_read->socket())) {
        unwatchSocket();
        onDisconnect(m_mosq, this, rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : rc);
        return;
    }
    if (m_write)
        m_write->setEnabled(mosquitto_want_write(m_mosq));
}

void MqttClient::failed(const QString &why)
{
    if (!m_outage) {
        qCWarning(lcMqtt).noquote() << QStringLiteral("broker %1:%2: %3; trying again until it "
                                                      "answers")
                                           .arg(m_options.host)
                                           .arg(m_options.port)
                                           .arg(why);
        m_outage = true;
    }
    m_retry.start(m_retryDelay);
    m_retryDelay = std::min(2 * m_retryDelay, LastRetryMs);
}

void MqttClient::onConnect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    if (rc != 0) {
        // The broker closes the connection next, and onDisconnect says so.
        client->m_refusal = QString::fromUtf8(mosquitto_connack_string(rc));
        return;
    }
    client->m_connected = true;
    client->m_retryDelay = FirstRetryMs;
    if (client->m_outage)
        qCInfo(lcMqtt).noquote() << "broker" << client->m_options.host << "answers again";
    client->m_outage = false;
    qCDebug(lcMqtt) << "connected";
    emit client->connected();
}

void MqttClient::onDisconnect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    client->unwatchSocket();
    const bool was = client->m_connected;
    client->m_connected = false;
    if (!client->m_stopping) {
        client->failed(!client->m_refusal.isEmpty() ? client->m_refusal
                : rc == 0                           ? QStringLiteral("disconnected")
                                                    : reason(rc));
    }
    if (was)
        emit client->disconnected();
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *m)
{
    auto *client = static_cast<MqttClient *>(self);
    emit client->message(QString::fromUtf8(m->topic),
        QByteArray(static_cast<const char *>(m->payload), m->payloadlen), m->retain);
}
