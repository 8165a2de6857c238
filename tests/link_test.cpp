// Device protocol without a screen: port table, command frames, status
// frames, model detection.
#include "core/controller_state.h"
#include "core/status_frame.h"
#include "fake_serial_port.h"
#include "link/command_transmitter.h"
#include "link/port_table.h"
#include "link/status_receiver.h"

#include <QRandomGenerator>
#include <QThread>
#include <gtest/gtest.h>

namespace {

// "a", 0,0,0,0, 1,2,4,8, 240, 1, 0, "z", 0: bytes 2 to 12 sum to 256.
QByteArray referenceFrame(char start = 'a', char end = 'z', int checksum = 0)
{
    QByteArray f = wire({ 0, 0, 0, 0, 0, 1, 2, 4, 8, 240, 1, 0, 0, 0 });
    f[0] = start;
    f[12] = end;
    f[13] = char(checksum);
    return f;
}

QByteArray frame(StatusFrame::Kind kind, uint8_t flags = 0xF0, uint8_t power = 1, uint8_t byte2 = 0)
{
    return statusFrame(kind, flags, power, byte2);
}

} // namespace

// --- port table ------------------------------------------------------------

TEST(PortTable, OverrideReplacesTheWholeTable)
{
    QString error;
    const auto table = PortTable::parse(" 1=/dev/pts/7 , 4=/dev/ttyUSB3", &error);
    ASSERT_TRUE(table) << error.toStdString();
    EXPECT_EQ(table->device(1), "/dev/pts/7");
    EXPECT_EQ(table->device(4), "/dev/ttyUSB3");
    EXPECT_EQ(table->device(2), "");
    const auto empty = PortTable::parse("", &error);
    ASSERT_TRUE(empty);
    for (int n = 1; n <= 15; ++n)
        EXPECT_EQ(empty->device(n), "");
}

TEST(PortTable, MalformedOverridesAreRejectedWithAReason)
{
    const char *bad[] = { "1", "x=/dev/a", "0=/dev/a", "16=/dev/a", "-1=/dev/a",
        "1=", "1=/dev/a,1=/dev/b", "1=/dev/a,,2=/dev/b", "=/dev/a", "1.5=/dev/a" };
    for (const char *text : bad) {
        QString error;
        EXPECT_FALSE(PortTable::parse(QString::fromLatin1(text), &error)) << text;
        EXPECT_FALSE(error.isEmpty()) << text;
    }
}

// --- command frames --------------------------------------------------------

class Transmitter : public ::testing::Test
{
protected:
    void SetUp() override { port.opened = true; }
    FakeSerialPort port;
    QTimer timer2;
    CommandTransmitter tx { port, timer2 };

    void runFrame()
    {
        for (int i = 0; i < 3; ++i)
            tx.Timer2_Timer();
    }
};

TEST_F(Transmitter, FramesAreCommandComplementAndTrailerOneByteAtATime)
{
    const struct
    {
        uint8_t x;
        QByteArray wire;
    } cases[] = {
        { 0, wire({ 0x00, 0xFF, 0xD5, 0x7B }) },
        { 15, wire({ 0x0F, 0xF0, 0xD5, 0x7B }) },
        { 40, wire({ 0x28, 0xD7, 0xD5, 0x7B }) },
        { 255, wire({ 0xFF, 0x00, 0xD5, 0x7B }) },
    };
    for (const auto &c : cases) {
        port.written.clear();
        port.writes.clear();
        tx.send(c.x);
        runFrame();
        EXPECT_EQ(port.written, c.wire) << int(c.x);
        ASSERT_EQ(port.writes.size(), 4);
        for (const QByteArray &w : port.writes)
            EXPECT_EQ(w.size(), 1);
    }
}

