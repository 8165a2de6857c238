// The remote interface's pure half: what it reports and what it accepts.
#include "core/controller_state.h"
#include "fake_router.h"
#include "net/connection_gate.h"
#include "net/listen_address.h"
#include "remote/remote_state.h"
#include "session/state_json.h"

#include <QJsonArray>
#include <QRandomGenerator>
#include <gtest/gtest.h>

TEST(RemoteRequests, RouteAndCommandBodies)
{
    const struct
    {
        const char *body;
        int outputs; // 0: a command body
        int command; // -1: refused, saying `error`
        const char *error;
    } cases[] = {
        { R"({"input": 3, "output": "B"})", 4, 6, "" },
        { R"({"output": 4, "input": "2"})", 4, 13, "" },
        { R"({"input": 4.0, "output": "b"})", 2, 7, "" },
        { R"({"input": 0, "output": 1})", 4, -1, "'input' must be 1 to 4, not 0" },
        { R"({"input": 2.5, "output": 1})", 4, -1, "not 2.5" },
        { R"({"input": 1, "output": "E"})", 4, -1, "'output' must be 1 to 4 or A to D, not \"E\"" },
        { R"({"input": 1, "output": "C"})", 2, -1, "1, 2, A or B on this two-output" },
        { R"({"input": 1, "output": [1]})", 4, -1, "not an array" },
        { R"({"input": 1})", 4, -1, "'output' is missing" },
        { R"({"input": 1, "output": 1, "x": 0})", 4, -1, "unknown field 'x'" },
        { R"({"input": 1, "output": 1)", 4, -1, "malformed JSON at byte" },
        { "[1, 2]", 4, -1, "must be a JSON object" },
        { "  ", 4, -1, "the body is empty" },
        { R"({"command": 40})", 0, 40, "" },
        { R"({"command": 17})", 0, -1, "'command' must be 16 or 40, not 17" },
    };
    for (const auto &c : cases) {
        const RemoteCommand parsed
            = c.outputs ? parseRoute(c.body, c.outputs) : parseCommand(c.body);
        EXPECT_EQ(parsed.command ? int(*parsed.command) : -1, c.command) << c.body;
        EXPECT_TRUE(parsed.error.contains(QLatin1String(c.error))) << parsed.error.toStdString();
    }
}

TEST(RemoteRequests, MangledBodiesAreRefusedWithAMessage)
{
    // Bytes of good bodies dropped, doubled and replaced at random: each is
    // either a command or a refusal that says why, never both or neither.
    QRandomGenerator random(12);
    const QByteArray good[] = { R"({"input": 3, "output": "B"})", R"({"command": 40})" };
    for (int i = 0; i < 20000; ++i) {
        QByteArray body = good[i % 2];
        for (int edits = 1 + random.bounded(4); edits > 0; --edits) {
            const int at = random.bounded(int(body.size()));
            const int how = random.bounded(3);
            if (how == 0)
                body.remove(at, 1);
            else if (how == 1)
                body.insert(at, body.at(at));
            else
                body[at] = char(random.bounded(256));
        }
        const RemoteCommand parsed = i % 2 ? parseCommand(body) : parseRoute(body, 4);
        ASSERT_NE(parsed.command.has_value(), !parsed.error.isEmpty()) << body.toStdString();
    }
}

