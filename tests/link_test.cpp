// Device protocol without a screen: port table, command frames, status
// frames, model detection. Frames behind noise and the invariants of every
// read are the rig's too (fuzz/rig.h).
#include "core/controller_state.h"
#include "core/status_frame.h"
#include "fake_serial_port.h"
#include "link/command_transmitter.h"
#include "link/port_table.h"
#include "link/status_receiver.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

// --- port table ------------------------------------------------------------

TEST(PortTable, OverrideReplacesTheWholeTableAndMalformedOnesAreRejectedWithAReason)
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

    const char *bad[] = { "1", "x=/dev/a", "0=/dev/a", "16=/dev/a", "-1=/dev/a",
        "1=", "1=/dev/a,1=/dev/b", "1=/dev/a,,2=/dev/b", "=/dev/a", "1.5=/dev/a" };
    for (const char *text : bad) {
        error.clear();
        EXPECT_FALSE(PortTable::parse(QString::fromLatin1(text), &error)) << text;
        EXPECT_FALSE(error.isEmpty()) << text;
    }
}

// --- command frames --------------------------------------------------------

// The pacing timer on a clock the test moves. Like Timer2 it repeats until
// stopped, and start() counts afresh from now.
struct ManualTimer : PacingTimer
{
    int now = 0;
    int due = -1; // stopped
    int interval = 0;
    void start(int ms) override
    {
        interval = ms;
        due = now + ms;
    }
    void stop() override { due = -1; }
    bool isActive() const { return due >= 0; }
};

class Transmitter : public ::testing::Test
{
protected:
    void SetUp() override { port.opened = true; }
    FakeSerialPort port;
    ManualTimer timer2;
    CommandTransmitter tx { port, timer2 };

    // Ticks while the timer runs, the first tick `late` ms after it was due.
    // Returns the time of every write since the last send, from that send.
    QList<int> runFrame(int late = 0)
    {
        const int sentAt = timer2.now;
        QList<int> at(port.writes.size(), 0);
        for (int i = 0; i < 20 && timer2.isActive(); ++i) {
            const int due = timer2.due;
            timer2.now = due + (i == 0 ? late : 0);
            tx.Timer2_Timer();
            if (timer2.due == due)
                timer2.due += timer2.interval; // not restarted: it keeps its period
            while (at.size() < port.writes.size())
                at.append(timer2.now - sentAt);
        }
        return at;
    }
};

TEST_F(Transmitter, FramesAreCommandComplementAndTrailerEachAWholePauseAfterTheByteBefore)
{
    // A tick that comes late (a busy machine) puts off the bytes after it:
    // the switcher may miss a byte that follows the one before too soon.
    const struct
    {
        QByteArray frame;
        int late;
        QList<int> at;
    } cases[] = {
        { wire({ 0x00, 0xFF, 0xD5, 0x7B }), 0, { 0, 50, 100, 150 } },
        { wire({ 0x0F, 0xF0, 0xD5, 0x7B }), 20, { 0, 70, 120, 170 } },
        { wire({ 0x28, 0xD7, 0xD5, 0x7B }), 0, { 0, 50, 100, 150 } },
        { wire({ 0xFF, 0x00, 0xD5, 0x7B }), 45, { 0, 95, 145, 195 } },
    };
    for (const auto &c : cases) {
        port.writes.clear();
        port.written.clear();
        tx.send(uint8_t(c.frame[0]));
        EXPECT_EQ(runFrame(c.late), c.at);
        EXPECT_EQ(port.written, c.frame);
        EXPECT_EQ(tx.sendStep(), 0);
    }
    // Timer2 itself: precise, and left at an interval of 0 after a frame.
    QTimer timer;
    QtPacingTimer pacing(timer);
    pacing.start(50);
    EXPECT_EQ(timer.timerType(), Qt::PreciseTimer);
    EXPECT_TRUE(timer.isActive());
    pacing.stop();
    EXPECT_FALSE(timer.isActive());
    EXPECT_EQ(timer.interval(), 0);
}

