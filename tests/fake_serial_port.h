#pragma once

#include "core/status_frame.h"
#include "link/serial_port.h"

#include <QList>
#include <array>
#include <functional>
#include <initializer_list>
#include <set>
#include <utility>

// Bytes as they appear on the line, written as numbers.
inline QByteArray wire(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

// A status frame as the switcher sends it: every input present, output k
// showing input k, switched on, unless the test says otherwise.
inline QByteArray statusFrame(StatusFrame::Kind kind = StatusFrame::Kind::FourOutput,
    uint8_t flags = 0xFF, uint8_t power = 1, uint8_t byte2 = 0,
    std::array<uint8_t, 4> sources = { 1, 2, 4, 8 })
{
    const uint8_t body[11]
        = { byte2, 0, 0, 0, sources[0], sources[1], sources[2], sources[3], flags, power, 0 };
    return StatusFrame::build(kind, body);
}

// A serial port for tests: records what is written, hands out bytes the
// test injects, and fails any operation on demand.
class FakeSerialPort : public SerialPort
{
public:
    enum Operation { SetCommPort, SetSettings, SetDtr, Open, Close, Write, Count, Read };

    // Port numbers that open; by default only port 1 exists.
    std::set<int> existing = { 1 };
    std::set<Operation> failing;

    QByteArray written; // every byte written, in order
    QList<QByteArray> writes; // each write call's buffer
    QByteArray incoming; // bytes waiting to be read
    QList<int> openAttempts; // port numbers tried, in order
    QString settings;
    bool dtr = false;
    int number = 1;
    bool opened = false;
    bool permission = false; // whether a failed open was for want of permission
    std::function<void()> opening; // called at every attempt to open, before it is judged
    QString failure = QStringLiteral("fake failure"); // why any operation fails

    void inject(const QByteArray &bytes) { incoming += bytes; }

    bool setCommPort(int n) override
    {
        return attempt(SetCommPort, !opened, [&] { number = n; });
    }
    int commPort() const override { return number; }
    bool setSettings(const QString &s) override
    {
        return attempt(SetSettings, true, [&] { settings = s; });
    }
    bool setDtrEnable(bool enable) override
    {
        return attempt(SetDtr, true, [&] { dtr = enable; });
    }
    bool open() override
    {
        openAttempts.append(number);
        if (opening)
            opening();
        return attempt(Open, !opened && existing.count(number), [&] { opened = true; });
    }
    bool close() override
    {
        return attempt(Close, opened, [&] { opened = false; });
    }
    bool isOpen() const override { return opened; }
    bool write(const QByteArray &bytes) override
    {
        writes.append(bytes);
        return attempt(Write, opened, [&] { written += bytes; });
    }
    std::optional<int> bytesWaiting() override
    {
        if (failing.count(Count) || !opened)
            return std::nullopt;
        return int(incoming.size());
    }
    std::optional<QByteArray> readAll() override
    {
        if (failing.count(Read) || !opened)
            return std::nullopt;
        return std::exchange(incoming, {});
    }
    QString errorString() const override { return failure; }
    bool lastErrorWasPermission() const override { return permission; }
    QString deviceName() const override { return QStringLiteral("/dev/fake%1").arg(number); }

private:
    // Does `action` and says so, unless the operation fails or is impossible.
    template <typename Action> bool attempt(Operation op, bool possible, Action action)
    {
        if (failing.count(op) || !possible)
            return false;
        action();
        return true;
    }
};
