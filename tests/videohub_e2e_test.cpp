// The router-protocol server of the program in this process, on 127.0.0.1
// at a free port, against the simulated switcher on a pseudo-terminal. What
// the server answers is videohub_server_test's; here a route goes through
// the session to the switcher and back. In real time; waits are generous
// and bounded.
#include "app/controller.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "sim_process.h"
#include "videohub/videohub_server.h"
#include "videohub_client.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/socket.h>

TEST(Videohub, ARouteReachesTheSwitcherAndEveryClientHearsIt)
{
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8());
    const QString link = dir.filePath("switcher");
    QString error;
    Controller app(std::make_unique<QtSerialPort>(*PortTable::parse("1=" + link, &error)));
    VideohubServer server(app.router(), VideohubServer::Options {});
    ASSERT_TRUE(server.listen(&error)) << error.toStdString();
    app.Form_Load();
    VideohubClient a(server.serverPort());

    // The switcher comes: the client hears of it, then its routing.
    SimProcess sim;
    ASSERT_TRUE(sim.start(link));
    ASSERT_TRUE(a.hears("Device present: true\n"));
    ASSERT_TRUE(a.hears("VIDEO OUTPUT ROUTING:\n0 0\n1 1\n2 2\n3 3\n\n"));
    VideohubClient b(server.serverPort());
    ASSERT_TRUE(b.hears("VIDEO OUTPUT ROUTING:\n0 0\n1 1\n2 2\n3 3\n\nCONFIGURATION:"));

    // A route on the line, as the switcher reports it back, to both.
    a.mark = a.heard.size();
    b.mark = b.heard.size();
    a.socket.write("VIDEO OUTPUT ROUTING:\n1 2\n\n");
    EXPECT_TRUE(a.hears("ACK\n\n"));
    EXPECT_TRUE(a.hears("VIDEO OUTPUT ROUTING:\n1 2\n\n"));
    EXPECT_TRUE(b.hears("VIDEO OUTPUT ROUTING:\n1 2\n\n"));
    {
        // One that ends its stream after asking (`printf ... | nc`) hears
        // every whole block answered, then is closed.
        VideohubClient once(server.serverPort());
        ASSERT_TRUE(once.hears("END PRELUDE:\n\n"));
        once.mark = once.heard.size();
        once.socket.write("VIDEO OUTPUT ROUTING:\n3 2\n\nPING:\n\nVIDEO OUTPUT ROUTING:\n0");
        ASSERT_TRUE(once.socket.waitForBytesWritten(5000));
        shutdown(int(once.socket.socketDescriptor()), SHUT_WR);
        EXPECT_TRUE(once.closed());
        EXPECT_EQ(once.heard.mid(once.mark), "ACK\n\nACK\n\n");
        EXPECT_TRUE(b.hears("VIDEO OUTPUT ROUTING:\n3 2\n\n"));
    }
}
