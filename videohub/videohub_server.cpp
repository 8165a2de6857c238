#include "videohub/videohub_server.h"

#include "net/listen_address.h"
#include "session/state_json.h"
#if MATRIX_HAVE_DBUS
#include "videohub/discovery.h"
#endif

#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QSysInfo>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

Q_LOGGING_CATEGORY(lcVideohub, "matrix.videohub", QtWarningMsg)

using namespace Videohub;

struct VideohubServer::Client
{
    QTcpSocket *socket = nullptr;
    OutputLocks::Holder holder = 0;
    BlockReader reader;
    QString peer;
    bool dropped = false;
    // An answer that waits for the names to be stored: what the client
    // says next waits too, so that its answers keep their order.
    bool waiting = false;
    // It has sent all it will (a half-close): once answered, it is closed
    // without losing what it is still to be sent.
    bool ended = false;
};

namespace {

// Whether the client has ended its stream with nothing left unread. Qt
// closes a socket outright as it reads that end, answers still unsent
// and all, so the server looks first.
bool streamEnded(const QTcpSocket &socket)
{
#ifdef Q_OS_UNIX
    char byte;
    return ::recv(int(socket.socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
#else
    Q_UNUSED(socket);
    return false;
#endif
}

} // namespace

VideohubServer::VideohubServer(Router &router, Options options, QObject *parent)
    : QObject(parent)
    , m_router(router)
    , m_options(std::move(options))
    , m_friendlyName(QStringLiteral("matrix-panel on %1").arg(QSysInfo::machineHostName()))
{
    connect(&m_router, &Router::changed, this, &VideohubServer::publish);
}

VideohubServer::~VideohubServer()
{
    for (const std::unique_ptr<Client> &client : m_clients) {
        if (client->socket) {
            client->socket->disconnect(this);
            delete client->socket;
        }
    }
}

bool VideohubServer::listen(QString *error)
{
    ConnectionGate::Limits limits;
    limits.name = QStringLiteral("Videohub");
    limits.connections = ClientLimit;
    // Nothing to authenticate, and clients keep their connections for days,
    // pinging now and then: no deadline, no idle timer.
    limits.authentication = false;
    limits.backlogBytes = BacklogLimit;
    m_gate = new ConnectionGate(limits, m_options.allow, this);
    connect(m_gate, &QTcpServer::newConnection, this, &VideohubServer::acceptPending);
    if (m_gate->listenOn(m_options.address, m_options.port, error)) {
        m_sentDevice = device();
        if (m_options.discovery && !m_options.address.isLoopback()) {
#if MATRIX_HAVE_DBUS
            auto *discovery = new Discovery(this);
            discovery->announce(friendlyName(), serverPort());
#else
            qCWarning(lcVideohub) << "this build cannot announce the server (no Qt D-Bus)";
#endif
        }
        return true;
    }
    delete m_gate;
    m_gate = nullptr;
    return false;
}

QString VideohubServer::address() const
{
    return hostAndPort(m_options.address, serverPort());
}

int VideohubServer::clients() const
{
    return int(listeners().size());
}

QString VideohubServer::friendlyName() const
{
    return m_friendlyName;
}

void VideohubServer::acceptPending()
{
    // The gate has turned away whoever is not allowed, and the 17th.
    while (QTcpSocket *socket = m_gate->nextPendingConnection()) {
        const QString peer = socket->peerAddress().toString();
        socket->setParent(this);
        // Read a block's worth at a time, however fast a client sends.
        socket->setReadBufferSize(BlockLimit);
        auto client = std::make_unique<Client>();
        client->socket = socket;
        client->holder = m_router.newClient();
        client->peer = peer;
        Client *c = client.get();
        m_clients.push_back(std::move(client));
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { read(*c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] { drop(*c); });
        qCDebug(lcVideohub).noquote() << "client" << peer << "connected";
        write(*c, prelude(*c));
        // Out at once: a client that ends its stream straight away still
        // hears it.
        socket->flush();
    }
}

void VideohubServer::read(Client &client)
{
    if (client.dropped || client.waiting)
        return;
    client.reader.feed(client.socket->readAll());
    while (std::optional<Block> block = client.reader.next()) {
        answer(client, *block);
        if (client.dropped || client.waiting)
            return;
    }
    if (client.reader.overflowed()) {
        drop(client, "a block longer than 64 KiB without its blank line");
        return;
    }
    // The answers go to the kernel now, before the client's end can come
    // and Qt closes the socket on them.
    client.socket->flush();
    if (streamEnded(*client.socket)) {
        client.ended = true;
        drop(client);
    }
}

void VideohubServer::answer(Client &client, const Block &block)
{
    const Request request = parseRequest(block, outputs());
    qCDebug(lcVideohub).noquote() << client.peer << "asks" << block.header.left(40)
                                  << block.lines.size() << "lines";
    switch (request.kind) {
    case Request::Ping:
        write(client, Ack);
        return;
    case Request::Query:
        write(client, Ack);
        if (request.header == PreambleHeader)
            write(client, preambleBlock());
        else if (request.header == DeviceHeader)
            write(client, deviceBlock(device()));
        else if (request.header == InputLabelsHeader || request.header == OutputLabelsHeader)
            write(client, labels(request.header == OutputLabelsHeader, nullptr));
        else if (request.header == LocksHeader)
            write(client, locks(client, nullptr));
        else if (request.header == RoutingHeader)
            write(client, routing(nullptr));
        else
            write(client, configurationBlock());
        return;
    case Request::Routes:
        route(client, request);
        return;
    case Request::InputLabels:
    case Request::OutputLabels: {
        std::vector<NameChange> changes;
        for (const auto &[port, name] : request.labels)
            changes.push_back({ request.kind == Request::OutputLabels, port, name });
        // The new labels reach every client, this one too, after the tick.
        client.waiting = true;
        const auto later = std::make_shared<bool>(false);
        m_router.rename(changes, [this, later, holder = client.holder](const RouterAnswer &answer) {
            const auto c = std::find_if(m_clients.begin(), m_clients.end(),
                [holder](const std::unique_ptr<Client> &c) { return c->holder == holder; });
            if (c == m_clients.end() || (*c)->dropped)
                return;
            (*c)->waiting = false;
            write(**c, answer.ok() ? Ack : Nak);
            // An answer given at once leaves the reading to the loop that
            // asked; one that waited for the file takes it up again.
            if (*later)
                read(**c);
        });
        *later = true;
        return;
    }
    case Request::Locks:
        lock(client, request);
        return;
    case Request::Refused:
        write(client, Nak);
        return;
    }
}

void VideohubServer::route(Client &client, const Request &request)
{
    std::vector<Route> routes;
    for (const auto &[output, input] : request.routes)
        routes.push_back({ input + 1, output + 1 });
    write(client, m_router.salvo(routes, client.holder).ok() ? Ack : Nak);
}

void VideohubServer::lock(Client &client, const Request &request)
{
    std::vector<Router::LockRequest> requests;
    for (const auto &[output, state] : request.locks) {
        requests.push_back({ output + 1,
            state == 'O'       ? Router::LockChange::Take
                : state == 'F' ? Router::LockChange::Force
                               : Router::LockChange::Release });
    }
    // Every client hears of the new locks, each as it sees them, after the tick.
    write(client, m_router.lock(requests, client.holder).ok() ? Ack : Nak);
}

void VideohubServer::pushLocks(const std::array<OutputLocks::Holder, 4> &before)
{
    for (Client *c : listeners()) {
        const QByteArray block = locks(*c, &before);
        if (block != locksBlock({}))
            write(*c, block);
    }
}

void VideohubServer::write(Client &client, const QByteArray &bytes)
{
    if (client.dropped)
        return;
    // A client that stops reading would make the program hold all it is
    // sent: the gate drops it, and says so.
    if (!m_gate->write(client.socket, bytes))
        drop(client);
}

void VideohubServer::drop(Client &client, const char *why)
{
    if (client.dropped)
        return;
    client.dropped = true;
    if (why)
        qCWarning(lcVideohub).noquote() << "closed" << client.peer << ":" << why;
    else
        qCDebug(lcVideohub).noquote() << "client" << client.peer << "left";
    client.socket->disconnect(this);
    if (client.ended) {
        // Nothing more is read; what is unsent goes out first, within the
        // gate's time and backlog.
        connect(
            client.socket, &QAbstractSocket::disconnected, client.socket, &QObject::deleteLater);
        m_gate->close(client.socket, {});
    } else {
        client.socket->abort();
        client.socket->deleteLater();
    }
    client.socket = nullptr;
    if (!m_sweepPending) {
        m_sweepPending = true;
        QTimer::singleShot(0, this, &VideohubServer::sweep);
    }
    m_router.releaseClient(client.holder);
}

void VideohubServer::sweep()
{
    m_sweepPending = false;
    m_clients.erase(std::remove_if(m_clients.begin(), m_clients.end(),
                        [](const std::unique_ptr<Client> &c) { return c->dropped; }),
        m_clients.end());
}

std::vector<VideohubServer::Client *> VideohubServer::listeners() const
{
    std::vector<Client *> result;
    for (const std::unique_ptr<Client> &c : m_clients) {
        if (!c->dropped)
            result.push_back(c.get());
    }
    return result;
}

void VideohubServer::publish(const RouterChange &change)
{
    QByteArray all;
    bool everything = false;
    if (change.has(RouterChange::Link)) {
        const Device now = device();
        // Another model may have other ports: everything again.
        everything = now != m_sentDevice;
        m_sentDevice = now;
    }
    if (everything) {
        all = deviceBlock(m_sentDevice) + labels(false, nullptr) + labels(true, nullptr)
            + routing(nullptr);
    } else {
        QByteArrayList blocks;
        if (change.has(RouterChange::Routing))
            blocks << routing(&change.shownBefore);
        if (change.has(RouterChange::NamesChanged))
            blocks << labels(false, &change.namesBefore) << labels(true, &change.namesBefore);
        // Blocks with no line for the clients' ports say nothing.
        for (const QByteArray &block : blocks) {
            if (block.count('\n') > 2)
                all += block;
        }
    }
    for (Client *c : listeners()) {
        if (!all.isEmpty())
            write(*c, all);
        if (everything)
            write(*c, locks(*c, nullptr));
    }
    if (!everything && change.has(RouterChange::Locks))
        pushLocks(change.locksBefore);
}

Device VideohubServer::device() const
{
    Device d;
    d.present = m_router.shown().linkUp;
    d.outputs = outputs();
    d.modelName = m_router.lastModel() == SwitcherModel::TwoOutput
        ? QStringLiteral("matrix-panel 4x2")
        : QStringLiteral("matrix-panel 4x4");
    d.friendlyName = m_friendlyName;
    d.uniqueId = uniqueIdOf(m_router.lastDevice());
    return d;
}

QByteArray VideohubServer::prelude(const Client &client) const
{
    return preambleBlock() + deviceBlock(device()) + labels(false, nullptr) + labels(true, nullptr)
        + locks(client, nullptr) + routing(nullptr) + configurationBlock() + endPreludeBlock();
}

QByteArray VideohubServer::labels(bool output, const Names *before) const
{
    const Names &names = m_router.names();
    const std::array<QString, 4> &now = output ? names.outputs : names.inputs;
    std::vector<std::pair<int, QString>> lines;
    for (int k = 0; k < (output ? outputs() : Inputs); ++k) {
        if (!before || now[k] != (output ? before->outputs : before->inputs)[k])
            lines.emplace_back(k, now[k]);
    }
    return labelsBlock(output ? OutputLabelsHeader : InputLabelsHeader, lines);
}

QByteArray VideohubServer::locks(
    const Client &client, const std::array<OutputLocks::Holder, 4> *before) const
{
    const OutputLocks &locks = m_router.locks();
    const auto view = [&client](OutputLocks::Holder holder) {
        return holder == 0 ? 'U' : holder == client.holder ? 'O' : 'L';
    };
    std::vector<std::pair<int, char>> lines;
    for (int k = 0; k < outputs(); ++k) {
        if (!before || view((*before)[k]) != view(locks.holder(k)))
            lines.emplace_back(k, view(locks.holder(k)));
    }
    return locksBlock(lines);
}

QByteArray VideohubServer::routing(const ShownState *before) const
{
    const ShownState &now = m_router.shown();
    std::vector<std::pair<int, int>> lines;
    for (int k = 0; k < outputs(); ++k) {
        if (now.shownInput[k] != 0 && (!before || now.shownInput[k] != before->shownInput[k]))
            lines.emplace_back(k, now.shownInput[k] - 1);
    }
    return routingBlock(lines);
}
