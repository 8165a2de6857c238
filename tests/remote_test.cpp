// The remote interface of the program in this process, served for real on
// 127.0.0.1 at a free port, with the switcher on a pseudo-terminal: the
// simulator, or this test playing the switcher to watch the line.
#include "app/controller.h"
#include "core/command_frame.h"
#include "fake_serial_port.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "panel/form3.h"
#include "remote/remote_server.h"
#include "sim_process.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray GoodAuth = "Bearer s3cret";
using Headers = QList<std::pair<QByteArray, QByteArray>>;

// The far end of a pseudo-terminal, held open and raw so that nothing echoes
// and nothing hangs up; it notes each byte the program sends, and when. The
// master does not block: the program flushes the line as it opens it.
struct Line
{
    Line()
    {
        grantpt(master);
        unlockpt(master);
        path = QString::fromLocal8Bit(ptsname(master));
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        termios raw {};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        clock.start();
        QObject::connect(&notifier, &QSocketNotifier::activated, [this] {
            for (char byte = 0; read(master, &byte, 1) == 1; times.push_back(clock.elapsed()))
                bytes.append(byte);
        });
    }
    ~Line()
    {
        close(slave);
        close(master);
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    int slave = -1;
    QString path;
    QSocketNotifier notifier { qintptr(master), QSocketNotifier::Read };
    QElapsedTimer clock;
    QByteArray bytes;
    std::vector<qint64> times;
};

class Remote : public ::testing::Test
{
protected:
    void start(const QString &ports)
    {
        qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8());
        QString error;
        app = std::make_unique<Controller>(
            std::make_unique<QtSerialPort>(*PortTable::parse(ports, &error)));
        options.token = "s3cret";
        server = std::make_unique<RemoteServer>(app->remoteHost(), options);
        ASSERT_TRUE(server->listen(&error)) << error.toStdString();
        QObject::connect(app.get(), &Controller::ticked, server.get(), &RemoteServer::publish);
        network.setProxy(QNetworkProxy::NoProxy);
        app->Form_Load();
    }
    QUrl url(const QString &path, const char *scheme = "http") const
    {
        return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                        .arg(QLatin1String(scheme))
                        .arg(server->serverPort())
                        .arg(path));
    }

    struct Reply
    {
        int status = 0;
        QJsonObject json;
    };
    Reply call(const QByteArray &method, const QString &path, const QByteArray &body = {},
        const Headers &headers = { { "Authorization", GoodAuth } })
    {
        QNetworkRequest request(url(path));
        if (!body.isEmpty())
            request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        std::unique_ptr<QNetworkReply> reply(network.sendCustomRequest(request, method, body));
        EXPECT_TRUE(QTest::qWaitFor([&] { return reply->isFinished(); }, 5000)) << method.data();
        return { reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
            QJsonDocument::fromJson(reply->readAll()).object() };
    }
    Reply route(int input, int output)
    {
        return call("POST", "/api/v1/route",
            QStringLiteral(R"({"input": %1, "output": %2})").arg(input).arg(output).toLatin1());
    }
    QTemporaryDir dir;
    RemoteServer::Options options;
    QNetworkAccessManager network;
    std::unique_ptr<Controller> app;
    std::unique_ptr<RemoteServer> server;
};

QJsonValue inputOnOutput(const QJsonObject &state, int k)
{
    return state["outputs"].toArray()[k - 1].toObject()["input"];
}

} // namespace

TEST_F(Remote, StateWhileSearchingAndUpAndTheWebSocketFollowsARoute)
{
    // Port 1 opens but stays silent, so the search comes back to it and
    // leaves the main tick; the simulator appears on port 2 later.
    Line silent;
    const QString link = dir.filePath("switcher");
    start("1=" + silent.path + ",2=" + link);
    const Reply searching = call("GET", "/api/v1/state");
    EXPECT_EQ(searching.status, 200);
    EXPECT_EQ(searching.json["link"].toObject()["state"], "searching");
    EXPECT_EQ(searching.json["model"], "none");

    QWebSocket events;
    QList<QJsonObject> messages;
    QObject::connect(&events, &QWebSocket::textMessageReceived,
        [&](const QString &text) { messages << QJsonDocument::fromJson(text.toUtf8()).object(); });
    events.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request(url("/api/v1/events", "ws"));
    request.setRawHeader("Authorization", GoodAuth);
    events.open(request);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, 5000));
    EXPECT_EQ(messages[0]["link"].toObject()["state"], "searching");

    SimProcess sim;
    ASSERT_TRUE(sim.start(link));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return messages.last()["model"] == "4x4" && inputOnOutput(messages.last(), 2) == 2; },
        8000));
    EXPECT_EQ(call("GET", "/api/v1/state").json, messages.last());

    const qsizetype before = messages.size();
    const Reply routed = route(3, 2);
    EXPECT_EQ(routed.status, 202);
    EXPECT_EQ(routed.json["status"], "queued");
    ASSERT_TRUE(QTest::qWaitFor([&] { return messages.size() > before; }, 5000));
    EXPECT_EQ(inputOnOutput(messages.last(), 2), 3);
    // The switcher goes on sending that same state: the socket stays silent.
    QTest::qWait(500);
    EXPECT_EQ(messages.size(), before + 1);

    // Names are part of the state.
    const Reply named = call("PUT", "/api/v1/names", R"({"outputs": {"B": "Projector"}})");
    EXPECT_EQ(named.status, 200);
    ASSERT_TRUE(QTest::qWaitFor([&] { return messages.size() > before + 1; }, 5000));
    EXPECT_EQ(messages.last()["outputs"].toArray()[1].toObject()["name"], "Projector");
}

