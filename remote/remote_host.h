#pragma once

#include <QString>
#include <cstdint>

struct ControllerState;
class SerialPort;

// What the remote interface reads from the program and asks of it. The
// program's owner implements it; the interface reaches nothing else, so a
// client can only ever do what a panel click does.
class RemoteHost
{
public:
    virtual ~RemoteHost() = default;
    virtual const ControllerState &remoteState() const = 0;
    // The port in use, or the one the search tried last.
    virtual const SerialPort &remotePort() const = 0;
    // The caption the panel shows on output 1 to 4.
    virtual QString outputCaption(int output) const = 0;
    // Sends `x` once the frame in flight and those waiting before it have
    // gone out whole; false when the queue is full. Should the link be lost
    // or the port close or change first, `x` is dropped, never sent.
    virtual bool queueCommand(uint8_t x) = 0;
};
