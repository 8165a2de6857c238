// The remote interface on its own: RemoteServer on a fake router, served on
// 127.0.0.1 at a free port, to clients as browsers and programs are.
#include "fake_router.h"
#include "net/connection_gate.h"
#include "remote/remote_server.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>
#include <gtest/gtest.h>

namespace {

const QByteArray GoodAuth = "Bearer s3cret";
using Headers = QList<std::pair<QByteArray, QByteArray>>;

// A WebSocket client with the token, and what it hears.
struct Listener : QWebSocket
{
    QList<QJsonObject> heard;
    int seen = 0;

    // The next message, or nothing when none comes.
    QJsonObject next()
    {
        (void)QTest::qWaitFor([&] { return heard.size() > seen; }, 5000);
        return seen < heard.size() ? heard[seen++] : QJsonObject();
    }
};

class RemoteService : public ::testing::Test
{
protected:
    void SetUp() override { start(); }
    void start()
    {
        network.setProxy(QNetworkProxy::NoProxy);
        options.token = "s3cret";
        server = std::make_unique<RemoteServer>(router, options);
        QString error;
        ASSERT_TRUE(server->listen(&error)) << error.toStdString();
    }
    QUrl url(const QString &path, const char *scheme = "http") const
    {
        return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                        .arg(QLatin1String(scheme))
                        .arg(server->serverPort())
                        .arg(path));
    }

    std::unique_ptr<QNetworkReply> call(const QByteArray &method, const QString &path,
        const QByteArray &body = {}, const Headers &headers = { { "Authorization", GoodAuth } })
    {
        QNetworkRequest request(url(path));
        if (!body.isEmpty())
            request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        std::unique_ptr<QNetworkReply> reply(network.sendCustomRequest(request, method, body));
        EXPECT_TRUE(QTest::qWaitFor([&] { return reply->isFinished(); }, 5000)) << method.data();
        return reply;
    }
    static int status(const std::unique_ptr<QNetworkReply> &reply)
    {
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }
    std::unique_ptr<Listener> listen()
    {
        auto l = std::make_unique<Listener>();
        QObject::connect(
            l.get(), &QWebSocket::textMessageReceived, [l = l.get()](const QString &t) {
                l->heard << QJsonDocument::fromJson(t.toUtf8()).object();
            });
        l->setProxy(QNetworkProxy::NoProxy);
        QNetworkRequest request(url("/api/v1/events", "ws"));
        request.setRawHeader("Authorization", GoodAuth);
        l->open(request);
        return l;
    }
    // A request written as it stands; what came back, and
    // whether the server closed the connection after it.
    struct Raw
    {
        QByteArray answer;
        bool closed = false;
    };
    Raw exchange(const QByteArray &request)
    {
        QTcpSocket socket;
        Raw raw;
        QObject::connect(&socket, &QTcpSocket::readyRead, [&] { raw.answer += socket.readAll(); });
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

    FakeRouter router;
    RemoteServer::Options options;
    QNetworkAccessManager network;
    std::unique_ptr<RemoteServer> server;
};

} // namespace

