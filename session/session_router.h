#pragma once

#include "core/names.h"
#include "core/output_locks.h"
#include "core/presets.h"
#include "core/shown_state.h"
#include "session/router.h"

#include <functional>
#include <set>

class CommandTransmitter;
class SerialPort;

// The router of a switcher session: the checks every request passes, the
// names and locks clients set, and the one notification of what changed.
class SessionRouter : public Router
{
    Q_OBJECT
public:
    SessionRouter(const ShownState &shown, const SerialPort &port, CommandTransmitter &transmitter,
        QObject *parent = nullptr);

    const ShownState &shown() const override { return m_shown; }
    const Names &names() const override { return m_names; }
    const OutputLocks &locks() const override { return m_locks; }
    SwitcherModel lastModel() const override { return m_lastModel; }
    int port() const override;
    QString device() const override;
    QString lastDevice() const override { return m_lastDevice; }

    Client newClient() override { return ++m_lastClient; }
    void releaseClient(Client who) override;

    RouterAnswer route(const Route &route, Client who = 0) override;
    RouterAnswer salvo(const std::vector<Route> &routes, Client who = 0) override;
    RouterAnswer command(uint8_t x) override;
    void rename(const std::vector<NameChange> &changes, Done done) override;
    RouterAnswer lock(const std::vector<LockRequest> &requests, Client who) override;

    const std::vector<Preset> &presets() const override { return m_presets; }
    bool presetActive(int id) const override { return m_active.count(id) != 0; }
    void storePreset(const Preset &preset, Done done) override;
    void deletePreset(int id, Done done) override;
    RouterAnswer recall(int id, Client who = 0) override;

    // The names and presets files, read once at start.
    void load();
    // Writes what is still pending, for a clean exit.
    void flush();
    NameStore &nameStore() { return m_nameStore; }
    PresetStore &presetStore() { return m_presetStore; }
    // Told of the names as they change, for the panel's tooltips.
    void onNames(std::function<void(const Names &)> handler) { m_namesShown = std::move(handler); }

    // After a main tick: tells the interfaces what changed since they last
    // heard, if anything did. A tick that finds the main tick still inside
    // the port search passes on only what clients changed (names, locks):
    // the switcher's state is half-way through its round then.
    void afterTick(bool inSearch = false);
    void commandsDropped(const std::vector<uint8_t> &commands, const char *why);

private:
    std::optional<Refusal> lineRefusal() const;
    std::optional<Refusal> queueRefusal(size_t commands) const;
    RouterAnswer queue(const std::vector<uint8_t> &commands);
    void noteLocks();
    std::array<Client, 4> currentHolders() const;
    void savePresets(std::vector<Preset> next, int id, Done done);
    std::set<int> activePresets() const;

    const ShownState &m_shown;
    const SerialPort &m_port;
    CommandTransmitter &m_transmitter;
    NameStore m_nameStore;
    PresetStore m_presetStore;
    // What is stored, and what is on its way to the files: a change counts
    // once it is stored.
    Names m_names;
    Names m_namesAsked;
    std::vector<Preset> m_presets;
    std::vector<Preset> m_presetsAsked;
    int m_nextPresetId = 1;
    std::set<int> m_active;
    OutputLocks m_locks;
    Client m_lastClient = 0;
    SwitcherModel m_lastModel = SwitcherModel::FourOutput;
    QString m_lastDevice;
    int m_lastDevicePort = 0;
    std::function<void(const Names &)> m_namesShown;

    // What clients were told last, and what has changed since.
    RouterChange m_pending;
    int m_toldPort = 0;
    bool m_toldOnce = false;
};
