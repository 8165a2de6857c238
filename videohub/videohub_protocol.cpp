#include "videohub/videohub_protocol.h"

#include "core/names.h"

#include <QStringDecoder>

namespace Videohub {

namespace {

// Headers whose blocks this server serves; a header alone asks for one.
const char *const Served[] = { PreambleHeader, DeviceHeader, InputLabelsHeader, OutputLabelsHeader,
    LocksHeader, RoutingHeader, ConfigurationHeader };

bool validUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    return !decoder.hasError();
}

// A port number from 0 to count-1, in plain decimal digits.
std::optional<int> readPort(const QByteArray &text, int count)
{
    if (text.isEmpty() || text.size() > 3)
        return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    const int number = text.toInt();
    return number < count ? std::optional<int>(number) : std::nullopt;
}

// "N REST": the number and what follows the first space.
std::optional<std::pair<int, QByteArray>> splitLine(const QByteArray &line, int count)
{
    const qsizetype space = line.indexOf(' ');
    if (space < 0)
        return std::nullopt;
    const std::optional<int> port = readPort(line.left(space), count);
    if (!port)
        return std::nullopt;
    return std::make_pair(*port, line.mid(space + 1));
}

bool fillRequest(const Block &block, int outputs, Request &r)
{
    const QByteArray &h = block.header;
    if (h == PingHeader) {
        r.kind = Request::Ping;
        return block.lines.empty();
    }
    if (block.lines.empty()) {
        for (const char *served : Served) {
            if (h == served) {
                r.kind = Request::Query;
                return true;
            }
        }
        return false;
    }
    for (const QByteArray &line : block.lines) {
        const auto split = splitLine(line, h == InputLabelsHeader ? Inputs : outputs);
        if (!split)
            return false;
        const auto &[port, rest] = *split;
        if (h == RoutingHeader) {
            r.kind = Request::Routes;
            const std::optional<int> input = readPort(rest, Inputs);
            if (!input)
                return false;
            r.routes.emplace_back(port, *input);
        } else if (h == InputLabelsHeader || h == OutputLabelsHeader) {
            r.kind = h == InputLabelsHeader ? Request::InputLabels : Request::OutputLabels;
            const QString name = QString::fromUtf8(rest);
            if (nameProblem(name))
                return false;
            r.labels.emplace_back(port, name);
        } else if (h == LocksHeader) {
            r.kind = Request::Locks;
            if (rest != "O" && rest != "U" && rest != "F")
                return false;
            r.locks.emplace_back(port, rest[0]);
        } else {
            return false;
        }
    }
    return true;
}

// A whole block's lines, each ending in '\n', as a header and its lines.
Block split(const QByteArray &text)
{
    Block b;
    for (qsizetype start = 0; start < text.size();) {
        const qsizetype end = text.indexOf('\n', start);
        QByteArray line = text.mid(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        if (start == 0)
            b.header = line;
        else
            b.lines.push_back(line);
        start = end + 1;
    }
    return b;
}

QByteArray block(const char *header, const QByteArray &lines)
{
    return QByteArray(header) + '\n' + lines + '\n';
}

} // namespace

void BlockReader::feed(const QByteArray &bytes)
{
    for (qsizetype start = 0; start < bytes.size() && !m_overflowed;) {
        const qsizetype end = bytes.indexOf('\n', start);
        const qsizetype stop = end < 0 ? bytes.size() : end + 1;
        const QByteArrayView piece(bytes.constData() + start, stop - start);
        if (m_text.isEmpty() && (piece == "\n" || piece == "\r\n")) {
            start = stop; // a blank line between blocks
            continue;
        }
        if (m_text.size() + piece.size() > BlockLimit) {
            m_overflowed = true;
            m_text.clear();
            return;
        }
        m_text.append(piece);
        start = stop;
        if (end < 0)
            return;
        const qsizetype line = m_text.size() - m_lineStart;
        if (line == 1 || (line == 2 && m_text.at(m_lineStart) == '\r')) {
            if (m_lineStart > 0)
                m_ready.push_back(split(m_text.left(m_lineStart)));
            m_text.clear();
            m_lineStart = 0;
        } else {
            m_lineStart = m_text.size();
        }
    }
}

std::optional<Block> BlockReader::next()
{
    if (m_ready.empty())
        return std::nullopt;
    Block b = std::move(m_ready.front());
    m_ready.pop_front();
    return b;
}

Request parseRequest(const Block &block, int outputs)
{
    Request r;
    r.header = block.header;
    bool utf8 = validUtf8(block.header);
    for (const QByteArray &line : block.lines)
        utf8 = utf8 && validUtf8(line);
    if (!utf8 || !fillRequest(block, outputs, r))
        return Request { Request::Refused, block.header, {}, {}, {} };
    return r;
}

QByteArray preambleBlock()
{
    return block(PreambleHeader, "Version: 2.8\n");
}

QByteArray deviceBlock(const Device &d)
{
    return block(DeviceHeader,
        "Device present: " + QByteArray(d.present ? "true" : "false") + "\nModel name: "
            + d.modelName.toUtf8() + "\nFriendly name: " + d.friendlyName.toUtf8() + "\nUnique ID: "
            + d.uniqueId.toUtf8() + "\nVideo inputs: " + QByteArray::number(Inputs)
            + "\nVideo processing units: 0\nVideo outputs: " + QByteArray::number(d.outputs)
            + "\nVideo monitoring outputs: 0\nSerial ports: 0\n");
}

QByteArray labelsBlock(const char *header, const std::vector<std::pair<int, QString>> &labels)
{
    QByteArray lines;
    for (const auto &[port, name] : labels)
        lines += QByteArray::number(port) + ' ' + name.toUtf8() + '\n';
    return block(header, lines);
}

QByteArray locksBlock(const std::vector<std::pair<int, char>> &locks)
{
    QByteArray lines;
    for (const auto &[port, state] : locks)
        lines += QByteArray::number(port) + ' ' + state + '\n';
    return block(LocksHeader, lines);
}

QByteArray routingBlock(const std::vector<std::pair<int, int>> &routes)
{
    QByteArray lines;
    for (const auto &[output, input] : routes)
        lines += QByteArray::number(output) + ' ' + QByteArray::number(input) + '\n';
    return block(RoutingHeader, lines);
}

QByteArray configurationBlock()
{
    return block(ConfigurationHeader, "Take Mode: false\n");
}

QByteArray endPreludeBlock()
{
    return block(EndPreludeHeader, {});
}

} // namespace Videohub
