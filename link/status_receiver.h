#pragma once

#include <QByteArray>

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

    int aFrameRun() const { return m_aFrameRun; }
    int bFrameRun() const { return m_bFrameRun; }
    const QByteArray &frameText() const { return m_frameText; }

private:
    void discardWaiting();

    SerialPort &m_port;
    ControllerState &m_state;
    Host &m_host;
    QByteArray m_frameText;
    int m_aFrameRun = 0;
    int m_bFrameRun = 0;
};
