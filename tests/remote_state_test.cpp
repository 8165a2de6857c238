// The remote interface's pure half: what it reports and what it accepts.
#include "core/command_frame.h"
#include "core/controller_state.h"
#include "remote/remote_state.h"

#include <QJsonArray>
#include <QRandomGenerator>
#include <gtest/gtest.h>

namespace {

struct BodyCase
{
    const char *body;
    int outputs;
    int command; // -1: refused with a message containing `error`
    const char *error;
};

const BodyCase RouteCases[] = {
    { R"({"input": 3, "output": "B"})", 4, CommandFrame::route(3, 2), "" },
    { R"({"output": 4, "input": 1})", 4, CommandFrame::route(1, 4), "" },
    { R"({"input": "2", "output": "d"})", 4, CommandFrame::route(2, 4), "" },
    { R"({"input": 4.0, "output": "2"})", 2, CommandFrame::route(4, 2), "" },
    { R"({"input": 0, "output": 1})", 4, -1, "'input' must be 1 to 4, not 0" },
    { R"({"input": 2.5, "output": 1})", 4, -1, "not 2.5" },
    { R"({"input": true, "output": 1})", 4, -1, "not true" },
    { R"({"input": "B", "output": 1})", 4, -1, "not \"B\"" },
    { R"({"input": 1, "output": "E"})", 4, -1, "'output' must be 1 to 4 or A to D" },
    { R"({"input": 1, "output": "C"})", 2, -1, "1, 2, A or B on this two-output" },
    { R"({"input": 1, "output": null})", 4, -1, "not null" },
    { R"({"input": 1, "output": [1]})", 4, -1, "not an array" },
    { R"({"input": 1})", 4, -1, "'output' is missing" },
    { R"({"input": 1, "output": 1, "x": 0})", 4, -1, "unknown field 'x'" },
    { R"({"input": 1, "output": 1)", 4, -1, "malformed JSON at byte" },
    { "[1, 2]", 4, -1, "must be a JSON object" },
    { "  ", 4, -1, "the body is empty" },
};

const BodyCase CommandCases[] = {
    { R"({"command": 16})", 4, 16, "" },
    { R"({"command": 40})", 4, 40, "" },
    { R"({"command": 17})", 4, -1, "'command' must be 16 or 40, not 17" },
    { R"({"command": "16"})", 4, -1, "not \"16\"" },
    { R"({"input": 1})", 4, -1, "unknown field 'input'" },
};

void expectParsed(const BodyCase &c, const RemoteCommand &parsed)
{
    if (c.command >= 0) {
        EXPECT_EQ(parsed.command, std::optional<uint8_t>(uint8_t(c.command)));
        EXPECT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString();
    } else {
        EXPECT_FALSE(parsed.command);
        EXPECT_TRUE(parsed.error.contains(QLatin1String(c.error))) << parsed.error.toStdString();
    }
}

} // namespace

