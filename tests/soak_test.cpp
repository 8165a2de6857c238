// Long runs in simulated time on the rig (fuzz/rig.h): hours of a switcher,
// a cable and a user at random, and a day without a switcher. Days at random
// are matrix-soak's job (scripts/soak.sh).
#include "fuzz/rig.h"

#include <gtest/gtest.h>

TEST(Soak, AnHourAtRandomFromEachOfNineSeedsKeepsEveryInvariant)
{
    const auto fields = { &RigCounts::framesRejected, &RigCounts::settledFourOutput,
        &RigCounts::settledTwoOutput, &RigCounts::searchCycles, &RigCounts::tickStops,
        &RigCounts::routeCommands, &RigCounts::commands };
    RigCounts total;
    for (unsigned seed : { 20240611u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u }) {
        Rig rig(Rig::TicksPerHour);
        RandomProgram program(seed);
        while (rig.counts.ticks < Rig::TicksPerHour && rig.violation.isEmpty())
            rig.run(program.next());
        ASSERT_TRUE(rig.violation.isEmpty()) << seed << ": " << rig.violation.toStdString();
        EXPECT_GE(rig.counts.linkLosses, 3) << seed;
        EXPECT_GT(rig.counts.framesAccepted, 1000) << seed;
        for (auto field : fields)
            total.*field += rig.counts.*field;
    }
    // The hours had what they are for: frames refused, both models, searches,
    // the tick stopped, commands from routes and from the buttons.
    for (auto field : fields)
        EXPECT_GT(total.*field, 9);
    EXPECT_GT(total.commands, total.routeCommands);
}

TEST(Soak, ADayWithoutASwitcherSaturatesMissedCyclesAndSearchesEveryCycle)
{
    constexpr long long Day = 24 * Rig::TicksPerHour;
    Rig rig(Day + 100);
    QByteArray day("\x09\xfe\xff"); // PORTS 1 to 15: each cycle moves the search on by one
    for (long long t = 0; t < Day; t += 256)
        day += QByteArray("\x03\xff", 2); // TICK 256
    rig.run(day);
    ASSERT_TRUE(rig.violation.isEmpty()) << rig.violation.toStdString();
    EXPECT_EQ(rig.counts.mainTicks, Day);
    EXPECT_EQ(rig.counts.searchCycles, Day / 50);
    EXPECT_EQ(rig.counts.maxMissedCycles, INT16_MAX);
    EXPECT_EQ(rig.counts.linkUps, 0);
    // The switcher on port 1 at last: the panel comes up as on the first day.
    rig.run(QByteArray("\x09\x02\x00\x03\x31\x0a\x01", 7)); // PORTS 1, TICK 50, SETTLE
    ASSERT_TRUE(rig.violation.isEmpty()) << rig.violation.toStdString();
    EXPECT_EQ(rig.counts.linkUps, 1);
    EXPECT_EQ(rig.counts.settledTwoOutput, 1);
}
