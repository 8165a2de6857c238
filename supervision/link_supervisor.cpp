#include "supervision/link_supervisor.h"

#include "core/controller_state.h"
#include "core/texts.h"
#include "link/port_table.h"
#include "link/serial_port.h"

#include <QLoggingCategory>
#include <QMap>

Q_LOGGING_CATEGORY(lcSearch, "matrix.search", QtWarningMsg)

void LinkSupervisor::logFruitlessRound(const QMap<QString, QList<int>> &failures)
{
    // One line for a whole round of ports that would not open, by reason;
    // the same line again only once a minute, not ten times a second.
    if (!lcSearch().isDebugEnabled())
        return;
    QStringList reasons;
    for (auto it = failures.begin(); it != failures.end(); ++it)
        reasons << QStringLiteral("%1 (%2)").arg(it.key(), PortTable::ranges(it.value()));
    const QString summary = reasons.join(QStringLiteral("; "));
    if (summary == m_lastSummary && m_sinceSummaryMs < SummaryRepeatMs)
        return;
    qCDebug(lcSearch).noquote() << "no port opens:" << summary;
    m_lastSummary = summary;
    m_sinceSummaryMs = 0;
}

LinkSupervisor::LinkSupervisor(ControllerState &state, SerialPort &port, Host &host)
    : m_state(state)
    , m_port(port)
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
    m_host.setPanelTitle(text);
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
        m_host.setPanelTitle(QString::fromLatin1(Texts::Disconnected));
        m_host.hidePanel();
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
            // A search that comes back after this one says at once what it finds.
            m_lastSummary.clear();
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
        if (roundOver)
            m_sinceSummaryMs = qMin(m_sinceSummaryMs + RoundPauseMs, SummaryRepeatMs);
        if (m_host.ending())
            return;
    }
}
