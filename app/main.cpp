#include "app/controller.h"
#include "app/desktop_session.h"
#include "app/form1.h"
#include "app/signal_watcher.h"
#include "core/command_line.h"
#include "core/option_sources.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "panel/form3.h"
#include "remote/remote_state.h"
#include "videohub/videohub_server.h"
#if MATRIX_HAVE_REMOTE
#include "remote/remote_server.h"
#endif

#include <QApplication>
#include <QLoggingCategory>
#include <cstdio>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

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
    bool headless = false;
#if MATRIX_HAVE_REMOTE
    std::optional<RemoteServer::Options> remote;
#endif
    std::optional<VideohubServer::Options> videohub;
    // allow, for every listener.
    AllowList allow;
};

// The options of the router protocol that control software speaks. It has
// no authentication, so off loopback it needs an allow-list of client
// addresses.
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

    // allow is read before the listeners, which both take it.
    std::optional<int> readAllow(const OptionSources &options, Startup &startup) const
    {
        const std::optional<OptionSources::Value> list = options.value(allow.names().first());
        if (!list)
            return std::nullopt;
        if (list->fromCommandLine && !options.isSet(videohub.names().first())
            && !options.isSet(QStringLiteral("listen")))
            return commandLineError(QStringLiteral("--allow: only with --videohub or --listen"));
        QString error;
        const std::optional<AllowList> parsed = AllowList::parse(list->text, &error);
        if (!parsed)
            return OptionSources::error(*list, error);
        startup.allow = *parsed;
        return std::nullopt;
    }

    std::optional<int> read(
        const QCommandLineParser &parser, const OptionSources &options, Startup &startup) const
    {
        const std::optional<OptionSources::Value> where = options.value(videohub.names().first());
        if (!where) {
            if (parser.isSet(noDiscovery))
                return commandLineError(QStringLiteral("--no-discovery: only with --videohub"));
            return std::nullopt;
        }
        QString error;
        const std::optional<ListenAddress> address = parseListenAddress(where->text, &error);
        if (!address)
            return OptionSources::error(*where, error);
        VideohubServer::Options server;
        server.address = address->address;
        server.port = address->port;
        // --no-discovery on the command line wins over discovery=true in the
        // settings; the file can only say true or false.
        const std::optional<OptionSources::Value> discovery
            = options.value(QStringLiteral("discovery"));
        server.discovery = !parser.isSet(noDiscovery)
            && !(discovery && discovery->text == QLatin1String("false"));
        server.allow = startup.allow;
        if (!server.address.isLoopback() && !options.isSet(allow.names().first())) {
            return OptionSources::error(*where,
                QStringLiteral("%1: the router protocol has no password, so an address other "
                               "than loopback needs --allow CIDR[,CIDR...] (or allow= in the "
                               "settings) naming the networks of its clients")
                    .arg(where->text));
        }
        startup.videohub = server;
        return std::nullopt;
    }
};

// --listen and --token. The remote control is off unless asked for; off
// loopback it needs a token, or anyone on the network could route the
// switcher.
std::optional<int> readRemoteOptions(const OptionSources &options, Startup &startup)
{
    const std::optional<OptionSources::Value> listen = options.value(QStringLiteral("listen"));
    const std::optional<OptionSources::Value> token = options.value(QStringLiteral("token"));
    if (!listen) {
        if (token && token->fromCommandLine)
            return commandLineError(QStringLiteral("--token: only with --listen"));
        return std::nullopt;
    }
#if MATRIX_HAVE_REMOTE
    QString error;
    const std::optional<ListenAddress> where = parseListenAddress(listen->text, &error);
    if (!where)
        return OptionSources::error(*listen, error);
    RemoteServer::Options remote;
    remote.address = where->address;
    remote.port = where->port;
    remote.token = token ? token->text.toUtf8() : QByteArray();
    if (token && remote.token.isEmpty())
        return OptionSources::error(*token, QStringLiteral("the token is empty"));
    if (!remote.address.isLoopback() && remote.token.isEmpty()) {
        return OptionSources::error(*listen,
            QStringLiteral("%1: an address other than loopback needs a token "
                           "(--token, token= in the settings or MATRIX_PANEL_TOKEN), or anyone "
                           "on the network could route the switcher")
                .arg(listen->text));
    }
    remote.allow = startup.allow;
    startup.remote = remote;
    return std::nullopt;
#else
    Q_UNUSED(startup);
    return OptionSources::error(*listen,
        QStringLiteral(
            "this build has no remote control (it needs Qt HTTP Server and Qt WebSockets)"));
#endif
}

