#include "session/switcher_session.h"

#include "core/texts.h"
#include "core/timers.h"
#include "link/port_table.h"
#include "link/serial_port.h"
#include "session/session_view.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <cstdio>

Q_LOGGING_CATEGORY(lcLink, "matrix.link", QtWarningMsg)

SwitcherSession::SwitcherSession(std::unique_ptr<SerialPort> port, QObject *parent)
    : QObject(parent)
    , m_port(std::move(port))
    , m_transmitter(*m_port, m_pacing)
    , m_receiver(*m_port, m_state, *this)
    , m_supervisor(m_state, *m_port, *this)
    , m_router(m_shown, *m_port, m_transmitter)
    , m_pump([this](int waitMs) { runEventLoop(waitMs); })
{
    m_timer1.setInterval(Timer1IntervalMs);
    m_timer1.setTimerType(Qt::PreciseTimer);
    m_timer2.setInterval(300);
    m_timer3.setInterval(1000);
    m_timer4.setInterval(700);
    connect(&m_timer1, &QTimer::timeout, this, &SwitcherSession::Timer1_Timer);
    connect(&m_timer2, &QTimer::timeout, this, &SwitcherSession::Timer2_Timer);
    connect(&m_timer3, &QTimer::timeout, this, &SwitcherSession::Timer3_Timer);
    connect(&m_timer4, &QTimer::timeout, this, &SwitcherSession::Timer4_Timer);

    m_transmitter.setDropHandler([this](const std::vector<uint8_t> &commands, const char *why) {
        m_router.commandsDropped(commands, why);
    });
    m_router.onNames([this](const Names &names) {
        if (m_view)
            m_view->setNames(names);
    });
    m_router.load();
}

SwitcherSession::~SwitcherSession()
{
    m_ending = true;
}

void SwitcherSession::setView(SessionView *view)
{
    m_view = view;
    if (m_view)
        m_view->setNames(m_router.names());
}

void SwitcherSession::Form_Load()
{
    m_state.matrixModel = ControllerState::NotDetermined;
    m_state.setupPending = ControllerState::NotDetermined;
    enableTimer(m_timer1);
    m_timer2.stop();
    m_timer3.stop();
    enableTimer(m_timer4);
    if (m_view)
        m_view->load(QString::fromLatin1(Texts::WaitAtStart));
    openFirstPort();
}

void SwitcherSession::openFirstPort()
{
    m_port->setCommPort(1);
    m_port->setSettings(QString::fromLatin1(Texts::LineSettings));
    m_port->setDtrEnable(true);
    const bool opened = m_port->open();
    describePortTried();
    if (opened)
        return;
    // The switcher may well sit on another port: say why port 1 failed and
    // carry on, the port search will try the others.
    const QString device = m_port->deviceName();
    QString message
        = QStringLiteral("matrix-panel: cannot open serial port 1 (%1): %2.")
              .arg(device.isEmpty() ? QStringLiteral("no device") : device, m_port->errorString());
    if (m_port->lastErrorWasPermission())
        message += QStringLiteral(" You need to be in the 'dialout' group to use serial ports"
                                  " (sudo adduser $USER dialout, then log in again).");
    const QList<int> ports = m_port->portNumbers();
    if (ports.isEmpty())
        message += QStringLiteral(" No port has a device to search.");
    else
        message += QStringLiteral(" Searching %1 %2.")
                       .arg(ports.size() == 1 ? "port" : "ports", PortTable::ranges(ports));
    m_startupPortMessage = message;
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

void SwitcherSession::Timer3_Timer()
{
    // Without windows there is no panel whose closing ends the program.
    if (m_view && !m_view->panelVisible())
        endProgram();
}

void SwitcherSession::Timer4_Timer()
{
    if (m_view)
        m_view->setWaitingText(QString::fromLatin1(Texts::WaitFrames[m_waitDots]));
    ++m_waitDots;
    if (m_waitDots >= 4)
        m_waitDots = 0;
}

void SwitcherSession::endProgram()
{
    if (m_ending)
        return;
    m_ending = true;
    m_timer1.stop();
    m_timer2.stop();
    m_timer3.stop();
    m_timer4.stop();
    if (m_port->isOpen())
        m_port->close();
    m_router.flush();
    if (m_view)
        m_view->closeWindows();
    QCoreApplication::exit(0);
}

void SwitcherSession::bringUpPanel(int matrixModel)
{
    qCDebug(lcLink).noquote() << "link up: switcher" << (matrixModel == 1 ? "4x4" : "4x2")
                              << "on port" << m_port->commPort() << m_port->deviceName();
    if (m_view)
        m_view->bringUpPanel(matrixModel,
            QString::fromLatin1(matrixModel == 1 ? Texts::FourOutputTitle : Texts::TwoOutputTitle));
    enableTimer(m_timer3);
    m_timer4.stop();
}

void SwitcherSession::reduceToTwoOutputs()
{
    if (m_view)
        m_view->reduceToTwoOutputs();
}

void SwitcherSession::stopMainTick()
{
    m_timer1.stop();
}

void SwitcherSession::setMainTickEnabled(bool enabled)
{
    if (enabled)
        enableTimer(m_timer1);
    else
        m_timer1.stop();
}

void SwitcherSession::setPanelTitle(const QString &title)
{
    if (m_view)
        m_view->setPanelTitle(title);
}

void SwitcherSession::hidePanel()
{
    if (m_view)
        m_view->hidePanel();
}

void SwitcherSession::showStatusWindow()
{
    if (m_view)
        m_view->showStatusWindow();
    m_timer3.stop();
    enableTimer(m_timer4);
}

void SwitcherSession::showPortTried(int number)
{
    if (m_view)
        m_view->showPortTried(number);
    describePortTried();
}

void SwitcherSession::describePortTried()
{
    if (!m_view)
        return;
    // Why the switcher is not found, for whoever points at the waiting text.
    const QString device = m_port->deviceName();
    m_view->describePort(
        QStringLiteral("port %1, %2: %3")
            .arg(m_port->commPort())
            .arg(device.isEmpty() ? QStringLiteral("no device") : device,
                m_port->isOpen() ? QStringLiteral("open, no valid status frame yet")
                                 : m_port->errorString()));
}

void SwitcherSession::letEventsRun(int waitMs)
{
    m_pump(waitMs);
}

void SwitcherSession::runEventLoop(int waitMs)
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
    connect(&wake, &QTimer::timeout, this, [&woken] { woken = true; });
    wake.start(waitMs);
    while (!woken && !m_ending)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}
