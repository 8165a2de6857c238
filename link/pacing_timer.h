#pragma once

#include <QTimer>

// The timer that paces the bytes of a command frame. The program paces on a
// QTimer; the tests on a clock of their own, so that they see when each byte
// goes out without waiting for it.
class PacingTimer
{
public:
    virtual ~PacingTimer() = default;
    // Runs until stopped, a tick every `ms`, the first `ms` from now even if
    // it was running already.
    virtual void start(int ms) = 0;
    virtual void stop() = 0;
};

// The controller's Timer2. The last tick of a frame leaves it disabled with
// an interval of 0.
class QtPacingTimer : public PacingTimer
{
public:
    explicit QtPacingTimer(QTimer &timer)
        : m_timer(timer)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
    }
    void start(int ms) override { m_timer.start(ms); }
    void stop() override
    {
        m_timer.setInterval(0);
        m_timer.stop();
    }

private:
    QTimer &m_timer;
};
