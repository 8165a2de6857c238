#pragma once

#include <QString>

struct Names;
struct ShownState;

// What the switcher session asks of its windows, when there is a screen: the
// status window while no switcher answers, and the panel once one does.
// Headless there is none, and the session runs all the same.
class SessionView
{
public:
    virtual ~SessionView() = default;

    // At start: the status window's waiting text, the labels in their places.
    virtual void load(const QString &waitingText) = 0;
    // The waiting animation's next text.
    virtual void setWaitingText(const QString &text) = 0;
    // The number of the port just tried, and why the switcher is not found
    // there, for whoever points at the waiting text.
    virtual void showPortTried(int number) = 0;
    virtual void describePort(const QString &description) = 0;
    // Shows the status window, if it is not shown already.
    virtual void showStatusWindow() = 0;

    // The model is settled: the panel is titled for it, laid out for its
    // outputs (1: four, 2: two, which reduceToTwoOutputs then does) and shown
    // in place of the status window.
    virtual void bringUpPanel(int matrixModel, const QString &title) = 0;
    virtual void reduceToTwoOutputs() = 0;
    virtual void setPanelTitle(const QString &title) = 0;
    virtual bool panelVisible() const = 0;
    // Hides the panel, if it is shown.
    virtual void hidePanel() = 0;

    // What the switcher reports, on the route buttons and captions.
    virtual void refresh(const ShownState &shown) = 0;
    // The input and output picked and not yet sent (0: none).
    virtual void showPicked(int input, int output) = 0;
    virtual void setNames(const Names &names) = 0;
    // The program ends: both windows go.
    virtual void closeWindows() = 0;
};
