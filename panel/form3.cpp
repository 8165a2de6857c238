#include "panel/form3.h"

#include "core/texts.h"
#include "panel/panel_button.h"
#include "panel/route_selection.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QRadioButton>
#include <QShortcut>
#include <QWindow>
#include <cmath>

using namespace PanelLayout;

namespace {

int toPixels(double twips)
{
    return int(std::lround(twips / TwipsPerPixel));
}

const char *faceResource(Face face)
{
    switch (face) {
    case Face::InputUp:
        return ":/input_up.bmp";
    case Face::InputDown:
        return ":/input_down.bmp";
    case Face::OutputUp:
        return ":/output_up.bmp";
    case Face::OutputDown:
        return ":/output_down.bmp";
    case Face::Cmd16Up:
        return ":/command16_up.jpg";
    case Face::Cmd16Down:
        return ":/command16_down.jpg";
    case Face::Cmd40Up:
        return ":/command40_up.jpg";
    case Face::Cmd40Down:
        return ":/command40_down.jpg";
    }
    return "";
}

// Each face also comes drawn at twice its size ("@2x" before the extension).
// A QPixmap does not look for that twin by itself (a QIcon would), so the
// panel picks it on any screen denser than the design's: there the faces stay
// sharp at the same size in twips, since Qt gives the twin a pixel ratio of 2
// from its name. At ratio 1 the design's own pictures are shown, pixel for
// pixel.
QPixmap facePixmap(Face face, qreal devicePixelRatio)
{
    const QString path = QString::fromLatin1(faceResource(face));
    if (devicePixelRatio > 1.0) {
        const int dot = path.lastIndexOf(QLatin1Char('.'));
        QPixmap sharp(path.left(dot) + QLatin1String("@2x") + path.mid(dot));
        if (!sharp.isNull()) {
            sharp.setDevicePixelRatio(2.0);
            return sharp;
        }
    }
    return QPixmap(path);
}

int buttonCode(Qt::MouseButtons buttons)
{
    int code = 0;
    if (buttons & Qt::LeftButton)
        code |= Form3::LeftButton;
    if (buttons & Qt::RightButton)
        code |= Form3::RightButton;
    if (buttons & Qt::MiddleButton)
        code |= Form3::MiddleButton;
    return code;
}

int shiftCode(Qt::KeyboardModifiers modifiers)
{
    int code = 0;
    if (modifiers & Qt::ShiftModifier)
        code |= Form3::ShiftKey;
    if (modifiers & Qt::ControlModifier)
        code |= Form3::CtrlKey;
    if (modifiers & Qt::AltModifier)
        code |= Form3::AltKey;
    return code;
}

// Route buttons list the down face first (even, odd), command buttons the up
// face first (33 and 34, 35 and 36).
int upFaceOf(int upOrDownFace)
{
    return upOrDownFace < 16 ? upOrDownFace | 1 : (upOrDownFace - 1) / 2 * 2 + 1;
}

int downFaceOf(int upFace)
{
    return upFace < 16 ? upFace - 1 : upFace + 1;
}

// The order of Tab: inputs 1 to 4, outputs A to D, then the left command
// (40) and the right one (16), as they sit on the face.
constexpr int TabOrder[]
    = { inputUpFace(1), inputUpFace(2), inputUpFace(3), inputUpFace(4), outputUpFace(1),
          outputUpFace(2), outputUpFace(3), outputUpFace(4), Command40UpFace, Command16UpFace };

} // namespace

