#include "net/connection_gate.h"

#include <QLoggingCategory>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

Q_LOGGING_CATEGORY(lcGate, "matrix.net", QtWarningMsg)

namespace {

// A client told it is closed is cut off this long after, read or not.
constexpr int LingerMs = 2000;
constexpr int MinuteMs = 60000;
// Beyond this many addresses remembered for the log and the refusal count,
// the memory starts afresh rather than grow with an attacker's addresses.
constexpr int RememberedAddresses = 1024;

} // namespace

std::optional<AllowList> AllowList::parse(const QString &text, QString *error)
{
    AllowList list;
    const QStringList items = text.split(QLatin1Char(','));
    for (const QString &raw : items) {
        const QString item = raw.trimmed();
        const int slash = item.indexOf(QLatin1Char('/'));
        QHostAddress address;
        int length = -1;
        bool ok = address.setAddress(slash < 0 ? item : item.left(slash));
        if (ok) {
            const int full = address.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
            length = full;
            if (slash >= 0) {
                const QString bits = item.mid(slash + 1);
                length = bits.toInt(&ok);
                ok = ok && !bits.isEmpty() && bits.at(0).isDigit() && length >= 0 && length <= full;
            }
        }
        if (!ok) {
            *error = item.isEmpty()
                ? QStringLiteral("an empty entry in '%1': write networks as "
                                 "192.168.1.0/24,10.0.0.7,fd00::/8")
                      .arg(text)
                : QStringLiteral("'%1' is not an address or a network in CIDR form "
                                 "(192.168.1.0/24, 10.0.0.7, fd00::/8)")
                      .arg(item);
            return std::nullopt;
        }
        list.m_networks.append({ address, length });
    }
    return list;
}

bool AllowList::admits(const QHostAddress &peer) const
{
    QHostAddress address = peer;
    bool mapped = false;
    const quint32 v4 = peer.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4);
    if (address.isLoopback() || m_networks.isEmpty())
        return true;
    return std::any_of(m_networks.begin(), m_networks.end(),
        [&](const std::pair<QHostAddress, int> &network) { return address.isInSubnet(network); });
}

QString AllowList::toString() const
{
    QStringList items;
    for (const auto &[address, length] : m_networks)
        items << QStringLiteral("%1/%2").arg(address.toString()).arg(length);
    return items.join(QLatin1Char(','));
}

ConnectionGate::ConnectionGate(Limits limits, AllowList allow, QObject *parent)
    : QTcpServer(parent)
    , m_limits(std::move(limits))
    , m_allow(std::move(allow))
{
    m_clock.start();
}

ConnectionGate::~ConnectionGate() = default;

QHostAddress ConnectionGate::plain(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}

ConnectionGate::Entry *ConnectionGate::find(QTcpSocket *socket)
{
    const auto at = std::find_if(m_entries.begin(), m_entries.end(),
        [socket](const Entry &entry) { return entry.socket == socket; });
    return socket && at != m_entries.end() ? &*at : nullptr;
}

const ConnectionGate::Entry *ConnectionGate::find(QTcpSocket *socket) const
{
    return const_cast<ConnectionGate *>(this)->find(socket);
}

void ConnectionGate::purge()
{
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                        [](const Entry &entry) {
                            return !entry.socket
                                || entry.socket->state() == QAbstractSocket::UnconnectedState;
                        }),
        m_entries.end());
}

int ConnectionGate::connections() const
{
    return int(std::count_if(m_entries.begin(), m_entries.end(),
        [](const Entry &entry) { return entry.socket && !entry.probation && !entry.closing; }));
}

int ConnectionGate::unauthenticated() const
{
    return int(std::count_if(m_entries.begin(), m_entries.end(), [](const Entry &entry) {
        return entry.socket && !entry.probation && !entry.closing && !entry.authenticated;
    }));
}

ConnectionGate::Entry *ConnectionGate::oldestUnauthenticated(
    const QHostAddress *peer, bool probation)
{
    for (Entry &entry : m_entries) {
        if (entry.socket && !entry.closing && !entry.authenticated && entry.probation == probation
            && (!peer || entry.peer == *peer))
            return &entry;
    }
    return nullptr;
}

