#pragma once

#include <QWidget>

// What the keyboard and a screen reader know as one of the panel's buttons.
// The design draws each button as two pictures (the up face over the down
// face) that come and go; this widget lies over them, the same size, takes
// no pointer events (the faces keep the pointer's rules) and draws nothing
// but a focus ring, and only while it has focus from the keyboard or from an
// assistive tool. Pressing it (Space, Enter, a screen reader's press action)
// does what a click on the button does.
class PanelButton : public QWidget
{
    Q_OBJECT
public:
    PanelButton(int upFace, bool checkable, QWidget *parent);

    int upFace() const { return m_upFace; }
    // Route buttons show whether they are picked; command buttons act at once.
    bool isCheckable() const { return m_checkable; }
    bool isPicked() const { return m_picked; }
    // Announces the change to assistive tools.
    void setPicked(bool picked);
    bool focusRingShown() const { return m_ringShown && hasFocus(); }

signals:
    void activated(int upFace);

public slots:
    void activate() { emit activated(m_upFace); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    void showRing();

    int m_upFace;
    bool m_checkable;
    bool m_picked = false;
    bool m_ringShown = false;
};

// Installs the accessible interfaces of the panel's buttons and of the
// windows that expose only some of their children. Safe to call again.
void installPanelAccessibility();

// Keeps `widget` (a part of the design that is hidden or only decoration)
// out of what assistive tools see of its parent.
void hideFromAssistiveTools(QWidget *widget);
