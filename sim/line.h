#pragma once

#include "sim/options.h"
#include "sim/pseudo_terminal.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <string>

// The serial line the simulated switcher talks on: a pseudo-terminal, with a
// symbolic link to it if asked, or an existing serial device, raw at 9600 8N1.
class SwitcherLine
{
public:
    explicit SwitcherLine(const Options &options)
        : m_options(options)
    {
    }
    // Removes the link, if it still points here, and closes the line.
    ~SwitcherLine();

    // Returns false after printing why on stderr.
    bool open() { return m_options.devicePath.empty() ? openPty() : openDevice(); }
    int fd() const { return m_lineFd; }
    const std::string &servedPath() const { return m_servedPath; }

    // Hands what has come to `received` (the bytes and their count), until
    // nothing more waits. Returns false when the line is gone for good.
    template <typename Received> bool read(Received received)
    {
        uint8_t buffer[512];
        for (;;) {
            const long count = readSome(buffer, sizeof buffer);
            if (count > 0)
                received(buffer, size_t(count));
            else
                return count == 0;
        }
    }
    bool send(const QByteArray &bytes);

private:
    bool openPty();
    bool openDevice();
    // A chunk read, 0 when nothing more waits, -1 when the line is gone.
    long readSome(uint8_t *buffer, size_t size);
    void dropStaleOutput();

    const Options &m_options;
    std::string m_servedPath;
    std::unique_ptr<PseudoTerminal> m_pty;
    int m_lineFd = -1;
    int m_slaveFd = -1;
    bool m_linkCreated = false;
    bool m_lineHungUp = false;
};
