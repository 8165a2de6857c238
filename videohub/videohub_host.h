#pragma once

#include "core/names.h"
#include "core/output_locks.h"
#include "core/shown_state.h"

#include <QString>
#include <cstdint>
#include <vector>

// What the router-protocol server reads from the program and asks of it.
// The program's owner implements it; the server reaches nothing else.
class VideohubHost
{
public:
    virtual ~VideohubHost() = default;
    virtual const ShownState &shownState() const = 0;
    virtual const Names &names() const = 0;
    // Sets the names, all or none; false with *error when one is not valid.
    virtual bool setNames(const std::vector<NameChange> &changes, QString *error) = 0;
    virtual OutputLocks &outputLocks() = 0;
    // Queues all of `commands` behind the frames in flight, or none when
    // the queue cannot take them all.
    virtual bool queueCommands(const std::vector<uint8_t> &commands) = 0;
    // The serial device the switcher is on, or the one tried last.
    virtual QString serialDevice() const = 0;
};
