#include "core/user_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>
#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

Q_LOGGING_CATEGORY(lcStore, "matrix.store", QtWarningMsg)

namespace {

// Far more than a user sets by hand; a larger file is not one of ours.
constexpr qint64 MaxSize = 1024 * 1024;

#ifdef Q_OS_UNIX

// Where a write builds the new contents: FILE.XXXXXX, as QSaveFile names
// them too, so that leftovers of either are found by the same pattern.
QString temporaryPath(const QString &path)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QString suffix;
    for (int k = 0; k < 6; ++k)
        suffix += QLatin1Char(letters[QRandomGenerator::global()->bounded(62)]);
    return path + QLatin1Char('.') + suffix;
}

QString errnoText(int error)
{
    return qt_error_string(error);
}

// Plain files only, opened so that nothing can block: the check before the
// open keeps FIFOs and devices shut, the one after it a file swapped between.
std::optional<QByteArray> readPlainFile(const QString &path, QString *problem)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat status
    {
    };
    if (::lstat(native.constData(), &status) != 0) {
        if (errno != ENOENT)
            *problem = errnoText(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        *problem = QStringLiteral("it is not a plain file");
        return std::nullopt;
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *problem = errnoText(errno);
        return std::nullopt;
    }
    QByteArray contents;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *problem = QStringLiteral("it is not a plain file");
    } else {
        char buffer[16 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *problem = errnoText(errno);
                break;
            }
            if (n == 0)
                break;
            contents.append(buffer, n);
            if (contents.size() > MaxSize) {
                *problem = QStringLiteral("it is larger than %1 bytes").arg(MaxSize);
                break;
            }
        }
    }
    ::close(fd);
    if (!problem->isEmpty())
        return std::nullopt;
    return contents;
}

bool writeAll(int fd, const QByteArray &contents)
{
    const char *data = contents.constData();
    qsizetype left = contents.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= n;
    }
    return true;
}

// The whole contents reach the disk under a temporary name before the
// rename puts them in place, so the path holds either the old file or the
// new one. Renaming over the path also replaces a symbolic link itself,
// never what it points to.
bool replaceFile(const QString &path, const QByteArray &contents, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = QFile::encodeName(temporaryPath(path));
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        *error = errnoText(errno);
        return false;
    }
    // A user who made the file private keeps it private.
    struct stat old
    {
    };
    if (::lstat(native.constData(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd, old.st_mode & 07777);
    int failure = 0;
    if (!writeAll(fd, contents) || ::fsync(fd) != 0)
        failure = errno;
    if (::close(fd) != 0 && failure == 0)
        failure = errno;
    if (failure == 0 && ::rename(temporary.constData(), native.constData()) != 0)
        failure = errno;
    if (failure != 0) {
        ::unlink(temporary.constData());
        *error = errnoText(failure);
        return false;
    }
    // The rename lasts through a power cut only once the folder is synced.
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || ::fsync(dirFd) != 0)
        qCWarning(lcStore).noquote()
            << "wrote" << path << "but cannot sync its folder:" << errnoText(errno);
    if (dirFd >= 0)
        ::close(dirFd);
    return true;
}

bool moveAside(const QString &from, const QString &to, QString *error)
{
    const QByteArray target = QFile::encodeName(to);
    // The older of two unreadable files goes.
    ::unlink(target.constData());
    if (::rename(QFile::encodeName(from).constData(), target.constData()) == 0 || errno == ENOENT)
        return true;
    *error = errnoText(errno);
    return false;
}

#else

std::optional<QByteArray> readPlainFile(const QString &path, QString *problem)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return std::nullopt;
    QFile file(path);
    if (info.isSymLink() || !info.isFile())
        *problem = QStringLiteral("it is not a plain file");
    else if (info.size() > MaxSize)
        *problem = QStringLiteral("it is larger than %1 bytes").arg(MaxSize);
    else if (!file.open(QIODevice::ReadOnly))
        *problem = file.errorString();
    else
        return file.readAll();
    return std::nullopt;
}

bool replaceFile(const QString &path, const QByteArray &contents, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() && file.commit())
        return true;
    *error = file.errorString();
    return false;
}

bool moveAside(const QString &from, const QString &to, QString *error)
{
    QFile::remove(to);
    QFile file(from);
    if (!QFileInfo(from).exists() || file.rename(to))
        return true;
    *error = file.errorString();
    return false;
}

#endif

} // namespace

UserFile::UserFile(QString path)
    : m_path(std::move(path))
{
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { flush(); });
}

UserFile::~UserFile()
{
    m_callbacks.clear();
    flush();
}

QString UserFile::inDataLocation(const QString &fileName)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QLatin1Char('/')
        + fileName;
}

std::optional<QByteArray> UserFile::read(QString *problem)
{
    // Left by a write that was killed before its rename.
    const QFileInfo info(m_path);
    const QRegularExpression leftover(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(info.fileName()) + QStringLiteral("\\.[A-Za-z0-9]{6}")));
    const QDir folder = info.absoluteDir();
    for (const QString &name : folder.entryList({ info.fileName() + QStringLiteral(".*") },
             QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks)) {
        if (leftover.match(name).hasMatch() && QFile::remove(folder.filePath(name)))
            qCDebug(lcStore).noquote()
                << "removed" << folder.filePath(name) << "left by a write cut short";
    }

    QString why;
    std::optional<QByteArray> contents = readPlainFile(m_path, &why);
    if (!why.isEmpty())
        markBad(why);
    if (problem)
        *problem = why;
    return contents;
}

void UserFile::markBad(const QString &problem)
{
    m_keepAside = true;
    qCWarning(lcStore).noquote() << "cannot read" << m_path << "(" + problem + "):"
                                 << "using the defaults";
}

void UserFile::write(QByteArray contents, Done done)
{
    m_contents = std::move(contents);
    m_callbacks.push_back(std::move(done));
    if (m_timer.isActive())
        return;
    // After a quiet second the change is written now, and its owner told at
    // once: a client that asks and leaves (printf | nc) hears the answer.
    const qint64 since = m_sinceWrite.isValid() ? m_sinceWrite.elapsed() : m_minimumIntervalMs;
    if (since >= m_minimumIntervalMs) {
        flush();
        return;
    }
    m_timer.start(int(m_minimumIntervalMs - since));
}

bool UserFile::flush(QString *error)
{
    m_timer.stop();
    if (!m_contents)
        return true;
    const QByteArray contents = *std::exchange(m_contents, std::nullopt);
    const std::vector<Done> callbacks = std::exchange(m_callbacks, {});
    QString failure;
    const bool stored = store(contents, &failure);
    m_sinceWrite.start();
    if (!stored)
        qCWarning(lcStore).noquote() << failure;
    for (const Done &done : callbacks) {
        if (done)
            done(stored, failure);
    }
    if (error)
        *error = failure;
    return stored;
}

bool UserFile::store(const QByteArray &contents, QString *error)
{
    QString why;
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        why = QStringLiteral("cannot make the folder %1").arg(folder);
    } else if (m_keepAside && !moveAside(m_path, m_path + QStringLiteral(".bad"), &why)) {
        // Writing now would lose the file that the user may want back.
        why = QStringLiteral("cannot keep the unreadable file as .bad: ") + why;
    } else {
        m_keepAside = false;
        if (replaceFile(m_path, contents, &why))
            return true;
    }
    *error = QStringLiteral("cannot write %1: %2").arg(m_path, why);
    return false;
}
