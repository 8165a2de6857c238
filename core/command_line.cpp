#include "core/command_line.h"

#include <QCoreApplication>
#include <cstdio>

int commandLineError(const QString &message)
{
    std::fprintf(stderr, "%s: %s (try --help)\n", qPrintable(QCoreApplication::applicationName()),
        qPrintable(message));
    return 2;
}

std::optional<int> parseCommandLine(QCommandLineParser &parser, const QStringList &arguments)
{
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    if (!parser.parse(arguments))
        return commandLineError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
            qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return commandLineError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    return std::nullopt;
}