TEST_F(Transmitter, PacingTimerRunsAt50msAndStopsAfterTheThirdTick)
{
    tx.send(5);
    EXPECT_EQ(port.written, wire({ 5 }));
    EXPECT_TRUE(timer2.isActive());
    EXPECT_EQ(timer2.interval(), 50);
    EXPECT_EQ(timer2.timerType(), Qt::PreciseTimer);
    tx.Timer2_Timer();
    EXPECT_EQ(port.written, wire({ 5, 250 }));
    tx.Timer2_Timer();
    EXPECT_EQ(port.written, wire({ 5, 250, 213 }));
    EXPECT_TRUE(timer2.isActive());
    tx.Timer2_Timer();
    EXPECT_EQ(port.written, wire({ 5, 250, 213, 123 }));
    EXPECT_FALSE(timer2.isActive());
    EXPECT_EQ(timer2.interval(), 0);
    EXPECT_EQ(tx.sendStep(), 0);

    tx.send(6);
    EXPECT_EQ(timer2.interval(), 50);
    EXPECT_TRUE(timer2.isActive());
}

TEST_F(Transmitter, NewCommandCutsTheFrameInFlightShort)
{
    tx.send(1);
    tx.Timer2_Timer(); // 60 ms later the second command arrives
    tx.send(2);
    runFrame();
    EXPECT_EQ(port.written, wire({ 1, 254, 2, 253, 213, 123 }));
    EXPECT_FALSE(timer2.isActive());
}

TEST_F(Transmitter, ClosedPortDropsTheCommandAndLeavesTheTimerAlone)
{
    port.opened = false;
    timer2.setInterval(300);
    tx.send(7);
    EXPECT_TRUE(port.writes.isEmpty());
    EXPECT_FALSE(timer2.isActive());
    EXPECT_EQ(timer2.interval(), 300);
    EXPECT_EQ(tx.sendStep(), 0);
}

TEST_F(Transmitter, PortLostMidFrameStillEndsTheFrameAfterThreeTicks)
{
    tx.send(9);
    port.opened = false;
    runFrame();
    EXPECT_EQ(port.written, wire({ 9 }));
    EXPECT_FALSE(timer2.isActive());
    EXPECT_EQ(tx.sendStep(), 0);
}

TEST_F(Transmitter, FailedWritesDoNotStopThePacing)
{
    port.failing = { FakeSerialPort::Write };
    tx.send(3);
    EXPECT_TRUE(timer2.isActive());
    runFrame();
    EXPECT_EQ(port.writes.size(), 4);
    EXPECT_FALSE(timer2.isActive());
}

TEST_F(Transmitter, LateByteIsFollowedByAWholePause)
{
    // The pacing tick comes late (a busy machine): the next byte still waits
    // the whole 50 ms from this one, not what is left of the timer's period.
    tx.send(5);
    QThread::msleep(70);
    tx.Timer2_Timer();
    EXPECT_GT(timer2.remainingTime(), 25);
}

TEST_F(Transmitter, QueuedCommandsWaitForTheFrameInFlightAndNeverCutItShort)
{
    tx.send(1);
    tx.Timer2_Timer();
    EXPECT_TRUE(tx.queue(2));
    EXPECT_TRUE(tx.queue(3));
    EXPECT_EQ(port.written, wire({ 1, 254 }));
    for (int i = 0; i < 20 && timer2.isActive(); ++i)
        tx.Timer2_Timer();
    EXPECT_EQ(port.written, wire({ 1, 254, 213, 123, 2, 253, 213, 123, 3, 252, 213, 123 }));
    EXPECT_FALSE(timer2.isActive());
    // Idle, a queued command goes out at once.
    EXPECT_TRUE(tx.queue(4));
    EXPECT_EQ(port.written.right(1), wire({ 4 }));
    for (int i = 0; i < CommandTransmitter::QueueLimit; ++i)
        EXPECT_TRUE(tx.queue(uint8_t(i)));
    EXPECT_FALSE(tx.queue(99));
    EXPECT_EQ(tx.queued(), CommandTransmitter::QueueLimit);
}

// --- status frame decoding -------------------------------------------------

TEST(DecodeStatusFrame, ReferenceFrameFillsEveryField)
{
    ControllerState s;
    s.matrixModel = 1;
    EXPECT_FALSE(DecodeStatusFrame(referenceFrame(), s));
    EXPECT_EQ(s.statusByte2 + s.statusByte3 + s.statusByte4 + s.statusByte5, 0);
    EXPECT_EQ(s.outputSource1, 1);
    EXPECT_EQ(s.outputSource2, 2);
    EXPECT_EQ(s.outputSource3, 4);
    EXPECT_EQ(s.outputSource4, 8);
    const uint8_t inputs[] = { 128, 64, 32, 16 };
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s.inputFlags[i], inputs[i]);
        EXPECT_EQ(s.outputFlags[i], 0);
    }
    EXPECT_EQ(s.powerState, 1);
    EXPECT_EQ(s.statusByte12, 0);
}

