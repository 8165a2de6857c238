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

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
const QByteArray Token = "s3cret";
const QByteArray GoodAuth = "Bearer " + Token;
using Headers = QList<std::pair<QByteArray, QByteArray>>;

// The far end of a pseudo-terminal: status frames go out on request, and a
// thread of its own notes each byte that arrives and when.
class Line
{
public:
    Line()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(m_master);
        unlockpt(m_master);
        path = QString::fromLocal8Bit(ptsname(m_master));
        // Held open and raw, so nothing echoes and nothing hangs up.
        m_slave = open(ptsname(m_master), O_RDWR | O_NOCTTY);
        termios raw {};
        tcgetattr(m_slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(m_slave, TCSANOW, &raw);
        m_reader = std::thread([this] {
            while (!m_stop) {
                pollfd p { m_master, POLLIN, 0 };
                char byte = 0;
                if (poll(&p, 1, 20) > 0 && read(m_master, &byte, 1) == 1) {
                    const std::lock_guard<std::mutex> lock(m_mutex);
                    m_bytes.append(byte);
                    m_times.push_back(Clock::now());
                }
            }
        });
    }
    ~Line()
    {
        m_stop = true;
        m_reader.join();
        close(m_slave);
        close(m_master);
    }
    void send(const QByteArray &bytes) { (void)!write(m_master, bytes.constData(), bytes.size()); }
    QByteArray received()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }
    // Milliseconds between each byte received and the one before.
    std::vector<double> gaps()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<double> out;
        for (size_t i = 1; i < m_times.size(); ++i)
            out.push_back(
                std::chrono::duration<double, std::milli>(m_times[i] - m_times[i - 1]).count());
        return out;
    }

    QString path;

private:
    int m_master = -1;
    int m_slave = -1;
    std::atomic<bool> m_stop { false };
    std::mutex m_mutex;
    QByteArray m_bytes;
    std::vector<Clock::time_point> m_times;
    std::thread m_reader;
};

class Remote : public ::testing::Test
{
protected:
    void start(const QString &ports)
    {
        QString error;
        auto table = PortTable::parse(ports, &error);
        ASSERT_TRUE(table) << error.toStdString();
        app = std::make_unique<Controller>(std::make_unique<QtSerialPort>(*table));
        RemoteServer::Options options;
        options.token = Token;
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
    void listen(QWebSocket &socket, QList<QJsonObject> &messages, const QByteArray &auth = GoodAuth)
    {
        socket.setProxy(QNetworkProxy::NoProxy);
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [&](const QString &text) {
            messages << QJsonDocument::fromJson(text.toUtf8()).object();
        });
        QNetworkRequest request(url("/api/v1/events", "ws"));
        request.setRawHeader("Authorization", auth);
        socket.open(request);
    }

    QTemporaryDir dir;
    QNetworkAccessManager network;
    std::unique_ptr<Controller> app;
    std::unique_ptr<RemoteServer> server;
};

QJsonValue field(const QJsonObject &object, const char *list, int k, const char *name)
{
    return object[QLatin1String(list)].toArray()[k].toObject()[QLatin1String(name)];
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
    EXPECT_EQ(route(1, 1).status, 503);

    QWebSocket events;
    QList<QJsonObject> messages;
    listen(events, messages);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, 5000));
    EXPECT_EQ(messages[0]["link"].toObject()["state"], "searching");

    QProcess sim;
    sim.start(QStringLiteral(MATRIX_SIM_PATH), { "--link", link, "--period", "50" });
    ASSERT_TRUE(sim.waitForReadyRead(5000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return messages.last()["model"] == "4x4"
                && field(messages.last(), "outputs", 1, "input") == 2;
        },
        8000));
    EXPECT_EQ(call("GET", "/api/v1/state").json, messages.last());

    const qsizetype before = messages.size();
    const Reply routed = route(3, 2);
    EXPECT_EQ(routed.status, 202);
    EXPECT_EQ(routed.json["status"], "queued");
    ASSERT_TRUE(QTest::qWaitFor([&] { return messages.size() > before; }, 5000));
    EXPECT_EQ(field(messages.last(), "outputs", 1, "input"), 3);
    // The switcher goes on sending that same state: the socket stays silent.
    QTest::qWait(500);
    EXPECT_EQ(messages.size(), before + 1);
    sim.closeWriteChannel();
    sim.waitForFinished(3000);
}

