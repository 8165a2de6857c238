// remote-load: `matrix-panel --listen` on loopback under a bounded load.
// Sixteen slow clients (from four loopback addresses, a byte every 2 s, back
// as soon as they are closed) and a WebSocket client that floods pings and
// never reads, while a client with the token routes 20 times, each once the
// frame before it is on the line. This process plays the switcher on a
// pseudo-terminal. It stops by itself and prints one line:
//   remote_load routes=.. answered=.. on_line=.. answer_ms_p50=.. answer_ms_max=..
//     gap_ms_min=.. gap_ms_p50=.. gap_ms_max=.. rss_before_kib=.. hwm_kib=..
//     rss_after_kib=.. slow_closed=.. floods_cut=..
// usage: remote-load MATRIX_PANEL
#include "core/status_frame.h"
#include "panel_client.h"
#include "pty_line.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <arpa/inet.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

using PanelClient::frameWithOutputAOn;
using PanelClient::waitFor;

using PtyLine::Clock;

const QByteArray Token = "bench-token";

long statusKib(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// A client that starts a request and sends one more byte every 2 s, and
// comes back whenever it is closed.
struct SlowClient
{
    SlowClient(const QHostAddress &from, quint16 port, int *closed)
    {
        QObject::connect(&socket, &QTcpSocket::disconnected, [this, from, port, closed] {
            ++*closed;
            QTimer::singleShot(50, &socket, [this, from, port] { open(from, port); });
        });
        QObject::connect(&drip, &QTimer::timeout, [this] { socket.write("X"); });
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { socket.readAll(); });
        open(from, port);
        drip.start(2000);
    }
    void open(const QHostAddress &from, quint16 port)
    {
        socket.abort();
        socket.bind(from);
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.write("POST /api/v1/route HTTP/1.1\r\n");
    }
    QTcpSocket socket;
    QTimer drip;
};

// Opens the events WebSocket with the token and sends empty pings without
// ever reading; reconnects once it is cut off.
int pingFlood(quint16 port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    const QByteArray handshake = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                 "Authorization: Bearer "
        + Token
        + "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
          "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    (void)!send(fd, handshake.constData(), size_t(handshake.size()), MSG_NOSIGNAL);
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: remote-load MATRIX_PANEL\n");
        return 2;
    }
    const auto pty = PtyLine::openLine("remote-load", PseudoTerminal::NonBlocking);
    if (!pty)
        return 1;
    const int master = pty->master();

    QProcess panel;
    QString url = PanelClient::startPanel(panel, argv[1], pty->farPath(),
        { "--listen", "127.0.0.1:0", "--token", QString::fromLatin1(Token) }, "remote control on ");
    const quint16 port = quint16(QUrl(url).port());
    if (url.isEmpty() || port == 0) {
        std::fprintf(stderr, "remote-load: the panel did not start listening\n");
        return 1;
    }

    std::vector<Clock::time_point> lineTimes;
    QByteArray line;
    QSocketNotifier notifier(master, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        for (char byte = 0; read(master, &byte, 1) == 1;) {
            line += byte;
            lineTimes.push_back(Clock::now());
        }
    });
    const uint8_t body[11] = { 0, 0, 0, 0, 1, 2, 4, 8, 0xFF, 1, 0 };
    const QByteArray status = StatusFrame::build(StatusFrame::Kind::FourOutput, body);
    QTimer switcher;
    QObject::connect(&switcher, &QTimer::timeout,
        [&] { (void)!write(master, status.constData(), StatusFrame::Length); });
    switcher.start(100);

    // One request on a connection of its own each time: the slots are
    // what is measured.
    const auto request = [&](const QByteArray &method, const QByteArray &path,
                             const QByteArray &body, QByteArray *answer) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.write(method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer "
            + Token + "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QByteArray got;
        QObject::connect(&socket, &QTcpSocket::readyRead, [&] { got += socket.readAll(); });
        waitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 5000);
        *answer = got;
    };
    QByteArray answer;
    if (!waitFor(
            [&] {
                request("GET", "/api/v1/state", {}, &answer);
                return answer.contains("\"state\":\"up\"");
            },
            10000)) {
        std::fprintf(stderr, "remote-load: the panel never came up\n");
        return 1;
    }
    waitFor([] { return false; }, 1000);
    const long rssBefore = statusKib(panel.processId(), "VmRSS:");

    int slowClosed = 0;
    std::vector<std::unique_ptr<SlowClient>> slow;
    for (int i = 0; i < 16; ++i) {
        slow.push_back(std::make_unique<SlowClient>(
            QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + i / 4)), port, &slowClosed));
    }
    int floodsCut = 0;
    int flood = pingFlood(port);
    QByteArray pings;
    for (int i = 0; i < 500; ++i)
        pings += QByteArray::fromHex("898001020304");
    QTimer flooding;
    QObject::connect(&flooding, &QTimer::timeout, [&] {
        if (flood >= 0 && send(flood, pings.constData(), size_t(pings.size()), MSG_NOSIGNAL) < 0
            && errno != EAGAIN) {
            close(flood);
            ++floodsCut;
            flood = pingFlood(port);
        }
    });
    flooding.start(2);
    waitFor([] { return false; }, 3000);

    // Twenty routes, each once the frame before it is whole on the line.
    std::vector<double> answers;
    int answered = 0;
    int onLine = 0;
    std::vector<double> gaps;
    for (int i = 0; i < 20; ++i) {
        const size_t before = size_t(line.size());
        const Clock::time_point sent = Clock::now();
        request("POST", "/api/v1/route",
            QStringLiteral(R"({"input": %1, "output": %2})")
                .arg(1 + i % 4)
                .arg(1 + i / 4 % 4)
                .toLatin1(),
            &answer);
        answers.push_back(PtyLine::ms(Clock::now() - sent));
        answered += answer.startsWith("HTTP/1.1 202");
        // The route's frame, as the switcher's manual gives it.
        const int x = i % 4 + 4 * (i / 4 % 4);
        QByteArray frame;
        frame += char(x);
        frame += char(255 - x);
        frame += "\xd5\x7b";
        if (waitFor([&] { return size_t(line.size()) >= before + 4; }, 2000)
            && line.mid(qsizetype(before), 4) == frame) {
            ++onLine;
            for (size_t k = before + 1; k < before + 4; ++k)
                gaps.push_back(PtyLine::ms(lineTimes[k] - lineTimes[k - 1]));
        }
    }
    const long hwm = statusKib(panel.processId(), "VmHWM:");
    flooding.stop();
    if (flood >= 0)
        close(flood);
    slow.clear();
    waitFor([] { return false; }, 2000);
    const long rssAfter = statusKib(panel.processId(), "VmRSS:");

    std::sort(answers.begin(), answers.end());
    std::sort(gaps.begin(), gaps.end());
    std::printf(
        "remote_load routes=20 answered=%d on_line=%d answer_ms_p50=%.1f answer_ms_max=%.1f "
        "gap_ms_min=%.2f gap_ms_p50=%.2f gap_ms_max=%.2f rss_before_kib=%ld hwm_kib=%ld "
        "rss_after_kib=%ld slow_closed=%d floods_cut=%d\n",
        answered, onLine, PtyLine::percentile(answers, 50), answers.back(),
        gaps.empty() ? 0.0 : gaps.front(), PtyLine::percentile(gaps, 50),
        gaps.empty() ? 0.0 : gaps.back(), rssBefore, hwm, rssAfter, slowClosed, floodsCut);
    panel.terminate();
    panel.waitForFinished(5000);
    return answered == 20 && onLine == 20 ? 0 : 1;
}
