// Link supervision (titles, the port search) and the routing display.
#include "app_fixture.h"
#include "supervision/link_supervisor.h"
#include "supervision/routing_display.h"

#include <QLineEdit>
#include <QThread>

class Supervision : public AppFixture
{
protected:
    void configurePort(FakeSerialPort &p) override { p.existing = { 1, 5, 15 }; }
    void superviseOnce() { app->supervisor().SuperviseLink(); }
};

TEST_F(Supervision, SearchMovesToTheNextPortThatOpensWrappingAfter15)
{
    port->close();
    port->setCommPort(15);
    port->open();
    superviseOnce();
    EXPECT_EQ(port->commPort(), 1);
    EXPECT_TRUE(port->isOpen());
    EXPECT_EQ(app->statusWindow().text1().text(), "1");
    EXPECT_EQ(port->openAttempts.last(), 1);

    superviseOnce();
    EXPECT_EQ(port->commPort(), 5);
    EXPECT_EQ(port->openAttempts.mid(port->openAttempts.size() - 4), (QList<int> { 2, 3, 4, 5 }));
    EXPECT_FALSE(port->openAttempts.contains(16));
}

TEST_F(Supervision, SinglePortIsClosedAndReopenedEveryCycle)
{
    port->existing = { 5 };
    port->close();
    port->setCommPort(5);
    port->open();
    port->openAttempts.clear();
    superviseOnce();
    EXPECT_EQ(
        port->openAttempts, (QList<int> { 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 1, 2, 3, 4, 5 }));
    EXPECT_TRUE(port->isOpen());
    EXPECT_EQ(app->statusWindow().text1().text(), "5");
}

TEST_F(Supervision, SearchPutsTheStatusWindowUpAndResetsDetection)
{
    bringUp();
    ASSERT_TRUE(panel().isVisible());
    ASSERT_TRUE(app->Timer3().isActive());
    state().linkMark = 0;
    superviseOnce();
    EXPECT_EQ(panel().windowTitle(), "RS232 disconnected");
    EXPECT_FALSE(panel().isVisible());
    EXPECT_TRUE(app->statusWindow().isVisible());
    EXPECT_FALSE(app->Timer3().isActive());
    EXPECT_TRUE(app->Timer4().isActive());
    EXPECT_EQ(state().matrixModel, 12);
    EXPECT_EQ(state().setupPending, 12);
    // A second cycle finds the windows as it wants them and changes nothing.
    superviseOnce();
    EXPECT_FALSE(panel().isVisible());
    EXPECT_TRUE(app->statusWindow().isVisible());
    EXPECT_FALSE(app->ended());
}

TEST_F(Supervision, SearchDoesNotRestartTheWaitingAnimation)
{
    // The search enables the animation on every attempt; restarting a timer
    // that already runs would put off its next tick for ever.
    state().linkMark = 0;
    ASSERT_TRUE(app->Timer4().isActive());
    QThread::msleep(30);
    const int before = app->Timer4().remainingTime();
    superviseOnce();
    EXPECT_LE(app->Timer4().remainingTime(), before);
}

TEST_F(Supervision, LinkUpTitleFollowsModelAndPower)
{
    bringUp();
    const struct
    {
        int model, power;
        const char *title;
    } cases[] = { { 1, 1, "OXA 4*4 true matrix" }, { 2, 7, "OXA 4*2 true matrix" },
        { 1, 0, "OXA 4*4 true matrix Standby..." }, { 2, 0, "OXA 4*2 true matrix Standby..." } };
    for (const auto &c : cases) {
        state().matrixModel = int16_t(c.model);
        state().powerState = uint8_t(c.power);
        superviseOnce();
        EXPECT_EQ(panel().windowTitle(), c.title);
    }
    state().matrixModel = 12;
    superviseOnce();
    EXPECT_EQ(panel().windowTitle(), "OXA 4*2 true matrix Standby...");
    EXPECT_TRUE(port->isOpen());
    EXPECT_TRUE(panel().isVisible());
}

TEST_F(Supervision, FirstCycleAfterAQuietStartMovesOffPort1)
{
    tick(50);
    EXPECT_EQ(port->commPort(), 5);
    EXPECT_TRUE(port->isOpen());
    EXPECT_EQ(app->statusWindow().text1().text(), "5");
}

