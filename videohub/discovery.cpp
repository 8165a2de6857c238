#include "videohub/discovery.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcDiscovery, "matrix.discovery", QtWarningMsg)

namespace {
const char Service[] = "org.freedesktop.Avahi";
const char ServerInterface[] = "org.freedesktop.Avahi.Server";
const char GroupInterface[] = "org.freedesktop.Avahi.EntryGroup";
// A daemon that does not answer in this time is taken to be absent; the
// calls never hold up the program, they only end.
constexpr int CallTimeoutMs = 5000;
constexpr int AnyInterface = -1;
constexpr int AnyProtocol = -1;
} // namespace

Discovery::Discovery(QObject *parent)
    : QObject(parent)
{
}

Discovery::~Discovery()
{
    // The daemon drops the group with our connection too; freeing it at
    // once takes the name off the network before the program is gone.
    if (!m_group.path().isEmpty()) {
        QDBusConnection::systemBus().call(
            QDBusMessage::createMethodCall(QLatin1String(Service), m_group.path(),
                QLatin1String(GroupInterface), QStringLiteral("Free")),
            QDBus::NoBlock);
    }
}

void Discovery::announce(const QString &name, quint16 port)
{
    m_name = name;
    m_port = port;
    if (!QDBusConnection::systemBus().isConnected()) {
        fail(QStringLiteral("no system D-Bus"));
        return;
    }
    call(QStringLiteral("/"), QLatin1String(ServerInterface), QStringLiteral("EntryGroupNew"), {},
        &Discovery::addService);
}

void Discovery::call(const QString &path, const QString &interface, const QString &method,
    const QList<QVariant> &arguments, void (Discovery::*then)(const QList<QVariant> &))
{
    QDBusMessage message
        = QDBusMessage::createMethodCall(QLatin1String(Service), path, interface, method);
    message.setArguments(arguments);
    auto *watcher = new QDBusPendingCallWatcher(
        QDBusConnection::systemBus().asyncCall(message, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, then, method] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        if (reply.type() == QDBusMessage::ErrorMessage)
            fail(QStringLiteral("%1: %2").arg(method, reply.errorMessage()));
        else
            (this->*then)(reply.arguments());
    });
}

void Discovery::addService(const QList<QVariant> &reply)
{
    m_group = reply.value(0).value<QDBusObjectPath>();
    // The TXT records, as Avahi wants them: an array of byte arrays.
    qDBusRegisterMetaType<QByteArrayList>();
    call(m_group.path(), QLatin1String(GroupInterface), QStringLiteral("AddService"),
        { AnyInterface, AnyProtocol, 0u, m_name, QLatin1String(ServiceType), QString(), QString(),
            QVariant::fromValue(m_port), QVariant::fromValue(QByteArrayList {}) },
        &Discovery::commit);
}

void Discovery::commit(const QList<QVariant> &)
{
    call(m_group.path(), QLatin1String(GroupInterface), QStringLiteral("Commit"), {},
        &Discovery::committed);
}

void Discovery::committed(const QList<QVariant> &)
{
    m_announced = true;
    qCDebug(lcDiscovery).noquote()
        << "announced" << m_name << "as" << ServiceType << "on port" << m_port;
    emit finished(true);
}

void Discovery::fail(const QString &why)
{
    qCWarning(lcDiscovery).noquote()
        << "the Videohub server is not announced on the network (no Avahi daemon?):" << why;
    emit finished(false);
}
