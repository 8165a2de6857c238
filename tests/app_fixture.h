#pragma once

#include "app/controller.h"
#include "app/form1.h"
#include "core/status_frame.h"
#include "fake_serial_port.h"
#include "panel/form3.h"

#include <array>
#include <gtest/gtest.h>

// A status window on a fake port, loaded as at start-up.
class AppFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        auto owned = std::make_unique<FakeSerialPort>();
        port = owned.get();
        configurePort(*port);
        app = std::make_unique<Controller>(std::move(owned));
        app->Form_Load();
    }
    virtual void configurePort(FakeSerialPort &) { }

    static QByteArray frame(StatusFrame::Kind kind = StatusFrame::Kind::FourOutput,
        uint8_t flags = 0xFF, uint8_t power = 1, uint8_t byte2 = 0,
        std::array<uint8_t, 4> sources = { 1, 2, 4, 8 })
    {
        return statusFrame(kind, flags, power, byte2, sources);
    }

    // Runs main ticks; a fresh status frame arrives every `frameEvery` ticks
    // (0: none), so the link stays up as long as the test wants.
    void tick(int count, int frameEvery = 0, const QByteArray &f = frame())
    {
        for (int i = 0; i < count; ++i) {
            if (frameEvery > 0 && ++m_sinceFrame >= frameEvery) {
                m_sinceFrame = 0;
                port->inject(f);
            }
            app->Timer1_Timer();
        }
    }

    // Three frames of one kind: the panel comes up.
    void bringUp(StatusFrame::Kind kind = StatusFrame::Kind::FourOutput)
    {
        for (int i = 0; i < 3; ++i) {
            port->inject(frame(kind));
            app->Timer1_Timer();
        }
        ASSERT_TRUE(app->state().linkUp());
    }

    // Drains the frame in flight through the pacing timer.
    void finishFrame()
    {
        for (int i = 0; i < 3 && app->Timer2().isActive(); ++i)
            app->Timer2_Timer();
    }

    ControllerState &state() { return app->state(); }
    Form3 &panel() { return app->panel(); }

    FakeSerialPort *port = nullptr;
    std::unique_ptr<Controller> app;
    int m_sinceFrame = 0;
};
