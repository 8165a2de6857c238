#include "link/command_transmitter.h"

#include "core/command_frame.h"
#include "link/serial_port.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcSend, "matrix.send", QtWarningMsg)

CommandTransmitter::CommandTransmitter(SerialPort &port, PacingTimer &timer2)
    : m_port(port)
    , m_timer2(timer2)
{
}

bool CommandTransmitter::samePort() const
{
    return m_port.isOpen() && m_port.commPort() == m_framePort;
}

void CommandTransmitter::dropQueued(const char *why)
{
    if (m_queue.empty())
        return;
    QByteArray commands;
    for (const uint8_t x : m_queue)
        commands += char(x);
    qCWarning(lcSend).noquote() << "dropped" << m_queue.size() << "queued commands"
                                << commands.toHex(' ') << "(" << why << ")";
    const std::vector<uint8_t> dropped(m_queue.begin(), m_queue.end());
    m_queue.clear();
    if (m_dropped)
        m_dropped(dropped, why);
}

void CommandTransmitter::writeByte(uint8_t byte)
{
    // A failed write is dropped: the frame still runs its course, and the
    // switcher ignores a frame whose bytes do not check.
    if (m_port.write(QByteArray(1, char(byte))))
        m_frameBytes += char(byte);
    else
        m_frameBytes += "??";
}

void CommandTransmitter::pace()
{
    // The pause runs from the moment the byte has gone to the line, not on
    // the timer's own schedule: a byte that left late (a busy machine) must
    // not be followed by a shorter gap, which the switcher may miss.
    m_timer2.start(PacingMs);
}

void CommandTransmitter::logFrame(const char *how)
{
    if (!m_frameBytes.isEmpty())
        qCDebug(lcSend).noquote() << "frame" << m_frameBytes.toHex(' ') << how;
    m_frameBytes.clear();
}

void CommandTransmitter::send(uint8_t x)
{
    if (!m_port.isOpen())
        return;
    if (m_sendStep != 0 && m_sendStep != NextQueued)
        logFrame("(cut short by the next command)");
    m_sendStep = 1;
    m_framePort = m_port.commPort();
    writeByte(x);
    m_sendComplement = CommandFrame::complement(x);
    pace();
}

bool CommandTransmitter::queue(uint8_t x)
{
    if (m_sendStep == 0) {
        send(x);
        return true;
    }
    if (int(m_queue.size()) >= QueueLimit)
        return false;
    m_queue.push_back(x);
    return true;
}

void CommandTransmitter::Timer2_Timer()
{
    if (m_sendStep == 1) {
        m_sendStep = 2;
        if (samePort())
            writeByte(m_sendComplement);
        pace();
    } else if (m_sendStep == 2) {
        m_sendStep = 3;
        if (samePort())
            writeByte(CommandFrame::Trailer1);
        pace();
    } else if (m_sendStep == NextQueued) {
        if (m_queue.empty() || !samePort()) {
            dropQueued("the port has closed or changed");
            finish();
            return;
        }
        const uint8_t next = m_queue.front();
        m_queue.pop_front();
        m_sendStep = 0;
        send(next);
        if (m_sendStep == 0)
            finish(); // the port has closed: the command is dropped
    } else {
        if (samePort())
            writeByte(CommandFrame::Trailer2);
        logFrame("");
        finish();
    }
}

void CommandTransmitter::finish()
{
    if (!m_queue.empty() && !samePort())
        dropQueued("the port has closed or changed");
    if (!m_queue.empty()) {
        m_sendStep = NextQueued;
        pace();
        return;
    }
    m_sendStep = 0;
    m_timer2.stop();
}
