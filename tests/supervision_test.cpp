// Link supervision (titles, the port search) and the routing display.
#include "app_fixture.h"
#include "core/shown_state.h"
#include "supervision/link_supervisor.h"
#include "panel/routing_display.h"

#include <QLineEdit>
#include <QProperty>
#include <QLoggingCategory>
#include <QThread>

class Supervision : public AppFixture
{
protected:
    void SetUp() override { load({ 1, 5, 15 }); }
    void superviseOnce() { app->supervisor().SuperviseLink(); }
};

TEST_F(Supervision, SearchMovesToTheNextPortThatOpensWrappingAfter15)
{
    // Each case: the ports there, the one open before the cycle, those tried.
    const struct
    {
        std::set<int> existing;
        int from;
        QList<int> tried;
    } cases[] = {
        { { 1, 5, 15 }, 15, { 1 } },
        { { 1, 5, 15 }, 1, { 2, 3, 4, 5 } },
        // A single port is closed and opened again every cycle.
        { { 5 }, 5, { 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 1, 2, 3, 4, 5 } },
    };
    for (const auto &c : cases) {
        port->existing = c.existing;
        port->close();
        port->setCommPort(c.from);
        port->open();
        port->openAttempts.clear();
        superviseOnce();
        EXPECT_EQ(port->openAttempts, c.tried);
        EXPECT_TRUE(port->isOpen());
        EXPECT_EQ(port->commPort(), c.tried.last());
        EXPECT_EQ(app->statusWindow().text1().text(), QString::number(c.tried.last()));
    }
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
    int startsAndStops = 0;
    const QPropertyNotifier watch
        = const_cast<QTimer &>(app->Timer4()).bindableActive().addNotifier([&] {
              ++startsAndStops;
          });
    port->openAttempts.clear();
    superviseOnce();
    EXPECT_EQ(port->openAttempts, QList<int>({ 2, 3, 4, 5 }));
    EXPECT_EQ(startsAndStops, 0);
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

TEST_F(Supervision, SearchWithoutPortsPausesAfterEachFruitlessRoundAndEndsWhenClosed)
{
    load({});
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

TEST_F(Supervision, RealEventPumpServesACloseRequestMidSearch)
{
    load({});
    // With the real pump, the search lets events run between attempts, where
    // the close request waiting in the queue arrives and ends it. Should it
    // never arrive, port 1 turns up in the second round and ends the search.
    QMetaObject::invokeMethod(
        &app->statusWindow(), [&] { app->statusWindow().close(); }, Qt::QueuedConnection);
    port->opening = [&] {
        if (port->openAttempts.size() > 15)
            port->existing = { 1 };
    };
    app->statusWindow().show();
    tick(50);
    EXPECT_TRUE(app->ended());
}

// --- routing display --------------------------------------------------------

TEST_F(Supervision, RoutingDisplayLightsFacesByTheFlagsAndCaptionsByTheSources)
{
    // Applied in turn. Lit: the up faces of inputs 1 to 4 and outputs A to D;
    // captions: the input on each output, kept while a source is not 1, 2,
    // 4 or 8, while in standby and while the link is down.
    const struct
    {
        uint8_t inputs[4], outputs[4], sources[4];
        int power;
        bool link;
        const char *lit, *captions;
    } cases[] = {
        { { 128, 0, 32, 0 }, { 8, 4, 0, 0 }, { 4, 1, 8, 2 }, 1, true, "10101100", "3142" },
        { { 128, 0, 32, 0 }, { 8, 4, 0, 0 }, { 0, 3, 16, 255 }, 1, true, "10101100", "3142" },
        { { 1, 1, 1, 1 }, { 1, 1, 1, 1 }, { 8, 4, 2, 1 }, 1, true, "11111111", "4321" },
        { { 1, 1, 1, 1 }, { 1, 1, 1, 1 }, { 1, 1, 1, 1 }, 0, true, "00000000", "4321" },
        { { 1, 1, 1, 1 }, { 1, 1, 1, 1 }, { 1, 1, 1, 1 }, 1, false, "00000000", "4321" },
    };
    state().matrixModel = 1;
    ShownState shown;
    for (const auto &c : cases) {
        for (int i = 0; i < 4; ++i) {
            state().inputFlags[i] = c.inputs[i];
            state().outputFlags[i] = c.outputs[i];
        }
        state().outputSource1 = c.sources[0];
        state().outputSource2 = c.sources[1];
        state().outputSource3 = c.sources[2];
        state().outputSource4 = c.sources[3];
        state().powerState = uint8_t(c.power);
        state().linkMark = c.link ? ControllerState::LinkAlive : 0;
        shown = shownStateOf(state(), shown);
        RefreshPanel(shown, panel());
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(panel().pictureVisible(2 * i + 1), c.lit[i] == '1') << c.lit << " " << i;
            EXPECT_TRUE(panel().pictureVisible(2 * i)); // every down face stays
        }
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(panel().label2Caption(i), QStringLiteral("Input ") + c.captions[i]) << i;
        EXPECT_TRUE(panel().pictureVisible(33));
    }
}

// The program's log, as a technician reads it.
class SupervisionLog : public Supervision
{
protected:
    void SetUp() override
    {
        Supervision::SetUp();
        lines().clear();
        QLoggingCategory::setFilterRules("matrix.*.debug=true");
        m_previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &m) { lines() << m; });
    }
    void TearDown() override
    {
        qInstallMessageHandler(m_previous);
        QLoggingCategory::setFilterRules(QString());
    }
    static QStringList &lines()
    {
        static QStringList all;
        return all;
    }
    QtMessageHandler m_previous = nullptr;
};

TEST_F(SupervisionLog, LinkLossIsToldInSecondsAndAFruitlessRoundWhenItChangesOrOnceAMinute)
{
    bringUp();
    tick(250);
    EXPECT_TRUE(lines().contains("link lost: no valid status frame for about 2 seconds"));

    load({});
    lines().clear();
    int rounds = 0;
    app->setEventPump([&](int waitMs) {
        if (waitMs != LinkSupervisor::RoundPauseMs)
            return;
        ++rounds;
        if (rounds == 1000)
            port->failure = "another failure";
        if (rounds == 1300)
            app->statusWindow().close();
    });
    tick(50);
    // Rounds 1 and 601 (a minute of pauses later), and 1001, where the reason changed.
    EXPECT_EQ(lines(),
        QStringList({ "no port opens: fake failure (1-15)", "no port opens: fake failure (1-15)",
            "no port opens: another failure (1-15)" }));
}
