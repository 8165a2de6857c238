#pragma once

#include <QHostAddress>
#include <QString>
#include <optional>

// Where a listener listens: "[ADDR:]PORT" as --listen and --videohub take
// it; the address defaults to 127.0.0.1.
struct ListenAddress
{
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;
};
std::optional<ListenAddress> parseListenAddress(const QString &text, QString *error);

// ADDR:PORT as a client reaches it, an IPv6 address in brackets.
QString hostAndPort(const QHostAddress &address, quint16 port);
