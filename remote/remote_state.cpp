#include "remote/remote_state.h"

#include "core/command_frame.h"
#include "core/texts.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <initializer_list>

namespace {

const char RouteExample[] = R"({"input": 3, "output": "B"})";
const char CommandExample[] = R"({"command": 16})";

QString describe(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return QLatin1Char('"') + value.toString().left(40) + QLatin1Char('"');
    case QJsonValue::Double:
        return QString::number(value.toDouble(), 'g', 12);
    case QJsonValue::Bool:
        return QLatin1String(value.toBool() ? "true" : "false");
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    default:
        return QStringLiteral("nothing");
    }
}

// The body as a JSON object holding exactly the fields `names`.
std::optional<QJsonObject> readObject(const QByteArray &body,
    std::initializer_list<QLatin1String> names, const char *example, QString *error)
{
    if (body.trimmed().isEmpty()) {
        *error = QStringLiteral("the body is empty: send a JSON object such as %1")
                     .arg(QLatin1String(example));
        return std::nullopt;
    }
    QJsonParseError parse {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parse);
    if (parse.error != QJsonParseError::NoError) {
        *error = QStringLiteral("malformed JSON at byte %1: %2")
                     .arg(parse.offset)
                     .arg(parse.errorString());
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("the body must be a JSON object such as %1")
                     .arg(QLatin1String(example));
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    QStringList expected;
    for (const QLatin1String &name : names)
        expected << QLatin1Char('\'') + name + QLatin1Char('\'');
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (std::find(names.begin(), names.end(), it.key()) == names.end()) {
            *error = QStringLiteral("unknown field '%1' (expected %2)")
                         .arg(it.key().left(40), expected.join(QLatin1String(" and ")));
            return std::nullopt;
        }
    }
    for (const QLatin1String &name : names) {
        if (!object.contains(name)) {
            *error = QStringLiteral("'%1' is missing: send a JSON object such as %2")
                         .arg(name, QLatin1String(example));
            return std::nullopt;
        }
    }
    return object;
}

// A position from 1 to `count`: a whole JSON number, or a one-character
// string naming it by digit or, where `letters`, by letter (A is 1).
std::optional<int> readPosition(const QJsonValue &value, int count, bool letters)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (number >= 1 && number <= count && std::floor(number) == number)
            return int(number);
    } else if (value.isString() && value.toString().size() == 1) {
        const char c = value.toString().at(0).toUpper().toLatin1();
        if (c >= '1' && c < '1' + count)
            return c - '0';
        if (letters && c >= 'A' && c < 'A' + count)
            return c - 'A' + 1;
    }
    return std::nullopt;
}

} // namespace

RemoteCommand parseRoute(const QByteArray &body, int outputs)
{
    RemoteCommand result;
    const std::optional<QJsonObject> object = readObject(
        body, { QLatin1String("input"), QLatin1String("output") }, RouteExample, &result.error);
    if (!object)
        return result;
    const QJsonValue inputValue = object->value(QLatin1String("input"));
    const QJsonValue outputValue = object->value(QLatin1String("output"));
    const std::optional<int> input = readPosition(inputValue, 4, false);
    if (!input) {
        result.error = QStringLiteral("'input' must be 1 to 4, not %1").arg(describe(inputValue));
        return result;
    }
    const std::optional<int> output = readPosition(outputValue, outputs, true);
    if (!output) {
        result.error = outputs == 2
            ? QStringLiteral("'output' must be 1, 2, A or B on this two-output switcher, not %1")
            : QStringLiteral("'output' must be 1 to 4 or A to D, not %1");
        result.error = result.error.arg(describe(outputValue));
        return result;
    }
    result.command = CommandFrame::route(*input, *output);
    result.input = *input;
    result.output = *output;
    return result;
}

