// The fuzzer's seed corpus, replayed on every run with the compiler at hand:
// each file is a program for a fresh status window (fuzz/fuzz_program.h),
// and every invariant must hold all the way through.
#include "fuzz/fuzz_program.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> bytesOf(const QByteArray &data)
{
    return std::vector<uint8_t>(data.begin(), data.end());
}

} // namespace

TEST(FuzzReplay, EverySeedKeepsTheInvariants)
{
    const QDir corpus(QStringLiteral(MATRIX_FUZZ_CORPUS));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    ASSERT_GE(names.size(), 24) << MATRIX_FUZZ_CORPUS;

    FuzzOutcome total;
    for (const QString &name : names) {
        QFile file(corpus.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        const std::vector<uint8_t> program = bytesOf(file.readAll());
        const FuzzOutcome outcome = runFuzzProgram(program.data(), program.size());
        EXPECT_TRUE(outcome.violation.isEmpty())
            << name.toStdString() << ": " << outcome.violation.toStdString();
        total.framesAccepted += outcome.framesAccepted;
        total.framesRejected += outcome.framesRejected;
        total.linkUps += outcome.linkUps;
        total.linkLosses += outcome.linkLosses;
        total.searchCycles += outcome.searchCycles;
        total.commandsStarted += outcome.commandsStarted;
        total.tickStops += outcome.tickStops;
        total.presses += outcome.presses;
    }
    // The seeds still reach what they were written for: a change to the
    // program reader that leaves them doing nothing shows here.
    EXPECT_GT(total.framesAccepted, 0);
    EXPECT_GT(total.framesRejected, 0);
    EXPECT_GT(total.linkUps, 0);
    EXPECT_GT(total.linkLosses, 0);
    EXPECT_GT(total.searchCycles, 0);
    EXPECT_GT(total.commandsStarted, 0);
    EXPECT_GT(total.tickStops, 0);
    EXPECT_GT(total.presses, 0);
}

TEST(FuzzReplay, RandomProgramsFromAFixedSeed)
{
    std::mt19937 rng(20240611u);
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> program(std::uniform_int_distribution<int>(1, 400)(rng));
        for (uint8_t &b : program)
            b = uint8_t(rng());
        const FuzzOutcome outcome = runFuzzProgram(program.data(), program.size());
        ASSERT_TRUE(outcome.violation.isEmpty())
            << "program " << i << ": " << outcome.violation.toStdString();
    }
}
