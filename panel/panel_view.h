#pragma once

#include "panel/route_selection.h"
#include "session/session_view.h"

#include <QObject>
#include <memory>

class Form1;
class Form3;
class SwitcherSession;

// The two windows as the view of a switcher session: the status window while
// no switcher answers, the panel once one does. The panel's picks go to the
// session's own path to the line.
class PanelView : public QObject, public SessionView, private RouteSelection::Host
{
    Q_OBJECT
public:
    explicit PanelView(SwitcherSession &session, QObject *parent = nullptr);
    ~PanelView() override;

    Form1 &statusWindow() { return *m_form1; }
    Form3 &panel() { return *m_panel; }

    // SessionView
    void load(const QString &waitingText) override;
    void setWaitingText(const QString &text) override;
    void showPortTried(int number) override;
    void describePort(const QString &description) override;
    void showStatusWindow() override;
    void bringUpPanel(int matrixModel, const QString &title) override;
    void reduceToTwoOutputs() override;
    void setPanelTitle(const QString &title) override;
    bool panelVisible() const override;
    void hidePanel() override;
    void refresh(const ShownState &shown) override;
    void showPicked(int input, int output) override;
    void setNames(const Names &names) override;
    void closeWindows() override;

private:
    // RouteSelection::Host
    void setMainTickEnabled(bool enabled) override;
    void send(uint8_t x) override;

    // The preset in `place` (1 to 8) of the router's list, through the
    // router as every client recalls one.
    void recallPreset(int place);

    SwitcherSession &m_session;
    std::unique_ptr<Form3> m_panel;
    std::unique_ptr<Form1> m_form1;
    RouteSelection m_routeSelection;
};