TEST_F(RemoteService, EachRequestIsAnsweredAndAsksTheRouter)
{
    const QByteArray body = R"({"input": 3, "output": 2})";
    const QByteArray lecture = R"({"name": "Lecture", "routes": {"A": 3, "B": 1}})";
    const Headers good = { { "Authorization", GoodAuth } };
    const struct
    {
        const char *method;
        const char *path;
        QByteArray body;
        int status;
        const char *says; // in the body
        const char *asked = "";
        std::pair<const char *, const char *> header = {};
        Headers headers = { { "Authorization", GoodAuth } };
        std::optional<Refusal::Kind> refuse = {}; // the router says "no" for this reason
    } cases[] = {
        { "GET", "/api/v1/state", "", 200,
            R"("link":{"device":"/dev/pts/9","port":1,"state":"up"},"model":"4x4")", "",
            { "x-frame-options", "DENY" } },
        { "GET", "/api/v1/state", "", 401, "needs a token", "",
            { "www-authenticate", R"(Bearer realm="matrix-panel")" }, {} },
        { "GET", "/", "", 401, "needs a token", "",
            { "www-authenticate", R"(Basic realm="matrix-panel", charset="UTF-8")" }, {} },
        { "GET", "/", "", 200, "<html", "", { "content-type", "text/html; charset=utf-8" },
            { { "Authorization", "Basic " + QByteArray("x:s3cret").toBase64() } } },
        { "GET", "/api/v1/state", "", 403, "other origins", "", {},
            good + Headers { { "Origin", "http://evil.example" } } },
        { "POST", "/api/v1/route", body, 202, R"("command":6,"status":"queued")", "3>2/0" },
        { "POST", "/api/v1/route", body, 503, "no", "", {}, good, Refusal::NoLink },
        { "POST", "/api/v1/route", body, 409, "no", "", {}, good, Refusal::Held },
        { "POST", "/api/v1/route", body, 429, "no", "", { "retry-after", "1" }, good,
            Refusal::QueueFull },
        { "POST", "/api/v1/route", body, 400, "no", "", {}, good, Refusal::NotOnModel },
        { "POST", "/api/v1/route", body, 400, "no", "", {}, good, Refusal::Invalid },
        { "POST", "/api/v1/route", R"({"input": 9, "output": 1})", 400, "'input' must be" },
        { "POST", "/api/v1/command", R"({"command": 16})", 202, R"("command":16)", "c16" },
        { "POST", "/api/v1/command", R"({"command": 40})", 503, "no", "", {}, good,
            Refusal::NoLink },
        { "POST", "/api/v1/command", R"({"command": 17})", 400, "16 or 40" },
        { "PUT", "/api/v1/names", R"({"outputs": {"B": "Projector"}})", 200,
            R"("name":"Projector")", "out2=Projector" },
        { "PUT", "/api/v1/names", R"({"inputs": {"3": "Laptop"}})", 400, "no", "in3=Laptop", {},
            good, Refusal::Invalid },
        { "PUT", "/api/v1/names", R"({"inputs": {"3": "a\u0007b"}})", 400, "control characters" },
        { "POST", "/api/v1/route", body + QByteArray(5000, ' '), 413, "at most 4096" },
        { "POST", "/api/v1/route", QByteArray(30000, ' '), 413, "larger than" },
        { "POST", "/api/v1/route", body, 415, "JSON", "", {},
            good + Headers { { "Content-Type", "text/plain" } } },
        { "PUT", "/api/v1/route", "", 405, "POST", "", { "allow", "POST" } },
        { "POST", "/api/v1/names", "", 405, "PUT", "", { "allow", "PUT" } },
        { "GET", "/api/v2/state", "", 404, "/api/v1" },
        { "GET", "/api/v1/events", "", 426, "WebSocket" },
        { "PUT", "/api/v1/names", R"({"inputs": {"3": "Laptop"}})", 507, "no", "in3=Laptop", {},
            good, Refusal::NotStored },
        { "POST", "/api/v1/routes", R"({"routes": {"A": 3, "b": "1"}})", 202, R"("commands":[2,4])",
            "3>1/0 1>2/0" },
        { "POST", "/api/v1/routes", R"({"routes": {}})", 400, "at least one output" },
        { "POST", "/api/v1/presets", lecture, 201, R"("id":1,"name":"Lecture")",
            "store0:Lecture:A3B1" },
        { "POST", "/api/v1/presets", R"({"name": "Now"})", 201, R"("name":"Now")", "store0:Now:" },
        { "POST", "/api/v1/presets", lecture, 409, "no", "store0:Lecture:A3B1", {}, good,
            Refusal::TooMany },
        { "POST", "/api/v1/presets", lecture, 507, "no", "store0:Lecture:A3B1", {}, good,
            Refusal::NotStored },
        { "GET", "/api/v1/presets", "", 200, R"({"presets":[{"active":false)" },
        { "POST", "/api/v1/presets", R"({"routes": {"A": 3}})", 400, "'name' must be" },
        { "POST", "/api/v1/presets", R"({"name": " ", "routes": {"A": 3}})", 400, "name:" },
        { "POST", "/api/v1/presets", R"({"name": "X", "routes": {"E": 3}})", 400, "not an output" },
        { "POST", "/api/v1/presets", R"({"name": "X", "routes": {"A": 5}})", 400, "1 to 4" },
        { "POST", "/api/v1/presets", R"({"name": "X", "colour": 1})", 400, "unknown field" },
        { "PUT", "/api/v1/presets/1", R"({"name": "Y", "routes": {"D": 2}})", 200, R"("id":1)",
            "store1:Y:D2" },
        { "PUT", "/api/v1/presets/1", R"({"name": "Y"})", 400, "'routes' must name" },
        { "DELETE", "/api/v1/presets/1", "", 204, "", "delete1" },
        { "DELETE", "/api/v1/presets/7", "", 404, "no", "delete7", {}, good, Refusal::NotFound },
        { "POST", "/api/v1/presets/1/recall", "", 202, R"("status":"queued")", "recall1" },
        { "POST", "/api/v1/presets/1/recall", "", 409, "no", "recall1", {}, good, Refusal::Held },
        { "POST", "/api/v1/presets/x/recall", "", 404, "/api/v1/presets/ID" },
        { "GET", "/api/v1/presets/1/recall", "", 405, "POST" },
    };
    for (const auto &c : cases) {
        router.refuse.reset();
        if (c.refuse)
            router.refuse = Refusal { *c.refuse, QStringLiteral("no") };
        const auto reply = call(c.method, c.path, c.body, c.headers);
        EXPECT_EQ(status(reply), c.status) << c.method << " " << c.path << " " << c.body.data();
        const QByteArray answer = reply->readAll();
        EXPECT_TRUE(answer.contains(c.says)) << answer.left(300).toStdString();
        EXPECT_EQ(router.asked(), c.asked) << c.method << " " << c.path;
        if (c.header.first) {
            EXPECT_EQ(reply->rawHeader(c.header.first), c.header.second) << c.header.first;
        }
    }
}

