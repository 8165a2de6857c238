#include "link/qt_serial_port.h"

#include "link/lock_file.h"

#include <QFileInfo>
#include <QLoggingCategory>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

Q_LOGGING_CATEGORY(lcPort, "matrix.port", QtWarningMsg)

QtSerialPort::QtSerialPort(PortTable table, QObject *parent)
    : QObject(parent)
    , m_table(std::move(table))
{
    connect(&m_port, &QSerialPort::errorOccurred, this, &QtSerialPort::onError);
}

QtSerialPort::~QtSerialPort() = default;

namespace {

// Whether a device that Qt could not set up as a serial port is something
// else: a directory, a plain file, /dev/null. A terminal's settings cannot be
// read from those ("Inappropriate ioctl for device").
bool notASerialPort(const QString &path, const QString &why)
{
    const QFileInfo info(path);
    if (info.isDir() || info.isFile())
        return true;
#ifdef Q_OS_UNIX
    if (why != QString::fromLocal8Bit(std::strerror(ENOTTY)))
        return false;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool terminal = ::isatty(fd);
    ::close(fd);
    return !terminal;
#else
    return false;
#endif
}

// The system's words go after a colon in our messages: "no such file",
// not "No such file". An initialism ("I/O error") keeps its capitals.
QString afterColon(QString why)
{
    if (why.size() > 1 && why[0].isUpper() && why[1].isLower())
        why[0] = why[0].toLower();
    return why;
}

} // namespace

bool QtSerialPort::fail(const QString &why)
{
    m_error = why;
    return false;
}

bool QtSerialPort::setCommPort(int number)
{
    if (m_port.isOpen())
        return fail(QStringLiteral("the port number cannot change while the port is open"));
    m_number = number;
    return true;
}

bool QtSerialPort::setSettings(const QString &settings)
{
    // "baud,parity,data,stop", parity one of n/e/o/m/s
    const QStringList parts = settings.split(QLatin1Char(','));
    if (parts.size() != 4)
        return fail(QStringLiteral("bad line settings \"%1\"").arg(settings));
    bool ok = false;
    const int baud = parts[0].toInt(&ok);
    const int data = parts[2].toInt();
    const QString parity = parts[1].toLower();
    const QString stop = parts[3];
    static const QMap<QString, QSerialPort::Parity> parities = { { "n", QSerialPort::NoParity },
        { "e", QSerialPort::EvenParity }, { "o", QSerialPort::OddParity },
        { "m", QSerialPort::MarkParity }, { "s", QSerialPort::SpaceParity } };
    if (!ok || baud <= 0 || data < 5 || data > 8 || !parities.contains(parity)
        || (stop != "1" && stop != "2" && stop != "1.5"))
        return fail(QStringLiteral("bad line settings \"%1\"").arg(settings));
    m_baud = baud;
    m_parity = parities.value(parity);
    m_dataBits = QSerialPort::DataBits(data);
    m_stopBits = stop == "1" ? QSerialPort::OneStop
        : stop == "2"        ? QSerialPort::TwoStop
                             : QSerialPort::OneAndHalfStop;
    if (m_port.isOpen()) {
        m_port.setBaudRate(m_baud);
        m_port.setParity(m_parity);
        m_port.setDataBits(m_dataBits);
        m_port.setStopBits(m_stopBits);
    }
    return true;
}

bool QtSerialPort::setDtrEnable(bool enable)
{
    m_dtr = enable;
    if (m_port.isOpen()) {
        // A pseudo-terminal has no modem lines ("Inappropriate ioctl"): the
        // port works without DTR, so the failure is dropped.
        m_port.setDataTerminalReady(enable);
        m_port.clearError();
    }
    return true;
}

bool QtSerialPort::open()
{
    m_permissionError = false;
    if (m_port.isOpen())
        return fail(QStringLiteral("the port is already open"));
    const QString device = m_table.device(m_number);
    if (device.isEmpty())
        return fail(QStringLiteral("no device is set for this port"));

    // QSerialPort resolves a bare name against /dev; a symbolic link (a
    // simulator, a device server bridge) must be opened by its target.
    QString path = device;
    const QFileInfo info(device);
    if (info.isSymLink())
        path = info.symLinkTarget();
    m_port.setPortName(path);
    m_port.setBaudRate(m_baud);
    m_port.setParity(m_parity);
    m_port.setDataBits(m_dataBits);
    m_port.setStopBits(m_stopBits);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = m_port.error();
        QString why = m_port.errorString();
        if (error == QSerialPort::DeviceNotFoundError)
            why = QStringLiteral("no such device");
        else if (error != QSerialPort::PermissionError && notASerialPort(path, why))
            why = QStringLiteral("not a serial port");
        if (error == QSerialPort::PermissionError) {
#ifdef Q_OS_UNIX
            // Qt locks the port before it opens the device and reports any
            // trouble with the lock as a permission error too: a lock held by
            // another program, one left behind by a program that died, a
            // device path too long for a lock file. Only a device this user
            // may not open is a matter of rights.
            const PortLock::Facts lock = PortLock::examine(path);
            const int accessError
                = ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0 ? 0 : errno;
            m_permissionError
                = accessError == EACCES && lock.kind != PortLock::Facts::Kind::NameTooLong;
            if (lock.kind != PortLock::Facts::Kind::None)
                why = PortLock::describe(lock);
            else if (accessError == 0)
                why = QStringLiteral("the port is in use by another program");
#else
            m_permissionError = true;
#endif
        }
        m_port.clearError();
        return fail(afterColon(why));
    }
    m_port.setDataTerminalReady(m_dtr);
    m_port.clearError();
    qCDebug(lcPort).noquote() << "opened port" << m_number << device;
    return true;
}

bool QtSerialPort::close()
{
    if (!m_port.isOpen())
        return fail(QStringLiteral("the port is not open"));
    m_port.close();
    m_port.clearError();
    return true;
}

bool QtSerialPort::write(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        return fail(QStringLiteral("the port is not open"));
    if (m_port.write(bytes) != bytes.size())
        return fail(afterColon(m_port.errorString()));
    // Hand the bytes to the device now rather than when the event loop next
    // runs: the command pacing counts from here.
    m_port.flush();
    return true;
}

std::optional<int> QtSerialPort::bytesWaiting()
{
    if (!m_port.isOpen())
        return std::nullopt;
    return int(qMin<qint64>(m_port.bytesAvailable(), INT_MAX));
}

std::optional<QByteArray> QtSerialPort::readAll()
{
    if (!m_port.isOpen())
        return std::nullopt;
    return m_port.readAll();
}

void QtSerialPort::onError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
        return;
    // After a hang-up (adapter unplugged, far end gone) QSerialPort keeps
    // reporting the error from its read notifier at full CPU until the port
    // is closed. Close it from the event loop, outside the notifier.
    // A vanished device (adapter pulled, far end closed) reads as some
    // ioctl failing; say what happened instead.
    m_error = error == QSerialPort::ResourceError
        ? QStringLiteral("the device is gone (unplugged, or closed at the far end)")
        : afterColon(m_port.errorString());
    qCDebug(lcPort).noquote() << "port" << m_number << "lost:" << m_error;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_port.isOpen())
                m_port.close();
            m_port.clearError();
        },
        Qt::QueuedConnection);
}
