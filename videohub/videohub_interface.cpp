#include "videohub/videohub_interface.h"

#include "core/command_line.h"
#include "core/option_sources.h"
#include "net/listen_address.h"
#include "videohub/videohub_server.h"

namespace {

// The router protocol has no authentication, so off loopback it needs an
// allow-list of client addresses.
std::optional<int> configure(
    const OptionSources &sources, const SharedOptions &shared, InterfaceEntry::Maker *maker)
{
    const std::optional<OptionSources::Value> where = sources.value(QStringLiteral("videohub"));
    const std::optional<OptionSources::Value> noDiscovery
        = sources.value(QStringLiteral("no-discovery"));
    if (!where) {
        if (noDiscovery)
            return commandLineError(QStringLiteral("--no-discovery: only with --videohub"));
        return std::nullopt;
    }
    QString error;
    const std::optional<ListenAddress> address = parseListenAddress(where->text, &error);
    if (!address)
        return OptionSources::error(*where, error);
    VideohubServer::Options server;
    server.address = address->address;
    server.port = address->port;
    // --no-discovery on the command line wins over discovery=true in the
    // settings; the file can only say true or false.
    const std::optional<OptionSources::Value> discovery
        = sources.value(QStringLiteral("discovery"));
    server.discovery = !noDiscovery && !(discovery && discovery->text == QLatin1String("false"));
    server.allow = shared.allow;
    if (!server.address.isLoopback() && !shared.allowGiven) {
        return OptionSources::error(*where,
            QStringLiteral("%1: the router protocol has no password, so an address other "
                           "than loopback needs --allow CIDR[,CIDR...] (or allow= in the "
                           "settings) naming the networks of its clients")
                .arg(where->text));
    }
    *maker = [server](Router &router) {
        return std::make_unique<Listener<VideohubServer>>(
            std::make_unique<VideohubServer>(router, server), QStringLiteral("Videohub server"),
            &VideohubServer::address);
    };
    return std::nullopt;
}

} // namespace

InterfaceEntry videohubInterface()
{
    InterfaceEntry entry;
    entry.option = QStringLiteral("videohub");
    const OptionSpec videohub
        = OptionSpec::valued(QStringLiteral("videohub"), QStringLiteral("[ADDR:]PORT"),
            QStringLiteral("Serve the Videohub router protocol of control software (Companion and "
                           "others) on ADDR:PORT (usually 9990); ADDR defaults to 127.0.0.1. Off "
                           "unless given."));
    const OptionSpec noDiscovery = OptionSpec::flag(QStringLiteral("no-discovery"),
        QStringLiteral("Do not announce the --videohub server on the network (DNS-SD)."));
    OptionSpec discovery
        = OptionSpec::valued(QStringLiteral("discovery"), QStringLiteral("true|false"),
            QStringLiteral("Announce the --videohub server on the network (DNS-SD)."));
    discovery.onCommandLine = false;
    discovery.check = [](const QString &value) -> std::optional<QString> {
        if (value != QLatin1String("true") && value != QLatin1String("false"))
            return QStringLiteral("'%1' is neither true nor false").arg(value);
        return std::nullopt;
    };
    entry.options = { videohub, noDiscovery, discovery };
    entry.configure = configure;
    return entry;
}
