#include "videohub/videohub_server.h"

#include "core/command_frame.h"
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

VideohubServer::VideohubServer(Host &host, Options options, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_options(std::move(options))
    , m_friendlyName(QStringLiteral("matrix-panel on %1").arg(QSysInfo::machineHostName()))
    , m_uniqueId(uniqueId({}))
{
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
        m_sent = m_host.shownState();
        m_sentNames = m_host.names();
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
    const QString host = m_options.address.toString();
    return (m_options.address.protocol() == QAbstractSocket::IPv6Protocol
                   ? QLatin1Char('[') + host + QLatin1Char(']')
                   : host)
        + QLatin1Char(':') + QString::number(serverPort());
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
        client->holder = m_nextHolder++;
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
    if (client.dropped)
        return;
    client.reader.feed(client.socket->readAll());
    while (std::optional<Block> block = client.reader.next()) {
        answer(client, *block);
        if (client.dropped)
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
            write(client, labels(request.header == OutputLabelsHeader, false));
        else if (request.header == LocksHeader)
            write(client, locks(client, nullptr));
        else if (request.header == RoutingHeader)
            write(client, routing(false));
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
        QString error;
        if (!m_host.setNames(changes, &error)) {
            write(client, Nak);
            return;
        }
        write(client, Ack);
        publish();
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
    // Like the panel, which routes only while the switcher is there; an
    // output another client holds takes no route but theirs.
    bool ok = m_host.shownState().linkUp;
    std::vector<uint8_t> commands;
    for (const auto &[output, input] : request.routes) {
        ok = ok && m_host.outputLocks().mayRoute(output, client.holder);
        commands.push_back(CommandFrame::route(input + 1, output + 1));
    }
    write(client, ok && m_host.queueCommands(commands) ? Ack : Nak);
}

void VideohubServer::lock(Client &client, const Request &request)
{
    OutputLocks &locks = m_host.outputLocks();
    for (const auto &[output, state] : request.locks) {
        // Only the holder gives an output back; F frees it whoever holds it.
        if (state != 'F' && !locks.mayRoute(output, client.holder)) {
            write(client, Nak);
            return;
        }
    }
    std::array<OutputLocks::Holder, 4> before {};
    for (int k = 0; k < 4; ++k)
        before[k] = locks.holder(k);
    for (const auto &[output, state] : request.locks)
        locks.set(output, state == 'O' ? client.holder : 0);
    write(client, Ack);
    pushLocks(before);
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
    std::array<OutputLocks::Holder, 4> before {};
    for (int k = 0; k < 4; ++k)
        before[k] = m_host.outputLocks().holder(k);
    if (m_host.outputLocks().release(client.holder))
        pushLocks(before);
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

void VideohubServer::publish()
{
    // Runs after every main tick: what has not changed costs a few compares.
    const ShownState &now = m_host.shownState();
    if (now.linkUp && now.model != SwitcherModel::None) {
        m_lastModel = now.model;
        const QString device = m_host.serialDevice();
        if (device != m_lastDevice) {
            m_lastDevice = device;
            m_uniqueId = uniqueId(device);
        }
    }
    if (now == m_sent && m_host.names() == m_sentNames && now.linkUp == m_sentDevice.present
        && outputs() == m_sentDevice.outputs && m_uniqueId == m_sentDevice.uniqueId)
        return;
    const Device nowDevice = device();
    QByteArray all;
    if (nowDevice != m_sentDevice) {
        // Another model may have other ports: everything again.
        all = deviceBlock(nowDevice) + labels(false, false) + labels(true, false);
        m_sentNames = m_host.names();
        m_sentDevice = nowDevice;
    } else {
        // Blocks with no line for the clients' ports say nothing.
        for (const QByteArray &block : { routing(true), labels(false, true), labels(true, true) }) {
            if (block.count('\n') > 2)
                all += block;
        }
        m_sentNames = m_host.names();
    }
    const bool everything = all.startsWith(DeviceHeader);
    if (everything)
        all += routing(false);
    m_sent = now;
    if (all.isEmpty())
        return;
    for (Client *c : listeners()) {
        write(*c, all);
        if (everything)
            write(*c, locks(*c, nullptr));
    }
}

int VideohubServer::outputs() const
{
    return outputCount(m_lastModel);
}

Device VideohubServer::device() const
{
    Device d;
    d.present = m_host.shownState().linkUp;
    d.outputs = outputs();
    d.modelName = m_lastModel == SwitcherModel::TwoOutput ? QStringLiteral("matrix-panel 4x2")
                                                          : QStringLiteral("matrix-panel 4x4");
    d.friendlyName = m_friendlyName;
    d.uniqueId = m_uniqueId;
    return d;
}

QString VideohubServer::uniqueId(const QString &serialDevice)
{
    // Stable for this machine and the serial device the switcher is on.
    return QString::fromLatin1(QCryptographicHash::hash(
        QSysInfo::machineUniqueId() + '\n' + serialDevice.toUtf8(), QCryptographicHash::Sha256)
                                   .left(6)
                                   .toHex()
                                   .toUpper());
}

QByteArray VideohubServer::prelude(const Client &client) const
{
    return preambleBlock() + deviceBlock(device()) + labels(false, false) + labels(true, false)
        + locks(client, nullptr) + routing(false) + configurationBlock() + endPreludeBlock();
}

QByteArray VideohubServer::labels(bool output, bool changedOnly) const
{
    const Names &names = m_host.names();
    const std::array<QString, 4> &now = output ? names.outputs : names.inputs;
    const std::array<QString, 4> &sent = output ? m_sentNames.outputs : m_sentNames.inputs;
    std::vector<std::pair<int, QString>> lines;
    for (int k = 0; k < (output ? outputs() : Inputs); ++k) {
        if (!changedOnly || now[k] != sent[k])
            lines.emplace_back(k, now[k]);
    }
    return labelsBlock(output ? OutputLabelsHeader : InputLabelsHeader, lines);
}

QByteArray VideohubServer::locks(
    const Client &client, const std::array<OutputLocks::Holder, 4> *before) const
{
    const OutputLocks &locks = m_host.outputLocks();
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

QByteArray VideohubServer::routing(bool changedOnly) const
{
    const ShownState &now = m_host.shownState();
    std::vector<std::pair<int, int>> lines;
    for (int k = 0; k < outputs(); ++k) {
        if (now.shownInput[k] != 0 && (!changedOnly || now.shownInput[k] != m_sent.shownInput[k]))
            lines.emplace_back(k, now.shownInput[k] - 1);
    }
    return routingBlock(lines);
}
