// The remote interface of the program in this process, served for real on
// 127.0.0.1 at a free port, with the switcher on a pseudo-terminal: the
// simulator, or this test playing the switcher to watch the line.
#include "app/controller.h"
#include "fake_serial_port.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "panel/form3.h"
#include "net/connection_gate.h"
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

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
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
        server = std::make_unique<RemoteServer>(app->router(), options);
        ASSERT_TRUE(server->listen(&error)) << error.toStdString();
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
    // A request written as it stands, from `from`; what came back, and
    // whether the server closed the connection after it.
    struct Raw
    {
        QByteArray answer;
        bool closed = false;
    };
    Raw exchange(const QByteArray &request, const QHostAddress &from = QHostAddress::LocalHost)
    {
        QTcpSocket socket;
        Raw raw;
        QObject::connect(&socket, &QTcpSocket::readyRead, [&] { raw.answer += socket.readAll(); });
        socket.bind(from);
        socket.connectToHost(QHostAddress::LocalHost, server->serverPort());
        socket.write(request);
        const auto whole = [&] {
            const int end = int(raw.answer.indexOf("\r\n\r\n"));
            const int length = int(raw.answer.indexOf("Content-Length: "));
            return end > 0 && length > 0
                && raw.answer.size() >= end + 4 + raw.answer.mid(length + 16, 8).toInt();
        };
        EXPECT_TRUE(QTest::qWaitFor(whole, 3000)) << request.left(60).toStdString();
        (void)QTest::qWaitFor(
            [&] { return socket.state() != QAbstractSocket::ConnectedState; }, 500);
        raw.closed = socket.state() != QAbstractSocket::ConnectedState;
        return raw;
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
        { "POST", "/api/v1/route", body, good + Headers { { "Content-Type", "application/jsonx" } },
            415, "JSON" },
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
    ASSERT_TRUE(app->router().lock({ { 2, Router::LockChange::Take } }, 99).ok());
    const Reply locked = route(3, 2);
    EXPECT_EQ(locked.status, 409);
    EXPECT_TRUE(locked.json["error"].toString().contains("locked"));
    ASSERT_TRUE(app->router().lock({ { 2, Router::LockChange::Force } }, 0).ok());

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
    EXPECT_EQ(line.bytes.toHex(' '), "0d f2 d5 7b 06 f9 d5 7b");
    // Paced 50 ms apart (the spread of the gaps is the benchmark's): half
    // of them at least 45 ms, none in a burst.
    std::vector<qint64> gaps;
    for (size_t i = 1; i < line.times.size(); ++i)
        gaps.push_back(line.times[i] - line.times[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    EXPECT_GE(gaps[gaps.size() / 2], 45);
    EXPECT_GT(gaps.front(), 30);

    // One frame on the line and eight waiting; then 429 until one has gone.
    // Those taken go out whole and in order.
    const char *const frames[16] = { "00 ff d5 7b", "01 fe d5 7b", "02 fd d5 7b", "03 fc d5 7b",
        "04 fb d5 7b", "05 fa d5 7b", "06 f9 d5 7b", "07 f8 d5 7b", "08 f7 d5 7b", "09 f6 d5 7b",
        "0a f5 d5 7b", "0b f4 d5 7b", "0c f3 d5 7b", "0d f2 d5 7b", "0e f1 d5 7b", "0f f0 d5 7b" };
    QByteArray expected = line.bytes.toHex(' ');
    std::vector<int> statuses;
    for (int i = 0; i < 16; ++i) {
        const Reply reply = route(1 + i % 4, 1 + i / 4);
        statuses.push_back(reply.status);
        if (reply.status == 202)
            expected += QByteArray(" ") + frames[i];
        else
            EXPECT_TRUE(reply.json["error"].toString().contains("queue is full"));
    }
    EXPECT_EQ(std::vector<int>(statuses.begin(), statuses.begin() + 9), std::vector<int>(9, 202));
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), 429), statuses.end());
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return line.bytes.toHex(' ').size() >= expected.size(); }, 10000));
    QTest::qWait(100);
    EXPECT_EQ(line.bytes.toHex(' '), expected);
}

