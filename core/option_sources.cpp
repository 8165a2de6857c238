#include "core/option_sources.h"

#include "core/command_line.h"

#include <QCoreApplication>
#include <cstdio>

OptionSources::OptionSources(const QCommandLineParser &parser, const SettingsFile &file)
    : m_parser(parser)
    , m_file(file)
{
}

std::optional<OptionSources::Value> OptionSources::value(const QString &name) const
{
    // optionNames() holds only what was given, so asking for an option that
    // this build does not define is no warning.
    if (m_parser.optionNames().contains(name))
        return Value { m_parser.value(name), QStringLiteral("--") + name, true };
    if (const SettingsFile::Entry *entry = m_file.find(name))
        return Value { entry->value, m_file.origin(*entry) };
    if (name == QLatin1String("ports") && qEnvironmentVariableIsSet("MATRIX_PANEL_PORTS"))
        return Value { qEnvironmentVariable("MATRIX_PANEL_PORTS"),
            QStringLiteral("MATRIX_PANEL_PORTS") };
    // An empty token is no token: the variable may be set and left blank.
    const QString token = qEnvironmentVariable("MATRIX_PANEL_TOKEN").trimmed();
    if (name == QLatin1String("token") && !token.isEmpty())
        return Value { token, QStringLiteral("MATRIX_PANEL_TOKEN") };
    return std::nullopt;
}

int OptionSources::error(const Value &value, const QString &message)
{
    if (value.fromCommandLine)
        return commandLineError(QStringLiteral("%1: %2").arg(value.origin, message));
    std::fprintf(stderr, "%s: %s: %s\n", qPrintable(QCoreApplication::applicationName()),
        qPrintable(value.origin), qPrintable(message));
    return 2;
}
