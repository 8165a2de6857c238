#pragma once

#include "core/settings_file.h"
#include "net/connection_gate.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class OptionSources;
class Router;

// A way in to the switcher (a server, a connection to a broker), made once
// its options are read and started once the session runs.
class Interface
{
public:
    virtual ~Interface() = default;
    // Listens or connects; false with *error when it cannot. On success
    // *where says, for the log, where clients find it.
    virtual bool start(QString *where, QString *error) = 0;
};

// An interface that is one server: started by listening, found at the
// address it prints.
template <typename Server> class Listener : public Interface
{
public:
    using Where = QString (Server::*)() const;
    Listener(std::unique_ptr<Server> server, QString what, Where where)
        : m_server(std::move(server))
        , m_what(std::move(what))
        , m_where(where)
    {
    }
    bool start(QString *where, QString *error) override
    {
        if (!m_server->listen(error))
            return false;
        *where = m_what + QStringLiteral(" on ") + (m_server.get()->*m_where)();
        return true;
    }

private:
    std::unique_ptr<Server> m_server;
    QString m_what;
    Where m_where;
};

// What the listeners share, read before any of them.
struct SharedOptions
{
    // Networks whose clients are let in (--allow).
    AllowList allow;
    bool allowGiven = false;
    // The device of serial port 1, which names a bridge of this line.
    QString serialDevice;
};

// One entry of the program's table of interfaces: its options, once, and
// how it is made from them.
struct InterfaceEntry
{
    // The option that asks for it ("listen"), named in messages.
    QString option;
    // Whether it accepts connections (and so takes --allow).
    bool listens = true;
    std::vector<OptionSpec> options;
    // Makes the interface on the session's router.
    using Maker = std::function<std::unique_ptr<Interface>(Router &router)>;
    // Reads its options through `sources`. Not asked for: nothing, and
    // *maker left empty. Asked for: *maker set. A mistake: it is printed
    // and the exit code returned.
    std::function<std::optional<int>(
        const OptionSources &sources, const SharedOptions &shared, Maker *maker)>
        configure;
};