Form3::Form3(QWidget *parent)
    : QWidget(parent)
{
    setWindowTitle(QString::fromLatin1(Texts::PanelTitleAtCreation));
    setWindowIcon(QIcon(QStringLiteral(":/icon.ico")));

    m_frame = new QFrame(this);
    m_frame->setGeometry(toPixels(Frame1.left), toPixels(Frame1.top), toPixels(Frame1.width),
        toPixels(Frame1.height));
    watch(m_frame, Kind::Frame, 0);

    // The table lists each down face before its up face, so the up face is
    // created later and lies on top.
    for (const PictureDesign &design : Pictures) {
        auto *label = new QLabel(m_frame);
        label->setPixmap(facePixmap(design.face, devicePixelRatioF()));
        Control &control = m_pictures[design.index];
        control.widget = label;
        control.rect = design.rect;
        place(control);
        watch(label, Kind::Picture, design.index);
        hideFromAssistiveTools(label);
    }

    for (const LabelDesign &design : PanelLayout::Label1) {
        Control &control = m_label1[design.index];
        control.widget = makeLabel(m_frame, design);
        control.rect = design.rect;
        // Digits, letters and legends sit on the highlight-text colour.
        QPalette palette = control.widget->palette();
        palette.setColor(QPalette::Window, palette.color(QPalette::HighlightedText));
        control.widget->setPalette(palette);
        control.widget->setAutoFillBackground(true);
        place(control);
        control.widget->setVisible(design.visible);
        watch(control.widget, Kind::Label1, design.index);
        // The buttons' names carry the digits and letters; the legends are
        // hidden by design.
        hideFromAssistiveTools(control.widget);
    }

    for (const LabelDesign &design : PanelLayout::Label2) {
        Control &control = m_label2[design.index];
        control.widget = makeLabel(picture(outputUpFace(design.index + 1)), design);
        control.rect = design.rect;
        place(control);
        watch(control.widget, Kind::Label2, design.index);
    }

    // Only its top matters: it marks where the window's face ends.
    m_option1Rect = PanelLayout::Option1;
    m_option1 = new QRadioButton(QStringLiteral("Option1"), m_frame);
    m_option1->setFocusPolicy(Qt::NoFocus);
    m_option1->setGeometry(toPixels(m_option1Rect.left), toPixels(m_option1Rect.top),
        toPixels(m_option1Rect.width), toPixels(m_option1Rect.height));
    hideFromAssistiveTools(m_option1);

    installPanelAccessibility();
    for (const int upFace : TabOrder) {
        auto *button = new PanelButton(upFace, upFace < 16, m_frame);
        m_buttons[upFace] = button;
        connect(button, &PanelButton::activated, this, &Form3::clickButton);
        nameButton(upFace, buttonName(upFace));
        syncButton(upFace);
    }

    m_frame->raise();
    installEventFilter(this);
    // The keys are nowhere on the face: a screen reader says them with the
    // window.
    setAccessibleDescription(QStringLiteral(
        "Keys: 1 to 4 pick an input, A to D an output, Escape drops a half-made pick; "
        "F1 to F8 recall the first eight presets."));

    // The keys pick as the pointer does, from anywhere on the panel; Tab
    // goes from button to button and never stops on the window itself.
    setFocusPolicy(Qt::NoFocus);
    auto *quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &Form3::closeRequested);
    // The window keeps the size of its design: it is neither resized nor
    // maximised, which would uncover the controls below the visible face.
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
}

Form3::~Form3() = default;

QLabel *Form3::makeLabel(QWidget *parent, const LabelDesign &design)
{
    auto *label = new QLabel(QString::fromLatin1(design.caption), parent);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSizeF(LabelFontPoints);
    font.setBold(design.bold);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, design.colour);
    label->setPalette(palette);
    return label;
}

void Form3::place(Control &control)
{
    const TwipsRect &r = control.rect;
    control.widget->setGeometry(
        toPixels(r.left), toPixels(r.top), toPixels(r.width), toPixels(r.height));
}

void Form3::watch(QWidget *widget, Kind kind, int index)
{
    m_targets[widget] = Target { kind, index };
    widget->installEventFilter(this);
}

bool Form3::hasPicture(int index)
{
    return (index >= 0 && index <= 15) || (index >= 33 && index <= 36);
}