TEST_F(Remote, RequestsAsWrittenOnTheWire)
{
    Line silent;
    start("1=" + silent.path);
    const QByteArray token = "Authorization: Bearer s3cret\r\n";
    const QByteArray upgrade = "Connection: Upgrade\r\nUpgrade: websocket\r\n"
                               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                               "Sec-WebSocket-Version: 13\r\n\r\n";
    QByteArray crowded = "GET /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\n" + token;
    for (int i = 0; i < 98; ++i)
        crowded += "X-" + QByteArray::number(i) + ": 1\r\n";
    const struct
    {
        QByteArray request;
        const char *status;
        bool closed;
        const char *says;
    } cases[] = {
        { "GET /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\n" + token + "\r\n", "200", false, "" },
        { "GET /api/v1/state HTTP/1.0\r\nHost: 127.0.0.1\r\n" + token + "\r\n", "200", true, "" },
        { "GET /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + token + "\r\n",
            "200", true, "" },
        // Upgrades on any other path are answered and closed, never opened.
        { "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + token + upgrade, "400", true,
            "only /api/v1/events" },
        { "GET /api/v1/route HTTP/1.1\r\nHost: 127.0.0.1\r\n" + token + upgrade, "400", true,
            "only /api/v1/events" },
        { crowded + "\r\n", "200", false, "" }, // 100 header lines
        { crowded + "X-99: 1\r\n\r\n", "431", true, "more than 100 header lines" },
        { "GET /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1:99999\r\n" + token + "\r\n", "403", false,
            "loopback address only" },
    };
    for (const auto &c : cases) {
        const Raw raw = exchange(c.request);
        EXPECT_TRUE(raw.answer.startsWith("HTTP/1.1 " + QByteArray(c.status)))
            << raw.answer.left(200).toStdString();
        EXPECT_FALSE(raw.answer.contains(" 101 ")) << raw.answer.left(200).toStdString();
        EXPECT_TRUE(raw.answer.contains(c.says)) << raw.answer.toStdString();
        EXPECT_EQ(raw.closed, c.closed) << c.request.left(60).toStdString();
    }
}

// Refused tokens: said once in the log, and slowed past a few.
TEST_F(Remote, WrongTokensAreLoggedOnceAndSlowed)
{
    Line silent;
    start("1=" + silent.path);
    static QStringList logged;
    logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { logged << text; });
    std::vector<qint64> took;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(
            call("GET", "/api/v1/state", {}, { { "Authorization", "Bearer guess" } }).status, 401);
        took.push_back(clock.elapsed());
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(logged.filter("wrong or missing credentials from 127.0.0.1").size(), 1)
        << logged.join('\n').toStdString();
    EXPECT_GE(took.back(), 900);
    EXPECT_EQ(call("GET", "/api/v1/state").status, 200);
}

TEST_F(Remote, SlowAndSilentClientsNeverKeepOutAClientWithAToken)
{
    Line silent;
    options.requestDeadlineMs = 1500;
    start("1=" + silent.path);
    // Sixteen connections, four from each of four addresses, that start a
    // request and never finish it, fill every slot.
    std::vector<std::unique_ptr<QTcpSocket>> slow;
    for (int i = 0; i < 16; ++i) {
        slow.push_back(std::make_unique<QTcpSocket>());
        slow.back()->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + i / 4)));
        slow.back()->connectToHost(QHostAddress::LocalHost, server->serverPort());
        ASSERT_TRUE(slow.back()->waitForConnected(3000));
        slow.back()->write("GET /api/v1/state HTTP/1.1\r\n");
        QTest::qWait(5);
    }
    QTest::qWait(100);
    const Reply reply = call("GET", "/api/v1/state");
    EXPECT_EQ(reply.status, 200);
    // It took the slot of the oldest.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return slow[0]->state() == QAbstractSocket::UnconnectedState; }, 1000));
    EXPECT_TRUE(slow[0]->readAll().startsWith("HTTP/1.1 503"));
    EXPECT_EQ(slow[1]->state(), QAbstractSocket::ConnectedState);
    // A ninth connection from one address gives way to the first of them.
    const QHostAddress crowded(QStringLiteral("127.0.0.9"));
    std::vector<std::unique_ptr<QTcpSocket>> same;
    for (int i = 0; i < 9; ++i) {
        same.push_back(std::make_unique<QTcpSocket>());
        same.back()->bind(crowded);
        same.back()->connectToHost(QHostAddress::LocalHost, server->serverPort());
        ASSERT_TRUE(same.back()->waitForConnected(3000));
        QTest::qWait(5);
    }
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return same[0]->state() == QAbstractSocket::UnconnectedState; }, 1000));
    EXPECT_EQ(same[1]->state(), QAbstractSocket::ConnectedState);
    // None of the unfinished requests outlives its deadline.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return std::all_of(slow.begin(), slow.end(), [](const auto &socket) {
                return socket->state() == QAbstractSocket::UnconnectedState;
            });
        },
        4000));
    EXPECT_TRUE(slow[1]->readAll().startsWith("HTTP/1.1 408"));
}

TEST_F(Remote, APingFloodIsCutOff)
{
    Line silent;
    start("1=" + silent.path);
    // A client that sends pings and never reads what comes back.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(server->serverPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    const QByteArray handshake = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                 "Authorization: Bearer s3cret\r\nConnection: Upgrade\r\n"
                                 "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    ASSERT_EQ(send(fd, handshake.constData(), size_t(handshake.size()), 0), handshake.size());
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->clients() == 1; }, 3000));
    QByteArray pings;
    for (int i = 0; i < 1000; ++i)
        pings += wire({ 0x89, 0x80, 1, 2, 3, 4 });
    QElapsedTimer clock;
    clock.start();
    while (server->clients() == 1 && clock.elapsed() < 5000) {
        (void)!send(fd, pings.constData(), size_t(pings.size()), MSG_NOSIGNAL);
        QTest::qWait(10);
    }
    close(fd);
    EXPECT_EQ(server->clients(), 0);
}

