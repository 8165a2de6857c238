// libFuzzer target: arbitrary bytes through the fake port into the receive
// path, interleaved with main ticks, port failures and clicks (see
// fuzz_program.h for how the bytes are read). A broken invariant aborts, so
// libFuzzer keeps the input that did it.
#include "fuzz/fuzz_program.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

namespace {

QApplication *application()
{
    static int argc = 1;
    static char name[] = "matrix-receive-fuzzer";
    static char *argv[] = { name, nullptr };
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Lives as long as the process: libFuzzer never returns from its loop.
    static QApplication *app = new QApplication(argc, argv);
    return app;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    application();
    const FuzzOutcome outcome = runFuzzProgram(data, size);
    if (!outcome.violation.isEmpty()) {
        std::fprintf(
            stderr, "matrix-receive-fuzzer: invariant broken: %s\n", qPrintable(outcome.violation));
        std::abort();
    }
    return 0;
}
