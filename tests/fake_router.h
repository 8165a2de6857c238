#pragma once

#include "session/router.h"

#include <QString>
#include <optional>
#include <set>
#include <string>
#include <vector>

// A router without a switcher, for testing an interface on its own: it holds
// whatever state the test sets, records what it is asked, and answers with
// the refusal the test chooses (or queues). changed() and dropped() are
// emitted when the test says.
class FakeRouter : public Router
{
public:
    ShownState shownState;
    Names nameTable;
    OutputLocks lockTable;
    SwitcherModel model = SwitcherModel::FourOutput;
    int portNumber = 1;
    QString deviceName = QStringLiteral("/dev/pts/9");

    // The next answers: nothing queues, or this refusal.
    std::optional<Refusal> refuse;
    // What was asked, in order.
    std::vector<Route> routes;
    Client routedBy = 0; // who asked for the last routes
    std::vector<uint8_t> commands;
    std::vector<std::vector<NameChange>> renames;
    std::vector<Preset> presetList;
    std::set<int> active;
    std::vector<Preset> storeAsks;
    std::vector<int> recalled; // ids recalled, and deleted as minus their id
    std::vector<std::pair<Client, std::vector<LockRequest>>> lockRequests;
    std::vector<Client> released;

    FakeRouter()
    {
        shownState.linkUp = true;
        shownState.model = SwitcherModel::FourOutput;
        shownState.powerOn = true;
    }

    const ShownState &shown() const override { return shownState; }
    const Names &names() const override { return nameTable; }
    const OutputLocks &locks() const override { return lockTable; }
    SwitcherModel lastModel() const override { return model; }
    int port() const override { return portNumber; }
    QString device() const override { return deviceName; }
    QString lastDevice() const override { return deviceName; }

    Client newClient() override { return ++m_lastClient; }
    void releaseClient(Client who) override
    {
        released.push_back(who);
        lockTable.release(who);
    }

    RouterAnswer route(const Route &r, Client who = 0) override { return salvo({ r }, who); }
    RouterAnswer salvo(const std::vector<Route> &list, Client who = 0) override
    {
        routedBy = who;
        if (refuse)
            return { refuse, {} };
        RouterAnswer answer;
        for (const Route &r : list) {
            routes.push_back(r);
            answer.commands.push_back(uint8_t((r.input - 1) + 4 * (r.output - 1)));
        }
        return answer;
    }
    RouterAnswer command(uint8_t x) override
    {
        if (refuse)
            return { refuse, {} };
        commands.push_back(x);
        return { std::nullopt, { x } };
    }
    void rename(const std::vector<NameChange> &changes, Done done) override
    {
        renames.push_back(changes);
        if (refuse)
            return done({ refuse, {} });
        for (const NameChange &c : changes)
            (c.output ? nameTable.outputs : nameTable.inputs)[c.index] = c.name;
        done({});
    }

    const std::vector<Preset> &presets() const override { return presetList; }
    bool presetActive(int id) const override { return active.count(id) != 0; }
    void storePreset(const Preset &preset, Done done) override
    {
        storeAsks.push_back(preset);
        if (refuse)
            return done({ refuse, {} });
        Preset stored = preset;
        if (stored.id == 0)
            stored.id = int(presetList.size()) + 1;
        presetList.push_back(stored);
        RouterAnswer answer;
        answer.presetId = stored.id;
        done(answer);
    }
    void deletePreset(int id, Done done) override
    {
        recalled.push_back(-id);
        done(refuse ? RouterAnswer { refuse, {} } : RouterAnswer {});
    }
    RouterAnswer recall(int id, Client = 0) override
    {
        recalled.push_back(id);
        if (refuse)
            return { refuse, {} };
        return {};
    }
    RouterAnswer lock(const std::vector<LockRequest> &requests, Client who) override
    {
        lockRequests.emplace_back(who, requests);
        if (refuse)
            return { refuse, {} };
        for (const LockRequest &r : requests)
            lockTable.set(r.output - 1, r.change == LockChange::Take ? who : 0);
        return {};
    }

    // What was asked since the last call, in short: "3>2/1" (input 3 to output 2 for client 1),
    // "c16", "out2=Projector", "1O/1" (output 1 taken by client 1); then forgets it.
    std::string asked()
    {
        std::string s;
        for (const Route &r : routes)
            s += std::to_string(r.input) + ">" + std::to_string(r.output) + "/"
                + std::to_string(routedBy) + " ";
        for (const uint8_t x : commands)
            s += "c" + std::to_string(x) + " ";
        for (const std::vector<NameChange> &changes : renames) {
            for (const NameChange &c : changes)
                s += (c.output ? "out" : "in") + std::to_string(c.index + 1) + "="
                    + c.name.toStdString() + " ";
        }
        for (const auto &[who, requests] : lockRequests) {
            for (const LockRequest &r : requests)
                s += std::to_string(r.output) + "OUF"[int(r.change)] + "/" + std::to_string(who)
                    + " ";
        }
        for (const Preset &p : storeAsks) {
            s += "store" + std::to_string(p.id) + ":" + p.name.toStdString() + ":";
            for (const auto &[output, input] : p.routes)
                s += char('A' + output - 1) + std::to_string(input);
            s += " ";
        }
        for (const int id : recalled)
            s += (id > 0 ? "recall" : "delete") + std::to_string(std::abs(id)) + " ";
        routes.clear();
        commands.clear();
        renames.clear();
        lockRequests.clear();
        storeAsks.clear();
        recalled.clear();
        return s.substr(0, s.empty() ? 0 : s.size() - 1);
    }

    // Tells the interfaces that `what` changed from `before`.
    void change(int what, const ShownState &before, const Names &namesBefore = {})
    {
        RouterChange c;
        c.what = what;
        c.shownBefore = before;
        c.namesBefore = namesBefore;
        emit changed(c);
    }

private:
    Client m_lastClient = 0;
};
