#include "app/form1.h"

#include "app/texts.h"
#include "app/timers.h"
#include "link/serial_port.h"
#include "panel/form3.h"
#include "panel/label_placement.h"
#include "panel/output_layout.h"
#include "panel/route_selection.h"
#include "supervision/link_supervisor.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <cstdio>

namespace {
// The status window's design, in twips at 12 per pixel.
constexpr int ClientWidth = 5184 / 12;
constexpr int ClientHeight = 1440 / 12;
} // namespace

Form1::Form1(std::unique_ptr<SerialPort> port, QWidget *parent)
    : QWidget(parent)
    , m_port(std::move(port))
    , m_panel(std::make_unique<Form3>())
    , m_transmitter(*m_port, Timer2)
    , m_receiver(*m_port, m_state, *this)
{
    setWindowTitle(QString::fromLatin1(Texts::StatusTitle));
    setWindowIcon(QIcon(QStringLiteral(":/icon.ico")));
    setFixedSize(ClientWidth, ClientHeight);

    // Text1 lies below the visible client area; the port search writes the
    // number of the port it tried there.
    m_text1 = new QLineEdit(QStringLiteral("Text1"), this);
    m_text1->setGeometry(1530 / 12, 2190 / 12, 1630 / 12, 300 / 12);
    m_label1 = new QLabel(QStringLiteral("Label1"), this);
    m_label1->setGeometry(240 / 12, 450 / 12, 4605 / 12, 285 / 12);

    Timer1.setInterval(10);
    Timer1.setTimerType(Qt::PreciseTimer);
    Timer2.setInterval(300);
    Timer3.setInterval(1000);
    Timer4.setInterval(700);
    connect(&Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(&Timer2, &QTimer::timeout, this, [this] { m_transmitter.Timer2_Timer(); });
    connect(&Timer3, &QTimer::timeout, this, &Form1::Timer3_Timer);
    connect(&Timer4, &QTimer::timeout, this, &Form1::Timer4_Timer);

    m_supervisor = std::make_unique<LinkSupervisor>(m_state, *m_port,
        LinkSupervisor::Windows { *m_panel, *this, *m_text1, Timer3, Timer4 },
        [this] { return m_ending; });
    m_routeSelection = std::make_unique<RouteSelection>(
        m_state, *m_panel, Timer1, [this](uint8_t x) { m_transmitter.send(x); });
    m_panel->setRouteSelection(m_routeSelection.get());
    m_panel->setCloseHandler([this] { endProgram(); });
}

Form1::~Form1()
{
    m_ending = true;
    m_panel->setRouteSelection(nullptr);
    m_panel->setCloseHandler(nullptr);
}

void Form1::Form_Load()
{
    m_state.matrixModel = ControllerState::NotDetermined;
    m_state.setupPending = ControllerState::NotDetermined;
    enableTimer(Timer1);
    Timer2.stop();
    Timer3.stop();
    enableTimer(Timer4);
    m_label1->setText(QString::fromLatin1(Texts::WaitAtStart));
    for (const LabelPicturePair &pair : StartupLabelPlacement)
        CenterLabel(*m_panel, pair.label, pair.picture);
    openFirstPort();
}

void Form1::openFirstPort()
{
    m_port->setCommPort(1);
    m_port->setSettings(QString::fromLatin1(Texts::LineSettings));
    m_port->setDtrEnable(true);
    if (m_port->open())
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
    message += QStringLiteral(" Searching ports 1 to 15.");
    m_startupPortMessage = message;
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

void Form1::Timer3_Timer()
{
    if (!m_panel->isVisible())
        endProgram();
}

void Form1::Timer4_Timer()
{
    m_label1->setText(QString::fromLatin1(Texts::WaitFrames[m_waitDots]));
    ++m_waitDots;
    if (m_waitDots >= 4)
        m_waitDots = 0;
}

void Form1::endProgram()
{
    if (m_ending)
        return;
    m_ending = true;
    Timer1.stop();
    Timer2.stop();
    Timer3.stop();
    Timer4.stop();
    if (m_port->isOpen())
        m_port->close();
    m_panel->hide();
    hide();
    QCoreApplication::exit(0);
}

void Form1::closeEvent(QCloseEvent *event)
{
    event->accept();
    endProgram();
}

void Form1::bringUpPanel(int matrixModel)
{
    m_panel->setWindowTitle(
        QString::fromLatin1(matrixModel == 1 ? Texts::FourOutputTitle : Texts::TwoOutputTitle));
    if (matrixModel == 1)
        restoreFourOutputs(*m_panel);
    hide();
    m_panel->show();
    enableTimer(Timer3);
    Timer4.stop();
}

void Form1::reduceToTwoOutputs()
{
    ::reduceToTwoOutputs(*m_panel);
}

void Form1::stopMainTick()
{
    Timer1.stop();
}
