// The bridge on a real broker: a mosquitto of the test's own on a free
// loopback port, the bridge on a fake router, and on the other side a
// client that sees what Home Assistant would. Skipped (77) where mosquitto
// is not installed.
#include "fake_router.h"
#include "mqtt/mqtt_bridge.h"
#include "session/state_json.h"
#include "sim_process.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

const char Mosquitto[] = "/usr/sbin/mosquitto";
constexpr int WaitMs = 10000;

bool write(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitCode() == 0;
}

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// A broker on 127.0.0.1 with `extra` lines of configuration.
class Broker
{
public:
    explicit Broker(const QString &dir, const QByteArray &extra = {})
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        m_config = dir + "/mosquitto.conf";
        // As root mosquitto would become the user mosquitto, who cannot
        // read the test's files.
        write(m_config, "listener " + QByteArray::number(port) + " 127.0.0.1\nuser root\n" + extra);
        start();
    }
    ~Broker() { stop(); }

    void start()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QLatin1String(Mosquitto), { "-c", m_config });
        QTcpSocket socket;
        const bool listening = QTest::qWaitFor(
            [&] {
                socket.abort();
                socket.connectToHost(QHostAddress::LocalHost, port);
                return socket.waitForConnected(100);
            },
            WaitMs);
        EXPECT_TRUE(listening) << "mosquitto does not listen";
    }
    void stop()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    quint16 port = 0;

private:
    QString m_config;
    QProcess m_process;
};

// The other side: subscribes to everything and keeps what it hears.
struct Peer
{
    explicit Peer(MqttClient::Options options)
        : client((options.clientId = "peer", options))
    {
        QObject::connect(&client, &MqttClient::connected, [this] { client.subscribe("#", 1); });
        QObject::connect(&client, &MqttClient::message,
            [this](const QString &topic, const QByteArray &payload, bool) {
                seen.emplace_back(topic, payload);
            });
        QString error;
        client.start(&error);
    }
    explicit Peer(quint16 port)
        : Peer(local(port))
    {
    }
    static MqttClient::Options local(quint16 port)
    {
        MqttClient::Options options;
        options.host = "127.0.0.1";
        options.port = port;
        return options;
    }

    bool heard(const QString &topic, const QByteArray &payload) const
    {
        return std::find(seen.begin(), seen.end(), std::pair(topic, payload)) != seen.end();
    }
    bool waitFor(const QString &topic, const QByteArray &payload)
    {
        return QTest::qWaitFor([&] { return heard(topic, payload); }, WaitMs);
    }

    MqttClient client;
    std::vector<std::pair<QString, QByteArray>> seen;
};

MqttSettings on(quint16 port)
{
    MqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    return settings;
}