TEST_F(Remote, RefusesWhatItMustAndSaysWhy)
{
    Line silent;
    start("1=" + silent.path);
    const QByteArray body = R"({"input": 1, "output": 1})";
    const Headers good = { { "Authorization", GoodAuth } };
    const struct
    {
        const char *method;
        const char *path;
        QByteArray body;
        Headers headers;
        int status;
        const char *says;
    } cases[] = {
        { "GET", "/api/v1/state", "", {}, 401, "needs a token" },
        { "GET", "/api/v1/state", "", { { "Authorization", "Bearer nope" } }, 401, "wrong" },
        { "GET", "/", "", { { "Authorization", "Basic " + QByteArray("x:s3cret").toBase64() } },
            200, "" },
        { "GET", "/api/v1/state", "", good + Headers { { "Origin", "http://evil.example" } }, 403,
            "other origins" },
        { "POST", "/api/v1/route", R"({"input": 9, "output": 1})", good, 400, "'input' must be" },
        { "POST", "/api/v1/route", body + QByteArray(5000, ' '), good, 413, "at most 4096" },
        { "POST", "/api/v1/route", QByteArray(30000, ' '), good, 413, "larger than" },
        { "POST", "/api/v1/route", body, good + Headers { { "Content-Type", "text/plain" } }, 415,
            "JSON" },
        { "PUT", "/api/v1/route", "", good, 405, "POST" },
        { "GET", "/api/v2/state", "", good, 404, "/api/v1" },
        { "POST", "/api/v1/route", body, good, 503, "searching" },
        { "PUT", "/api/v1/names", R"({"inputs": {"3": "a\u0007b"}})", good, 400,
            "control characters" },
        { "PUT", "/api/v1/names", R"({"outputs": {"E": "x"}})", good, 400, "not an output" },
    };
    for (const auto &c : cases) {
        const Reply reply = call(c.method, c.path, c.body, c.headers);
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path;
        EXPECT_TRUE(reply.json["error"].toString().contains(QLatin1String(c.says)))
            << reply.json["error"].toString().toStdString();
    }

    // A WebSocket without the token is refused, and a client that reads on
    // past the refusal hears nothing of the state.
    QTcpSocket raw;
    QByteArray heard;
    QObject::connect(&raw, &QTcpSocket::readyRead, [&] { heard += raw.readAll(); });
    raw.connectToHost(QHostAddress::LocalHost, server->serverPort());
    raw.write("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
              "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
              "Sec-WebSocket-Version: 13\r\n\r\n");
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return raw.state() == QAbstractSocket::UnconnectedState; }, 5000));
    EXPECT_TRUE(heard.startsWith("HTTP/1.1 401")) << heard.toStdString();
    EXPECT_FALSE(heard.contains("\"link\"")) << heard.toStdString();
    EXPECT_EQ(server->clients(), 0);
}

TEST_F(Remote, RoutesWaitForThePanelsFrameAndGoOutWholeAndPaced)
{
    Line line;
    start("1=" + line.path);
    QTimer switcher;
    QObject::connect(&switcher, &QTimer::timeout,
        [&] { (void)!write(line.master, statusFrame().constData(), StatusFrame::Length); });
    switcher.start(50);
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->state().linkUp(); }, 5000));

    // An output a Videohub client holds takes no route from here.
    app->videohubHost().outputLocks().set(1, 99);
    const Reply locked = route(3, 2);
    EXPECT_EQ(locked.status, 409);
    EXPECT_TRUE(locked.json["error"].toString().contains("locked"));
    app->videohubHost().outputLocks().set(1, 0);

    // Input 2 to output D picked on the panel; while that frame is on the
    // line, input 3 to output B comes through the interface.
    for (const int picture : { 3, 15 }) {
        app->panel().Picture1_MouseDown(picture, Form3::LeftButton, 0, 100, 100);
        app->panel().Picture1_MouseUp(picture, Form3::LeftButton, 0, 100, 100);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !line.bytes.isEmpty(); }, 5000));
    EXPECT_EQ(route(3, 2).status, 202);
    ASSERT_TRUE(QTest::qWaitFor([&] { return line.bytes.size() >= 8; }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(line.bytes.toHex(' '),
        (CommandFrame::bytes(CommandFrame::route(2, 4))
            + CommandFrame::bytes(CommandFrame::route(3, 2)))
            .toHex(' '));
    // Paced, not in a burst (the 50 ms themselves are the benchmark's).
    for (size_t i = 1; i < line.times.size(); ++i)
        EXPECT_GT(line.times[i] - line.times[i - 1], 30) << i;

    // One frame on the line and eight waiting; then 429 until one has gone.
    // Those taken go out whole and in order.
    QByteArray expected = line.bytes;
    std::vector<int> statuses;
    for (int i = 0; i < 16; ++i) {
        const Reply reply = route(1 + i % 4, 1 + i / 4);
        statuses.push_back(reply.status);
        if (reply.status == 202)
            expected += CommandFrame::bytes(CommandFrame::route(1 + i % 4, 1 + i / 4));
        else
            EXPECT_TRUE(reply.json["error"].toString().contains("queue is full"));
    }
    EXPECT_EQ(std::vector<int>(statuses.begin(), statuses.begin() + 9), std::vector<int>(9, 202));
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), 429), statuses.end());
    EXPECT_TRUE(QTest::qWaitFor([&] { return line.bytes.size() >= expected.size(); }, 10000));
    QTest::qWait(100);
    EXPECT_EQ(line.bytes.toHex(' '), expected.toHex(' '));
}
