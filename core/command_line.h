#pragma once

#include <QCommandLineParser>
#include <optional>

// The command-line conventions of both programs: --help and --version print
// and end with 0; an unknown option or a stray argument is a message on
// stderr and exit code 2. Returns the exit code when the program must end
// now, nothing when it should go on with the options in `parser`. Needs a
// QCoreApplication, for the program's name and version.
std::optional<int> parseCommandLine(QCommandLineParser &parser, const QStringList &arguments);

// Says what is wrong with an option's value the way parseCommandLine does,
// and gives the exit code for it.
int commandLineError(const QString &message);
