// Runs the real matrix-sim binary on a pseudo-terminal and talks to it through
// QSerialPort, the way the panel does. These tests use real time, so every
// wait is generous and bounded.

#include "core/status_frame.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QThread>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifndef MATRIX_SIM_PATH
#error "MATRIX_SIM_PATH must name the matrix-sim binary"
#endif

namespace {

using StatusFrame::byteAt;

constexpr int Period = 20;
constexpr int StartTimeout = 3000;
constexpr int FrameTimeout = 2000;

bool pathIsSymlink(const QString &path)
{
    struct stat info = {};
    return lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

struct Frame
{
    QByteArray bytes;
    bool valid = false;
};

// Cuts the byte stream from the switcher into frames. A window with a known
// marker pair counts as a frame even when its checksum is wrong, so corrupt
// frames can be counted; anything else is skipped a byte at a time.
class FrameReader
{
public:
    explicit FrameReader(QSerialPort &port)
        : m_port(port)
    {
    }

    qint64 bytesReceived() const { return m_bytesReceived; }

    // Every frame that arrives within `ms`, after those already queued.
    std::vector<Frame> readFor(int ms)
    {
        QElapsedTimer timer;
        timer.start();
        for (qint64 left = ms; left > 0; left = ms - timer.elapsed())
            pump(int(left));
        pump(0);
        std::vector<Frame> frames(m_frames.begin(), m_frames.end());
        m_frames.clear();
        return frames;
    }

    // The first valid frame accepted by `wanted`, dropping those before it.
    std::optional<QByteArray> waitFor(
        const std::function<bool(const QByteArray &)> &wanted, int timeoutMs = FrameTimeout)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            while (!m_frames.empty()) {
                Frame frame = m_frames.front();
                m_frames.pop_front();
                if (frame.valid && wanted(frame.bytes))
                    return frame.bytes;
            }
            const qint64 left = timeoutMs - timer.elapsed();
            if (left <= 0)
                return std::nullopt;
            pump(int(left));
        }
    }

    // The next `count` valid frames.
    std::vector<QByteArray> validFrames(int count, int timeoutMs = FrameTimeout)
    {
        std::vector<QByteArray> frames;
        QElapsedTimer timer;
        timer.start();
        while (int(frames.size()) < count) {
            const qint64 left = timeoutMs - timer.elapsed();
            if (left <= 0)
                break;
            if (auto frame = waitFor([](const QByteArray &) { return true; }, int(left)))
                frames.push_back(*frame);
        }
        return frames;
    }

private:
    void pump(int waitMs)
    {
        if (m_port.bytesAvailable() == 0 && waitMs > 0)
            m_port.waitForReadyRead(waitMs);
        const QByteArray bytes = m_port.readAll();
        m_bytesReceived += bytes.size();
        m_buffer += bytes;
        while (m_buffer.size() >= StatusFrame::Length) {
            const QByteArray window = m_buffer.left(StatusFrame::Length);
            if (StatusFrame::markerKind(window) == StatusFrame::Kind::Invalid) {
                m_buffer.remove(0, 1);
                continue;
            }
            m_frames.push_back({ window, StatusFrame::isValid(window) });
            m_buffer.remove(0, StatusFrame::Length);
        }
    }

    QSerialPort &m_port;
    QByteArray m_buffer;
    std::deque<Frame> m_frames;
    qint64 m_bytesReceived = 0;
};

