#pragma once

#include "core/settings_file.h"

#include <QCommandLineParser>
#include <optional>

// Where each option's value comes from: the command line wins over the
// settings file, and the file over the option's environment variable
// (MATRIX_PANEL_PORTS, MATRIX_PANEL_TOKEN, ...). Options are asked for by
// their long names, which are also the keys of the file.
class OptionSources
{
public:
    struct Value
    {
        QString text;
        // "--listen", "FILE:LINE: listen" or "MATRIX_PANEL_TOKEN".
        QString origin;
        bool fromCommandLine = false;
    };

    OptionSources(const QCommandLineParser &parser, const SettingsFile &file,
        const std::vector<OptionSpec> &options);

    std::optional<Value> value(const QString &name) const;
    bool isSet(const QString &name) const { return value(name).has_value(); }

    // Says what is wrong with `value`, naming where it came from, and gives
    // the exit code for it.
    static int error(const Value &value, const QString &message);

private:
    const QCommandLineParser &m_parser;
    const SettingsFile &m_file;
    const std::vector<OptionSpec> &m_options;
};