class MqttBroker : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!QFile::exists(QLatin1String(Mosquitto))) {
            std::printf("mqtt_broker_test: SKIPPED: mosquitto is not installed\n");
            std::fflush(stdout);
            std::_Exit(77);
        }
        ASSERT_TRUE(dir.isValid());
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(MqttBroker, HomeAssistantSeesTheSwitcherAndItsCommandsReachTheRouter)
{
    Broker broker(dir.path(), "allow_anonymous true\n");
    FakeRouter router;
    router.nameTable.inputs[2] = "Camera";
    router.presetList = { { 7, "Evening", { { 1, 2 } } } };
    MqttBridge bridge(router, on(broker.port), "Room 1", "ROOM1");
    QString error;
    ASSERT_TRUE(bridge.start(&error)) << error.toStdString();
    Peer peer(broker.port);
    const MqttTopics &t = bridge.topics();
    ASSERT_TRUE(peer.waitFor(t.availability, "online"));
    for (const MqttMessage &m : discoveryMessages(
             { "ROOM1", "Room 1", router.model, router.nameTable, { { 7, "Evening" } } },
             "homeassistant"))
        EXPECT_TRUE(peer.waitFor(m.topic, m.payload)) << m.topic.toStdString();
    EXPECT_TRUE(peer.waitFor(t.state, json(stateJson(router))));

    // What a select sends; the state follows the switcher, not the request.
    peer.client.publish(t.output(2), "Camera", 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !router.routes.empty(); }, WaitMs));
    EXPECT_EQ(router.routes, (std::vector<Route> { { 3, 2 } }));
    // What the preset's button sends.
    peer.client.publish(t.preset(7), "PRESS", 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !router.recalled.empty(); }, WaitMs));
    EXPECT_EQ(router.recalled, std::vector<int> { 7 });
    ShownState before = router.shownState;
    router.shownState.shownInput[1] = 3;
    router.change(RouterChange::Routing, before);
    EXPECT_TRUE(peer.waitFor(t.state, json(stateJson(router))));
    before = router.shownState;
    router.shownState.linkUp = false;
    router.shownState.model = SwitcherModel::None;
    router.change(RouterChange::Link, before);
    const QByteArray searching = json(stateJson(router));
    EXPECT_TRUE(searching.contains(R"("state":"searching")"));
    EXPECT_TRUE(peer.waitFor(t.state, searching));

    // Garbage gives errors and no command; the bridge goes on.
    peer.client.publish(t.output(1), QByteArray("\x00\xff\x10", 3), 1);
    peer.client.publish(t.output(1), QByteArray(1 << 20, 'x'), 1);
    peer.client.publish(t.output(1), "Input 9", 1);
    peer.client.publish(t.base + "/output/E/set", "1", 1);
    peer.client.publish(t.command, "17", 1);
    peer.client.publish(t.command, "40", 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !router.commands.empty(); }, WaitMs));
    EXPECT_EQ(router.commands, std::vector<uint8_t> { 40 });
    EXPECT_EQ(router.routes.size(), 1u);
    EXPECT_TRUE(peer.waitFor(
        t.error, json({ { "topic", t.output(1) }, { "error", "the payload is not UTF-8 text" } })));
    EXPECT_TRUE(peer.waitFor(
        t.error, json({ { "topic", t.command }, { "error", "'17' is neither 16 nor 40" } })));
    EXPECT_TRUE(peer.waitFor(t.error,
        json({ { "topic", t.base + "/output/E/set" }, { "error", "no such command topic" } })));

    // A refusal of the router's is told as it stands.
    router.refuse = Refusal { Refusal::Held, "output B is held by another client" };
    peer.client.publish(t.output(2), "1", 1);
    EXPECT_TRUE(peer.waitFor(t.error,
        json({ { "topic", t.output(2) }, { "error", "output B is held by another client" } })));

    // The 4x2 turns up: outputs C and D leave Home Assistant; a new name
    // changes the options; the preset deleted loses its button.
    router.model = SwitcherModel::TwoOutput;
    router.nameTable.inputs[0] = "Laptop";
    router.presetList.clear();
    router.change(
        RouterChange::Link | RouterChange::NamesChanged | RouterChange::Presets, router.shownState);
    EXPECT_TRUE(peer.waitFor("homeassistant/button/matrix-panel-ROOM1/preset_7/config", ""));
    const std::vector<MqttMessage> two = discoveryMessages(
        { "ROOM1", "Room 1", router.model, router.nameTable, {} }, "homeassistant");
    EXPECT_TRUE(peer.waitFor(two[0].topic, two[0].payload));
    EXPECT_TRUE(two[0].payload.contains("Laptop"));
    EXPECT_TRUE(peer.waitFor(two[2].topic, ""));
    EXPECT_TRUE(peer.waitFor(two[3].topic, ""));

    // Home Assistant started again: it is told everything again.
    peer.seen.clear();
    peer.client.publish("homeassistant/status", "online", 1);
    EXPECT_TRUE(peer.waitFor(two[4].topic, two[4].payload));

    bridge.stop();
    EXPECT_TRUE(peer.waitFor(t.availability, "offline"));
}

TEST_F(MqttBroker, ABrokerRestartIsSurvivedAndAKilledBridgeLeavesItsWill)
{
    Broker broker(dir.path(), "allow_anonymous true\n");
    FakeRouter router;
    MqttBridge bridge(router, on(broker.port), "Room 1", "ROOM1");
    QString error;
    ASSERT_TRUE(bridge.start(&error));
    Peer peer(broker.port);
    const MqttTopics &t = bridge.topics();
    ASSERT_TRUE(peer.waitFor(t.availability, "online"));

    // Without persistence the broker forgets everything retained.
    broker.stop();
    peer.seen.clear();
    broker.start();
    const MqttMessage link = discoveryMessages(
        { "ROOM1", "Room 1", router.model, router.nameTable, {} }, "homeassistant")[4];
    EXPECT_TRUE(peer.waitFor(t.availability, "online"));
    EXPECT_TRUE(peer.waitFor(link.topic, link.payload));
    EXPECT_TRUE(peer.waitFor(t.state, json(stateJson(router))));
}

