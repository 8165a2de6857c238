#include "supervision/link_supervisor.h"

#include "core/controller_state.h"
#include "core/texts.h"
#include "link/port_table.h"
#include "link/serial_port.h"
#include "panel/form3.h"

#include <QLoggingCategory>
#include <QMap>
#include <algorithm>

Q_LOGGING_CATEGORY(lcSearch, "matrix.search", QtWarningMsg)

namespace {

// "1-4, 6, 9-15"
QString portRanges(QList<int> ports)
{
    std::sort(ports.begin(), ports.end());
    QStringList ranges;
    for (int i = 0; i < ports.size();) {
        int j = i;
        while (j + 1 < ports.size() && ports[j + 1] == ports[j] + 1)
            ++j;
        ranges << (i == j ? QString::number(ports[i])
                          : QStringLiteral("%1-%2").arg(ports[i]).arg(ports[j]));
        i = j + 1;
    }
    return ranges.join(QStringLiteral(", "));
}

// One line for a whole round of ports that would not open, by reason.
void logFruitlessRound(const QMap<QString, QList<int>> &failures)
{
    QStringList reasons;
    for (auto it = failures.begin(); it != failures.end(); ++it)
        reasons << QStringLiteral("%1 (%2)").arg(it.key(), portRanges(it.value()));
    qCDebug(lcSearch).noquote() << "no port opens:" << reasons.join(QStringLiteral("; "));
}

} // namespace

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
    QMap<QString, QList<int>> failures; // of the round so far, by reason
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
        m_port.open();
        m_host.showPortTried(m_port.commPort());
        if (m_port.isOpen()) {
            qCDebug(lcSearch).noquote() << "port" << m_port.commPort() << m_port.deviceName()
                                        << "open, waiting for status frames";
            return;
        }
        failures[m_port.errorString()].append(m_port.commPort());

        // A full round without a port: give the CPU back for a moment rather
        // than spin until an adapter is plugged in.
        const bool roundOver = ++failedAttempts % PortTable::LastPort == 0;
        if (roundOver) {
            logFruitlessRound(failures);
            failures.clear();
        }
        m_host.letEventsRun(roundOver ? RoundPauseMs : 0);
        if (m_host.ending())
            return;
    }
}
