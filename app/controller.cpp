#include "app/controller.h"

#include "app/form1.h"
#include "core/texts.h"
#include "core/timers.h"
#include "link/port_table.h"
#include "link/serial_port.h"
#include "panel/form3.h"
#include "panel/label_placement.h"
#include "panel/output_layout.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <cstdio>

Q_LOGGING_CATEGORY(lcLink, "matrix.link", QtWarningMsg)
Q_DECLARE_LOGGING_CATEGORY(lcNames)

Controller::Controller(std::unique_ptr<SerialPort> port, QObject *parent)
    : QObject(parent)
    , m_port(std::move(port))
    , m_panel(std::make_unique<Form3>())
    , m_form1(std::make_unique<Form1>())
    , m_transmitter(*m_port, m_pacing)
    , m_receiver(*m_port, m_state, *this)
    , m_supervisor(m_state, *m_port, *m_panel, *this)
    , m_routeSelection(m_state, *m_panel, *this)
    , m_pump([this](int waitMs) { runEventLoop(waitMs); })
{
    m_timer1.setInterval(Timer1IntervalMs);
    m_timer1.setTimerType(Qt::PreciseTimer);
    m_timer2.setInterval(300);
    m_timer3.setInterval(1000);
    m_timer4.setInterval(700);
    connect(&m_timer1, &QTimer::timeout, this, &Controller::Timer1_Timer);
    connect(&m_timer2, &QTimer::timeout, this, &Controller::Timer2_Timer);
    connect(&m_timer3, &QTimer::timeout, this, &Controller::Timer3_Timer);
    connect(&m_timer4, &QTimer::timeout, this, &Controller::Timer4_Timer);

    m_panel->setRouteSelection(&m_routeSelection);
    m_names = m_nameStore.load();
    m_panel->setRouteNames(m_names.inputs, m_names.outputs);
    connect(m_panel.get(), &Form3::closeRequested, this, &Controller::endProgram);
    connect(m_form1.get(), &Form1::closeRequested, this, &Controller::endProgram);
}

Controller::~Controller()
{
    m_ending = true;
    m_panel->setRouteSelection(nullptr);
}

void Controller::Form_Load()
{
    m_state.matrixModel = ControllerState::NotDetermined;
    m_state.setupPending = ControllerState::NotDetermined;
    enableTimer(m_timer1);
    m_timer2.stop();
    m_timer3.stop();
    enableTimer(m_timer4);
    m_form1->label1().setText(QString::fromLatin1(Texts::WaitAtStart));
    for (const LabelPicturePair &pair : StartupLabelPlacement)
        CenterLabel(*m_panel, pair.label, pair.picture);
    openFirstPort();
}

void Controller::openFirstPort()
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

void Controller::Timer3_Timer()
{
    if (!m_headless && !m_panel->isVisible())
        endProgram();
}

void Controller::Timer4_Timer()
{
    m_form1->label1().setText(QString::fromLatin1(Texts::WaitFrames[m_waitDots]));
    ++m_waitDots;
    if (m_waitDots >= 4)
        m_waitDots = 0;
}

void Controller::endProgram()
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
    m_panel->hide();
    m_form1->hide();
    QCoreApplication::exit(0);
}

void Controller::bringUpPanel(int matrixModel)
{
    qCDebug(lcLink).noquote() << "link up: switcher" << (matrixModel == 1 ? "4x4" : "4x2")
                              << "on port" << m_port->commPort() << m_port->deviceName();
    m_panel->setWindowTitle(
        QString::fromLatin1(matrixModel == 1 ? Texts::FourOutputTitle : Texts::TwoOutputTitle));
    if (matrixModel == 1)
        restoreFourOutputs(*m_panel);
    m_form1->hide();
    if (!m_headless)
        m_panel->show();
    enableTimer(m_timer3);
    m_timer4.stop();
}

void Controller::reduceToTwoOutputs()
{
    ::reduceToTwoOutputs(*m_panel);
}

void Controller::stopMainTick()
{
    m_timer1.stop();
}

void Controller::setMainTickEnabled(bool enabled)
{
    if (enabled)
        enableTimer(m_timer1);
    else
        m_timer1.stop();
}

void Controller::showStatusWindow()
{
    if (!m_headless && !m_form1->isVisible())
        m_form1->show();
    m_timer3.stop();
    enableTimer(m_timer4);
}

void Controller::showPortTried(int number)
{
    m_form1->text1().setText(QString::number(number));
    describePortTried();
}

void Controller::describePortTried()
{
    // Why the switcher is not found, for whoever points at the waiting text.
    const QString device = m_port->deviceName();
    m_form1->label1().setToolTip(
        QStringLiteral("port %1, %2: %3")
            .arg(m_port->commPort())
            .arg(device.isEmpty() ? QStringLiteral("no device") : device,
                m_port->isOpen() ? QStringLiteral("open, no valid status frame yet")
                                 : m_port->errorString()));
}

bool Controller::setNames(const std::vector<NameChange> &changes, QString *error)
{
    Names next = m_names;
    for (const NameChange &change : changes) {
        if (change.index < 0 || change.index >= 4) {
            *error = QStringLiteral("no such %1").arg(change.output ? "output" : "input");
            return false;
        }
        if (const std::optional<QString> problem = nameProblem(change.name)) {
            *error = *problem;
            return false;
        }
        (change.output ? next.outputs : next.inputs)[change.index] = change.name;
    }
    if (next == m_names)
        return true;
    m_names = next;
    m_panel->setRouteNames(m_names.inputs, m_names.outputs);
    QString failure;
    // The names hold for this run all the same.
    if (!m_nameStore.save(m_names, &failure))
        qCWarning(lcNames).noquote() << failure;
    return true;
}

bool Controller::queueCommands(const std::vector<uint8_t> &commands)
{
    // The first of them may start at once when the line is idle; all the
    // others wait in the queue.
    const int room = CommandTransmitter::QueueLimit - m_transmitter.queued()
        + (m_transmitter.sendStep() == 0 ? 1 : 0);
    if (int(commands.size()) > room)
        return false;
    for (const uint8_t x : commands)
        m_transmitter.queue(x);
    return true;
}

QString Controller::serialDevice() const
{
    return m_port->deviceName();
}

void Controller::letEventsRun(int waitMs)
{
    m_pump(waitMs);
}

void Controller::runEventLoop(int waitMs)
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
