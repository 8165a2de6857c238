// The baseline for the start-up, memory and CPU figures: what the smallest Qt
// widget program with a 10 ms timer costs on this machine.
#include <QApplication>
#include <QLoggingCategory>
#include <QTimer>
#include <QWidget>

// Same category and same gate as the panel, so one rule times both alike.
Q_LOGGING_CATEGORY(lcStartup, "matrix.startup", QtWarningMsg)

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("empty-window"));

    QWidget window;
    window.setWindowTitle(QStringLiteral("empty-window"));
    window.resize(432, 120);

    // The panel's main tick is a precise 10 ms timer; the baseline pays the
    // same wake-ups.
    QTimer tick;
    tick.setInterval(10);
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, &window, [] {});
    tick.start();

    window.show();
    qCDebug(lcStartup) << "status window shown";
    return QApplication::exec();
}
