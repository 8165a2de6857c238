// The whole program against the simulated switcher over a real
// pseudo-terminal, in real time. Few and with generous limits.
#include "app/controller.h"
#include "app/form1.h"
#include "core/status_frame.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "panel/form3.h"
#include "sim_process.h"

#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

class EndToEnd : public ::testing::Test
{
protected:
    void startPanel(const QString &portTable)
    {
        QString error;
        auto table = PortTable::parse(portTable, &error);
        ASSERT_TRUE(table) << error.toStdString();
        app = std::make_unique<Controller>(std::make_unique<QtSerialPort>(*table));
        app->Form_Load();
        app->statusWindow().show();
        // A switcher gone for good (another program may end the simulator)
        // leaves the port search running inside the main tick: the test
        // ends the program then, and fails rather than hang.
        QTimer::singleShot(60000, app.get(), [this] {
            ADD_FAILURE() << "the test ran out of time; its switcher may have been ended";
            app->endProgram();
        });
    }
    Form3 &panel() { return app->panel(); }
    bool panelUpWithTitle(const QString &title)
    {
        return QTest::qWaitFor(
            [&] { return panel().isVisible() && panel().windowTitle() == title; }, 8000);
    }
    void click(int picture)
    {
        panel().Picture1_MouseDown(picture, Form3::LeftButton, 0, 100, 100);
        panel().Picture1_MouseUp(picture, Form3::LeftButton, 0, 100, 100);
    }

    QTemporaryDir dir;
    std::unique_ptr<Controller> app;
};

} // namespace

TEST_F(EndToEnd, RouteStandbyLinkLossAndTheOtherModel)
{
    const QString link = dir.filePath("switcher");
    SimProcess sim;
    ASSERT_TRUE(sim.start(link));
    startPanel("1=" + link);

    ASSERT_TRUE(panelUpWithTitle("OXA 4*4 true matrix"));
    EXPECT_FALSE(app->statusWindow().isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel().label2Caption(1) == "Input 2"; }, 3000));

    // Input 3 to output B, picked on the panel, comes back in the frames.
    click(5);
    click(11);
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel().label2Caption(1) == "Input 3"; }, 5000));

    sim.say("power off");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return panel().windowTitle() == "OXA 4*4 true matrix Standby..."; }, 5000));
    for (int face = 1; face <= 15; face += 2)
        EXPECT_FALSE(panel().pictureVisible(face)) << face;
    sim.say("power on");
    EXPECT_TRUE(panelUpWithTitle("OXA 4*4 true matrix"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel().pictureVisible(15); }, 3000));

    // Frames stop: about 2 s later the status window is back.
    sim.say("pause");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !panel().isVisible() && app->statusWindow().isVisible(); }, 8000));
    EXPECT_EQ(panel().windowTitle(), "RS232 disconnected");
    EXPECT_EQ(app->statusWindow().text1().text(), "1");

    // A two-output switcher in its place is recognised after three frames.
    sim.say("model 4x2");
    sim.say("resume");
    ASSERT_TRUE(panelUpWithTitle("OXA 4*2 true matrix"));
    EXPECT_FALSE(panel().pictureVisible(13));
    EXPECT_FALSE(panel().label1Visible(4));
    EXPECT_DOUBLE_EQ(panel().pictureRect(11).left, 4905);
}

TEST_F(EndToEnd, HangUpIsSearchedAndARestartedSwitcherIsFound)
{
    const QString link = dir.filePath("switcher");
    auto sim = std::make_unique<SimProcess>();
    ASSERT_TRUE(sim->start(link, { "--model", "4x2" }));
    startPanel("1=" + link + ",3=" + dir.filePath("absent"));
    ASSERT_TRUE(panelUpWithTitle("OXA 4*2 true matrix"));

    // The far end hangs up. Its link would point at a pseudo-terminal that
    // another program may take next, so it goes with the simulator.
    sim->kill();
    QFile::remove(link);
    // The search runs inside the main tick until a port opens, so what must
    // happen meanwhile runs from a timer: once the status window is back,
    // bring a switcher back on the same port.
    bool restarted = false;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (!restarted && app->statusWindow().isVisible() && !panel().isVisible()) {
            EXPECT_EQ(panel().windowTitle(), "RS232 disconnected");
            sim = std::make_unique<SimProcess>();
            sim->start(link, { "--model", "4x2" });
            restarted = true;
        }
    });
    watcher.start(50);
    ASSERT_TRUE(QTest::qWaitFor([&] { return restarted; }, 20000));
    EXPECT_TRUE(panelUpWithTitle("OXA 4*2 true matrix"));
    EXPECT_FALSE(app->ended());
}

TEST_F(EndToEnd, BadChecksumFramesNeverBringThePanelUp)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const QString slave = QString::fromLocal8Bit(ptsname(master));
    // Keep the slave raw and open so nothing is echoed back or hung up.
    const int slaveFd = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw {};
    tcgetattr(slaveFd, &raw);
    cfmakeraw(&raw);
    tcsetattr(slaveFd, TCSANOW, &raw);

    startPanel("1=" + slave);
    const uint8_t body[11] = { 0, 0, 0, 0, 1, 2, 4, 8, 0xFF, 1, 0 };
    QByteArray bad = StatusFrame::build(StatusFrame::Kind::FourOutput, body);
    bad[13] = char(bad[13] + 1);
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(write(master, bad.constData(), bad.size()), bad.size());
        QTest::qWait(50);
        ASSERT_FALSE(panel().isVisible());
    }
    EXPECT_TRUE(app->statusWindow().isVisible());
    EXPECT_FALSE(app->state().linkUp());
    close(slaveFd);
    app.reset();
    close(master);
}