// The port search lets events run, and never returns while no port opens:
// clients served in the middle of it leave it as it was, and it goes on to
// find the switcher once it appears.
TEST_F(Remote, ClientsServedInTheMiddleOfThePortSearchLeaveItAlone)
{
    const QString link = dir.filePath("switcher");
    start("2=" + link);
    int searching = 0;
    int refused = 0;
    QObject clients;
    QTimer visit;
    QObject::connect(&visit, &QTimer::timeout, [&] {
        QNetworkRequest request(url("/api/v1/state"));
        request.setRawHeader("Authorization", GoodAuth);
        QNetworkReply *state = network.get(request);
        QObject::connect(state, &QNetworkReply::finished, [&, state] {
            const QJsonObject link = QJsonDocument::fromJson(state->readAll())["link"].toObject();
            searching += link["state"] == "searching";
            state->deleteLater();
        });
        request.setUrl(url("/api/v1/route"));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply *routed = network.post(request, R"({"input": 1, "output": 1})");
        QObject::connect(routed, &QNetworkReply::finished, [&, routed] {
            refused += routed->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 503;
            routed->deleteLater();
        });
        auto *events = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, &clients);
        events->setProxy(QNetworkProxy::NoProxy);
        QObject::connect(
            events, &QWebSocket::textMessageReceived, events, [events] { events->close(); });
        request.setUrl(url("/api/v1/events", "ws"));
        events->open(request);
    });
    visit.start(100);
    SimProcess sim;
    QTimer::singleShot(2500, [&] {
        visit.stop();
        EXPECT_TRUE(sim.start(link));
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->state().linkUp(); }, 10000));
    EXPECT_GT(searching, 10);
    EXPECT_GT(refused, 10);
    EXPECT_EQ(app->port().commPort(), 2);
    EXPECT_EQ(route(1, 1).status, 202);
}

// Routes taken while the switcher on port 1 falls silent: those still
// waiting when the link is lost never reach the device the search opens
// next, not even in part.
TEST_F(Remote, RoutesWaitingWhenTheLinkIsLostAreDropped)
{
    Line switcher;
    Line other;
    start("1=" + switcher.path + ",2=" + other.path);
    QTimer frames;
    QObject::connect(&frames, &QTimer::timeout,
        [&] { (void)!write(switcher.master, statusFrame().constData(), StatusFrame::Length); });
    frames.start(50);
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->state().linkUp(); }, 5000));
    frames.stop();
    int taken = 0;
    while (app->state().linkUp()) {
        taken += route(1 + taken % 4, 1).status == 202;
        QTest::qWait(20);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->port().commPort() == 2; }, 3000));
    QTest::qWait(600);
    EXPECT_EQ(other.bytes.toHex(' '), "");
    EXPECT_EQ(switcher.bytes.size() % 4, 0);
    EXPECT_LT(switcher.bytes.size() / 4, taken);
}

// A line protocol behind the gate: nothing to authenticate, so a client
// beyond the slots is closed at once, with one line in the log, and one
// that would leave too much unsent is dropped.
TEST(ConnectionGate, WithoutAuthenticationTheClientsBeyondTheSlotsAreClosed)
{
    ConnectionGate::Limits limits;
    limits.name = QStringLiteral("line server");
    limits.connections = 2;
    limits.authentication = false;
    limits.backlogBytes = 1024;
    ConnectionGate gate(limits, AllowList());
    ASSERT_TRUE(gate.listen(QHostAddress::LocalHost));
    std::vector<QTcpSocket *> served;
    QObject::connect(&gate, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *socket = gate.nextPendingConnection())
            served.push_back(socket);
    });
    static QStringList logged;
    logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { logged << text; });
    QTcpSocket clients[4];
    for (QTcpSocket &client : clients) {
        client.connectToHost(QHostAddress::LocalHost, gate.serverPort());
        ASSERT_TRUE(client.waitForConnected(3000));
        QTest::qWait(20);
    }
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return clients[3].state() == QAbstractSocket::UnconnectedState; }, 2000));
    qInstallMessageHandler(previous);
    EXPECT_EQ(clients[2].state(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(logged.filter("line server: closed a connection from 127.0.0.1").size(), 1);
    ASSERT_EQ(served.size(), 2u);
    EXPECT_EQ(gate.connections(), 2);
    EXPECT_TRUE(gate.write(served[0], QByteArray(1000, 'x')));
    EXPECT_FALSE(gate.write(served[1], QByteArray(1025, 'x')));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return clients[1].state() == QAbstractSocket::UnconnectedState; }, 2000));
    EXPECT_EQ(clients[0].state(), QAbstractSocket::ConnectedState);
}
