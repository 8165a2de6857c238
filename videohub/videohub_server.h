#pragma once

#include "remote/connection_gate.h"
#include "videohub/videohub_host.h"
#include "videohub/videohub_protocol.h"

#include <QHostAddress>
#include <QObject>
#include <memory>
#include <vector>

class QTcpSocket;

// Serves the router protocol of control software (Videohub, TCP port 9990):
// the routing the switcher reports, names and locks, pushed to every client
// as they change; routes asked for go through the program's one command
// queue like any other. What a client sends can only ever be answered or
// refused: the line and the panel go on as they were.
class VideohubServer : public QObject
{
    Q_OBJECT
public:
    using Host = VideohubHost;

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

    VideohubServer(Host &host, Options options, QObject *parent = nullptr);
    ~VideohubServer() override;

    bool listen(QString *error);
    quint16 serverPort() const { return m_gate ? m_gate->serverPort() : 0; }
    // ADDR:PORT as a client reaches it.
    QString address() const;
    int clients() const;
    // The name under which the server is known.
    QString friendlyName() const;

    // After a main tick: pushes what changed since the clients last heard.
    void publish();

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
    static QString uniqueId(const QString &serialDevice);
    int outputs() const;
    QByteArray prelude(const Client &client) const;
    QByteArray labels(bool output, bool changedOnly) const;
    QByteArray locks(const Client &client, const std::array<OutputLocks::Holder, 4> *before) const;
    QByteArray routing(bool changedOnly) const;

    Host &m_host;
    Options m_options;
    ConnectionGate *m_gate = nullptr;
    std::vector<std::unique_ptr<Client>> m_clients;
    OutputLocks::Holder m_nextHolder = 1;
    bool m_sweepPending = false;

    // What the clients were last told.
    ShownState m_sent;
    Names m_sentNames;
    Videohub::Device m_sentDevice;
    // The model and device last seen on a live link: a client keeps seeing
    // them while the link is down.
    SwitcherModel m_lastModel = SwitcherModel::FourOutput;
    QString m_lastDevice;
    const QString m_friendlyName;
    QString m_uniqueId;
};
