#pragma once

#include <memory>
#include <string>

// A pseudo-terminal on which this process plays the device at one end of a
// serial line: it reads and writes the master, and the program it talks to
// opens the far end (farPath()) as its serial port. Linux only.
class PseudoTerminal
{
public:
    enum Flag {
        NonBlocking = 1,
        // The far end is opened here too, raw, and held until the end: while
        // it is open the master never sees a hang-up when the program closes
        // its port, and the line discipline echoes nothing back.
        HoldFarEnd = 2,
    };

    // Opens one with `flags` (Flag values or'ed together). Returns nullptr,
    // with why in *error when given, if it cannot.
    static std::unique_ptr<PseudoTerminal> open(int flags, std::string *error = nullptr);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    int master() const { return m_master; }
    // -1 without HoldFarEnd.
    int farEnd() const { return m_farEnd; }
    const std::string &farPath() const { return m_farPath; }

    // No echo, no line editing: every byte passes as it comes.
    static bool makeRaw(int fd);

private:
    PseudoTerminal() = default;

    int m_master = -1;
    int m_farEnd = -1;
    std::string m_farPath;
};
