#pragma once

#include <QList>
#include <QString>
#include <map>
#include <optional>

// Maps the port numbers 1 to 15 that the program searches to serial devices.
class PortTable
{
public:
    static constexpr int FirstPort = 1;
    static constexpr int LastPort = 15;
    static constexpr char EnvironmentVariable[] = "MATRIX_PANEL_PORTS";

    // Linux: 1-4 /dev/ttyS0-3, 5-12 /dev/ttyUSB0-7, 13-15 /dev/ttyACM0-2.
    // Windows: port n is COMn.
    static PortTable platformDefault();

    // Parses "N=PATH,N=PATH,...". Ports not named do not exist; an empty text
    // names none. On a malformed text returns nothing and sets *error.
    static std::optional<PortTable> parse(const QString &text, QString *error);

    // The table from MATRIX_PANEL_PORTS when it is set, else the default.
    static std::optional<PortTable> fromEnvironment(QString *error);

    // The device of port `number`, or an empty string when it has none.
    QString device(int number) const;
    // The numbers that have a device, in order.
    QList<int> numbers() const;

    // "1-4, 6, 9-15": port numbers as a message names them.
    static QString ranges(QList<int> numbers);

private:
    std::map<int, QString> m_devices;
};
