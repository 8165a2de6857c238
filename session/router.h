#pragma once

#include "core/names.h"
#include "core/output_locks.h"
#include "core/presets.h"
#include "core/shown_state.h"

#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// Why the router did not do what it was asked. Every interface maps the kind
// to its own words (HTTP status, NAK, an error topic) and passes the message
// on as it stands.
struct Refusal
{
    enum Kind {
        NoLink, // no switcher is connected
        Held, // another client holds the output
        NotOnModel, // the switcher seen has no such output
        QueueFull, // the command queue has no room for all of it
        Invalid, // a request that can never be carried out (a bad name, no such port)
        NotFound, // no preset has that id
        TooMany, // every place for a preset is taken
        NotStored, // the file could not be written: nothing changed
    };
    Kind kind;
    QString message;
};

// The answer to a request: the commands queued, or why none was.
struct RouterAnswer
{
    std::optional<Refusal> refusal;
    std::vector<uint8_t> commands;
    // The preset stored, when one was.
    int presetId = 0;

    bool ok() const { return !refusal; }
};

// One route: input 1 to 4 onto output 1 to 4 (A to D).
struct Route
{
    int input = 0;
    int output = 0;

    bool operator==(const Route &o) const { return input == o.input && output == o.output; }
};

// What changed since the last notification, and what it was before, so that
// an interface that speaks in deltas can say only what is new.
struct RouterChange
{
    enum What {
        Routing = 1, // a caption names another input
        Link = 2, // link up or down, model, port tried
        Power = 4, // on or standby, lit buttons
        NamesChanged = 8,
        Locks = 16,
        Presets = 32, // a preset stored or deleted, or the set of active ones
    };
    int what = 0;
    ShownState shownBefore;
    Names namesBefore;
    std::array<OutputLocks::Holder, 4> locksBefore {};

    bool has(What w) const { return (what & w) != 0; }
};

// The one place where a request from any interface becomes commands for the
// switcher. Each request is checked whole (link up, ports on the model now
// seen, locks, room in the queue) and then queued behind the frame in
// flight, or refused with a reason; nothing is queued in part. What the
// router reports is what the switcher reports: an accepted route shows only
// once the switcher's status frames say so.
//
// Clients that can hold outputs (Videohub connections) get a number from
// newClient(); 0 is a client that holds nothing. The panel is not bound by
// locks and keeps its own path to the line.
class Router : public QObject
{
    Q_OBJECT
public:
    using Client = OutputLocks::Holder;
    enum class LockChange { Take, Release, Force };
    struct LockRequest
    {
        int output = 0; // 1 to 4
        LockChange change = LockChange::Take;
    };

    // Called once a change is stored, or refused; perhaps a second later,
    // when changes come faster than the files should be written.
    using Done = std::function<void(const RouterAnswer &answer)>;

    using QObject::QObject;

    // What the switcher reports, as the panel shows it.
    virtual const ShownState &shown() const = 0;
    virtual const Names &names() const = 0;
    virtual const OutputLocks &locks() const = 0;
    // The model last seen on a live link (the four-output one before any):
    // clients keep seeing it while the link is down.
    virtual SwitcherModel lastModel() const = 0;
    int outputs() const { return outputCount(lastModel()); }
    // The port in use, or the one the search tried last, and its device.
    virtual int port() const = 0;
    virtual QString device() const = 0;
    // The serial device the switcher was last seen on (empty before any).
    virtual QString lastDevice() const = 0;

    virtual Client newClient() = 0;
    // The client is gone: the outputs it held are free.
    virtual void releaseClient(Client who) = 0;

    virtual RouterAnswer route(const Route &route, Client who = 0) = 0;
    // All of `routes` or none of them.
    virtual RouterAnswer salvo(const std::vector<Route> &routes, Client who = 0) = 0;
    // Command 16 or 40, as the panel's two command buttons send them.
    virtual RouterAnswer command(uint8_t x) = 0;
    // All of the names or none, answered once they are stored.
    virtual void rename(const std::vector<NameChange> &changes, Done done) = 0;
    // Take or release outputs for `who`, or force them free, all or none.
    virtual RouterAnswer lock(const std::vector<LockRequest> &requests, Client who) = 0;

    // The presets in id order, and whether each is in force: every route
    // it holds is what the switcher reports.
    virtual const std::vector<Preset> &presets() const = 0;
    virtual bool presetActive(int id) const = 0;
    // Stores `preset`: a new one when its id is 0, else it replaces the one
    // with that id. Without routes it holds what the switcher reports now
    // for every output of the model. Answered once stored.
    virtual void storePreset(const Preset &preset, Done done) = 0;
    virtual void deletePreset(int id, Done done) = 0;
    // Every route of the preset as one salvo, even those the switcher shows
    // already (its report may lag), or none of them.
    virtual RouterAnswer recall(int id, Client who = 0) = 0;

signals:
    // At most once a main tick, after it, when anything that clients see
    // has changed.
    void changed(const RouterChange &change);
    // Commands accepted and then dropped before they went out (the link was
    // lost, the port closed or changed); `routes` holds those that were routes.
    void dropped(const std::vector<uint8_t> &commands, const QString &why);
};
