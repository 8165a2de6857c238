// mqtt-fleet: sixteen `matrix-panel --headless --mqtt` bridges on one
// mosquitto on loopback, each driving its own matrix-sim through this process
// (line_relay.h), and one subscriber and one publisher of this process's own
// (libmosquitto, each on its own thread, so that messages are timed as they
// come). Prints:
//   mqtt_route_to_line_ms ...       a route published to every bridge's
//     output/B/set at once, to the first command byte on that bridge's line
//   mqtt_frame_to_state_ms ...      a route made on every simulator at once
//     (`route I D` on its stdin), from the status frame that first shows it
//     to the state message at the subscriber
//   mqtt_control_to_state_ms ...    the same from the control line written
//   mqtt_broker_restart_ms ...      the broker stopped and started again: from
//     its accepting connections to every bridge online with its discovery
//     said again (from_stop_ms: from the stop)
//   mqtt_fleet_memory ...           VmRSS and VmHWM of the bridges
// usage: mqtt-fleet MATRIX_PANEL MATRIX_SIM MOSQUITTO [ROUNDS [BRIDGES]]
#include "line_relay.h"
#include "pty_line.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mosquitto.h>
#include <mutex>
#include <netinet/in.h>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = PtyLine::Clock;
using PtyLine::ms;

// Nothing here waits longer than this in all.
constexpr auto RunLimit = std::chrono::seconds(240);
const Clock::time_point Started = Clock::now();

bool timeLeft()
{
    return Clock::now() - Started < RunLimit;
}

bool waitUntil(const std::function<bool()> &done, int ms)
{
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > end || !timeLeft())
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void pauseAtRandom(int fromMs, int toMs)
{
    static std::mt19937 random(std::random_device {}());
    std::this_thread::sleep_for(std::chrono::microseconds(
        std::uniform_int_distribution<int>(fromMs * 1000, toMs * 1000)(random)));
}

struct Child
{
    pid_t pid = -1;
    int input = -1; // its stdin, when kept
};

// Starts `args` with `env` added, its stderr to `log`, its stdin a pipe
// kept here when `keepInput`; it ends with this process, however that ends.
Child spawn(const std::vector<std::string> &args, const std::vector<std::string> &env,
    const std::string &log, bool keepInput)
{
    int pipeFds[2] = { -1, -1 };
    if (keepInput && pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        for (const std::string &e : env)
            putenv(const_cast<char *>(e.c_str()));
        const int null = ::open("/dev/null", O_RDWR);
        dup2(keepInput ? pipeFds[0] : null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(err >= 0 ? err : null, STDERR_FILENO);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Child child { pid, -1 };
    if (keepInput) {
        ::close(pipeFds[0]);
        child.input = pipeFds[1];
    }
    return child;
}

void end(Child &child, int signal = SIGTERM)
{
    if (child.input >= 0)
        ::close(child.input);
    child.input = -1;
    if (child.pid <= 0)
        return;
    kill(child.pid, signal);
    if (!waitUntil([&] { return waitpid(child.pid, nullptr, WNOHANG) == child.pid; }, 3000)) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, nullptr, 0);
    }
    child.pid = -1;
}

quint16 freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0
        || getsockname(fd, reinterpret_cast<sockaddr *>(&at), &size) != 0)
        at.sin_port = 0;
    ::close(fd);
    return ntohs(at.sin_port);
}

struct Message
{
    Clock::time_point at;
    std::string topic;
    QByteArray payload;
};