TEST_F(RemoteService, RequestsAsWrittenOnTheWire)
{
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
        // Upgrades on any other path are answered and closed, never opened;
        // one without the token is refused, and a client that reads on past
        // the refusal hears nothing of the state.
        { "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + token + upgrade, "400", true,
            "only /api/v1/events" },
        { "GET /api/v1/route HTTP/1.1\r\nHost: 127.0.0.1\r\n" + token + upgrade, "400", true,
            "only /api/v1/events" },
        { "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n" + upgrade, "401", true,
            "needs a token" },
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
        EXPECT_EQ(raw.answer.contains("\"link\""), QByteArray(c.status) == "200");
    }
    EXPECT_EQ(server->clients(), 0);
}

TEST_F(RemoteService, WebSocketsHearTheStateThenEachChangeTheyShow)
{
    const QJsonObject state
        = QJsonDocument::fromJson(call("GET", "/api/v1/state")->readAll()).object();
    const auto a = listen();
    const auto b = listen();
    EXPECT_EQ(a->next(), state);
    EXPECT_EQ(b->next(), state);

    // The locks are not in the state: a change of them alone says nothing,
    // and the next message is the routing after it.
    const ShownState before = router.shownState;
    router.shownState.shownInput[1] = 3;
    router.change(RouterChange::Locks, before);
    router.shownState.shownInput[1] = 4;
    router.change(RouterChange::Routing, before);
    const Names names = router.nameTable;
    router.nameTable.outputs[1] = "Projector";
    router.change(RouterChange::NamesChanged, router.shownState, names);
    emit router.dropped({ 6, 16 }, QStringLiteral("the link was lost"));
    for (Listener *l : { a.get(), b.get() }) {
        EXPECT_EQ(l->next()["outputs"].toArray()[1].toObject()["input"], 4);
        EXPECT_EQ(l->next()["outputs"].toArray()[1].toObject()["name"], "Projector");
        EXPECT_EQ(l->next(),
            QJsonObject({ { "event", "dropped" }, { "commands", QJsonArray { 6, 16 } },
                { "reason", "the link was lost" } }));
    }
}

