// The router-protocol server on its own: VideohubServer on a fake router, on
// 127.0.0.1 at a free port, with socket clients as control software is.
#include "fake_router.h"
#include "session/state_json.h"
#include "videohub/videohub_server.h"
#include "videohub_client.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

namespace {

class VideohubService : public ::testing::Test
{
protected:
    void SetUp() override
    {
        router.shownState.shownInput = { 2, 1, 3, 4 };
        QString error;
        ASSERT_TRUE(server.listen(&error)) << error.toStdString();
    }
    // A client past its prelude; the first is client 1, the next 2.
    std::unique_ptr<VideohubClient> client()
    {
        auto c = std::make_unique<VideohubClient>(server.serverPort());
        EXPECT_TRUE(c->hears("END PRELUDE:\n\n"));
        c->mark = c->heard.size();
        return c;
    }
    // The device block on a live link with `outputs` outputs.
    QByteArray device(int outputs)
    {
        return "VIDEOHUB DEVICE:\nDevice present: true\nModel name: matrix-panel 4x"
            + QByteArray::number(outputs) + "\nFriendly name: " + server.friendlyName().toUtf8()
            + "\nUnique ID: " + uniqueIdOf("/dev/pts/9").toLatin1()
            + "\nVideo inputs: 4\nVideo processing units: 0\nVideo outputs: "
            + QByteArray::number(outputs) + "\nVideo monitoring outputs: 0\nSerial ports: 0\n\n";
    }
    FakeRouter router;
    VideohubServer server { router, {} };
};

} // namespace

// The prelude is what the router reports, each client's own locks as O and
// others' as L; then each block is answered, asking the router as it must.
TEST_F(VideohubService, ThePreludeThenEachBlockAnsweredAskingTheRouter)
{
    router.nameTable.inputs[2] = "Laptop";
    router.lockTable.set(2, 1);
    router.lockTable.set(3, 77);
    VideohubClient a(server.serverPort());
    EXPECT_TRUE(a.says("",
        "PROTOCOL PREAMBLE:\nVersion: 2.8\n\n" + device(4)
            + "INPUT LABELS:\n0 Input 1\n"
              "1 Input 2\n2 Laptop\n3 Input 4\n\nOUTPUT LABELS:\n0 Output A\n1 Output B\n"
              "2 Output C\n3 Output D\n\nVIDEO OUTPUT LOCKS:\n0 U\n1 U\n2 O\n3 L\n\n"
              "VIDEO OUTPUT ROUTING:\n0 1\n1 0\n2 2\n3 3\n\nCONFIGURATION:\nTake Mode: false\n\n"
              "END PRELUDE:\n\n"))
        << a.last;
    const std::optional<Refusal::Kind> none;
    const QByteArray route = "VIDEO OUTPUT ROUTING:\n1 2\n\n";
    const struct
    {
        QByteArray request;
        std::optional<Refusal::Kind> refuse;
        QByteArray answer;
        const char *asked;
    } cases[] = {
        { "PING:\n\n", none, "ACK\n\n", "" },
        { "VIDEO OUTPUT ROUTING:\n\n", none, "ACK\n\nVIDEO OUTPUT ROUTING:\n0 1\n1 0\n2 2\n3 3\n\n",
            "" },
        { "VIDEO OUTPUT LOCKS:\n\n", none, "ACK\n\nVIDEO OUTPUT LOCKS:\n0 U\n1 U\n2 O\n3 L\n\n",
            "" },
        { "OUTPUT LABELS:\n\n", none,
            "ACK\n\nOUTPUT LABELS:\n0 Output A\n1 Output B\n2 Output C\n3 Output D\n\n", "" },
        { "VIDEO OUTPUT ROUTING:\r\n1 2\r\n\r\n", none, "ACK\n\n", "3>2/1" },
        { "VIDEO OUTPUT ROUTING:\n2 0\n3 1\n\n", none, "ACK\n\n", "1>3/1 2>4/1" },
        { route, Refusal::NoLink, "NAK\n\n", "" },
        { route, Refusal::Held, "NAK\n\n", "" },
        { route, Refusal::NotOnModel, "NAK\n\n", "" },
        { route, Refusal::QueueFull, "NAK\n\n", "" },
        { route, Refusal::Invalid, "NAK\n\n", "" },
        { "VIDEO OUTPUT ROUTING:\n0 4\n\n", none, "NAK\n\n", "" },
        { "SERIAL PORT ROUTING:\n0 1\n\n", none, "NAK\n\n", "" },
        { "INPUT LABELS:\n2 Laptop\n\nOUTPUT LABELS:\n1 Projector\n\n", none, "ACK\n\nACK\n\n",
            "in3=Laptop out2=Projector" },
        { "INPUT LABELS:\n0 Cam\n\n", Refusal::Invalid, "NAK\n\n", "in1=Cam" },
        { "VIDEO OUTPUT LOCKS:\n0 O\n1 U\n3 F\n\n", none, "ACK\n\n", "1O/1 2U/1 4F/1" },
        { "VIDEO OUTPUT LOCKS:\n1 O\n\n", Refusal::Held, "NAK\n\n", "2O/1" },
    };
    for (const auto &c : cases) {
        router.refuse.reset();
        if (c.refuse)
            router.refuse = Refusal { *c.refuse, QStringLiteral("no") };
        EXPECT_TRUE(a.says(c.request, c.answer)) << c.request.toStdString() << a.last;
        EXPECT_EQ(router.asked(), c.asked) << c.request.toStdString();
    }
}

