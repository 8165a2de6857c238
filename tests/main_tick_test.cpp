// The main tick: link loss, routing commands from the panel's selection,
// label colours, stale input.
#include "app_fixture.h"

#include <functional>

class MainTick : public AppFixture
{
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        bringUp();
        port->written.clear();
    }
    // The picked input's and output's labels red, the others green and blue.
    void expectColours(int input, int output)
    {
        for (int k = 1; k <= 4; ++k) {
            EXPECT_EQ(panel().label1Colour(PanelLayout::InputLabel[k]),
                k == input ? QColor(255, 0, 0) : QColor(0, 200, 0))
                << "input " << k;
            EXPECT_EQ(panel().label1Colour(PanelLayout::OutputLabel[k]),
                k == output ? QColor(255, 0, 0) : QColor(0, 0, 255))
                << "output " << k;
        }
    }
};

TEST_F(MainTick, PicksTurnTheirLabelsRedAndTheRouteGoesOutOnTheTickAfterBoth)
{
    // Faces clicked in turn, in either order: only the last pick on each side
    // counts. The route byte is (output - 1) * 4 + input - 1.
    const struct
    {
        QList<int> faces;
        int byte;
    } cases[] = { { { 3, 11 }, 5 }, { { 13, 15, 7 }, 15 }, { { 5, 1, 9 }, 0 }, { { 11, 5 }, 6 },
        { { 13, 3 }, 9 } };
    for (const auto &c : cases) {
        int input = 0, output = 0;
        for (int face : c.faces.mid(0, c.faces.size() - 1)) {
            click(face);
            (face < 8 ? input : output) = face < 8 ? (face + 1) / 2 : (face - 7) / 2;
        }
        tick(1);
        expectColours(input, output);
        EXPECT_TRUE(port->written.isEmpty());
        click(c.faces.last());
        tick(1);
        EXPECT_EQ(port->written, wire({ c.byte }));
        EXPECT_EQ(state().selectedInput, 0);
        EXPECT_EQ(state().selectedOutput, 0);
        finishFrame();
        tick(1);
        expectColours(0, 0);
        port->written.clear();
    }
}

TEST_F(MainTick, HalfMadeSelectionExpiresOnThe301stTickAfterTheLastPress)
{
    // A second press on the same side, on a face or on an output's caption,
    // starts the age again.
    const std::function<void()> pressesOnOutputC[] = {
        [&] { click(13); },
        [&] {
            panel().Label2_MouseDown(2, Form3::LeftButton, 0, 10, 10);
            panel().Label2_MouseUp(2, Form3::LeftButton, 0, 10, 10);
        },
    };
    for (const auto &pressOutputC : pressesOnOutputC) {
        click(15); // output D
        tick(1, 10);
        expectColours(0, 4);
        tick(199, 10);
        pressOutputC();
        tick(300, 10);
        EXPECT_EQ(state().selectedOutput, 3);
        tick(1, 10);
        EXPECT_EQ(state().selectedOutput, 0);
        expectColours(0, 0);
        EXPECT_TRUE(port->written.isEmpty());
    }
}

TEST_F(MainTick, LinkLossAfterFourQuietCyclesKeepsThePendingSelection)
{
    click(3);
    tick(196); // with the three ticks that brought the panel up, 199 since start
    EXPECT_TRUE(state().linkUp());
    tick(1); // the fourth quiet cycle: about 2 s after the last frame
    EXPECT_FALSE(state().linkUp());
    EXPECT_EQ(state().linkMark, 0);

    click(9); // output A while the link is down
    tick(40);
    EXPECT_EQ(state().selectedInput, 2);
    EXPECT_EQ(state().selectedOutput, 1);
    EXPECT_TRUE(port->written.isEmpty());

    // The same switcher answers again: the route goes out at once.
    port->inject(statusFrame());
    tick(1);
    EXPECT_EQ(port->written, wire({ 1 }));
}

TEST_F(MainTick, LingeringInputIsDroppedOnTheTenthTickButNoFrameArrivingInPieces)
{
    port->inject(wire({ 1, 2, 3, 4, 5 }));
    tick(9);
    EXPECT_EQ(port->incoming.size(), 5);
    tick(1);
    EXPECT_TRUE(port->incoming.isEmpty());

    // On a 9600 baud line most frames are seen half-received by one tick and
    // complete by the next; over many frames none may be thrown away, even
    // behind a stray byte that waited nine ticks before the frame began.
    QByteArray f = statusFrame();
    for (int n = 0; n < 100; ++n) {
        f[2] = char(n); // byte 3, stored as received
        f[13] = char(StatusFrame::checksum(f));
        if (n % 2) {
            port->inject(wire({ 0x5A }));
            tick(9);
        }
        port->inject(f.left(9));
        tick(1);
        port->inject(f.mid(9));
        tick(1);
        ASSERT_EQ(state().statusByte3, n) << "frame " << n << " lost";
        tick(8);
    }

    // With the link down nothing is dropped.
    state().linkMark = 0;
    port->inject(wire({ 1, 2, 3 }));
    tick(30);
    EXPECT_EQ(port->incoming.size(), 3);
}

TEST_F(MainTick, Byte2Of255StopsTheTickUntilAButtonIsReleased)
{
    port->inject(statusFrame(StatusFrame::Kind::FourOutput, 0xFF, 1, 255));
    tick(1);
    EXPECT_FALSE(app->Timer1().isActive());
    port->inject(statusFrame(StatusFrame::Kind::FourOutput, 0xFF, 1, 0));
    app->Timer1_Timer(); // a frame with another value does not restart it
    EXPECT_FALSE(app->Timer1().isActive());
    panel().Frame1_MouseDown(0, Form3::LeftButton, 0, 1, 1);
    EXPECT_FALSE(app->Timer1().isActive());
    click(2); // a down face: nothing selected, but the release restarts
    EXPECT_TRUE(app->Timer1().isActive());
    EXPECT_EQ(state().selectedInput, 0);
}

TEST_F(MainTick, SearchLettingEventsRunNeverStartsANestedTick)
{
    // The supervision cycle lets events run; a tick arriving then must not run.
    int nestedCalls = 0;
    app->setEventPump([&](int) {
        ++nestedCalls;
        port->inject(statusFrame());
        app->Timer1_Timer();
    });
    state().linkMark = 0;
    port->existing = { 1 };
    tick(50);
    EXPECT_GT(nestedCalls, 0);
    // The frames injected during the search were left for the outer tick's
    // receive step, which took one 14-byte read; no nested tick read any.
    EXPECT_EQ(port->commPort(), 1);
    EXPECT_TRUE(port->incoming.isEmpty());
    EXPECT_TRUE(state().linkUp());
}
