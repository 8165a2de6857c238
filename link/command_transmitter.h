#pragma once

#include "link/pacing_timer.h"

#include <QByteArray>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

class SerialPort;

// Sends one-byte commands to the switcher as four-byte frames: the command,
// its complement, 213, 123. The switcher wants the bytes paced 50 ms apart, so
// only the first goes out at once and the pacing timer writes the rest.
class CommandTransmitter
{
public:
    static constexpr int PacingMs = 50;
    // Commands that queue() holds while frames are in flight.
    static constexpr int QueueLimit = 8;

    // `timer2` is the pacing timer; its ticks must call Timer2_Timer().
    CommandTransmitter(SerialPort &port, PacingTimer &timer2);

    // Starts a frame for `x`. A frame still in flight is cut short: the newest
    // command wins. Does nothing while the port is closed.
    void send(uint8_t x);
    void Timer2_Timer();

    // Sends `x` once the frame in flight, and those queued before it, have
    // gone out whole, 50 ms after the last byte. Returns false, queueing
    // nothing, when QueueLimit commands already wait. The commands wait for
    // the link they were accepted on: should the port close or another
    // port open before their turn, they are dropped.
    bool queue(uint8_t x);
    // Drops, and logs, every command still waiting; the frame in flight
    // runs on.
    void dropQueued(const char *why);
    // Told of every command dropped from the queue, and why, so that whoever
    // accepted it can say so.
    using DropHandler = std::function<void(const std::vector<uint8_t> &commands, const char *why)>;
    void setDropHandler(DropHandler handler) { m_dropped = std::move(handler); }

    int sendStep() const { return m_sendStep; }
    int queued() const { return int(m_queue.size()); }
    // How many commands queue() takes now: the first starts at once when
    // the line is idle, the others wait in the queue.
    int room() const { return QueueLimit - queued() + (m_sendStep == 0 ? 1 : 0); }

private:
    // Between two queued frames: the pause before the next one starts.
    static constexpr int NextQueued = 4;

    // The port the frame in flight began on is still open. A frame is never
    // continued on another port: its last bytes would be the first a
    // different device hears.
    bool samePort() const;
    void writeByte(uint8_t byte);
    void pace();
    void finish();
    void logFrame(const char *how);

    SerialPort &m_port;
    PacingTimer &m_timer2;
    int m_sendStep = 0;
    uint8_t m_sendComplement = 0;
    int m_framePort = 0;
    std::deque<uint8_t> m_queue;
    DropHandler m_dropped;
    QByteArray m_frameBytes; // what the frame in flight has written, for the log
};
