#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// What the program asks of a serial port. Port numbers are 1 to 15 as the
// user knows them; the implementation maps them to devices. Every operation
// reports failure through its result and never throws: the callers skip a
// failed step and go on.
class SerialPort
{
public:
    virtual ~SerialPort() = default;

    // Selects the port for the next open; only meaningful while closed.
    virtual bool setCommPort(int number) = 0;
    virtual int commPort() const = 0;
    // Line settings in the "9600,n,8,1" form.
    virtual bool setSettings(const QString &settings) = 0;
    virtual bool setDtrEnable(bool enable) = 0;

    virtual bool open() = 0;
    virtual bool close() = 0;
    virtual bool isOpen() const = 0;

    // Hands the bytes to the device for sending; does not wait for the line.
    virtual bool write(const QByteArray &bytes) = 0;
    // Received bytes waiting to be read, or nothing when the port cannot say.
    virtual std::optional<int> bytesWaiting() = 0;
    // Every byte waiting, in arrival order; leaves the receive buffer empty.
    virtual std::optional<QByteArray> readAll() = 0;

    // Why the last failed operation failed, for messages at start-up.
    virtual QString errorString() const = 0;
    // True when the last failure was a permission problem (dialout group).
    virtual bool lastErrorWasPermission() const { return false; }
    // The device behind the selected number, for messages.
    virtual QString deviceName() const = 0;
    // The port numbers that have a device, for messages.
    virtual QList<int> portNumbers() const
    {
        QList<int> all;
        for (int n = 1; n <= 15; ++n)
            all << n;
        return all;
    }
};