TEST(RemoteRequests, ListenAddressesTokensAndOrigins)
{
    const std::pair<const char *, const char *> listen[]
        = { { "8080", "127.0.0.1:8080" }, { "0.0.0.0:80", "0.0.0.0:80" },
              { "localhost:0", "127.0.0.1:0" }, { "[::1]:9000", "::1:9000" }, { "::1:9000", "" },
              { "host:80", "" }, { "127.0.0.1:65536", "" } };
    for (const auto &[text, expected] : listen) {
        QString error;
        const std::optional<ListenAddress> parsed = parseListenAddress(text, &error);
        EXPECT_EQ(parsed ? parsed->address.toString() + ':' + QString::number(parsed->port) : "",
            expected);
        EXPECT_EQ(error.isEmpty(), parsed.has_value()) << text;
    }

    EXPECT_EQ(tokenOf("bearer  s3cret "), "s3cret");
    EXPECT_EQ(tokenOf("Basic " + QByteArray("user:s3:cret").toBase64()), "s3:cret");
    EXPECT_EQ(tokenOf("Basic %%%"), "");
    EXPECT_EQ(tokenOf("s3cret"), "");
    EXPECT_TRUE(sameToken("s3cret", "s3cret"));
    EXPECT_FALSE(sameToken("s3cre", "s3cret"));
    EXPECT_FALSE(sameToken("", ""));

    // On loopback, a Host is a loopback name and an optional port, nothing
    // else.
    const std::pair<QByteArray, bool> hosts[] = { { "localhost:8080", true },
        { "[::1]:8080", true }, { "127.0.0.1", true }, { "LOCALHOST", true },
        { "evil.example:8080", false }, { "evil.example@localhost", false },
        { "127.0.0.1/evil", false }, { "127.0.0.1:99999", false }, { "127.0.0.1:", false },
        { QByteArray("127.0.0.1\0evil", 14), false }, { "[::1", false }, { "", false } };
    for (const auto &[host, fine] : hosts)
        EXPECT_EQ(!refusedOrigin(host, "", true), fine) << host.toStdString();
    EXPECT_TRUE(isJson("Application/JSON; charset=utf-8"));
    EXPECT_FALSE(isJson("application/jsonx"));
    EXPECT_FALSE(refusedOrigin("localhost:8080", "http://localhost:8080", true));
    EXPECT_TRUE(refusedOrigin("127.0.0.1:8080", "http://evil.example", true));
    EXPECT_FALSE(refusedOrigin("panel.lan:8080", "http://panel.lan:8080", false));

    // Allow-lists: loopback always, then the networks named.
    QString error;
    const std::optional<AllowList> allow
        = AllowList::parse(" 192.168.1.0/24,10.0.0.7,fd00::/8", &error);
    ASSERT_TRUE(allow) << error.toStdString();
    const std::pair<const char *, bool> peers[] = { { "127.0.0.1", true }, { "::1", true },
        { "::ffff:127.0.0.1", true }, { "192.168.1.200", true }, { "::ffff:192.168.1.9", true },
        { "192.168.2.1", false }, { "10.0.0.7", true }, { "10.0.0.8", false }, { "fd12::1", true },
        { "fe80::1", false } };
    for (const auto &[peer, admitted] : peers)
        EXPECT_EQ(allow->admits(QHostAddress(QLatin1String(peer))), admitted) << peer;
    EXPECT_TRUE(AllowList().admits(QHostAddress("203.0.113.5")));
    for (const char *bad :
        { "", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/-1", "host.lan", "10.0.0.1,," }) {
        error.clear();
        EXPECT_FALSE(AllowList::parse(QLatin1String(bad), &error)) << bad;
        EXPECT_TRUE(error.contains("CIDR") || error.contains("empty entry")) << error.toStdString();
    }
}

TEST(RemoteState, TheNumbersThePanelShows)
{
    ControllerState state;
    state.linkMark = ControllerState::LinkAlive;
    state.matrixModel = 2;
    state.powerState = 1;
    state.inputFlags[2] = 1;
    state.outputFlags[1] = 1;
    state.outputSource2 = 4;
    FakeRouter router;
    router.nameTable.outputs[1] = "Projector";
    router.portNumber = 3;
    router.deviceName = "/dev/ttyS2";
    const auto json = [&] {
        router.shownState = shownStateOf(state, router.shownState);
        return stateJson(router);
    };

    const QJsonObject up = json();
    EXPECT_EQ(up["link"].toObject(),
        (QJsonObject { { "state", "up" }, { "port", 3 }, { "device", "/dev/ttyS2" } }));
    EXPECT_EQ(up["model"], "4x2");
    EXPECT_EQ(up["power"], "on");
    EXPECT_EQ(up["outputs"].toArray(),
        (QJsonArray { QJsonObject { { "output", "A" }, { "number", 1 }, { "input", QJsonValue() },
                          { "active", false }, { "name", "Output A" } },
            QJsonObject { { "output", "B" }, { "number", 2 }, { "input", 3 }, { "active", true },
                { "name", "Projector" } } }));
    EXPECT_EQ(up["inputs"].toArray()[2].toObject()["active"], true);
    EXPECT_EQ(up["inputs"].toArray()[1].toObject()["active"], false);

    // In standby the panel greys every button; with the link down it knows
    // no model either.
    state.powerState = 0;
    EXPECT_EQ(json()["power"], "standby");
    EXPECT_EQ(json()["outputs"].toArray()[1].toObject()["active"], false);
    EXPECT_EQ(json()["outputs"].toArray()[1].toObject()["input"], 3) << "the caption stays";
    EXPECT_EQ(json()["inputs"].toArray()[2].toObject()["active"], false);
    state.linkMark = 0;
    state.powerState = 1;
    EXPECT_EQ(json()["link"].toObject()["state"], "searching");
    EXPECT_EQ(json()["model"], "none");
    EXPECT_EQ(json()["outputs"].toArray().size(), 4);
    EXPECT_EQ(json()["inputs"].toArray()[2].toObject()["active"], false);
}
