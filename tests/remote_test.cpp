// The remote interface of the program in this process, served for real on
// 127.0.0.1 at a free port, with this test playing the switcher on a
// pseudo-terminal to watch the line. What the server answers is
// remote_server_test's; here is what needs the session.
#include "app/controller.h"
#include "fake_serial_port.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "pseudo_terminal.h"
#include "remote/remote_server.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

const QByteArray GoodAuth = "Bearer s3cret";

// The far end of a pseudo-terminal, held open and raw so that nothing echoes
// and nothing hangs up; it notes each byte the program sends. The master
// does not block: the program flushes the line as it opens it.
struct Line
{
    Line()
    {
        QObject::connect(&notifier, &QSocketNotifier::activated, [this] {
            for (char byte = 0; read(master, &byte, 1) == 1;)
                bytes.append(byte);
        });
    }

    const std::unique_ptr<PseudoTerminal> pty
        = PseudoTerminal::open(PseudoTerminal::NonBlocking | PseudoTerminal::HoldFarEnd);
    const int master = pty->master();
    const QString path = QString::fromStdString(pty->farPath());
    QSocketNotifier notifier { qintptr(master), QSocketNotifier::Read };
    QByteArray bytes;
};

} // namespace

// The port search lets events run, and never returns while no port opens:
// clients served in the middle of it see it in the state and leave it as it
// was. Once the switcher appears, a route through the interface goes on the
// line as its frame, and shows once the switcher reports it. Routes still
// waiting when the switcher falls silent are dropped, never sent to the
// device the search opens next, not even in part, and every WebSocket is
// told which they were.
TEST(Remote, FromThePortSearchToARouteOnTheLineToThoseDroppedAtLinkLoss)
{
    Line switcher;
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8());
    const QString link = dir.filePath("switcher");
    QString error;
    Controller app(std::make_unique<QtSerialPort>(*PortTable::parse("2=" + link, &error)));
    RemoteServer::Options options;
    options.token = "s3cret";
    RemoteServer server(app.router(), options);
    ASSERT_TRUE(server.listen(&error)) << error.toStdString();
    app.Form_Load();
    const QString url = QStringLiteral("127.0.0.1:%1/api/v1/").arg(server.serverPort());
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    const auto ask = [&](const QByteArray &method, const QString &path, const QByteArray &body) {
        QNetworkRequest request(QUrl("http://" + url + path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        request.setRawHeader("Authorization", GoodAuth);
        return network.sendCustomRequest(request, method, body);
    };
    const auto status = [](QNetworkReply *reply) {
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    };
    const auto route = [&](int input, int output) {
        std::unique_ptr<QNetworkReply> reply(ask("POST", "route",
            QStringLiteral(R"({"input": %1, "output": %2})").arg(input).arg(output).toLatin1()));
        EXPECT_TRUE(QTest::qWaitFor([&] { return reply->isFinished(); }, 5000));
        return status(reply.get());
    };
    QWebSocket events;
    QList<QJsonObject> heard;
    QObject::connect(&events, &QWebSocket::textMessageReceived,
        [&](const QString &text) { heard << QJsonDocument::fromJson(text.toUtf8()).object(); });
    events.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request(QUrl("ws://" + url + "events"));
    request.setRawHeader("Authorization", GoodAuth);
    events.open(request);

    int refused = 0;
    QTimer visit;
    QObject::connect(&visit, &QTimer::timeout, [&] {
        QNetworkReply *routed = ask("POST", "route", R"({"input": 1, "output": 1})");
        QObject::connect(routed, &QNetworkReply::finished, [&, routed] {
            refused += status(routed) == 503;
            routed->deleteLater();
        });
    });
    visit.start(100);
    QTimer frames;
    std::array<uint8_t, 4> sources = { 1, 2, 4, 8 };
    QObject::connect(&frames, &QTimer::timeout, [&] {
        const QByteArray frame = statusFrame(StatusFrame::Kind::FourOutput, 0xFF, 1, 0, sources);
        (void)!write(switcher.master, frame.constData(), StatusFrame::Length);
    });
    QTimer::singleShot(2000, [&] {
        visit.stop();
        EXPECT_TRUE(QFile::link(switcher.path, link));
        frames.start(50);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.state().linkUp(); }, 10000));
    EXPECT_GT(refused, 5);
    ASSERT_FALSE(heard.isEmpty());
    EXPECT_EQ(heard[0]["link"].toObject()["state"], "searching");

    EXPECT_EQ(route(3, 2), 202);
    ASSERT_TRUE(QTest::qWaitFor([&] { return switcher.bytes.size() >= 4; }, 5000));
    EXPECT_EQ(switcher.bytes.toHex(' '), "06 f9 d5 7b");
    sources[1] = 4;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return heard.last()["outputs"].toArray()[1].toObject()["input"] == 3; }, 5000));

    // A preset of four routes, recalled: four whole frames, paced, then
    // active once the switcher reports them.
    std::unique_ptr<QNetworkReply> stored(ask(
        "POST", "presets", R"({"name": "Lecture", "routes": {"A": 3, "B": 1, "C": 2, "D": 4}})"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return stored->isFinished(); }, 5000));
    ASSERT_EQ(status(stored.get()), 201) << stored->readAll().toStdString();
    const int id = QJsonDocument::fromJson(stored->readAll()).object()["id"].toInt();
    switcher.bytes.clear();
    std::unique_ptr<QNetworkReply> recalled(
        ask("POST", QStringLiteral("presets/%1/recall").arg(id), ""));
    ASSERT_TRUE(QTest::qWaitFor([&] { return switcher.bytes.size() >= 16; }, 5000));
    EXPECT_EQ(switcher.bytes.toHex(' '), "02 fd d5 7b 04 fb d5 7b 09 f6 d5 7b 0f f0 d5 7b");
    sources = { 4, 1, 2, 8 };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return heard.last()["presets"].toArray()[0].toObject()["active"] == true; }, 5000));

    frames.stop();
    int taken = 0;
    while (app.state().linkUp()) {
        taken += route(1 + taken % 4, 1) == 202;
        QTest::qWait(20);
    }
    const auto event = [&] {
        return std::find_if(heard.begin(), heard.end(),
            [](const QJsonObject &m) { return m["event"] == "dropped"; });
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return event() != heard.end(); }, 3000));
    const QJsonArray dropped = (*event())["commands"].toArray();
    EXPECT_FALSE(dropped.isEmpty());
    QTest::qWait(600);
    EXPECT_EQ(switcher.bytes.size() % 4, 0);
    EXPECT_EQ(switcher.bytes.size() / 4 - 4 + dropped.size(), taken);
}