TEST_F(Transmitter, PortTroubleNeverLeavesAFrameRunning)
{
    const struct
    {
        bool openAtSend, openAfterFirstByte, writesWork;
        int writes, written;
    } cases[] = {
        { false, false, true, 0, 0 }, // closed: the command is dropped, the timer left alone
        { true, false, true, 1, 1 }, // lost mid-frame
        { true, true, false, 4, 0 }, // every write fails: the pacing goes on
    };
    for (const auto &c : cases) {
        port.opened = c.openAtSend;
        port.failing.clear();
        if (!c.writesWork)
            port.failing = { FakeSerialPort::Write };
        port.writes.clear();
        port.written.clear();
        timer2.interval = 300;
        tx.send(9);
        EXPECT_EQ(timer2.isActive(), c.openAtSend);
        EXPECT_EQ(timer2.interval, c.openAtSend ? 50 : 300);
        port.opened = c.openAfterFirstByte;
        runFrame();
        EXPECT_EQ(port.writes.size(), c.writes);
        EXPECT_EQ(port.written.size(), c.written);
        EXPECT_FALSE(timer2.isActive());
        EXPECT_EQ(tx.sendStep(), 0);
    }
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

TEST_F(Transmitter, QueuedCommandsWaitForTheFrameInFlightAndNeverCutItShort)
{
    tx.send(1);
    tx.Timer2_Timer();
    EXPECT_TRUE(tx.queue(2));
    EXPECT_TRUE(tx.queue(3));
    EXPECT_EQ(port.written, wire({ 1, 254 }));
    runFrame();
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

TEST_F(Transmitter, QueuedCommandsBelongToTheLinkTheyWereAcceptedOn)
{
    // After the first byte of a frame with two commands queued behind it.
    enum Trouble { None, LinkLost, Closed, OtherPort, SamePortAgain };
    const struct
    {
        Trouble trouble;
        QByteArray line;
    } cases[] = {
        { None, wire({ 1, 254, 213, 123, 2, 253, 213, 123, 3, 252, 213, 123 }) },
        { LinkLost, wire({ 1, 254, 213, 123 }) },
        { Closed, wire({ 1 }) },
        // Not one byte reaches the device on the other port.
        { OtherPort, wire({ 1 }) },
        // Closed and opened again, as the search does with a single port.
        { SamePortAgain, wire({ 1, 254, 213, 123, 2, 253, 213, 123, 3, 252, 213, 123 }) },
    };
    for (const auto &c : cases) {
        port.written.clear();
        port.opened = true;
        port.number = 1;
        port.existing = { 1, 2 };
        tx.send(1);
        EXPECT_TRUE(tx.queue(2));
        EXPECT_TRUE(tx.queue(3));
        if (c.trouble == LinkLost)
            tx.dropQueued("the link is lost");
        if (c.trouble >= Closed)
            port.close();
        if (c.trouble >= OtherPort) {
            port.setCommPort(c.trouble == OtherPort ? 2 : 1);
            port.open();
        }
        for (int i = 0; i < 20 && timer2.isActive(); ++i)
            tx.Timer2_Timer();
        EXPECT_EQ(port.written.toHex(' '), c.line.toHex(' ')) << c.trouble;
        EXPECT_EQ(tx.queued(), 0) << c.trouble;
        EXPECT_FALSE(timer2.isActive()) << c.trouble;
    }
}

// --- status frame decoding -------------------------------------------------

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
        DecodeStatusFrame(statusFrame(StatusFrame::Kind::FourOutput, c.flags), s);
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

// --- status processing and model detection ---------------------------------

// A receiver on an open fake port, with no model settled yet.
struct Receiving : StatusReceiver::Host
{
    Receiving()
    {
        port.opened = true;
        loseLink();
    }
    void bringUpPanel(int model) override { broughtUp.append(model); }
    void reduceToTwoOutputs() override { ++reductions; }
    void stopMainTick() override { }
    void feed(const QByteArray &bytes)
    {
        port.inject(bytes);
        rx.ReadStatusFrame();
    }
    void loseLink()
    {
        state.linkMark = 0;
        state.matrixModel = state.setupPending = ControllerState::NotDetermined;
    }

    FakeSerialPort port;
    ControllerState state;
    StatusReceiver rx { port, state, *this };
    QList<int> broughtUp;
    int reductions = 0;
};

TEST(Receiver, ModelSettlesOnTheThirdFrameOfAKindAndAtOnceWhenTheSameOneReturns)
{
    // a: a four-output frame, b: a two-output frame, |: the link is lost.
    const struct
    {
        const char *frames;
        QList<int> broughtUp;
        int reductions, model;
    } cases[] = {
        { "aa", {}, 0, 12 },
        { "aaa", { 1 }, 0, 1 },
        // Reduced on every frame; a four-output frame while up is decoded
        // by the settled model.
        { "bbbba", { 2 }, 3, 2 },
        { "abababababababababab", {}, 0, 12 },
        { "aaa|a", { 1, 1 }, 0, 1 },
        { "aaa|a|bb", { 1, 1 }, 0, 12 },
        { "aaa|a|bbb", { 1, 1, 2 }, 1, 2 },
    };
    for (const auto &c : cases) {
        Receiving r;
        for (const char *f = c.frames; *f; ++f) {
            if (*f == '|')
                r.loseLink();
            else
                r.feed(statusFrame(
                    *f == 'a' ? StatusFrame::Kind::FourOutput : StatusFrame::Kind::TwoOutput));
        }
        EXPECT_EQ(r.broughtUp, c.broughtUp) << c.frames;
        EXPECT_EQ(r.reductions, c.reductions) << c.frames;
        EXPECT_EQ(r.state.matrixModel, c.model) << c.frames;
        EXPECT_EQ(r.state.linkUp(), c.model != 12) << c.frames;
    }
}

TEST(Receiver, FailingPortCountsAsNoFrame)
{
    Receiving r;
    for (int trouble = 0; trouble < 3; ++trouble) {
        // Counting fails, reading fails, the port is closed.
        r.port.failing.clear();
        if (trouble < 2)
            r.port.failing.insert(trouble ? FakeSerialPort::Read : FakeSerialPort::Count);
        r.port.opened = trouble < 2;
        for (int i = 0; i < 5; ++i)
            r.feed(statusFrame());
        EXPECT_EQ(r.rx.aFrameRun(), 0) << trouble;
        r.port.incoming.clear();
    }
}

// --- stray bytes on the line ------------------------------------------------

// Frames numbered in status bytes 3 and 4, so that each one accepted is known.
class Resync : public ::testing::Test, protected Receiving
{
protected:
    void SetUp() override
    {
        state.setupPending = 0;
        state.matrixModel = 1;
    }
    static QByteArray numbered(int n)
    {
        QByteArray f = statusFrame();
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

TEST_F(Resync, WhatCameWithTheFrameTakenGoesWithIt)
{
    port.inject(numbered(1) + numbered(2));
    EXPECT_EQ(read(), 1);
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
