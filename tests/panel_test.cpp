// The panel window with real pointer events (offscreen): pressing, releasing,
// dragging, and the two-output layout.
#include "app_fixture.h"

#include "panel/panel_button.h"

#include <QAccessible>
#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

using namespace PanelLayout;

class Panel : public AppFixture
{
protected:
    void SetUp() override
    {
        // Names and presets of the test's own, never the user's.
        qputenv("XDG_DATA_HOME", dir.path().toUtf8());
        AppFixture::SetUp();
        bringUp();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel()));
        port->written.clear();
    }
    // Centre of a control, in the panel window's coordinates.
    QPoint centreOf(QWidget *w) { return w->mapTo(&panel(), w->rect().center()); }
    void press(QPoint at, Qt::MouseButton button = Qt::LeftButton)
    {
        QTest::mousePress(panel().windowHandle(), button, {}, at);
    }
    void release(QPoint at, Qt::MouseButton button = Qt::LeftButton)
    {
        QTest::mouseRelease(panel().windowHandle(), button, {}, at);
    }
    // The program may write its files as it ends: before the folder goes.
    void TearDown() override { app.reset(); }

    QTemporaryDir dir;
};

TEST_F(Panel, PressShowsTheDownFaceAndPausesTheTickUntilTheRelease)
{
    // Each case: where the press lands and with which button, the button's up
    // and down faces, what it picks (input, output) and the command it sends.
    panel().setPictureVisible(9, false); // output A unlit
    const struct
    {
        QWidget *target;
        Qt::MouseButton button;
        int up, down, input, output, command;
    } cases[] = {
        { panel().picture(3), Qt::LeftButton, 3, 2, 2, 0, -1 },
        { panel().picture(13), Qt::RightButton, 13, 12, 0, 3, -1 },
        // The caption "Input 3" on output C acts as its face.
        { panel().label2(2), Qt::LeftButton, 13, 12, 0, 3, -1 },
        // Unlit output A's down face picks nothing.
        { panel().picture(8), Qt::LeftButton, -1, 8, 0, 0, -1 },
        // Command buttons send on the press only.
        { panel().picture(33), Qt::LeftButton, 33, 34, 0, 0, 16 },
        { panel().picture(35), Qt::LeftButton, 35, 36, 0, 0, 40 },
    };
    for (const auto &c : cases) {
        state().selectedInput = state().selectedOutput = 0;
        port->written.clear();
        // The release lands where the press went even though that face is
        // hidden by then and the down face lies under the pointer.
        const QPoint at = centreOf(c.target);
        press(at, c.button);
        EXPECT_FALSE(app->Timer1().isActive());
        EXPECT_FALSE(c.up >= 0 && panel().pictureVisible(c.up)) << c.up;
        EXPECT_TRUE(panel().pictureVisible(c.down)) << c.down;
        EXPECT_EQ(port->written, c.command < 0 ? "" : wire({ c.command }));
        finishFrame();
        release(at, c.button);
        EXPECT_TRUE(app->Timer1().isActive());
        EXPECT_TRUE(c.up < 0 || panel().pictureVisible(c.up)) << c.up;
        EXPECT_EQ(state().selectedInput, c.input);
        EXPECT_EQ(state().selectedOutput, c.output);
        EXPECT_EQ(port->written.size(), c.command < 0 ? 0 : 4);
    }
    EXPECT_FALSE(panel().pictureVisible(9));
}

TEST_F(Panel, HeldButtonKeepsAHalfMadeSelectionFromExpiring)
{
    const QPoint at = centreOf(panel().picture(1));
    press(at);
    release(at);
    tick(250, 10);
    press(at);
    // The tick is paused, so nothing counts the age while the button is held,
    // and the press started it again.
    EXPECT_FALSE(app->Timer1().isActive());
    release(at);
    EXPECT_EQ(state().selectionAge, 0);
    tick(300, 10);
    EXPECT_EQ(state().selectedInput, 1);
}

TEST_F(Panel, DraggingTheFrameMovesTheWindowByThePointerOffset)
{
    panel().setWindowLeft(1200);
    panel().setWindowTop(2400);
    panel().Frame1_MouseDown(0, Form3::LeftButton, 0, 100, 200);
    panel().DragPanel(0, Form3::LeftButton, 0, 400, 350);
    EXPECT_DOUBLE_EQ(panel().windowLeft(), 1500);
    EXPECT_DOUBLE_EQ(panel().windowTop(), 2550);
    // The frame moved with the window, so the next event at the same screen
    // point arrives at the pressed point again: no further movement.
    panel().DragPanel(0, Form3::LeftButton, 0, 100, 200);
    EXPECT_DOUBLE_EQ(panel().windowLeft(), 1500);
    EXPECT_DOUBLE_EQ(panel().windowTop(), 2550);

    for (int buttons : { 0, int(Form3::RightButton), Form3::LeftButton | Form3::RightButton }) {
        panel().DragPanel(0, buttons, 0, 900, 900);
        EXPECT_DOUBLE_EQ(panel().windowLeft(), 1500) << buttons;
        EXPECT_DOUBLE_EQ(panel().windowTop(), 2550) << buttons;
    }
}