// A client of the broker on libmosquitto's own thread; what it receives is
// kept with the time it came.
class Client
{
public:
    Client(const char *id, std::vector<std::string> subscriptions)
        : m_subscriptions(std::move(subscriptions))
    {
        m_mosq = mosquitto_new(id, true, this);
        mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(m_mosq, [](mosquitto *m, void *self, int rc) {
            if (rc == 0)
                for (const std::string &s : static_cast<Client *>(self)->m_subscriptions)
                    mosquitto_subscribe(m, nullptr, s.c_str(), 1);
        });
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto *, void *self, const mosquitto_message *m) {
                const Clock::time_point at = Clock::now();
                auto *client = static_cast<Client *>(self);
                const std::lock_guard<std::mutex> lock(client->m_mutex);
                client->m_messages.push_back({ at, m->topic,
                    QByteArray(static_cast<const char *>(m->payload), m->payloadlen) });
            });
    }
    ~Client()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }

    // Tries every 2 ms for up to `ms`; returns when it first got through.
    std::optional<Clock::time_point> connect(quint16 port, int ms)
    {
        const bool up = waitUntil(
            [&] { return mosquitto_connect(m_mosq, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS; },
            ms);
        if (!up)
            return std::nullopt;
        const Clock::time_point at = Clock::now();
        mosquitto_loop_start(m_mosq);
        return at;
    }

    Clock::time_point publish(const std::string &topic, const QByteArray &payload)
    {
        const Clock::time_point at = Clock::now();
        mosquitto_publish(
            m_mosq, nullptr, topic.c_str(), int(payload.size()), payload.constData(), 1, false);
        return at;
    }

    // Hands the messages that came since the last call to `take`.
    void drain(const std::function<void(const Message &)> &take)
    {
        std::vector<Message> messages;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            messages.swap(m_messages);
        }
        for (const Message &m : messages)
            take(m);
    }

private:
    mosquitto *m_mosq = nullptr;
    std::vector<std::string> m_subscriptions;
    std::mutex m_mutex;
    std::vector<Message> m_messages;
};

struct StateSeen
{
    Clock::time_point at;
    bool linkUp;
    LineRelay::Inputs inputs;
};

// What the subscriber has heard of each bridge.
struct Bridge
{
    std::string id;
    Child panel;
    Child sim;
    std::unique_ptr<PseudoTerminal> pty;
    std::vector<StateSeen> states;
    std::vector<std::pair<Clock::time_point, QByteArray>> availability;
    // Each discovery topic with a config, and when it last came.
    std::map<std::string, Clock::time_point> discovery;
};

std::vector<std::string> split(const std::string &topic)
{
    std::vector<std::string> parts;
    std::stringstream in(topic);
    for (std::string part; std::getline(in, part, '/');)
        parts.push_back(part);
    return parts;
}

class Fleet
{
public:
    std::vector<Bridge> bridges;

    void take(const Message &m)
    {
        const std::vector<std::string> parts = split(m.topic);
        if (parts.size() >= 3 && parts[0] == "matrix-panel") {
            Bridge *b = find(parts[1]);
            if (!b)
                return;
            if (parts[2] == "availability") {
                b->availability.push_back({ m.at, m.payload });
            } else if (parts[2] == "state") {
                const QJsonObject state = QJsonDocument::fromJson(m.payload).object();
                StateSeen seen { m.at, state["link"].toObject()["state"] == "up", {} };
                const QJsonArray outputs = state["outputs"].toArray();
                for (int o = 0; o < 4 && o < outputs.size(); ++o)
                    seen.inputs[size_t(o)] = outputs[o].toObject()["input"].toInt();
                b->states.push_back(seen);
            }
        } else if (parts.size() >= 4 && parts[0] == "homeassistant"
            && parts[2].rfind("matrix-panel-", 0) == 0 && !m.payload.isEmpty()) {
            if (Bridge *b = find(parts[2].substr(13)))
                b->discovery[m.topic] = m.at;
        }
    }

private:
    Bridge *find(const std::string &id)
    {
        for (Bridge &b : bridges)
            if (b.id == id)
                return &b;
        return nullptr;
    }
};

