#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

class QTcpSocket;
class QTimer;

// The networks a listener serves, from "CIDR[,CIDR...]": 192.168.1.0/24,
// 10.0.0.7 (one host), fd00::/8. Loopback clients are always admitted; an
// empty list admits every address.
class AllowList
{
public:
    static std::optional<AllowList> parse(const QString &text, QString *error);

    bool admits(const QHostAddress &peer) const;
    bool isEmpty() const { return m_networks.isEmpty(); }
    QString toString() const;

private:
    QList<std::pair<QHostAddress, int>> m_networks;
};

// Accepts the connections of one listener, within limits that need no look
// into what the clients say: who may connect, how many at once, how long a
// request may take, how much a client may leave unread. Whoever reads the
// connections (the HTTP server, a line protocol) tells the gate when a
// client has authenticated and when a request is whole, and writes through
// it. Every network interface of the program stands behind one.
//
// Slots: at most `connections` clients hold one. A connection that has not
// authenticated never keeps out one that does: when the slots are full a
// newcomer is still read for `probationMs`, and once it authenticates it
// takes the slot of the oldest connection that has not. Connections that
// have not authenticated are capped per address as well, the oldest of the
// address giving way, so that no one host can take every slot.
//
// A line protocol without credentials sets `authentication` false, takes
// its clients with nextPendingConnection() on newConnection(), and writes
// to them with write(). The HTTP server binds to the gate as to any
// QTcpServer.
class ConnectionGate : public QTcpServer
{
    Q_OBJECT
public:
    struct Limits
    {
        // For the log: "remote control", "Videohub".
        QString name;
        int connections = 16;
        // False: there is nothing to authenticate, every client admitted
        // counts as authenticated, and a client beyond the slots is closed
        // at once.
        bool authentication = true;
        int unauthenticatedPerAddress = 8;
        int probationMs = 2000;
        // A request must be whole this long after its first byte (0: no
        // deadline).
        int requestDeadlineMs = 0;
        // A connection silent this long is closed (0: never).
        int idleMs = 0;
        // Bytes one request may send before it is whole (0: no limit).
        qint64 requestBytes = 0;
        // A client that leaves more than this unread is dropped.
        qint64 backlogBytes = 256 * 1024;
        // A connection that only listens (released) and sends more than
        // this in a second is dropped: its pings would be answered without
        // end.
        qint64 listenerBytesPerSecond = 4096;
        // After this many refused credentials from one address in a minute,
        // each further refusal waits `refusalDelayMs`.
        int refusalsBeforeDelay = 3;
        int refusalDelayMs = 1000;
    };

    // Why the gate closes a connection.
    enum class Reason {
        NotAllowed, // the address is not on the allow-list
        Full, // no slot, none given up for it
        TooLarge, // the request has sent more than requestBytes
        Deadline, // the request was not whole in time
        Idle,
        Backlog, // unsent bytes over backlogBytes, or a listener that floods
    };
    // What a connection is told as it is closed, by reason: an HTTP answer
    // for the web interface, nothing for a line protocol.
    using Farewell = std::function<QByteArray(Reason)>;

    ConnectionGate(Limits limits, AllowList allow, QObject *parent = nullptr);
    ~ConnectionGate() override;

    const Limits &limits() const { return m_limits; }
    // listen(), and when it fails "cannot listen on ADDR port PORT: why" in
    // *error.
    bool listenOn(const QHostAddress &address, quint16 port, QString *error);
    void setFarewell(Farewell farewell) { m_farewell = std::move(farewell); }

    // The client has shown valid credentials (or, where none are needed, a
    // whole request that is served). False when it holds no slot and none
    // could be given up for it: refuse it then.
    bool authenticate(QTcpSocket *socket);
    bool isAuthenticated(QTcpSocket *socket) const;
    // Credentials refused: logs once per address a minute, and returns how
    // long to wait before saying so (0 for the first few).
    int refusedCredentials(QTcpSocket *socket);
    // The request under way is whole: its deadline and byte count stop
    // until the next one begins.
    void requestDone(QTcpSocket *socket);
    // The connection becomes a listener (a WebSocket): no idle timer, no
    // deadline, a bound on what it sends. Call it before the reader is
    // handed on.
    void release(QTcpSocket *socket);

    // Writes unless the client would then have more than backlogBytes
    // unsent; then it is dropped and the result is false.
    bool write(QTcpSocket *socket, const QByteArray &data);
    // Drops the client if it has more than backlogBytes unsent. Runs on
    // every arrival too; call it after writing past write().
    bool checkBacklog(QTcpSocket *socket);
    // Stops reading, waits delayMs, says `lastWords` and closes. A client
    // that does not read them is cut off soon after.
    void close(QTcpSocket *socket, const QByteArray &lastWords, int delayMs = 0);

    // Connections holding a slot, and of them those not authenticated.
    int connections() const;
    int unauthenticated() const;

    // Logs `message` once a minute for this address and kind.
    void warnOnce(const QHostAddress &peer, const QString &kind, const QString &message);

signals:
    // A connection is let in, before it is handed to its reader: a slot
    // connected here (directly) sees every arrival ahead of the reader.
    void admitted(QTcpSocket *socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Entry
    {
        QPointer<QTcpSocket> socket;
        QHostAddress peer;
        bool authenticated = false;
        bool probation = false;
        bool listening = false;
        bool closing = false;
        qint64 received = 0; // of the request under way, or this second
        qint64 secondStart = 0;
        QTimer *deadline = nullptr;
        QTimer *idle = nullptr;
        QTimer *probationTimer = nullptr;
    };

    Entry *find(QTcpSocket *socket);
    const Entry *find(QTcpSocket *socket) const;
    void purge();
    void watch(QTcpSocket *socket);
    void arrived(QTcpSocket *socket);
    void closeFor(QTcpSocket *socket, Reason reason);
    Entry *oldestUnauthenticated(const QHostAddress *peer, bool probation);
    static QHostAddress plain(const QHostAddress &address);
    static QString describe(Reason reason);

    Limits m_limits;
    AllowList m_allow;
    Farewell m_farewell;
    std::vector<Entry> m_entries; // in the order they came
    QElapsedTimer m_clock;
    QHash<QString, qint64> m_logged; // address and kind: when last logged
    QHash<QString, QList<qint64>> m_refusals; // address: when refused lately
};