TEST_F(Panel, DraggingAnInputButtonAlsoPicksIt)
{
    panel().setWindowLeft(1200);
    panel().setWindowTop(1200);
    QWidget *face = panel().picture(1);
    QTest::mousePress(face, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(state().selectedInput, 1);
    QMouseEvent move(QEvent::MouseMove, QPointF(35, 20), face->mapToGlobal(QPointF(35, 20)),
        Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(face, &move);
    EXPECT_DOUBLE_EQ(panel().windowLeft(), 1200 + 25 * 12);
    EXPECT_DOUBLE_EQ(panel().windowTop(), 1200 + 10 * 12);
    QTest::mouseRelease(face, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_TRUE(panel().pictureVisible(1));
}

TEST_F(Panel, TwoOutputSwitcherGetsItsLayoutOnEveryFrameAndAFourOutputOneAllBack)
{
    // Link lost, a two-output switcher answers, is lost, and the four-output
    // switcher comes back.
    auto swap = [&](const QByteArray &f) {
        state().linkMark = 0;
        tick(50); // a search cycle: status window up, model to be detected
        ASSERT_FALSE(panel().isVisible());
        bringUp(f);
        ASSERT_TRUE(panel().isVisible());
    };
    const QByteArray twoOutput = statusFrame(StatusFrame::Kind::TwoOutput, 0xF0);
    swap(twoOutput);
    EXPECT_EQ(panel().windowTitle(), "OXA 4*2 true matrix");
    // Whatever undoes the layout, the next frame puts it back.
    panel().setPictureVisible(12, true);
    panel().setLabel1Visible(4, true);
    panel().setPictureLeft(11, 100);
    tick(1, 1, twoOutput);
    for (int index = 12; index <= 15; ++index)
        EXPECT_FALSE(panel().pictureVisible(index)) << index;
    EXPECT_TRUE(panel().pictureVisible(9));
    EXPECT_TRUE(panel().pictureVisible(11));
    EXPECT_FALSE(panel().label1Visible(6));
    EXPECT_FALSE(panel().label1Visible(4));
    EXPECT_DOUBLE_EQ(panel().pictureRect(11).left, 4905);
    EXPECT_DOUBLE_EQ(panel().pictureRect(10).top, 2790);
    EXPECT_DOUBLE_EQ(panel().label1Rect(5).left, 5242.5);
    EXPECT_DOUBLE_EQ(panel().label1Rect(5).top, 2505);
    // Tab and screen readers find B where its face went, and no C or D.
    EXPECT_EQ(panel().button(11)->geometry(), panel().picture(11)->geometry());
    EXPECT_TRUE(panel().button(13)->isHidden() && panel().button(15)->isHidden());
    // Keys for the outputs it lacks pick nothing.
    QTest::keyClick(&panel(), Qt::Key_C);
    QTest::keyClick(&panel(), Qt::Key_D);
    EXPECT_EQ(state().selectedOutput, 0);
    QTest::keyClick(&panel(), Qt::Key_B);
    EXPECT_EQ(state().selectedOutput, 2);

    swap(statusFrame());
    EXPECT_EQ(panel().windowTitle(), "OXA 4*4 true matrix");
    EXPECT_FALSE(panel().button(13)->isHidden() || panel().button(15)->isHidden());
    for (int index = 12; index <= 15; ++index) // lit again by the routing display
        EXPECT_TRUE(panel().pictureVisible(index)) << index;
    EXPECT_TRUE(panel().label1Visible(6));
    EXPECT_TRUE(panel().label1Visible(4));
    EXPECT_DOUBLE_EQ(panel().pictureRect(11).left, 2250);
    EXPECT_DOUBLE_EQ(panel().pictureRect(10).left, 2250);
    EXPECT_DOUBLE_EQ(panel().label1Rect(5).left, 2587.5);
}

// --- keyboard, double clicks, names, size -------------------------------------

class PanelKeys : public Panel
{
protected:
    void SetUp() override
    {
        Panel::SetUp();
        panel().activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&panel()));
    }
    // Keys typed on the panel, then a main tick and the frame in flight.
    QByteArray type(const QList<QPair<Qt::Key, Qt::KeyboardModifiers>> &keys)
    {
        port->written.clear();
        for (const auto &[key, modifiers] : keys)
            QTest::keyClick(&panel(), key, modifiers);
        tick(1);
        finishFrame();
        return port->written;
    }
};

TEST_F(PanelKeys, KeysPickAsClicksDoAndPutTheSameFrameOnTheLine)
{
    const auto none = Qt::NoModifier;
    const QByteArray input3ToB = wire({ 6, 249, 213, 123 });
    EXPECT_EQ(type({ { Qt::Key_3, none }, { Qt::Key_B, none } }), input3ToB);
    EXPECT_EQ(
        type({ { Qt::Key_B, Qt::ShiftModifier }, { Qt::Key_3, Qt::KeypadModifier } }), input3ToB);
    // The same two picks with the pointer.
    for (int index : { 5, 11 }) {
        press(centreOf(panel().picture(index)));
        release(centreOf(panel().picture(index)));
    }
    tick(1);
    finishFrame();
    EXPECT_EQ(port->written.right(4), input3ToB);

    // A pick turns its label red; Esc drops it; a key with Ctrl picks nothing.
    EXPECT_TRUE(type({ { Qt::Key_D, none } }).isEmpty());
    EXPECT_EQ(panel().label1Colour(PanelLayout::OutputLabel[4]), QColor(255, 0, 0));
    EXPECT_TRUE(type({ { Qt::Key_Escape, none }, { Qt::Key_2, Qt::ControlModifier } }).isEmpty());
    tick(1);
    EXPECT_EQ(state().selectedOutput, 0);
    EXPECT_EQ(state().selectedInput, 0);
    EXPECT_EQ(panel().label1Colour(PanelLayout::OutputLabel[4]), QColor(0, 0, 255));

    // An unlit button picks nothing, by key as by pointer.
    tick(1, 1, statusFrame(StatusFrame::Kind::FourOutput, 0xFF, 0));
    EXPECT_TRUE(type({ { Qt::Key_1, none }, { Qt::Key_A, none } }).isEmpty());
    EXPECT_EQ(state().selectedInput, 0);

    QTest::keyClick(&panel(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(app->ended());
}

TEST_F(PanelKeys, FunctionKeysRecallTheFirstPresetsThroughTheRouter)
{
    for (const auto &[name, routes] :
        { std::pair { "Show", std::map<int, int> { { 1, 4 }, { 2, 3 } } },
            std::pair { "Talk", std::map<int, int> { { 3, 2 } } } })
        app->router().storePreset({ 0, name, routes }, [](const RouterAnswer &) {});
    app->sessionRouter().flush();
    ASSERT_EQ(app->router().presets().size(), 2u);
    // F3 has no preset; F1 sends the first one's routes, input 4 to A first.
    EXPECT_TRUE(type({ { Qt::Key_F3, Qt::NoModifier } }).isEmpty());
    EXPECT_EQ(type({ { Qt::Key_F1, Qt::NoModifier } }).left(4), wire({ 3, 252, 213, 123 }));
}

TEST_F(Panel, SecondPressOfADoubleClickPicksAndSendsNothing)
{
    const QPoint command16 = centreOf(panel().picture(33));
    QTest::mouseDClick(panel().windowHandle(), Qt::LeftButton, {}, command16);
    finishFrame();
    EXPECT_EQ(port->written, wire({ 16, 239, 213, 123 }));
    EXPECT_TRUE(panel().pictureVisible(33));
    EXPECT_TRUE(app->Timer1().isActive());

    const QPoint input2 = centreOf(panel().picture(3));
    QTest::mouseDClick(panel().windowHandle(), Qt::LeftButton, {}, input2);
    EXPECT_EQ(state().selectedInput, 2);
    EXPECT_TRUE(panel().pictureVisible(3));
    EXPECT_TRUE(app->Timer1().isActive());
}

TEST_F(Panel, ButtonsAreNamedForScreenReadersAndTooltips)
{
    const struct
    {
        int face;
        const char *name;
    } names[] = { { 1, "Input 1" }, { 0, "Input 1" }, { 6, "Input 4" },
        { 15, "Output D, showing Input 4" }, { 33, "Command 16" }, { 34, "Command 16" },
        { 36, "Command 40" }, { 11, "Output B, showing Input 2" },
        { 10, "Output B, showing Input 2" } };
    for (const auto &n : names) {
        EXPECT_EQ(panel().picture(n.face)->accessibleName(), n.name) << n.face;
        EXPECT_EQ(panel().picture(n.face)->toolTip(), n.name) << n.face;
    }
}

TEST_F(Panel, WindowKeepsItsOuterSizeFrameIncluded)
{
    // The offscreen platform draws a thin frame, as a window manager would.
    EXPECT_EQ(panel().frameGeometry().size(), QSize(561, 533));
    EXPECT_EQ(panel().minimumSize(), panel().maximumSize());
    panel().showMaximized();
    QCoreApplication::processEvents();
    EXPECT_EQ(panel().frameGeometry().size(), QSize(561, 533));
    EXPECT_EQ(Form3::clientSizeFor(QSize(561, 533), QMargins(1, 27, 1, 1)), QSize(559, 505));
}

// --- the keyboard's and the screen reader's buttons ---------------------------

TEST_F(PanelKeys, TabGoesThroughTheTenButtonsAndSpaceOrEnterPressesTheFocusedOne)
{
    for (const int face : { 1, 9, 33 })
        EXPECT_FALSE(panel().button(face)->focusRingShown()) << face;
    panel().button(Command16UpFace)->setFocus(Qt::TabFocusReason);
    QStringList order;
    for (int i = 0; i < 10; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->accessibleName().section(',', 0, 0);
        EXPECT_TRUE(static_cast<PanelButton *>(QApplication::focusWidget())->focusRingShown()) << i;
    }
    EXPECT_EQ(order,
        QStringList({ "Input 1", "Input 2", "Input 3", "Input 4", "Output A", "Output B",
            "Output C", "Output D", "Command 40", "Command 16" }));

    panel().button(inputUpFace(3))->setFocus(Qt::TabFocusReason);
    port->written.clear();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);
    panel().button(outputUpFace(2))->setFocus(Qt::TabFocusReason);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    tick(1);
    finishFrame();
    EXPECT_EQ(port->written, wire({ 6, 249, 213, 123 }));
}

TEST_F(Panel, AssistiveToolsSeeTenButtonsThatPressAsClicksAndNothingTheDesignHides)
{
    std::function<void(QAccessibleInterface *, QStringList &)> names
        = [&](QAccessibleInterface *node, QStringList &out) {
              out << node->text(QAccessible::Name);
              for (int i = 0; i < node->childCount(); ++i)
                  names(node->child(i), out);
          };
    QStringList all;
    names(QAccessible::queryAccessibleInterface(&panel()), all);
    // The window, its face, the buttons: no picture, digit, legend or Option1.
    EXPECT_EQ(all,
        QStringList({ "OXA 4*4 true matrix", "", "Input 1", "Input 2", "Input 3", "Input 4",
            "Output A, showing Input 1", "Output B, showing Input 2", "Output C, showing Input 3",
            "Output D, showing Input 4", "Command 40", "Command 16" }));
    EXPECT_TRUE(QAccessible::queryAccessibleInterface(&panel())
                    ->text(QAccessible::Description)
                    .contains("F1 to F8 recall the first eight presets"));
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(panel().frame1());
    ASSERT_EQ(face->childCount(), 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(face->child(i)->role(), QAccessible::Button) << i;
        EXPECT_EQ(face->indexOfChild(face->child(i)), i);
    }

    const auto act = [&](int upFace) {
        QAccessibleInterface *b = QAccessible::queryAccessibleInterface(panel().button(upFace));
        b->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        return b;
    };
    EXPECT_EQ(act(Command16UpFace)->state().checkable, false);
    finishFrame();
    EXPECT_EQ(port->written, wire({ 16, 239, 213, 123 }));
    port->written.clear();
    QAccessibleInterface *input3 = act(inputUpFace(3));
    tick(1);
    EXPECT_TRUE(input3->state().checked);
    act(outputUpFace(2));
    tick(1);
    finishFrame();
    EXPECT_EQ(port->written, wire({ 6, 249, 213, 123 }));
    tick(1);
    EXPECT_FALSE(input3->state().checked);

    // An unlit button picks nothing, from the pointer or from a press action.
    panel().setPictureVisible(inputUpFace(2), false);
    act(inputUpFace(2));
    EXPECT_EQ(state().selectedInput, 0);

    QAccessibleInterface *status = QAccessible::queryAccessibleInterface(&app->statusWindow());
    ASSERT_EQ(status->childCount(), 1);
    EXPECT_EQ(status->child(0)->text(QAccessible::Name), "Please wait for the RS232 input");
    EXPECT_EQ(
        status->child(0)->text(QAccessible::Description), app->statusWindow().label1().toolTip());
}
