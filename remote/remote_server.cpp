#include "remote/remote_server.h"

#include "net/listen_address.h"
#include "session/state_json.h"

#include <QFile>
#include <QJsonArray>
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

// The answer the gate gives as it closes a connection, written whole
// without the HTTP server: nothing of the request is parsed.
QByteArray rawAnswer(const char *status, const QString &message, const QByteArray &headers = {})
{
    const QByteArray body
        = QJsonDocument(QJsonObject { { "error", message } }).toJson(QJsonDocument::Compact);
    return QByteArray("HTTP/1.1 ") + status
        + "\r\nContent-Type: application/json\r\nCache-Control: no-store\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n" + headers + "Connection: close\r\n\r\n" + body;
}

QByteArray farewell(ConnectionGate::Reason reason, int deadlineMs)
{
    using Reason = ConnectionGate::Reason;
    switch (reason) {
    case Reason::NotAllowed:
        return rawAnswer("403 Forbidden", QStringLiteral("this address may not use this server"));
    case Reason::Full:
        return rawAnswer("503 Service Unavailable",
            QStringLiteral("too many connections; try again later"), "Retry-After: 1\r\n");
    case Reason::TooLarge:
        return rawAnswer("413 Payload Too Large",
            QStringLiteral("the request is larger than %1 bytes; bodies may have %2")
                .arg(RemoteServer::RequestLimit)
                .arg(RemoteServer::BodyLimit));
    case Reason::Deadline:
        return rawAnswer("408 Request Timeout",
            QStringLiteral("the request was not whole within %1 s").arg(deadlineMs / 1000.0));
    case Reason::Idle:
    case Reason::Backlog:
        break;
    }
    return {};
}

QList<QByteArray> tokens(const QByteArray &list)
{
    QList<QByteArray> result;
    for (const QByteArray &item : list.split(','))
        result << item.trimmed().toLower();
    return result;
}

// What the HTTP server decides a WebSocket handover on.
bool asksForWebSocket(const QHttpServerRequest &request)
{
    return tokens(request.value("connection")).contains("upgrade")
        && request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

// The HTTP server hands an upgrade request to the WebSocket handshake after
// its route has answered: the answer leaves now, and the connection closes
// before the handshake can be read.
void abandon(QTcpSocket *socket)
{
    socket->flush();
    socket->abort();
    // It rolls back the request it read inside a transaction; the abort has
    // ended that one.
    socket->startTransaction();
}

// Reads each request's head as it arrives, ahead of the HTTP server, for
// what the server does not tell: the protocol version, and a count of
// header lines (beyond its limit it drops them all without a word).
class HeadWatch : public QObject
{
public:
    static constexpr const char *Name = "matrix-http-head";

    explicit HeadWatch(QTcpSocket *socket)
        : QObject(socket)
    {
        setObjectName(QLatin1String(Name));
    }
    static HeadWatch *of(QTcpSocket *socket)
    {
        return static_cast<HeadWatch *>(
            socket->findChild<QObject *>(QLatin1String(Name), Qt::FindDirectChildrenOnly));
    }

    // False once the head has more header lines than the server reads.
    bool see(const QByteArray &bytes)
    {
        for (const char c : bytes) {
            if (m_done)
                break;
            if (!m_requestLine) {
                // Blank lines before a request are skipped, as the server
                // skips them.
                if (m_line.isEmpty() && (c == '\r' || c == '\n' || c == ' ' || c == '\t'))
                    continue;
                if (c == '\n') {
                    m_requestLine = true;
                    http10 = m_line.trimmed().endsWith("HTTP/1.0");
                } else if (m_line.size() < 64) {
                    m_line += c;
                }
            } else if (c == '\n') {
                m_done = m_blank;
                m_lines += !m_blank;
                m_blank = true;
            } else if (c != '\r') {
                m_blank = false;
            }
        }
        return m_lines <= RemoteServer::HeaderLimit;
    }
    // The request is whole: what comes next is the next one's.
    void reset()
    {
        m_line.clear();
        m_requestLine = m_done = false;
        m_blank = true;
        m_lines = 0;
    }

    bool http10 = false;

private:
    QByteArray m_line;
    bool m_requestLine = false;
    bool m_done = false;
    bool m_blank = true;
    int m_lines = 0;
};

} // namespace

