#include "app/controller.h"
#include "app/form1.h"
#include "app/signal_watcher.h"
#include "core/command_line.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "remote/remote_state.h"
#include "videohub/videohub_server.h"
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
    std::optional<VideohubServer::Options> videohub;
    // --allow, for every listener.
    AllowList allow;
};

// --videohub, --allow and --no-discovery: the router protocol of control
// software. It has no authentication, so off loopback it needs an
// allow-list of client addresses.
struct VideohubCommandLine
{
    QCommandLineOption videohub { QStringLiteral("videohub"),
        QStringLiteral("Serve the Videohub router protocol of control software (Companion and "
                       "others) on ADDR:PORT (usually 9990); ADDR defaults to 127.0.0.1. "
                       "Off unless given."),
        QStringLiteral("[ADDR:]PORT") };
    QCommandLineOption allow { QStringLiteral("allow"),
        QStringLiteral("Accept clients of --videohub and --listen only from these networks, "
                       "e.g. 192.168.10.0/24; needed for --videohub off loopback."),
        QStringLiteral("CIDR[,CIDR...]") };
    QCommandLineOption noDiscovery { QStringLiteral("no-discovery"),
        QStringLiteral("Do not announce the --videohub server on the network (DNS-SD).") };

    void addTo(QCommandLineParser &parser) const
    {
        parser.addOptions({ videohub, allow, noDiscovery });
    }

    std::optional<int> read(const QCommandLineParser &parser, Startup &startup) const
    {
        QString error;
        if (parser.isSet(allow)) {
            if (!parser.isSet(videohub) && !parser.isSet(QStringLiteral("listen")))
                return commandLineError(
                    QStringLiteral("--allow: only with --videohub or --listen"));
            const std::optional<AllowList> list = AllowList::parse(parser.value(allow), &error);
            if (!list)
                return commandLineError(QStringLiteral("--allow: %1").arg(error));
            startup.allow = *list;
        }
        if (!parser.isSet(videohub)) {
            if (parser.isSet(noDiscovery))
                return commandLineError(QStringLiteral("--no-discovery: only with --videohub"));
            return std::nullopt;
        }
        const std::optional<ListenAddress> where
            = parseListenAddress(parser.value(videohub), &error);
        if (!where)
            return commandLineError(QStringLiteral("--videohub: %1").arg(error));
        VideohubServer::Options options;
        options.address = where->address;
        options.port = where->port;
        options.discovery = !parser.isSet(noDiscovery);
        options.allow = startup.allow;
        if (!options.address.isLoopback() && !parser.isSet(allow)) {
            return commandLineError(
                QStringLiteral("--videohub %1: the router protocol has no password, so an "
                               "address other than loopback needs --allow CIDR[,CIDR...] naming "
                               "the networks of its clients")
                    .arg(parser.value(videohub)));
        }
        startup.videohub = options;
        return std::nullopt;
    }
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
    remote.allow = startup.allow;
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
    const VideohubCommandLine videohub;
    videohub.addTo(parser);
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
    if (const std::optional<int> exit = videohub.read(parser, startup))
        return exit;
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

    QApplication app(argc, argv);
    setIdentity();
    QGuiApplication::setDesktopFileName(QStringLiteral(MATRIX_APP_ID));

    Controller controller(std::make_unique<QtSerialPort>(std::move(*startup.table)));
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
    std::unique_ptr<VideohubServer> videohub;
    if (startup.videohub) {
        videohub = std::make_unique<VideohubServer>(controller.videohubHost(), *startup.videohub);
        QString error;
        if (!videohub->listen(&error)) {
            std::fprintf(stderr, "matrix-panel: --videohub: %s\n", qPrintable(error));
            return 2;
        }
        QObject::connect(
            &controller, &Controller::ticked, videohub.get(), &VideohubServer::publish);
        std::fprintf(
            stderr, "matrix-panel: Videohub server on %s\n", qPrintable(videohub->address()));
    }
    controller.Form_Load();
    controller.statusWindow().show();
    // Read by the benchmark script to time the start-up.
    qCDebug(lcStartup) << "status window shown";
    return QApplication::exec();
}