class SearchWithoutPorts : public AppFixture
{
protected:
    void configurePort(FakeSerialPort &p) override { p.existing = {}; }
};

TEST_F(SearchWithoutPorts, SearchPausesAfterEachFruitlessRoundAndEndsWhenClosed)
{
    QList<int> waits;
    app->setEventPump([&](int waitMs) {
        waits.append(waitMs);
        if (waits.count(LinkSupervisor::RoundPauseMs) == 3)
            app->statusWindow().close(); // the user closes the status window mid-search
    });
    app->statusWindow().show();
    tick(50);
    EXPECT_TRUE(app->ended());
    EXPECT_EQ(port->openAttempts.size(), 1 + 45); // the start, then three rounds
    // Between attempts events run at once; after each full round it waits.
    EXPECT_EQ(waits.count(LinkSupervisor::RoundPauseMs), 3);
    for (int i = 0; i < waits.size(); ++i) {
        if (waits[i] == LinkSupervisor::RoundPauseMs) {
            EXPECT_EQ(waits[i - 1], 0);
        }
    }
}

TEST_F(SearchWithoutPorts, RealEventPumpServesACloseRequestMidSearch)
{
    // With the real pump, the search waits in the event loop between rounds,
    // where the close request arrives and ends it.
    QTimer::singleShot(250, &app->statusWindow(), [&] { app->statusWindow().close(); });
    app->statusWindow().show();
    tick(50);
    EXPECT_TRUE(app->ended());
}

// --- routing display --------------------------------------------------------

class Display : public AppFixture
{
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        state().linkMark = ControllerState::LinkAlive;
        state().matrixModel = 1;
        state().powerState = 1;
    }
    void refresh() { RefreshPanel(state(), panel()); }
};

TEST_F(Display, FacesFollowTheFlagsAndCaptionsTheSources)
{
    const uint8_t inputs[4] = { 128, 0, 32, 0 };
    const uint8_t outputs[4] = { 0, 4, 2, 0 };
    for (int i = 0; i < 4; ++i) {
        state().inputFlags[i] = inputs[i];
        state().outputFlags[i] = outputs[i];
    }
    state().outputSource1 = 4;
    state().outputSource2 = 1;
    state().outputSource3 = 8;
    state().outputSource4 = 2;
    refresh();
    const bool lit[] = { true, false, true, false, false, true, true, false };
    const int faces[] = { 1, 3, 5, 7, 9, 11, 13, 15 };
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(panel().pictureVisible(faces[i]), lit[i]) << faces[i];
    EXPECT_EQ(panel().label2Caption(0), "Input 3"); // set, though its face is unlit
    EXPECT_EQ(panel().label2Caption(1), "Input 1");
    EXPECT_EQ(panel().label2Caption(2), "Input 4");
    EXPECT_EQ(panel().label2Caption(3), "Input 2");
    for (int down = 0; down <= 14; down += 2)
        EXPECT_TRUE(panel().pictureVisible(down));
}

TEST_F(Display, SourcesOutsideTheTableLeaveTheCaption)
{
    state().outputSource2 = 2;
    state().outputSource3 = 4;
    refresh();
    for (uint8_t odd : { 0, 3, 16, 255 }) {
        state().outputSource2 = odd;
        state().outputSource3 = odd;
        refresh();
        EXPECT_EQ(panel().label2Caption(1), "Input 2");
        EXPECT_EQ(panel().label2Caption(2), "Input 3");
    }
}

TEST_F(Display, StandbyOrLinkDownUnlightsEveryRouteButtonAndKeepsCaptions)
{
    for (int i = 0; i < 4; ++i)
        state().inputFlags[i] = state().outputFlags[i] = 1;
    state().outputSource1 = 8;
    refresh();
    ASSERT_TRUE(panel().pictureVisible(9));
    for (auto change : { 0, 1 }) {
        state().powerState = change == 0 ? 0 : 1;
        state().linkMark = change == 0 ? ControllerState::LinkAlive : 0;
        state().outputSource1 = 1;
        refresh();
        for (int face = 1; face <= 15; face += 2)
            EXPECT_FALSE(panel().pictureVisible(face)) << face;
        EXPECT_EQ(panel().label2Caption(0), "Input 4");
        EXPECT_TRUE(panel().pictureVisible(33));
    }
}
