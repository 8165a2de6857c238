#pragma once

#include <QTcpSocket>
#include <QTest>

// A router-protocol client as control software is: it connects and notes
// all it hears.
struct VideohubClient
{
    explicit VideohubClient(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { heard += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    // Whether `text` comes, after what was looked at last.
    bool hears(const QByteArray &text)
    {
        return QTest::qWaitFor([&] { return heard.indexOf(text, mark) >= 0; }, 8000);
    }
    bool closed()
    {
        return QTest::qWaitFor(
            [&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 5000);
    }
    // Sends `request` and a PING behind it; true when all heard since the
    // last look up to the PING's answer, pushes included, is `expected`.
    bool says(const QByteArray &request, const QByteArray &expected)
    {
        socket.write(request + "PING:\n\n");
        const QByteArray whole = expected + "ACK\n\n";
        (void)QTest::qWaitFor([&] { return heard.size() >= mark + whole.size(); }, 5000);
        last = heard.mid(mark).toStdString();
        mark = heard.size();
        return last == whole.toStdString();
    }
    QTcpSocket socket;
    QByteArray heard;
    qsizetype mark = 0;
    std::string last; // what came back to says()
};
