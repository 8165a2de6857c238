#pragma once

#include "core/names.h"
#include "core/shown_state.h"

#include <QString>
#include <cstdint>
#include <vector>

class SerialPort;

// What the remote interface reads from the program and asks of it. The
// program's owner implements it; the interface reaches nothing else, so a
// client can only ever do what a panel click does.
class RemoteHost
{
public:
    virtual ~RemoteHost() = default;
    // The port in use, or the one the search tried last.
    virtual const SerialPort &remotePort() const = 0;
    // What the panel shows, and the names of its inputs and outputs.
    virtual const ShownState &shownState() const = 0;
    virtual const Names &names() const = 0;
    // Sets the names, all or none; false with *error when one is not valid.
    virtual bool setNames(const std::vector<NameChange> &changes, QString *error) = 0;
    // True while a router-protocol client holds output 0 to 3 for itself.
    virtual bool outputLocked(int output) const = 0;
    // Sends `x` once the frame in flight and those waiting before it have
    // gone out whole; false when the queue is full. Should the link be lost
    // or the port close or change first, `x` is dropped, never sent.
    virtual bool queueCommand(uint8_t x) = 0;
};
