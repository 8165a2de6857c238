#pragma once

#include <QByteArray>
#include <QString>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

// The router protocol that control software speaks on TCP port 9990: plain
// text in blocks, each a header line ending in a colon, its lines, and a
// blank line. Ports are numbered from 0.
namespace Videohub {

constexpr int Inputs = 4;
// The longest block, its blank line included; a client that sends more
// without ending its block is closed.
constexpr int BlockLimit = 64 * 1024;

inline constexpr char Ack[] = "ACK\n\n";
inline constexpr char Nak[] = "NAK\n\n";

inline constexpr char PreambleHeader[] = "PROTOCOL PREAMBLE:";
inline constexpr char DeviceHeader[] = "VIDEOHUB DEVICE:";
inline constexpr char InputLabelsHeader[] = "INPUT LABELS:";
inline constexpr char OutputLabelsHeader[] = "OUTPUT LABELS:";
inline constexpr char LocksHeader[] = "VIDEO OUTPUT LOCKS:";
inline constexpr char RoutingHeader[] = "VIDEO OUTPUT ROUTING:";
inline constexpr char ConfigurationHeader[] = "CONFIGURATION:";
inline constexpr char EndPreludeHeader[] = "END PRELUDE:";
inline constexpr char PingHeader[] = "PING:";

struct Block
{
    QByteArray header;
    std::vector<QByteArray> lines;
};

// Splits what a client sends into blocks, whatever the pieces it arrives in.
// Lines may end in "\r\n" or "\n"; blank lines between blocks are skipped.
// Bytes are counted as they come: a block under way is held as it arrived,
// at most BlockLimit bytes, and is split into lines only once it is whole.
class BlockReader
{
public:
    void feed(const QByteArray &bytes);
    std::optional<Block> next();
    // The block being read has passed BlockLimit; what came after it is
    // ignored.
    bool overflowed() const { return m_overflowed; }

private:
    QByteArray m_text; // the block under way
    qsizetype m_lineStart = 0; // of its unfinished line
    std::deque<Block> m_ready;
    bool m_overflowed = false;
};

struct Request
{
    enum Kind {
        Ping,
        Query, // a header alone: ACK, then that block
        Routes,
        InputLabels,
        OutputLabels,
        Locks,
        Refused, // NAK: not served, or not valid
    };
    Kind kind = Refused;
    QByteArray header;
    std::vector<std::pair<int, int>> routes; // output, input
    std::vector<std::pair<int, QString>> labels;
    std::vector<std::pair<int, char>> locks; // output, 'O', 'U' or 'F'
};

// What a whole block asks for, checked against `outputs`: one line that is
// not valid (not UTF-8, a number out of range, a bad name) refuses it all.
Request parseRequest(const Block &block, int outputs);

struct Device
{
    bool present = false;
    int outputs = 4;
    QString modelName;
    QString friendlyName;
    QString uniqueId; // 12 hex digits

    bool operator==(const Device &o) const
    {
        return present == o.present && outputs == o.outputs && modelName == o.modelName
            && friendlyName == o.friendlyName && uniqueId == o.uniqueId;
    }
    bool operator!=(const Device &o) const { return !(*this == o); }
};

QByteArray preambleBlock();
QByteArray deviceBlock(const Device &device);
QByteArray labelsBlock(const char *header, const std::vector<std::pair<int, QString>> &labels);
QByteArray locksBlock(const std::vector<std::pair<int, char>> &locks);
QByteArray routingBlock(const std::vector<std::pair<int, int>> &routes);
QByteArray configurationBlock();
QByteArray endPreludeBlock();

} // namespace Videohub
