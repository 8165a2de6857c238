// The router-protocol server of the program in this process, on 127.0.0.1
// at a free port, against the simulated switcher on a pseudo-terminal, with
// socket clients as control software uses it. In real time; waits are
// generous and bounded.
#include "app/controller.h"
#include "app/form1.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "panel/form3.h"
#include "sim_process.h"
#include "videohub/videohub_server.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <sys/socket.h>

namespace {

struct Client
{
    explicit Client(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { heard += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    // Sends `request` and waits for `answer` in what comes back after it.
    bool ask(const QByteArray &request, const QByteArray &answer)
    {
        mark = heard.size();
        socket.write(request);
        return hears(answer);
    }
    bool hears(const QByteArray &text, int ms = 8000)
    {
        return QTest::qWaitFor([&] { return heard.indexOf(text, mark) >= 0; }, ms);
    }
    bool closed(int ms = 5000)
    {
        return QTest::qWaitFor(
            [&] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms);
    }
    QTcpSocket socket;
    QByteArray heard;
    qsizetype mark = 0;
};

class Videohub : public ::testing::Test
{
protected:
    void SetUp() override { qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8()); }
    void start()
    {
        QString error;
        app = std::make_unique<Controller>(
            std::make_unique<QtSerialPort>(*PortTable::parse("1=" + link, &error)));
        server = std::make_unique<VideohubServer>(app->videohubHost(), VideohubServer::Options {});
        ASSERT_TRUE(server->listen(&error)) << error.toStdString();
        QObject::connect(app.get(), &Controller::ticked, server.get(), &VideohubServer::publish);
        app->Form_Load();
    }
    void stop()
    {
        server.reset();
        app.reset();
    }
    // Nothing goes on the line and the routing stays as it was.
    bool lineStaysIdle()
    {
        QTest::qWait(300);
        return app->transmitter().sendStep() == 0 && app->transmitter().queued() == 0;
    }
    QTemporaryDir dir;
    QString link = dir.filePath("switcher");
    std::unique_ptr<Controller> app;
    std::unique_ptr<VideohubServer> server;
};

} // namespace

TEST_F(Videohub, ControlSoftwareRoutesNamesAndLocksTheSwitcher)
{
    ASSERT_NO_FATAL_FAILURE(start());
    Client a(server->serverPort());
    ASSERT_TRUE(a.hears("PROTOCOL PREAMBLE:\nVersion: 2.8\n\nVIDEOHUB DEVICE:\n"
                        "Device present: false\n"));
    EXPECT_TRUE(a.hears("\nVideo inputs: 4\nVideo processing units: 0\nVideo outputs: 4\n"
                        "Video monitoring outputs: 0\nSerial ports: 0\n\nINPUT LABELS:\n0 Input 1\n"
                        "1 Input 2\n2 Input 3\n3 Input 4\n\nOUTPUT LABELS:\n0 Output A\n"
                        "1 Output B\n2 Output C\n3 Output D\n\nVIDEO OUTPUT LOCKS:\n0 U\n1 U\n"
                        "2 U\n3 U\n\nVIDEO OUTPUT ROUTING:\n\nCONFIGURATION:\nTake Mode: false\n\n"
                        "END PRELUDE:\n\n"));
    EXPECT_TRUE(QRegularExpression("\nUnique ID: [0-9A-F]{12}\n")
                    .match(QString::fromLatin1(a.heard))
                    .hasMatch());
    EXPECT_TRUE(a.ask("VIDEO OUTPUT ROUTING:\n0 1\n\n", "NAK\n\n")) << "no switcher yet";

    // The switcher comes: every client hears of it, then its routing.
    SimProcess sim;
    ASSERT_TRUE(sim.start(link));
    ASSERT_TRUE(a.hears("Device present: true\n"));
    ASSERT_TRUE(a.hears("VIDEO OUTPUT ROUTING:\n0 0\n1 1\n2 2\n3 3\n\n"));
    Client b(server->serverPort());
    ASSERT_TRUE(b.hears("VIDEO OUTPUT ROUTING:\n0 0\n1 1\n2 2\n3 3\n\nCONFIGURATION:"));

    // A route on the line, as the switcher reports it back, to both; one
    // from the panel too; then a salvo of two.
    EXPECT_TRUE(a.ask("VIDEO OUTPUT ROUTING:\r\n1 2\r\n\r\n", "ACK\n\n"));
    EXPECT_TRUE(a.hears("VIDEO OUTPUT ROUTING:\n1 2\n\n"));
    EXPECT_TRUE(b.hears("VIDEO OUTPUT ROUTING:\n1 2\n\n"));
    for (const int picture : { 7, 9 }) { // input 4, output A
        app->panel().Picture1_MouseDown(picture, Form3::LeftButton, 0, 100, 100);
        app->panel().Picture1_MouseUp(picture, Form3::LeftButton, 0, 100, 100);
    }
    EXPECT_TRUE(b.hears("VIDEO OUTPUT ROUTING:\n0 3\n\n"));
    EXPECT_TRUE(b.ask("VIDEO OUTPUT ROUTING:\n2 0\n3 1\n\n", "ACK\n\n"));
    EXPECT_TRUE(a.hears("\n2 0\n") && a.hears("\n3 1\n"));
    EXPECT_TRUE(
        b.ask("VIDEO OUTPUT ROUTING:\n\n", "ACK\n\nVIDEO OUTPUT ROUTING:\n0 3\n1 2\n2 0\n3 1\n\n"));
    EXPECT_TRUE(b.ask("PING:\n\n", "ACK\n\n"));
    {
        // One that ends its stream after asking (`printf ... | nc`) hears
        // every whole block answered, then is closed.
        Client once(server->serverPort());
        ASSERT_TRUE(once.hears("END PRELUDE:\n\n"));
        once.mark = once.heard.size();
        once.socket.write("VIDEO OUTPUT ROUTING:\n3 2\n\nPING:\n\nVIDEO OUTPUT ROUTING:\n0");
        ASSERT_TRUE(once.socket.waitForBytesWritten(5000));
        shutdown(int(once.socket.socketDescriptor()), SHUT_WR);
        EXPECT_TRUE(once.closed());
        EXPECT_EQ(once.heard.mid(once.mark), "ACK\n\nACK\n\n");
        EXPECT_TRUE(b.hears("VIDEO OUTPUT ROUTING:\n3 2\n\n"));
    }

    // Bad blocks are refused whole, and nothing goes on the line.
    for (const QByteArray &bad : { QByteArray("VIDEO OUTPUT ROUTING:\n0 4\n\n"),
             QByteArray("VIDEO OUTPUT ROUTING:\n0 1\n7 1\n\n"),
             QByteArray("INPUT LABELS:\n0 \xc3\x28\n\n"), QByteArray("\x01\xfe\xff\x80\n\n"),
             QByteArray("SERIAL PORT ROUTING:\n0 1\n\n") }) {
        EXPECT_TRUE(a.ask(bad, "NAK\n\n")) << bad.toStdString();
        EXPECT_TRUE(lineStaysIdle()) << bad.toStdString();
    }
    {
        Client flood(server->serverPort());
        ASSERT_TRUE(flood.hears("END PRELUDE:\n\n"));
        flood.socket.write("INPUT LABELS:\n" + QByteArray(70000, 'x'));
        EXPECT_TRUE(flood.closed()) << "a block over 64 KiB without its blank line";
    }
    {
        // One that never reads, with a small window, asking over and over.
        Client deaf(server->serverPort());
        ASSERT_TRUE(deaf.socket.waitForConnected(5000));
        const int small = 2048;
        setsockopt(
            int(deaf.socket.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        QObject::disconnect(&deaf.socket, &QTcpSocket::readyRead, nullptr, nullptr);
        deaf.socket.setReadBufferSize(1);
        const QByteArray asks = QByteArray("OUTPUT LABELS:\n\n").repeated(4096);
        for (int i = 0; i < 400 && deaf.socket.state() == QAbstractSocket::ConnectedState; ++i) {
            deaf.socket.write(asks);
            QTest::qWait(5);
        }
        EXPECT_TRUE(deaf.closed()) << "a client that stops reading";
    }
    EXPECT_TRUE(b.ask("PING:\n\n", "ACK\n\n"));
    {
        std::vector<std::unique_ptr<Client>> more;
        for (int i = 0; i < 15; ++i)
            more.push_back(std::make_unique<Client>(server->serverPort()));
        EXPECT_TRUE(more.back()->closed()) << "the 17th client";
        EXPECT_TRUE(more.front()->hears("END PRELUDE:"));
    }

    // Locks: each sees its own as O, the other's as L.
    EXPECT_TRUE(
        a.ask("VIDEO OUTPUT LOCKS:\n0 O\n1 O\n\n", "ACK\n\nVIDEO OUTPUT LOCKS:\n0 O\n1 O\n\n"));
    EXPECT_TRUE(b.hears("VIDEO OUTPUT LOCKS:\n0 L\n1 L\n\n"));
    EXPECT_TRUE(b.ask("VIDEO OUTPUT ROUTING:\n0 0\n\n", "NAK\n\n"));
    EXPECT_TRUE(b.ask("VIDEO OUTPUT LOCKS:\n0 U\n\n", "NAK\n\n"));
    EXPECT_TRUE(lineStaysIdle());
    EXPECT_TRUE(a.ask("VIDEO OUTPUT ROUTING:\n0 0\n\n", "ACK\n\n"));
    EXPECT_TRUE(b.hears("VIDEO OUTPUT ROUTING:\n0 0\n\n"));
    EXPECT_TRUE(b.ask("VIDEO OUTPUT LOCKS:\n0 F\n\n", "ACK\n\nVIDEO OUTPUT LOCKS:\n0 U\n\n"));
    EXPECT_TRUE(a.hears("VIDEO OUTPUT LOCKS:\n0 U\n\n"));

    // Names from one client reach the other, and the next run; nothing is
    // written before.
    const QString file
        = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/names.json";
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_TRUE(a.ask("INPUT LABELS:\n2 Laptop\n\nOUTPUT LABELS:\n1 Projector\n\n", "ACK\n\n"));
    EXPECT_TRUE(b.hears("INPUT LABELS:\n2 Laptop\n\n"));
    EXPECT_TRUE(b.hears("OUTPUT LABELS:\n1 Projector\n\n"));
    EXPECT_EQ(app->panel().picture(11)->toolTip(), "Output B, Projector, showing Input 3, Laptop");
    EXPECT_EQ(app->panel().picture(4)->accessibleName(), "Input 3, Laptop");
    EXPECT_TRUE(QFile::exists(file));

    // A client's locks end with it.
    a.socket.abort();
    EXPECT_TRUE(b.hears("VIDEO OUTPUT LOCKS:\n1 U\n\n"));

    // The link goes; it comes back with the other model.
    sim.say("pause");
    EXPECT_TRUE(b.hears("VIDEOHUB DEVICE:\nDevice present: false\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->statusWindow().isVisible(); }, 8000));
    sim.say("model 4x2");
    sim.say("resume");
    EXPECT_TRUE(b.hears("Device present: true\n"));
    EXPECT_TRUE(b.hears("Video outputs: 2\n"));
    EXPECT_TRUE(b.ask("VIDEO OUTPUT ROUTING:\n2 0\n\n", "NAK\n\n"));
    EXPECT_TRUE(b.ask("VIDEO OUTPUT ROUTING:\n1 3\n\n", "ACK\n\n"));
    EXPECT_TRUE(b.hears("VIDEO OUTPUT ROUTING:\n1 3\n\n"));

    b.socket.abort();
    stop();
    ASSERT_NO_FATAL_FAILURE(start());
    Client again(server->serverPort());
    EXPECT_TRUE(again.hears("INPUT LABELS:\n0 Input 1\n1 Input 2\n2 Laptop\n3 Input 4\n\n"
                            "OUTPUT LABELS:\n0 Output A\n1 Projector\n"));
}
