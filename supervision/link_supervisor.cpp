#include "supervision/link_supervisor.h"

#include "app/controller_state.h"
#include "app/texts.h"
#include "app/timers.h"
#include "link/port_table.h"
#include "link/serial_port.h"
#include "panel/form3.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcSearch, "matrix.search", QtWarningMsg)

LinkSupervisor::LinkSupervisor(
    ControllerState &state, SerialPort &port, Windows windows, Ending ending)
    : m_state(state)
    , m_port(port)
    , m_windows(windows)
    , m_ending(std::move(ending))
    , m_pump([this](int waitMs) { letEventsRun(waitMs); })
{
}

void LinkSupervisor::letEventsRun(int waitMs)
{
    if (waitMs <= 0) {
        QCoreApplication::processEvents();
        return;
    }
    // Sleeps in the event dispatcher, serving whatever arrives (ticks,
    // pointer events, a close request), until the time is up or the program
    // ends. A precise timer: a coarse one may fire early and leave nothing
    // to wake the wait once the program's own timers have stopped.
    bool woken = false;
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    QObject::connect(&wake, &QTimer::timeout, [&woken] { woken = true; });
    wake.start(waitMs);
    while (!woken && !m_ending())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void LinkSupervisor::SuperviseLink()
{
    if (m_state.linkUp())
        titleForModelAndPower();
    else
        searchForSwitcher();
}

void LinkSupervisor::titleForModelAndPower()
{
    const char *title = nullptr;
    if (m_state.matrixModel == 1)
        title = Texts::FourOutputTitle;
    else if (m_state.matrixModel == 2)
        title = Texts::TwoOutputTitle;
    if (!title)
        return;
    QString text = QString::fromLatin1(title);
    if (!(m_state.powerState != 0 && m_state.linkUp()))
        text += QLatin1String(Texts::StandbySuffix);
    m_windows.panel.setWindowTitle(text);
}

void LinkSupervisor::searchForSwitcher()
{
    m_state.matrixModel = ControllerState::NotDetermined;
    m_state.setupPending = ControllerState::NotDetermined;

    int failedAttempts = 0;
    for (;;) {
        m_pump(0);
        if (m_ending())
            return;
        m_windows.panel.setWindowTitle(QString::fromLatin1(Texts::Disconnected));
        if (m_windows.panel.isVisible())
            m_windows.panel.hide();
        if (!m_windows.statusWindow.isVisible())
            m_windows.statusWindow.show();
        m_windows.timer3.stop();
        enableTimer(m_windows.timer4);

        if (m_port.isOpen())
            m_port.close();
        int next = m_port.commPort() + 1;
        if (next > PortTable::LastPort)
            next = PortTable::FirstPort;
        m_port.setCommPort(next);
        const bool opened = m_port.open();
        m_windows.text1.setText(QString::number(m_port.commPort()));
        qCDebug(lcSearch) << "port" << m_port.commPort() << m_port.deviceName()
                          << (opened ? "open" : qPrintable(m_port.errorString()));
        if (m_port.isOpen())
            return;

        // A full round without a port: give the CPU back for a moment rather
        // than spin until an adapter is plugged in.
        ++failedAttempts;
        m_pump(failedAttempts % PortTable::LastPort == 0 ? RoundPauseMs : 0);
        if (m_ending())
            return;
    }
}
