#include "link/command_transmitter.h"

#include "core/command_frame.h"
#include "link/serial_port.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcSend, "matrix.send", QtWarningMsg)

CommandTransmitter::CommandTransmitter(SerialPort &port, QTimer &timer2)
    : m_port(port)
    , m_timer2(timer2)
{
    m_timer2.setTimerType(Qt::PreciseTimer);
}

void CommandTransmitter::writeByte(uint8_t byte)
{
    // A failed write is dropped: the frame still runs its course, and the
    // switcher ignores a frame whose bytes do not check.
    const bool written = m_port.write(QByteArray(1, char(byte)));
    qCDebug(lcSend) << "tx" << byte << (written ? "" : "(failed)");
}

void CommandTransmitter::send(uint8_t x)
{
    if (!m_port.isOpen())
        return;
    m_sendStep = 1;
    writeByte(x);
    m_sendComplement = CommandFrame::complement(x);
    m_timer2.setInterval(PacingMs);
    m_timer2.start();
}

void CommandTransmitter::Timer2_Timer()
{
    if (m_sendStep == 1) {
        m_sendStep = 2;
        if (m_port.isOpen())
            writeByte(m_sendComplement);
    } else if (m_sendStep == 2) {
        m_sendStep = 3;
        if (m_port.isOpen())
            writeByte(CommandFrame::Trailer1);
    } else {
        if (m_port.isOpen())
            writeByte(CommandFrame::Trailer2);
        m_sendStep = 0;
        m_timer2.setInterval(0);
        m_timer2.stop();
    }
}