TEST_F(VideohubService, WhatChangesIsPushedToEachClientAsItSeesIt)
{
    const auto a = client();
    const auto b = client();
    const auto pushed = [&](const QByteArray &toA, const QByteArray &toB) {
        EXPECT_TRUE(a->says("", toA)) << a->last;
        EXPECT_TRUE(b->says("", toB)) << b->last;
    };
    const ShownState before = router.shownState;
    router.shownState.shownInput[1] = 3;
    router.change(RouterChange::Routing, before);
    pushed("VIDEO OUTPUT ROUTING:\n1 2\n\n", "VIDEO OUTPUT ROUTING:\n1 2\n\n");

    const Names names = router.nameTable;
    router.nameTable.inputs[2] = "Laptop";
    router.change(RouterChange::NamesChanged, router.shownState, names);
    pushed("INPUT LABELS:\n2 Laptop\n\n", "INPUT LABELS:\n2 Laptop\n\n");

    // Each sees its own locks as O, the other's as L.
    router.lockTable.set(0, 1);
    router.lockTable.set(1, 2);
    router.lockTable.set(3, 77);
    RouterChange locks;
    locks.what = RouterChange::Locks;
    locks.locksBefore = { 0, 0, 0, 77 };
    emit router.changed(locks);
    pushed("VIDEO OUTPUT LOCKS:\n0 O\n1 L\n\n", "VIDEO OUTPUT LOCKS:\n0 L\n1 O\n\n");

    // Power, or a link that says nothing new of the device, is no news.
    router.change(RouterChange::Link | RouterChange::Power, router.shownState);
    pushed("", "");

    // Another model: everything again, on its two outputs.
    router.model = router.shownState.model = SwitcherModel::TwoOutput;
    router.change(RouterChange::Link, router.shownState);
    const QByteArray all = device(2)
        + "INPUT LABELS:\n0 Input 1\n1 Input 2\n"
          "2 Laptop\n3 Input 4\n\nOUTPUT LABELS:\n0 Output A\n1 Output B\n\n"
          "VIDEO OUTPUT ROUTING:\n0 1\n1 2\n\n";
    pushed(all + "VIDEO OUTPUT LOCKS:\n0 O\n1 L\n\n", all + "VIDEO OUTPUT LOCKS:\n0 L\n1 O\n\n");

    // A client gone frees what it held.
    a->socket.abort();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !router.released.empty(); }, 5000));
    EXPECT_EQ(router.released, std::vector<Router::Client> { 1 });
}

// Clients that would make the program hold too much are closed, and the
// others go on being served.
TEST_F(VideohubService, ClientsBeyondTheLimitsAreClosed)
{
    const auto b = client();
    const auto flood = client();
    flood->socket.write("INPUT LABELS:\n" + QByteArray(70000, 'x'));
    EXPECT_TRUE(flood->closed()) << "a block over 64 KiB without its blank line";

    // One that never reads, with a small window, asking over and over.
    const auto deaf = client();
    const int small = 2048;
    setsockopt(int(deaf->socket.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    QObject::disconnect(&deaf->socket, &QTcpSocket::readyRead, nullptr, nullptr);
    deaf->socket.setReadBufferSize(1);
    const QByteArray asks = QByteArray("OUTPUT LABELS:\n\n").repeated(4096);
    for (int i = 0; i < 400 && deaf->socket.state() == QAbstractSocket::ConnectedState; ++i) {
        deaf->socket.write(asks);
        QTest::qWait(5);
    }
    EXPECT_TRUE(deaf->closed()) << "a client that stops reading";

    // Beyond the slots, clients are closed at once, with one line in the log.
    static QStringList logged;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { logged << text; });
    std::vector<std::unique_ptr<VideohubClient>> more;
    for (int i = 0; i < 17; ++i)
        more.push_back(std::make_unique<VideohubClient>(server.serverPort()));
    EXPECT_TRUE(more[15]->closed() && more[16]->closed()) << "the 17th and 18th clients";
    qInstallMessageHandler(previous);
    EXPECT_EQ(logged.filter("Videohub: closed a connection from 127.0.0.1: too many").size(), 1)
        << logged.join('\n').toStdString();
    EXPECT_TRUE(more[14]->hears("END PRELUDE:"));
    EXPECT_TRUE(b->says("", ""));
}
