// matrix-soak: days of the status window against a switcher, a cable and a
// user played at random (fuzz/rig.h), in simulated time on a fake port.
// Prints a line per simulated hour; fails on a broken invariant, or when the
// resident memory after the last hour exceeds that after the first by more
// than the growth allowed.
#include "core/command_line.h"
#include "fuzz/rig.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <optional>

int main(int argc, char *argv[])
{
    // No screen and no serial device: the port is a fake.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(MATRIX_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Days of the status window at random against a fake port, in simulated time."));
    const QCommandLineOption hoursOption(QStringLiteral("hours"),
        QStringLiteral("Simulated hours to run (24)."), QStringLiteral("N"), QStringLiteral("24"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
        QStringLiteral("Seed of the random programs (20240611)."), QStringLiteral("S"),
        QStringLiteral("20240611"));
    const QCommandLineOption growthOption(QStringLiteral("rss-growth"),
        QStringLiteral("Resident memory growth allowed from the first hour to the last (10)."),
        QStringLiteral("PERCENT"), QStringLiteral("10"));
    parser.addOptions({ hoursOption, seedOption, growthOption });
    if (const std::optional<int> code = parseCommandLine(parser, QApplication::arguments()))
        return *code;
    bool hoursOk = false, seedOk = false, growthOk = false;
    const long long hours = parser.value(hoursOption).toLongLong(&hoursOk);
    const unsigned seed = parser.value(seedOption).toUInt(&seedOk);
    const double allowedGrowth = parser.value(growthOption).toDouble(&growthOk);
    if (!hoursOk || hours < 1 || !seedOk || !growthOk)
        return commandLineError(QStringLiteral(
            "--hours takes a whole number from 1, --seed a whole number, --rss-growth a number"));
    Rig rig(hours * Rig::TicksPerHour);
    RandomProgram program(seed);
    std::printf("matrix-soak: %lld simulated hours from seed %u\n", hours, seed);
    const RigCounts &c = rig.counts;
    QElapsedTimer wall;
    wall.start();
    long long rss[2] = {};
    std::printf("%4s %9s %8s %7s %6s %8s %8s %7s %5s %8s %6s\n", "hour", "accepted", "rejected",
        "linkUps", "losses", "searches", "commands", "presses", "stops", "rss KiB", "wall s");
    for (long long hour = 1; hour <= hours && rig.violation.isEmpty(); ++hour) {
        while (c.ticks < hour * Rig::TicksPerHour && rig.violation.isEmpty())
            rig.run(program.next());
        QFile status(QStringLiteral("/proc/self/status"));
        const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : "VmRSS: 0";
        rss[hour > 1] = text.mid(text.indexOf("VmRSS:") + 6).trimmed().split(' ')[0].toLongLong();
        std::printf("%4lld %9lld %8lld %7lld %6lld %8lld %8lld %7lld %5lld %8lld %6.1f\n", hour,
            c.framesAccepted, c.framesRejected, c.linkUps, c.linkLosses, c.searchCycles, c.commands,
            c.presses, c.tickStops, rss[hour > 1], wall.nsecsElapsed() / 1e9);
        std::fflush(stdout);
    }
    const double growth = hours > 1 && rss[0] > 0 ? 100.0 * (rss[1] - rss[0]) / rss[0] : 0;
    std::printf("\n%lld ticks, %lld main ticks, settled four-output %lld and two-output %lld, "
                "route commands %lld, max missedCycles %lld\nrss growth %+.1f%% (%g%% "
                "allowed)\ninvariants: %s\n",
        c.ticks, c.mainTicks, c.settledFourOutput, c.settledTwoOutput, c.routeCommands,
        c.maxMissedCycles, growth, allowedGrowth,
        rig.violation.isEmpty() ? "held after every step" : qPrintable("BROKEN " + rig.violation));
    return rig.violation.isEmpty() && growth <= allowedGrowth ? 0 : 1;
}
