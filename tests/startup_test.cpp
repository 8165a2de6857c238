// Start-up, the waiting animation, the watchdog and the ways the program ends.
#include "app_fixture.h"
#include "panel/label_placement.h"

#include <QLabel>
#include <QLineEdit>
#include <functional>

using Startup = AppFixture;

TEST_F(Startup, EveryButtonFaceShowsItsPictureAtItsNaturalSize)
{
    for (int index = 0; index <= 36; ++index) {
        if (!Form3::hasPicture(index))
            continue;
        const QLabel *face = panel().picture(index);
        ASSERT_NE(face, nullptr) << index;
        const QPixmap pixmap = face->pixmap();
        ASSERT_FALSE(pixmap.isNull()) << index;
        const QSize expected = index < 8 ? QSize(68, 68)
            : index < 16                 ? QSize(70, 51)
                                         : QSize(70, 70);
        // On a denser screen (the test runs again at QT_SCALE_FACTOR=2) the
        // face is its twin at twice the pixels, in the same box.
        const qreal ratio = face->devicePixelRatioF() > 1 ? 2 : 1;
        EXPECT_EQ(pixmap.devicePixelRatio(), ratio) << index;
        EXPECT_EQ(pixmap.size(), expected * ratio) << index;
        EXPECT_EQ(pixmap.deviceIndependentSize(), QSizeF(expected)) << index;
        EXPECT_EQ(face->size(), expected) << index;
        // Up face and down face of one button lie at the same spot.
        const int pair = index < 16 ? index ^ 1 : (index % 2 ? index + 1 : index - 1);
        ASSERT_NE(panel().picture(pair), nullptr) << index;
        EXPECT_EQ(face->geometry(), panel().picture(pair)->geometry()) << index;
    }
    EXPECT_FALSE(panel().windowIcon().isNull());
    EXPECT_FALSE(app->statusWindow().windowIcon().isNull());
}

TEST_F(Startup, DigitsAndLettersSitCentredOnTopOfTheirButtons)
{
    const struct
    {
        int label;
        double left, top;
    } expected[]
        = { { 7, 1335, 2505 }, { 5, 2587.5, 2505 }, { 6, 3892.5, 2505 }, { 4, 5242.5, 2505 },
              { 0, 1330.5, 545 }, { 2, 2645.5, 545 }, { 1, 3960.5, 545 }, { 3, 5275.5, 545 } };
    for (const auto &e : expected) {
        EXPECT_DOUBLE_EQ(panel().label1Rect(e.label).left, e.left) << e.label;
        EXPECT_DOUBLE_EQ(panel().label1Rect(e.label).top, e.top) << e.label;
    }
    EXPECT_DOUBLE_EQ(panel().outerWidth(), 6735);
    EXPECT_DOUBLE_EQ(panel().outerHeight(), 6390);
    EXPECT_EQ(panel().size(), QSize(561, 533));
    // Placing one label again changes nothing about the window.
    CenterLabel(panel(), 7, 9);
    EXPECT_DOUBLE_EQ(panel().outerWidth(), 6735);
    EXPECT_DOUBLE_EQ(panel().outerHeight(), 6390);
}

TEST_F(Startup, WaitingTextCyclesItsDotsAndResumesWhereItStopped)
{
    const char *const dots[] = { " ", "  .", "  .  . ", "  .  .  . ", " " };
    for (int i = 0; i < 5; ++i) {
        if (i == 2) {
            // The panel comes up and the animation stops; the link goes and
            // it runs again, from where it was.
            bringUp();
            ASSERT_FALSE(app->Timer4().isActive());
            state().linkMark = 0;
            app->supervisor().SuperviseLink();
            ASSERT_TRUE(app->Timer4().isActive());
        }
        app->Timer4_Timer();
        EXPECT_EQ(app->statusWindow().label1().text(),
            QStringLiteral("Please wait for the RS232 input") + dots[i]);
    }
}

TEST_F(Startup, WatchdogOrClosingEitherWindowEndsTheProgram)
{
    const std::function<void()> ways[] = {
        [&] {
            // The watchdog acts only once the panel is gone.
            panel().show();
            app->Timer3_Timer();
            panel().showMinimized();
            app->Timer3_Timer();
            EXPECT_FALSE(app->ended());
            panel().hide();
            app->Timer3_Timer();
        },
        [&] {
            app->statusWindow().show();
            app->statusWindow().close();
        },
        [&] { panel().close(); },
    };
    for (const auto &end : ways) {
        load({ 1 });
        bringUp();
        app->send(3);
        end();
        EXPECT_TRUE(app->ended());
        EXPECT_FALSE(port->isOpen());
        EXPECT_FALSE(panel().isVisible() || app->statusWindow().isVisible());
        for (const QTimer *t : { &app->Timer1(), &app->Timer2(), &app->Timer3(), &app->Timer4() })
            EXPECT_FALSE(t->isActive());
        // Nothing runs after the end.
        port->opened = true;
        port->inject(statusFrame());
        app->Timer1_Timer();
        EXPECT_FALSE(port->incoming.isEmpty());
    }
}

TEST_F(Startup, MissingPort1IsReportedAndTheSearchFindsAnother)
{
    load({ 4 });
    EXPECT_FALSE(app->ended());
    EXPECT_FALSE(port->isOpen());
    const QString message = app->startupPortMessage();
    EXPECT_TRUE(message.contains("serial port 1")) << message.toStdString();
    EXPECT_TRUE(message.contains("/dev/fake1")) << message.toStdString();
    EXPECT_TRUE(message.contains("fake failure")) << message.toStdString();
    EXPECT_FALSE(message.contains("dialout"));
    // The waiting text says why, to whoever points at it.
    const QLabel &text = app->statusWindow().label1();
    EXPECT_EQ(text.toolTip(), "port 1, /dev/fake1: fake failure");
    tick(50); // one supervision cycle
    EXPECT_TRUE(port->isOpen());
    EXPECT_EQ(port->commPort(), 4);
    EXPECT_EQ(app->statusWindow().text1().text(), "4");
    EXPECT_EQ(text.toolTip(), "port 4, /dev/fake4: open, no valid status frame yet");

    // Without the right to open serial ports it says how to get it.
    load({}, true);
    EXPECT_TRUE(app->startupPortMessage().contains("dialout"));
    EXPECT_FALSE(app->ended());
}