Form3::Control *Form3::pictureControl(int index) const
{
    const auto it = m_pictures.find(index);
    return it == m_pictures.end() ? nullptr : const_cast<Control *>(&it->second);
}

Form3::Control *Form3::label1Control(int index) const
{
    return index >= 0 && index < 10 ? const_cast<Control *>(&m_label1[index]) : nullptr;
}

void Form3::moveControl(Control *control, std::optional<double> left, std::optional<double> top)
{
    if (!control)
        return;
    control->rect.left = left.value_or(control->rect.left);
    control->rect.top = top.value_or(control->rect.top);
    place(*control);
}

bool Form3::controlVisible(const Control *control)
{
    return control && !control->widget->isHidden();
}

void Form3::setControlVisible(Control *control, bool visible)
{
    if (control)
        control->widget->setVisible(visible);
}

QLabel *Form3::picture(int index) const
{
    const Control *c = pictureControl(index);
    return c ? static_cast<QLabel *>(c->widget) : nullptr;
}

bool Form3::pictureVisible(int index) const
{
    return controlVisible(pictureControl(index));
}

void Form3::setPictureVisible(int index, bool visible)
{
    setControlVisible(pictureControl(index), visible);
    syncButton(index);
}

TwipsRect Form3::pictureRect(int index) const
{
    const Control *c = pictureControl(index);
    return c ? c->rect : TwipsRect {};
}

void Form3::setPictureLeft(int index, double left)
{
    moveControl(pictureControl(index), left, std::nullopt);
    syncButton(index);
}

void Form3::setPictureTop(int index, double top)
{
    moveControl(pictureControl(index), std::nullopt, top);
    syncButton(index);
}

PanelButton *Form3::button(int upFace) const
{
    const auto it = m_buttons.find(upFace);
    return it == m_buttons.end() ? nullptr : it->second;
}

void Form3::syncButton(int upOrDownFace)
{
    // The button lies where its up face lies and is there while either face
    // shows: an unlit button (down face only) can be reached and picks
    // nothing, C and D of the two-output panel cannot be reached.
    const int upFace = upFaceOf(upOrDownFace);
    PanelButton *b = button(upFace);
    const Control *up = pictureControl(upFace);
    if (!b || !up)
        return;
    const QRect where = up->widget->geometry();
    if (b->geometry() != where)
        b->setGeometry(where);
    const bool there = controlVisible(up) || controlVisible(pictureControl(downFaceOf(upFace)));
    if (b->isHidden() == there) {
        b->setVisible(there);
        if (there)
            b->raise();
    }
}

void Form3::setPicked(int input, int output)
{
    for (int k = 1; k <= 4; ++k) {
        button(inputUpFace(k))->setPicked(k == input);
        button(outputUpFace(k))->setPicked(k == output);
    }
}

QLabel *Form3::label1(int index) const
{
    const Control *c = label1Control(index);
    return c ? static_cast<QLabel *>(c->widget) : nullptr;
}

TwipsRect Form3::label1Rect(int index) const
{
    const Control *c = label1Control(index);
    return c ? c->rect : TwipsRect {};
}

void Form3::setLabel1Left(int index, double left)
{
    moveControl(label1Control(index), left, std::nullopt);
}

void Form3::setLabel1Top(int index, double top)
{
    moveControl(label1Control(index), std::nullopt, top);
}

bool Form3::label1Visible(int index) const
{
    return controlVisible(label1Control(index));
}

void Form3::setLabel1Visible(int index, bool visible)
{
    setControlVisible(label1Control(index), visible);
}

QColor Form3::label1Colour(int index) const
{
    const QLabel *l = label1(index);
    return l ? l->palette().color(QPalette::WindowText) : QColor();
}

