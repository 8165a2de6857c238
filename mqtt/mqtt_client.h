#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>

class QHostInfo;
class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;

// An MQTT connection on the caller's event loop: libmosquitto does the
// protocol, and its socket is watched here, so nothing ever waits for the
// network. A broker that is absent at start or goes away is tried again,
// first within a second and then less often, up to every 30 s; each outage
// is logged once.
class MqttClient : public QObject
{
    Q_OBJECT
public:
    struct Will
    {
        QString topic;
        QByteArray payload;
        int qos = 1;
        bool retain = true;
    };
    struct Options
    {
        QString host;
        quint16 port = 1883;
        QString clientId;
        QString username; // none when empty
        QString password;
        bool tls = false;
        QString caFile; // empty: the system's store, /etc/ssl/certs
        int keepalive = 30; // seconds
        std::optional<Will> will;
    };

    explicit MqttClient(Options options, QObject *parent = nullptr);
    ~MqttClient() override;

    // Starts connecting, and keeps connecting until stop(). False, with
    // *error, when the options cannot be used.
    bool start(QString *error);
    // Leaves the broker: what was published before goes out, then a clean
    // disconnect, so the broker keeps the will to itself. Waits for that at
    // most `timeoutMs`; it is meant for the end of the program.
    void stop(int timeoutMs = 2000);

    bool isConnected() const { return m_connected; }
    // False while there is no connection: nothing is kept for later, for
    // the bridge says everything again on each connection.
    bool publish(const QString &topic, const QByteArray &payload, int qos = 0, bool retain = false);
    bool subscribe(const QString &pattern, int qos = 1);

signals:
    void connected();
    void disconnected();
    // `retained`: a message kept by the broker from before this connection.
    void message(const QString &topic, const QByteArray &payload, bool retained);

private:
    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);

    void attempt();
    void resolved(const QHostInfo &info);
    void connectTo(const QString &address);
    void watchSocket();
    static void acknowledgeNow(int fd);
    void unwatchSocket();
    void serviced(int rc);
    void failed(const QString &why);

    Options m_options;
    mosquitto *m_mosq = nullptr;
    std::unique_ptr<QSocketNotifier> m_read;
    std::unique_ptr<QSocketNotifier> m_write;
    QTimer m_misc;
    QTimer m_retry;
    int m_retryDelay = 0;
    int m_lookup = -1;
    bool m_connected = false;
    bool m_started = false;
    bool m_stopping = false;
    bool m_outage = false;
    QString m_refusal; // why the broker refused the last connection
};
