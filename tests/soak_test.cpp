// Long runs in simulated time: an hour of a switcher, a cable and a user at
// random, and a whole day without a switcher. The full day at random is
// matrix-soak's job (scripts/soak.sh).
#include "fuzz/soak_driver.h"

#include "app/controller.h"
#include "core/controller_state.h"
#include "core/status_frame.h"

#include <gtest/gtest.h>

TEST(Soak, OneSimulatedHourAtRandomKeepsEveryInvariant)
{
    SoakDriver driver;
    driver.run(SoakDriver::TicksPerHour);
    const SoakResult r = driver.result();

    EXPECT_TRUE(r.violation.isEmpty()) << r.violation.toStdString();
    const SoakCounts &c = r.counts;
    EXPECT_EQ(c.ticks, SoakDriver::TicksPerHour);
    // The hour had what it is for: the link lost and found again, searches,
    // both models, commands out, frames of every sort in and some refused.
    EXPECT_GE(c.linkLosses, 3);
    EXPECT_GE(c.linkUps, c.linkLosses);
    EXPECT_GT(c.searchCycles, 0);
    EXPECT_GT(c.settledFourOutput + c.settledTwoOutput, 2);
    EXPECT_GT(c.framesAccepted, 1000);
    EXPECT_GT(c.framesRejected, 0);
    EXPECT_GT(c.commandsStarted, 10);
    EXPECT_GT(c.routeCommands, 0);
    EXPECT_GT(c.presses, 50);
    EXPECT_GT(r.portFaults, 0);
    EXPECT_GT(r.splitFrames + r.truncatedFrames + r.backToBackFrames + r.garbageBursts, 0);
}

TEST(Soak, AnHourFromEachOfEightOtherSeeds)
{
    // An hour takes well under a second here: other seeds widen what every
    // run of the suite sees.
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        SoakDriver driver(seed);
        driver.run(SoakDriver::TicksPerHour);
        const SoakResult r = driver.result();
        EXPECT_TRUE(r.violation.isEmpty()) << "seed " << seed << ": " << r.violation.toStdString();
        EXPECT_GT(r.counts.linkUps, 0) << "seed " << seed;
    }
}

TEST(Soak, ADayWithoutASwitcherSaturatesMissedCyclesAndKeepsSearching)
{
    constexpr int64_t Cycles = 24 * 3600 * 2; // one supervision cycle every 500 ms
    // Every port opens: each cycle moves the search on by exactly one port.
    std::set<int> ports;
    for (int n = 1; n <= 15; ++n)
        ports.insert(n);
    SoakRig rig(ports);
    Controller &app = rig.app();
    int64_t cyclesWithoutSearch = 0;
    int64_t decreases = 0;
    int16_t previous = 0;
    for (int64_t cycle = 0; cycle < Cycles && !rig.failed(); ++cycle) {
        const int64_t attempts = rig.counts().openAttempts;
        for (int t = 0; t < Controller::SuperviseEveryTicks; ++t)
            rig.tick();
        if (rig.counts().openAttempts == attempts)
            ++cyclesWithoutSearch;
        // A count that wraps comes back lower (negative) than it was.
        if (app.state().missedCycles < previous)
            ++decreases;
        previous = app.state().missedCycles;
    }
    ASSERT_FALSE(rig.failed()) << rig.violation().toStdString();
    EXPECT_EQ(rig.counts().ticks, Cycles * Controller::SuperviseEveryTicks);
    EXPECT_EQ(app.state().missedCycles, INT16_MAX);
    EXPECT_EQ(decreases, 0);
    EXPECT_EQ(rig.counts().maxMissedCycles, INT16_MAX);
    EXPECT_EQ(app.state().linkMark, 0);
    EXPECT_EQ(rig.counts().linkUps, 0);
    EXPECT_EQ(cyclesWithoutSearch, 0);
    EXPECT_EQ(rig.counts().searchCycles, Cycles);
    EXPECT_TRUE(app.Timer1().isActive());

    // The switcher answers at last: the panel comes up as on the first day.
    for (int i = 0; i < 3; ++i) {
        rig.port().inject(statusFrame(StatusFrame::Kind::TwoOutput));
        rig.tick();
    }
    ASSERT_FALSE(rig.failed()) << rig.violation().toStdString();
    EXPECT_TRUE(app.state().linkUp());
    EXPECT_EQ(app.state().missedCycles, 0);
    EXPECT_EQ(app.state().matrixModel, 2);
}
