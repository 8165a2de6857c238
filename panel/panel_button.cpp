#include "panel/panel_button.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QPainter>

namespace {

constexpr char HiddenProperty[] = "matrixHiddenFromAssistiveTools";
constexpr char FilteredProperty[] = "matrixHasHiddenChildren";

bool isHidden(const QObject *object)
{
    return object->property(HiddenProperty).toBool();
}

// A window or frame whose design-hidden or decorative children stay out of
// the tree: a screen reader would otherwise read "Option1" or the two
// pictures of every button.
class FilteredWidget : public QAccessibleWidget
{
public:
    explicit FilteredWidget(QWidget *widget)
        : QAccessibleWidget(widget, widget->isWindow() ? QAccessible::Window : QAccessible::Pane)
    {
    }

    int childCount() const override { return int(exposed().size()); }
    QAccessibleInterface *child(int index) const override
    {
        const QList<QWidget *> children = exposed();
        return index >= 0 && index < children.size()
            ? QAccessible::queryAccessibleInterface(children[index])
            : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child ? int(exposed().indexOf(child->object())) : -1;
    }

private:
    QList<QWidget *> exposed() const
    {
        QList<QWidget *> children;
        for (QObject *object : widget()->children()) {
            auto *w = qobject_cast<QWidget *>(object);
            if (w && !w->isWindow() && !isHidden(w))
                children << w;
        }
        return children;
    }
};

class AccessiblePanelButton : public QAccessibleWidget
{
public:
    explicit AccessiblePanelButton(PanelButton *button)
        : QAccessibleWidget(button, QAccessible::Button)
    {
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        const auto *b = static_cast<const PanelButton *>(widget());
        s.checkable = b->isCheckable();
        s.checked = b->isPicked();
        return s;
    }
    QStringList actionNames() const override
    {
        return QStringList { pressAction() } + QAccessibleWidget::actionNames();
    }
    void doAction(const QString &name) override
    {
        if (name == pressAction())
            static_cast<PanelButton *>(widget())->activate();
        else
            QAccessibleWidget::doAction(name);
    }
    QStringList keyBindingsForAction(const QString &name) const override
    {
        return name == pressAction() ? QStringList { QStringLiteral("Space") } : QStringList();
    }
};

QAccessibleInterface *panelFactory(const QString &, QObject *object)
{
    if (auto *button = qobject_cast<PanelButton *>(object))
        return new AccessiblePanelButton(button);
    if (object && object->isWidgetType() && object->property(FilteredProperty).toBool())
        return new FilteredWidget(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

void installPanelAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(panelFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

void hideFromAssistiveTools(QWidget *widget)
{
    widget->setProperty(HiddenProperty, true);
    if (QWidget *parent = widget->parentWidget())
        parent->setProperty(FilteredProperty, true);
}

PanelButton::PanelButton(int upFace, bool checkable, QWidget *parent)
    : QWidget(parent)
    , m_upFace(upFace)
    , m_checkable(checkable)
{
    // The faces below take the pointer exactly as designed.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::TabFocus);
}

void PanelButton::setPicked(bool picked)
{
    if (m_picked == picked)
        return;
    m_picked = picked;
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

void PanelButton::paintEvent(QPaintEvent *)
{
    if (!focusRingShown())
        return;
    QPainter painter(this);
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2, Qt::DotLine));
    painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
}

void PanelButton::keyPressEvent(QKeyEvent *event)
{
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (modifiers != Qt::NoModifier) {
        QWidget::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        showRing();
        if (!event->isAutoRepeat())
            activate();
        break;
    case Qt::Key_Right:
    case Qt::Key_Down:
        focusNextChild();
        break;
    case Qt::Key_Left:
    case Qt::Key_Up:
        focusPreviousChild();
        break;
    default:
        // Digits, letters and Esc go on to the panel.
        QWidget::keyPressEvent(event);
        return;
    }
}

void PanelButton::showRing()
{
    if (!m_ringShown) {
        m_ringShown = true;
        update();
    }
}

void PanelButton::focusInEvent(QFocusEvent *event)
{
    // The window hands its first button the focus when it is activated; a
    // ring then would change the design's look for a pointer user. Focus
    // from Tab, the arrows or an assistive tool shows it.
    const Qt::FocusReason reason = event->reason();
    if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason
        && reason != Qt::MouseFocusReason)
        showRing();
    QWidget::focusInEvent(event);
}

void PanelButton::focusOutEvent(QFocusEvent *event)
{
    // Leaving the window keeps the ring for the return; leaving the button
    // for another one carries it over through focusInEvent.
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason)
        m_ringShown = false;
    update();
    QWidget::focusOutEvent(event);
}
