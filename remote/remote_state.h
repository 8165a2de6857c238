#pragma once

#include "core/names.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QString>
#include <array>
#include <map>
#include <optional>
#include <vector>

// The switcher command a request body asks for, or what is wrong with it.
struct RemoteCommand
{
    std::optional<uint8_t> command;
    int input = 0; // of a route, 1 to 4
    int output = 0; // of a route, 1 to 4
    QString error;
};

// {"input": 1 to 4, "output": 1 to `outputs` or "A" to "D"}
RemoteCommand parseRoute(const QByteArray &body, int outputs);
// {"inputs": {"3": "Laptop"}, "outputs": {"B": "Projector"}}: either or
// both, naming inputs 1 to 4 and outputs 1 to 4 or A to D. Empty, with
// *error set, when something is not valid.
std::vector<NameChange> parseNames(const QByteArray &body, QString *error);
// What a preset's body asks for: {"name": "...", "routes": {"A": 3, "B": 1}}
// for a preset, {"routes": {...}} for a salvo.
enum class PresetBody { Routes, NameAndRoutes, NameAndMaybeRoutes };
struct ParsedPreset
{
    QString name;
    std::map<int, int> routes; // output 1 to 4: input 1 to 4
    QString error;
};
ParsedPreset parsePreset(const QByteArray &body, int outputs, PresetBody kind);

// {"command": 16 or 40}
RemoteCommand parseCommand(const QByteArray &body);

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