void Form3::setLabel1Colour(int index, const QColor &colour)
{
    // The main tick re-applies the colours 100 times a second; only a real
    // change may touch the palette (and repaint).
    QLabel *l = label1(index);
    if (!l || l->palette().color(QPalette::WindowText) == colour)
        return;
    QPalette palette = l->palette();
    palette.setColor(QPalette::WindowText, colour);
    l->setPalette(palette);
}

QLabel *Form3::label2(int index) const
{
    return index >= 0 && index < 4 ? static_cast<QLabel *>(m_label2[index].widget) : nullptr;
}

QString Form3::label2Caption(int index) const
{
    const QLabel *l = label2(index);
    return l ? l->text() : QString();
}

void Form3::setLabel2Caption(int index, const QString &caption)
{
    QLabel *l = label2(index);
    if (!l || l->text() == caption)
        return;
    l->setText(caption);
    const int upFace = outputUpFace(index + 1);
    nameButton(upFace, buttonName(upFace));
}

void Form3::setRouteNames(
    const std::array<QString, 4> &inputs, const std::array<QString, 4> &outputs)
{
    m_inputNames = inputs;
    m_outputNames = outputs;
    for (int face = 1; face < 16; face += 2)
        nameButton(face, buttonName(face));
}

QString Form3::buttonName(int index) const
{
    // A name equal to what the button is called anyway is not repeated.
    const auto named = [](const QString &what, const QString &name) {
        return name.isEmpty() || name == what ? what : what + QStringLiteral(", ") + name;
    };
    if (index >= 0 && index <= 7)
        return named(QStringLiteral("Input %1").arg(index / 2 + 1), m_inputNames[index / 2]);
    if (index >= 8 && index <= 15) {
        const int k = (index - 8) / 2;
        QString name = named(QStringLiteral("Output %1").arg(QChar(u'A' + k)), m_outputNames[k]);
        const QString caption = label2Caption(k);
        for (int i = 0; i < 4; ++i) {
            if (caption == QLatin1String(Texts::InputCaptions[i]))
                name += QStringLiteral(", showing ") + named(caption, m_inputNames[i]);
        }
        return name;
    }
    return QStringLiteral("Command %1").arg(index <= 34 ? 16 : 40);
}

void Form3::nameButton(int upFace, const QString &name)
{
    // Both faces of a button carry its name for the pointer's tooltip:
    // either may be the one shown.
    for (QLabel *face : { picture(upFace), picture(downFaceOf(upFace)) }) {
        face->setAccessibleName(name);
        face->setToolTip(name);
    }
    button(upFace)->setAccessibleName(name);
}

void Form3::keyPressEvent(QKeyEvent *event)
{
    const Qt::KeyboardModifiers modifiers
        = event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier);
    const int key = event->key();
    if (!m_routeSelection || modifiers != Qt::NoModifier) {
        QWidget::keyPressEvent(event);
    } else if (key >= Qt::Key_1 && key <= Qt::Key_4) {
        clickButton(inputUpFace(key - Qt::Key_0));
    } else if (key >= Qt::Key_A && key <= Qt::Key_D) {
        clickButton(outputUpFace(key - Qt::Key_A + 1));
    } else if (key == Qt::Key_Escape) {
        m_routeSelection->dropSelection();
    } else if (key >= Qt::Key_F1 && key <= Qt::Key_F8) {
        // A held key would queue the same salvo again and again.
        if (!event->isAutoRepeat())
            emit presetKeyPressed(key - Qt::Key_F1 + 1);
    } else {
        QWidget::keyPressEvent(event);
    }
}

void Form3::clickButton(int upFace)
{
    // A key does what a click on the button does: the click lands on the
    // face that shows (an unlit button's down face picks nothing), and a
    // button the panel does not show (C and D on the two-output panel) is
    // not there to click.
    const int downFace = downFaceOf(upFace);
    const int face = pictureVisible(upFace) ? upFace : pictureVisible(downFace) ? downFace : -1;
    if (face < 0 || !m_routeSelection)
        return;
    m_routeSelection->Picture1_MouseDown(face);
    m_routeSelection->Picture1_MouseUp(face);
}

