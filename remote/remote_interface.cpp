#include "remote/remote_interface.h"

#include "core/command_line.h"
#include "core/option_sources.h"
#include "net/listen_address.h"
#if MATRIX_HAVE_REMOTE
#include "remote/remote_server.h"
#endif

namespace {

// The remote control is off unless asked for; off loopback it needs a
// token, or anyone on the network could route the switcher.
std::optional<int> configure(
    const OptionSources &sources, const SharedOptions &shared, InterfaceEntry::Maker *maker)
{
    const std::optional<OptionSources::Value> listen = sources.value(QStringLiteral("listen"));
    const std::optional<OptionSources::Value> token = sources.value(QStringLiteral("token"));
    if (!listen) {
        if (token && token->fromCommandLine)
            return commandLineError(QStringLiteral("--token: only with --listen"));
        return std::nullopt;
    }
#if MATRIX_HAVE_REMOTE
    QString error;
    const std::optional<ListenAddress> where = parseListenAddress(listen->text, &error);
    if (!where)
        return OptionSources::error(*listen, error);
    RemoteServer::Options remote;
    remote.address = where->address;
    remote.port = where->port;
    remote.token = token ? token->text.toUtf8() : QByteArray();
    if (token && remote.token.isEmpty())
        return OptionSources::error(*token, QStringLiteral("the token is empty"));
    if (!remote.address.isLoopback() && remote.token.isEmpty()) {
        return OptionSources::error(*listen,
            QStringLiteral("%1: an address other than loopback needs a token "
                           "(--token, token= in the settings or MATRIX_PANEL_TOKEN), or anyone "
                           "on the network could route the switcher")
                .arg(listen->text));
    }
    remote.allow = shared.allow;
    *maker = [remote](Router &router) {
        return std::make_unique<Listener<RemoteServer>>(
            std::make_unique<RemoteServer>(router, remote), QStringLiteral("remote control"),
            &RemoteServer::url);
    };
    return std::nullopt;
#else
    Q_UNUSED(shared);
    Q_UNUSED(maker);
    return OptionSources::error(*listen,
        QStringLiteral(
            "this build has no remote control (it needs Qt HTTP Server and Qt WebSockets)"));
#endif
}

} // namespace

InterfaceEntry remoteInterface()
{
    InterfaceEntry entry;
    entry.option = QStringLiteral("listen");
    const OptionSpec listen
        = OptionSpec::valued(QStringLiteral("listen"), QStringLiteral("[ADDR:]PORT"),
            QStringLiteral("Offer remote control (a JSON API, a WebSocket and a browser panel) on "
                           "ADDR:PORT; ADDR defaults to 127.0.0.1. Off unless given."));
    OptionSpec token = OptionSpec::valued(QStringLiteral("token"), QStringLiteral("TOKEN"),
        QStringLiteral("The token every remote request must carry (Authorization: Bearer); "
                       "needed off loopback. MATRIX_PANEL_TOKEN also sets it, unseen by ps."));
    token.environment = QStringLiteral("MATRIX_PANEL_TOKEN");
    token.secret = true;
    token.check = [](const QString &value) -> std::optional<QString> {
        if (value.isEmpty())
            return QStringLiteral("the token is empty");
        return std::nullopt;
    };
    entry.options = { listen, token };
    entry.configure = configure;
    return entry;
}
