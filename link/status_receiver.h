#pragma once

#include <QByteArray>
#include <optional>

struct ControllerState;
class SerialPort;

// Takes status frames out of the receive buffer, tells the two switcher
// models apart and hands accepted frames to the decoder. It reaches the
// windows and timers only through its host, so it runs without a screen.
class StatusReceiver
{
public:
    class Host
    {
    public:
        virtual ~Host() = default;
        // The model is settled: title the panel for it and show it in place of
        // the status window; the watchdog starts, the waiting animation stops.
        virtual void bringUpPanel(int matrixModel) = 0;
        // The two-output switcher is connected: hide outputs C and D.
        virtual void reduceToTwoOutputs() = 0;
        // A frame asked for the main tick to stop.
        virtual void stopMainTick() = 0;
    };

    // Frames of one kind in a row that settle the model.
    static constexpr int FramesToSettle = 3;
    // The runs only need comparing with 3 and with each other; they grow by
    // one per link loss with the same switcher, so they stop here.
    static constexpr int MaxFrameRun = 1000000;

    StatusReceiver(SerialPort &port, ControllerState &state, Host &host);

    void ReadStatusFrame();

    // Received bytes not yet taken as a frame: those waiting in the port and
    // the start of a frame kept from the last read. Nothing when the port
    // cannot say.
    std::optional<int> bytesWaiting();
    // Throws away everything received and not yet taken.
    void discardWaiting();

    int aFrameRun() const { return m_aFrameRun; }
    int bFrameRun() const { return m_bFrameRun; }
    // The last frame accepted.
    const QByteArray &frameText() const { return m_frameText; }

private:
    void accept(const QByteArray &frame);

    SerialPort &m_port;
    ControllerState &m_state;
    Host &m_host;
    QByteArray m_frameText;
    // The start of a frame still arriving, kept for the next read, and the
    // port it came from: a frame does not go on on another port.
    QByteArray m_kept;
    int m_keptFrom = 0;
    int m_aFrameRun = 0;
    int m_bFrameRun = 0;
};