std::vector<NameChange> parseNames(const QByteArray &body, QString *error)
{
    const char example[] = R"({"inputs": {"3": "Laptop"}, "outputs": {"B": "Projector"}})";
    QJsonParseError parse {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parse);
    if (parse.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("send a JSON object such as %1").arg(QLatin1String(example));
        return {};
    }
    std::vector<NameChange> changes;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const bool output = it.key() == QLatin1String("outputs");
        if (!output && it.key() != QLatin1String("inputs")) {
            *error = QStringLiteral("unknown field '%1' (expected 'inputs' and 'outputs')")
                         .arg(it.key().left(40));
            return {};
        }
        const QJsonObject names = it.value().toObject();
        if (!it.value().isObject() || names.isEmpty()) {
            *error = QStringLiteral("'%1' must be an object of names, as in %2")
                         .arg(it.key(), QLatin1String(example));
            return {};
        }
        for (auto n = names.begin(); n != names.end(); ++n) {
            const std::optional<int> k = readPosition(QJsonValue(n.key()), 4, output);
            if (!k) {
                *error = QStringLiteral("'%1' is not an %2")
                             .arg(n.key().left(40),
                                 output ? QStringLiteral("output (1 to 4 or A to D)")
                                        : QStringLiteral("input (1 to 4)"));
                return {};
            }
            const std::optional<QString> problem = n.value().isString()
                ? nameProblem(n.value().toString())
                : QStringLiteral("a name must be a string");
            if (problem) {
                *error = QStringLiteral("%1 %2: %3")
                             .arg(output ? "output" : "input", n.key(), *problem);
                return {};
            }
            changes.push_back({ output, *k - 1, n.value().toString() });
        }
    }
    if (changes.empty())
        *error = QStringLiteral("no name given: send %1").arg(QLatin1String(example));
    return changes;
}

ParsedPreset parsePreset(const QByteArray &body, int outputs, PresetBody kind)
{
    ParsedPreset result;
    const bool named = kind != PresetBody::Routes;
    const char *example
        = named ? R"({"name": "Lecture", "routes": {"A": 3, "B": 1}})" : R"({"routes": {"A": 3}})";
    QJsonParseError parse {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parse);
    if (parse.error != QJsonParseError::NoError || !document.isObject()) {
        result.error = QStringLiteral("send a JSON object such as %1").arg(QLatin1String(example));
        return result;
    }
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() != QLatin1String("routes") && (!named || it.key() != QLatin1String("name"))) {
            result.error = QStringLiteral("unknown field '%1': send %2")
                               .arg(it.key().left(40), QLatin1String(example));
            return result;
        }
    }
    if (named) {
        const QJsonValue name = object.value(QLatin1String("name"));
        const std::optional<QString> problem = !name.isString()
            ? QStringLiteral("'name' must be a string, as in %1").arg(QLatin1String(example))
            : nameProblem(name.toString());
        if (problem) {
            result.error = QStringLiteral("name: %1").arg(*problem);
            return result;
        }
        result.name = name.toString();
    }
    const QJsonValue routes = object.value(QLatin1String("routes"));
    if (routes.isUndefined() && kind == PresetBody::NameAndMaybeRoutes)
        return result;
    const QJsonObject map = routes.toObject();
    if (!routes.isObject() || map.isEmpty()) {
        result.error = QStringLiteral("'routes' must name at least one output, as in %1")
                           .arg(QLatin1String(example));
        return result;
    }
    for (auto it = map.begin(); it != map.end(); ++it) {
        const std::optional<int> output = readPosition(QJsonValue(it.key()), outputs, true);
        if (!output) {
            result.error = outputs == 2
                ? QStringLiteral("'%1' is not an output of this two-output switcher (A or B)")
                : QStringLiteral("'%1' is not an output (A to D)");
            result.error = result.error.arg(it.key().left(40));
            return result;
        }
        const std::optional<int> input = readPosition(it.value(), 4, false);
        if (!input) {
            result.error = QStringLiteral("output %1: the input must be 1 to 4, not %2")
                               .arg(it.key(), describe(it.value()));
            return result;
        }
        result.routes[*output] = *input;
    }
    return result;
}