class SimE2eTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (m_port.isOpen())
            m_port.close();
        if (m_sim.state() != QProcess::NotRunning) {
            m_sim.closeWriteChannel();
            if (!m_sim.waitForFinished(StartTimeout)) {
                m_sim.kill();
                m_sim.waitForFinished(StartTimeout);
            }
        }
    }

    // Starts the simulator and reads the path it serves from its first line.
    void startSim(const QStringList &extraArguments = {})
    {
        ASSERT_TRUE(m_dir.isValid());
        m_linkPath = m_dir.filePath(QStringLiteral("sw"));
        QStringList arguments { QStringLiteral("--link"), m_linkPath, QStringLiteral("--period"),
            QString::number(Period) };
        arguments += extraArguments;
        m_sim.setProgram(QStringLiteral(MATRIX_SIM_PATH));
        m_sim.setArguments(arguments);
        m_sim.start();
        ASSERT_TRUE(m_sim.waitForStarted(StartTimeout)) << m_sim.errorString().toStdString();

        QElapsedTimer timer;
        timer.start();
        while (!m_sim.canReadLine() && timer.elapsed() < StartTimeout)
            m_sim.waitForReadyRead(100);
        ASSERT_TRUE(m_sim.canReadLine())
            << "no path on stdout; stderr: " << m_sim.readAllStandardError().toStdString();
        m_servedPath = QString::fromLocal8Bit(m_sim.readLine()).trimmed();
        ASSERT_TRUE(m_servedPath.startsWith(QLatin1String("/dev/pts/")))
            << m_servedPath.toStdString();
        ASSERT_TRUE(pathIsSymlink(m_linkPath));
        ASSERT_EQ(QFileInfo(m_linkPath).symLinkTarget(), m_servedPath);
    }

    void openPort()
    {
        m_port.setPortName(m_linkPath);
        m_port.setBaudRate(QSerialPort::Baud9600);
        m_port.setDataBits(QSerialPort::Data8);
        m_port.setParity(QSerialPort::NoParity);
        m_port.setStopBits(QSerialPort::OneStop);
        m_port.setFlowControl(QSerialPort::NoFlowControl);
        ASSERT_TRUE(m_port.open(QIODevice::ReadWrite)) << m_port.errorString().toStdString();
        // A pseudo-terminal has no modem lines; the panel ignores this failure.
        m_port.setDataTerminalReady(true);
        m_port.clearError();
    }

    void sendControl(const char *line)
    {
        m_sim.write(line);
        m_sim.write("\n");
        ASSERT_TRUE(m_sim.waitForBytesWritten(StartTimeout));
    }

    // Writes bytes one at a time about 50 ms apart, as the panel does.
    void sendSlowly(const std::vector<uint8_t> &bytes)
    {
        for (const uint8_t byte : bytes) {
            m_port.write(QByteArray(1, char(byte)));
            m_port.waitForBytesWritten(500);
            QThread::msleep(50);
        }
    }

    // True once the simulator's stderr has contained `text`.
    bool waitForLog(const QString &text, int timeoutMs = FrameTimeout)
    {
        QElapsedTimer timer;
        timer.start();
        m_sim.setReadChannel(QProcess::StandardError);
        for (;;) {
            m_log += QString::fromLocal8Bit(m_sim.readAllStandardError());
            if (m_log.contains(text))
                return true;
            if (timer.elapsed() >= timeoutMs)
                return false;
            m_sim.waitForReadyRead(50);
        }
    }

    bool waitForExit(int timeoutMs = FrameTimeout)
    {
        return m_sim.waitForFinished(timeoutMs) && m_sim.exitStatus() == QProcess::NormalExit;
    }

    QTemporaryDir m_dir;
    QString m_linkPath;
    QString m_servedPath;
    QString m_log;
    QProcess m_sim;
    QSerialPort m_port;
    FrameReader m_reader { m_port };
};

void expectStartingRoutes(const QByteArray &frame)
{
    EXPECT_EQ(byteAt(frame, 6), 1);
    EXPECT_EQ(byteAt(frame, 7), 2);
    EXPECT_EQ(byteAt(frame, 8), 4);
    EXPECT_EQ(byteAt(frame, 9), 8);
}

TEST_F(SimE2eTest, StreamsFourOutputFramesWithPowerOn)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_NO_FATAL_FAILURE(openPort());

    const std::vector<QByteArray> frames = m_reader.validFrames(8);
    ASSERT_EQ(frames.size(), 8u);
    for (const QByteArray &frame : frames) {
        EXPECT_EQ(StatusFrame::markerKind(frame), StatusFrame::Kind::FourOutput);
        EXPECT_EQ(byteAt(frame, 2), 0);
        EXPECT_EQ(byteAt(frame, 10), 0xFF);
        EXPECT_EQ(byteAt(frame, 11), 1);
        expectStartingRoutes(frame);
    }
}

TEST_F(SimE2eTest, RouteCommandChangesOutputSource)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_NO_FATAL_FAILURE(openPort());
    ASSERT_TRUE(m_reader.waitFor([](const QByteArray &) { return true; }));

    // Input 3 to output 2.
    sendSlowly({ 6, 249, 213, 123 });
    const auto routed = m_reader.waitFor([](const QByteArray &f) { return byteAt(f, 7) == 4; });
    ASSERT_TRUE(routed);
    EXPECT_EQ(byteAt(*routed, 6), 1);
    EXPECT_EQ(byteAt(*routed, 8), 4);
    EXPECT_EQ(byteAt(*routed, 9), 8);
    for (const QByteArray &frame : m_reader.validFrames(3))
        EXPECT_EQ(byteAt(frame, 7), 4);
    EXPECT_TRUE(waitForLog(QStringLiteral("rx command 6: input 3 -> output B")))
        << m_log.toStdString();
}

TEST_F(SimE2eTest, ResynchronisesAfterNoiseAndAcceptsOtherCommands)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_NO_FATAL_FAILURE(openPort());

    // Noise, the start of a frame cut short, then input 4 to output 2 split
    // across writes, then the two other commands and one the switcher lacks.
    m_port.write(QByteArray::fromHex("00ff13d5fd02d5"));
    m_port.waitForBytesWritten(500);
    QThread::msleep(50);
    sendSlowly({ 7, 248, 213, 123 });
    m_port.write(QByteArray::fromHex("10efd57b28d7d57b639cd57b"));
    m_port.waitForBytesWritten(500);

    ASSERT_TRUE(m_reader.waitFor([](const QByteArray &f) { return byteAt(f, 7) == 8; }));
    EXPECT_TRUE(waitForLog(QStringLiteral("input 4 -> output B"))) << m_log.toStdString();
    EXPECT_TRUE(waitForLog(QStringLiteral("command 16"))) << m_log.toStdString();
    EXPECT_TRUE(waitForLog(QStringLiteral("command 40"))) << m_log.toStdString();
    EXPECT_TRUE(waitForLog(QStringLiteral("unknown command 99"))) << m_log.toStdString();
    EXPECT_FALSE(m_log.contains(QStringLiteral("command 253"))) << m_log.toStdString();
    for (const QByteArray &frame : m_reader.validFrames(3)) {
        EXPECT_EQ(byteAt(frame, 6), 1);
        EXPECT_EQ(byteAt(frame, 7), 8);
        EXPECT_EQ(byteAt(frame, 8), 4);
        EXPECT_EQ(byteAt(frame, 9), 8);
    }
}

