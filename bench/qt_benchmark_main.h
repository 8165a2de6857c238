#pragma once

#include <QApplication>
#include <benchmark/benchmark.h>

// The widgets under test need an application object for their whole life, and
// the benchmarks must run without a display: the offscreen platform is the
// default unless the caller chose another.
inline int runQtBenchmarks(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