TEST(DecodeStatusFrame, FlagByteTableForBothModels)
{
    struct Case
    {
        int model;
        uint8_t flags;
        uint8_t inputs[4];
        uint8_t outputs[4];
    };
    // Outputs 3 and 4 of the two-output model keep their old value (77).
    const Case cases[] = {
        { 1, 165, { 128, 0, 32, 0 }, { 0, 4, 0, 1 } },
        { 2, 165, { 128, 0, 32, 0 }, { 0, 8, 77, 77 } },
        { 2, 0, { 0, 0, 0, 0 }, { 4, 8, 77, 77 } },
        { 2, 0xFF, { 128, 64, 32, 16 }, { 0, 0, 77, 77 } },
        { 1, 0x0F, { 0, 0, 0, 0 }, { 8, 4, 2, 1 } },
    };
    for (const Case &c : cases) {
        ControllerState s;
        s.matrixModel = int16_t(c.model);
        s.outputFlags[2] = s.outputFlags[3] = 77;
        s.outputFlags[4] = s.inputFlags[4] = 99;
        QByteArray f = referenceFrame();
        f[9] = char(c.flags);
        DecodeStatusFrame(f, s);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(s.inputFlags[i], c.inputs[i])
                << c.model << " " << int(c.flags) << " in " << i;
            EXPECT_EQ(s.outputFlags[i], c.outputs[i])
                << c.model << " " << int(c.flags) << " out " << i;
        }
        EXPECT_EQ(s.outputFlags[4], 99);
        EXPECT_EQ(s.inputFlags[4], 99);
    }
}

TEST(DecodeStatusFrame, Byte2Of255AsksToStopTheTickAfterStoringEverything)
{
    ControllerState s;
    s.matrixModel = 1;
    QByteArray f = referenceFrame();
    f[1] = char(255);
    EXPECT_TRUE(DecodeStatusFrame(f, s));
    EXPECT_EQ(s.statusByte2, 255);
    EXPECT_EQ(s.powerState, 1);
    EXPECT_EQ(s.outputSource4, 8);
    f[1] = char(254);
    EXPECT_FALSE(DecodeStatusFrame(f, s));
}

// --- status processing and model detection ---------------------------------

class RecordingHost : public StatusReceiver::Host
{
public:
    QList<int> broughtUp;
    int reductions = 0;
    int stops = 0;
    void bringUpPanel(int model) override { broughtUp.append(model); }
    void reduceToTwoOutputs() override { ++reductions; }
    void stopMainTick() override { ++stops; }
};

class Receiver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        port.opened = true;
        state.matrixModel = ControllerState::NotDetermined;
        state.setupPending = ControllerState::NotDetermined;
    }
    void feed(const QByteArray &bytes)
    {
        port.inject(bytes);
        rx.ReadStatusFrame();
    }
    void loseLink()
    {
        state.linkMark = 0;
        state.matrixModel = ControllerState::NotDetermined;
        state.setupPending = ControllerState::NotDetermined;
    }

    FakeSerialPort port;
    ControllerState state;
    RecordingHost host;
    StatusReceiver rx { port, state, host };
};

TEST_F(Receiver, ThirdFrameOfOneKindSettlesTheModelAndIsDecoded)
{
    feed(frame(StatusFrame::Kind::FourOutput));
    feed(frame(StatusFrame::Kind::FourOutput));
    EXPECT_TRUE(host.broughtUp.isEmpty());
    EXPECT_FALSE(state.linkUp());
    EXPECT_EQ(state.powerState, 0);
    feed(frame(StatusFrame::Kind::FourOutput));
    EXPECT_EQ(host.broughtUp, QList<int> { 1 });
    EXPECT_EQ(state.matrixModel, 1);
    EXPECT_EQ(state.linkMark, 12345);
    EXPECT_EQ(state.setupPending, 0);
    EXPECT_EQ(state.missedCycles, 0);
    EXPECT_EQ(state.powerState, 1);
    EXPECT_EQ(host.reductions, 0);
}

