#include "link/port_table.h"

#include <QStringList>
#include <algorithm>

PortTable PortTable::platformDefault()
{
    PortTable table;
    for (int n = FirstPort; n <= LastPort; ++n) {
#ifdef Q_OS_WIN
        table.m_devices[n] = QStringLiteral("COM%1").arg(n);
#else
        if (n <= 4)
            table.m_devices[n] = QStringLiteral("/dev/ttyS%1").arg(n - 1);
        else if (n <= 12)
            table.m_devices[n] = QStringLiteral("/dev/ttyUSB%1").arg(n - 5);
        else
            table.m_devices[n] = QStringLiteral("/dev/ttyACM%1").arg(n - 13);
#endif
    }
    return table;
}

std::optional<PortTable> PortTable::parse(const QString &text, QString *error)
{
    PortTable table;
    if (text.trimmed().isEmpty())
        return table;

    const QStringList entries = text.split(QLatin1Char(','));
    for (const QString &rawEntry : entries) {
        const QString entry = rawEntry.trimmed();
        const int eq = entry.indexOf(QLatin1Char('='));
        if (eq < 0) {
            *error = QStringLiteral("entry \"%1\" is not of the form N=PATH").arg(entry);
            return std::nullopt;
        }
        bool numeric = false;
        const QString numberText = entry.left(eq).trimmed();
        const int number = numberText.toInt(&numeric);
        if (!numeric) {
            *error = QStringLiteral("\"%1\" is not a port number").arg(numberText);
            return std::nullopt;
        }
        if (number < FirstPort || number > LastPort) {
            *error = QStringLiteral("port %1 is outside %2 to %3")
                         .arg(number)
                         .arg(FirstPort)
                         .arg(LastPort);
            return std::nullopt;
        }
        const QString path = entry.mid(eq + 1).trimmed();
        if (path.isEmpty()) {
            *error = QStringLiteral("port %1 has no device path").arg(number);
            return std::nullopt;
        }
        if (table.m_devices.count(number)) {
            *error = QStringLiteral("port %1 is named twice").arg(number);
            return std::nullopt;
        }
        table.m_devices[number] = path;
    }
    return table;
}

std::optional<PortTable> PortTable::fromEnvironment(QString *error)
{
    if (!qEnvironmentVariableIsSet(EnvironmentVariable))
        return platformDefault();
    auto table = parse(qEnvironmentVariable(EnvironmentVariable), error);
    if (!table)
        *error = QStringLiteral("%1: %2").arg(QLatin1String(EnvironmentVariable), *error);
    return table;
}

QList<int> PortTable::numbers() const
{
    QList<int> numbers;
    for (const auto &entry : m_devices)
        numbers << entry.first;
    return numbers;
}

QString PortTable::ranges(QList<int> numbers)
{
    std::sort(numbers.begin(), numbers.end());
    QStringList ranges;
    for (int i = 0; i < numbers.size();) {
        int j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        ranges << (i == j ? QString::number(numbers[i])
                          : QStringLiteral("%1-%2").arg(numbers[i]).arg(numbers[j]));
        i = j + 1;
    }
    return ranges.join(QStringLiteral(", "));
}

QString PortTable::device(int number) const
{
    const auto it = m_devices.find(number);
    return it == m_devices.end() ? QString() : it->second;
}
