#include "supervision/link_supervisor.h"

#include "core/controller_state.h"
#include "core/texts.h"
#include "link/port_table.h"
#include "link/serial_port.h"
#include "panel/form3.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcSearch, "matrix.search", QtWarningMsg)

LinkSupervisor::LinkSupervisor(ControllerState &state, SerialPort &port, Form3 &panel, Host &host)
    : m_state(state)
    , m_port(port)
    , m_panel(panel)
    , m_host(host)
{
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
    m_panel.setWindowTitle(text);
}

void LinkSupervisor::searchForSwitcher()
{
    m_state.matrixModel = ControllerState::NotDetermined;
    m_state.setupPending = ControllerState::NotDetermined;

    int failedAttempts = 0;
    for (;;) {
        m_host.letEventsRun(0);
        if (m_host.ending())
            return;
        m_panel.setWindowTitle(QString::fromLatin1(Texts::Disconnected));
        if (m_panel.isVisible())
            m_panel.hide();
        m_host.showStatusWindow();

        if (m_port.isOpen())
            m_port.close();
        int next = m_port.commPort() + 1;
        if (next > PortTable::LastPort)
            next = PortTable::FirstPort;
        m_port.setCommPort(next);
        const bool opened = m_port.open();
        m_host.showPortTried(m_port.commPort());
        qCDebug(lcSearch) << "port" << m_port.commPort() << m_port.deviceName()
                          << (opened ? "open" : qPrintable(m_port.errorString()));
        if (m_port.isOpen())
            return;

        // A full round without a port: give the CPU back for a moment rather
        // than spin until an adapter is plugged in.
        ++failedAttempts;
        m_host.letEventsRun(failedAttempts % PortTable::LastPort == 0 ? RoundPauseMs : 0);
        if (m_host.ending())
            return;
    }
}