TEST_F(Receiver, TwoOutputSwitcherIsReducedOnEveryFrame)
{
    for (int i = 0; i < 3; ++i)
        feed(frame(StatusFrame::Kind::TwoOutput));
    EXPECT_EQ(host.broughtUp, QList<int> { 2 });
    EXPECT_EQ(host.reductions, 1);
    feed(frame(StatusFrame::Kind::TwoOutput));
    // A four-output frame while the panel is up is decoded by the settled model.
    feed(frame(StatusFrame::Kind::FourOutput));
    EXPECT_EQ(host.reductions, 3);
    EXPECT_EQ(state.matrixModel, 2);
}

TEST_F(Receiver, AlternatingKindsNeverSettle)
{
    for (int i = 0; i < 20; ++i)
        feed(frame(i % 2 ? StatusFrame::Kind::TwoOutput : StatusFrame::Kind::FourOutput));
    EXPECT_TRUE(host.broughtUp.isEmpty());
    EXPECT_EQ(state.matrixModel, 12);
}

TEST_F(Receiver, AfterLinkLossTheSameModelReturnsAtOnceTheOtherNeedsThree)
{
    for (int i = 0; i < 3; ++i)
        feed(frame(StatusFrame::Kind::FourOutput));
    loseLink();
    feed(frame(StatusFrame::Kind::FourOutput));
    EXPECT_EQ(host.broughtUp, (QList<int> { 1, 1 }));
    EXPECT_TRUE(state.linkUp());

    loseLink();
    feed(frame(StatusFrame::Kind::TwoOutput));
    feed(frame(StatusFrame::Kind::TwoOutput));
    EXPECT_EQ(host.broughtUp.size(), 2);
    feed(frame(StatusFrame::Kind::TwoOutput));
    EXPECT_EQ(host.broughtUp, (QList<int> { 1, 1, 2 }));
}

TEST_F(Receiver, TwoOutputSwitcherDoesNotInheritOutputsCAndDFromAFourOutputOne)
{
    for (int i = 0; i < 3; ++i)
        feed(frame(StatusFrame::Kind::FourOutput, 0xFF));
    EXPECT_EQ(state.outputFlags[2], 2);
    EXPECT_EQ(state.outputFlags[3], 1);
    loseLink();
    for (int i = 0; i < 3; ++i)
        feed(frame(StatusFrame::Kind::TwoOutput, 0xF0));
    EXPECT_EQ(state.outputFlags[0], 4);
    EXPECT_EQ(state.outputFlags[1], 8);
    EXPECT_EQ(state.outputFlags[2], 0);
    EXPECT_EQ(state.outputFlags[3], 0);
}

TEST_F(Receiver, RunOfFramesStopsAtItsCeilingAfterAMillionLinkLosses)
{
    // The same switcher coming back after each loss adds one to its run.
    const QByteArray f = frame(StatusFrame::Kind::FourOutput);
    for (int i = 0; i < 1000010; ++i) {
        loseLink();
        feed(f);
    }
    EXPECT_EQ(rx.aFrameRun(), StatusReceiver::MaxFrameRun);
    EXPECT_EQ(state.matrixModel, 1);
    EXPECT_TRUE(state.linkUp());
}

TEST_F(Receiver, ThirteenBytesWaitUntilTheFourteenthArrives)
{
    state.setupPending = 0;
    state.matrixModel = 1;
    const QByteArray f = referenceFrame();
    feed(f.left(13));
    EXPECT_EQ(port.incoming.size(), 13);
    EXPECT_FALSE(state.linkUp());
    feed(f.right(1));
    EXPECT_TRUE(port.incoming.isEmpty());
    EXPECT_TRUE(state.linkUp());
    EXPECT_EQ(state.outputSource4, 8);
}

