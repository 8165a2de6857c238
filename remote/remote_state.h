#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QString>
#include <array>
#include <optional>

struct ControllerState;

// The switcher as the remote interface reports it: the numbers the panel
// shows, taken from the same state. Two of them are equal when a client
// would see no difference.
struct RemoteSnapshot
{
    bool linkUp = false;
    int port = 0;
    QString device;
    int model = 0; // 1: four outputs, 2: two outputs, 0: not known
    bool powerOn = false;
    int outputs = 4;
    // Per output, the input its caption names (0: none shown yet), whether
    // it is lit; per input, whether it is lit.
    std::array<int, 4> shownInput {};
    std::array<bool, 4> outputLit {};
    std::array<bool, 4> inputLit {};

    bool operator==(const RemoteSnapshot &other) const;
    bool operator!=(const RemoteSnapshot &other) const { return !(*this == other); }
};

// `captions` are the captions the panel shows on outputs 1 to 4.
RemoteSnapshot snapshotOf(const ControllerState &state, int port, const QString &device,
    const std::array<QString, 4> &captions);
QJsonObject toJson(const RemoteSnapshot &snapshot);

// The switcher command a request body asks for, or what is wrong with it.
struct RemoteCommand
{
    std::optional<uint8_t> command;
    QString error;
};

// {"input": 1 to 4, "output": 1 to `outputs` or "A" to "D"}
RemoteCommand parseRoute(const QByteArray &body, int outputs);
// {"command": 16 or 40}
RemoteCommand parseCommand(const QByteArray &body);

// "[ADDR:]PORT" of --listen; the address defaults to 127.0.0.1.
struct ListenAddress
{
    QHostAddress address;
    quint16 port = 0;
};
std::optional<ListenAddress> parseListenAddress(const QString &text, QString *error);

// The token an Authorization header carries: "Bearer TOKEN", or the
// password of "Basic", which is what a browser asks its user for. Empty
// when there is none.
QByteArray tokenOf(const QByteArray &authorization);
// Compares in a time that does not depend on where the two differ.
bool sameToken(const QByteArray &given, const QByteArray &expected);

// Whether a Content-Type names JSON, parameters aside.
bool isJson(const QByteArray &contentType);
// The name of a Host header, "name[:port]" or "[v6][:port]", lower case;
// nothing when it is anything else.
std::optional<QString> hostName(const QByteArray &host);

// Why a request from a browser must be refused, or nothing: a page of
// another origin (Origin not this server), or, on a loopback address, a
// name that is not a loopback one (another site's name resolved to this
// machine). Requests without Origin come from programs, not pages.
std::optional<QString> refusedOrigin(
    const QByteArray &host, const QByteArray &origin, bool loopback);