void ConnectionGate::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    purge();
    Entry entry;
    entry.socket = socket;
    entry.peer = plain(socket->peerAddress());
    // It waits for a slot, and is not counted in them, until it has one.
    entry.probation = true;
    m_entries.push_back(entry);
    // Closed here, the connection is never handed to a reader, which would
    // delete it once it has gone.
    const auto turnAway = [this, socket](Reason reason) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        closeFor(socket, reason);
        if (socket->state() == QAbstractSocket::UnconnectedState)
            socket->deleteLater();
    };
    if (!m_allow.admits(entry.peer)) {
        turnAway(Reason::NotAllowed);
        return;
    }
    const bool full = connections() >= m_limits.connections;
    if (!m_limits.authentication) {
        if (full) {
            turnAway(Reason::Full);
            return;
        }
        find(socket)->authenticated = true;
        find(socket)->probation = false;
    } else {
        // The oldest of the address's own connections gives way to it,
        // whether it holds a slot or waits for one; another host's never do.
        QTcpSocket *oldest = nullptr;
        int own = 0;
        for (const Entry &other : m_entries) {
            if (other.socket && other.socket != socket && !other.closing && !other.authenticated
                && other.peer == entry.peer) {
                if (!oldest)
                    oldest = other.socket;
                ++own;
            }
        }
        if (own >= m_limits.unauthenticatedPerAddress)
            closeFor(oldest, Reason::Full);
        if (connections() >= m_limits.connections) {
            const int waiting
                = int(std::count_if(m_entries.begin(), m_entries.end(), [socket](const Entry &e) {
                      return e.socket && e.socket != socket && e.probation && !e.closing;
                  }));
            if (waiting >= m_limits.connections) {
                if (Entry *oldest = oldestUnauthenticated(nullptr, true))
                    closeFor(oldest->socket, Reason::Full);
            }
            Entry *added = find(socket);
            added->probationTimer = new QTimer(socket);
            added->probationTimer->setSingleShot(true);
            connect(added->probationTimer, &QTimer::timeout, this,
                [this, socket] { closeFor(socket, Reason::Full); });
            added->probationTimer->start(m_limits.probationMs);
        } else {
            find(socket)->probation = false;
        }
    }

    Entry *added = find(socket);
    if (m_limits.requestDeadlineMs > 0) {
        added->deadline = new QTimer(socket);
        added->deadline->setSingleShot(true);
        connect(added->deadline, &QTimer::timeout, this,
            [this, socket] { closeFor(socket, Reason::Deadline); });
    }
    if (m_limits.idleMs > 0) {
        added->idle = new QTimer(socket);
        added->idle->setSingleShot(true);
        connect(added->idle, &QTimer::timeout, this,
            [this, socket] { closeFor(socket, Reason::Idle); });
        added->idle->start(m_limits.idleMs);
    }
    watch(socket);
    emit admitted(socket);
    addPendingConnection(socket);
}

void ConnectionGate::watch(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { arrived(socket); });
    connect(socket, &QTcpSocket::disconnected, this, &ConnectionGate::purge, Qt::QueuedConnection);
}

void ConnectionGate::arrived(QTcpSocket *socket)
{
    Entry *entry = find(socket);
    if (!entry || entry->closing)
        return;
    const qint64 now = m_clock.elapsed();
    const qint64 arriving = socket->bytesAvailable();
    if (entry->listening) {
        if (now - entry->secondStart >= 1000) {
            entry->secondStart = now;
            entry->received = 0;
        }
        entry->received += arriving;
        if (entry->received > m_limits.listenerBytesPerSecond) {
            closeFor(socket, Reason::Backlog);
            return;
        }
    } else {
        if (entry->idle)
            entry->idle->start();
        if (entry->deadline && !entry->deadline->isActive() && arriving > 0)
            entry->deadline->start(m_limits.requestDeadlineMs);
        entry->received += arriving;
        if (m_limits.requestBytes > 0 && entry->received > m_limits.requestBytes) {
            closeFor(socket, Reason::TooLarge);
            return;
        }
    }
    if (!checkBacklog(socket))
        return;
    // Once the reader has had this arrival, and answered it, the backlog
    // is looked at again.
    QMetaObject::invokeMethod(
        this, [this, guarded = QPointer<QTcpSocket>(socket)] { checkBacklog(guarded); },
        Qt::QueuedConnection);
}

bool ConnectionGate::listenOn(const QHostAddress &address, quint16 port, QString *error)
{
    if (listen(address, port))
        return true;
    *error = QStringLiteral("cannot listen on %1 port %2: %3")
                 .arg(address.toString())
                 .arg(port)
                 .arg(errorString());
    return false;
}

bool ConnectionGate::authenticate(QTcpSocket *socket)
{
    Entry *entry = find(socket);
    if (!entry || entry->closing)
        return false;
    if (entry->probation) {
        Entry *oldest = oldestUnauthenticated(nullptr, false);
        if (!oldest && connections() >= m_limits.connections)
            return false;
        if (oldest)
            closeFor(oldest->socket, Reason::Full);
        entry = find(socket); // closeFor may have moved the entries
        entry->probation = false;
        delete entry->probationTimer;
        entry->probationTimer = nullptr;
    }
    entry->authenticated = true;
    return true;
}

bool ConnectionGate::isAuthenticated(QTcpSocket *socket) const
{
    const Entry *entry = find(socket);
    return entry && entry->authenticated;
}

int ConnectionGate::refusedCredentials(QTcpSocket *socket)
{
    const Entry *entry = find(socket);
    if (!entry)
        return 0;
    const QString address = entry->peer.toString();
    const qint64 now = m_clock.elapsed();
    if (m_refusals.size() > RememberedAddresses && !m_refusals.contains(address))
        m_refusals.clear();
    QList<qint64> &times = m_refusals[address];
    times.removeIf([now](qint64 at) { return now - at > MinuteMs; });
    times.append(now);
    // Only the count matters past the threshold.
    if (times.size() > m_limits.refusalsBeforeDelay + 1)
        times.removeFirst();
    warnOnce(entry->peer, QStringLiteral("credentials"),
        QStringLiteral("%1: wrong or missing credentials from %2").arg(m_limits.name, address));
    return times.size() > m_limits.refusalsBeforeDelay ? m_limits.refusalDelayMs : 0;
}