TEST_F(Remote, RefusesWhatItMustAndSaysWhy)
{
    Line silent;
    start("1=" + silent.path);
    const QByteArray tooLong = R"({"input": 1, "output": 1})" + QByteArray(5000, ' ');
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
        { "GET", "/", "", { { "Authorization", "Basic " + ("x:" + Token).toBase64() } }, 200, "" },
        { "GET", "/api/v1/state", "",
            { { "Authorization", GoodAuth }, { "Origin", "http://evil.example" } }, 403,
            "other origins" },
        { "POST", "/api/v1/route", R"({"input": 9, "output": 1})",
            { { "Authorization", GoodAuth } }, 400, "'input' must be 1 to 4, not 9" },
        { "POST", "/api/v1/route", "{nope", { { "Authorization", GoodAuth } }, 400, "malformed" },
        { "POST", "/api/v1/command", R"({"command": 1})", { { "Authorization", GoodAuth } }, 400,
            "16 or 40" },
        { "POST", "/api/v1/route", tooLong, { { "Authorization", GoodAuth } }, 413,
            "at most 4096" },
        { "POST", "/api/v1/route", QByteArray(30000, ' '), { { "Authorization", GoodAuth } }, 413,
            "larger than" },
        { "POST", "/api/v1/route", R"({"input": 1, "output": 1})",
            { { "Authorization", GoodAuth }, { "Content-Type", "text/plain" } }, 415, "JSON" },
        { "PUT", "/api/v1/route", "", { { "Authorization", GoodAuth } }, 405, "POST" },
        { "GET", "/api/v2/state", "", { { "Authorization", GoodAuth } }, 404, "/api/v1" },
        { "POST", "/api/v1/route", R"({"input": 1, "output": 1})",
            { { "Authorization", GoodAuth } }, 503, "searching" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body.left(40).toStdString());
        const Reply reply = call(c.method, c.path, c.body, c.headers);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_TRUE(reply.json["error"].toString().contains(QLatin1String(c.says)))
            << reply.json["error"].toString().toStdString();
    }

    // A WebSocket without the token is refused, and so is a client that
    // reads on past the refusal: it hears nothing of the state.
    QWebSocket refused;
    QList<QJsonObject> messages;
    listen(refused, messages, "Bearer nope");
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
    QTest::qWait(200);
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_EQ(server->clients(), 0);
    EXPECT_EQ(call("GET", "/api/v1/state").status, 200);
}

TEST_F(Remote, RoutesWaitForThePanelsFrameAndGoOutWholeAndPaced)
{
    Line line;
    start("1=" + line.path);
    QTimer switcher;
    QObject::connect(&switcher, &QTimer::timeout, [&] { line.send(statusFrame()); });
    switcher.start(50);
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->state().linkUp(); }, 5000));

    // Input 2 to output D picked on the panel; while that frame is on the
    // line, input 3 to output B comes through the interface.
    for (const int picture : { 3, 15 }) {
        app->panel().Picture1_MouseDown(picture, Form3::LeftButton, 0, 100, 100);
        app->panel().Picture1_MouseUp(picture, Form3::LeftButton, 0, 100, 100);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !line.received().isEmpty(); }, 5000));
    EXPECT_EQ(route(3, 2).status, 202);
    ASSERT_TRUE(QTest::qWaitFor([&] { return line.received().size() >= 8; }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(line.received(),
        CommandFrame::bytes(CommandFrame::route(2, 4))
            + CommandFrame::bytes(CommandFrame::route(3, 2)));
    // Paced, not in a burst (the 50 ms themselves are the benchmark's).
    for (const double gap : line.gaps())
        EXPECT_GT(gap, 30);

    // One frame on the line and eight waiting; the queue then says 429 until
    // one has gone. Those taken go out whole and in order.
    QByteArray expected = line.received();
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
    EXPECT_TRUE(QTest::qWaitFor([&] { return line.received().size() >= expected.size(); }, 10000));
    QTest::qWait(100);
    EXPECT_EQ(line.received().toHex(' '), expected.toHex(' '));
}
