// preset-latency: a stored preset recalled through `matrix-panel --listen`,
// timed on the serial line and at a WebSocket client. The program talks to
// matrix-sim through this process (line_relay.h), which stores two presets of
// four routes that differ on every output and recalls them in turn. Prints:
//   latency_preset_recall_to_first_byte_ms ...  the request to the first byte
//   latency_preset_recall_to_last_byte_ms ...   the request to the last byte
//     of the four frames on the line
//   latency_preset_last_byte_to_active_ms ...   that last byte to the preset
//     `active` at the client: the simulator answers with its next status
//     frame, up to one frame period later
//   latency_preset_frame_to_active_ms ...       the status frame that shows
//     all four routes to `active` at the client
// each as p50=.. p99=.. max=.. min=.. n=.. lost=..
// usage: preset-latency MATRIX_PANEL MATRIX_SIM [RECALLS]
#include "line_relay.h"
#include "panel_client.h"
#include "pty_line.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <cstdio>
#include <functional>
#include <signal.h>
#include <sys/prctl.h>
#include <vector>

namespace {

using Clock = PtyLine::Clock;

// Runs the event loop until `done` or `ms` have passed, asleep between
// events: the relay's notes come without an event, so a 1 ms timer has the
// loop look at them, and the machine is left to the program meanwhile.
bool waitFor(const std::function<bool()> &done, int ms)
{
    QTimer look;
    look.start(1);
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

// Frames of four bytes, 50 ms between bytes: 15 gaps from the first byte of
// the first frame to the last byte of the fourth.
constexpr size_t RecallBytes = 16;

struct Answer
{
    int status = 0;
    QByteArray body;
};

// One HTTP/1.1 connection kept open, so that the time of a request is that
// of its bytes, not of a connection being made.
class HttpClient
{
public:
    bool open(const QUrl &url)
    {
        m_socket.connectToHost(url.host(), quint16(url.port()));
        return m_socket.waitForConnected(5000);
    }

    // Sends the request and returns when its bytes were handed over.
    Clock::time_point send(
        const QByteArray &method, const QByteArray &path, const QByteArray &body = QByteArray())
    {
        m_received.clear();
        QByteArray request = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        if (!body.isEmpty())
            request += "Content-Type: application/json\r\n";
        request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        const Clock::time_point at = Clock::now();
        m_socket.write(request);
        m_socket.flush();
        return at;
    }

    // The answer to the last request, or status 0 after 3 s.
    Answer answer()
    {
        Answer answer;
        waitFor(
            [&] {
                m_received += m_socket.readAll();
                const int end = m_received.indexOf("\r\n\r\n");
                if (end < 0)
                    return false;
                const QByteArray head = m_received.left(end).toLower();
                const int at = head.indexOf("content-length:");
                const int length = at < 0
                    ? 0
                    : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toInt();
                if (m_received.size() < end + 4 + length)
                    return false;
                answer.status = m_received.mid(9, 3).toInt();
                answer.body = m_received.mid(end + 4, length);
                return true;
            },
            3000);
        return answer;
    }

private:
    QTcpSocket m_socket;
    QByteArray m_received;
};

double ms(Clock::duration d)
{
    return PtyLine::ms(d);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: preset-latency MATRIX_PANEL MATRIX_SIM [RECALLS]\n");
        return 2;
    }
    const int recalls = argc > 3 ? std::atoi(argv[3]) : 30;

    // The presets are stored where the program keeps its data: here, a
    // folder of this run's own.
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("XDG_DATA_HOME", home.filePath("data").toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toLocal8Bit());

    const auto pty = PtyLine::openLine("preset-latency", PseudoTerminal::NonBlocking);
    if (!pty)
        return 1;

    // The simulator and the program end with this process, however it ends.
    const auto dieWithUs = [] { prctl(PR_SET_PDEATHSIG, SIGTERM); };
    QProcess sim;
    sim.setChildProcessModifier(dieWithUs);
    const QString link = home.filePath("switcher");
    sim.setProgram(QString::fromLocal8Bit(argv[2]));
    // 101 ms, not 100: a frame period that is a whole number of the
    // program's 10 ms ticks would meet them at the same point every time, and
    // the run would measure one phase of the two clocks instead of all.
    sim.setArguments({ "--link", link, "--period", "101" });
    sim.setStandardOutputFile(QProcess::nullDevice());
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start();
    if (!waitFor([&] { return QFileInfo(link).isSymLink(); }, 5000)) {
        std::fprintf(stderr, "preset-latency: matrix-sim did not start\n");
        return 1;
    }
    LineRelay relay;
    if (relay.add(pty->master(), link.toStdString()) < 0)
        return 1;
    relay.start();

    QProcess panel;
    panel.setChildProcessModifier(dieWithUs);
    const QString url = PanelClient::startPanel(
        panel, argv[1], pty->farPath(), { "--listen", "127.0.0.1:0" }, "remote control on ");
    if (url.isEmpty()) {
        std::fprintf(stderr, "preset-latency: the panel did not start listening\n");
        return 1;
    }

    // What the client was told last, and when each preset was first seen
    // active after the mark.
    bool linkUp = false;
    QHash<int, bool> active;
    int awaited = 0;
    Clock::time_point activeAt;
    QWebSocket client;
    QObject::connect(&client, &QWebSocket::textMessageReceived, [&](const QString &text) {
        const Clock::time_point at = Clock::now();
        const QJsonObject state = QJsonDocument::fromJson(text.toUtf8()).object();
        linkUp = state["link"].toObject()["state"] == "up";
        for (const QJsonValue &preset : state["presets"].toArray()) {
            const int id = preset["id"].toInt();
            active[id] = preset["active"].toBool();
            if (id == awaited && active[id] && activeAt == Clock::time_point())
                activeAt = at;
        }
    });
    QString events = url;
    client.open(QUrl(events.replace("http://", "ws://") + "api/v1/events"));
    if (!waitFor([&] { return linkUp; }, 10000)) {
        std::fprintf(stderr, "preset-latency: the panel never came up\n");
        return 1;
    }

    HttpClient http;
    if (!http.open(QUrl(url))) {
        std::fprintf(stderr, "preset-latency: cannot connect to %s\n", qPrintable(url));
        return 1;
    }
    // Two presets apart on every output, so that each recall changes all four.
    const std::pair<QByteArray, LineRelay::Inputs> presets[2] = {
        { R"({"name":"Lecture","routes":{"A":2,"B":3,"C":4,"D":1}})", { 2, 3, 4, 1 } },
        { R"({"name":"Meeting","routes":{"A":3,"B":4,"C":1,"D":2}})", { 3, 4, 1, 2 } },
    };
    int ids[2] = {};
    for (int i = 0; i < 2; ++i) {
        http.send("POST", "/api/v1/presets", presets[i].first);
        const Answer answer = http.answer();
        ids[i] = QJsonDocument::fromJson(answer.body).object()["id"].toInt();
        if (answer.status != 201 || ids[i] == 0) {
            std::fprintf(stderr, "preset-latency: storing a preset answered %d %s\n", answer.status,
                answer.body.constData());
            return 1;
        }
    }

    std::vector<double> firstByte, lastByte, lastToActive, frameToActive;
    int lost = 0;
    for (int i = 0; i < recalls; ++i) {
        const int which = i % 2;
        PanelClient::pauseAtRandom();
        const size_t before = relay.commandBytes(0);
        awaited = ids[which];
        activeAt = Clock::time_point();
        const Clock::time_point sent
            = http.send("POST", "/api/v1/presets/" + QByteArray::number(ids[which]) + "/recall");
        const Answer answer = http.answer();
        const LineRelay::Inputs wanted = presets[which].second;
        const bool done = answer.status == 202
            && waitFor([&] { return relay.commandBytes(0) >= before + RecallBytes; }, 3000)
            && waitFor([&] { return activeAt != Clock::time_point(); }, 3000);
        if (!done) {
            ++lost;
            std::fprintf(stderr, "preset-latency: recall %d: answer %d, %zu bytes, %s\n", i,
                answer.status, relay.commandBytes(0) - before,
                activeAt == Clock::time_point() ? "not active" : "active");
            waitFor([] { return false; }, 1500);
            continue;
        }
        const Clock::time_point first = relay.commandByteAt(0, before);
        const Clock::time_point last = relay.commandByteAt(0, before + RecallBytes - 1);
        firstByte.push_back(ms(first - sent));
        lastByte.push_back(ms(last - sent));
        lastToActive.push_back(ms(activeAt - last));
        if (const auto frame = relay.frameShowing(
                0, last, [&](const LineRelay::Inputs &shown) { return shown == wanted; }))
            frameToActive.push_back(ms(activeAt - *frame));
    }
    const QByteArray lostField = PanelClient::lostField(lost);
    PtyLine::report("latency_preset_recall_to_first_byte_ms", firstByte, lostField.constData());
    PtyLine::report("latency_preset_recall_to_last_byte_ms", lastByte, lostField.constData());
    PtyLine::report("latency_preset_last_byte_to_active_ms", lastToActive, lostField.constData());
    PtyLine::report("latency_preset_frame_to_active_ms", frameToActive, lostField.constData());

    client.close();
    panel.terminate();
    panel.waitForFinished(5000);
    relay.stop();
    sim.closeWriteChannel();
    if (!sim.waitForFinished(2000))
        sim.kill();
    return lost * 10 > recalls ? 1 : 0;
}
