// The real matrix-panel program, as a shell starts it: its command line, and
// the signals that end it.
#include "pseudo_terminal.h"
#include "sim_process.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#if MATRIX_HAVE_REMOTE
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#endif

#include <csignal>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A pseudo-terminal whose far end the test holds: it tells whether anybody
// opened the near end.
struct WatchedPty
{
    WatchedPty()
    {
        if (pty) {
            path = QString::fromStdString(pty->farPath());
            inotify_add_watch(watch, pty->farPath().c_str(), IN_OPEN);
        }
    }
    ~WatchedPty() { ::close(watch); }
    bool opened() const
    {
        char events[4096];
        return ::read(watch, events, sizeof events) > 0;
    }

    const std::unique_ptr<PseudoTerminal> pty = PseudoTerminal::open(0);
    const int watch = inotify_init1(IN_NONBLOCK);
    QString path;
};

// A pseudo-terminal for the program that the test joins to the simulator's
// line, so that it sees the program's bytes as they go out.
struct TappedLine
{
    explicit TappedLine(const QString &simulator)
        : far(::open(qPrintable(simulator), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        PseudoTerminal::makeRaw(far); // so that nothing echoes
        QObject::connect(
            &fromPanel, &QSocketNotifier::activated, [this] { sent += pass(master, far); });
        QObject::connect(
            &fromSimulator, &QSocketNotifier::activated, [this] { pass(far, master); });
    }
    ~TappedLine() { ::close(far); }
    static QByteArray pass(int from, int to)
    {
        char bytes[512];
        const ssize_t count = std::max<ssize_t>(0, ::read(from, bytes, sizeof bytes));
        (void)!::write(to, bytes, size_t(count));
        return QByteArray(bytes, count);
    }

    const std::unique_ptr<PseudoTerminal> pty
        = PseudoTerminal::open(PseudoTerminal::NonBlocking | PseudoTerminal::HoldFarEnd);
    const int master = pty->master();
    const QString path = QString::fromStdString(pty->farPath());
    const int far;
    QByteArray sent;
    QSocketNotifier fromPanel { master, QSocketNotifier::Read };
    QSocketNotifier fromSimulator { far, QSocketNotifier::Read };
};

QString lockOf(const QString &device)
{
    return QStringLiteral("/var/lock/LCK..") + device.mid(5).replace('/', '_');
}

// With `journal`, stderr goes to that file, named in JOURNAL_STREAM by its
// device and inode as systemd names the journal's stream to a service.
QProcess *startPanel(const QStringList &arguments, bool withDisplay, const QString &journal = {})
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
    if (!journal.isEmpty()) {
        QFile(journal).open(QIODevice::WriteOnly);
        struct stat file = {};
        ::stat(qPrintable(journal), &file);
        env.insert("JOURNAL_STREAM", QStringLiteral("%1:%2").arg(file.st_dev).arg(file.st_ino));
        panel->setProcessEnvironment(env);
        panel->setProcessChannelMode(QProcess::SeparateChannels);
        panel->setStandardErrorFile(journal);
    }
    panel->start(QStringLiteral(MATRIX_PANEL_PATH), arguments);
    return panel;
}

} // namespace

TEST(CommandLine, AnswersAndMistakesEndBeforeAnyWindowOrPort)
{
    WatchedPty pty;
    ASSERT_FALSE(pty.path.isEmpty());
    const QString ports = "1=" + pty.path;
    QTemporaryDir dir;
    const QString settings = dir.filePath("matrix-panel.conf");
    QFile file(settings);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("# a listen line that is no address\nports=" + ports.toUtf8() + "\nlisten=port\n");
    file.close();
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
        { { "--settings", settings }, 2, "matrix-panel.conf:3: listen: 'port'" },
        { { "--headless", "--ports", ports }, 2, "--headless" },
        // Not a core dump: one line, and how to run headless.
        { { "--ports", ports }, 1,
            "matrix-panel: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set); to run "
            "without a screen, use --headless with --listen or --videohub\n" },
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
            const QString lock = lockOf(device);
            EXPECT_TRUE(QFile::exists(lock)) << lock.toStdString();

            ::kill(pid_t(panel->processId()), signal);
            ASSERT_TRUE(panel->waitForFinished(10000)) << signal;
            EXPECT_EQ(panel->exitStatus(), QProcess::NormalExit) << signal;
            EXPECT_EQ(panel->exitCode(), 0) << signal;
            EXPECT_FALSE(QFile::exists(lock)) << lock.toStdString() << " after " << signal;
        }
    }
}

#if MATRIX_HAVE_REMOTE
// Headless, without a display, the program serves the network from the first
// status frame on, past the second in which the panel watchdog would end a
// windowed program whose panel is not visible, and SIGTERM ends it cleanly.
// Its log goes to the journal, which stamps the lines itself.
TEST(Headless, ServesTheNetworkWithoutADisplayAndEndsOnSigterm)
{
    QTemporaryDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.start(dir.filePath("switcher")));
    TappedLine line(dir.filePath("switcher"));
    const QString journal = dir.filePath("journal");
    std::unique_ptr<QProcess> panel(
        startPanel({ "--headless", "--listen", "0", "--ports", "1=" + line.path }, false, journal));
    QByteArray log;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QFile file(journal);
            log = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            return log.contains("\nmatrix.link: link up");
        },
        10000))
        << log.toStdString();
    const QString url = QRegularExpression("http://127.0.0.1:[0-9]+/")
                            .match(QString::fromLocal8Bit(log))
                            .captured();
    ASSERT_FALSE(url.isEmpty()) << log.toStdString();
    const bool locks = QFileInfo(QStringLiteral("/var/lock")).isWritable();
    EXPECT_TRUE(!locks || QFile::exists(lockOf(line.path)));

    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request(QUrl(url + "api/v1/route"));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    std::unique_ptr<QNetworkReply> reply(network.post(request, R"({"input": 3, "output": "B"})"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return reply->isFinished(); }, 5000));
    EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 202);
    EXPECT_TRUE(QTest::qWaitFor([&] { return line.sent.size() >= 4; }, 5000));
    // Past the second in which the watchdog would end a windowed program.
    QTest::qWait(1200);
    EXPECT_EQ(line.sent.toHex(' '), "06 f9 d5 7b");
    ASSERT_EQ(panel->state(), QProcess::Running);

    ::kill(pid_t(panel->processId()), SIGTERM);
    ASSERT_TRUE(panel->waitForFinished(10000));
    EXPECT_EQ(panel->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(panel->exitCode(), 0);
    EXPECT_FALSE(QFile::exists(lockOf(line.path)));
}
#endif
