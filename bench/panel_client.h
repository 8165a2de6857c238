#pragma once

// What the benchmarks that run `matrix-panel` as a child and talk to it share:
// starting the panel on the far end of a pseudo-terminal, a
// status frame that changes output A, and waiting on the event loop.

#include "core/status_frame.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

namespace PanelClient {

// A 4x4 status frame with input `input` on output A, the others as usual.
inline QByteArray frameWithOutputAOn(int input)
{
    const uint8_t body[11] = { 0, 0, 0, 0, uint8_t(1u << (input - 1)), 2, 4, 8, 0xFF, 1, 0 };
    return StatusFrame::build(StatusFrame::Kind::FourOutput, body);
}

// Waits 20 to 50 ms, so that the next change falls at a random point of the
// panel's 10 ms main tick.
inline void pauseAtRandom()
{
    std::this_thread::sleep_for(
        std::chrono::microseconds(20000 + QRandomGenerator::global()->bounded(30000)));
}

// "lost=N", for the end of a report line (PtyLine::report).
inline QByteArray lostField(int lost)
{
    return "lost=" + QByteArray::number(lost);
}

// Runs the event loop until `done` or `ms` have passed.
inline bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    return done();
}

// Starts the panel at `program` (headless unless QT_QPA_PLATFORM says
// otherwise) on the pseudo-terminal whose far end is `device`, with
// `arguments` after the port, and waits up to 10 s for the line of its log
// that holds `announce`. Returns the rest of that line, e.g. the address the
// panel listens on, or an empty string when it never came.
inline QString startPanel(QProcess &panel, const char *program, const std::string &device,
    const QStringList &arguments, const QString &announce)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    panel.setProgram(QString::fromLocal8Bit(program));
    panel.setArguments(
        QStringList { "--ports", "1=" + QString::fromStdString(device) } + arguments);
    panel.setProcessChannelMode(QProcess::SeparateChannels);
    panel.start();
    QString log;
    QString rest;
    waitFor(
        [&] {
            log += QString::fromLocal8Bit(panel.readAllStandardError());
            const int at = log.indexOf(announce);
            const int end = at < 0 ? -1 : log.indexOf('\n', at);
            if (end >= 0)
                rest = log.mid(at + announce.size(), end - at - announce.size()).trimmed();
            return !rest.isEmpty();
        },
        10000);
    return rest;
}

} // namespace PanelClient
