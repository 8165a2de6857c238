#include "core/option_sources.h"

#include "core/command_line.h"

#include <QCoreApplication>
#include <cstdio>

OptionSources::OptionSources(const QCommandLineParser &parser, const SettingsFile &file,
    const std::vector<OptionSpec> &options)
    : m_parser(parser)
    , m_file(file)
    , m_options(options)
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
    for (const OptionSpec &option : m_options) {
        if (option.name != name || option.environment.isEmpty())
            continue;
        const QByteArray variable = option.environment.toLatin1();
        if (!qEnvironmentVariableIsSet(variable.constData()))
            return std::nullopt;
        // An empty secret is none: the variable may be set and left blank.
        // Elsewhere blank says something (MATRIX_PANEL_PORTS= : no port).
        const QString text = qEnvironmentVariable(variable.constData());
        if (option.secret && text.trimmed().isEmpty())
            return std::nullopt;
        return Value { option.secret ? text.trimmed() : text, option.environment };
    }
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