std::string statusField(pid_t pid, const char *key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0) {
            std::istringstream fields(line.substr(std::strlen(key)));
            std::string value;
            fields >> value;
            return value;
        }
    return "0";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(
            stderr, "usage: mqtt-fleet MATRIX_PANEL MATRIX_SIM MOSQUITTO [ROUNDS [BRIDGES]]\n");
        return 2;
    }
    const std::string panelPath = argv[1];
    const std::string simPath = argv[2];
    const std::string brokerPath = argv[3];
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 20;
    const int count = argc > 5 ? std::atoi(argv[5]) : 16;
    signal(SIGPIPE, SIG_IGN);
    mosquitto_lib_init();

    char folderTemplate[] = "/tmp/mqtt-fleet.XXXXXX";
    if (!mkdtemp(folderTemplate))
        return 1;
    const std::string dir = folderTemplate;

    // The broker: loopback only, nothing kept across a restart, as a broker
    // without persistence loses what it held.
    const quint16 port = freePort();
    const std::string conf = dir + "/mosquitto.conf";
    // mosquitto as installed leaves Nagle's algorithm on towards its
    // clients; the last routes are measured again with it off.
    auto writeConf = [&](bool noDelay) {
        std::ofstream(conf) << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                            << "persistence false\n"
                            << (noDelay ? "set_tcp_nodelay true\n" : "");
    };
    writeConf(false);
    auto startBroker = [&] {
        return spawn({ brokerPath, "-c", conf }, {}, dir + "/mosquitto.log", false);
    };
    Child broker = startBroker();

    Fleet fleet;
    fleet.bridges.resize(size_t(count));
    LineRelay relay;
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(port);
    int failures = 0;
    for (int k = 0; k < count; ++k) {
        Bridge &b = fleet.bridges[size_t(k)];
        char id[16];
        std::snprintf(id, sizeof id, "fleet%02d", k + 1);
        b.id = id;
        const std::string home = dir + "/" + b.id;
        mkdir(home.c_str(), 0700);
        const std::string settings = home + "/matrix-panel.conf";
        std::ofstream(settings) << "mqtt-id=" << b.id << "\n";
        const std::string link = home + "/switcher";
        // 101 ms, not 100, for the frames to meet every point of the
        // program's 10 ms tick (preset_latency.cpp says more).
        b.sim = spawn({ simPath, "--link", link, "--period", "101" }, {}, home + "/sim.log", true);
        b.pty = PtyLine::openLine("mqtt-fleet", PseudoTerminal::NonBlocking);
        struct stat st
        {
        };
        if (!b.pty || !waitUntil([&] { return lstat(link.c_str(), &st) == 0; }, 5000)
            || relay.add(b.pty->master(), link) != k) {
            std::fprintf(stderr, "mqtt-fleet: no line for %s\n", id);
            return 1;
        }
        b.panel = spawn({ panelPath, "--headless", "--mqtt", url, "--settings", settings },
            { "MATRIX_PANEL_PORTS=1=" + b.pty->farPath(), "XDG_DATA_HOME=" + home + "/data",
                "XDG_CONFIG_HOME=" + home + "/config", "QT_QPA_PLATFORM=offscreen" },
            home + "/panel.log", false);
    }
    relay.start();

    const std::vector<std::string> watched
        = { "matrix-panel/+/state", "matrix-panel/+/availability", "homeassistant/#" };
    auto watcher = std::make_unique<Client>("fleet-watch", watched);
    auto commander = std::make_unique<Client>("fleet-command", std::vector<std::string> {});
    if (!watcher->connect(port, 5000) || !commander->connect(port, 5000)) {
        std::fprintf(
            stderr, "mqtt-fleet: mosquitto did not start; see %s/mosquitto.log\n", dir.c_str());
        return 1;
    }
    auto drain = [&] { watcher->drain([&](const Message &m) { fleet.take(m); }); };
    auto allUp = [&] {
        drain();
        return std::all_of(fleet.bridges.begin(), fleet.bridges.end(), [](const Bridge &b) {
            return !b.states.empty() && b.states.back().linkUp && b.states.back().inputs[3] > 0;
        });
    };
    if (!waitUntil(allUp, 30000)) {
        std::fprintf(stderr, "mqtt-fleet: not every bridge came up; see %s\n", dir.c_str());
        return 1;
    }
    // Discovery follows the model the switcher turns out to be: let it settle.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    drain();

    // A route published to every bridge at once; the line idle before each.
    auto publishRoutes = [&](const char *name) {
        std::vector<double> routed;
        int lost = 0;
        for (int round = 0; round < rounds && timeLeft(); ++round) {
            const QByteArray input = round % 2 ? "4" : "3";
            std::vector<size_t> before;
            std::vector<Clock::time_point> sent;
            for (int k = 0; k < count; ++k)
                before.push_back(relay.commandBytes(k));
            for (int k = 0; k < count; ++k)
                sent.push_back(commander->publish(
                    "matrix-panel/" + fleet.bridges[size_t(k)].id + "/output/B/set", input));
            waitUntil(
                [&] {
                    for (int k = 0; k < count; ++k)
                        if (relay.commandBytes(k) < before[size_t(k)] + 4)
                            return false;
                    return true;
                },
                2000);
            for (int k = 0; k < count; ++k) {
                if (relay.commandBytes(k) > before[size_t(k)])
                    routed.push_back(
                        ms(relay.commandByteAt(k, before[size_t(k)]) - sent[size_t(k)]));
                else
                    ++lost;
            }
            pauseAtRandom(70, 100);
        }
        PtyLine::report(name, routed, ("lost=" + std::to_string(lost)).c_str());
        std::fflush(stdout);
        failures += lost * 10 > rounds * count;
    };
    publishRoutes("mqtt_route_to_line_ms");
    int lost = 0;

    // A route made on every switcher at once: its next status frame shows it.
    std::vector<double> fromFrame, fromControl;
    for (int round = 0; round < rounds && timeLeft(); ++round) {
        const int input = round % 2 + 1;
        const std::string line = "route " + std::to_string(input) + " D\n";
        std::vector<Clock::time_point> written;
        drain();
        std::vector<size_t> seenBefore;
        for (const Bridge &b : fleet.bridges)
            seenBefore.push_back(b.states.size());
        for (Bridge &b : fleet.bridges) {
            written.push_back(Clock::now());
            (void)!::write(b.sim.input, line.data(), line.size());
        }
        auto stateAt = [&](int k) -> std::optional<Clock::time_point> {
            const Bridge &b = fleet.bridges[size_t(k)];
            for (size_t i = seenBefore[size_t(k)]; i < b.states.size(); ++i)
                if (b.states[i].inputs[3] == input)
                    return b.states[i].at;
            return std::nullopt;
        };
        waitUntil(
            [&] {
                drain();
                for (int k = 0; k < count; ++k)
                    if (!stateAt(k))
                        return false;
                return true;
            },
            2000);
        for (int k = 0; k < count; ++k) {
            const auto state = stateAt(k);
            const auto frame = relay.frameShowing(k, written[size_t(k)],
                [&](const LineRelay::Inputs &shown) { return shown[3] == input; });
            if (!state || !frame) {
                ++lost;
                continue;
            }
            fromFrame.push_back(ms(*state - *frame));
            fromControl.push_back(ms(*state - written[size_t(k)]));
        }
        pauseAtRandom(20, 50);
    }
    const std::string lostField = "lost=" + std::to_string(lost);
    PtyLine::report("mqtt_frame_to_state_ms", fromFrame, lostField.c_str());
    PtyLine::report("mqtt_control_to_state_ms", fromControl, lostField.c_str());
    std::fflush(stdout);
    failures += lost * 10 > rounds * count;

    // The bridges' memory after the work above.
    std::vector<long> rss, hwm;
    for (const Bridge &b : fleet.bridges) {
        rss.push_back(std::atol(statusField(b.panel.pid, "VmRSS:").c_str()));
        hwm.push_back(std::atol(statusField(b.panel.pid, "VmHWM:").c_str()));
    }
    auto sum = [](const std::vector<long> &v) { return std::accumulate(v.begin(), v.end(), 0L); };
    auto median = [](std::vector<long> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0L : v[v.size() / 2];
    };
    std::printf("mqtt_fleet_memory bridges=%d rss_sum_kib=%ld rss_median_kib=%ld rss_max_kib=%ld "
                "hwm_sum_kib=%ld hwm_median_kib=%ld hwm_max_kib=%ld\n",
        count, sum(rss), median(rss), *std::max_element(rss.begin(), rss.end()), sum(hwm),
        median(hwm), *std::max_element(hwm.begin(), hwm.end()));
    std::fflush(stdout);

    // The broker stopped and started again, three times. The watcher is made
    // anew each time and connects first: the bridges wait at least half a
    // second before they try again.
    std::vector<double> fromUp, fromStop;
    int restartsLost = 0;
    const int restarts = 3;
    // Restarts the broker; the times from its accepting connections and from
    // its stop to every bridge back, or nothing.
    auto restart = [&]() -> std::optional<std::pair<double, double>> {
        std::map<std::string, std::set<std::string>> expected;
        for (const Bridge &b : fleet.bridges)
            for (const auto &entry : b.discovery)
                expected[b.id].insert(entry.first);
        watcher.reset();
        const Clock::time_point stopped = Clock::now();
        end(broker);
        broker = startBroker();
        watcher = std::make_unique<Client>("fleet-watch", watched);
        const auto up = watcher->connect(port, 5000);
        if (!up) {
            std::fprintf(stderr, "mqtt-fleet: mosquitto did not start again\n");
            return std::nullopt;
        }
        // When bridge `b` was last online with every config said again.
        auto backAt = [&](const Bridge &b) -> std::optional<Clock::time_point> {
            std::optional<Clock::time_point> at;
            for (const auto &a : b.availability)
                if (a.first > stopped)
                    at = a.second == "online" ? std::optional<Clock::time_point>(a.first)
                                              : std::nullopt;
            if (!at)
                return std::nullopt;
            for (const std::string &topic : expected[b.id]) {
                const auto seen = b.discovery.find(topic);
                if (seen == b.discovery.end() || seen->second < stopped)
                    return std::nullopt;
                at = std::max(*at, seen->second);
            }
            return at;
        };
        const bool back = waitUntil(
            [&] {
                drain();
                return std::all_of(fleet.bridges.begin(), fleet.bridges.end(),
                    [&](const Bridge &b) { return backAt(b).has_value(); });
            },
            40000);
        if (!back)
            return std::nullopt;
        Clock::time_point last = *up;
        for (const Bridge &b : fleet.bridges)
            last = std::max(last, *backAt(b));
        return std::make_pair(ms(last - *up), ms(last - stopped));
    };
    for (int r = 0; r < restarts && timeLeft(); ++r) {
        if (const auto times = restart()) {
            fromUp.push_back(times->first);
            fromStop.push_back(times->second);
        } else {
            ++restartsLost;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    std::sort(fromStop.begin(), fromStop.end());
    const std::string restartField = "lost=" + std::to_string(restartsLost)
        + " from_stop_max_ms=" + (fromStop.empty() ? "-" : std::to_string(int(fromStop.back())))
        + " topics=" + std::to_string(fleet.bridges.front().discovery.size() + 1);
    PtyLine::report("mqtt_broker_restart_ms", fromUp, restartField.c_str());
    std::fflush(stdout);
    failures += restartsLost;

    // The routes again, the broker now sending without delay.
    commander.reset();
    writeConf(true);
    if (restart()) {
        commander = std::make_unique<Client>("fleet-command", std::vector<std::string> {});
        if (commander->connect(port, 5000)) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            publishRoutes("mqtt_route_to_line_nodelay_ms");
        }
    }

    watcher.reset();
    relay.stop();
    for (Bridge &b : fleet.bridges) {
        end(b.panel);
        end(b.sim);
    }
    end(broker);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    mosquitto_lib_cleanup();
    return failures ? 1 : 0;
}
