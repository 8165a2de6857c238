#pragma once

#include "sim/line.h"
#include "sim/switcher.h"

#include <random>
#include <string>

// The control lines typed on stdin: what they do to the switcher, to its
// status frames and to the line.
class ControlLines
{
public:
    static const char Help[];

    ControlLines(Switcher &switcher, SwitcherLine &line, const Options &options)
        : m_switcher(switcher)
        , m_line(line)
        , m_options(options)
        , m_random(std::random_device {}())
    {
    }

    void handle(const std::string &rawLine);
    bool paused() const { return m_paused; }
    bool quitRequested() const { return m_quit; }

private:
    void printStatus();

    Switcher &m_switcher;
    SwitcherLine &m_line;
    const Options &m_options;
    std::mt19937 m_random;
    bool m_paused = false;
    bool m_quit = false;
};

bool parseModel(const std::string &text, Switcher::Model &model);
bool parseInt(const std::string &text, int low, int high, int &value);
const char *modelName(Switcher::Model model);
