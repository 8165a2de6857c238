#include "remote/remote_server.h"

#include "link/serial_port.h"

#include <QFile>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <memory>

using Status = QHttpServerResponder::StatusCode;

namespace {

const char IdleTimerName[] = "matrix-remote-idle";

// What every answer carries: nothing is cached, nothing is sniffed, and no
// other site may frame the panel to steer a user's clicks.
void secure(QHttpServerResponse &response)
{
    response.setHeader("Cache-Control", "no-store");
    response.setHeader("X-Content-Type-Options", "nosniff");
    response.setHeader("X-Frame-Options", "DENY");
    response.setHeader("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
    response.setHeader("Referrer-Policy", "no-referrer");
}

QHttpServerResponse json(const QJsonObject &body, Status status = Status::Ok)
{
    QHttpServerResponse response(body, status);
    secure(response);
    return response;
}

QHttpServerResponse failure(Status status, const QString &message)
{
    return json(QJsonObject { { "error", message } }, status);
}

QHttpServerResponse notAllowed(const QByteArray &allowed)
{
    QHttpServerResponse response = failure(
        Status::MethodNotAllowed, QStringLiteral("use %1 here").arg(QString::fromLatin1(allowed)));
    response.setHeader("Allow", allowed);
    return response;
}

} // namespace

// Accepts the connections the HTTP server reads, within limits that need no
// look into the requests: how many are open at once, how much one request
// may send before it is whole, how long a connection may sit idle.
class ConnectionGate : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;

    // The connection has become a WebSocket: it may stay silent for good.
    static void release(QTcpSocket *socket)
    {
        if (socket)
            delete socket->findChild<QTimer *>(IdleTimerName, Qt::FindDirectChildrenOnly);
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        m_open.removeIf([](const QPointer<QTcpSocket> &open) {
            return !open || open->state() == QAbstractSocket::UnconnectedState;
        });
        if (m_open.size() >= RemoteServer::ConnectionLimit) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            refuse(socket, "503 Service Unavailable",
                QStringLiteral("too many connections; try again later"));
            return;
        }
        m_open.append(socket);

        auto *idle = new QTimer(socket);
        idle->setObjectName(QLatin1String(IdleTimerName));
        idle->setSingleShot(true);
        connect(idle, &QTimer::timeout, socket, &QTcpSocket::disconnectFromHost);
        idle->start(RemoteServer::IdleMs);
        // Connected ahead of the HTTP server's reader, so it sees every
        // arrival first. The server reads a request inside one transaction
        // until it is whole; what arrives while one is open adds up.
        auto received = std::make_shared<qint64>(0);
        connect(socket, &QTcpSocket::readyRead, idle, [socket, idle, received] {
            idle->start();
            if (!socket->isTransactionStarted())
                *received = 0;
            *received += socket->bytesAvailable();
            if (*received > RemoteServer::RequestLimit) {
                refuse(socket, "413 Payload Too Large",
                    QStringLiteral("the request is larger than %1 bytes; bodies may have %2")
                        .arg(RemoteServer::RequestLimit)
                        .arg(RemoteServer::BodyLimit));
            }
        });
        addPendingConnection(socket);
    }

