#pragma once

#include <QDBusObjectPath>
#include <QObject>
#include <QString>

// Announces the router-protocol server as _videohub._tcp through the Avahi
// daemon on the system bus, so that control software lists it by itself.
// Where no daemon runs it says so once and does nothing more: the server
// serves all the same.
class Discovery : public QObject
{
    Q_OBJECT
public:
    static constexpr char ServiceType[] = "_videohub._tcp";

    explicit Discovery(QObject *parent = nullptr);
    ~Discovery() override;

    void announce(const QString &name, quint16 port);
    // The announcement is registered with the daemon.
    bool announced() const { return m_announced; }

signals:
    void finished(bool announced);

private:
    void fail(const QString &why);
    void call(const QString &path, const QString &interface, const QString &method,
        const QList<QVariant> &arguments, void (Discovery::*then)(const QList<QVariant> &));
    void addService(const QList<QVariant> &reply);
    void commit(const QList<QVariant> &reply);
    void committed(const QList<QVariant> &reply);

    QString m_name;
    quint16 m_port = 0;
    QDBusObjectPath m_group;
    bool m_announced = false;
};
