#include "session/session_router.h"

#include "core/command_frame.h"
#include "link/command_transmitter.h"
#include "link/serial_port.h"

#include <algorithm>

namespace {
QChar letter(int output)
{
    return QChar(u'A' + output - 1);
}
} // namespace

SessionRouter::SessionRouter(const ShownState &shown, const SerialPort &port,
    CommandTransmitter &transmitter, QObject *parent)
    : Router(parent)
    , m_shown(shown)
    , m_port(port)
    , m_transmitter(transmitter)
{
    m_pending.shownBefore = shown;
    m_pending.namesBefore = m_names;
}

int SessionRouter::port() const
{
    return m_port.commPort();
}

QString SessionRouter::device() const
{
    return m_port.deviceName();
}

void SessionRouter::load()
{
    m_names = m_namesAsked = m_nameStore.load();
    m_pending.namesBefore = m_names;
    if (m_namesShown)
        m_namesShown(m_names);
    m_presets = m_presetsAsked = m_presetStore.load();
    for (const Preset &preset : m_presets)
        m_nextPresetId = std::max(m_nextPresetId, preset.id + 1);
}

void SessionRouter::flush()
{
    m_nameStore.flush();
    m_presetStore.flush();
}

std::optional<Refusal> SessionRouter::lineRefusal() const
{
    // Like the panel, which routes only while the switcher is there.
    if (!m_shown.linkUp || !m_port.isOpen())
        return Refusal { Refusal::NoLink,
            QStringLiteral("no switcher is connected; the program is searching for one") };
    return std::nullopt;
}

std::optional<Refusal> SessionRouter::queueRefusal(size_t commands) const
{
    if (int(commands) > m_transmitter.room())
        return Refusal { Refusal::QueueFull,
            QStringLiteral("the command queue is full; try again when the frames in flight "
                           "have gone out") };
    return std::nullopt;
}

RouterAnswer SessionRouter::queue(const std::vector<uint8_t> &commands)
{
    if (std::optional<Refusal> refused = queueRefusal(commands.size()))
        return { refused, {} };
    for (const uint8_t x : commands)
        m_transmitter.queue(x);
    return { std::nullopt, commands };
}

RouterAnswer SessionRouter::route(const Route &r, Client who)
{
    return salvo({ r }, who);
}

RouterAnswer SessionRouter::salvo(const std::vector<Route> &routes, Client who)
{
    if (routes.empty())
        return { Refusal { Refusal::Invalid, QStringLiteral("no route to make") }, {} };
    std::vector<uint8_t> commands;
    for (const Route &r : routes) {
        if (r.input < 1 || r.input > 4 || r.output < 1 || r.output > 4)
            return { Refusal { Refusal::Invalid,
                         QStringLiteral("no input %1 or output %2 on any switcher")
                             .arg(r.input)
                             .arg(r.output) },
                {} };
        commands.push_back(CommandFrame::route(r.input, r.output));
    }
    if (std::optional<Refusal> refused = lineRefusal())
        return { refused, {} };
    for (const Route &r : routes) {
        if (r.output > outputCount(m_shown.model))
            return { Refusal { Refusal::NotOnModel,
                         QStringLiteral("output %1: this two-output switcher has outputs A and B")
                             .arg(letter(r.output)) },
                {} };
        // An output another client holds takes no route but theirs.
        if (!m_locks.mayRoute(r.output - 1, who))
            return { Refusal { Refusal::Held,
                         QStringLiteral("output %1 is locked by a Videohub client")
                             .arg(letter(r.output)) },
                {} };
    }
    return queue(commands);
}

RouterAnswer SessionRouter::command(uint8_t x)
{
    if (x != CommandFrame::Command16 && x != CommandFrame::Command40)
        return { Refusal { Refusal::Invalid, QStringLiteral("the command must be 16 or 40") }, {} };
    if (std::optional<Refusal> refused = lineRefusal())
        return { refused, {} };
    return queue({ x });
}

