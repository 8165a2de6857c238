#pragma once

#include "net/connection_gate.h"
#include "session/router.h"
#include "videohub/videohub_protocol.h"

#include <QHostAddress>
#include <QObject>
#include <memory>
#include <vector>

class QTcpSocket;

// Serves the router protocol of control software (Videohub, TCP port 9990):
// the routing the switcher reports, names and locks, pushed to every client
// as they change; what clients ask for goes through the program's router
// like any other request. What a client sends can only ever be answered or
// refused: the line and the panel go on as they were.
class VideohubServer : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QHostAddress address = QHostAddress(QHostAddress::LocalHost);
        quint16 port = 0;
        // Clients from elsewhere are closed at once; loopback ones are
        // always let in. Empty: every address.
        AllowList allow;
        // Announced on the network (DNS-SD) while serving off loopback.
        bool discovery = true;
    };

    static constexpr int ClientLimit = 16;
    // A client that leaves this much unread is dropped.
    static constexpr int BacklogLimit = 256 * 1024;

    VideohubServer(Router &router, Options options, QObject *parent = nullptr);
    ~VideohubServer() override;

    bool listen(QString *error);
    quint16 serverPort() const { return m_gate ? m_gate->serverPort() : 0; }
    // ADDR:PORT as a client reaches it.
    QString address() const;
    int clients() const;
    // The name under which the server is known.
    QString friendlyName() const;

    // Pushes what changed to every client.
    void publish(const RouterChange &change);

private:
    struct Client;

    void acceptPending();
    void read(Client &client);
    void answer(Client &client, const Videohub::Block &block);
    void route(Client &client, const Videohub::Request &request);
    void lock(Client &client, const Videohub::Request &request);
    void write(Client &client, const QByteArray &bytes);
    void drop(Client &client, const char *why = nullptr);
    void sweep();
    // Every client that still listens, for sending to in turn.
    std::vector<Client *> listeners() const;
    void pushLocks(const std::array<OutputLocks::Holder, 4> &before);

    Videohub::Device device() const;
    int outputs() const { return m_router.outputs(); }
    QByteArray prelude(const Client &client) const;
    // The labels or routing of every port, or of those changed since `before`.
    QByteArray labels(bool output, const Names *before) const;
    QByteArray locks(const Client &client, const std::array<OutputLocks::Holder, 4> *before) const;
    QByteArray routing(const ShownState *before) const;

    Router &m_router;
    Options m_options;
    ConnectionGate *m_gate = nullptr;
    std::vector<std::unique_ptr<Client>> m_clients;
    bool m_sweepPending = false;

    // The device clients were last told of: a change of link says nothing
    // new to them unless it changes this.
    Videohub::Device m_sentDevice;
    const QString m_friendlyName;
};
