#include "app/interface_table.h"

#include "mqtt/mqtt_interface.h"
#include "remote/remote_interface.h"
#include "videohub/videohub_interface.h"

const std::vector<InterfaceEntry> &interfaceTable()
{
    static const std::vector<InterfaceEntry> table
        = { remoteInterface(), videohubInterface(), mqttInterface() };
    return table;
}

const std::vector<OptionSpec> &programOptions()
{
    static const std::vector<OptionSpec> options = [] {
        OptionSpec ports = OptionSpec::valued(QStringLiteral("ports"),
            QStringLiteral("N=PATH[,N=PATH...]"),
            QStringLiteral("Serial ports to search, as N=PATH entries (N from 1 to 15); replaces "
                           "the machine's own ports and MATRIX_PANEL_PORTS."));
        ports.environment = QStringLiteral("MATRIX_PANEL_PORTS");
        OptionSpec settings = OptionSpec::valued(QStringLiteral("settings"), QStringLiteral("FILE"),
            QStringLiteral("Read the settings from FILE instead of "
                           "~/.config/matrix-panel/matrix-panel.conf; the command line wins over "
                           "it."));
        settings.inSettings = false;
        const OptionSpec headless = OptionSpec::flag(QStringLiteral("headless"),
            QStringLiteral("Run without windows, as a service for the network interfaces; needs "
                           "%1.")
                .arg(interfaceOptions(false, "or")));
        const OptionSpec allow = OptionSpec::valued(QStringLiteral("allow"),
            QStringLiteral("CIDR[,CIDR...]"),
            QStringLiteral("Accept clients of %1 only from these networks, e.g. 192.168.10.0/24; "
                           "needed for --videohub off loopback.")
                .arg(interfaceOptions(true, "and")));
        std::vector<OptionSpec> all = { ports, settings, headless, allow };
        for (const InterfaceEntry &entry : interfaceTable())
            all.insert(all.end(), entry.options.begin(), entry.options.end());
        return all;
    }();
    return options;
}

QString interfaceOptions(bool listening, const char *word)
{
    QStringList options;
    for (const InterfaceEntry &entry : interfaceTable()) {
        if (entry.listens || !listening)
            options << QStringLiteral("--") + entry.option;
    }
    const QString last = options.takeLast();
    return options.isEmpty() ? last
                             : options.join(QLatin1String(", ")) + QLatin1Char(' ')
            + QLatin1String(word) + QLatin1Char(' ') + last;
}