// Reads the command line and the settings file; returns the exit code when
// the program must end before it starts.
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
    const QCommandLineOption settings(QStringLiteral("settings"),
        QStringLiteral("Read the settings from FILE instead of "
                       "~/.config/matrix-panel/matrix-panel.conf; the command line wins over it."),
        QStringLiteral("FILE"));
    parser.addOption(settings);
    const QCommandLineOption headless(QStringLiteral("headless"),
        QStringLiteral("Run without windows, as a service for the network interfaces; needs "
                       "--listen or --videohub."));
    parser.addOption(headless);
    const VideohubCommandLine videohub;
    videohub.addTo(parser);
    if (const std::optional<int> exit = parseCommandLine(parser, arguments))
        return exit;

    // A mistake in the settings is a setup mistake too: it ends the program
    // before any window or socket, naming the file, the line and the key.
    QString error;
    const bool named = parser.isSet(settings);
    const std::optional<SettingsFile> file = SettingsFile::read(
        named ? parser.value(settings) : SettingsFile::defaultPath(), named, &error);
    if (!file) {
        std::fprintf(stderr, "matrix-panel: %s\n", qPrintable(error));
        return 2;
    }
    const OptionSources options(parser, *file);

    // A bad port table is a setup mistake: say so before any window appears.
    if (const std::optional<OptionSources::Value> table = options.value(QStringLiteral("ports"))) {
        startup.table = PortTable::parse(table->text, &error);
        if (!startup.table)
            return OptionSources::error(*table, error);
    } else {
        startup.table = PortTable::platformDefault();
    }
    if (const std::optional<int> exit = videohub.readAllow(options, startup))
        return exit;
    if (const std::optional<int> exit = videohub.read(parser, options, startup))
        return exit;
    if (const std::optional<int> exit = readRemoteOptions(options, startup))
        return exit;

    startup.headless = parser.isSet(headless);
    bool serving = startup.videohub.has_value();
#if MATRIX_HAVE_REMOTE
    serving = serving || startup.remote.has_value();
#endif
    if (startup.headless && !serving)
        return commandLineError(
            QStringLiteral("--headless: without windows the program is only of use to the network "
                           "interfaces; give --listen or --videohub too"));
    return std::nullopt;
}

// True when stderr is the stream that systemd hands to the journal, which
// stamps every line with its own time.
bool stderrGoesToJournal()
{
#ifdef Q_OS_UNIX
    const QByteArrayList stream = qgetenv("JOURNAL_STREAM").split(':');
    struct stat status = {};
    return stream.size() == 2 && ::fstat(2, &status) == 0
        && stream[0] == QByteArray::number(quint64(status.st_dev))
        && stream[1] == QByteArray::number(quint64(status.st_ino));
#else
    return false;
#endif
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
        qSetMessagePattern(stderrGoesToJournal()
                ? QStringLiteral("%{category}: %{message}")
                : QStringLiteral("%{time hh:mm:ss.zzz} %{category}: %{message}"));
    // Headless, the windows exist but are never shown, on the platform that
    // Qt Gui carries within itself: no display, no other plugin.
    if (startup.headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");

    if (!haveDisplay())
        return 1;
    QApplication app(argc, argv);
    setIdentity();
    QGuiApplication::setDesktopFileName(QStringLiteral(MATRIX_APP_ID));

    Controller controller(std::make_unique<QtSerialPort>(std::move(*startup.table)));
    controller.setHeadless(startup.headless);
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
    std::unique_ptr<VideohubServer> videohubServer;
    if (startup.videohub) {
        videohubServer
            = std::make_unique<VideohubServer>(controller.videohubHost(), *startup.videohub);
        QString error;
        if (!videohubServer->listen(&error)) {
            std::fprintf(stderr, "matrix-panel: --videohub: %s\n", qPrintable(error));
            return 2;
        }
        QObject::connect(
            &controller, &Controller::ticked, videohubServer.get(), &VideohubServer::publish);
        std::fprintf(
            stderr, "matrix-panel: Videohub server on %s\n", qPrintable(videohubServer->address()));
    }
    controller.Form_Load();
    if (!startup.headless) {
        controller.statusWindow().show();
        // Read by the benchmark script to time the start-up.
        qCDebug(lcStartup) << "status window shown";
    }
    return QApplication::exec();
}