TEST_F(Receiver, OnlyTheFirstOfTwoWaitingFramesIsExamined)
{
    state.setupPending = 0;
    state.matrixModel = 1;
    QByteArray second = referenceFrame();
    second[5] = char(8); // output 1 shows input 4
    second[13] = char(7); // keeps the sum right
    feed(referenceFrame() + second);
    EXPECT_TRUE(port.incoming.isEmpty());
    EXPECT_EQ(state.outputSource1, 1);
}

TEST_F(Receiver, BadFramesChangeNothing)
{
    state.setupPending = 0;
    state.matrixModel = 1;
    state.missedCycles = 2;
    const QByteArray bad[]
        = { referenceFrame('a', 'z', 1), referenceFrame('a', 'w'), referenceFrame('c', 'z') };
    for (const QByteArray &b : bad) {
        feed(b);
        EXPECT_EQ(state.linkMark, 0);
        EXPECT_EQ(state.missedCycles, 2);
        EXPECT_EQ(state.powerState, 0);
        EXPECT_EQ(state.outputSource1, 0);
        rx.discardWaiting();
    }
    EXPECT_TRUE(host.broughtUp.isEmpty());
}

TEST_F(Receiver, FailingPortCountsAsNoFrame)
{
    for (auto op : { FakeSerialPort::Count, FakeSerialPort::Read }) {
        port.failing = { op };
        port.inject(frame(StatusFrame::Kind::FourOutput));
        for (int i = 0; i < 5; ++i)
            rx.ReadStatusFrame();
        EXPECT_EQ(rx.aFrameRun(), 0);
        port.incoming.clear();
    }
    port.failing.clear();
    port.opened = false;
    port.inject(frame(StatusFrame::Kind::FourOutput));
    rx.ReadStatusFrame();
    EXPECT_EQ(rx.aFrameRun(), 0);
}

TEST_F(Receiver, StopTickFrameReachesTheHostOnlyFor255)
{
    for (int i = 0; i < 3; ++i)
        feed(frame(StatusFrame::Kind::FourOutput, 0xFF, 1, 254));
    EXPECT_EQ(host.stops, 0);
    feed(frame(StatusFrame::Kind::FourOutput, 0xFF, 1, 255));
    EXPECT_EQ(host.stops, 1);
    EXPECT_EQ(state.statusByte2, 255);
}

// --- stray bytes on the line ------------------------------------------------

// Frames numbered in status bytes 3 and 4, so that each one accepted is known.
class Resync : public Receiver
{
protected:
    void SetUp() override
    {
        Receiver::SetUp();
        state.setupPending = 0;
        state.matrixModel = 1;
    }
    static QByteArray numbered(int n)
    {
        QByteArray f = frame(StatusFrame::Kind::FourOutput);
        f[2] = char(n & 0xFF);
        f[3] = char(n >> 8);
        f[13] = char(StatusFrame::checksum(f));
        return f;
    }
    // The number of the frame accepted by this read, or -1.
    int read()
    {
        state.missedCycles = 1;
        rx.ReadStatusFrame();
        return state.missedCycles == 0 ? state.statusByte3 | state.statusByte4 << 8 : -1;
    }
};

TEST_F(Resync, FramesAreFoundBehindNoise)
{
    // Each case: what arrives before each frame, and how the frame arrives.
    const struct
    {
        const char *what;
        QByteArray noise;
        int split; // the frame arrives in two reads, cut here; 0: whole
    } cases[] = {
        { "one stray byte", wire({ 0x55 }), 0 },
        { "noise holding start markers", QByteArray("xaby"), 0 },
        { "a start marker just before the frame", QByteArray("b"), 0 },
        { "noise, then the frame in pieces", wire({ 0x13, 0x61 }), 9 },
        { "thirteen bytes of noise", QByteArray(13, 'q'), 5 },
    };
    for (const auto &c : cases) {
        for (int n = 1; n <= 5; ++n) {
            const QByteArray f = numbered(n);
            const int cut = c.split ? c.split : f.size();
            port.inject(c.noise + f.left(cut));
            const int first = read();
            port.inject(f.mid(cut));
            const int accepted = first >= 0 ? first : read();
            EXPECT_EQ(accepted, n) << c.what;
        }
    }
}

