// libFuzzer target of what a router-protocol client sends: bytes through
// BlockReader in chunks whose sizes come from the input, every block through
// parseRequest for both models. The blocks must be those of the plainest
// reading of the whole stream, none over BlockLimit, and every port and
// input parsed in range. A broken invariant aborts, so libFuzzer keeps the
// input that did it.
//
// The input is a series of chunks, each a size byte and its bytes:
//   0 to 247    that many bytes and one more follow, fed as one chunk
//   248 to 255  a run: two more bytes of its length (with the size byte's
//               low three bits), then the byte repeated; a run of line
//               ends is one (blank lines are alike, and each costs a pass)
// The stream ends 4 KiB past BlockLimit: a block can cross it, and blocks
// can come before and after.
#include "core/names.h"
#include "videohub/videohub_protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace Videohub;

namespace {

constexpr qsizetype StreamLimit = BlockLimit + 4096;

void check(bool holds, const char *what)
{
    if (holds)
        return;
    std::fprintf(stderr, "matrix-videohub-fuzzer: invariant broken: %s\n", what);
    std::abort();
}

bool sameBlocks(const std::vector<Block> &a, const std::vector<Block> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
        [](const Block &x, const Block &y) { return x.header == y.header && x.lines == y.lines; });
}

// The reading the protocol asks for, over the whole stream at once: a line
// at a time, bytes counted from a block's first byte to its blank line.
struct Plain
{
    std::vector<Block> blocks;
    bool overflowed = false;
};

Plain readPlainly(const QByteArray &stream)
{
    Plain p;
    Block block;
    qsizetype bytes = 0;
    for (qsizetype start = 0; start < stream.size();) {
        const qsizetype end = stream.indexOf('\n', start);
        const qsizetype stop = end < 0 ? stream.size() : end + 1;
        bytes += stop - start;
        if (bytes > BlockLimit) {
            p.overflowed = true;
            break;
        }
        if (end < 0)
            break;
        QByteArray line = stream.mid(start, end - start);
        start = stop;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty()) {
            if (!block.header.isEmpty())
                p.blocks.push_back(block);
            block = {};
            bytes = 0;
        } else if (block.header.isEmpty()) {
            block.header = line;
        } else {
            block.lines.push_back(line);
        }
    }
    return p;
}

void checkRequest(const Block &block, const Request &r, int outputs)
{
    check(r.header == block.header, "the header is not the block's");
    const size_t entries = r.routes.size() + r.labels.size() + r.locks.size();
    switch (r.kind) {
    case Request::Ping:
        check(block.header == PingHeader && block.lines.empty(), "a ping that is not PING:");
        [[fallthrough]];
    case Request::Query:
    case Request::Refused:
        check(entries == 0, "entries in a request that takes none");
        return;
    case Request::Routes:
        check(r.routes.size() == block.lines.size() && entries == r.routes.size(),
            "routes other than one a line");
        break;
    case Request::InputLabels:
    case Request::OutputLabels:
        check(r.labels.size() == block.lines.size() && entries == r.labels.size(),
            "names other than one a line");
        break;
    case Request::Locks:
        check(r.locks.size() == block.lines.size() && entries == r.locks.size(),
            "locks other than one a line");
        break;
    }
    for (const auto &[output, input] : r.routes)
        check(
            output >= 0 && output < outputs && input >= 0 && input < Inputs, "route out of range");
    const int ports = r.kind == Request::InputLabels ? Inputs : outputs;
    for (const auto &[port, name] : r.labels)
        check(port >= 0 && port < ports && !nameProblem(name), "name out of range or not valid");
    for (const auto &[output, state] : r.locks)
        check(output >= 0 && output < outputs && (state == 'O' || state == 'U' || state == 'F'),
            "lock out of range");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t pos = 0;
    auto next = [&] { return pos < size ? data[pos++] : uint8_t(0); };

    BlockReader reader;
    QByteArray stream;
    std::vector<Block> blocks;
    while (pos < size && stream.size() < StreamLimit) {
        const uint8_t head = next();
        QByteArray chunk;
        if (head < 248) {
            const size_t n = std::min<size_t>(head + 1, size - pos);
            chunk = QByteArray(reinterpret_cast<const char *>(data + pos), qsizetype(n));
            pos += n;
        } else {
            const qsizetype high = head - 248;
            const qsizetype length = high << 16 | next() << 8 | next();
            const char byte = char(next());
            chunk = QByteArray(byte == '\n' ? 1 : std::min(length, StreamLimit), byte);
        }
        const bool overflowedBefore = reader.overflowed();
        reader.feed(chunk);
        stream += chunk;
        check(reader.overflowed() || !overflowedBefore, "an overflow forgotten");
        const size_t before = blocks.size();
        while (std::optional<Block> block = reader.next())
            blocks.push_back(std::move(*block));
        check(!overflowedBefore || blocks.size() == before, "a block read after an overflow");
    }

    const Plain plain = readPlainly(stream);
    check(reader.overflowed() == plain.overflowed, "overflow not where the stream puts it");
    check(sameBlocks(blocks, plain.blocks), "blocks other than the stream's");
    for (const Block &block : blocks) {
        qsizetype bytes = block.header.size() + 2;
        for (const QByteArray &line : block.lines)
            bytes += line.size() + 1;
        check(bytes <= BlockLimit, "a block over the limit");
        const Request two = parseRequest(block, 2);
        const Request four = parseRequest(block, 4);
        checkRequest(block, two, 2);
        checkRequest(block, four, 4);
        check(two.kind == Request::Refused
                || (four.kind == two.kind && four.routes == two.routes && four.labels == two.labels
                    && four.locks == two.locks),
            "a request valid for two outputs read otherwise for four");
    }
    return 0;
}
