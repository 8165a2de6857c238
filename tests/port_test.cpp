// The real serial port's words for a port it cannot lock: what the lock files
// in a directory say, and the message each set of facts gives.
#include "app/controller.h"
#include "link/lock_file.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "pseudo_terminal.h"

#include <QCoreApplication>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using PortLock::Facts;

namespace {

// The number of a process that has just ended.
qint64 deadProcess()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

TEST(PortLock, EachSetOfFactsHasItsOwnWords)
{
    const Facts::Kind held = Facts::Kind::Held;
    const QString lock = "/run/lock/LCK..ttyUSB0";
    const std::pair<Facts, const char *> cases[] = {
        { { held, lock, 4242, false, false },
            "a lock file was left by process 4242, which no longer runs: /run/lock/LCK..ttyUSB0; "
            "remove it: sudo rm /run/lock/LCK..ttyUSB0" },
        { { held, lock, 4242, true, false }, "in use by another program (process 4242)" },
        { { held, lock, 4242, true, false, 0, 0, "far" }, "(process 4242 on far)" },
        { { held, "/tmp/my lock", 4242, false, true }, "remove it: rm '/tmp/my lock'" },
        { { held, lock, 0, false, false }, "does not say which process made it;" },
        { { Facts::Kind::NameTooLong, lock, 0, false, false, 300, 255 },
            "path is too long to lock the port: the lock file would be /run/lock/LCK..ttyUSB0, "
            "a name of 300 bytes where at most 255" },
        { { Facts::Kind::NoDirectory, "/var/lock, /tmp" }, "can be written (/var/lock, /tmp)" },
    };
    for (const auto &[facts, words] : cases)
        EXPECT_TRUE(PortLock::describe(facts).contains(words)) << words;
    EXPECT_EQ(PortLock::describe({}), "");
    EXPECT_EQ(PortLock::lockFileName("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(PortLock::lockFileName("/tmp/line/a"), "LCK.._tmp_line_a");
}

TEST(PortLock, FactsComeFromTheLockFilesInTheFirstUsableDirectory)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QStringList directories = { dir.path() + "/missing", dir.path() };
    const QString device = "/dev/ttyUSB0";
    const QString path = dir.path() + "/LCK..ttyUSB0";
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    const QByteArray dead = QByteArray::number(deadProcess());
    const QByteArray program = QFile::encodeName(QCoreApplication::applicationFilePath());
    const QByteArray here = QSysInfo::machineHostName().toUtf8() + "\n"
        + QSysInfo::machineUniqueId() + "\n" + QSysInfo::bootUniqueId() + "\n";

    Facts facts = PortLock::examine(device, directories);
    EXPECT_EQ(facts.kind, Facts::Kind::None);
    EXPECT_EQ(facts.path, path);

    const std::tuple<QByteArray, qint64, bool> cases[] = {
        { dead + "\nmatrix-panel\n" + here, dead.toLongLong(), false },
        { "    " + dead + "\n", dead.toLongLong(), false }, // the older form: the number alone
        // the number now belongs to another program, or to an earlier boot
        { self + "\nmatrix-panel\n" + here, self.toLongLong(), false },
        { self + "\n" + program + "\n" + here.left(here.lastIndexOf('\n', -2) + 1) + "old\n",
            self.toLongLong(), false },
        // made on another machine: nothing here tells whether it runs
        { dead + "\nmatrix-panel\nfar\nfar-id\nfar-boot\n", dead.toLongLong(), true },
        { "garbage\n", 0, false },
    };
    for (const auto &[contents, pid, running] : cases) {
        writeFile(path, contents);
        facts = PortLock::examine(device, directories);
        EXPECT_TRUE(facts.kind == Facts::Kind::Held && facts.path == path && facts.removable);
        EXPECT_EQ(std::make_pair(facts.pid, facts.running), std::make_pair(pid, running))
            << contents.constData();
    }
    QFile::remove(path);

    EXPECT_EQ(
        PortLock::examine(device, { dir.path() + "/missing" }).kind, Facts::Kind::NoDirectory);
}

TEST(PortLock, ALockThisUserMayNotRemoveIsToldSo)
{
    // /run/lock is writable by all and sticky: a lock that root left there
    // stays for everyone else. A user other than root sees the same in a
    // directory that is not writable. Root looks as nobody, from a child
    // process that runs this test in the directory it is given.
    QString directory = qEnvironmentVariable("MATRIX_LOCK_DIRECTORY");
    QTemporaryDir dir;
    if (directory.isEmpty()) {
        ASSERT_TRUE(dir.isValid());
        directory = dir.path();
        writeFile(directory + "/LCK..ttyS0", QByteArray::number(deadProcess()) + "\n");
        const bool root = ::getuid() == 0;
        ASSERT_EQ(::chmod(QFile::encodeName(directory), root ? 01777 : 0555), 0);
        if (root) {
            QProcess nobody;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("MATRIX_LOCK_DIRECTORY", directory);
            nobody.setProcessEnvironment(environment);
            nobody.setProcessChannelMode(QProcess::MergedChannels);
            nobody.start("setpriv",
                { "--reuid=65534", "--regid=65534", "--clear-groups",
                    QCoreApplication::applicationFilePath(),
                    "--gtest_filter=PortLock.ALockThisUserMayNotRemoveIsToldSo" });
            const bool ran = nobody.waitForFinished(30000);
            const QByteArray output = nobody.readAll();
            ::chmod(QFile::encodeName(directory), 0700);
            if (!ran || !output.contains("[==========]"))
                GTEST_SKIP() << "root may not run this test as another user here: "
                             << output.toStdString();
            EXPECT_EQ(nobody.exitCode(), 0) << output.toStdString();
            return;
        }
    }
    const Facts facts = PortLock::examine("/dev/ttyS0", { directory });
    ::chmod(QFile::encodeName(dir.path()), 0700);
    EXPECT_EQ(facts.kind, Facts::Kind::Held);
    EXPECT_TRUE(facts.pid > 0 && !facts.running);
    EXPECT_FALSE(facts.removable);
}

TEST(PortLock, TheRealPortSaysWhatStopsItFromOpening)
{
    QString deep = "/nowhere"; // a path too long for a lock file, which need not exist
    while (PortLock::lockFileName(deep).size() <= 255)
        deep += "/directory";
    std::string why;
    const auto terminal = PseudoTerminal::open(0, &why);
    ASSERT_TRUE(terminal) << why;
    const QString pty = QString::fromStdString(terminal->farPath());

    QString error;
    QtSerialPort port(*PortTable::parse("1=" + deep + "/tty,2=" + pty, &error));
    ASSERT_FALSE(port.open());
    EXPECT_TRUE(port.errorString().startsWith("the device's path is too long"))
        << port.errorString().toStdString();
    EXPECT_FALSE(port.lastErrorWasPermission());

    // Another program holds the pseudo-terminal's lock, where Qt looks for it.
    QLockFile other(PortLock::examine(pty).path);
    ASSERT_TRUE(other.tryLock());
    port.setCommPort(2);
    EXPECT_FALSE(port.open());
    EXPECT_EQ(port.errorString(),
        QString("the port is in use by another program (process %1)")
            .arg(QCoreApplication::applicationPid()));
    EXPECT_FALSE(port.lastErrorWasPermission());
    other.unlock();
    EXPECT_TRUE(port.open()) << port.errorString().toStdString();
    port.close();
}

TEST(PortWords, ADeviceThatIsNoSerialPortIsCalledSoAndTheSearchNamesThePortsThere)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("plain"), "x");
    const struct
    {
        QString path;
        const char *says;
    } cases[] = { { "/dev/null", "not a serial port" }, { "/dev/zero", "not a serial port" },
        { dir.path(), "not a serial port" }, { dir.filePath("plain"), "not a serial port" },
        { dir.filePath("missing"), "no such device" } };
    for (const auto &c : cases) {
        QString error;
        QtSerialPort port(*PortTable::parse("1=" + c.path, &error));
        EXPECT_FALSE(port.open()) << c.says;
        EXPECT_EQ(port.errorString(), c.says) << c.path.toStdString();
    }

    for (const auto &[table, says] : { std::pair { "1=/dev/null", "Searching port 1." },
             std::pair { "1=/dev/null,3=/dev/zero,4=/dev/null", "Searching ports 1, 3-4." } }) {
        QString error;
        Controller app(std::make_unique<QtSerialPort>(*PortTable::parse(table, &error)));
        app.Form_Load();
        EXPECT_EQ(app.startupPortMessage(),
            QString("matrix-panel: cannot open serial port 1 (/dev/null): not a serial port. ")
                + says);
    }
}
