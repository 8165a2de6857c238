#include "sim/control.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace {

constexpr int MaxGarbageBytes = 4096;

} // namespace

const char ControlLines::Help[] = R"(control lines on stdin (case-insensitive):
  power on | power off   leave or enter standby
  pause | resume         stop or restart the status frames
  model 4x4 | model 4x2  change the switcher model
  route I O              route input I (1-4) to output O (1-4 or A-D)
  stop-tick              next frame asks the panel to stop its main tick
  bad-checksum           next frame carries a wrong checksum
  garbage N              send N random bytes (1-4096)
  status                 print the state on stderr
  quit                   exit (so does end of input, SIGINT, SIGTERM)
  help                   list the control lines
)";

bool parseModel(const std::string &text, Switcher::Model &model)
{
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char c) { return char(std::tolower(c)); });
    if (lower == "4x4") {
        model = Switcher::Model::FourOutput;
        return true;
    }
    if (lower == "4x2") {
        model = Switcher::Model::TwoOutput;
        return true;
    }
    return false;
}

bool parseInt(const std::string &text, int low, int high, int &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = int(parsed);
    return true;
}

const char *modelName(Switcher::Model model)
{
    return model == Switcher::Model::FourOutput ? "4x4" : "4x2";
}

void ControlLines::handle(const std::string &rawLine)
{
    std::string line;
    for (const char c : rawLine)
        line += char(std::tolower(static_cast<unsigned char>(c)));
    std::istringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;)
        words.push_back(word);
    if (words.empty())
        return;

    const std::string &verb = words[0];
    const size_t argCount = words.size() - 1;
    if (verb == "power" && argCount == 1 && (words[1] == "on" || words[1] == "off")) {
        m_switcher.setPowerOn(words[1] == "on");
        std::fprintf(stderr, "power %s\n", m_switcher.powerOn() ? "on" : "standby");
    } else if (verb == "pause" && argCount == 0) {
        m_paused = true;
        std::fprintf(stderr, "status frames paused\n");
    } else if (verb == "resume" && argCount == 0) {
        m_paused = false;
        std::fprintf(stderr, "status frames resumed\n");
    } else if (verb == "model" && argCount == 1) {
        Switcher::Model model;
        if (!parseModel(words[1], model)) {
            std::fprintf(stderr, "model must be 4x4 or 4x2\n");
            return;
        }
        m_switcher.setModel(model);
        std::fprintf(stderr, "model %s\n", modelName(model));
    } else if (verb == "route" && argCount == 2) {
        int input = 0;
        int output = 0;
        const std::string &outputWord = words[2];
        if (outputWord.size() == 1 && outputWord[0] >= 'a' && outputWord[0] <= 'd')
            output = outputWord[0] - 'a' + 1;
        else
            parseInt(outputWord, 1, Switcher::OutputCount, output);
        if (!parseInt(words[1], 1, Switcher::InputCount, input) || output == 0) {
            std::fprintf(stderr, "route needs an input 1-4 and an output 1-4 or A-D\n");
            return;
        }
        m_switcher.route(input, output);
        std::fprintf(
            stderr, "route: input %d -> output %c\n", input, Switcher::outputLetter(output));
    } else if (verb == "stop-tick" && argCount == 0) {
        m_switcher.requestStopTick();
    } else if (verb == "bad-checksum" && argCount == 0) {
        m_switcher.requestBadChecksum();
    } else if (verb == "garbage" && argCount == 1) {
        int count = 0;
        if (!parseInt(words[1], 1, MaxGarbageBytes, count)) {
            std::fprintf(stderr, "garbage needs a byte count, 1 to %d\n", MaxGarbageBytes);
            return;
        }
        QByteArray bytes(count, '\0');
        std::uniform_int_distribution<int> byteValue(0, 255);
        for (char &byte : bytes)
            byte = char(byteValue(m_random));
        if (m_line.send(bytes))
            std::fprintf(stderr, "tx %d garbage bytes\n", count);
    } else if (verb == "status" && argCount == 0) {
        printStatus();
    } else if (verb == "quit" && argCount == 0) {
        m_quit = true;
    } else if (verb == "help" && argCount == 0) {
        std::fputs(Help, stderr);
    } else {
        std::fprintf(stderr, "unknown control line '%s' (try help)\n", rawLine.c_str());
    }
}

void ControlLines::printStatus()
{
    const Switcher::Model model = m_switcher.model();
    std::fprintf(stderr, "serving %s, model %s, power %s, frames %s every %d ms\n",
        m_line.servedPath().c_str(), modelName(model), m_switcher.powerOn() ? "on" : "standby",
        m_paused ? "paused" : "streaming", m_options.periodMs);
    for (int output = 1; output <= Switcher::connectedOutputs(model); ++output)
        std::fprintf(stderr, "  output %c <- input %d\n", Switcher::outputLetter(output),
            m_switcher.routedInput(output));
}