void Form3::setOuterSize(double width, double height)
{
    m_outerWidth = width;
    m_outerHeight = height;
    applyOuterSize();
}

QSize Form3::clientSizeFor(QSize outer, QMargins frame)
{
    return QSize(qMax(1, outer.width() - frame.left() - frame.right()),
        qMax(1, outer.height() - frame.top() - frame.bottom()));
}

void Form3::applyOuterSize()
{
    // The design gives the window's outer size: once the window manager has
    // put its frame around the panel, the frame takes its share of it.
    // Without a frame (no window manager) the face keeps the whole size.
    const QSize outer(toPixels(m_outerWidth), toPixels(m_outerHeight));
    const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    const QSize client = clientSizeFor(outer, frame);
    if (minimumSize() != client || maximumSize() != client)
        setFixedSize(client);
}

bool Form3::event(QEvent *event)
{
    // The frame is known only once the window manager has taken the window,
    // which it tells by moving or resizing it.
    switch (event->type()) {
    case QEvent::WindowStateChange:
        // Maximised, the face would uncover what lies below its design.
        if (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))
            setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowFullScreen));
        Q_FALLTHROUGH();
    case QEvent::Show:
    case QEvent::Move:
    case QEvent::Resize:
        if (m_outerWidth > 0)
            applyOuterSize();
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

void Form3::syncWindowTwips() const
{
    // The window manager may have moved the window since we last did.
    if (toPixels(m_leftTwips) != pos().x())
        m_leftTwips = pos().x() * TwipsPerPixel;
    if (toPixels(m_topTwips) != pos().y())
        m_topTwips = pos().y() * TwipsPerPixel;
}

double Form3::windowLeft() const
{
    syncWindowTwips();
    return m_leftTwips;
}

double Form3::windowTop() const
{
    syncWindowTwips();
    return m_topTwips;
}

void Form3::setWindowLeft(double left)
{
    syncWindowTwips();
    m_leftTwips = left;
    move(toPixels(left), pos().y());
}

void Form3::setWindowTop(double top)
{
    syncWindowTwips();
    m_topTwips = top;
    move(pos().x(), toPixels(top));
}

void Form3::storeDragOrigin(double x, double y)
{
    m_dragX = x;
    m_dragY = y;
}

void Form3::Frame1_MouseDown(int, int, int, double x, double y)
{
    storeDragOrigin(x, y);
}

void Form3::Label1_MouseDown(int, int, int, double x, double y)
{
    storeDragOrigin(x, y);
}

void Form3::Picture1_MouseDown(int index, int, int, double x, double y)
{
    storeDragOrigin(x, y);
    if (m_routeSelection)
        m_routeSelection->Picture1_MouseDown(index);
}

void Form3::Picture1_MouseUp(int index, int, int, double x, double y)
{
    storeDragOrigin(x, y);
    if (m_routeSelection)
        m_routeSelection->Picture1_MouseUp(index);
}

void Form3::Label2_MouseDown(int index, int, int, double x, double y)
{
    storeDragOrigin(x, y);
    if (m_routeSelection)
        m_routeSelection->Label2_MouseDown(index);
}

void Form3::Label2_MouseUp(int index, int, int, double x, double y)
{
    storeDragOrigin(x, y);
    if (m_routeSelection)
        m_routeSelection->Label2_MouseUp(index);
}

void Form3::DragPanel(int, int button, int, double x, double y)
{
    if (button != LeftButton)
        return;
    // The pressed control moves with the window, so putting the pressed point
    // back under the pointer on every move lets the window follow without drift.
    setWindowTop(windowTop() + y - m_dragY);
    setWindowLeft(windowLeft() + x - m_dragX);
}

