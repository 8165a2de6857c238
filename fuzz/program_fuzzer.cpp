// libFuzzer target: arbitrary bytes as a program of steps for a fresh status
// window on the rig (fuzz/rig.h). A broken invariant aborts, so libFuzzer
// keeps the input that did it.
#include "fuzz/rig.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char *argv[] = { const_cast<char *>("matrix-program-fuzzer"), nullptr };
    if (!QApplication::instance()) {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        new QApplication(argc, argv); // lives as long as the fuzzer's loop: for ever
    }
    Rig rig(Rig::FuzzTicks);
    rig.run(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    if (!rig.violation.isEmpty()) {
        std::fprintf(stderr, "matrix-program-fuzzer: %s\n", qPrintable(rig.violation));
        std::abort();
    }
    return 0;
}