RemoteServer::RemoteServer(Router &router, Options options, QObject *parent)
    : QObject(parent)
    , m_router(router)
    , m_options(std::move(options))
{
    Q_INIT_RESOURCE(remote);
    Q_INIT_RESOURCE(remote_icon);
    const auto file = [this](const char *path, const QString &resource, const QByteArray &type) {
        m_http.route(QString::fromLatin1(path),
            [this, resource, type](
                const QHttpServerRequest &request, QHttpServerResponder &&responder) {
                serve(request, std::move(responder), Kind::Page,
                    [&](const QHttpServerRequest &r, const Reply &reply) {
                        reply(page(r, resource, type));
                    });
            });
    };
    file("/", QStringLiteral(":/remote/index.html"), "text/html; charset=utf-8");
    file("/app.js", QStringLiteral(":/remote/app.js"), "text/javascript; charset=utf-8");
    file("/style.css", QStringLiteral(":/remote/style.css"), "text/css; charset=utf-8");
    file("/icon.png", QStringLiteral(":/remote/icon.png"), "image/png");
    const auto api = [this](const char *path, Answer answer) {
        m_http.route(path,
            [this, answer](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
                serve(request, std::move(responder), Kind::Api,
                    [this, answer](const QHttpServerRequest &r, const Reply &reply) {
                        (this->*answer)(r, reply);
                    });
            });
    };
    api("/api/v1/state", &RemoteServer::state);
    api("/api/v1/route", &RemoteServer::postRoute);
    api("/api/v1/routes", &RemoteServer::postRoutes);
    api("/api/v1/names", &RemoteServer::putNames);
    api("/api/v1/command", &RemoteServer::postCommand);
    api("/api/v1/presets", &RemoteServer::presets);
    // Qt HTTP Server 6.4 hands a connection to the WebSocket handshake only
    // on a path with a route whose handler writes nothing back.
    m_http.route("/api/v1/events",
        [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            serve(request, std::move(responder), Kind::Events, {});
        });
    m_http.setMissingHandler(
        [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            serve(request, std::move(responder), Kind::Api,
                [this](const QHttpServerRequest &r, const Reply &reply) {
                    // /api/v1/presets/ID and /api/v1/presets/ID/recall
                    if (r.url().path().startsWith(QLatin1String("/api/v1/presets/")))
                        return preset(r, reply);
                    reply(failure(Status::NotFound,
                        QStringLiteral("nothing at %1; the API is under /api/v1")
                            .arg(r.url().path().left(80))));
                });
        });
    connect(&m_http, &QAbstractHttpServer::newWebSocketConnection, this,
        &RemoteServer::acceptWebSockets);
    connect(&m_router, &Router::changed, this, &RemoteServer::publish);
    connect(&m_router, &Router::dropped, this, &RemoteServer::tellDropped);
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
    ConnectionGate::Limits limits;
    limits.name = QStringLiteral("remote control");
    limits.connections = ConnectionLimit;
    limits.requestDeadlineMs = m_options.requestDeadlineMs;
    limits.idleMs = IdleMs;
    limits.requestBytes = RequestLimit;
    limits.backlogBytes = BacklogLimit;
    m_gate = new ConnectionGate(limits, m_options.allow, &m_http);
    m_gate->setFarewell([deadline = limits.requestDeadlineMs](
                            ConnectionGate::Reason reason) { return farewell(reason, deadline); });
    connect(m_gate, &ConnectionGate::admitted, this, &RemoteServer::watchHead);
    if (!m_gate->listenOn(m_options.address, m_options.port, error)) {
        delete m_gate;
        m_gate = nullptr;
        return false;
    }
    m_http.bind(m_gate);
    return true;
}

void RemoteServer::watchHead(QTcpSocket *socket)
{
    auto *head = new HeadWatch(socket);
    // Connected ahead of the HTTP server's reader, so it sees each arrival
    // before the server reads it.
    connect(socket, &QTcpSocket::readyRead, head, [this, socket, head] {
        if (!head->see(socket->peek(socket->bytesAvailable()))) {
            m_gate->close(socket,
                rawAnswer("431 Request Header Fields Too Large",
                    QStringLiteral("the request has more than %1 header lines").arg(HeaderLimit)));
        }
    });
}

