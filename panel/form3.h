#pragma once

#include "panel/panel_layout.h"

#include <QLabel>
#include <QWidget>
#include <array>
#include <map>
#include <optional>

class PanelButton;
class QFrame;
class QRadioButton;
class RouteSelection;

// The matrix panel: four input buttons, four output buttons and two command
// buttons, each a pair of pictures (the up face over the down face) under one
// PanelButton for the keyboard and assistive tools. It is a view: it knows its
// controls and geometry and turns pointer events into the handlers below;
// what a press means lives in RouteSelection.
class Form3 : public QWidget
{
    Q_OBJECT
public:
    // Pointer buttons and modifier keys as the handlers receive them.
    enum Button { LeftButton = 1, RightButton = 2, MiddleButton = 4 };
    enum Shift { ShiftKey = 1, CtrlKey = 2, AltKey = 4 };

    explicit Form3(QWidget *parent = nullptr);
    ~Form3() override;

    void setRouteSelection(RouteSelection *selection) { m_routeSelection = selection; }

    // Picture1: elements 0 to 15 and 33 to 36.
    static bool hasPicture(int index);
    QLabel *picture(int index) const;
    bool pictureVisible(int index) const;
    void setPictureVisible(int index, bool visible);
    TwipsRect pictureRect(int index) const;
    void setPictureLeft(int index, double left);
    void setPictureTop(int index, double top);

    // Label1: digits, letters and the two hidden legends, elements 0 to 9.
    QLabel *label1(int index) const;
    TwipsRect label1Rect(int index) const;
    void setLabel1Left(int index, double left);
    void setLabel1Top(int index, double top);
    bool label1Visible(int index) const;
    void setLabel1Visible(int index, bool visible);
    QColor label1Colour(int index) const;
    void setLabel1Colour(int index, const QColor &colour);

    // Label2: the captions inside the output up faces, elements 0 to 3.
    QLabel *label2(int index) const;
    QString label2Caption(int index) const;
    void setLabel2Caption(int index, const QString &caption);
    // The names users gave the inputs and outputs, for tooltips and screen
    // readers; the captions stay as they are.
    void setRouteNames(const std::array<QString, 4> &inputs, const std::array<QString, 4> &outputs);

    // The button over the faces of `upFace`, as the keyboard and assistive
    // tools know it.
    PanelButton *button(int upFace) const;
    // Shows the input and output picked (0: none) to assistive tools.
    void setPicked(int input, int output);
    // A click on a button, as a key or an assistive tool asks for it.
    void clickButton(int upFace);

    QFrame *frame1() const { return m_frame; }
    double frameTop() const { return PanelLayout::Frame1.top; }
    double option1Top() const { return m_option1Rect.top; }

    // The window's outer size and position, in twips. The outer size takes in
    // the window manager's frame, when there is one.
    void setOuterSize(double width, double height);
    static QSize clientSizeFor(QSize outer, QMargins frame);
    double outerWidth() const { return m_outerWidth; }
    double outerHeight() const { return m_outerHeight; }
    double windowLeft() const;
    double windowTop() const;
    void setWindowLeft(double left);
    void setWindowTop(double top);

    // Pointer handlers; X and Y are twips in the pressed control's coordinates.
    void Frame1_MouseDown(int index, int button, int shift, double x, double y);
    void Label1_MouseDown(int index, int button, int shift, double x, double y);
    void Picture1_MouseDown(int index, int button, int shift, double x, double y);
    void Picture1_MouseUp(int index, int button, int shift, double x, double y);
    void Label2_MouseDown(int index, int button, int shift, double x, double y);
    void Label2_MouseUp(int index, int button, int shift, double x, double y);
    void DragPanel(int index, int button, int shift, double x, double y);

    double dragX() const { return m_dragX; }
    double dragY() const { return m_dragY; }

signals:
    // The window was asked to close, by any means; closing it ends the program.
    void closeRequested();
    // F1 to F8: recall the preset in that place (1 to 8) of the list.
    void presetKeyPressed(int place);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    enum class Kind { Frame, Picture, Label1, Label2 };
    struct Control
    {
        QWidget *widget = nullptr;
        TwipsRect rect;
    };
    struct Target
    {
        Kind kind;
        int index;
    };

    QLabel *makeLabel(QWidget *parent, const PanelLayout::LabelDesign &design);
    void place(Control &control);
    Control *pictureControl(int index) const;
    Control *label1Control(int index) const;
    void moveControl(Control *control, std::optional<double> left, std::optional<double> top);
    static bool controlVisible(const Control *control);
    static void setControlVisible(Control *control, bool visible);
    void watch(QWidget *widget, Kind kind, int index);
    void storeDragOrigin(double x, double y);
    void nameButton(int upFace, const QString &name);
    void syncButton(int upOrDownFace);
    bool startSystemMove();
    // What a screen reader and a tooltip call each button.
    QString buttonName(int index) const;
    void applyOuterSize();
    void syncWindowTwips() const;

    QFrame *m_frame = nullptr;
    QRadioButton *m_option1 = nullptr;
    TwipsRect m_option1Rect;
    std::map<int, Control> m_pictures;
    Control m_label1[10];
    Control m_label2[4];
    std::map<QObject *, Target> m_targets;
    // A press and its release belong to one control even when the press hid
    // that control's face: the release goes back to where the press went.
    QObject *m_pressed = nullptr;
    // The compositor moves the window (Wayland) and may keep the release.
    bool m_systemMoving = false;
    std::map<int, PanelButton *> m_buttons;

    RouteSelection *m_routeSelection = nullptr;
    std::array<QString, 4> m_inputNames;
    std::array<QString, 4> m_outputNames;

    double m_dragX = 0;
    double m_dragY = 0;
    double m_outerWidth = 0;
    double m_outerHeight = 0;
    mutable double m_leftTwips = 0;
    mutable double m_topTwips = 0;
};