// Refused tokens: said once in the log, and slowed past a few.
TEST_F(RemoteService, WrongTokensAreLoggedOnceAndSlowed)
{
    static QStringList logged;
    logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { logged << text; });
    QElapsedTimer clock;
    for (int i = 0; i < 5; ++i) {
        clock.start();
        EXPECT_EQ(
            status(call("GET", "/api/v1/state", {}, { { "Authorization", "Bearer no" } })), 401);
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(logged.filter("wrong or missing credentials from 127.0.0.1").size(), 1)
        << logged.join('\n').toStdString();
    EXPECT_GE(clock.elapsed(), 900); // the last
    EXPECT_EQ(status(call("GET", "/api/v1/state")), 200);
}

TEST_F(RemoteService, SlowAndSilentClientsNeverKeepOutAClientWithAToken)
{
    options.requestDeadlineMs = 1500;
    start();
    const auto from = [&](int address) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(address)));
        socket->connectToHost(QHostAddress::LocalHost, server->serverPort());
        EXPECT_TRUE(socket->waitForConnected(3000));
        QTest::qWait(5);
        return socket;
    };
    // Sixteen connections, four from each of four addresses, that start a
    // request and never finish it, fill every slot.
    std::vector<std::unique_ptr<QTcpSocket>> slow;
    for (int i = 0; i < 16; ++i) {
        slow.push_back(from(2 + i / 4));
        slow.back()->write("GET /api/v1/state HTTP/1.1\r\n");
    }
    QTest::qWait(100);
    EXPECT_EQ(status(call("GET", "/api/v1/state")), 200);
    // It took the slot of the oldest.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return slow[0]->state() == QAbstractSocket::UnconnectedState; }, 1000));
    EXPECT_TRUE(slow[0]->readAll().startsWith("HTTP/1.1 503"));
    EXPECT_EQ(slow[1]->state(), QAbstractSocket::ConnectedState);
    // A ninth connection from one address gives way to the first of them.
    std::vector<std::unique_ptr<QTcpSocket>> same;
    for (int i = 0; i < 9; ++i)
        same.push_back(from(9));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return same[0]->state() == QAbstractSocket::UnconnectedState; }, 1000));
    EXPECT_EQ(same[1]->state(), QAbstractSocket::ConnectedState);
    // None of the unfinished requests outlives its deadline.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return slow.back()->state() == QAbstractSocket::UnconnectedState; }, 4000));
    EXPECT_TRUE(slow[1]->readAll().startsWith("HTTP/1.1 408"));
}

TEST_F(RemoteService, APingFloodIsCutOff)
{
    // A client that sends pings and never reads what comes back.
    QTcpSocket client;
    client.setReadBufferSize(1);
    client.connectToHost(QHostAddress::LocalHost, server->serverPort());
    client.write("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 "Authorization: Bearer s3cret\r\nConnection: Upgrade\r\n"
                 "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->clients() == 1; }, 3000));
    const QByteArray pings = QByteArray("\x89\x80\x01\x02\x03\x04", 6).repeated(1000);
    QElapsedTimer clock;
    clock.start();
    while (server->clients() == 1 && clock.elapsed() < 5000) {
        client.write(pings);
        QTest::qWait(10);
    }
    EXPECT_EQ(server->clients(), 0);
}
