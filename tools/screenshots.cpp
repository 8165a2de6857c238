// Renders the program's windows offscreen into PNG files for the README:
// the status window, the four-output and two-output panels, and standby.
//   build/matrix-screenshots docs/screenshots
#include "app/controller.h"
#include "panel/form1.h"
#include "core/status_frame.h"
#include "fake_serial_port.h"
#include "panel/form3.h"
#include "supervision/link_supervisor.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <cstdio>

namespace {

QByteArray frame(StatusFrame::Kind kind, uint8_t flags, uint8_t power, const uint8_t (&sources)[4])
{
    const uint8_t body[11]
        = { 0, 0, 0, 0, sources[0], sources[1], sources[2], sources[3], flags, power, 0 };
    return StatusFrame::build(kind, body);
}

void run(Controller &form, FakeSerialPort &port, const QByteArray &f, int ticks)
{
    for (int i = 0; i < ticks; ++i) {
        port.inject(f);
        form.Timer1_Timer();
    }
    form.supervisor().SuperviseLink(); // the title with the power state
}

bool save(QWidget &window, const QString &path)
{
    QApplication::processEvents();
    const bool ok = window.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(dir);
    bool ok = true;

    {
        auto owned = std::make_unique<FakeSerialPort>();
        FakeSerialPort &port = *owned;
        Controller form(std::move(owned));
        form.Form_Load();
        form.statusWindow().show();
        form.Timer4_Timer();
        form.Timer4_Timer();
        form.Timer4_Timer();
        ok &= save(form.statusWindow(), dir + "/status-window.png");

        // Input 3 on output B, input 1 on A, input 4 on C and D; input 2 idle.
        const uint8_t sources[4] = { 1, 4, 8, 8 };
        run(form, port, frame(StatusFrame::Kind::FourOutput, 0xBF, 1, sources), 3);
        form.panel().Picture1_MouseDown(3, Form3::LeftButton, 0, 0, 0);
        form.panel().Picture1_MouseUp(3, Form3::LeftButton, 0, 0, 0);
        run(form, port, frame(StatusFrame::Kind::FourOutput, 0xBF, 1, sources), 1);
        ok &= save(form.panel(), dir + "/panel-4x4.png");

        run(form, port, frame(StatusFrame::Kind::FourOutput, 0xBF, 0, sources), 1);
        ok &= save(form.panel(), dir + "/panel-standby.png");
    }
    {
        auto owned = std::make_unique<FakeSerialPort>();
        FakeSerialPort &port = *owned;
        Controller form(std::move(owned));
        form.Form_Load();
        const uint8_t sources[4] = { 2, 4, 0, 0 };
        run(form, port, frame(StatusFrame::Kind::TwoOutput, 0x60, 1, sources), 4);
        ok &= save(form.panel(), dir + "/panel-4x2.png");
    }
    return ok ? 0 : 1;
}