quint16 RemoteServer::serverPort() const
{
    return m_gate ? m_gate->serverPort() : 0;
}

QString RemoteServer::url() const
{
    return QStringLiteral("http://%1/").arg(hostAndPort(m_options.address, serverPort()));
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

void RemoteServer::serve(const QHttpServerRequest &request, QHttpServerResponder &&responder,
    Kind kind, const Handler &handler)
{
    QTcpSocket *socket = responder.socket();
    m_gate->requestDone(socket);
    HeadWatch *head = HeadWatch::of(socket);
    bool close = (head && head->http10) || tokens(request.value("connection")).contains("close");
    if (head)
        head->reset();
    const bool upgrade = asksForWebSocket(request);
    // Held until the answer is ready: a change that must be stored first is
    // answered once it is, perhaps a second later.
    const auto held = std::make_shared<QHttpServerResponder>(std::move(responder));
    const QPointer<QTcpSocket> alive(socket);
    const auto reply = [held, alive, upgrade](QHttpServerResponse response, bool close) {
        if (!alive)
            return; // the client left before its answer was ready
        if (close || upgrade)
            response.setHeader("Connection", "close");
        response.write(std::move(*held));
        if (upgrade)
            abandon(alive);
        else if (close)
            alive->disconnectFromHost();
    };
    const auto answer = [&](QHttpServerResponse response) { reply(std::move(response), close); };

    if (upgrade && kind != Kind::Events) {
        answer(failure(Status::BadRequest,
            QStringLiteral("only /api/v1/events opens a WebSocket, not %1")
                .arg(request.url().path().left(80))));
        return;
    }
    if (std::optional<QHttpServerResponse> refused = refusal(request, kind == Kind::Page)) {
        if (refused->statusCode() == Status::Unauthorized) {
            // Guessing is slowed: past a few wrong tokens, each refusal
            // waits, and nothing else is read meanwhile.
            const int delay = m_gate->refusedCredentials(socket);
            if (delay > 0 && !upgrade) {
                m_gate->close(socket,
                    rawAnswer("401 Unauthorized", QStringLiteral("the token is wrong"),
                        kind == Kind::Page
                            ? R"(WWW-Authenticate: Basic realm="matrix-panel", charset="UTF-8")"
                              "\r\n"
                            : R"(WWW-Authenticate: Bearer realm="matrix-panel")"
                              "\r\n"),
                    delay);
                return;
            }
        }
        answer(std::move(*refused));
        return;
    }
    if (!m_gate->authenticate(socket)) {
        QHttpServerResponse busy = failure(
            Status::ServiceUnavailable, QStringLiteral("too many connections; try again later"));
        busy.setHeader("Retry-After", "1");
        close = true;
        answer(std::move(busy));
        return;
    }
    if (kind != Kind::Events) {
        handler(request, [reply, close](QHttpServerResponse r) { reply(std::move(r), close); });
        return;
    }
    if (!upgrade) {
        answer(failure(Status::UpgradeRequired,
            QStringLiteral("open this address as a WebSocket to receive the state as it changes")));
        return;
    }
    m_gate->release(socket);
}

QHttpServerResponse RemoteServer::page(
    const QHttpServerRequest &request, const QString &file, const QByteArray &type)
{
    if (request.method() != QHttpServerRequest::Method::Get)
        return notAllowed("GET");
    QFile resource(file);
    resource.open(QIODevice::ReadOnly);
    QHttpServerResponse response(type, resource.readAll());
    secure(response);
    return response;
}

void RemoteServer::state(const QHttpServerRequest &request, const Reply &reply)
{
    if (request.method() != QHttpServerRequest::Method::Get)
        return reply(notAllowed("GET"));
    reply(json(stateJson(m_router)));
}

// A body too large, or not JSON. A page of another site can post plain text
// without asking first; JSON it has to ask for, and nothing here says yes.
static std::optional<QHttpServerResponse> bodyRefusal(const QHttpServerRequest &request)
{
    const qsizetype size = request.body().size();
    if (size > RemoteServer::BodyLimit) {
        return failure(Status::PayloadTooLarge,
            QStringLiteral("the body has %1 bytes; at most %2 are taken")
                .arg(size)
                .arg(RemoteServer::BodyLimit));
    }
    if (!isJson(request.value("content-type"))) {
        return failure(Status::UnsupportedMediaType,
            QStringLiteral("send the body as JSON, with 'Content-Type: application/json'"));
    }
    return std::nullopt;
}

// The router's refusal in HTTP's words.
static QHttpServerResponse refused(const Refusal &refusal)
{
    switch (refusal.kind) {
    case Refusal::NoLink:
        return failure(Status::ServiceUnavailable, refusal.message);
    case Refusal::Held:
        return failure(Status::Conflict, refusal.message);
    case Refusal::QueueFull: {
        QHttpServerResponse response = failure(Status::TooManyRequests, refusal.message);
        response.setHeader("Retry-After", "1");
        return response;
    }
    case Refusal::NotFound:
        return failure(Status::NotFound, refusal.message);
    case Refusal::TooMany:
        return failure(Status::Conflict, refusal.message);
    case Refusal::NotStored:
        return failure(Status::InsufficientStorage, refusal.message);
    case Refusal::NotOnModel:
    case Refusal::Invalid:
        break;
    }
    return failure(Status::BadRequest, refusal.message);
}

QHttpServerResponse RemoteServer::post(const QHttpServerRequest &request, bool route)
{
    if (request.method() != QHttpServerRequest::Method::Post)
        return notAllowed("POST");
    if (std::optional<QHttpServerResponse> refused = bodyRefusal(request))
        return std::move(*refused);
    const QByteArray body = request.body();
    const RemoteCommand parsed
        = route ? parseRoute(body, outputCount(m_router.shown().model)) : parseCommand(body);
    if (!parsed.command)
        return failure(Status::BadRequest, parsed.error);
    const RouterAnswer answer = route ? m_router.route({ parsed.input, parsed.output })
                                      : m_router.command(*parsed.command);
    if (answer.refusal)
        return refused(*answer.refusal);
    return json(QJsonObject { { "status", "queued" }, { "command", int(*parsed.command) } },
        Status::Accepted);
}

void RemoteServer::putNames(const QHttpServerRequest &request, const Reply &reply)
{
    if (request.method() != QHttpServerRequest::Method::Put)
        return reply(notAllowed("PUT"));
    if (std::optional<QHttpServerResponse> refused = bodyRefusal(request))
        return reply(std::move(*refused));
    QString error;
    const std::vector<NameChange> changes = parseNames(request.body(), &error);
    if (changes.empty())
        return reply(failure(Status::BadRequest, error));
    m_router.rename(changes, [this, reply](const RouterAnswer &answer) {
        reply(answer.refusal ? refused(*answer.refusal) : json(stateJson(m_router)));
    });
}

void RemoteServer::postRoutes(const QHttpServerRequest &request, const Reply &reply)
{
    if (request.method() != QHttpServerRequest::Method::Post)
        return reply(notAllowed("POST"));
    if (std::optional<QHttpServerResponse> refused = bodyRefusal(request))
        return reply(std::move(*refused));
    const ParsedPreset parsed
        = parsePreset(request.body(), outputCount(m_router.shown().model), PresetBody::Routes);
    if (!parsed.error.isEmpty())
        return reply(failure(Status::BadRequest, parsed.error));
    std::vector<Route> routes;
    for (const auto &[output, input] : parsed.routes)
        routes.push_back({ input, output });
    reply(queued(m_router.salvo(routes)));
}

QHttpServerResponse RemoteServer::queued(const RouterAnswer &answer)
{
    if (answer.refusal)
        return refused(*answer.refusal);
    QJsonArray commands;
    for (const uint8_t x : answer.commands)
        commands.append(int(x));
    return json(QJsonObject { { "status", "queued" }, { "commands", commands } }, Status::Accepted);
}

void RemoteServer::presets(const QHttpServerRequest &request, const Reply &reply)
{
    if (request.method() == QHttpServerRequest::Method::Get)
        return reply(json(QJsonObject { { "presets", presetsJson(m_router) } }));
    if (request.method() != QHttpServerRequest::Method::Post)
        return reply(notAllowed("GET, POST"));
    store(request, 0, reply);
}

void RemoteServer::store(const QHttpServerRequest &request, int id, const Reply &reply)
{
    if (std::optional<QHttpServerResponse> refused = bodyRefusal(request))
        return reply(std::move(*refused));
    const ParsedPreset parsed = parsePreset(request.body(), outputCount(m_router.shown().model),
        id == 0 ? PresetBody::NameAndMaybeRoutes : PresetBody::NameAndRoutes);
    if (!parsed.error.isEmpty())
        return reply(failure(Status::BadRequest, parsed.error));
    Preset preset;
    preset.id = id;
    preset.name = parsed.name;
    preset.routes = parsed.routes;
    m_router.storePreset(preset, [this, reply, id](const RouterAnswer &answer) {
        if (answer.refusal)
            return reply(refused(*answer.refusal));
        for (const Preset &p : m_router.presets()) {
            if (p.id == answer.presetId)
                return reply(json(presetJson(m_router, p), id == 0 ? Status::Created : Status::Ok));
        }
        reply(failure(Status::NotFound, QStringLiteral("the preset was deleted meanwhile")));
    });
}

void RemoteServer::preset(const QHttpServerRequest &request, const Reply &reply)
{
    // /api/v1/presets/ID or /api/v1/presets/ID/recall
    const QStringList parts = request.url().path().mid(16).split(QLatin1Char('/'));
    bool number = false;
    const int id = parts.value(0).toInt(&number);
    const bool recall = parts.size() == 2 && parts[1] == QLatin1String("recall");
    if (!number || id < 1 || parts.size() > 2 || (parts.size() == 2 && !recall))
        return reply(failure(Status::NotFound,
            QStringLiteral("nothing at %1; presets are at /api/v1/presets/ID and "
                           "/api/v1/presets/ID/recall")
                .arg(request.url().path().left(80))));
    const QHttpServerRequest::Method method = request.method();
    if (recall) {
        if (method != QHttpServerRequest::Method::Post)
            return reply(notAllowed("POST"));
        return reply(queued(m_router.recall(id)));
    }
    if (method == QHttpServerRequest::Method::Put)
        return store(request, id, reply);
    if (method == QHttpServerRequest::Method::Delete) {
        return m_router.deletePreset(id, [reply](const RouterAnswer &answer) {
            if (answer.refusal)
                return reply(refused(*answer.refusal));
            QHttpServerResponse gone(QByteArray(), Status::NoContent);
            secure(gone);
            reply(std::move(gone));
        });
    }
    reply(notAllowed("PUT, DELETE"));
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
        // The state once on connect, then each change as it comes.
        send(stateMessage(), client);
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

QString RemoteServer::stateMessage() const
{
    return QString::fromUtf8(QJsonDocument(stateJson(m_router)).toJson(QJsonDocument::Compact));
}

void RemoteServer::publish(const RouterChange &change)
{
    // The locks are the router protocol's; the state here does not show them.
    const int seen = RouterChange::Routing | RouterChange::Link | RouterChange::Power
        | RouterChange::NamesChanged | RouterChange::Presets;
    if (m_clients.empty() || (change.what & seen) == 0)
        return;
    send(stateMessage());
}

void RemoteServer::tellDropped(const std::vector<uint8_t> &commands, const QString &why)
{
    if (m_clients.empty())
        return;
    QJsonArray list;
    for (const uint8_t x : commands)
        list.append(int(x));
    const QJsonObject event { { "event", "dropped" }, { "commands", list }, { "reason", why } };
    send(QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)));
}

void RemoteServer::send(const QString &message, QWebSocket *only)
{
    const std::vector<QWebSocket *> to = only ? std::vector<QWebSocket *> { only } : m_clients;
    for (QWebSocket *client : to) {
        client->sendTextMessage(message);
        // A client that does not read would make the program hold all it
        // was sent.
        if (client->bytesToWrite() > BacklogLimit) {
            client->abort();
            dropClient(client);
        }
    }
}