void SessionRouter::rename(const std::vector<NameChange> &changes, Done done)
{
    Names next = m_namesAsked;
    for (const NameChange &change : changes) {
        if (change.index < 0 || change.index >= 4)
            return done(
                { Refusal { Refusal::Invalid,
                      QStringLiteral("no such %1").arg(change.output ? "output" : "input") },
                    {} });
        if (const std::optional<QString> problem = nameProblem(change.name))
            return done({ Refusal { Refusal::Invalid, *problem }, {} });
        (change.output ? next.outputs : next.inputs)[change.index] = change.name;
    }
    if (next == m_namesAsked)
        return done({});
    m_namesAsked = next;
    // The names change once they are stored, all of them or none.
    m_nameStore.save(next, [this, next, done](bool stored, const QString &error) {
        if (!stored) {
            m_namesAsked = m_names;
            return done({ Refusal { Refusal::NotStored,
                              QStringLiteral("the names could not be stored: %1").arg(error) },
                {} });
        }
        if (next != m_names) {
            m_names = next;
            m_pending.what |= RouterChange::NamesChanged;
            if (m_namesShown)
                m_namesShown(m_names);
        }
        done({});
    });
}

void SessionRouter::storePreset(const Preset &asked, Done done)
{
    Preset preset = asked;
    std::vector<Preset> next = m_presetsAsked;
    const auto at = std::find_if(
        next.begin(), next.end(), [&](const Preset &p) { return p.id == preset.id; });
    if (preset.id != 0 && at == next.end())
        return done(
            { Refusal { Refusal::NotFound, QStringLiteral("there is no preset %1").arg(preset.id) },
                {} });
    if (preset.id == 0 && int(next.size()) >= Preset::Limit)
        return done({ Refusal { Refusal::TooMany,
                          QStringLiteral("there are %1 presets already, as many as are kept; "
                                         "delete one first")
                              .arg(Preset::Limit) },
            {} });
    if (preset.routes.empty()) {
        // What the switcher reports now, for every output it has.
        if (!m_shown.linkUp)
            return done({ Refusal { Refusal::NoLink,
                              QStringLiteral("no switcher is connected, so there is no routing "
                                             "to keep; give the routes") },
                {} });
        for (int k = 1; k <= outputCount(m_shown.model); ++k) {
            if (m_shown.shownInput[k - 1] == 0)
                return done({ Refusal { Refusal::NoLink,
                                  QStringLiteral("the switcher has not yet reported what output "
                                                 "%1 shows; give the routes")
                                      .arg(letter(k)) },
                    {} });
            preset.routes[k] = m_shown.shownInput[k - 1];
        }
    }
    if (const std::optional<QString> problem = presetProblem(preset))
        return done({ Refusal { Refusal::Invalid, *problem }, {} });
    if (preset.id == 0) {
        preset.id = m_nextPresetId++;
        next.push_back(preset);
    } else {
        *at = preset;
    }
    savePresets(std::move(next), preset.id, std::move(done));
}

void SessionRouter::deletePreset(int id, Done done)
{
    std::vector<Preset> next = m_presetsAsked;
    const auto at
        = std::find_if(next.begin(), next.end(), [id](const Preset &p) { return p.id == id; });
    if (at == next.end())
        return done(
            { Refusal { Refusal::NotFound, QStringLiteral("there is no preset %1").arg(id) }, {} });
    next.erase(at);
    savePresets(std::move(next), id, std::move(done));
}

void SessionRouter::savePresets(std::vector<Preset> next, int id, Done done)
{
    m_presetsAsked = next;
    m_presetStore.save(next, [this, next, id, done](bool stored, const QString &error) {
        if (!stored) {
            m_presetsAsked = m_presets;
            return done({ Refusal { Refusal::NotStored,
                              QStringLiteral("the presets could not be stored: %1").arg(error) },
                {} });
        }
        if (next != m_presets) {
            m_presets = next;
            m_active = activePresets();
            m_pending.what |= RouterChange::Presets;
        }
        RouterAnswer answer;
        answer.presetId = id;
        done(answer);
    });
}

