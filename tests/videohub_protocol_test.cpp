// The router protocol's pure half: blocks as clients send them, what each
// asks for, and the blocks written back.
#include "videohub/videohub_protocol.h"

#include <gtest/gtest.h>

using namespace Videohub;

namespace {

// Every block `bytes` holds, each summed up as "KIND:what it carries".
std::vector<std::string> requests(const QByteArray &bytes, int outputs = 4)
{
    BlockReader reader;
    // In pieces of three bytes, as a slow client might send them.
    for (qsizetype i = 0; i < bytes.size(); i += 3)
        reader.feed(bytes.mid(i, 3));
    std::vector<std::string> result;
    while (const std::optional<Block> block = reader.next()) {
        const Request r = parseRequest(*block, outputs);
        std::string s = std::vector<std::string> { "ping", "query", "routes", "in", "out", "locks",
            "NAK" }[r.kind];
        for (const auto &[o, i] : r.routes)
            s += " " + std::to_string(o) + ">" + std::to_string(i);
        for (const auto &[k, name] : r.labels)
            s += " " + std::to_string(k) + "=" + name.toStdString();
        for (const auto &[k, state] : r.locks)
            s += " " + std::to_string(k) + state;
        result.push_back(s);
    }
    return result;
}

// A block of `size` bytes, its blank line included, in lines ending in `end`.
QByteArray blockOf(qsizetype size, const QByteArray &end = "\n")
{
    QByteArray b = "PING:" + end;
    while (size - b.size() > 200)
        b += QByteArray(80, 'x') + end;
    return b + QByteArray(size - b.size() - 2 * end.size(), 'x') + end + end;
}

} // namespace

TEST(VideohubProtocol, ClientBlocksAndWhatTheyAskFor)
{
    const struct
    {
        QByteArray sent;
        std::vector<std::string> asks;
        int outputs = 4;
    } cases[] = {
        { "PING:\n\n", { "ping" } },
        { "\r\n\nPING:\r\n\r\nVIDEO OUTPUT ROUTING:\n\n", { "ping", "query" } },
        { "VIDEO OUTPUT ROUTING:\n1 2\n\n", { "routes 1>2" } },
        { "VIDEO OUTPUT ROUTING:\r\n0 3\r\n3 0\r\n\r\n", { "routes 0>3 3>0" } },
        { "VIDEO OUTPUT ROUTING:\n0 4\n\n", { "NAK" } },
        { "VIDEO OUTPUT ROUTING:\n2 1\n\n", { "NAK" }, 2 },
        { "VIDEO OUTPUT ROUTING:\n0 1\n1 x\n\n", { "NAK" } },
        { "VIDEO OUTPUT ROUTING:\n-1 1\n\n", { "NAK" } },
        { "VIDEO OUTPUT ROUTING:\n01 1 2\n\n", { "NAK" } },
        { "INPUT LABELS:\n2 Laptop\n0 Cam  one \n\n", { "in 2=Laptop 0=Cam  one " } },
        { "OUTPUT LABELS:\n1 Proj\xc3\xa9"
          "ctor\n\n",
            { "out 1=Proj\xc3\xa9"
              "ctor" } },
        { "OUTPUT LABELS:\n1 \xc3\x28\n\n", { "NAK" } },
        { "INPUT LABELS:\n1 \n\n", { "NAK" } },
        { "INPUT LABELS:\n1 a\tb\n\n", { "NAK" } },
        { "INPUT LABELS:\n1 " + QByteArray(65, 'x') + "\n\n", { "NAK" } },
        { "INPUT LABELS:\n1 " + QByteArray(64, 'x') + "\n\n", { "in 1=" + std::string(64, 'x') } },
        { "VIDEO OUTPUT LOCKS:\n0 O\n1 U\n3 F\n\n", { "locks 0O 1U 3F" } },
        { "VIDEO OUTPUT LOCKS:\n0 X\n\n", { "NAK" } },
        { "INPUT LABELS:\n\nVIDEOHUB DEVICE:\n\nCONFIGURATION:\n\n",
            { "query", "query", "query" } },
        { "VIDEO MONITORING OUTPUT ROUTING:\n0 1\n\nSERIAL PORT LABELS:\n\n", { "NAK", "NAK" } },
        { "CONFIGURATION:\nTake Mode: true\n\nPING:\n1\n\n\x01\xff\xfe garbage\n\n",
            { "NAK", "NAK", "NAK" } },
    };
    for (const auto &c : cases)
        EXPECT_EQ(requests(c.sent, c.outputs), c.asks) << c.sent.toStdString();
}

TEST(VideohubProtocol, ABlockHoldsAt64KiBHoweverItArrives)
{
    const struct
    {
        QByteArray sent;
        size_t blocks;
        bool overflowed;
    } cases[] = {
        { blockOf(65536), 1, false },
        { blockOf(65537), 0, true },
        { blockOf(65536, "\r\n"), 1, false },
        { blockOf(65537, "\r\n"), 0, true },
        { "\n\r\n" + blockOf(65536) + "\r\nPING:\n\n", 2, false },
        { "PING:\n\n" + blockOf(65537) + "PING:\n\n", 1, true },
        { QByteArray(65536, '\x80'), 0, false },
        { QByteArray(65537, '\x80'), 0, true },
    };
    for (const auto &c : cases) {
        for (const qsizetype piece : { 1, 7, 4096, 1 << 20 }) {
            BlockReader reader;
            for (qsizetype i = 0; i < c.sent.size(); i += piece)
                reader.feed(c.sent.mid(i, piece));
            size_t blocks = 0;
            while (reader.next())
                ++blocks;
            EXPECT_EQ(blocks, c.blocks) << c.sent.size() << " bytes in pieces of " << piece;
            EXPECT_EQ(reader.overflowed(), c.overflowed)
                << c.sent.size() << " bytes in pieces of " << piece;
        }
    }
    EXPECT_EQ(blockOf(65536).size(), BlockLimit);
}

TEST(VideohubProtocol, BlocksWrittenAsTheClientsReadThem)
{
    EXPECT_EQ(preambleBlock(), "PROTOCOL PREAMBLE:\nVersion: 2.8\n\n");
    EXPECT_EQ(deviceBlock({ false, 2, "M", "F", "0123456789AB" }),
        "VIDEOHUB DEVICE:\nDevice present: false\nModel name: M\nFriendly name: F\n"
        "Unique ID: 0123456789AB\nVideo inputs: 4\nVideo processing units: 0\n"
        "Video outputs: 2\nVideo monitoring outputs: 0\nSerial ports: 0\n\n");
    EXPECT_EQ(labelsBlock(OutputLabelsHeader, { { 1, QString::fromUtf8("Projécteur") } }),
        "OUTPUT LABELS:\n1 Proj\xc3\xa9"
        "cteur\n\n");
    EXPECT_EQ(locksBlock({ { 0, 'O' }, { 3, 'L' } }), "VIDEO OUTPUT LOCKS:\n0 O\n3 L\n\n");
    EXPECT_EQ(routingBlock({ { 1, 2 } }), "VIDEO OUTPUT ROUTING:\n1 2\n\n");
    EXPECT_EQ(configurationBlock() + endPreludeBlock(),
        "CONFIGURATION:\nTake Mode: false\n\nEND PRELUDE:\n\n");
}