TEST_F(MqttBroker, APasswordAndTlsWithTheSitesCa)
{
    const QString d = dir.path();
    ASSERT_TRUE(run("mosquitto_passwd", { "-c", "-b", d + "/passwords", "panel", "s3cret" }));
    const QStringList ec
        = { "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes" };
    ASSERT_TRUE(run("openssl",
        QStringList { "req", "-x509", "-days", "1", "-subj", "/CN=Test CA", "-keyout",
            d + "/ca.key", "-out", d + "/ca.crt" }
            + ec));
    ASSERT_TRUE(run("openssl",
        QStringList { "req", "-subj", "/CN=localhost", "-keyout", d + "/server.key", "-out",
            d + "/server.csr" }
            + ec));
    write(d + "/san", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    ASSERT_TRUE(run("openssl",
        { "x509", "-req", "-days", "1", "-in", d + "/server.csr", "-CA", d + "/ca.crt", "-CAkey",
            d + "/ca.key", "-CAcreateserial", "-extfile", d + "/san", "-out", d + "/server.crt" }));
    Broker broker(d,
        "allow_anonymous false\npassword_file " + d.toUtf8() + "/passwords\ncafile " + d.toUtf8()
            + "/ca.crt\ncertfile " + d.toUtf8() + "/server.crt\nkeyfile " + d.toUtf8()
            + "/server.key\n");

    QString error;
    const std::optional<MqttSettings> settings
        = mqttSettings({ QStringLiteral("mqtts://panel@localhost:%1").arg(broker.port),
                           d + "/ca.crt", QString("s3cret"), QString("TLS"), {} },
            &error);
    ASSERT_TRUE(settings) << error.toStdString();
    FakeRouter router;
    MqttBridge bridge(router, *settings, "Room 1", settings->id);
    ASSERT_TRUE(bridge.start(&error)) << error.toStdString();
    MqttClient::Options options = Peer::local(broker.port);
    options.host = "localhost";
    options.username = "panel";
    options.password = "s3cret";
    options.tls = true;
    options.caFile = d + "/ca.crt";
    Peer peer(options);
    EXPECT_TRUE(peer.waitFor("matrix-panel/TLS/availability", "online"));
    peer.client.publish("matrix-panel/TLS/output/A/set", "4", 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !router.routes.empty(); }, WaitMs));
}

TEST_F(MqttBroker, TwoBridgesOnOneBrokerAreKeptApart)
{
    Broker broker(dir.path(), "allow_anonymous true\n");
    FakeRouter room1, room2;
    MqttBridge bridge1(room1, on(broker.port), "Room 1", "ROOM1");
    MqttBridge bridge2(room2, on(broker.port), "Room 2", "ROOM2");
    QString error;
    ASSERT_TRUE(bridge1.start(&error) && bridge2.start(&error));
    Peer peer(broker.port);
    ASSERT_TRUE(peer.waitFor(bridge1.topics().availability, "online"));
    ASSERT_TRUE(peer.waitFor(bridge2.topics().availability, "online"));
    peer.client.publish(bridge2.topics().output(1), "2", 1);
    peer.client.publish(bridge1.topics().output(1), "4", 1);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !room1.routes.empty() && !room2.routes.empty(); }, WaitMs));
    EXPECT_EQ(room1.routes, (std::vector<Route> { { 4, 1 } }));
    EXPECT_EQ(room2.routes, (std::vector<Route> { { 2, 1 } }));
}

// The program itself, headless, on the broker and a simulated switcher: a
// route chosen in a select reaches the switcher as its frame, and what the
// switcher then reports, or changes by itself, comes back on the state.
TEST_F(MqttBroker, TheProgramRoutesFromASelectAndReportsTheSwitcher)
{
    Broker broker(dir.path(), "allow_anonymous true\n");
    SimProcess sim;
    ASSERT_TRUE(sim.start(dir.filePath("line")));
    ASSERT_TRUE(write(dir.filePath("room.conf"), "mqtt-id=room1\n"));
    QProcess panel;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MATRIX_PANEL_PORTS", "1=" + dir.filePath("line"));
    environment.insert("XDG_DATA_HOME", dir.filePath("data"));
    panel.setProcessEnvironment(environment);
    panel.setProcessChannelMode(QProcess::ForwardedChannels);
    panel.start(QStringLiteral(MATRIX_PANEL_PATH),
        { "--headless", "--settings", dir.filePath("room.conf"), "--mqtt",
            QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port) });
    Peer peer(broker.port);
    const MqttTopics t(QStringLiteral("room1"));
    const auto shows = [&](int output, int input) {
        return QTest::qWaitFor(
            [&] {
                for (auto it = peer.seen.rbegin(); it != peer.seen.rend(); ++it) {
                    if (it->first == t.state) {
                        const QJsonObject state = QJsonDocument::fromJson(it->second).object();
                        return state["outputs"].toArray()[output - 1].toObject()["input"] == input;
                    }
                }
                return false;
            },
            WaitMs);
    };
    ASSERT_TRUE(shows(2, 2)) << "the switcher's own routing, once the link is up";
    peer.client.publish(t.output(2), "3", 1);
    EXPECT_TRUE(shows(2, 3));
    sim.say("route 4 1");
    EXPECT_TRUE(shows(1, 4));
    panel.terminate();
    EXPECT_TRUE(panel.waitForFinished(5000));
    EXPECT_TRUE(peer.waitFor(t.availability, "offline"));

    // Killed, it cannot say so: the broker does, with its last will.
    peer.seen.clear();
    panel.start();
    EXPECT_TRUE(peer.waitFor(t.availability, "online"));
    panel.kill();
    panel.waitForFinished();
    EXPECT_TRUE(peer.waitFor(t.availability, "offline"));
}