RemoteCommand parseCommand(const QByteArray &body)
{
    RemoteCommand result;
    const std::optional<QJsonObject> object
        = readObject(body, { QLatin1String("command") }, CommandExample, &result.error);
    if (!object)
        return result;
    const QJsonValue value = object->value(QLatin1String("command"));
    const double number = value.toDouble(-1);
    if (value.isDouble()
        && (number == CommandFrame::Command16 || number == CommandFrame::Command40))
        result.command = uint8_t(number);
    else
        result.error = QStringLiteral("'command' must be 16 or 40, not %1").arg(describe(value));
    return result;
}

QByteArray tokenOf(const QByteArray &authorization)
{
    const QByteArray value = authorization.trimmed();
    const int space = value.indexOf(' ');
    if (space < 0)
        return {};
    const QByteArray scheme = value.left(space).toLower();
    const QByteArray credentials = value.mid(space + 1).trimmed();
    if (scheme == "bearer")
        return credentials;
    if (scheme != "basic")
        return {};
    const QByteArray::FromBase64Result decoded
        = QByteArray::fromBase64Encoding(credentials, QByteArray::AbortOnBase64DecodingErrors);
    const int colon = decoded ? decoded.decoded.indexOf(':') : -1;
    return colon < 0 ? QByteArray() : decoded.decoded.mid(colon + 1);
}

bool sameToken(const QByteArray &given, const QByteArray &expected)
{
    // Digests of equal length, compared in full: neither the length of the
    // token nor the place of the first wrong character shows in the time.
    const QByteArray a = QCryptographicHash::hash(given, QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(expected, QCryptographicHash::Sha256);
    unsigned difference = 0;
    for (int i = 0; i < a.size(); ++i)
        difference |= unsigned(uint8_t(a[i]) ^ uint8_t(b[i]));
    return difference == 0 && !expected.isEmpty();
}

bool isJson(const QByteArray &contentType)
{
    const int semicolon = contentType.indexOf(';');
    return (semicolon < 0 ? contentType : contentType.left(semicolon)).trimmed().toLower()
        == "application/json";
}

std::optional<QString> hostName(const QByteArray &host)
{
    QByteArray name = host;
    QByteArray port;
    bool hasPort = false;
    if (host.startsWith('[')) {
        const int close = host.indexOf(']');
        if (close < 0)
            return std::nullopt;
        name = host.mid(1, close - 1);
        const QByteArray rest = host.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(':'))
            return std::nullopt;
        hasPort = !rest.isEmpty();
        port = rest.mid(1);
        QHostAddress address;
        if (!address.setAddress(QString::fromLatin1(name))
            || address.protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
    } else {
        const int colon = host.indexOf(':');
        if (colon >= 0) {
            hasPort = true;
            name = host.left(colon);
            port = host.mid(colon + 1);
        }
        if (name.isEmpty())
            return std::nullopt;
        for (const char c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.')
                return std::nullopt;
        }
    }
    if (hasPort) {
        bool ok = port.size() <= 5 && !port.isEmpty()
            && std::all_of(port.begin(), port.end(),
                [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
        const int number = ok ? port.toInt(&ok) : 0;
        if (!ok || number < 1 || number > 65535)
            return std::nullopt;
    }
    return QString::fromLatin1(name).toLower();
}

std::optional<QString> refusedOrigin(
    const QByteArray &host, const QByteArray &origin, bool loopback)
{
    if (loopback) {
        const std::optional<QString> name = hostName(host);
        if (!name || (*name != QLatin1String("localhost") && !QHostAddress(*name).isLoopback())) {
            QByteArray shown = host.left(80);
            for (char &c : shown) {
                if (!std::isprint(static_cast<unsigned char>(c)))
                    c = '?';
            }
            return QStringLiteral("this server answers to its loopback address only, not to '%1'")
                .arg(QString::fromLatin1(shown));
        }
    }
    if (!origin.isEmpty()
        && origin.compare(QByteArray("http://") + host, Qt::CaseInsensitive) != 0) {
        return QStringLiteral("requests from pages of other origins (%1) are refused")
            .arg(QString::fromLatin1(origin.left(80)));
    }
    return std::nullopt;
}
