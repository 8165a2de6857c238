// The simulator as the panel's end-to-end tests and scripts use it, over its
// pseudo-terminal in real time: the frames it streams, a route command, the
// control lines, its --link and its exit codes. Waits are generous and bounded.
#include "core/status_frame.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

namespace {

using StatusFrame::byteAt;

class SimE2e : public ::testing::Test
{
protected:
    void start(const QStringList &options = {})
    {
        sim.start(QStringLiteral(MATRIX_SIM_PATH),
            QStringList { "--link", link, "--period", "20" } + options);
        ASSERT_TRUE(sim.waitForStarted(3000) && sim.waitForReadyRead(3000));
        const QString served = QString::fromLocal8Bit(sim.readLine()).trimmed();
        ASSERT_EQ(QFileInfo(link).symLinkTarget(), served) << "--link makes a symlink to the line";
        sim.setReadChannel(QProcess::StandardError); // where it says what it did
        port.setPortName(served);
        ASSERT_TRUE(port.open(QIODevice::ReadWrite)) << port.errorString().toStdString();
    }
    void say(const char *line)
    {
        sim.write(QByteArray(line) + '\n');
        ASSERT_TRUE(sim.waitForBytesWritten(3000));
    }
    // The next valid frame that `wanted` accepts, or nothing after `ms`.
    QByteArray frame(const std::function<bool(const QByteArray &)> &wanted = {}, int ms = 3000)
    {
        QElapsedTimer timer;
        for (timer.start(); timer.elapsed() < ms; buffer += port.readAll()) {
            const int at = StatusFrame::findFrame(buffer);
            const QByteArray found = buffer.mid(at, StatusFrame::Length);
            buffer.remove(0, at < 0 ? 0 : at + StatusFrame::Length);
            if (at >= 0 && (!wanted || wanted(found)))
                return found;
            if (at < 0 && !port.bytesAvailable())
                port.waitForReadyRead(50);
        }
        return {};
    }
    // A run ends well on "quit" or at the end of its input, taking its symlink along.
    void TearDown() override
    {
        sim.closeWriteChannel();
        ASSERT_TRUE(sim.state() == QProcess::NotRunning || sim.waitForFinished(3000));
        EXPECT_TRUE(sim.exitStatus() == QProcess::NormalExit && sim.exitCode() == 0);
        EXPECT_FALSE(QFileInfo(link).isSymLink());
    }

    QTemporaryDir dir;
    QString link = dir.filePath(QStringLiteral("switcher"));
    QProcess sim;
    QSerialPort port;
    QByteArray buffer;
};

TEST_F(SimE2e, StreamsTheModelAskedAndAppliesARoute)
{
    ASSERT_NO_FATAL_FAILURE(start({ "--model", "4x2" }));
    const QByteArray first = frame();
    EXPECT_EQ(StatusFrame::markerKind(first), StatusFrame::Kind::TwoOutput);
    // Output k shows input k; all inputs there, outputs 1 and 2 on; power on.
    EXPECT_EQ(first.mid(5, 6).toHex(), "01020408f001");
    port.write(QByteArray("\x06\xf9\xd5\x7b")); // input 3 to output B, framed as the panel does
    EXPECT_FALSE(frame([](const QByteArray &f) { return byteAt(f, 7) == 4; }).isEmpty());
}

// Its other control lines (power, pause, resume, model) are what the panel's
// end-to-end test drives it with.
TEST_F(SimE2e, QuitEndsIt)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(say("quit"));
    EXPECT_TRUE(sim.waitForFinished(3000));
}

TEST(SimCommandLine, BadOptionsEndWithTwo)
{
    const QStringList bad[] = { { "--bogus" }, { "--model", "8x8" }, { "--period", "0" },
        { "--period" }, { "--link", "a", "--device", "b" } };
    for (const QStringList &options : bad)
        EXPECT_EQ(QProcess::execute(QStringLiteral(MATRIX_SIM_PATH), options), 2)
            << options.join(' ').toStdString();
}

} // namespace