TEST_F(Resync, AFrameCutByNoiseIsLostAndTheNextIsNot)
{
    const QByteArray broken = numbered(1);
    port.inject(broken.left(7) + "a" + broken.mid(7));
    EXPECT_EQ(read(), -1);
    port.inject(numbered(2));
    EXPECT_EQ(read(), 2);
}

TEST_F(Resync, AStartMarkerNearTheEndIsKeptForTheNextRead)
{
    // Fourteen bytes: noise, then the first five bytes of a frame.
    const QByteArray f = numbered(7);
    port.inject(QByteArray(9, 'q') + f.left(5));
    EXPECT_EQ(read(), -1);
    EXPECT_TRUE(port.incoming.isEmpty());
    EXPECT_EQ(rx.bytesWaiting(), 5);
    // The rest of it makes a whole frame with what was kept.
    port.inject(f.mid(5));
    EXPECT_EQ(read(), 7);
    EXPECT_EQ(rx.bytesWaiting(), 0);
}

// A switcher streaming a frame every 100 ms at 9600 baud (a byte a
// millisecond), noise bytes at random moments, and a read every 10 ms: every
// frame whose fourteen bytes reach the line unbroken is accepted, no other.
TEST_F(Resync, EveryUnbrokenFrameIsAcceptedWhateverTheNoise)
{
    for (const int noisePerSecond : { 0, 10, 50, 100, 400 }) {
        QRandomGenerator rng(uint32_t(noisePerSecond) + 1);
        rx.discardWaiting();
        QByteArray line; // every byte sent, noise included
        QList<int> starts; // where each frame began on the line
        int accepted = 0;
        for (int ms = 0; ms < 60000; ++ms) {
            QByteArray bytes;
            if (int(rng.bounded(1000)) < noisePerSecond)
                bytes += char(rng.bounded(256));
            if (ms % 100 == 0)
                starts.append(int(line.size() + bytes.size()));
            if (ms % 100 < StatusFrame::Length)
                bytes += numbered(int(starts.size())).at(ms % 100);
            line += bytes;
            port.inject(bytes);
            if (ms % 10 == 9 && read() >= 0)
                ++accepted;
        }
        int unbroken = 0;
        for (int n = 1; n <= starts.size(); ++n)
            unbroken += line.mid(starts[n - 1], StatusFrame::Length) == numbered(n);
        EXPECT_EQ(accepted, unbroken) << noisePerSecond << " noise bytes a second";
        if (noisePerSecond == 0) {
            EXPECT_EQ(accepted, 600);
        }
    }
}

// Arbitrary bytes, in arbitrary chunks, through the whole receive path: it
// never crashes and never takes a frame whose markers or sum are wrong.
TEST_F(Receiver, RandomByteStreamsNeverGetAnInvalidFrameAccepted)
{
    QRandomGenerator rng(20261206);
    for (int run = 0; run < 2000; ++run) {
        QByteArray junk(int(rng.bounded(40)), '\0');
        for (char &c : junk)
            c = char(rng.bounded(256));
        // Now and then a valid frame, so the accepting path runs too.
        if (rng.bounded(4) == 0)
            junk += frame(
                rng.bounded(2) ? StatusFrame::Kind::FourOutput : StatusFrame::Kind::TwoOutput,
                uint8_t(rng.bounded(256)), uint8_t(rng.bounded(2)));
        port.failing.clear();
        if (rng.bounded(10) == 0)
            port.failing = { FakeSerialPort::Read };
        state.missedCycles = 5; // an accepted frame resets it
        const auto runsBefore = std::make_pair(rx.aFrameRun(), rx.bFrameRun());
        port.inject(junk);
        rx.ReadStatusFrame();
        const bool counted = std::make_pair(rx.aFrameRun(), rx.bFrameRun()) != runsBefore
            || state.missedCycles == 0;
        if (counted) {
            ASSERT_TRUE(StatusFrame::isValid(rx.frameText()))
                << rx.frameText().toHex().toStdString();
        }
        ASSERT_LT(rx.bytesWaiting().value_or(0), port.incoming.size() + StatusFrame::Length);
        if (rng.bounded(50) == 0)
            loseLink();
        ASSERT_TRUE(state.matrixModel == 1 || state.matrixModel == 2 || state.matrixModel == 12);
    }
}
