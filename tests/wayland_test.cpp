// The panel as a Wayland client (tests/wayland_session.sh runs it under a
// headless Weston) against the simulated switcher over a pseudo-terminal:
// it comes up and routes from the keys.
#include "app/controller.h"
#include "panel/form1.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "panel/form3.h"
#include "sim_process.h"

#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

TEST(Wayland, PanelComesUpAndRoutesFromTheKeys)
{
    if (!QGuiApplication::platformName().startsWith("wayland"))
        GTEST_SKIP() << "not on Wayland: run under tests/wayland_session.sh";
    QTemporaryDir dir;
    const QString link = dir.filePath("switcher");
    SimProcess sim;
    ASSERT_TRUE(sim.start(link, { "--verbose" }));
    QString error;
    Controller app(std::make_unique<QtSerialPort>(*PortTable::parse("1=" + link, &error)));
    app.Form_Load();
    app.statusWindow().show();
    Form3 &panel = app.panel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel.isVisible(); }, 8000));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel.label2Caption(1) == "Input 2"; }, 3000));

    QTest::keyClick(&panel, Qt::Key_3);
    QTest::keyClick(&panel, Qt::Key_B);
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel.label2Caption(1) == "Input 3"; }, 5000));

    app.endProgram();
}