TEST(RemoteRequests, RouteAndCommandBodies)
{
    for (const BodyCase &c : RouteCases) {
        SCOPED_TRACE(c.body);
        expectParsed(c, parseRoute(c.body, c.outputs));
    }
    for (const BodyCase &c : CommandCases) {
        SCOPED_TRACE(c.body);
        expectParsed(c, parseCommand(c.body));
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

TEST(RemoteRequests, ListenAddresses)
{
    const struct
    {
        const char *text;
        const char *address; // nullptr: refused
        int port;
    } cases[] = {
        { "8080", "127.0.0.1", 8080 },
        { "0.0.0.0:80", "0.0.0.0", 80 },
        { "localhost:0", "127.0.0.1", 0 },
        { "[::1]:9000", "::1", 9000 },
        { "::1:9000", nullptr, 0 },
        { "host:80", nullptr, 0 },
        { "127.0.0.1:65536", nullptr, 0 },
        { "", nullptr, 0 },
    };
    for (const auto &c : cases) {
        QString error;
        const std::optional<ListenAddress> parsed = parseListenAddress(c.text, &error);
        ASSERT_EQ(parsed.has_value(), c.address != nullptr) << c.text;
        if (parsed) {
            EXPECT_EQ(parsed->address, QHostAddress(QString::fromLatin1(c.address))) << c.text;
            EXPECT_EQ(parsed->port, c.port) << c.text;
        } else {
            EXPECT_FALSE(error.isEmpty()) << c.text;
        }
    }
}

TEST(RemoteRequests, TokensAndOrigins)
{
    EXPECT_EQ(tokenOf("Bearer s3cret"), "s3cret");
    EXPECT_EQ(tokenOf("bearer  s3cret "), "s3cret");
    EXPECT_EQ(tokenOf("Basic " + QByteArray("user:s3:cret").toBase64()), "s3:cret");
    EXPECT_EQ(tokenOf("Basic %%%"), "");
    EXPECT_EQ(tokenOf("s3cret"), "");
    EXPECT_TRUE(sameToken("s3cret", "s3cret"));
    EXPECT_FALSE(sameToken("s3cre", "s3cret"));
    EXPECT_FALSE(sameToken("", ""));

    EXPECT_FALSE(refusedOrigin("127.0.0.1:8080", "", true));
    EXPECT_FALSE(refusedOrigin("localhost:8080", "http://localhost:8080", true));
    EXPECT_FALSE(refusedOrigin("[::1]:8080", "", true));
    EXPECT_TRUE(refusedOrigin("evil.example:8080", "", true));
    EXPECT_TRUE(refusedOrigin("127.0.0.1:8080", "http://evil.example", true));
    EXPECT_FALSE(refusedOrigin("panel.lan:8080", "http://panel.lan:8080", false));
    EXPECT_TRUE(refusedOrigin("panel.lan:8080", "null", false));
}

TEST(RemoteState, TheNumbersThePanelShows)
{
    ControllerState state;
    state.linkMark = ControllerState::LinkAlive;
    state.matrixModel = 2;
    state.powerState = 1;
    state.inputFlags[2] = 1;
    state.outputFlags[1] = 1;
    const std::array<QString, 4> captions { "Label 2", "Input 3", "Input 4", "Input 1" };

    RemoteSnapshot s = snapshotOf(state, 3, "/dev/ttyS2", captions);
    const QJsonObject json = toJson(s);
    EXPECT_EQ(json["link"].toObject()["state"], "up");
    EXPECT_EQ(json["link"].toObject()["port"], 3);
    EXPECT_EQ(json["model"], "4x2");
    EXPECT_EQ(json["power"], "on");
    const QJsonArray outputs = json["outputs"].toArray();
    ASSERT_EQ(outputs.size(), 2);
    EXPECT_TRUE(outputs[0].toObject()["input"].isNull());
    EXPECT_EQ(outputs[1].toObject(),
        (QJsonObject { { "output", "B" }, { "number", 2 }, { "input", 3 }, { "active", true } }));
    EXPECT_EQ(json["inputs"].toArray()[2].toObject()["active"], true);
    EXPECT_EQ(json["inputs"].toArray()[1].toObject()["active"], false);

    // In standby the panel greys every button; with the link down it knows
    // no model either.
    state.powerState = 0;
    s = snapshotOf(state, 3, "/dev/ttyS2", captions);
    EXPECT_EQ(toJson(s)["power"], "standby");
    EXPECT_FALSE(s.inputLit[2] || s.outputLit[1]);
    state.linkMark = 0;
    state.powerState = 1;
    s = snapshotOf(state, 4, "/dev/ttyS3", captions);
    EXPECT_EQ(toJson(s)["link"].toObject()["state"], "searching");
    EXPECT_EQ(toJson(s)["model"], "none");
    EXPECT_EQ(toJson(s)["outputs"].toArray().size(), 4);
    EXPECT_FALSE(s.inputLit[2] || s.outputLit[1]);
    EXPECT_NE(s, snapshotOf(state, 5, "/dev/ttyUSB0", captions));
}