bool Form3::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonDblClick
        && type != QEvent::MouseButtonRelease && type != QEvent::MouseMove)
        return QWidget::eventFilter(watched, event);

    if ((type == QEvent::MouseButtonRelease || type == QEvent::MouseMove) && m_pressed
        && watched != m_pressed) {
        // The face hidden by the press may have lost the implicit grab: moves
        // and the release still belong to the pressed control.
        auto *mouse = static_cast<QMouseEvent *>(event);
        auto *pressed = static_cast<QWidget *>(m_pressed);
        const QPointF local = pressed->mapFromGlobal(mouse->globalPosition());
        QMouseEvent redirected(type, local, mouse->globalPosition(), mouse->button(),
            mouse->buttons(), mouse->modifiers());
        return eventFilter(pressed, &redirected);
    }

    const auto it = m_targets.find(watched);
    if (it == m_targets.end())
        return QWidget::eventFilter(watched, event);
    const Target target = it->second;
    auto *mouse = static_cast<QMouseEvent *>(event);
    const double x = mouse->position().x() * TwipsPerPixel;
    const double y = mouse->position().y() * TwipsPerPixel;
    const int shift = shiftCode(mouse->modifiers());

    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        m_pressed = watched;
        m_systemMoving = false;
        // The press may hide the control it landed on, and Qt drops the
        // implicit grab of a hidden widget: the window holds the pointer
        // until the release and hands its events back to the pressed control.
        if (isVisible() && mouseGrabber() != this)
            grabMouse();
        // The second press of a double click is no press to the panel: it
        // picks nothing and sends nothing. Its release still counts.
        if (type == QEvent::MouseButtonDblClick)
            return true;
        const int button = buttonCode(mouse->button());
        switch (target.kind) {
        case Kind::Frame:
            Frame1_MouseDown(target.index, button, shift, x, y);
            break;
        case Kind::Label1:
            Label1_MouseDown(target.index, button, shift, x, y);
            break;
        case Kind::Picture:
            Picture1_MouseDown(target.index, button, shift, x, y);
            break;
        case Kind::Label2:
            Label2_MouseDown(target.index, button, shift, x, y);
            break;
        }
        return true;
    }
    case QEvent::MouseButtonRelease: {
        if (m_systemMoving) {
            // The move's press ended when the compositor took the pointer.
            m_systemMoving = mouse->buttons() != Qt::NoButton;
            return true;
        }
        if (mouse->buttons() == Qt::NoButton) {
            m_pressed = nullptr;
            if (mouseGrabber() == this)
                releaseMouse();
        }
        const int button = buttonCode(mouse->button());
        if (target.kind == Kind::Picture)
            Picture1_MouseUp(target.index, button, shift, x, y);
        else if (target.kind == Kind::Label2)
            Label2_MouseUp(target.index, button, shift, x, y);
        return true;
    }
    default: {
        if (m_systemMoving)
            return true;
        const int buttons = buttonCode(mouse->buttons());
        if (buttons == LeftButton && startSystemMove()) {
            // The compositor has the pointer now and may keep the release
            // to itself: the press ends here as its release would end it,
            // so that the main tick runs on and the face comes back up.
            m_pressed = nullptr;
            m_systemMoving = true;
            if (mouseGrabber() == this)
                releaseMouse();
            if (target.kind == Kind::Picture)
                Picture1_MouseUp(target.index, LeftButton, shift, x, y);
            else if (target.kind == Kind::Label2)
                Label2_MouseUp(target.index, LeftButton, shift, x, y);
            return true;
        }
        DragPanel(target.index, buttons, shift, x, y);
        return true;
    }
    }
}

bool Form3::startSystemMove()
{
    // A Wayland compositor ignores a window that moves itself: there the
    // compositor moves it, when asked at the start of the drag. Elsewhere
    // the design's own drag follows the pointer.
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland")) && windowHandle()
        && windowHandle()->startSystemMove();
}

void Form3::closeEvent(QCloseEvent *event)
{
    event->accept();
    emit closeRequested();
}