private:
    // Answers and closes without reading on. Nothing of the request is
    // parsed; the answer is the whole of what is said.
    static void refuse(QTcpSocket *socket, const char *status, const QString &message)
    {
        QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
        const QByteArray body
            = QJsonDocument(QJsonObject { { "error", message } }).toJson(QJsonDocument::Compact);
        socket->write(QByteArray("HTTP/1.1 ") + status
            + "\r\nContent-Type: application/json\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QList<QPointer<QTcpSocket>> m_open;
};

RemoteServer::RemoteServer(Host &host, Options options, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_options(std::move(options))
{
    Q_INIT_RESOURCE(remote);
    Q_INIT_RESOURCE(assets);
    m_http.route("/", [this](const QHttpServerRequest &request) {
        return page(request, QStringLiteral(":/remote/index.html"), "text/html; charset=utf-8");
    });
    m_http.route("/app.js", [this](const QHttpServerRequest &request) {
        return page(request, QStringLiteral(":/remote/app.js"), "text/javascript; charset=utf-8");
    });
    m_http.route("/style.css", [this](const QHttpServerRequest &request) {
        return page(request, QStringLiteral(":/remote/style.css"), "text/css; charset=utf-8");
    });
    m_http.route("/icon.png", [this](const QHttpServerRequest &request) {
        return page(request, QStringLiteral(":/icon.png"), "image/png");
    });
    m_http.route(
        "/api/v1/state", [this](const QHttpServerRequest &request) { return state(request); });
    m_http.route(
        "/api/v1/route", [this](const QHttpServerRequest &request) { return post(request, true); });
    m_http.route(
        "/api/v1/names", [this](const QHttpServerRequest &request) { return putNames(request); });
    m_http.route("/api/v1/command",
        [this](const QHttpServerRequest &request) { return post(request, false); });
    // Qt HTTP Server 6.4 hands a connection to the WebSocket handshake only
    // on a path with a route whose handler writes nothing back.
    m_http.route("/api/v1/events",
        [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            events(request, std::move(responder));
        });
    m_http.setMissingHandler(
        [](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            failure(Status::NotFound,
                QStringLiteral("nothing at %1; the API is under /api/v1")
                    .arg(request.url().path().left(80)))
                .write(std::move(responder));
        });
    connect(&m_http, &QAbstractHttpServer::newWebSocketConnection, this,
        &RemoteServer::acceptWebSockets);
}

RemoteServer::~RemoteServer()
{
    // The WebSockets, dropped ones included, go before the connections
    // under them.
    m_clients.clear();
    qDeleteAll(findChildren<QWebSocket *>(Qt::FindDirectChildrenOnly));
}

bool RemoteServer::listen(QString *error)
{
    m_gate = new ConnectionGate(&m_http);
    if (!m_gate->listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(m_options.address.toString())
                     .arg(m_options.port)
                     .arg(m_gate->errorString());
        delete m_gate;
        m_gate = nullptr;
        return false;
    }
    m_http.bind(m_gate);
    return true;
}

quint16 RemoteServer::serverPort() const
{
    return m_gate ? m_gate->serverPort() : 0;
}

QString RemoteServer::url() const
{
    const QString address = m_options.address.toString();
    return QStringLiteral("http://%1:%2/")
        .arg(m_options.address.protocol() == QAbstractSocket::IPv6Protocol
                ? QLatin1Char('[') + address + QLatin1Char(']')
                : address)
        .arg(serverPort());
}

RemoteSnapshot RemoteServer::snapshot() const
{
    const SerialPort &port = m_host.remotePort();
    return RemoteSnapshot { m_host.shownState(), port.commPort(), port.deviceName(),
        m_host.names() };
}

std::optional<QHttpServerResponse> RemoteServer::refusal(const QByteArray &host,
    const QByteArray &origin, const QByteArray &authorization, bool page) const
{
    if (const std::optional<QString> why
        = refusedOrigin(host, origin, m_options.address.isLoopback()))
        return failure(Status::Forbidden, *why);
    if (m_options.token.isEmpty() || sameToken(tokenOf(authorization), m_options.token))
        return std::nullopt;
    QHttpServerResponse response = failure(Status::Unauthorized,
        authorization.isEmpty()
            ? QStringLiteral("this server needs a token: send 'Authorization: Bearer TOKEN'")
            : QStringLiteral("the token is wrong"));
    // A browser opening the panel asks its user for the token on a Basic
    // challenge, and sends it along with everything the page asks for.
    response.setHeader("WWW-Authenticate",
        page ? R"(Basic realm="matrix-panel", charset="UTF-8")" : R"(Bearer realm="matrix-panel")");
    return response;
}

std::optional<QHttpServerResponse> RemoteServer::refusal(
    const QHttpServerRequest &request, bool page) const
{
    return refusal(
        request.value("host"), request.value("origin"), request.value("authorization"), page);
}

QHttpServerResponse RemoteServer::page(
    const QHttpServerRequest &request, const QString &file, const QByteArray &type)
{
    if (std::optional<QHttpServerResponse> refused = refusal(request, true))
        return std::move(*refused);
    if (request.method() != QHttpServerRequest::Method::Get)
        return notAllowed("GET");
    QFile resource(file);
    resource.open(QIODevice::ReadOnly);
    QHttpServerResponse response(type, resource.readAll());
    secure(response);
    return response;
}

QHttpServerResponse RemoteServer::state(const QHttpServerRequest &request)
{
    if (std::optional<QHttpServerResponse> refused = refusal(request, false))
        return std::move(*refused);
    if (request.method() != QHttpServerRequest::Method::Get)
        return notAllowed("GET");
    return json(toJson(snapshot()));
}

QHttpServerResponse RemoteServer::post(const QHttpServerRequest &request, bool route)
{
    if (std::optional<QHttpServerResponse> refused = refusal(request, false))
        return std::move(*refused);
    if (request.method() != QHttpServerRequest::Method::Post)
        return notAllowed("POST");
    const QByteArray body = request.body();
    if (body.size() > BodyLimit) {
        return failure(Status::PayloadTooLarge,
            QStringLiteral("the body has %1 bytes; at most %2 are taken")
                .arg(body.size())
                .arg(BodyLimit));
    }
    // A page of another site can post plain text without asking first;
    // JSON it has to ask for, and nothing here says yes.
    if (!request.value("content-type").trimmed().toLower().startsWith("application/json")) {
        return failure(Status::UnsupportedMediaType,
            QStringLiteral("send the body as JSON, with 'Content-Type: application/json'"));
    }
    const ShownState &shown = m_host.shownState();
    const RemoteCommand parsed
        = route ? parseRoute(body, outputCount(shown.model)) : parseCommand(body);
    if (!parsed.command)
        return failure(Status::BadRequest, parsed.error);
    // Like the panel, which routes only while it is up.
    if (!shown.linkUp) {
        return failure(Status::ServiceUnavailable,
            QStringLiteral("no switcher is connected; the program is searching for one"));
    }
    if (route && m_host.outputLocked(parsed.output - 1)) {
        return failure(Status::Conflict,
            QStringLiteral("output %1 is locked by a router-protocol client")
                .arg(QChar(u'A' + parsed.output - 1)));
    }
    if (!m_host.queueCommand(*parsed.command)) {
        QHttpServerResponse response = failure(Status::TooManyRequests,
            QStringLiteral("the command queue is full; try again when the frames in flight "
                           "have gone out"));
        response.setHeader("Retry-After", "1");
        return response;
    }
    return json(QJsonObject { { "status", "queued" }, { "command", int(*parsed.command) } },
        Status::Accepted);
}

QHttpServerResponse RemoteServer::putNames(const QHttpServerRequest &request)
{
    if (std::optional<QHttpServerResponse> refused = refusal(request, false))
        return std::move(*refused);
    if (request.method() != QHttpServerRequest::Method::Put)
        return notAllowed("PUT");
    const QByteArray body = request.body();
    if (body.size() > BodyLimit) {
        return failure(Status::PayloadTooLarge,
            QStringLiteral("the body has %1 bytes; at most %2 are taken")
                .arg(body.size())
                .arg(BodyLimit));
    }
    if (!request.value("content-type").trimmed().toLower().startsWith("application/json")) {
        return failure(Status::UnsupportedMediaType,
            QStringLiteral("send the body as JSON, with 'Content-Type: application/json'"));
    }
    QString error;
    const std::vector<NameChange> changes = parseNames(body, &error);
    if (changes.empty() || !m_host.setNames(changes, &error))
        return failure(Status::BadRequest, error);
    return json(toJson(snapshot()));
}

void RemoteServer::events(const QHttpServerRequest &request, QHttpServerResponder &&responder)
{
    if (request.value("upgrade").toLower() != "websocket") {
        failure(Status::UpgradeRequired,
            QStringLiteral("open this address as a WebSocket to receive the state as it changes"))
            .write(std::move(responder));
        return;
    }
    QTcpSocket *socket = responder.socket();
    if (std::optional<QHttpServerResponse> refused = refusal(request, false)) {
        // The HTTP server goes on to the handshake all the same: the answer
        // leaves now, and the connection closes before any more.
        refused->write(std::move(responder));
        socket->flush();
        socket->abort();
        // It rolls back the request it read inside a transaction; the abort
        // has ended that one.
        socket->startTransaction();
        return;
    }
    ConnectionGate::release(socket);
}

void RemoteServer::acceptWebSockets()
{
    while (m_http.hasPendingWebSocketConnections()) {
        QWebSocket *client = m_http.nextPendingWebSocketConnection().release();
        if (!client)
            return;
        client->setParent(this);
        // The HTTP server goes on to the handshake even after its route has
        // refused it: a client that reads past the refusal gets nothing.
        const QNetworkRequest handshake = client->request();
        if (client->state() != QAbstractSocket::ConnectedState
            || refusal(handshake.rawHeader("Host"), handshake.rawHeader("Origin"),
                handshake.rawHeader("Authorization"), false)) {
            client->abort();
            client->deleteLater();
            continue;
        }
        // Clients only listen; anything they say is read and dropped.
        client->setMaxAllowedIncomingFrameSize(1024);
        client->setMaxAllowedIncomingMessageSize(1024);
        connect(client, &QWebSocket::disconnected, this, [this, client] { dropClient(client); });
        m_clients.push_back(client);
        // The state once on connect; should it have changed since the
        // others heard, they hear of it too.
        const RemoteSnapshot now = snapshot();
        send(now, m_sent && *m_sent == now ? client : nullptr);
    }
}

void RemoteServer::dropClient(QWebSocket *client)
{
    const auto at = std::find(m_clients.begin(), m_clients.end(), client);
    if (at == m_clients.end())
        return;
    m_clients.erase(at);
    client->deleteLater();
}

void RemoteServer::publish()
{
    if (m_clients.empty())
        return;
    const RemoteSnapshot now = snapshot();
    if (m_sent && *m_sent == now)
        return;
    send(now);
}

void RemoteServer::send(const RemoteSnapshot &snapshot, QWebSocket *only)
{
    if (!only) {
        m_sent = snapshot;
        m_sentText
            = QString::fromUtf8(QJsonDocument(toJson(snapshot)).toJson(QJsonDocument::Compact));
    }
    const std::vector<QWebSocket *> to = only ? std::vector<QWebSocket *> { only } : m_clients;
    for (QWebSocket *client : to) {
        // A client that does not read would make the program hold all it
        // was sent.
        if (client->bytesToWrite() > BacklogLimit) {
            client->abort();
            dropClient(client);
            continue;
        }
        client->sendTextMessage(m_sentText);
    }
}
