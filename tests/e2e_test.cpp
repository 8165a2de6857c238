// The whole program against the simulated switcher over a real
// pseudo-terminal, in real time. Few and with generous limits.
#include "app/controller.h"
#include "panel/form1.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "panel/form3.h"
#include "sim_process.h"

#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

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
    for (const int picture : { 5, 11 }) {
        panel().Picture1_MouseDown(picture, Form3::LeftButton, 0, 100, 100);
        panel().Picture1_MouseUp(picture, Form3::LeftButton, 0, 100, 100);
    }
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
