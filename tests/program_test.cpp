// The real matrix-panel program, as a shell starts it: its command line, and
// the signals that end it.
#include "sim_process.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// A pseudo-terminal whose far end the test holds: it tells whether anybody
// opened the near end.
struct WatchedPty
{
    WatchedPty()
    {
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            path = QString::fromLocal8Bit(ptsname(master));
            inotify_add_watch(watch, ptsname(master), IN_OPEN);
        }
    }
    ~WatchedPty()
    {
        ::close(watch);
        ::close(master);
    }
    bool opened() const
    {
        char events[4096];
        return ::read(watch, events, sizeof events) > 0;
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    const int watch = inotify_init1(IN_NONBLOCK);
    QString path;
};

QProcess *startPanel(const QStringList &arguments, bool withDisplay)
{
    auto *panel = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!withDisplay) {
        // Without a display a window could not even be opened: the program
        // would abort rather than answer.
        for (const char *name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY" })
            env.remove(QString::fromLatin1(name));
    }
    env.insert("QT_LOGGING_RULES", "matrix.*=true");
    env.insert("MATRIX_PANEL_PORTS", "this is not a port table");
    panel->setProcessEnvironment(env);
    panel->setProcessChannelMode(QProcess::MergedChannels);
    panel->start(QStringLiteral(MATRIX_PANEL_PATH), arguments);
    return panel;
}

} // namespace

TEST(CommandLine, AnswersAndMistakesEndBeforeAnyWindowOrPort)
{
    WatchedPty pty;
    ASSERT_FALSE(pty.path.isEmpty());
    const QString ports = "1=" + pty.path;
    const struct
    {
        QStringList arguments;
        int exitCode;
        const char *says;
    } cases[] = {
        { { "--help", "--ports", ports }, 0, "--ports" },
        { { "--version", "--ports", ports }, 0, "matrix-panel 1." },
        { { "--bogus", "--ports", ports }, 2, "bogus" },
        { { "stray", "--ports", ports }, 2, "stray" },
        { { "--ports", "16=" + pty.path }, 2, "outside" },
        { { "--videohub", "0.0.0.0:9990", "--ports", ports }, 2, "needs --allow" },
        { { "--videohub", "9990", "--allow", "10.0.0.0/33", "--ports", ports }, 2, "CIDR" },
        { { "--allow", "10.0.0.0/8", "--ports", ports }, 2, "only with" },
        { { "--help" }, 0, "--videohub" },
        { {}, 2, "MATRIX_PANEL_PORTS" }, // --ports would have won over it
    };
    for (const auto &c : cases) {
        std::unique_ptr<QProcess> panel(startPanel(c.arguments, false));
        ASSERT_TRUE(panel->waitForFinished(10000)) << c.says;
        EXPECT_EQ(panel->exitStatus(), QProcess::NormalExit) << c.says;
        EXPECT_EQ(panel->exitCode(), c.exitCode) << c.says;
        EXPECT_TRUE(panel->readAll().contains(c.says)) << c.says;
        EXPECT_FALSE(pty.opened()) << c.says;
    }
}

// SIGTERM, SIGINT and SIGHUP end the program as closing its window does: a
// clean exit, and the port's lock file gone, so that the next program to use
// the port finds it free.
TEST(Signals, EndTheProgramAndFreeThePortWhetherLinkedOrSearching)
{
    if (!QFileInfo(QStringLiteral("/var/lock")).isWritable())
        GTEST_SKIP() << "serial ports are locked elsewhere for this user";
    for (const bool linked : { true, false }) {
        for (const int signal : { SIGTERM, SIGINT, SIGHUP }) {
            QTemporaryDir dir;
            SimProcess sim;
            WatchedPty quiet; // a port where no switcher answers
            QString device = quiet.path;
            if (linked) {
                const QString link = dir.filePath("switcher");
                ASSERT_TRUE(sim.start(link));
                device = QFileInfo(link).symLinkTarget();
            }
            std::unique_ptr<QProcess> panel(startPanel({ "--ports", "1=" + device }, true));
            const QByteArray ready = linked ? "link up" : "status window shown";
            QByteArray log;
            ASSERT_TRUE(QTest::qWaitFor(
                [&] {
                    log += panel->readAll();
                    return log.contains(ready);
                },
                10000))
                << log.toStdString();
            const QString lock
                = QStringLiteral("/var/lock/LCK..") + device.mid(5).replace('/', '_');
            EXPECT_TRUE(QFile::exists(lock)) << lock.toStdString();

            ::kill(pid_t(panel->processId()), signal);
            ASSERT_TRUE(panel->waitForFinished(10000)) << signal;
            EXPECT_EQ(panel->exitStatus(), QProcess::NormalExit) << signal;
            EXPECT_EQ(panel->exitCode(), 0) << signal;
            EXPECT_FALSE(QFile::exists(lock)) << lock.toStdString() << " after " << signal;
        }
    }
}
