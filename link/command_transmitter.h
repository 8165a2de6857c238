#pragma once

#include <QTimer>
#include <cstdint>

class SerialPort;

// Sends one-byte commands to the switcher as four-byte frames: the command,
// its complement, 213, 123. The switcher wants the bytes paced 50 ms apart, so
// only the first goes out at once and the pacing timer writes the rest.
class CommandTransmitter
{
public:
    static constexpr int PacingMs = 50;

    // `timer2` is the pacing timer; its timeout must call Timer2_Timer().
    CommandTransmitter(SerialPort &port, QTimer &timer2);

    // Starts a frame for `x`. A frame still in flight is cut short: the newest
    // command wins and nothing queues. Does nothing while the port is closed.
    void send(uint8_t x);
    void Timer2_Timer();

    int sendStep() const { return m_sendStep; }

private:
    void writeByte(uint8_t byte);

    SerialPort &m_port;
    QTimer &m_timer2;
    int m_sendStep = 0;
    uint8_t m_sendComplement = 0;
};
