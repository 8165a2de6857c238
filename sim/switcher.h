#pragma once

#include <QByteArray>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The simulated switcher: routing, power and model, the status frames it
// streams and the command frames it understands. No I/O happens here, so the
// loop in main.cpp decides when bytes move and this class decides what they
// mean.
class Switcher
{
public:
    enum class Model { FourOutput, TwoOutput };

    static constexpr int InputCount = 4;
    static constexpr int OutputCount = 4;

    struct Command
    {
        enum class Type { Route, Command16, Command40, Unknown };
        uint8_t code = 0;
        Type type = Type::Unknown;
        int input = 0; // 1-based, Route only
        int output = 0; // 1-based, Route only
    };

    explicit Switcher(Model model = Model::FourOutput);

    Model model() const { return m_model; }
    void setModel(Model model) { m_model = model; }
    static int connectedOutputs(Model model) { return model == Model::TwoOutput ? 2 : 4; }

    bool powerOn() const { return m_powerOn; }
    void setPowerOn(bool on) { m_powerOn = on; }

    // 1-based input routed to the 1-based output.
    int routedInput(int output) const;
    // Returns false and changes nothing when either number is out of range.
    bool route(int input, int output);

    // One-shot requests, each carried by one of the next frames only.
    void requestStopTick() { m_stopTickPending = true; }
    void requestBadChecksum() { m_badChecksumPending = true; }
    bool stopTickPending() const { return m_stopTickPending; }
    bool badChecksumPending() const { return m_badChecksumPending; }

    // The status frame for the current state, carrying at most one pending
    // one-shot request (the stop request first) and clearing it.
    QByteArray nextFrame();

    static Command decode(uint8_t code);

    // Feeds received bytes in and applies every complete command frame found,
    // in arrival order. Bytes that cannot start a command frame are dropped,
    // which is how the switcher resynchronises after line noise or a frame
    // cut short; the tail that might still grow into a frame is kept.
    std::vector<Command> receive(const uint8_t *data, size_t size);
    // Bytes dropped by receive() since the start.
    size_t discardedBytes() const { return m_discardedBytes; }

    static char outputLetter(int output) { return char('A' + output - 1); }

private:
    Model m_model;
    bool m_powerOn = true;
    // Output k starts on input k, as the device does after power-up.
    std::array<int, OutputCount> m_routing { 1, 2, 3, 4 };
    bool m_stopTickPending = false;
    bool m_badChecksumPending = false;
    std::vector<uint8_t> m_rxBuffer;
    size_t m_discardedBytes = 0;
};
