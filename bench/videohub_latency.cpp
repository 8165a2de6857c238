// videohub-latency: the router-protocol server of `matrix-panel --videohub`
// as a client of it sees it. This process plays the switcher on a
// pseudo-terminal and is the client; the program runs as it is installed.
// Prints two lines:
//   latency_frame_to_videohub_ms p50=.. p99=.. max=.. min=.. n=.. lost=..
//     a status frame carrying a change, to the VIDEO OUTPUT ROUTING: block
//   latency_route_to_line_ms p50=.. p99=.. max=.. min=.. n=.. lost=..
//     a route block, to the first command byte on the line, the line idle
// usage: videohub-latency MATRIX_PANEL [COUNT]
#include "core/status_frame.h"
#include "panel_client.h"
#include "pty_line.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
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
        std::fprintf(stderr, "usage: videohub-latency MATRIX_PANEL [COUNT]\n");
        return 2;
    }
    const int count = argc > 2 ? std::atoi(argv[2]) : 200;

    const auto pty = PtyLine::openLine("videohub-latency", PseudoTerminal::NonBlocking);
    if (!pty)
        return 1;
    const int master = pty->master();
    QByteArray line;
    Clock::time_point lineAt;
    QSocketNotifier notifier(master, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char byte = 0;
        while (read(master, &byte, 1) == 1) {
            if (line.isEmpty())
                lineAt = Clock::now();
            line.append(byte);
        }
    });

    QProcess panel;
    const quint16 port = quint16(PanelClient::startPanel(panel, argv[1], pty->farPath(),
        { "--videohub", "127.0.0.1:0" }, "Videohub server on 127.0.0.1:")
                                     .toUInt());
    if (!port) {
        std::fprintf(stderr, "videohub-latency: the panel did not start serving\n");
        return 1;
    }

    int shown = 1;
    QTimer keepAlive;
    QObject::connect(&keepAlive, &QTimer::timeout,
        [&] { (void)!write(master, frameWithOutputAOn(shown).constData(), StatusFrame::Length); });
    keepAlive.start(100);

    QTcpSocket client;
    QByteArray heard;
    Clock::time_point heardAt;
    QObject::connect(&client, &QTcpSocket::readyRead, [&] {
        heard += client.readAll();
        heardAt = Clock::now();
    });
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!waitFor([&] { return heard.contains("VIDEO OUTPUT ROUTING:\n0 0\n"); }, 10000)) {
        std::fprintf(stderr, "videohub-latency: the panel never came up\n");
        return 1;
    }

    // One change at a time, at random points of the 10 ms main tick.
    std::vector<double> pushed;
    int lost = 0;
    for (int i = 0; i < count; ++i) {
        PanelClient::pauseAtRandom();
        shown = shown == 1 ? 2 : 1;
        heard.clear();
        const QByteArray block
            = "VIDEO OUTPUT ROUTING:\n0 " + QByteArray::number(shown - 1) + "\n\n";
        const Clock::time_point sent = Clock::now();
        (void)!write(master, frameWithOutputAOn(shown).constData(), StatusFrame::Length);
        if (waitFor([&] { return heard.contains(block); }, 300))
            pushed.push_back(std::chrono::duration<double, std::milli>(heardAt - sent).count());
        else
            ++lost;
    }
    PtyLine::report("latency_frame_to_videohub_ms", pushed, PanelClient::lostField(lost));
    std::fflush(stdout);

    // A route while the line is idle; the frame goes out whole before the next.
    std::vector<double> routed;
    lost = 0;
    for (int i = 0; i < count / 4; ++i) {
        PanelClient::pauseAtRandom();
        line.clear();
        const Clock::time_point sent = Clock::now();
        client.write("VIDEO OUTPUT ROUTING:\n1 " + QByteArray::number(i % 4) + "\n\n");
        client.flush();
        if (waitFor([&] { return !line.isEmpty(); }, 300))
            routed.push_back(std::chrono::duration<double, std::milli>(lineAt - sent).count());
        else
            ++lost;
        waitFor([&] { return line.size() >= 4; }, 1000);
        QTimer::singleShot(100, [] {});
        waitFor([] { return false; }, 100);
    }
    PtyLine::report("latency_route_to_line_ms", routed, PanelClient::lostField(lost));

    client.close();
    panel.terminate();
    panel.waitForFinished(5000);
    return 0;
}