void ConnectionGate::requestDone(QTcpSocket *socket)
{
    Entry *entry = find(socket);
    if (!entry)
        return;
    entry->received = 0;
    if (entry->deadline) {
        // Bytes of the next request may have come with this one.
        if (socket->bytesAvailable() > 0)
            entry->deadline->start(m_limits.requestDeadlineMs);
        else
            entry->deadline->stop();
    }
}

void ConnectionGate::release(QTcpSocket *socket)
{
    Entry *entry = find(socket);
    if (!entry)
        return;
    entry->listening = true;
    entry->received = 0;
    entry->secondStart = m_clock.elapsed();
    delete entry->deadline;
    delete entry->idle;
    entry->deadline = entry->idle = nullptr;
    // The HTTP server cuts every connection of the socket as it hands it
    // on, ours too. Posted now, this runs before the handshake is read (it
    // is read from a queued call), so the gate sees arrivals first again.
    QMetaObject::invokeMethod(
        this,
        [this, guarded = QPointer<QTcpSocket>(socket)] {
            if (guarded && find(guarded))
                watch(guarded);
        },
        Qt::QueuedConnection);
}

bool ConnectionGate::checkBacklog(QTcpSocket *socket)
{
    if (!socket)
        return false;
    Entry *entry = find(socket);
    if (entry && entry->closing)
        return false;
    if (socket->bytesToWrite() <= m_limits.backlogBytes)
        return true;
    closeFor(socket, Reason::Backlog);
    return false;
}

bool ConnectionGate::write(QTcpSocket *socket, const QByteArray &data)
{
    if (!socket || socket->bytesToWrite() + data.size() > m_limits.backlogBytes) {
        closeFor(socket, Reason::Backlog);
        return false;
    }
    return socket->write(data) == data.size();
}

void ConnectionGate::close(QTcpSocket *socket, const QByteArray &lastWords, int delayMs)
{
    if (!socket)
        return;
    Entry *entry = find(socket);
    if (entry) {
        if (entry->closing)
            return;
        entry->closing = true;
        delete entry->deadline;
        delete entry->idle;
        delete entry->probationTimer;
        entry->deadline = entry->idle = entry->probationTimer = nullptr;
    }
    // Nothing more is read: not by the gate, not by the reader.
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    const auto finish = [socket, lastWords] {
        if (!lastWords.isEmpty() && socket->state() == QAbstractSocket::ConnectedState)
            socket->write(lastWords);
        socket->disconnectFromHost();
        if (socket->state() != QAbstractSocket::UnconnectedState)
            QTimer::singleShot(LingerMs, socket, [socket] { socket->abort(); });
    };
    if (delayMs > 0)
        QTimer::singleShot(delayMs, socket, finish);
    else
        finish();
}

void ConnectionGate::closeFor(QTcpSocket *socket, Reason reason)
{
    if (!socket)
        return;
    Entry *entry = find(socket);
    if (entry && entry->closing)
        return;
    const QHostAddress peer = entry ? entry->peer : plain(socket->peerAddress());
    if (reason != Reason::Idle) {
        QString what = describe(reason);
        if (reason == Reason::Full)
            what += QStringLiteral(" (%1 open)").arg(m_limits.connections);
        warnOnce(peer, describe(reason),
            QStringLiteral("%1: closed a connection from %2: %3")
                .arg(m_limits.name, peer.toString(), what));
    }
    if (reason == Reason::Backlog) {
        // Whatever it was sent stays unread: it is not waited for.
        if (entry)
            entry->closing = true;
        QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
        socket->abort();
        return;
    }
    close(socket, m_farewell ? m_farewell(reason) : QByteArray());
}

QString ConnectionGate::describe(Reason reason)
{
    switch (reason) {
    case Reason::NotAllowed:
        return QStringLiteral("not on the allow-list");
    case Reason::Full:
        return QStringLiteral("too many connections");
    case Reason::TooLarge:
        return QStringLiteral("request too large");
    case Reason::Deadline:
        return QStringLiteral("request not whole in time");
    case Reason::Idle:
        return QStringLiteral("idle");
    case Reason::Backlog:
        return QStringLiteral("it does not read what it is sent");
    }
    return {};
}

void ConnectionGate::warnOnce(const QHostAddress &peer, const QString &kind, const QString &message)
{
    const QString key = peer.toString() + QLatin1Char(' ') + kind;
    const qint64 now = m_clock.elapsed();
    if (m_logged.size() > RememberedAddresses && !m_logged.contains(key))
        m_logged.clear();
    const auto at = m_logged.constFind(key);
    if (at != m_logged.constEnd() && now - *at < MinuteMs)
        return;
    m_logged.insert(key, now);
    qCWarning(lcGate).noquote() << message;
}
