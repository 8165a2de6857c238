#include "app/controller.h"
#include "app/form1.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"

#include <QApplication>
#include <QLoggingCategory>
#include <cstdio>

Q_LOGGING_CATEGORY(lcStartup, "matrix.startup", QtWarningMsg)

int main(int argc, char *argv[])
{
    // A bad port table is a setup mistake: say so before any window appears.
    QString error;
    std::optional<PortTable> table = PortTable::fromEnvironment(&error);
    if (!table) {
        std::fprintf(stderr, "matrix-panel: %s\n", qPrintable(error));
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("matrix-panel"));

    Controller controller(std::make_unique<QtSerialPort>(std::move(*table)));
    controller.Form_Load();
    controller.statusWindow().show();
    // Read by the benchmark script to time the start-up.
    qCDebug(lcStartup) << "status window shown";
    return QApplication::exec();
}
