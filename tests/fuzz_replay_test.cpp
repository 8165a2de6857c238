// The fuzzer's seed corpus, replayed on every run with the compiler at hand:
// each file is a program of steps for a fresh status window (fuzz/rig.h), and
// every invariant must hold all the way through.
#include "fuzz/rig.h"

#include <QDir>
#include <gtest/gtest.h>

TEST(FuzzReplay, EverySeedKeepsTheInvariantsAndTheSeedsReachWhatTheyAreFor)
{
    const QDir corpus(QStringLiteral(MATRIX_FUZZ_CORPUS));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    ASSERT_GE(names.size(), 24) << MATRIX_FUZZ_CORPUS;
    RigCounts total;
    const auto fields
        = { &RigCounts::framesAccepted, &RigCounts::framesRejected, &RigCounts::settledFourOutput,
              &RigCounts::settledTwoOutput, &RigCounts::linkLosses, &RigCounts::searchCycles,
              &RigCounts::commands, &RigCounts::tickStops, &RigCounts::presses };
    for (const QString &name : names) {
        QFile file(corpus.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        Rig rig(Rig::FuzzTicks);
        rig.run(file.readAll());
        EXPECT_TRUE(rig.violation.isEmpty())
            << name.toStdString() << ": " << rig.violation.toStdString();
        for (auto field : fields)
            total.*field += rig.counts.*field;
    }
    // A change to the program reader that leaves the seeds doing nothing shows here.
    for (auto field : fields)
        EXPECT_GT(total.*field, 0);
}