// The control lines a test or a person uses, one after the other on one run.
TEST_F(SimE2eTest, ControlLinesChangeTheStream)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_NO_FATAL_FAILURE(openPort());
    ASSERT_TRUE(m_reader.waitFor([](const QByteArray &) { return true; }));
    using StatusFrame::Kind;

    ASSERT_NO_FATAL_FAILURE(sendControl("model 4x2"));
    ASSERT_TRUE(m_reader.waitFor(
        [](const QByteArray &f) { return StatusFrame::markerKind(f) == Kind::TwoOutput; }));
    for (const QByteArray &frame : m_reader.validFrames(3)) {
        EXPECT_EQ(StatusFrame::markerKind(frame), Kind::TwoOutput);
        // All inputs present; outputs 1 and 2 active, so bits 2 and 3 clear.
        EXPECT_EQ(byteAt(frame, 10), 0xF0);
        expectStartingRoutes(frame);
    }

    ASSERT_NO_FATAL_FAILURE(sendControl("power off"));
    ASSERT_TRUE(m_reader.waitFor([](const QByteArray &f) { return byteAt(f, 11) == 0; }));
    for (const QByteArray &frame : m_reader.validFrames(3))
        EXPECT_EQ(byteAt(frame, 11), 0);

    // One bad frame, and one stop request, among good ones.
    m_reader.readFor(60);
    ASSERT_NO_FATAL_FAILURE(sendControl("bad-checksum"));
    ASSERT_NO_FATAL_FAILURE(sendControl("stop-tick"));
    int invalid = 0;
    int stops = 0;
    for (const Frame &frame : m_reader.readFor(800)) {
        invalid += frame.valid ? 0 : 1;
        stops += frame.valid && byteAt(frame.bytes, 2) == StatusFrame::StopTick ? 1 : 0;
    }
    EXPECT_EQ(invalid, 1);
    EXPECT_EQ(stops, 1);

    ASSERT_NO_FATAL_FAILURE(sendControl("pause"));
    ASSERT_TRUE(waitForLog(QStringLiteral("paused"))) << m_log.toStdString();
    m_reader.readFor(100); // what was sent before the pause
    const qint64 before = m_reader.bytesReceived();
    m_reader.readFor(300);
    EXPECT_EQ(m_reader.bytesReceived(), before);
    // Commands still count while paused.
    sendSlowly({ 12, 243, 213, 123 });
    ASSERT_NO_FATAL_FAILURE(sendControl("resume"));
    const auto frame = m_reader.waitFor([](const QByteArray &) { return true; });
    ASSERT_TRUE(frame);
    EXPECT_EQ(byteAt(*frame, 9), 1);
}

TEST_F(SimE2eTest, ClosingStdinEndsTheRunAndRemovesTheLink)
{
    ASSERT_NO_FATAL_FAILURE(startSim());
    ASSERT_NO_FATAL_FAILURE(openPort());
    ASSERT_TRUE(m_reader.waitFor([](const QByteArray &) { return true; }));

    m_sim.closeWriteChannel();
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(m_sim.exitCode(), 0);
    EXPECT_FALSE(pathIsSymlink(m_linkPath));
}

int runSim(const QStringList &arguments, QByteArray *errorOutput = nullptr)
{
    QProcess sim;
    sim.start(QStringLiteral(MATRIX_SIM_PATH), arguments);
    if (!sim.waitForStarted(StartTimeout))
        return -1;
    sim.closeWriteChannel();
    if (!sim.waitForFinished(StartTimeout) || sim.exitStatus() != QProcess::NormalExit)
        return -1;
    if (errorOutput)
        *errorOutput = sim.readAllStandardError();
    return sim.exitCode();
}

TEST(SimCommandLine, BadOptionsExitWithTwo)
{
    EXPECT_EQ(runSim({ QStringLiteral("--bogus") }), 2);
    EXPECT_EQ(runSim({ QStringLiteral("--model"), QStringLiteral("8x8") }), 2);
    EXPECT_EQ(runSim({ QStringLiteral("--period"), QStringLiteral("0") }), 2);
    EXPECT_EQ(runSim({ QStringLiteral("--period") }), 2);
    EXPECT_EQ(runSim({ QStringLiteral("--link"), QStringLiteral("a"), QStringLiteral("--device"),
                  QStringLiteral("b") }),
        2);
}

} // namespace