RouterAnswer SessionRouter::recall(int id, Client who)
{
    const auto at = std::find_if(
        m_presets.begin(), m_presets.end(), [id](const Preset &p) { return p.id == id; });
    if (at == m_presets.end())
        return { Refusal { Refusal::NotFound, QStringLiteral("there is no preset %1").arg(id) },
            {} };
    std::vector<Route> routes;
    for (const auto &[output, input] : at->routes)
        routes.push_back({ input, output });
    return salvo(routes, who);
}

std::set<int> SessionRouter::activePresets() const
{
    std::set<int> active;
    if (!m_shown.linkUp)
        return active;
    for (const Preset &preset : m_presets) {
        const bool shown = std::all_of(preset.routes.begin(), preset.routes.end(),
            [this](const std::pair<const int, int> &route) {
                return m_shown.shownInput[route.first - 1] == route.second;
            });
        if (shown)
            active.insert(preset.id);
    }
    return active;
}

RouterAnswer SessionRouter::lock(const std::vector<LockRequest> &requests, Client who)
{
    for (const LockRequest &r : requests) {
        if (r.output < 1 || r.output > 4)
            return { Refusal { Refusal::Invalid, QStringLiteral("no output %1").arg(r.output) },
                {} };
        // Only the holder gives an output back; forcing frees it whoever holds it.
        if (r.change != LockChange::Force && !m_locks.mayRoute(r.output - 1, who))
            return {
                Refusal { Refusal::Held,
                    QStringLiteral("output %1 is locked by another client").arg(letter(r.output)) },
                {}
            };
    }
    for (const LockRequest &r : requests)
        m_locks.set(r.output - 1, r.change == LockChange::Take ? who : 0);
    noteLocks();
    return {};
}

void SessionRouter::releaseClient(Client who)
{
    if (m_locks.release(who))
        noteLocks();
}

std::array<Router::Client, 4> SessionRouter::currentHolders() const
{
    return { m_locks.holder(0), m_locks.holder(1), m_locks.holder(2), m_locks.holder(3) };
}

void SessionRouter::noteLocks()
{
    m_pending.what |= RouterChange::Locks;
}

void SessionRouter::commandsDropped(const std::vector<uint8_t> &commands, const char *why)
{
    emit dropped(commands, QString::fromLatin1(why));
}

void SessionRouter::afterTick(bool inSearch)
{
    // Runs after every main tick: when nothing is new it costs a few compares.
    if (inSearch) {
        if (m_pending.what == 0)
            return;
        const RouterChange change = m_pending;
        m_pending.what = 0;
        m_pending.namesBefore = m_names;
        m_pending.locksBefore = currentHolders();
        emit changed(change);
        return;
    }
    const ShownState &before = m_pending.shownBefore;
    if (m_shown.linkUp && m_shown.model != SwitcherModel::None) {
        m_lastModel = m_shown.model;
        if (m_port.commPort() != m_lastDevicePort || m_lastDevice.isEmpty()) {
            m_lastDevicePort = m_port.commPort();
            m_lastDevice = m_port.deviceName();
        }
    }
    if (m_shown.shownInput != before.shownInput)
        m_pending.what |= RouterChange::Routing;
    if (m_shown.linkUp != before.linkUp || m_shown.model != before.model
        || m_port.commPort() != m_toldPort || !m_toldOnce)
        m_pending.what |= RouterChange::Link;
    if (m_shown.powerOn != before.powerOn || m_shown.outputLit != before.outputLit
        || m_shown.inputLit != before.inputLit)
        m_pending.what |= RouterChange::Power;
    if (m_pending.what & (RouterChange::Routing | RouterChange::Link | RouterChange::Presets)) {
        std::set<int> active = activePresets();
        if (active != m_active) {
            m_active = std::move(active);
            m_pending.what |= RouterChange::Presets;
        }
    }
    if (m_pending.what == 0)
        return;
    const RouterChange change = m_pending;
    m_pending.what = 0;
    m_pending.shownBefore = m_shown;
    m_pending.namesBefore = m_names;
    m_pending.locksBefore = currentHolders();
    m_toldPort = m_port.commPort();
    m_toldOnce = true;
    emit changed(change);
}
