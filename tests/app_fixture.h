#pragma once

#include "app/controller.h"
#include "panel/form1.h"
#include "fake_serial_port.h"
#include "panel/form3.h"

#include <gtest/gtest.h>

// A status window on a fake port, loaded as at start-up.
class AppFixture : public ::testing::Test
{
protected:
    void SetUp() override { load({ 1 }); }

    // The program afresh, with only the `existing` ports there.
    void load(std::set<int> existing, bool permission = false)
    {
        app.reset();
        auto owned = std::make_unique<FakeSerialPort>();
        port = owned.get();
        port->existing = std::move(existing);
        port->permission = permission;
        app = std::make_unique<Controller>(std::move(owned));
        app->Form_Load();
    }

    // Runs main ticks; a fresh status frame arrives every `frameEvery` ticks
    // (0: none), so the link stays up as long as the test wants.
    void tick(int count, int frameEvery = 0, const QByteArray &f = statusFrame())
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
    void bringUp(const QByteArray &f = statusFrame())
    {
        tick(3, 1, f);
        ASSERT_TRUE(app->state().linkUp());
    }

    // A press and a release on a picture, as the panel's pointer handlers get them.
    void click(int picture)
    {
        panel().Picture1_MouseDown(picture, Form3::LeftButton, 0, 100, 100);
        panel().Picture1_MouseUp(picture, Form3::LeftButton, 0, 100, 100);
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
