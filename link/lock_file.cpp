#include "link/lock_file.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <climits>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace PortLock {

QStringList qtLockDirectories()
{
    return { QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"),
        QStringLiteral("/tmp"), QStringLiteral("/var/tmp"), QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/run/lock") };
}

QString lockFileName(const QString &devicePath)
{
    QString name = devicePath.startsWith(QLatin1String("/dev/")) ? devicePath.mid(5) : devicePath;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QLatin1String("LCK..") + name;
}

#ifdef Q_OS_UNIX
namespace {

bool accessible(const QString &path, int mode)
{
    return ::access(QFile::encodeName(path).constData(), mode) == 0;
}

int longestName(const QString &directory)
{
    const long max = ::pathconf(QFile::encodeName(directory).constData(), _PC_NAME_MAX);
    return max > 0 && max < INT_MAX ? int(max) : NAME_MAX;
}

// Whether the lock was made on this machine, as Qt tells: by the machine's
// id where the lock has one, else by the host's name.
bool madeHere(const QByteArray &host, const QByteArray &machineId)
{
    const QByteArray ours = QSysInfo::machineUniqueId();
    if (!machineId.isEmpty() && !ours.isEmpty())
        return machineId == ours;
    return host.isEmpty() || host == QSysInfo::machineHostName().toUtf8();
}

// Whether the process that wrote the lock still runs, judged as Qt judges it
// before it removes a stale lock: a lock from an earlier boot is stale, and so
// is one whose process number has gone to another program. Where this user
// may not see which program runs under the number, it counts as the holder.
bool holderRuns(qint64 pid, const QByteArray &program, const QByteArray &bootId)
{
    if (pid <= 0 || pid > qint64(INT_MAX))
        return false;
    if (!bootId.isEmpty() && bootId != QSysInfo::bootUniqueId())
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return false;
    char target[PATH_MAX];
    const QByteArray exe = "/proc/" + QByteArray::number(pid) + "/exe";
    const ssize_t length = ::readlink(exe.constData(), target, sizeof target - 1);
    if (length <= 0 || program.isEmpty())
        return true;
    QByteArray running(target, int(length));
    if (running.endsWith(" (deleted)"))
        running.chop(10);
    return running.mid(running.lastIndexOf('/') + 1) == program.mid(program.lastIndexOf('/') + 1);
}

// Removing a file takes write and search rights on its directory; in a
// directory with the sticky bit, as /run/lock has, also owning the file or
// the directory, unless one is root.
bool mayRemove(const QString &file)
{
    const QByteArray directory = QFile::encodeName(QFileInfo(file).absolutePath());
    struct stat directoryInfo = {};
    struct stat fileInfo = {};
    if (::stat(directory.constData(), &directoryInfo) != 0
        || ::lstat(QFile::encodeName(file).constData(), &fileInfo) != 0
        || ::access(directory.constData(), W_OK | X_OK) != 0)
        return false;
    const uid_t user = ::getuid();
    return !(directoryInfo.st_mode & S_ISVTX) || user == 0 || fileInfo.st_uid == user
        || directoryInfo.st_uid == user;
}

} // namespace

Facts examine(const QString &devicePath, const QStringList &directories)
{
    Facts facts;
    const QString name = lockFileName(devicePath);
    QString directory;
    for (const QString &candidate : directories) {
        if (!accessible(candidate, R_OK))
            continue;
        if (QFileInfo::exists(candidate + QLatin1Char('/') + name) || accessible(candidate, W_OK)) {
            directory = candidate;
            break;
        }
    }
    if (directory.isEmpty()) {
        facts.kind = Facts::Kind::NoDirectory;
        facts.path = directories.join(QLatin1String(", "));
        return facts;
    }
    facts.path = directory + QLatin1Char('/') + name;

    facts.nameBytes = int(QFile::encodeName(name).size());
    facts.nameMax = longestName(directory);
    if (facts.nameBytes > facts.nameMax) {
        facts.kind = Facts::Kind::NameTooLong;
        return facts;
    }

    if (!QFileInfo::exists(facts.path))
        return facts;
    facts.kind = Facts::Kind::Held;
    facts.removable = mayRemove(facts.path);
    // Qt writes the process number, the program's name, the host's name,
    // the machine's id and the boot's id, a line each. Other programs that
    // lock serial ports write the number alone, padded with spaces.
    QFile file(facts.path);
    if (!file.open(QIODevice::ReadOnly))
        return facts;
    const QList<QByteArray> lines = file.read(4096).split('\n');
    bool ok = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0)
        return facts;
    facts.pid = pid;
    if (madeHere(lines.value(2), lines.value(3))) {
        facts.running = holderRuns(pid, lines.value(1), lines.value(4));
    } else {
        // Its process number says nothing about the processes here.
        facts.host = QString::fromUtf8(lines.value(2));
        facts.running = true;
    }
    return facts;
}
#else
Facts examine(const QString &, const QStringList &)
{
    return {};
}
#endif

namespace {

// The path as it can be pasted into a shell.
QString shellWord(const QString &path)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+:,=@%-]+$"));
    if (plain.match(path).hasMatch())
        return path;
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

QString describe(const Facts &facts)
{
    switch (facts.kind) {
    case Facts::Kind::None:
        return {};
    case Facts::Kind::NoDirectory:
        return QStringLiteral("the port cannot be locked: none of the lock directories can be "
                              "written (%1)")
            .arg(facts.path);
    case Facts::Kind::NameTooLong:
        return QStringLiteral("the device's path is too long to lock the port: the lock file "
                              "would be %1, a name of %2 bytes where at most %3 are allowed; use "
                              "a shorter path to the device")
            .arg(facts.path)
            .arg(facts.nameBytes)
            .arg(facts.nameMax);
    case Facts::Kind::Held:
        break;
    }
    if (facts.running && !facts.host.isEmpty())
        return QStringLiteral("the port is in use by another program (process %1 on %2)")
            .arg(QString::number(facts.pid), facts.host);
    if (facts.running)
        return QStringLiteral("the port is in use by another program (process %1)").arg(facts.pid);
    const QString remove = (facts.removable ? QStringLiteral("rm ") : QStringLiteral("sudo rm "))
        + shellWord(facts.path);
    if (facts.pid == 0)
        return QStringLiteral("the port is locked by %1, which does not say which process made "
                              "it; if no other program uses the port, remove it: %2")
            .arg(facts.path, remove);
    return QStringLiteral("a lock file was left by process %1, which no longer runs: %2; "
                          "remove it: %3")
        .arg(QString::number(facts.pid), facts.path, remove);
}

} // namespace PortLock
