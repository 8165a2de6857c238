#pragma once

#include "net/connection_gate.h"
#include "remote/remote_state.h"
#include "session/router.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

class QTcpSocket;
class QWebSocket;

// The opt-in remote interface: a JSON API under /api/v1, a WebSocket that
// pushes the state as it changes, and the browser panel at /. It reads the
// switcher's state from the router and asks it for commands, which queue
// behind the frame in flight, so whatever a client does, the panel and the
// line go on as they were.
class RemoteServer : public QObject
{
    Q_OBJECT
public:
    static constexpr int BodyLimit = 4096;
    // Headers and body of one request, as they arrive; beyond this the
    // connection is answered 413 and closed before it is read further.
    static constexpr int RequestLimit = 16384 + BodyLimit;
    static constexpr int ConnectionLimit = 16;
    // A connection that sends nothing this long is closed (WebSockets
    // excepted: they listen).
    static constexpr int IdleMs = 30000;
    // A request whose head and body are not whole this long after its first
    // byte is answered 408 and closed, however steadily it trickles in.
    static constexpr int RequestDeadlineMs = 10000;
    // Qt reads at most this many header lines, and drops them all beyond.
    static constexpr int HeaderLimit = 100;
    // A client that leaves this much unread is dropped.
    static constexpr int BacklogLimit = 256 * 1024;

    struct Options
    {
        QHostAddress address = QHostAddress(QHostAddress::LocalHost);
        quint16 port = 0;
        // When set, every request must carry it; required off loopback.
        QByteArray token;
        // Clients from elsewhere are closed before they are read; loopback
        // ones are always let in. Empty: every address.
        AllowList allow;
        int requestDeadlineMs = RequestDeadlineMs;
    };

    RemoteServer(Router &router, Options options, QObject *parent = nullptr);
    ~RemoteServer() override;

    // Starts listening; false, with *error set, when the address cannot be
    // had.
    bool listen(QString *error);
    quint16 serverPort() const;
    QString url() const;
    int clients() const { return int(m_clients.size()); }

    // Pushes the state to the WebSocket clients when what changed is what
    // they see. Does nothing without clients.
    void publish(const RouterChange &change);
    // Tells the WebSocket clients of commands accepted and then dropped.
    void tellDropped(const std::vector<uint8_t> &commands, const QString &why);

private:
    enum class Kind { Page, Api, Events };
    // Sends the answer, now or once it is ready.
    using Reply = std::function<void(QHttpServerResponse)>;
    using Handler = std::function<void(const QHttpServerRequest &, const Reply &)>;
    using Answer = void (RemoteServer::*)(const QHttpServerRequest &, const Reply &);
    // Every request passes here: the checks all have in common, then
    // `handler` for the answer.
    void serve(const QHttpServerRequest &request, QHttpServerResponder &&responder, Kind kind,
        const Handler &handler);
    QHttpServerResponse page(
        const QHttpServerRequest &request, const QString &file, const QByteArray &type);
    void state(const QHttpServerRequest &request, const Reply &reply);
    QHttpServerResponse post(const QHttpServerRequest &request, bool route);
    void postRoute(const QHttpServerRequest &request, const Reply &reply)
    {
        reply(post(request, true));
    }
    void postCommand(const QHttpServerRequest &request, const Reply &reply)
    {
        reply(post(request, false));
    }
    void postRoutes(const QHttpServerRequest &request, const Reply &reply);
    void putNames(const QHttpServerRequest &request, const Reply &reply);
    void presets(const QHttpServerRequest &request, const Reply &reply);
    void store(const QHttpServerRequest &request, int id, const Reply &reply);
    static QHttpServerResponse queued(const RouterAnswer &answer);
    void preset(const QHttpServerRequest &request, const Reply &reply);
    void events(QTcpSocket *socket);
    void watchHead(QTcpSocket *socket);
    void acceptWebSockets();
    void dropClient(QWebSocket *client);
    void send(const QString &message, QWebSocket *only = nullptr);
    QString stateMessage() const;

    // The answer that refuses the request, if it must be refused.
    std::optional<QHttpServerResponse> refusal(const QByteArray &host, const QByteArray &origin,
        const QByteArray &authorization, bool page) const;
    std::optional<QHttpServerResponse> refusal(const QHttpServerRequest &request, bool page) const;

    Router &m_router;
    Options m_options;
    QHttpServer m_http;
    ConnectionGate *m_gate = nullptr;
    std::vector<QWebSocket *> m_clients;
};
