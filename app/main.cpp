#include "app/controller.h"
#include "app/form1.h"
#include "app/signal_watcher.h"
#include "core/command_line.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"

#include <QApplication>
#include <QLoggingCategory>
#include <cstdio>

Q_LOGGING_CATEGORY(lcStartup, "matrix.startup", QtWarningMsg)

namespace {

void setIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("matrix-panel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MATRIX_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("matrix-panel"));
}

// Reads the command line; returns the exit code when the program must end
// before it starts.
std::optional<int> readCommandLine(const QStringList &arguments, std::optional<PortTable> &table)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Control panel for an RS-232 video matrix switcher (4x4 or 4x2)."));
    const QCommandLineOption ports(QStringLiteral("ports"),
        QStringLiteral("Serial ports to search, as N=PATH entries (N from 1 to 15); replaces "
                       "the machine's own ports and MATRIX_PANEL_PORTS."),
        QStringLiteral("N=PATH[,N=PATH...]"));
    parser.addOption(ports);
    if (const std::optional<int> exit = parseCommandLine(parser, arguments))
        return exit;

    // A bad port table is a setup mistake: say so before any window appears.
    QString error;
    if (parser.isSet(ports)) {
        table = PortTable::parse(parser.value(ports), &error);
        if (!table)
            return commandLineError(QStringLiteral("--ports: %1").arg(error));
    } else {
        table = PortTable::fromEnvironment(&error);
        if (!table) {
            std::fprintf(stderr, "matrix-panel: %s\n", qPrintable(error));
            return 2;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    std::optional<PortTable> table;
    {
        // The command line is read before the window system is reached, so
        // that --help works without a display and opens nothing.
        const QCoreApplication reader(argc, argv);
        setIdentity();
        if (const std::optional<int> exit = readCommandLine(reader.arguments(), table))
            return *exit;
    }

    // With the program's log on (QT_LOGGING_RULES="matrix.*=true"), every line
    // says when, to the millisecond, and what part of the program speaks.
    if (!qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(QStringLiteral("%{time hh:mm:ss.zzz} %{category}: %{message}"));

    QApplication app(argc, argv);
    setIdentity();
    QGuiApplication::setDesktopFileName(QStringLiteral(MATRIX_APP_ID));

    Controller controller(std::make_unique<QtSerialPort>(std::move(*table)));
    const SignalWatcher watcher;
    QObject::connect(
        &watcher, &SignalWatcher::terminationRequested, &controller, &Controller::endProgram);
    controller.Form_Load();
    controller.statusWindow().show();
    // Read by the benchmark script to time the start-up.
    qCDebug(lcStartup) << "status window shown";
    return QApplication::exec();
}
