// remote-latency: how long a change that a status frame carries takes to
// reach a WebSocket client of `matrix-panel --listen`. This process plays the
// switcher on a pseudo-terminal and is the client; the program runs as it is
// installed. Prints one line:
//   latency_frame_to_websocket_ms p50=.. p99=.. max=.. min=.. n=.. lost=..
// usage: remote-latency MATRIX_PANEL [FRAMES]
#include "core/status_frame.h"
#include "panel_client.h"
#include "pty_line.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using PanelClient::frameWithOutputAOn;
using PanelClient::waitFor;

using Clock = std::chrono::steady_clock;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: remote-latency MATRIX_PANEL [FRAMES]\n");
        return 2;
    }
    const int frames = argc > 2 ? std::atoi(argv[2]) : 300;

    const auto pty = PtyLine::openLine("remote-latency");
    if (!pty)
        return 1;
    const int master = pty->master();

    QProcess panel;
    QString url = PanelClient::startPanel(
        panel, argv[1], pty->farPath(), { "--listen", "127.0.0.1:0" }, "remote control on ");
    if (url.isEmpty()) {
        std::fprintf(stderr, "remote-latency: the panel did not start listening\n");
        return 1;
    }

    // The switcher's frames every 100 ms bring the link up and keep it up.
    int shown = 1;
    QTimer keepAlive;
    QObject::connect(&keepAlive, &QTimer::timeout,
        [&] { (void)!write(master, frameWithOutputAOn(shown).constData(), StatusFrame::Length); });
    keepAlive.start(100);

    QWebSocket client;
    int seenInput = 0;
    Clock::time_point seenAt;
    QObject::connect(&client, &QWebSocket::textMessageReceived, [&](const QString &text) {
        const QJsonObject state = QJsonDocument::fromJson(text.toUtf8()).object();
        if (state["link"].toObject()["state"] != "up")
            return;
        seenAt = Clock::now();
        seenInput = state["outputs"].toArray()[0].toObject()["input"].toInt();
    });
    client.open(QUrl(url.replace("http://", "ws://") + "api/v1/events"));
    if (!waitFor([&] { return seenInput == 1; }, 10000)) {
        std::fprintf(stderr, "remote-latency: the panel never came up\n");
        return 1;
    }

    // One change at a time, at random points of the 10 ms main tick.
    std::vector<double> latencies;
    int lost = 0;
    for (int i = 0; i < frames; ++i) {
        PanelClient::pauseAtRandom();
        shown = shown == 1 ? 2 : 1;
        const Clock::time_point sent = Clock::now();
        (void)!write(master, frameWithOutputAOn(shown).constData(), StatusFrame::Length);
        if (waitFor([&] { return seenInput == shown; }, 300))
            latencies.push_back(std::chrono::duration<double, std::milli>(seenAt - sent).count());
        else
            ++lost;
    }
    PtyLine::report("latency_frame_to_websocket_ms", latencies, PanelClient::lostField(lost));

    client.close();
    panel.terminate();
    panel.waitForFinished(5000);
    return lost * 10 > frames ? 1 : 0;
}
