#include "app/controller.h"
#include "app/desktop_session.h"
#include "app/form1.h"
#include "app/signal_watcher.h"
#include "core/command_line.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "panel/form3.h"
#if MATRIX_HAVE_REMOTE
#include "remote/remote_server.h"
#endif

#include <QApplication>
#include <QLoggingCategory>
#include <cstdio>
#include <memory>

Q_LOGGING_CATEGORY(lcStartup, "matrix.startup", QtWarningMsg)

namespace {

void setIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("matrix-panel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MATRIX_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("matrix-panel"));
}

// What the command line asks for, once it has been read.
struct Startup
{
    std::optional<PortTable> table;
#if MATRIX_HAVE_REMOTE
    std::optional<RemoteServer::Options> remote;
#endif
};

// --listen and --token. The remote control is off unless asked for; off
// loopback it needs a token, or anyone on the network could route the
// switcher.
std::optional<int> readRemoteOptions(const QCommandLineParser &parser,
    const QCommandLineOption &listen, const QCommandLineOption &token, Startup &startup)
{
    if (!parser.isSet(listen)) {
        if (parser.isSet(token))
            return commandLineError(QStringLiteral("--token: only with --listen"));
        return std::nullopt;
    }
#if MATRIX_HAVE_REMOTE
    QString error;
    const std::optional<ListenAddress> where = parseListenAddress(parser.value(listen), &error);
    if (!where)
        return commandLineError(QStringLiteral("--listen: %1").arg(error));
    RemoteServer::Options remote;
    remote.address = where->address;
    remote.port = where->port;
    remote.token = parser.isSet(token) ? parser.value(token).toUtf8()
                                       : qgetenv("MATRIX_PANEL_TOKEN").trimmed();
    if (parser.isSet(token) && remote.token.isEmpty())
        return commandLineError(QStringLiteral("--token: the token is empty"));
    if (!remote.address.isLoopback() && remote.token.isEmpty()) {
        return commandLineError(
            QStringLiteral("--listen %1: an address other than loopback needs a token "
                           "(--token or MATRIX_PANEL_TOKEN), or anyone on the network could "
                           "route the switcher")
                .arg(parser.value(listen)));
    }
    startup.remote = remote;
    return std::nullopt;
#else
    Q_UNUSED(startup);
    return commandLineError(QStringLiteral(
        "--listen: this build has no remote control (it needs Qt HTTP Server and Qt WebSockets)"));
#endif
}

// Reads the command line; returns the exit code when the program must end
// before it starts.
std::optional<int> readCommandLine(const QStringList &arguments, Startup &startup)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Control panel for an RS-232 video matrix switcher (4x4 or 4x2)."));
    const QCommandLineOption ports(QStringLiteral("ports"),
        QStringLiteral("Serial ports to search, as N=PATH entries (N from 1 to 15); replaces "
                       "the machine's own ports and MATRIX_PANEL_PORTS."),
        QStringLiteral("N=PATH[,N=PATH...]"));
    parser.addOption(ports);
    const QCommandLineOption listen(QStringLiteral("listen"),
        QStringLiteral("Offer remote control (a JSON API, a WebSocket and a browser panel) on "
                       "ADDR:PORT; ADDR defaults to 127.0.0.1. Off unless given."),
        QStringLiteral("[ADDR:]PORT"));
    parser.addOption(listen);
    const QCommandLineOption token(QStringLiteral("token"),
        QStringLiteral("The token every remote request must carry (Authorization: Bearer); "
                       "needed off loopback. MATRIX_PANEL_TOKEN also sets it, unseen by ps."),
        QStringLiteral("TOKEN"));
    parser.addOption(token);
    if (const std::optional<int> exit = parseCommandLine(parser, arguments))
        return exit;

    // A bad port table is a setup mistake: say so before any window appears.
    std::optional<PortTable> &table = startup.table;
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
    return readRemoteOptions(parser, listen, token, startup);
}

} // namespace

int main(int argc, char *argv[])
{
    Startup startup;
    {
        // The command line is read before the window system is reached, so
        // that --help works without a display and opens nothing.
        const QCoreApplication reader(argc, argv);
        setIdentity();
        if (const std::optional<int> exit = readCommandLine(reader.arguments(), startup))
            return *exit;
    }

    // With the program's log on (QT_LOGGING_RULES="matrix.*=true"), every line
    // says when, to the millisecond, and what part of the program speaks.
    if (!qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(QStringLiteral("%{time hh:mm:ss.zzz} %{category}: %{message}"));

    if (!haveDisplay())
        return 1;
    QApplication app(argc, argv);
    setIdentity();
    QGuiApplication::setDesktopFileName(QStringLiteral(MATRIX_APP_ID));

    Controller controller(std::make_unique<QtSerialPort>(std::move(*startup.table)));
    createWindowsForDesktop(
        { &controller.statusWindow(), &controller.panel() }, QStringLiteral(MATRIX_APP_ID));
    const SignalWatcher watcher;
    QObject::connect(
        &watcher, &SignalWatcher::terminationRequested, &controller, &Controller::endProgram);
#if MATRIX_HAVE_REMOTE
    std::unique_ptr<RemoteServer> remote;
    if (startup.remote) {
        remote = std::make_unique<RemoteServer>(controller.remoteHost(), *startup.remote);
        QString error;
        if (!remote->listen(&error)) {
            std::fprintf(stderr, "matrix-panel: --listen: %s\n", qPrintable(error));
            return 2;
        }
        QObject::connect(&controller, &Controller::ticked, remote.get(), &RemoteServer::publish);
        std::fprintf(stderr, "matrix-panel: remote control on %s\n", qPrintable(remote->url()));
    }
#endif
    controller.Form_Load();
    controller.statusWindow().show();
    // Read by the benchmark script to time the start-up.
    qCDebug(lcStartup) << "status window shown";
    return QApplication::exec();
}
