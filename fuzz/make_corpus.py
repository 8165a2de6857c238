#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora: into fuzz/corpus/ one small program per file, in the
instruction set of fuzz/rig.h; into fuzz/corpus-videohub/ what router-protocol clients send, in
the chunks of fuzz/videohub_fuzzer.cpp; into fuzz/corpus-http/ request bodies behind the byte
that picks their endpoint (fuzz/http_fuzzer.cpp). Run it again after changing either; the
replay tests check that the seeds still reach what they are for, and keep their invariants."""
import os

INJECT, FRAME, SPLIT, TICK, FAIL, HEAL, CLICK, DRAG, QUIET, PORTS, SETTLE = range(11)
OPEN, CLOSE, WRITE, COUNT, READ = (1 << i for i in range(3, 8))  # bits of a FAIL mask
LIT = [0, 0, 0, 0, 1, 2, 4, 8, 0xFF, 1, 0]  # bytes 2 to 12: everything lit
STOP = [255] + LIT[1:]  # byte 2 asks the panel to stop its main tick
CMD16, CMD40, FRAME1, CAPTION, LEGEND = 16, 18, 0x80, 0x40, 0xC0  # click targets; faces 0-15 as is


def op(code, *operands): return bytes([code, *(x & 0xFF for x in operands)])
def tick(n=1): return b''.join(op(TICK, min(n - i, 256) - 1) for i in range(0, n, 256))
def frames(kind, n=1, body=LIT, gap=1): return (op(FRAME, kind, *body) + tick(gap)) * n
def click(target, hold=3): return op(CLICK, target, hold)
def ports(*ns): return op(PORTS, sum(1 << n for n in ns), sum(1 << n for n in ns) >> 8)


def inject(data):
    return b''.join(op(INJECT, len(data[i:i + 64]) - 1) + data[i:i + 64] for i in range(0, len(data), 64))


def wire(kind, body=LIT, start=None, end=None, delta=0):
    return bytes([start or b'ab'[kind], *body, end or b'zw'[kind], (sum(body) + delta) % 256])


UP4, UP2, QUIET_, HEAL_ = op(SETTLE, 0), op(SETTLE, 1), op(QUIET), op(HEAL)
GARBAGE = bytes((i * 97 + 13) % 256 for i in range(40))
SEEDS = {
    'settle-each-model': UP4 + tick(10) + QUIET_ + UP2 + tick(10),
    'frames-of-each-model': frames(0, 4) + QUIET_ + frames(1, 4),
    'raw-frames-back-to-back': (inject(wire(0) * 2) + tick() + inject(wire(0) + wire(1)) + tick()) * 2,
    'split-at-every-byte': b''.join(op(SPLIT, 1, cut, 1, *LIT) + tick() for cut in range(13)),
    'split-frames-overlapping': op(SPLIT, 0, 5, 2, *LIT) * 4 + tick(5),
    'corrupt-checksum': (inject(wire(0, delta=1)) + tick()) * 4,
    'mixed-and-wrong-markers': (inject(wire(0, end=119) + wire(1, end=122) + wire(0, start=99)) + tick()) * 4,
    'garbage-then-frames': inject(GARBAGE) + tick(20) + UP4 + (inject(GARBAGE[:5] + wire(0)) + tick()) * 3,
    'frame-behind-a-bad-one': (inject(wire(1, delta=3) + wire(1)) + tick()) * 3,
    'truncated-frame': UP4 + inject(wire(0)[:7]) + tick(30) + UP4,
    'stale-partial-while-down': inject(wire(1)[:9]) + tick(60) + UP2 + tick(3),
    'partial-frame-then-another-port': inject(bytes(5) + wire(1)[:9]) + tick(2) + ports(5) + QUIET_
    + inject(wire(1)[9:]) + tick(3) + UP2,
    'all-byte-values': inject(bytes(range(256))) + tick(30) + UP2,
    'stop-then-click': UP4 + frames(0, body=STOP, gap=100) + click(1) + tick(10),
    'stop-while-settling': frames(0, 3, STOP) + tick(20) + click(3) + tick(5),
    'stop-then-frame1-press': UP2 + frames(1, body=STOP) + click(FRAME1) + tick(50) + click(CAPTION),
    'count-and-read-fail': UP4 + op(FAIL, COUNT | READ) + frames(0, gap=250) + HEAL_ + UP4,
    'open-fails-in-search': UP4 + op(FAIL, OPEN) + QUIET_ + HEAL_ + UP4,
    'close-fails-in-search': UP4 + op(FAIL, CLOSE) + QUIET_ + HEAL_ + UP4,
    'everything-fails': op(FAIL, 0xFF) + tick(512) + HEAL_ + UP2,
    'no-ports': ports() + QUIET_ + tick(100) + UP4,
    'switcher-on-port-15': ports(5, 15) + QUIET_ + tick(60) + UP4,
    'route-input-2-to-output-b': UP4 + click(3) + tick() + click(11) + tick(20),
    'route-by-caption': UP4 + click(CAPTION | 2) + tick() + click(7) + tick(20),
    'command-buttons': UP4 + click(CMD16) + tick(20) + click(CMD40) + tick(20),
    'write-fails-during-command': UP4 + op(FAIL, WRITE) + click(CMD16) + tick(20) + HEAL_ + click(CMD40),
    'drags': UP2 + op(DRAG, FRAME1, 5, 30, -20) + op(DRAG, LEGEND | 3, 7, -40, 12) + op(DRAG, 1, 2, 5, 5),
    'two-output-hidden-outputs': UP2 + click(13) + click(15) + click(CAPTION | 3) + tick(5),
    'model-change-without-loss': UP4 + frames(1, 5),
    'standby-and-odd-sources': UP4 + frames(0, 3, LIT[:8] + [0xF0, 0, 0])
    + frames(0, 3, [7, 1, 2, 3, 0, 3, 16, 255, 90, 2, 9]),
    'selection-expires': UP4 + click(5) + frames(0, 8, gap=50),
    'long-run': UP4 + frames(0, 8, gap=200) + QUIET_ + UP4,
}

def chunks(data, size=248):
    """Router-protocol bytes as the videohub fuzzer reads them, in chunks of `size`."""
    return b''.join(bytes([len(data[i:i + size]) - 1]) + data[i:i + size] for i in range(0, len(data), size))


def run(byte, n):
    """`n` times `byte` (a character), fed as one chunk."""
    return bytes([248 + (n >> 16), (n >> 8) & 0xFF, n & 0xFF, ord(byte)])


def label_of(size, end=b'\n'):
    """An INPUT LABELS: block of `size` bytes, its blank line included: one long name."""
    head = b'INPUT LABELS:' + end + b'1 '
    return chunks(head) + run('x', size - len(head) - 2 * len(end)) + chunks(end + end)


VIDEOHUB_SEEDS = {
    'ping': chunks(b'PING:\n\n'),
    'queries': chunks(b'VIDEO OUTPUT ROUTING:\n\nINPUT LABELS:\n\nVIDEOHUB DEVICE:\n\nCONFIGURATION:\n\n'),
    'routes-crlf': chunks(b'\r\n\nVIDEO OUTPUT ROUTING:\r\n0 3\r\n3 0\r\n1 1\r\n\r\n', 3),
    'routes-out-of-range': chunks(b'VIDEO OUTPUT ROUTING:\n2 1\n\nVIDEO OUTPUT ROUTING:\n0 4\n01 1 2\n-1 1\n\n', 5),
    'labels': chunks('INPUT LABELS:\n2 Laptop\n0 Cam  one \n\nOUTPUT LABELS:\n1 Projécteur\n3 \U0001F3A5\n\n'.encode()),
    'labels-not-valid': chunks(b'OUTPUT LABELS:\n1 \xc3\x28\n\nINPUT LABELS:\n1 \n\nINPUT LABELS:\n1 a\tb\n\n'),
    'label-of-65-characters': chunks(b'INPUT LABELS:\n1 ' + b'x' * 65 + b'\n\n'),
    'locks': chunks(b'VIDEO OUTPUT LOCKS:\n0 O\n1 U\n3 F\n\nVIDEO OUTPUT LOCKS:\n0 X\n\n', 1),
    'not-served': chunks(b'VIDEO MONITORING OUTPUT ROUTING:\n0 1\n\nSERIAL PORT LABELS:\n\nPING:\n1\n\n'),
    'garbage': chunks(bytes(range(256)) + b'\n\n\x01\xff\xfe garbage\r\r\n\n', 7),
    'block-of-64-kib': label_of(65536),
    'block-over-64-kib': label_of(65537),
    'block-of-64-kib-crlf': label_of(65536, b'\r\n'),
    'block-over-64-kib-crlf': label_of(65537, b'\r\n'),
    'no-line-end': run('\x80', 65536) + chunks(b'\x80\n\n'),
    'blocks-around-an-overflow': chunks(b'PING:\n\n') + label_of(70000) + chunks(b'PING:\n\n'),
    'long-lines': chunks(b'VIDEO OUTPUT ROUTING:\n') + (chunks(b'0 1\n') + run('\n', 1)) * 3 + run('0', 40000),
}

HTTP_SEEDS = {  # the first byte: 0 route on 4x2, 1 route on 4x4, 2 names, 3 command,
    # 4 preset on 4x2, 5 preset on 4x4, 6 an MQTT output's input, 7 an MQTT command
    'route-2': b'\x00{"input": 3, "output": "B"}',
    'route-2-output-c': b'\x00{"input": 1, "output": "c"}',
    'route-4': b'\x01{"input": 4, "output": 4}',
    'route-4-letters': b'\x01{"input": "2", "output": "d"}',
    'route-fractions': b'\x01{"input": 1.5, "output": 1e0}',
    'route-unknown-field': b'\x01{"input": 1, "output": 2, "take": true}',
    'route-missing': b'\x01{"output": "A"}',
    'route-not-an-object': b'\x01[1, 2]',
    'route-malformed': b'\x01{"input": 1, "output": ',
    'route-empty': b'\x01  \n',
    'names': '\x02{"inputs": {"3": "Laptop"}, "outputs": {"B": "Projecteur é \U0001F3A5"}}'.encode(),
    'names-numbers': b'\x02{"outputs": {"1": "A", "4": "D"}}',
    'names-not-valid': b'\x02{"inputs": {"5": "x", "0": "y"}, "outputs": {"E": ""}}',
    'names-too-long': b'\x02{"inputs": {"1": "' + b'x' * 65 + b'"}}',
    'names-control': b'\x02{"inputs": {"1": "a\\u0007b"}}',
    'names-empty': b'\x02{"inputs": {}}',
    'names-not-strings': b'\x02{"inputs": {"1": 7}, "outputs": null}',
    'command-16': b'\x03{"command": 16}',
    'command-40': b'\x03{"command": 4e1}',
    'command-other': b'\x03{"command": "16"}',
    'command-17': b'\x03{"command": 17}',
    'preset-2': b'\x04{"name": "Lecture", "routes": {"A": 3, "b": "1"}}',
    'preset-2-output-c': b'\x04{"name": "Wide", "routes": {"C": 3}}',
    'preset-4-no-routes': b'\x05{"name": "Now"}',
    'preset-4-bad': b'\x05{"name": "\\ud800", "routes": {"E": 9}, "x": 1}',
    'mqtt-input': b'\x06Laptop',
    'mqtt-input-number': b'\x063',
    'mqtt-input-junk': b'\x06\x00\xff 5 ',
    'mqtt-command': b'\x0740',
    'mqtt-command-junk': b'\x07{"command": 16}',
}

if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    for folder, seeds in (('corpus', SEEDS), ('corpus-videohub', VIDEOHUB_SEEDS), ('corpus-http', HTTP_SEEDS)):
        corpus = os.path.join(here, folder)
        os.makedirs(corpus, exist_ok=True)
        for name in os.listdir(corpus):
            os.remove(os.path.join(corpus, name))
        for name, data in seeds.items():
            with open(os.path.join(corpus, name), 'wb') as f:
                f.write(data)
        print(f'{len(seeds)} seeds in {corpus}')
