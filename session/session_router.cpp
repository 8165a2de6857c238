#include "session/session_router.h"

#include "core/command_frame.h"
#include "link/command_transmitter.h"
#include "link/serial_port.h"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcNames)

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

void SessionRouter::loadNames(NameStore &store)
{
    m_store = &store;
    m_names = store.load();
    m_pending.namesBefore = m_names;
    if (m_namesShown)
        m_namesShown(m_names);
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

RouterAnswer SessionRouter::rename(const std::vector<NameChange> &changes)
{
    Names next = m_names;
    for (const NameChange &change : changes) {
        if (change.index < 0 || change.index >= 4)
            return { Refusal { Refusal::Invalid,
                         QStringLiteral("no such %1").arg(change.output ? "output" : "input") },
                {} };
        if (const std::optional<QString> problem = nameProblem(change.name))
            return { Refusal { Refusal::Invalid, *problem }, {} };
        (change.output ? next.outputs : next.inputs)[change.index] = change.name;
    }
    if (next == m_names)
        return {};
    m_names = next;
    m_pending.what |= RouterChange::NamesChanged;
    if (m_namesShown)
        m_namesShown(m_names);
    QString failure;
    // The names hold for this run all the same.
    if (m_store && !m_store->save(m_names, &failure))
        qCWarning(lcNames).noquote() << failure;
    return {};
}

RouterAnswer SessionRouter::lock(const std::vector<LockRequest> &requests, Client who)
{
    for (const LockRequest &r : requests) {
        if (r.output < 1 || r.output > 4)
            return { Refusal { Refusal::Invalid, QStringLiteral("no output %1").arg(r.output) },
                {} };
        // Only the holder gives an output back; forcing frees it whoever holds it.
        if (r.change != LockChange::Force && !m_locks.mayRoute(r.output - 1, who))
            return { Refusal { Refusal::Held,
                         QStringLiteral("output %1 is locked by another client")
                             .arg(letter(r.output)) },
                {} };
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
