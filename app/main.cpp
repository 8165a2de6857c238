// Both programs: matrix-panel, with its windows (MATRIX_WINDOWS), and
// matrix-panel-headless, which it hands --headless over to.
#ifndef MATRIX_WINDOWS
#define MATRIX_WINDOWS 0
#endif
#include "app/interface_table.h"
#include "app/signal_watcher.h"
#include "core/command_line.h"
#include "core/option_sources.h"
#include "link/port_table.h"
#include "link/qt_serial_port.h"
#include "session/switcher_session.h"
#if MATRIX_WINDOWS
#include "app/controller.h"
#include "app/desktop_session.h"
#include "panel/form1.h"
#include "panel/form3.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#endif

#include <QCoreApplication>
#include <QLoggingCategory>
#include <cstdio>
#include <functional>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
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
    // The interfaces asked for, to be made once the session runs.
    std::vector<InterfaceEntry::Maker> interfaces;
};

// --allow, which every listener takes, is read before them.
std::optional<int> readShared(const OptionSources &options, SharedOptions &shared)
{
    const std::optional<OptionSources::Value> list = options.value(QStringLiteral("allow"));
    if (!list)
        return std::nullopt;
    QString error;
    const std::optional<AllowList> parsed = AllowList::parse(list->text, &error);
    if (!parsed)
        return OptionSources::error(*list, error);
    shared.allow = *parsed;
    shared.allowGiven = true;
    return std::nullopt;
}

// Reads the command line and the settings file; returns the exit code when
// the program must end before it starts.
std::optional<int> readCommandLine(const QStringList &arguments, Startup &startup)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Control panel for an RS-232 video matrix switcher (4x4 or 4x2)."));
    for (const OptionSpec &option : programOptions()) {
        if (option.onCommandLine)
            parser.addOption(QCommandLineOption(option.name, option.help, option.valueName));
    }
    if (const std::optional<int> exit = parseCommandLine(parser, arguments))
        return exit;

    // A mistake in the settings is a setup mistake too: it ends the program
    // before any window or socket, naming the file, the line and the key.
    QString error;
    const bool named = parser.isSet(QStringLiteral("settings"));
    const std::optional<SettingsFile> file = SettingsFile::read(
        named ? parser.value(QStringLiteral("settings")) : SettingsFile::defaultPath(), named,
        programOptions(), &error);
    if (!file) {
        std::fprintf(stderr, "matrix-panel: %s\n", qPrintable(error));
        return 2;
    }
    const OptionSources options(parser, *file, programOptions());

    // A bad port table is a setup mistake: say so before any window appears.
    if (const std::optional<OptionSources::Value> table = options.value(QStringLiteral("ports"))) {
        startup.table = PortTable::parse(table->text, &error);
        if (!startup.table)
            return OptionSources::error(*table, error);
    } else {
        startup.table = PortTable::platformDefault();
    }
    SharedOptions shared;
    if (const std::optional<int> exit = readShared(options, shared))
        return exit;
    shared.serialDevice = startup.table->device(1);
    bool listening = false;
    for (const InterfaceEntry &entry : interfaceTable()) {
        InterfaceEntry::Maker maker;
        if (const std::optional<int> exit = entry.configure(options, shared, &maker))
            return exit;
        if (maker) {
            listening = listening || entry.listens;
            startup.interfaces.push_back(std::move(maker));
        }
    }
    const std::optional<OptionSources::Value> allow = options.value(QStringLiteral("allow"));
    if (allow && allow->fromCommandLine && !listening)
        return commandLineError(
            QStringLiteral("--allow: only with %1").arg(interfaceOptions(true, "or")));

    startup.headless = parser.isSet(QStringLiteral("headless")) || !MATRIX_WINDOWS;
    if (startup.headless && startup.interfaces.empty())
        return commandLineError(
            QStringLiteral("--headless: without windows the program is only of use to the network "
                           "interfaces; give %1 too")
                .arg(interfaceOptions(false, "or")));
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

// Starts the interfaces asked for on the session's router; the exit code
// when one cannot start.
std::optional<int> startInterfaces(
    Startup &startup, Router &router, std::vector<std::unique_ptr<Interface>> &running)
{
    for (const InterfaceEntry::Maker &make : startup.interfaces) {
        running.push_back(make(router));
        QString where;
        QString error;
        if (!running.back()->start(&where, &error)) {
            std::fprintf(stderr, "matrix-panel: %s\n", qPrintable(error));
            return 2;
        }
        std::fprintf(stderr, "matrix-panel: %s\n", qPrintable(where));
    }
    return std::nullopt;
}

// Ends the session on a signal, starts the interfaces asked for, loads the
// session and runs the event loop; `loaded` then shows the windows, if any.
int serve(SwitcherSession &session, Startup &startup, const std::function<void()> &loaded = {})
{
    const SignalWatcher watcher;
    QObject::connect(
        &watcher, &SignalWatcher::terminationRequested, &session, &SwitcherSession::endProgram);
    std::vector<std::unique_ptr<Interface>> running;
    if (const std::optional<int> exit = startInterfaces(startup, session.router(), running))
        return *exit;
    session.Form_Load();
    if (loaded)
        loaded();
    return QCoreApplication::exec();
}

// Without a screen: the session alone, on a core application.
int runHeadless(int argc, char *argv[], Startup &startup)
{
    QCoreApplication app(argc, argv);
    setIdentity();
    SwitcherSession session(std::make_unique<QtSerialPort>(std::move(*startup.table)));
    return serve(session, startup);
}

#if MATRIX_WINDOWS && defined(Q_OS_UNIX)
// Runs matrix-panel-headless in this process's place, with the same
// arguments; returns only when there is none to run. Looked for beside this
// program (a build) and then where it is installed.
void handOverToHeadless(char *argv[])
{
    for (const QString &dir :
        { QCoreApplication::applicationDirPath(), QStringLiteral(MATRIX_HEADLESS_DIR) }) {
        const QString path = QDir(dir).filePath(QStringLiteral("matrix-panel-headless"));
        if (QFileInfo(path).isExecutable())
            ::execv(QFile::encodeName(path).constData(), argv);
    }
}
#endif

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
#if MATRIX_WINDOWS && defined(Q_OS_UNIX)
        if (startup.headless)
            handOverToHeadless(argv);
#endif
    }

    // With the program's log on (QT_LOGGING_RULES="matrix.*=true"), every line
    // says when, to the millisecond, and what part of the program speaks.
    if (!qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(stderrGoesToJournal()
                ? QStringLiteral("%{category}: %{message}")
                : QStringLiteral("%{time hh:mm:ss.zzz} %{category}: %{message}"));
    if (startup.headless)
        return runHeadless(argc, argv, startup);

#if MATRIX_WINDOWS
    if (!haveDisplay())
        return 1;
    QApplication app(argc, argv);
    setIdentity();
    QGuiApplication::setDesktopFileName(QStringLiteral(MATRIX_APP_ID));

    Controller controller(std::make_unique<QtSerialPort>(std::move(*startup.table)));
    createWindowsForDesktop(
        { &controller.statusWindow(), &controller.panel() }, QStringLiteral(MATRIX_APP_ID));
    return serve(controller, startup, [&controller] {
        controller.statusWindow().show();
        // Read by the benchmark script to time the start-up.
        qCDebug(lcStartup) << "status window shown";
    });
#endif
}
