#include "net/listen_address.h"

std::optional<ListenAddress> parseListenAddress(const QString &text, QString *error)
{
    QString host = QStringLiteral("127.0.0.1");
    QString port = text;
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        else if (host.contains(QLatin1Char(':'))) {
            *error = QStringLiteral("write an IPv6 address in brackets, as in [::1]:8080");
            return std::nullopt;
        }
    }
    ListenAddress result;
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number > 65535) {
        *error = QStringLiteral("'%1' is not a port number (0 to 65535; 0 picks a free one)")
                     .arg(port);
        return std::nullopt;
    }
    result.port = quint16(number);
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        result.address = QHostAddress(QHostAddress::LocalHost);
    else if (!result.address.setAddress(host)) {
        *error = QStringLiteral("'%1' is not an IP address").arg(host);
        return std::nullopt;
    }
    return result;
}

QString hostAndPort(const QHostAddress &address, quint16 port)
{
    const QString host = address.toString();
    return (address.protocol() == QAbstractSocket::IPv6Protocol
                   ? QLatin1Char('[') + host + QLatin1Char(']')
                   : host)
        + QLatin1Char(':') + QString::number(port);
}
