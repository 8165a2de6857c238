// The announcement through an Avahi daemon of this test's own, on a system
// bus of its own, restricted to the loopback interface so that nothing is
// announced on any network. Skipped (77) where the daemons cannot run.
#include "videohub/discovery.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

const char BusConfig[]
    = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=%1</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/>
<allow send_type="signal"/><allow send_type="method_return"/><allow send_type="error"/>
<allow receive_type="method_call"/><allow receive_type="signal"/>
<allow receive_type="method_return"/><allow receive_type="error"/></policy></busconfig>
)";
const char AvahiConfig[] = "[server]\nallow-interfaces=lo\nuse-ipv4=yes\nuse-ipv6=no\n"
                           "enable-dbus=yes\n[wide-area]\nenable-wide-area=no\n"
                           "[publish]\npublish-hinfo=no\npublish-workstation=no\n";

int warnings = 0;
void countWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg && message.contains(QLatin1String("not announced")))
        ++warnings;
}

void skip(const char *why)
{
    std::printf("discovery_test: SKIPPED: %s\n", why);
    std::fflush(stdout);
    std::_Exit(77);
}

bool write(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

} // namespace

TEST(Discovery, AnnouncesThroughTheAvahiDaemonAndSaysOnceWhereThereIsNone)
{
    for (const char *tool :
        { "/usr/bin/dbus-daemon", "/usr/sbin/avahi-daemon", "/usr/bin/avahi-browse" }) {
        if (!QFile::exists(QLatin1String(tool)))
            skip("dbus-daemon, avahi-daemon or avahi-browse is not installed (dbus, avahi-daemon, "
                 "avahi-utils)");
    }
    QTemporaryDir dir;
    const QString socket = dir.filePath("bus");
    ASSERT_TRUE(
        write(dir.filePath("bus.conf"), QString::fromLatin1(BusConfig).arg(socket).toUtf8()));
    ASSERT_TRUE(write(dir.filePath("avahi.conf"), AvahiConfig));
    QProcess bus;
    bus.start("/usr/bin/dbus-daemon",
        { "--config-file=" + dir.filePath("bus.conf"), "--nofork", "--print-address" });
    if (!bus.waitForReadyRead(5000))
        skip("no D-Bus daemon of its own could start here");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + socket.toUtf8());
    qInstallMessageHandler(countWarnings);

    Discovery absent;
    QSignalSpy absentDone(&absent, &Discovery::finished);
    absent.announce("matrix-panel test", 9990);
    ASSERT_TRUE(absentDone.wait(10000));
    EXPECT_EQ(absentDone[0][0], false);
    EXPECT_EQ(warnings, 1);

    QProcess avahi;
    avahi.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    avahi.setProcessChannelMode(QProcess::MergedChannels);
    avahi.start("/usr/sbin/avahi-daemon",
        { "--no-drop-root", "--no-chroot", "--no-rlimits", "--no-proc-title", "-f",
            dir.filePath("avahi.conf") });
    QByteArray said;
    const bool up = QTest::qWaitFor(
        [&] {
            said += avahi.readAll();
            return said.contains("Server startup complete")
                || avahi.state() == QProcess::NotRunning;
        },
        10000);
    if (!up || !said.contains("Server startup complete")) {
        bus.kill();
        bus.waitForFinished();
        std::printf("%s\n", said.constData());
        skip("avahi-daemon could not start here (another one running?)");
    }

    Discovery present;
    QSignalSpy presentDone(&present, &Discovery::finished);
    present.announce("matrix-panel test", 9990);
    ASSERT_TRUE(presentDone.wait(10000));
    EXPECT_EQ(presentDone[0][0], true);
    QProcess browse;
    browse.start("/usr/bin/avahi-browse", { "-prt", "_videohub._tcp" });
    ASSERT_TRUE(browse.waitForFinished(15000));
    const QByteArray seen = browse.readAll();
    EXPECT_TRUE(seen.contains("=;lo;IPv4;matrix-panel\\032test;_videohub._tcp;local;"))
        << seen.toStdString();
    EXPECT_TRUE(seen.contains(";9990;")) << seen.toStdString();
    EXPECT_EQ(warnings, 1);

    qInstallMessageHandler(nullptr);
    avahi.terminate();
    avahi.waitForFinished(5000);
    bus.terminate();
    bus.waitForFinished(5000);
}
