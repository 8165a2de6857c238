#pragma once

#include <QList>
#include <QMap>
#include <QString>

class SerialPort;
struct ControllerState;

// Runs twice a second from the main tick. With the link up it keeps the
// panel's title in line with the switcher's model and power. With the link
// down it puts the status window up and moves the port on to the next number
// that opens, trying 1 to 15 in turn until one does.
class LinkSupervisor
{
public:
    class Host
    {
    public:
        virtual ~Host() = default;
        // The panel's title; the panel is hidden, if it is shown.
        virtual void setPanelTitle(const QString &title) = 0;
        virtual void hidePanel() = 0;
        // The status window is shown (if it is not already), the panel
        // watchdog stops and the waiting animation runs on without a restart.
        virtual void showStatusWindow() = 0;
        // The number of the port just tried, for the status window.
        virtual void showPortTried(int number) = 0;
        // Lets pending events run; with waitMs > 0, waits that long for them
        // or until the program ends.
        virtual void letEventsRun(int waitMs) = 0;
        // True once the program is ending: the search stops at once.
        virtual bool ending() const = 0;
    };

    // After a whole round of ports that would not open, the search waits this
    // long for events before the next round instead of spinning.
    static constexpr int RoundPauseMs = 100;
    // The log's summary of a fruitless round is repeated, unchanged, at most
    // this often; counted in round pauses, which the search waits at least.
    static constexpr int SummaryRepeatMs = 60000;

    LinkSupervisor(ControllerState &state, SerialPort &port, Host &host);

    void SuperviseLink();

private:
    void titleForModelAndPower();
    void searchForSwitcher();
    void logFruitlessRound(const QMap<QString, QList<int>> &failures);

    ControllerState &m_state;
    SerialPort &m_port;
    Host &m_host;
    QString m_lastSummary;
    int m_sinceSummaryMs = 0;
};
